// A run that rewrites a file with content puts its previous version in the
// trash, under the file's name with a note, from where the user takes the
// run back; where the trash does not take it, it stays beside the file.
// A kill at any step of that is finished by the next start with every
// version kept. And a run tells how many lines went where.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "filter/filter.h"
#include "filter/file_steps/previous_version.h"
#include "filter/durability/run_repair.h"
#include "tests/native/test_support.h"

namespace {

const char kLog[] = "start\r\nERROR one\r\nok\r\nERROR two\r\nend\r\n";

class PreviousVersion : public testing::Test {
protected:
    void SetUp() override
    {
        *PosixFaultPlan() = PosixFaults();
        PosixSetStateFolder(state_.path() + "/");
        EmptyTrash();
        // The form as the dialog opens: only the with-string export on, its
        // path empty, so the run keeps in the source the lines that match.
        form_.SetText(IDC_SOURCE_PATH, Source());
        form_.SetCheck(IDC_EXPORT_WITH, true);
        WriteFile(Source(), kLog);
    }
    void TearDown() override
    {
        *PosixFaultPlan() = PosixFaults();
        PosixSetStateFolder("");
    }

    std::string Source() const { return dir_.File("app.log"); }
    std::string Noted() const { return dir_.File("app (previous).log"); }
    static std::string Trash(const std::string& sub) { return TestTrash().path() + sub; }
    // What the trash holds: each file's name and bytes.
    static std::vector<std::pair<std::string, std::string>> Trashed()
    {
        std::vector<std::pair<std::string, std::string>> files;
        for (const std::string& name : FolderEntries(Trash("/files"))) {
            files.push_back({name, ReadFile(Trash("/files/") + name)});
        }
        return files;
    }

    RunOutcome Run(const std::string& search)
    {
        form_.SetText(IDC_SEARCH_TEXT, search);
        return RunStrip(&form_);
    }

