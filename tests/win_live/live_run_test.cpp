// The real Quorvane.exe under Wine, driven from this process: its dialog
// stays alive through a run of seconds, shows the run's progress, stops it
// with every file as before, tells each failure in a box that names the
// file, and keeps every record another program appends to the source while
// it is rewritten.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "resources/resource_ids.h"
#include "tests/win/win_test_support.h"
#include "tests/win_live/big_log.h"
#include "tests/win_live/live_app.h"

namespace {

const wchar_t kCaption[] = L"Quorvane 1.0 版本";
const wchar_t kNoFileChanged[] = L"沒有變更任何檔案。";

// Blocks of the big log (1 MiB each): a run over it lasts seconds.
const uint64_t kBigLogBlocks = 1024;
// Every wait for a run's end is bounded by this.
const DWORD kRunTimeoutMs = 60000;

std::wstring TitleOf(HWND window)
{
    // Read from the window's own record: no answer from its thread needed.
    wchar_t title[256] = L"";
    GetWindowTextW(window, title, 256);
    return title;
}

// The percentage a title shows as "NN% - <caption>"; -1 for another title.
int PercentIn(const std::wstring& title)
{
    int percent = -1;
    int used = 0;
    if (swscanf(title.c_str(), L"%d%% - %n", &percent, &used) != 1 || used == 0 ||
        title.substr(used) != kCaption) {
        return -1;
    }
    return percent;
}

// The form's in-place split that the tests run: the lines without "ERROR"
// stay in the source, the others go to the with-string export.
void SplitInPlace(const LiveApp& app, const std::wstring& source, const std::wstring& errors, bool append)
{
    app.Text(IDC_SEARCH_TEXT, L"ERROR");
    app.Text(IDC_SOURCE_PATH, source);
    app.Check(IDC_EXPORT_WITHOUT, true);
    app.Text(IDC_WITHOUT_PATH, L"");
    app.Check(IDC_EXPORT_WITH, true);
    app.Text(IDC_WITH_PATH, errors);
    app.Check(IDC_APPEND_WITH, append);
}

#define EXPECT_FILE_HOLDS(path, ...)                                         \
    do {                                                                     \
        std::string why;                                                     \
        EXPECT_TRUE(FileHoldsPieces(path, __VA_ARGS__, &why)) << Narrow(path) << ": " << why; \
    } while (0)

class LiveRun : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(app_.dialog(), nullptr) << "no dialog from " << Narrow(QUORVANE_EXE);
        ASSERT_EQ(TitleOf(app_.dialog()), kCaption);
    }
    // After a run beside which another program wrote the log: the box it
    // showed, if any, is dismissed, and the folder holds the log and, when
    // the run rewrote it, its export; no file of the run's own.
    void DismissAndExpectOnly(HWND box, const std::wstring& log, bool wasRewritten)
    {
        if (box != nullptr) {
            PostMessageW(box, WM_COMMAND, IDOK, 0);
            PumpUntil([&] { return !IsWindow(box); }, 5000);
        }
        std::vector<std::wstring> entries = {log};
        if (wasRewritten) {
            entries.insert(entries.begin(), L"errors.txt");
        }
        EXPECT_EQ(folder_.Entries(), entries);
    }
    // After a rewrite of source in place, errors its export, during which
    // another program added records: either the source holds the kept lines
    // and then the records, no box, and errors the run's lines; or it is
    // left as the other program left it and a box says why. True for the
    // first.
    bool ExpectRewrittenOrLeftAlone(HWND box, const std::wstring& source, const std::wstring& errors,
                                    uint64_t blocks, const std::string& records)
    {
        const LogBlock& log = TheLogBlock();
        std::string rewritten, leftAlone;
        bool wasRewritten = FileHoldsPieces(source, {{&log.withoutError, blocks}, {&records, 1}}, &rewritten);
        bool wasLeft = FileHoldsPieces(source, {{&log.all, blocks}, {&records, 1}}, &leftAlone);
        printf("source %s\n", wasRewritten ? "rewritten" : wasLeft ? "left alone" : "LOST OR MOVED LINES");
        EXPECT_TRUE(wasRewritten || wasLeft) << "as rewritten: " << rewritten << "; as left alone: " << leftAlone;
        if (wasRewritten) {
            EXPECT_EQ(box, nullptr) << Narrow(MessageBoxText(box));
            EXPECT_FILE_HOLDS(errors, {{&log.withError, blocks}});
        } else if (wasLeft) {
            EXPECT_NE(box, nullptr) << "the source was left alone and nothing said why";
            const std::wstring told = L"來源檔案在處理期間被其他程式變更︰\n" + source + L"\n";
            const std::wstring text = box != nullptr ? MessageBoxText(box) : L"";
            EXPECT_EQ(text.compare(0, told.size(), told), 0) << Narrow(text);
        }
        return wasRewritten;
    }
    ScratchDir folder_;
    LiveApp app_;
};

