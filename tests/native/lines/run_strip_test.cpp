// The strip run, driven through the form as the dialog drives it.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "filter/filter.h"
#include "tests/native/test_support.h"

namespace {

class RunStripTest : public testing::Test {
protected:
    void SetUp() override
    {
        *PosixFaultPlan() = PosixFaults();
        // The form as the dialog opens: only the with-string export on.
        form_.SetCheck(IDC_EXPORT_WITH, true);
    }
    void TearDown() override { *PosixFaultPlan() = PosixFaults(); }

    void Search(const std::string& text) { form_.SetText(IDC_SEARCH_TEXT, text); }
    void Source(const std::string& path) { form_.SetText(IDC_SOURCE_PATH, path); }
    void Without(const std::string& path, bool append = false)
    {
        form_.SetCheck(IDC_EXPORT_WITHOUT, true);
        form_.SetText(IDC_WITHOUT_PATH, path);
        form_.SetCheck(IDC_APPEND_WITHOUT, append);
    }
    void With(const std::string& path, bool append = false)
    {
        form_.SetCheck(IDC_EXPORT_WITH, true);
        form_.SetText(IDC_WITH_PATH, path);
        form_.SetCheck(IDC_APPEND_WITH, append);
    }
    void Run() { RunStrip(&form_); }

