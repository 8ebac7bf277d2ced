// A rewrite replaces the file the claim holds, under its own name: through a
// symbolic link it rewrites the file behind the link and leaves the link a
// link; when that file's real path cannot be had, nothing changes.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "filter/filter.h"
#include "tests/native/test_support.h"

namespace {

const char kLog[] = "start\r\nERROR one\r\nok\r\nERROR two\r\n";

std::string LinkTarget(const std::string& path)
{
    char target[4096];
    ssize_t n = readlink(path.c_str(), target, sizeof target);
    return n < 0 ? std::string("<no link>") : std::string(target, static_cast<size_t>(n));
}

class ClaimedPathTest : public testing::Test {
protected:
    void SetUp() override
    {
        *PosixFaultPlan() = PosixFaults();
        ASSERT_EQ(mkdir(dir_.File("real").c_str(), 0777), 0);
        ASSERT_EQ(mkdir(dir_.File("links").c_str(), 0777), 0);
        WriteFile(dir_.File("real/log.txt"), kLog);
        form_.SetText(IDC_SEARCH_TEXT, "ERROR");
        form_.SetCheck(IDC_EXPORT_WITH, true);
    }
    void TearDown() override { *PosixFaultPlan() = PosixFaults(); }

    ScratchDir dir_;
    PosixForm form_;
};

TEST_F(ClaimedPathTest, ARewriteThroughASymbolicLinkRewritesTheFileAndKeepsTheLink)
{
    // The link in another folder, by a relative target, and a link to the
    // folder: each names real/log.txt.
    ASSERT_EQ(symlink("../real/log.txt", dir_.File("links/log.txt").c_str()), 0);
    ASSERT_EQ(symlink("real", dir_.File("folder").c_str()), 0);
    const std::string spellings[] = {dir_.File("links/log.txt"), dir_.File("folder/log.txt")};
    for (const std::string& spelling : spellings) {
        SCOPED_TRACE(spelling);
        WriteFile(dir_.File("real/log.txt"), kLog);
        // In place, the source named through the link.
        form_.SetText(IDC_SOURCE_PATH, spelling);
        form_.SetText(IDC_WITH_PATH, "");
        RunStrip(&form_);
        EXPECT_EQ(ReadFile(dir_.File("real/log.txt")), "ERROR one\r\nERROR two\r\n");
        EXPECT_EQ(LinkTarget(dir_.File("links/log.txt")), "../real/log.txt");
        EXPECT_EQ(LinkTarget(dir_.File("folder")), "real");
        EXPECT_EQ(dir_.Entries(), (std::vector<std::string>{"folder", "links", "real"}));
        EXPECT_EQ(FolderEntries(dir_.File("real")), std::vector<std::string>{"log.txt"});
        EXPECT_EQ(FolderEntries(dir_.File("links")), std::vector<std::string>{"log.txt"});

        // An export named through the link, the source by its own name.
        WriteFile(dir_.File("real/log.txt"), "old\r\n");
        WriteFile(dir_.File("source.txt"), kLog);
        form_.SetText(IDC_SOURCE_PATH, dir_.File("source.txt"));
        form_.SetText(IDC_WITH_PATH, spelling);
        RunStrip(&form_);
        EXPECT_EQ(ReadFile(dir_.File("real/log.txt")), "ERROR one\r\nERROR two\r\n");
        EXPECT_EQ(LinkTarget(dir_.File("links/log.txt")), "../real/log.txt");
        EXPECT_EQ(FolderEntries(dir_.File("real")), std::vector<std::string>{"log.txt"});
        EXPECT_EQ(FolderEntries(dir_.File("links")), std::vector<std::string>{"log.txt"});
        unlink(dir_.File("source.txt").c_str());
    }
}

TEST_F(ClaimedPathTest, WithoutTheClaimedFilesRealPathNothingChanges)
{
    form_.SetText(IDC_SOURCE_PATH, dir_.File("real/log.txt"));
    form_.SetCheck(IDC_EXPORT_WITHOUT, true);             // in place
    form_.SetText(IDC_WITH_PATH, dir_.File("real/errors.txt"));   // a new file
    PosixFaultPlan()->failClaimedPath = 1;
    RunStrip(&form_);
    EXPECT_EQ(ReadFile(dir_.File("real/log.txt")), kLog);
    EXPECT_EQ(FolderEntries(dir_.File("real")), std::vector<std::string>{"log.txt"});

    // Appending needs no path: it still runs.
    WriteFile(dir_.File("real/errors.txt"), "old\r\n");
    form_.SetCheck(IDC_EXPORT_WITHOUT, false);
    form_.SetCheck(IDC_APPEND_WITH, true);
    RunStrip(&form_);
    EXPECT_EQ(ReadFile(dir_.File("real/errors.txt")), "old\r\nERROR one\r\nERROR two\r\n");
}

}  // namespace