TEST_F(LiveRun, AnswersAtOnceAllThroughARunOfSecondsAndShowsItsProgress)
{
    const LogBlock& log = TheLogBlock();
    const std::wstring source = folder_.File(L"big.log");
    const std::wstring errors = folder_.File(L"errors.txt");
    // Twice the others' log: a run of seconds even with the disk at its
    // fastest.
    const uint64_t blocks = 2 * kBigLogBlocks;
    ASSERT_TRUE(WriteFilePieces(source, {{&log.all, blocks}}));
    SplitInPlace(app_, source, errors, false);

    DWORD start = GetTickCount();
    app_.PressStrip();
    ASSERT_TRUE(app_.Running());
    uint32_t longestAnswer = 0;
    std::vector<int> percents;
    while (app_.Running() && GetTickCount() - start < kRunTimeoutMs) {
        longestAnswer = std::max(longestAnswer, WmNullAnswerMs(app_.dialog()));
        int percent = PercentIn(TitleOf(app_.dialog()));
        if (percent >= 0 && (percents.empty() || percents.back() != percent)) {
            percents.push_back(percent);
        }
        Sleep(20);
    }
    DWORD lasted = GetTickCount() - start;
    ASSERT_TRUE(app_.WaitForRunEnd(0)) << "still running after " << kRunTimeoutMs << " ms";
    printf("run of %lu ms; longest WM_NULL answer %u ms; %zu progress titles\n",
           static_cast<unsigned long>(lasted), longestAnswer, percents.size());

    ASSERT_GE(lasted, 2000u) << "the run is too short to prove anything: make the log bigger";
    // A run on the dialog's own thread keeps a message waiting for the
    // whole run (2 s at least, as asserted above). Answers take some 7 ms;
    // with the other suites sharing the Wine server on a loaded 2-core
    // machine, one was seen taking 353 ms. The bound is half the shortest
    // run, which a blocked dialog cannot meet.
    EXPECT_LE(longestAnswer, 1000u);
    ASSERT_GE(percents.size(), 2u) << "the title showed no progress";
    EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
    EXPECT_LE(percents.back(), 100);
    EXPECT_EQ(TitleOf(app_.dialog()), kCaption);
    EXPECT_EQ(app_.WaitForMessageBox(500), nullptr) << "a successful run is silent";
    EXPECT_FILE_HOLDS(source, {{&log.withoutError, blocks}});
    EXPECT_FILE_HOLDS(errors, {{&log.withError, blocks}});
    EXPECT_EQ(folder_.Entries(), (std::vector<std::wstring>{L"big.log", L"errors.txt"}));
}

