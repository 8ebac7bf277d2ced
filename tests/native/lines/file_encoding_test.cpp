// The encodings of a run's files: the source's byte order mark decides how
// it is read and is never part of a line, every export a run starts (new or
// rewritten, the source in place included) begins with it, an append never
// puts one in a file's middle nor a second encoding into a file, and a search
// text the code page cannot hold is told, not guessed.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

#include "filter/filter.h"
#include "tests/native/test_support.h"

namespace {

const std::string kUtf8Bom = "\xEF\xBB\xBF";
const std::string kLeBom = "\xFF\xFE";
const std::string kBeBom = "\xFE\xFF";

// The UTF-16 form of ASCII text, in either byte order.
std::string Le(const std::string& ascii)
{
    return AsciiToUtf16Le(ascii);
}
std::string Be(const std::string& ascii)
{
    std::string out;
    for (char c : ascii) {
        out += '\0';
        out += c;
    }
    return out;
}

// ASCII text in an encoding's code units, without its mark.
std::string Encode(SourceEncoding encoding, const std::string& ascii)
{
    return encoding == kEncodingUtf16Le ? Le(ascii) : encoding == kEncodingUtf16Be ? Be(ascii) : ascii;
}

class FileEncodingTest : public testing::Test {
protected:
    void SetUp() override
    {
        *PosixFaultPlan() = PosixFaults();
        *PosixCodePagePlan() = PosixCodePage();
    }
    void TearDown() override
    {
        *PosixFaultPlan() = PosixFaults();
        *PosixCodePagePlan() = PosixCodePage();
    }

    // The form: search text and source, and each export's path (empty: the
    // source) and append box; an export passed as "-" is switched off.
    RunOutcome Run(const std::string& search, const std::string& without, bool appendWithout,
                   const std::string& with, bool appendWith)
    {
        PosixForm form;
        form.SetText(IDC_SEARCH_TEXT, search);
        form.SetText(IDC_SOURCE_PATH, Path("log.txt"));
        form.SetCheck(IDC_EXPORT_WITHOUT, without != "-");
        form.SetText(IDC_WITHOUT_PATH, without == "-" || without.empty() ? "" : Path(without));
        form.SetCheck(IDC_APPEND_WITHOUT, appendWithout);
        form.SetCheck(IDC_EXPORT_WITH, with != "-");
        form.SetText(IDC_WITH_PATH, with == "-" || with.empty() ? "" : Path(with));
        form.SetCheck(IDC_APPEND_WITH, appendWith);
        return RunStrip(&form);
    }
    std::string Path(const std::string& name) const { return dir_.File(name); }
    std::string Bytes(const std::string& name) const { return ReadFile(dir_.File(name)); }

