// Every state a failed replace can leave, as ReplaceFileW documents them,
// made by the stand-in replace step on a real file system under Wine: the
// run leaves each file under its own name with its old bytes or its new
// ones, removes a temporary or backup file only when the file is known to
// be whole, and tries again only a file held open for a moment.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "resources/resource_ids.h"
#include "tests/win/strip_form.h"
#include "tests/win/win_test_support.h"
#include "tests/win_replace/replace_stand_in.h"

namespace {

const char kLog[] = "start\r\nERROR one\r\nok\r\nERROR two\r\n";
const char kWith[] = "ERROR one\r\nERROR two\r\n";
const char kWithout[] = "start\r\nok\r\n";

class ReplaceStates : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(form_.window(), nullptr);
        *StandIn() = ReplaceStandIn();
        form_.Text(IDC_SEARCH_TEXT, L"ERROR");
        form_.Text(IDC_SOURCE_PATH, folder_.File(L"log.txt"));
        // Rewrite the source in place without the matching lines.
        form_.Check(IDC_EXPORT_WITH, false);
        form_.Check(IDC_EXPORT_WITHOUT, true);
    }
    void TearDown() override { *StandIn() = ReplaceStandIn(); }

    // A hidden source: its attributes must survive whatever happens.
    void WriteSource(const std::string& lastRead = "")
    {
        std::wstring log = folder_.File(L"log.txt");
        SetFileAttributesW(log.c_str(), FILE_ATTRIBUTE_NORMAL);
        WriteWholeFile(log, kLog + lastRead);
        SetFileAttributesW(log.c_str(), FILE_ATTRIBUTE_HIDDEN);
    }
    bool SourceHidden() const
    {
        DWORD attributes = GetFileAttributesW(folder_.File(L"log.txt").c_str());
        return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_HIDDEN) != 0;
    }
    void Plan(DWORD error, ReplaceStandIn::Leaves leaves, int failures)
    {
        *StandIn() = ReplaceStandIn();
        StandIn()->error = error;
        StandIn()->leaves = leaves;
        StandIn()->failures = failures;
    }

    ScratchDir folder_;
    StripForm form_;
};

// The states that no retry can mend: one call each. Both exports on (the
// source rewritten in place, the matching lines to a new file), every
// replace failing the same way.
TEST_F(ReplaceStates, EachDocumentedStateLeavesEveryFileWholeUnderItsName)
{
    struct Case {
        DWORD error;
        ReplaceStandIn::Leaves leaves;
        bool landed;   // the new content is in place
    };
    const Case cases[] = {
        {ERROR_UNABLE_TO_REMOVE_REPLACED, ReplaceStandIn::kNothingMoved, false},
        {ERROR_UNABLE_TO_REMOVE_REPLACED, ReplaceStandIn::kBackupCopied, false},
        {ERROR_UNABLE_TO_MOVE_REPLACEMENT, ReplaceStandIn::kNothingMoved, false},
        {ERROR_UNABLE_TO_MOVE_REPLACEMENT, ReplaceStandIn::kOldFileRemoved, true},
        {ERROR_UNABLE_TO_MOVE_REPLACEMENT_2, ReplaceStandIn::kOldFileAsBackup, false},
        // Whatever the error says, the files say the new content is in place.
        {ERROR_UNABLE_TO_REMOVE_REPLACED, ReplaceStandIn::kReplacedButFailed, true},
        {ERROR_INVALID_PARAMETER, ReplaceStandIn::kNothingMoved, false},
        {ERROR_DISK_FULL, ReplaceStandIn::kNothingMoved, false},
    };
    form_.Check(IDC_EXPORT_WITH, true);
    form_.Text(IDC_WITH_PATH, folder_.File(L"errors.txt"));
    for (const Case& c : cases) {
        SCOPED_TRACE("error " + std::to_string(c.error) + ", state " + std::to_string(c.leaves));
        WriteSource();
        Plan(c.error, c.leaves, 100);
        form_.Run();
        EXPECT_FALSE(StandIn()->stagingFailed);
        // Never tried again. The export goes first; when it does not land,
        // the source keeps its place untried.
        EXPECT_EQ(StandIn()->calls, c.landed ? 2 : 1);
        EXPECT_TRUE(SourceHidden());
        if (c.landed) {
            EXPECT_EQ(ReadWholeFile(folder_.File(L"log.txt")), kWithout);
            EXPECT_EQ(ReadWholeFile(folder_.File(L"errors.txt")), kWith);
            EXPECT_EQ(folder_.Entries(), (std::vector<std::wstring>{L"errors.txt", L"log.txt"}));
        } else {
            // The export file that the run created goes too.
            EXPECT_EQ(ReadWholeFile(folder_.File(L"log.txt")), kLog);
            EXPECT_EQ(folder_.Entries(), std::vector<std::wstring>{L"log.txt"});
        }
        DeleteFileW(folder_.File(L"errors.txt").c_str());
    }
}