// Escape and the close box in the middle of a run that rewrites the source
// in place and appends to an export: both stop it with every file as it
// was and no temporary file left; Escape keeps the window, the close box
// ends the program with exit code 0.
TEST_F(LiveRun, StoppingMidRunLeavesEveryFileAsBefore)
{
    struct Case {
        const char* how;
        std::function<void(HWND)> stop;
        bool endsProgram;
    };
    const Case cases[] = {
        {"Escape", PressEscapeAt, false},
        {"close box", [](HWND dialog) { PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0); }, true},
    };
    const LogBlock& log = TheLogBlock();
    const std::string earlier = "2024-04-30 ERROR earlier run\r\n";
    const std::wstring source = folder_.File(L"big.log");
    const std::wstring errors = folder_.File(L"errors.txt");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.how);
        ASSERT_TRUE(WriteFilePieces(source, {{&log.all, kBigLogBlocks}}));
        LiveApp fresh;
        const LiveApp& app = c.endsProgram ? fresh : app_;
        ASSERT_NE(app.dialog(), nullptr);
        WriteWholeFile(errors, earlier);
        SplitInPlace(app, source, errors, true);

        app.PressStrip();
        ASSERT_TRUE(app.Running());
        // Well into the run: its progress shows.
        DWORD start = GetTickCount();
        while (PercentIn(TitleOf(app.dialog())) < 0 && GetTickCount() - start < kRunTimeoutMs) {
            Sleep(10);
        }
        ASSERT_TRUE(app.Running()) << "the run ended before it could be stopped";
        DWORD stopped = GetTickCount();
        c.stop(app.dialog());
        DWORD exitCode = 1;
        bool over = c.endsProgram ? app.WaitForExit(20000, &exitCode) : app.WaitForRunEnd(20000);
        DWORD stopMs = GetTickCount() - stopped;
        ASSERT_TRUE(over) << "neither stopped nor ended";
        printf("%s: over %lu ms after the stop\n", c.how, static_cast<unsigned long>(stopMs));
        // Five times the 200 ms a stop should take: generous for a loaded machine, far
        // below the seconds the rest of the run would take.
        EXPECT_LE(stopMs, 1000u);
        if (c.endsProgram) {
            EXPECT_EQ(exitCode, 0u);
        } else {
            EXPECT_TRUE(IsWindowVisible(app.dialog()));
            EXPECT_EQ(TitleOf(app.dialog()), kCaption);
            EXPECT_EQ(app.WaitForMessageBox(500), nullptr) << "a stopped run is not told";
        }
        EXPECT_FILE_HOLDS(source, {{&log.all, kBigLogBlocks}});
        EXPECT_FILE_HOLDS(errors, {{&earlier, 1}});
        EXPECT_EQ(folder_.Entries(), (std::vector<std::wstring>{L"big.log", L"errors.txt"}));
    }
}

// The size of a file as its folder tells it; 0 when it cannot be asked.
uint64_t SizeOf(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        return 0;
    }
    return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// The program killed in the middle of a 2 GiB in-place split that appends