    ScratchDir dir_;
};

// What a source's first bytes decide: a whole mark is the encoding and
// belongs to no line; a source shorter than its mark, or whose first bytes
// merely look like part of one, is code-page text, byte for byte.
TEST_F(FileEncodingTest, TheMarkDecidesTheEncodingAndIsPartOfNoLine)
{
    struct Case {
        const char* what;
        std::string source;
        std::string without;
        std::string with;
    };
    const Case cases[] = {
        {"UTF-8, the first line right after the mark", kUtf8Bom + "ERROR first\r\nok\r\nERROR\n",
         kUtf8Bom + "ok\r\n", kUtf8Bom + "ERROR first\r\nERROR\r\n"},
        {"UTF-8, an empty first line", kUtf8Bom + "\r\nERROR", kUtf8Bom + "\r\n", kUtf8Bom + "ERROR\r\n"},
        {"only a UTF-8 mark: one empty line", kUtf8Bom, kUtf8Bom + "\r\n", kUtf8Bom},
        {"UTF-16 LE", kLeBom + Le("ERROR a\r\nok\r\n"), kLeBom + Le("ok\r\n"), kLeBom + Le("ERROR a\r\n")},
        {"UTF-16 BE", kBeBom + Be("ok\nERROR b"), kBeBom + Be("ok\r\n"), kBeBom + Be("ERROR b\r\n")},
        {"only a UTF-16 LE mark", kLeBom, kLeBom + Le("\r\n"), kLeBom},
        {"only a UTF-16 BE mark", kBeBom, kBeBom + Be("\r\n"), kBeBom},
        {"two bytes of a UTF-8 mark", "\xEF\xBB", "\xEF\xBB\r\n", ""},
        {"one byte of a UTF-16 mark", "\xFF", "\xFF\r\n", ""},
        {"a UTF-8 mark's bytes later on", "ERROR\r\n" + kUtf8Bom + "x\r\n", kUtf8Bom + "x\r\n", "ERROR\r\n"},
        {"no mark", "ERROR\r\nok", "ok\r\n", "ERROR\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WriteFile(Path("log.txt"), c.source);
        RunOutcome outcome = Run("ERROR", "rest.txt", false, "errors.txt", false);
        EXPECT_EQ(outcome.failure, kRunSucceeded);
        EXPECT_EQ(Bytes("rest.txt"), c.without);
        EXPECT_EQ(Bytes("errors.txt"), c.with);
        EXPECT_EQ(Bytes("log.txt"), c.source);
    }
}

// The mark is read as part of the source: the progress reaches the source's
// whole size, and a source that is only a mark is read whole.
TEST_F(FileEncodingTest, TheProgressCountsTheMark)
{
    for (const std::string& source : {kLeBom + Le("ERROR\r\nok"), kUtf8Bom, kBeBom + Be("x")}) {
        WriteFile(Path("log.txt"), source);
        PosixForm form;
        form.SetText(IDC_SEARCH_TEXT, "ERROR");
        form.SetText(IDC_SOURCE_PATH, Path("log.txt"));
        form.SetCheck(IDC_EXPORT_WITH, true);
        form.SetText(IDC_WITH_PATH, Path("errors.txt"));
        RunRequest request;
        ASSERT_TRUE(ReadRunRequest(&form, &request));
        RunControl control;
        RunControlInit(&control);
        RunOutcome outcome;
        DriveRun(&request, &control, &outcome);
        EXPECT_EQ(outcome.failure, kRunSucceeded);
        EXPECT_EQ(control.sourceSize, source.size());
        EXPECT_EQ(control.sourceRead, source.size());
    }
}

// The source rewritten in place keeps its mark, also when its first line
// leaves it; the lines that leave land in exports that start with it.
TEST_F(FileEncodingTest, TheSourceRewrittenInPlaceKeepsItsMark)
{
    const std::string sources[] = {kUtf8Bom + "ERROR first\r\nok\r\n", kLeBom + Le("ERROR first\r\nok\r\n"),
                                   kBeBom + Be("ERROR first\r\nok\r\n")};
    const std::string kept[] = {kUtf8Bom + "ok\r\n", kLeBom + Le("ok\r\n"), kBeBom + Be("ok\r\n")};
    const std::string moved[] = {kUtf8Bom + "ERROR first\r\n", kLeBom + Le("ERROR first\r\n"),
                                 kBeBom + Be("ERROR first\r\n")};
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        WriteFile(Path("log.txt"), sources[i]);
        EXPECT_EQ(Run("ERROR", "", false, "errors.txt", false).failure, kRunSucceeded);
        EXPECT_EQ(Bytes("log.txt"), kept[i]);
        EXPECT_EQ(Bytes("errors.txt"), moved[i]);
        // The default form: only the matching lines stay in the source.
        WriteFile(Path("log.txt"), sources[i]);
        EXPECT_EQ(Run("ERROR", "-", false, "", false).failure, kRunSucceeded);
        EXPECT_EQ(Bytes("log.txt"), moved[i]);
    }
}

// An append adds lines only: the mark is where the file starts, never in its
// middle; a missing or empty export appended to is started with it.
TEST_F(FileEncodingTest, AnAppendPutsTheMarkOnlyAtTheStartOfAFile)
{
    const std::string source = kLeBom + Le("ERROR a\r\nok\r\n");
    WriteFile(Path("log.txt"), source);
    WriteFile(Path("errors.txt"), kLeBom + Le("old\r\n"));
    WriteFile(Path("empty.txt"), "");
    EXPECT_EQ(Run("ERROR", "empty.txt", true, "errors.txt", true).failure, kRunSucceeded);
    EXPECT_EQ(Bytes("errors.txt"), kLeBom + Le("old\r\nERROR a\r\n"));
    EXPECT_EQ(Bytes("empty.txt"), kLeBom + Le("ok\r\n"));

    EXPECT_EQ(Run("ERROR", "-", false, "missing.txt", true).failure, kRunSucceeded);
    EXPECT_EQ(Bytes("missing.txt"), kLeBom + Le("ERROR a\r\n"));

    // Appended to the source itself.
    EXPECT_EQ(Run("ERROR", "-", false, "", true).failure, kRunSucceeded);
    EXPECT_EQ(Bytes("log.txt"), source + Le("ERROR a\r\n"));
    EXPECT_EQ(Bytes("log.txt").find(kLeBom, 2), std::string::npos);
}

// Appending to a non-empty export of another encoding is refused before a
// byte is written: no file changes, the other export's rewrite of the
// source included, and the outcome names the export and both encodings. A
// file without a mark and a UTF-8 one are one family: the program reads a
// file without a mark by the UTF-8 rule itself.
TEST_F(FileEncodingTest, AnAppendIntoAnotherEncodingIsRefusedAndChangesNoFile)
{
    struct Case {
        std::string source;
        std::string exportBytes;
        bool refused;
        SourceEncoding exportEncoding;
        SourceEncoding sourceEncoding;
    };
    const Case cases[] = {
        {kUtf8Bom + "ERROR\r\nok\r\n", kLeBom + Le("old\r\n"), true, kEncodingUtf16Le, kEncodingUtf8},
        {"ERROR\r\nok\r\n", kLeBom + Le("old\r\n"), true, kEncodingUtf16Le, kEncodingAnsi},
        {"ERROR\r\nok\r\n", kBeBom + Be("old\r\n"), true, kEncodingUtf16Be, kEncodingAnsi},
        {kLeBom + Le("ERROR\r\nok\r\n"), "old\r\n", true, kEncodingAnsi, kEncodingUtf16Le},
        {kLeBom + Le("ERROR\r\nok\r\n"), kUtf8Bom + "old\r\n", true, kEncodingUtf8, kEncodingUtf16Le},
        {kLeBom + Le("ERROR\r\nok\r\n"), kBeBom + Be("old\r\n"), true, kEncodingUtf16Be, kEncodingUtf16Le},
        {kBeBom + Be("ERROR\r\nok\r\n"), kLeBom + Le("old\r\n"), true, kEncodingUtf16Le, kEncodingUtf16Be},
        // One byte is no mark: the file is code-page text.
        {kLeBom + Le("ERROR\r\nok\r\n"), "\xFF", true, kEncodingAnsi, kEncodingUtf16Le},
        {kBeBom + Be("ERROR\r\nok\r\n"), kBeBom, false, kEncodingUtf16Be, kEncodingUtf16Be},
        {kUtf8Bom + "ERROR\r\nok\r\n", "old\r\n", false, kEncodingAnsi, kEncodingUtf8},
        {"ERROR\r\nok\r\n", kUtf8Bom + "old\r\n", false, kEncodingUtf8, kEncodingAnsi},
    };
    for (int withRefused = 0; withRefused < 2; ++withRefused) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::PrintToString(c.exportBytes) + " from " + testing::PrintToString(c.source) +
                         (withRefused ? ", with-string export" : ", without-string export"));
            WriteFile(Path("log.txt"), c.source);
            WriteFile(Path("export.txt"), c.exportBytes);
            // The other export rewrites the source in place.
            RunOutcome outcome = withRefused ? Run("ERROR", "", false, "export.txt", true)
                                             : Run("ERROR", "export.txt", true, "", false);
            if (!c.refused) {
                EXPECT_EQ(outcome.failure, kRunSucceeded);
                EXPECT_EQ(Bytes("export.txt"),
                          c.exportBytes + Encode(c.sourceEncoding, withRefused ? "ERROR\r\n" : "ok\r\n"));
                continue;
            }
            EXPECT_EQ(outcome.failure, kRunMixedEncodings);
            EXPECT_EQ(outcome.file, withRefused ? kWithExport : kWithoutExport);
            EXPECT_EQ(outcome.exportEncoding, c.exportEncoding);
            EXPECT_EQ(outcome.sourceEncoding, c.sourceEncoding);
            EXPECT_EQ(outcome.without, kExportUnchanged);
            EXPECT_EQ(outcome.with, kExportUnchanged);
            EXPECT_EQ(Bytes("export.txt"), c.exportBytes);
            EXPECT_EQ(Bytes("log.txt"), c.source);
            EXPECT_EQ(dir_.Entries(), (std::vector<std::string>{"export.txt", "log.txt"}));
        }
    }
}