// A file held open for a moment: up to ten more tries, then the run ends
// with the source as it was.
TEST_F(ReplaceStates, AHeldFileIsTriedTenTimesMore)
{
    struct Case {
        DWORD error;
        int failures;
        bool landed;
        int calls;
    };
    const Case cases[] = {
        {ERROR_SHARING_VIOLATION, 3, true, 4},
        {ERROR_LOCK_VIOLATION, 10, true, 11},
        {ERROR_ACCESS_DENIED, 11, false, 11},
        {ERROR_SHARING_VIOLATION, 100, false, 11},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("error " + std::to_string(c.error) + ", failures " + std::to_string(c.failures));
        WriteSource();
        Plan(c.error, ReplaceStandIn::kNothingMoved, c.failures);
        form_.Run();
        EXPECT_EQ(StandIn()->calls, c.calls);
        EXPECT_EQ(ReadWholeFile(folder_.File(L"log.txt")), c.landed ? kWithout : kLog);
        EXPECT_TRUE(SourceHidden());
        EXPECT_EQ(folder_.Entries(), std::vector<std::wstring>{L"log.txt"});
    }
}

// The old file moved to the backup name, and then a logger made the
// source's name anew for its next record: the name holds neither of the
// run's files. Nothing is removed, the logger's file is not touched, and
// what the run tells is so: the whole old log in the backup, the new
// content in the temporary file, and neither under the source's name.
TEST_F(ReplaceStates, AFileAnotherProgramMakesUnderTheNameKeepsBothOfOurs)
{
    WriteSource();
    Plan(ERROR_UNABLE_TO_MOVE_REPLACEMENT_2, ReplaceStandIn::kOldFileAsBackupNameTaken, 100);
    RunOutcome outcome = form_.Run();
    ASSERT_FALSE(StandIn()->stagingFailed);
    EXPECT_EQ(outcome.failure, kRunExportUnreplaced);
    EXPECT_EQ(outcome.file, kWithoutExport);
    EXPECT_EQ(outcome.systemError, static_cast<uint32_t>(ERROR_UNABLE_TO_MOVE_REPLACEMENT_2));
    EXPECT_EQ(outcome.without, kExportKeptBoth);
    EXPECT_EQ(ReadWholeFile(folder_.File(L"log.txt")), kLoggerRecord);
    EXPECT_EQ(ReadWholeFile(outcome.keptOld), kLog);
    EXPECT_EQ(ReadWholeFile(outcome.keptNew), kWithout);
    std::vector<std::wstring> names = folder_.Entries();
    ASSERT_EQ(names.size(), 3u);
    EXPECT_EQ(names[0], L"log.txt");
    // The backup ("qzb....tmp") and the temporary file ("qzv....tmp"), the
    // ones the outcome names.
    EXPECT_EQ(names[1].substr(0, 3), L"qzb");
    EXPECT_EQ(ReadWholeFile(folder_.File(names[1])), kLog);
    EXPECT_EQ(names[2].substr(0, 3), L"qzv");
    EXPECT_EQ(ReadWholeFile(folder_.File(names[2])), kWithout);
    std::wstring old = outcome.keptOld;
    EXPECT_EQ(old.substr(old.size() - names[1].size()), names[1]);
}


// Another program's ways with the log in the moment between the run's last
// look at the source and its replace: a logger's record added at the end
// (it goes to the end of the rewritten log), a rewrite longer than before,
// half a record that is never finished, and a record written through a
// handle kept open with delete sharing, which would go on writing to the
// old file: each of those leaves the log as the other program left it,
// told, with no record lost.
HANDLE g_keptOpen = INVALID_HANDLE_VALUE;

void AppendToLog(const wchar_t* path, const char* bytes, bool keepOpen)
{
    HANDLE log = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | (keepOpen ? FILE_SHARE_DELETE : 0),
                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD put = 0;
    WriteFile(log, bytes, static_cast<DWORD>(strlen(bytes)), &put, nullptr);
    if (keepOpen) {
        g_keptOpen = log;
    } else {
        CloseHandle(log);
    }
}

const char kRecord[] = "2026-12-09 record\r\n";
const char kHalf[] = "2026-12-09 rec";
const char kEdited[] = "an editor's longer version of the log\r\n";