// its errors to a file of the user's (Task Manager, a crash), while the
// commit adds the errors, which waited in a temporary file, at the
// export's end: the source's new content lies in a temporary file and the
// export holds part of this run's lines. The next start puts everything
// back before the window shows and says so, in one box: every file as
// before, the export's last-write time too, and none of the run's files
// left.
TEST_F(LiveRun, AStartAfterAKillPutsBackWhatTheKilledRunLeft)
{
    const LogBlock& log = TheLogBlock();
    const std::string earlier = "2024-04-30 ERROR earlier run\r\n";
    const std::wstring source = folder_.File(L"big.log");
    const std::wstring errors = folder_.File(L"errors.txt");
    const uint64_t blocks = 2 * kBigLogBlocks;
    ASSERT_TRUE(WriteFilePieces(source, {{&log.all, blocks}}));
    WriteWholeFile(errors, earlier);
    // An old last-write time, to see it come back.
    FILETIME old = {0x12345678u, 0x01D00000u};
    HANDLE stamp = CreateFileW(errors.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                               nullptr);
    ASSERT_NE(stamp, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetFileTime(stamp, nullptr, nullptr, &old));
    CloseHandle(stamp);

    {
        LiveApp killed;
        ASSERT_NE(killed.dialog(), nullptr);
        SplitInPlace(killed, source, errors, true);
        killed.PressStrip();
        ASSERT_TRUE(killed.Running());
        // The export takes the run's lines only once they are all read: the
        // kill comes as soon as the first of them are there.
        DWORD start = GetTickCount();
        while (SizeOf(errors) <= earlier.size() && killed.Running() && GetTickCount() - start < kRunTimeoutMs) {
            Sleep(1);
        }
        ASSERT_TRUE(killed.Running()) << "the run ended before it could be killed";
        ASSERT_TRUE(TerminateProcess(killed.process(), 1));
        ASSERT_EQ(WaitForSingleObject(killed.process(), 10000), static_cast<DWORD>(WAIT_OBJECT_0));
    }
    // What the kill left: the export longer, the run's files beside.
    const uint64_t reached = SizeOf(errors);
    const uint64_t whole = earlier.size() + blocks * log.withError.size();
    printf("the kill left the export at %llu of %llu bytes\n", static_cast<unsigned long long>(reached),
           static_cast<unsigned long long>(whole));
    ASSERT_GT(reached, earlier.size()) << "the kill came before any line reached the export";
    std::vector<std::wstring> left = folder_.Entries();
    printf("the kill left:");
    for (const std::wstring& name : left) {
        printf(" %s", Narrow(name).c_str());
    }
    printf("\n");
    ASSERT_GT(left.size(), 2u) << "no file of the run's beside the user's";

    // The next start.
    DWORD started = GetTickCount();
    LiveApp next;
    ASSERT_NE(next.dialog(), nullptr);
    HWND box = next.WaitForMessageBox(10000);
    printf("the dialog and the box were there %lu ms after the start\n",
           static_cast<unsigned long>(GetTickCount() - started));
    ASSERT_NE(box, nullptr) << "what was put back was not told";
    EXPECT_EQ(GetWindow(box, GW_OWNER), next.dialog());
    const std::wstring text = MessageBoxText(box);
    const std::wstring headline = L"上次的處理未能完成（程式被結束或電腦斷電），下列檔案已恢復為處理前的內容︰\n";
    EXPECT_EQ(text.compare(0, headline.size(), headline), 0) << Narrow(text);
    EXPECT_NE(text.find(L"\n" + errors + L"\n"), std::wstring::npos) << Narrow(text);
    EXPECT_NE(text.find(source), std::wstring::npos) << Narrow(text);
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    PumpUntil([&] { return !IsWindow(box); }, 5000);
    EXPECT_EQ(next.WaitForMessageBox(500), nullptr) << "told twice";

    EXPECT_EQ(ReadWholeFile(errors), earlier);
    // Cut back by the run's own bytes while the kill left it part way: no
    // one can say its first bytes are as before, so it keeps a time of now,
    // never another old one.
    WIN32_FILE_ATTRIBUTE_DATA data;
    ASSERT_TRUE(GetFileAttributesExW(errors.c_str(), GetFileExInfoStandard, &data));
    ULARGE_INTEGER was = {{old.dwLowDateTime, old.dwHighDateTime}};
    ULARGE_INTEGER now = {{data.ftLastWriteTime.dwLowDateTime, data.ftLastWriteTime.dwHighDateTime}};
    EXPECT_TRUE(now.QuadPart == was.QuadPart || now.QuadPart > was.QuadPart + 10000000ull)
        << "the export got a last-write time it never had";
    EXPECT_EQ(folder_.Entries(), (std::vector<std::wstring>{L"big.log", L"errors.txt"}));
    EXPECT_FILE_HOLDS(source, {{&log.all, blocks}});

    // Nothing is left to put back: the start after is silent.
    DWORD exitCode = 1;
    PostMessageW(next.dialog(), WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_TRUE(next.WaitForExit(10000, &exitCode));
    LiveApp quiet;
    ASSERT_NE(quiet.dialog(), nullptr);
    EXPECT_EQ(quiet.WaitForMessageBox(1000), nullptr) << "a start with nothing to put back said something";
}

// Each kind of failure, run through the real dialog one after another: one
// box owned by the dialog, with its caption, naming what failed and the file
// as typed, and what became of the files; a successful run shows none.
TEST_F(LiveRun, EachFailureIsToldInABoxThatNamesTheFile)
{
    const std::string small = "start\r\nERROR one\r\nok\r\n";
    const std::wstring source = folder_.File(L"app.log");
    const std::wstring errors = folder_.File(L"errors.txt");
    const std::wstring kept = folder_.File(L"kept.txt");
    const std::wstring missingFolder = folder_.File(L"nowhere\\errors.txt");
    CreateDirectoryW(folder_.File(L"folder").c_str(), nullptr);
    // Another program holding the export open, sharing nothing.
    WriteWholeFile(errors, "");
    HANDLE held = CreateFileW(errors.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);

    struct Case {
        const char* what;
        std::wstring source;
        std::wstring without;     // its path, or "-" for switched off
        std::wstring with;
        const wchar_t* headline;  // null: the run succeeds and says nothing
        std::wstring file;        // the file named
        std::wstring fates;       // what became of the files
        const char* sourceAfter;
    };
    const Case cases[] = {
        {"missing source", folder_.File(L"missing.log"), L"", L"-", L"無法開啟來源檔案︰",
         folder_.File(L"missing.log"), kNoFileChanged, nullptr},
        {"source is a folder", folder_.File(L"folder"), L"", L"-", L"無法開啟來源檔案︰", folder_.File(L"folder"),
         kNoFileChanged, nullptr},
        {"export in a missing folder, source rewritten", source, L"", missingFolder, L"無法開啟匯出檔以寫入︰",
         missingFolder, kNoFileChanged, "start\r\nERROR one\r\nok\r\n"},
        {"export held without sharing, source rewritten", source, L"", errors, L"無法開啟匯出檔以寫入︰", errors,
         kNoFileChanged, "start\r\nERROR one\r\nok\r\n"},
        {"export held, the other written", source, kept, errors, L"無法開啟匯出檔以寫入︰", errors,
         L"已寫入︰" + kept + L"\n未變更︰" + errors, "start\r\nERROR one\r\nok\r\n"},
        {"success", source, L"", L"-", nullptr, L"", L"", "start\r\nok\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WriteWholeFile(source, small);
        DeleteFileW(kept.c_str());
        app_.Text(IDC_SEARCH_TEXT, L"ERROR");
        app_.Text(IDC_SOURCE_PATH, c.source);
        app_.Check(IDC_EXPORT_WITHOUT, c.without != L"-");
        app_.Text(IDC_WITHOUT_PATH, c.without == L"-" ? L"" : c.without);
        app_.Check(IDC_EXPORT_WITH, c.with != L"-");
        app_.Text(IDC_WITH_PATH, c.with == L"-" ? L"" : c.with);
        app_.PressStrip();
        ASSERT_TRUE(app_.WaitForRunEnd(kRunTimeoutMs));
        HWND box = app_.WaitForMessageBox(c.headline != nullptr ? 5000 : 500);
        if (c.headline == nullptr) {
            EXPECT_EQ(box, nullptr) << Narrow(MessageBoxText(box));
        } else {
            ASSERT_NE(box, nullptr) << "the failure was not told";
            EXPECT_EQ(GetWindow(box, GW_OWNER), app_.dialog());
            EXPECT_EQ(TitleOf(box), kCaption);
            const std::wstring text = MessageBoxText(box);
            const std::wstring named = std::wstring(c.headline) + L"\n" + c.file + L"\n\n原因︰";
            EXPECT_EQ(text.compare(0, named.size(), named), 0) << Narrow(text);
            EXPECT_NE(text.find(L"\n\n" + c.fates + L"\n"), std::wstring::npos) << Narrow(text);
            PostMessageW(box, WM_COMMAND, IDOK, 0);
            PumpUntil([&] { return !IsWindow(box); }, 5000);
        }
        if (c.sourceAfter != nullptr) {
            EXPECT_EQ(ReadWholeFile(source), c.sourceAfter);
        }
    }
    CloseHandle(held);
}

// A POSIX process (Wine starts Unix programs too) that appends "record i"
// lines to a file, opening it for each one, a few milliseconds apart: it
// uses no Windows sharing at all, as a log writer on the same folder would.
// Wine gives no handle of such a process: it says it is done by making the
// file's name with ".done" added.
void StartPosixAppender(const std::wstring& file, int records)
{
    std::string unixName = UnixName(file);
    std::wstring command = L"Z:\\bin\\bash -c \"for i in $(seq 1 " + std::to_wstring(records) +
                           L"); do echo record $i >> $0; sleep 0.005; done; : > $0.done\" " +
                           std::wstring(unixName.begin(), unixName.end());
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (CreateProcessW(L"Z:\\bin\\bash", &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                       &process)) {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
}

// Another program appends records to the source while the run rewrites it
// in place: a writer that stops during the run, and one that goes on past
// its end. Afterwards every record is in the source, once, in order: either
// the source was rewritten and the records follow its kept lines, or it was
// left alone because it changed and the run said so.
TEST_F(LiveRun, RecordsAppendedToTheSourceDuringARewriteAllStay)
{
    const uint64_t blocks = kBigLogBlocks / 4;
    const int counts[] = {40, 400};
    const LogBlock& log = TheLogBlock();
    const std::wstring source = folder_.File(L"live.log");
    const std::wstring errors = folder_.File(L"errors.txt");
    for (int count : counts) {
        SCOPED_TRACE(std::to_string(count) + " records");
        ASSERT_TRUE(WriteFilePieces(source, {{&log.all, blocks}}));
        DeleteFileW(errors.c_str());
        std::string records;
        for (int i = 1; i <= count; ++i) {
            records += "record " + std::to_string(i) + "\n";
        }
        SplitInPlace(app_, source, errors, false);

        app_.PressStrip();
        const std::wstring done = source + L".done";
        StartPosixAppender(source, count);
        EXPECT_TRUE(PumpUntil([&] { return FileExists(done); }, 30000)) << "the writer did not finish";
        DeleteFileW(done.c_str());
        ASSERT_TRUE(app_.WaitForRunEnd(kRunTimeoutMs));

        HWND box = app_.WaitForMessageBox(1000);
        bool wasRewritten = ExpectRewrittenOrLeftAlone(box, source, errors, blocks, records);
        if (!wasRewritten) {
            EXPECT_FALSE(FileExists(errors) && ReadWholeFile(errors) != "") << "an export was written";
        }
        // No temporary file left; the export the run created is gone with
        // a run that did not happen.
        DismissAndExpectOnly(box, L"live.log", wasRewritten);
    }
}

// The Windows logger (win_appender.cpp): opens the log for each record with
// FILE_APPEND_DATA, sharing reading and writing, pause ms apart.
HANDLE StartWindowsLogger(const std::wstring& file, int records, int pause)
{
    std::wstring command = L"\"" + std::wstring(QUORVANE_WIN_APPENDER) + L"\" \"" + file + L"\" " +
                           std::to_wstring(records) + L" " + std::to_wstring(pause);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        return nullptr;
    }
    CloseHandle(process.hThread);
    return process.hProcess;
}

// A Windows logger appends to the source while the real program rewrites it
// in place: the run's hold on the source shares writing, so the logger goes
// on (it never waits more than a moment), and afterwards every record is in
// the log exactly once, after its kept lines: either the source was
// rewritten, the records that came in the moment of the replace added at
// its end, or it was left alone because it changed, and the run said so.
// A logger that stops during the run, and one that goes on past its end.
TEST_F(LiveRun, RecordsAWindowsLoggerAppendsDuringARewriteAllStay)
{
    const uint64_t blocks = kBigLogBlocks / 4;
    struct Case {
        int records;
        int pause;
    };
    const Case cases[] = {{40, 5}, {400, 5}, {30, 60}};
    const LogBlock& log = TheLogBlock();
    const std::wstring source = folder_.File(L"win.log");
    const std::wstring errors = folder_.File(L"errors.txt");
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.records) + " records, " + std::to_string(c.pause) + " ms apart");
        ASSERT_TRUE(WriteFilePieces(source, {{&log.all, blocks}}));
        DeleteFileW(errors.c_str());
        std::string records;
        for (int i = 1; i <= c.records; ++i) {
            records += "record " + std::to_string(i) + "\r\n";
        }
        SplitInPlace(app_, source, errors, false);

        app_.PressStrip();
        HANDLE logger = StartWindowsLogger(source, c.records, c.pause);
        ASSERT_NE(logger, nullptr);
        EXPECT_EQ(WaitForSingleObject(logger, 60000), WAIT_OBJECT_0) << "the logger did not finish";
        DWORD retries = 20000;
        GetExitCodeProcess(logger, &retries);
        CloseHandle(logger);
        ASSERT_TRUE(app_.WaitForRunEnd(kRunTimeoutMs));
        printf("%d records: the logger waited %lu times for a moment\n", c.records, static_cast<unsigned long>(retries));
        EXPECT_LT(retries, 20000u) << "the logger could not write a record";
        // Held out only in the moments of a replace, never for the run's
        // seconds: at most 40 waits of 5 ms in all.
        EXPECT_LE(retries, 40u) << "the run's hold on the source kept the logger out";

        HWND box = app_.WaitForMessageBox(1000);
        bool wasRewritten = ExpectRewrittenOrLeftAlone(box, source, errors, blocks, records);
        DismissAndExpectOnly(box, L"win.log", wasRewritten);
    }
}