    ScratchDir dir_;
    ScratchDir state_;
    PosixForm form_;
};

// The mistyped search text: the extraction in place empties the file, and
// the whole previous file is in the trash, its folder recorded, under its
// noted name. The counts say no line held the text and every line went to
// no file.
TEST_F(PreviousVersion, AnExtractionInPlaceThatMatchesNothingLeavesTheWholeFileInTheTrash)
{
    RunOutcome outcome = Run("ERRROR");
    ASSERT_EQ(outcome.failure, kRunSucceeded);
    EXPECT_EQ(ReadFile(Source()), "");
    EXPECT_EQ(Trashed(), (std::vector<std::pair<std::string, std::string>>{{"app (previous).log", kLog}}));
    std::string info = ReadFile(Trash("/info/app (previous).log.trashinfo"));
    EXPECT_NE(info.find("\nPath=" + dir_.path() + "/app%20(previous).log\n"), std::string::npos) << info;
    EXPECT_EQ(outcome.withReport.previous, kPreviousRecycled);
    EXPECT_EQ(outcome.withReport.lines, 0u);
    EXPECT_EQ(outcome.withoutReport.lines, 5u);
    EXPECT_EQ(dir_.Entries(), std::vector<std::string>{"app.log"});

    // Run again, and again: each previous version is kept, none overwritten.
    WriteFile(Source(), kLog);
    outcome = Run("ERROR");
    EXPECT_EQ(outcome.withReport.lines, 2u);
    EXPECT_EQ(outcome.withoutReport.lines, 3u);
    outcome = Run("two");
    EXPECT_EQ(ReadFile(Source()), "ERROR two\r\n");
    std::vector<std::string> kept;
    for (const auto& file : Trashed()) {
        kept.push_back(file.second);
    }
    std::vector<std::string> expected = {kLog, kLog, "ERROR one\r\nERROR two\r\n"};
    std::sort(kept.begin(), kept.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(kept, expected);
}

// Where the trash does not take the file (a volume without one, or a file
// too big for it, which the shell then removes instead), the previous
// version stays beside the file under its noted name, and the run says so.
// An export rewritten over an existing file keeps its previous version the
// same way. On a volume whose files cannot have a second name an export is
// replaced by two moves and keeps its previous version beside too; the
// source, whose replace needs a second name to see what a logger adds in
// that moment, is then not rewritten and the run says so.
TEST_F(PreviousVersion, WhereTheTrashDoesNotTakeItThePreviousVersionStaysBeside)
{
    const std::string errors = dir_.File("errors.txt");
    for (int fault = 0; fault < 3; ++fault) {
        SCOPED_TRACE("fault " + std::to_string(fault));
        for (const std::string& name : dir_.Entries()) {
            unlink(dir_.File(name).c_str());
        }
        WriteFile(Source(), kLog);
        WriteFile(errors, "old errors\r\n");
        *PosixFaultPlan() = PosixFaults();
        PosixFaultPlan()->failRecycle = fault == 0;
        PosixFaultPlan()->recycleRemoves = fault == 1;
        PosixFaultPlan()->failLink = fault == 2;
        form_.SetCheck(IDC_EXPORT_WITHOUT, true);
        form_.SetText(IDC_WITH_PATH, errors);
        RunOutcome outcome = Run("ERROR");
        EXPECT_EQ(ReadFile(errors), "ERROR one\r\nERROR two\r\n");
        EXPECT_EQ(ReadFile(dir_.File("errors (previous).txt")), "old errors\r\n");
        EXPECT_EQ(outcome.withReport.previous, kPreviousBeside);
        EXPECT_EQ(Utf16ToUtf8(outcome.withReport.previousKept), dir_.File("errors (previous).txt"));
        if (fault == 2) {
            EXPECT_EQ(outcome.failure, kRunExportUnreplaced);
            EXPECT_EQ(ReadFile(Source()), kLog);
            EXPECT_EQ(dir_.Entries(), (std::vector<std::string>{"app.log", "errors (previous).txt", "errors.txt"}));
            continue;
        }
        ASSERT_EQ(outcome.failure, kRunSucceeded);
        EXPECT_EQ(ReadFile(Source()), "start\r\nok\r\nend\r\n");
        EXPECT_EQ(ReadFile(Noted()), kLog);
        EXPECT_EQ(outcome.withoutReport.previous, kPreviousBeside);
        EXPECT_EQ(Utf16ToUtf8(outcome.withoutReport.previousKept), Noted());
        EXPECT_EQ(dir_.Entries(),
                  (std::vector<std::string>{"app (previous).log", "app.log", "errors (previous).txt", "errors.txt"}));
    }
}

// Whatever else holds the file or its names, the previous version is not
// lost nor told to be where it is not: a hard link of the user's to the
// old file (the shell removing the noted name leaves a name, but not one
// of ours); a noted name another file takes between its choice and the
// rename (the other export's own path).
TEST_F(PreviousVersion, OtherNamesOfTheFileOrOfItsNoteDoNotMisleadTheRun)
{
    WriteFile(Source(), kLog);
    ASSERT_EQ(link(Source().c_str(), dir_.File("mirror.log").c_str()), 0);
    PosixFaultPlan()->recycleRemoves = 1;
    RunOutcome outcome = Run("ERROR");
    ASSERT_EQ(outcome.failure, kRunSucceeded);
    EXPECT_EQ(outcome.withReport.previous, kPreviousBeside);
    EXPECT_EQ(ReadFile(Noted()), kLog);
    EXPECT_EQ(dir_.Entries(), (std::vector<std::string>{"app (previous).log", "app.log", "mirror.log"}));

    // The without-string export rewrites errors.txt; the with-string one is
    // new and named as errors.txt's previous version would be.
    *PosixFaultPlan() = PosixFaults();
    for (const std::string& name : dir_.Entries()) {
        unlink(dir_.File(name).c_str());
    }
    WriteFile(Source(), kLog);
    WriteFile(dir_.File("errors.txt"), "old errors\r\n");
    form_.SetCheck(IDC_EXPORT_WITHOUT, true);
    form_.SetText(IDC_WITHOUT_PATH, dir_.File("errors.txt"));
    form_.SetText(IDC_WITH_PATH, dir_.File("errors (previous).txt"));
    outcome = Run("ERROR");
    ASSERT_EQ(outcome.failure, kRunSucceeded);
    EXPECT_EQ(ReadFile(dir_.File("errors (previous).txt")), "ERROR one\r\nERROR two\r\n");
    EXPECT_EQ(outcome.withoutReport.previous, kPreviousRecycled);
    bool kept = false;
    for (const auto& file : Trashed()) {
        kept = kept || (file.first == "errors (previous 2).txt" && file.second == "old errors\r\n");
    }
    EXPECT_TRUE(kept) << "the previous version is not in the trash under the next free name";
}

// A noted name is one no file holds, and keeps the file's extension.
TEST_F(PreviousVersion, ANotedNameIsFreeAndKeepsTheExtension)
{
    WriteFile(Noted(), "taken");
    const std::u16string note = u"previous";
    struct Case {
        std::string name;
        std::string noted;
    };
    for (const Case& c : std::vector<Case>{{"app.log", "app (previous 2).log"},
                                           {"README", "README (previous)"},
                                           {".profile", ".profile (previous)"},
                                           {"a.b.txt", "a.b (previous).txt"}}) {
        std::u16string path = Utf8ToUtf16(dir_.File(c.name));
        FormChar noted[kNotedPathCapacity];
        ASSERT_TRUE(NamePrevious(path.c_str(), note.c_str(), noted)) << c.name;
        EXPECT_EQ(Utf16ToUtf8(noted), dir_.File(c.noted));
    }
}

// Killed at each step of a run that rewrites the source in place, with a
// trash that removes the file instead of keeping it: the next start
// finishes what the run began, and the previous content is never lost: it
// is the source's still, or beside it under its noted name.
TEST_F(PreviousVersion, AKillAtAnyStepKeepsThePreviousVersion)
{
    auto lay = [&] {
        for (const std::string& name : dir_.Entries()) {
            unlink(dir_.File(name).c_str());
        }
        for (const std::string& name : state_.Entries()) {
            unlink(state_.File(name).c_str());
        }
        WriteFile(Source(), kLog);
    };
    form_.SetText(IDC_SEARCH_TEXT, "ERROR");
    lay();
    PosixFaultPlan()->recycleRemoves = 1;
    RunStrip(&form_);
    const int steps = PosixSteps();
    ASSERT_GT(steps, 10);
    for (int at = 1; at <= steps; ++at) {
        SCOPED_TRACE("killed at step " + std::to_string(at) + " of " + std::to_string(steps));
        lay();
        pid_t child = fork();
        if (child == 0) {
            *PosixFaultPlan() = PosixFaults();
            PosixFaultPlan()->recycleRemoves = 1;
            PosixFaultPlan()->killAtStep = at;
            RunStrip(&form_);
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 86);
        *PosixFaultPlan() = PosixFaults();
        PosixFaultPlan()->recycleRemoves = 1;
        RepairReport report;
        RepairInit(&report);
        RepairFromPointers(&report);
        const std::string now = ReadFile(Source());
        if (now == kLog) {
            // (A record a kill left before anything named it may stay: the
            // crash matrix sees to those.)
            for (const std::string& name : dir_.Entries()) {
                EXPECT_TRUE(name == "app.log" || name.compare(0, 3, "qzr") == 0) << name;
            }
        } else {
            EXPECT_EQ(now, "ERROR one\r\nERROR two\r\n");
            EXPECT_EQ(ReadFile(Noted()), kLog);
            EXPECT_EQ(dir_.Entries(), (std::vector<std::string>{"app (previous).log", "app.log"}));
        }
    }
}

}  // namespace