    ScratchDir dir_;
    PosixForm form_;
};

const char kLog[] = "start\r\nERROR one\r\nok\r\nERROR two\r\n";

TEST_F(RunStripTest, SplitsTheSourceIntoTheTwoExports)
{
    WriteFile(dir_.File("log.txt"), kLog);
    Search("ERROR");
    Source(dir_.File("log.txt"));
    Without(dir_.File("rest.txt"));
    With(dir_.File("errors.txt"));
    Run();
    EXPECT_EQ(ReadFile(dir_.File("errors.txt")), "ERROR one\r\nERROR two\r\n");
    EXPECT_EQ(ReadFile(dir_.File("rest.txt")), "start\r\nok\r\n");
    EXPECT_EQ(ReadFile(dir_.File("log.txt")), kLog);
}

TEST_F(RunStripTest, DoesNothingWithoutSearchTextOrSourcePath)
{
    WriteFile(dir_.File("log.txt"), kLog);
    Source(dir_.File("log.txt"));
    Without(dir_.File("rest.txt"));
    With("");
    Run();   // no search text
    Search("ERROR");
    Source("");
    Run();   // no source path
    EXPECT_EQ(ReadFile(dir_.File("log.txt")), kLog);
    EXPECT_EQ(dir_.Entries(), std::vector<std::string>{"log.txt"});
}

TEST_F(RunStripTest, DefaultFormKeepsOnlyMatchingLinesInTheSource)
{
    WriteFile(dir_.File("log.txt"), kLog);
    Search("ERROR");
    Source(dir_.File("log.txt"));
    Run();
    EXPECT_EQ(ReadFile(dir_.File("log.txt")), "ERROR one\r\nERROR two\r\n");
    EXPECT_EQ(dir_.Entries(), std::vector<std::string>{"log.txt"});
}

TEST_F(RunStripTest, RemovesMatchingLinesInPlace)
{
    WriteFile(dir_.File("log.txt"), kLog);
    chmod(dir_.File("log.txt").c_str(), 0640);
    Search("ERROR");
    Source(dir_.File("log.txt"));
    form_.SetCheck(IDC_EXPORT_WITH, false);
    Without("");
    Run();
    EXPECT_EQ(ReadFile(dir_.File("log.txt")), "start\r\nok\r\n");
    struct stat st;
    ASSERT_EQ(stat(dir_.File("log.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);   // the rewritten file keeps its permissions
}

// Both exports falling back to the source: the without-string export claims
// it first, the with-string export cannot, so only non-matching lines stay.
// The same holds when an export names the source by another spelling.
TEST_F(RunStripTest, BothExportsOnOneFileKeepOnlyTheNonMatchingLines)
{
    mkdir(dir_.File("sub").c_str(), 0755);
    const std::string spellings[][2] = {
        {"", ""},
        {dir_.File("log.txt"), ""},
        {"", dir_.path() + "/sub/../log.txt"},
        {dir_.path() + "/./log.txt", dir_.File("log.txt")},
    };
    for (const auto& spelling : spellings) {
        WriteFile(dir_.File("log.txt"), kLog);
        Search("ERROR");
        Source(dir_.File("log.txt"));
        Without(spelling[0]);
        With(spelling[1]);
        Run();
        EXPECT_EQ(ReadFile(dir_.File("log.txt")), "start\r\nok\r\n")
            << "without: '" << spelling[0] << "', with: '" << spelling[1] << "'";
        EXPECT_EQ(dir_.Entries(), (std::vector<std::string>{"log.txt", "sub"}));
    }
}

TEST_F(RunStripTest, AppendAddsAfterTheOldContentAndRewriteReplacesIt)
{
    WriteFile(dir_.File("log.txt"), kLog);
    WriteFile(dir_.File("errors.txt"), "old\r\n");
    WriteFile(dir_.File("rest.txt"), "old\r\n");
    Search("ERROR");
    Source(dir_.File("log.txt"));
    With(dir_.File("errors.txt"), true);
    Without(dir_.File("rest.txt"), false);
    Run();
    EXPECT_EQ(ReadFile(dir_.File("errors.txt")), "old\r\nERROR one\r\nERROR two\r\n");
    EXPECT_EQ(ReadFile(dir_.File("rest.txt")), "start\r\nok\r\n");
    // Appending to the source itself.
    form_.SetCheck(IDC_EXPORT_WITHOUT, false);
    With("", true);
    Run();
    EXPECT_EQ(ReadFile(dir_.File("log.txt")), std::string(kLog) + "ERROR one\r\nERROR two\r\n");
}

// The source is still being read while its appended lines arrive: a source
// of many windows gains exactly its matching lines, read once.
TEST_F(RunStripTest, AppendingToALargeSourceAddsEachMatchingLineOnce)
{
    std::string log;
    std::string matching;
    for (int i = 0; log.size() < (3u << 20); ++i) {
        std::string line = "line " + std::to_string(i) + (i % 2 == 0 ? " ERROR\r\n" : " ok\r\n");
        log += line;
        if (i % 2 == 0) {
            matching += line;
        }
    }
    WriteFile(dir_.File("log.txt"), log);
    Search("ERROR");
    Source(dir_.File("log.txt"));
    With("", true);
    Run();
    EXPECT_TRUE(ReadFile(dir_.File("log.txt")) == log + matching);
}

TEST_F(RunStripTest, WritesCrLfLineEnds)
{
    WriteFile(dir_.File("unix.txt"), "a x\n\nb\n\n\nc x");
    WriteFile(dir_.File("empty.txt"), "");
    Search("x");
    Source(dir_.File("unix.txt"));
    Without(dir_.File("rest.txt"));
    With(dir_.File("hits.txt"));
    Run();
    EXPECT_EQ(ReadFile(dir_.File("hits.txt")), "a x\r\nc x\r\n");
    EXPECT_EQ(ReadFile(dir_.File("rest.txt")), "b\r\n");
    // A source of zero bytes is one empty line.
    Source(dir_.File("empty.txt"));
    Run();
    EXPECT_EQ(ReadFile(dir_.File("rest.txt")), "\r\n");
    EXPECT_EQ(ReadFile(dir_.File("hits.txt")), "");
}

TEST_F(RunStripTest, IgnoreCaseBoxMatchesAnyCase)
{
    WriteFile(dir_.File("log.txt"), "an error\r\nAN ERROR\r\nfine\r\n");
    Search("Error");
    Source(dir_.File("log.txt"));
    With(dir_.File("hits.txt"));
    Run();
    EXPECT_EQ(ReadFile(dir_.File("hits.txt")), "");
    form_.SetCheck(IDC_IGNORE_CASE, true);
    Run();
    EXPECT_EQ(ReadFile(dir_.File("hits.txt")), "an error\r\nAN ERROR\r\n");
}

TEST_F(RunStripTest, LongestSearchTextInChineseWorks)
{
    // 128 Chinese characters: 384 bytes in the ANSI (UTF-8) code page.
    std::string needle;
    for (int i = 0; i < 128; ++i) {
        needle += "字";
    }
    WriteFile(dir_.File("log.txt"), "x" + needle + "y\r\n" + needle.substr(3) + "\r\n");
    Search(needle);
    Source(dir_.File("log.txt"));
    With(dir_.File("hits.txt"));
    Run();
    EXPECT_EQ(ReadFile(dir_.File("hits.txt")), "x" + needle + "y\r\n");
}

// A field that holds more than its buffer would be cut: a cut path can name
// another file, a cut search text matches other lines. Either stops the run.
TEST_F(RunStripTest, OverlongFieldsStopTheRunBeforeAnyFileIsTouched)
{
    WriteFile(dir_.File("log.txt"), kLog);
    const std::string longName = dir_.path() + "/" + std::string(300, 'n');
    Search("ERROR");
    Source(dir_.File("log.txt"));
    Without(dir_.File("rest.txt"));
    With(longName);
    Run();
    With(dir_.File("hits.txt"));
    Without(longName);
    Run();
    Without(dir_.File("rest.txt"));
    Search(std::string(256, 'E'));
    Run();
    EXPECT_EQ(dir_.Entries(), std::vector<std::string>{"log.txt"});
}

TEST_F(RunStripTest, MissingSourceOrFolderAsSourceDoesNothing)
{
    Search("ERROR");
    Without(dir_.File("rest.txt"));
    With(dir_.File("hits.txt"));
    Source(dir_.File("missing.txt"));
    Run();
    Source(dir_.path());
    Run();
    EXPECT_TRUE(dir_.Entries().empty());
}

TEST_F(RunStripTest, AnExportThatCannotBeOpenedLeavesTheOtherRunning)
{
    WriteFile(dir_.File("log.txt"), kLog);
    Search("ERROR");
    Source(dir_.File("log.txt"));
    Without(dir_.File("no/such/folder.txt"));
    With(dir_.File("hits.txt"));
    Run();
    EXPECT_EQ(ReadFile(dir_.File("hits.txt")), "ERROR one\r\nERROR two\r\n");
}

}  // namespace