// The line under the export rows that tells what the last run did.
std::wstring OutcomeLine(const LiveApp& app)
{
    return WindowText(GetDlgItem(app.dialog(), IDC_OUTCOME_LINE));
}

// A mistyped search text with the form as it opens (the with-string export
// on, its path empty): the extraction in place empties the source. The
// whole previous file is in the Recycle Bin, from the source's folder,
// under its name with a note; the line says that no line held the text,
// where the other lines went, and where the previous version is; no box.
// A change to the form clears the line.
TEST_F(LiveRun, AMistypedExtractionInPlaceCanBeTakenBackFromTheRecycleBin)
{
    EmptyTrash();
    const std::string log = "start\r\nERROR one\r\nok\r\n";
    const std::wstring source = folder_.File(L"app.log");
    WriteWholeFile(source, log);
    app_.Text(IDC_SEARCH_TEXT, L"ERRROR");
    app_.Text(IDC_SOURCE_PATH, source);
    app_.PressStrip();
    ASSERT_TRUE(app_.WaitForRunEnd(kRunTimeoutMs));
    EXPECT_EQ(app_.WaitForMessageBox(300), nullptr) << "a run that succeeded showed a box";
    EXPECT_EQ(ReadWholeFile(source), "");
    std::vector<Trashed> trashed = TrashedFiles();
    ASSERT_EQ(trashed.size(), 1u);
    EXPECT_EQ(trashed[0].bytes, log);
    EXPECT_EQ(trashed[0].from, UnixName(folder_.File(L"app (移除行列前).log")));
    EXPECT_EQ(folder_.Entries(), std::vector<std::wstring>{L"app.log"});
    EXPECT_EQ(OutcomeLine(app_), L"沒有任何一行含有「ERRROR」；不含字串 3 行未寫入任何檔案；舊版本已移至資源回收筒。");
    app_.Text(IDC_SEARCH_TEXT, L"ERROR");
    EXPECT_EQ(OutcomeLine(app_), L"");
}