TEST_F(ReplaceStates, WhatAnotherProgramDoesInTheMomentOfTheReplaceIsKept)
{
    struct Case {
        const char* what;
        void (*program)(const wchar_t*);
        RunFailure failure;
        std::string logAfter;
        std::string lastRead = "";   // what the log ends with when the run takes its size
    };
    const Case cases[] = {
        {"a record added", [](const wchar_t* p) { AppendToLog(p, kRecord, false); }, kRunSucceeded,
         std::string(kWithout) + kRecord},
        {"rewritten longer", [](const wchar_t* p) { WriteWholeFile(p, std::string(kEdited) + kLog); },
         kRunSourceChanged, std::string(kEdited) + kLog},
        {"half a record", [](const wchar_t* p) { AppendToLog(p, kHalf, false); }, kRunSourceChanged,
         std::string(kLog) + kHalf},
        {"a record through a handle kept open", [](const wchar_t* p) { AppendToLog(p, kRecord, true); },
         kRunSourceChanged, std::string(kLog) + kRecord},
        // Nothing written yet: the replace is what failed.
        {"a handle kept open, nothing written", [](const wchar_t* p) { AppendToLog(p, "", true); },
         kRunExportUnreplaced, kLog},
        // The run read half a record and wrote it as a line: the rest is
        // not a line of its own.
        {"half a record when the size was taken, finished now",
         [](const wchar_t* p) { AppendToLog(p, "ord\r\n", false); }, kRunSourceChanged,
         std::string(kLog) + "2026-12-09 record\r\n", kHalf},
        // The LF of a CR LF whose CR the run read: no line of its own.
        {"a CR LF cut between what was read and what came in",
         [](const wchar_t* p) { AppendToLog(p, (std::string("\n") + kRecord).c_str(), false); }, kRunSucceeded,
         std::string(kWithout) + "last ok\r\n" + kRecord, "last ok\r"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WriteSource(c.lastRead);
        Plan(0, ReplaceStandIn::kNothingMoved, 0);
        StandIn()->before = c.program;
        RunOutcome outcome = form_.Run();
        StandIn()->before = nullptr;
        if (g_keptOpen != INVALID_HANDLE_VALUE) {
            CloseHandle(g_keptOpen);
            g_keptOpen = INVALID_HANDLE_VALUE;
        }
        EXPECT_EQ(outcome.failure, c.failure);
        if (c.failure == kRunExportUnreplaced) {
            // Told with the system's reason: the other program's handle.
            EXPECT_EQ(outcome.file, kWithoutExport);
            EXPECT_EQ(outcome.systemError, static_cast<uint32_t>(ERROR_SHARING_VIOLATION));
        }
        EXPECT_EQ(ReadWholeFile(folder_.File(L"log.txt")), c.logAfter);
        EXPECT_EQ(folder_.Entries(), std::vector<std::wstring>{L"log.txt"});
    }
}

// The log rewritten longer in the moment before the replace, and a
// logger's record added to the new log just after it: the old log cannot go
// back without the record, so both are kept, and the message says where.
TEST_F(ReplaceStates, ARecordWrittenToTheNewLogKeepsItWhenTheOldCannotGoBack)
{
    WriteSource();
    Plan(0, ReplaceStandIn::kNothingMoved, 0);
    StandIn()->before = [](const wchar_t* p) { WriteWholeFile(p, std::string(kEdited) + kLog); };
    StandIn()->after = [](const wchar_t* p) { AppendToLog(p, kRecord, false); };
    RunOutcome outcome = form_.Run();
    *StandIn() = ReplaceStandIn();
    EXPECT_EQ(outcome.failure, kRunExportUnreplaced);
    EXPECT_EQ(outcome.without, kExportKeptBoth);
    EXPECT_FALSE(outcome.keptNameTaken);
    EXPECT_EQ(ReadWholeFile(folder_.File(L"log.txt")), std::string(kWithout) + kRecord);
    EXPECT_EQ(ReadWholeFile(outcome.keptOld), std::string(kEdited) + kLog);
    std::vector<std::wstring> names = folder_.Entries();
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[0], L"log.txt");
    EXPECT_EQ(names[1].substr(0, 3), L"qzb");
}

// A logger's record added to a new export in the moment of its replace (the
// run made the file, empty, and shares writing to it with a logger): the
// run lands, and the record is the export's previous version, in the
// Recycle Bin, not removed with the empty file the run made. When the
// replace fails, the record stays in the file under its name.
TEST_F(ReplaceStates, ARecordAddedToANewExportAsItIsReplacedIsKept)
{
    const std::wstring errors = folder_.File(L"errors.txt");
    form_.Check(IDC_EXPORT_WITHOUT, false);   // an extraction: the source untouched
    form_.Check(IDC_EXPORT_WITH, true);
    form_.Text(IDC_WITH_PATH, errors);
    for (bool fails : {false, true}) {
        SCOPED_TRACE(fails ? "the replace fails" : "the replace lands");
        EmptyTrash();
        WriteSource();
        Plan(fails ? ERROR_DISK_FULL : 0, ReplaceStandIn::kNothingMoved, fails ? 100 : 0);
        StandIn()->before = [](const wchar_t* p) { AppendToLog(p, kRecord, false); };
        RunOutcome outcome = form_.Run();
        *StandIn() = ReplaceStandIn();
        EXPECT_EQ(outcome.failure, fails ? kRunExportUnreplaced : kRunSucceeded);
        EXPECT_EQ(ReadWholeFile(errors), fails ? std::string(kRecord) : std::string(kWith));
        std::vector<Trashed> trashed = TrashedFiles();
        if (fails) {
            EXPECT_TRUE(trashed.empty());
        } else {
            EXPECT_EQ(outcome.withReport.previous, kPreviousRecycled);
            ASSERT_EQ(trashed.size(), 1u);
            EXPECT_EQ(trashed[0].bytes, kRecord);
        }
        EXPECT_EQ(ReadWholeFile(folder_.File(L"log.txt")), kLog);
        EXPECT_EQ(folder_.Entries(), (std::vector<std::wstring>{L"errors.txt", L"log.txt"}));
        DeleteFileW(errors.c_str());
    }
    EmptyTrash();
}

}  // namespace