// An export whose first bytes cannot be read cannot be appended to safely,
// and a mark that cannot be written is a failed write: either way the run
// tells it and changes no file.
TEST_F(FileEncodingTest, FailuresAtTheMarksChangeNoFile)
{
    WriteFile(Path("log.txt"), kUtf8Bom + "ERROR\r\nok\r\n");
    PosixFaultPlan()->failWriteAfter = 2;
    RunOutcome written = Run("ERROR", "", false, "errors.txt", false);
    EXPECT_EQ(written.failure, kRunExportUnwritten);
    EXPECT_EQ(Bytes("log.txt"), kUtf8Bom + "ERROR\r\nok\r\n");
    EXPECT_EQ(dir_.Entries(), std::vector<std::string>{"log.txt"});
    *PosixFaultPlan() = PosixFaults();

    WriteFile(Path("log.txt"), kLeBom + Le("ERROR\r\nok\r\n"));
    WriteFile(Path("export.txt"), kLeBom + Le("old\r\n"));
    PosixFaultPlan()->failReadHead = 1;
    RunOutcome outcome = Run("ERROR", "", false, "export.txt", true);
    EXPECT_EQ(outcome.failure, kRunExportUnclaimed);
    EXPECT_EQ(outcome.file, kWithExport);
    EXPECT_NE(outcome.systemError, 0u);
    EXPECT_EQ(Bytes("export.txt"), kLeBom + Le("old\r\n"));
    EXPECT_EQ(Bytes("log.txt"), kLeBom + Le("ERROR\r\nok\r\n"));
    EXPECT_EQ(dir_.Entries(), (std::vector<std::string>{"export.txt", "log.txt"}));
}