// A split into an export that exists: its previous version goes to the
// Recycle Bin too, and the line counts, with thousands grouped, the lines
// each export now holds.
TEST_F(LiveRun, AnExportRewrittenOverAFileKeepsItsPreviousVersionAndTheLineCountsItsLines)
{
    EmptyTrash();
    std::string log;
    for (int i = 0; i < 2600; ++i) {
        log += i % 5 == 0 ? "2026-12-10 ERROR disk\r\n" : "2026-12-10 ok\n";
    }
    const std::wstring source = folder_.File(L"app.log");
    const std::wstring errors = folder_.File(L"errors.txt");
    const std::wstring rest = folder_.File(L"rest.txt");
    WriteWholeFile(source, log);
    WriteWholeFile(errors, "last week's errors\r\n");
    app_.Text(IDC_SEARCH_TEXT, L"ERROR");
    app_.Text(IDC_SOURCE_PATH, source);
    app_.Check(IDC_EXPORT_WITHOUT, true);
    app_.Text(IDC_WITHOUT_PATH, rest);
    app_.Text(IDC_WITH_PATH, errors);
    app_.PressStrip();
    ASSERT_TRUE(app_.WaitForRunEnd(kRunTimeoutMs));
    auto lines = [](const std::string& bytes) {
        size_t n = 0;
        for (size_t at = bytes.find("\r\n"); at != std::string::npos; at = bytes.find("\r\n", at + 2)) {
            ++n;
        }
        return n;
    };
    EXPECT_EQ(lines(ReadWholeFile(errors)), 520u);
    EXPECT_EQ(lines(ReadWholeFile(rest)), 2080u);
    EXPECT_EQ(OutcomeLine(app_), L"含字串 520 行 → errors.txt；不含字串 2,080 行 → rest.txt；舊版本已移至資源回收筒。");
    std::vector<Trashed> trashed = TrashedFiles();
    ASSERT_EQ(trashed.size(), 1u);
    EXPECT_EQ(trashed[0].bytes, "last week's errors\r\n");
    EXPECT_EQ(trashed[0].from, UnixName(folder_.File(L"errors (移除行列前).txt")));
    EXPECT_EQ(ReadWholeFile(source), log);
    EXPECT_EQ(folder_.Entries(), (std::vector<std::wstring>{L"app.log", L"errors.txt", L"rest.txt"}));
}

}  // namespace