// A search text the code page cannot hold is in no line of code-page text:
// a source without a mark, none of whose UTF-8 lines holds it either, is
// told instead of run (the default form would otherwise have emptied it).
// A UTF-8 line holding it still matches, and a Unicode source is matched in
// Unicode, told or not as any run.
TEST_F(FileEncodingTest, ASearchTextTheCodePageCannotHoldIsToldWhenNoLineCanHoldIt)
{
    PosixCodePagePlan()->asciiOnly = true;
    const std::string search = "\xE9\x94\x99\xE8\xAF\xAF";   // 错误
    WriteFile(Path("log.txt"), "ERROR ??\r\nok \xA5\x5C\r\n");
    RunOutcome outcome = Run(search, "-", false, "", false);
    EXPECT_EQ(outcome.failure, kRunSearchNotHeld);
    EXPECT_EQ(outcome.file, kSourceFile);
    EXPECT_EQ(outcome.with, kExportUnchanged);
    EXPECT_EQ(Bytes("log.txt"), "ERROR ??\r\nok \xA5\x5C\r\n");
    EXPECT_EQ(dir_.Entries(), std::vector<std::string>{"log.txt"});

    // Removing in place: the with-string export is off, its lines still count.
    WriteFile(Path("log.txt"), "ok\r\nUTF-8 " + search + " here\r\n");
    outcome = Run(search, "", false, "-", false);
    EXPECT_EQ(outcome.failure, kRunSucceeded);
    EXPECT_EQ(Bytes("log.txt"), "ok\r\n");

    WriteFile(Path("log.txt"), kUtf8Bom + "ok\r\n");
    outcome = Run(search, "-", false, "found.txt", false);
    EXPECT_EQ(outcome.failure, kRunSucceeded);
    EXPECT_EQ(Bytes("found.txt"), kUtf8Bom);
}

}  // namespace
