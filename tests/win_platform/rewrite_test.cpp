// Rewrites under Wine on a real file system: the user's file keeps its own
// name whatever spelling named it, and a file that another program holds
// open for a moment does not cost the run.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/win32/final_path.h"
#include "resources/resource_ids.h"
#include "tests/win/strip_form.h"
#include "tests/win/win_test_support.h"

namespace {

const char kLog[] = "start\r\nERROR one\r\nok\r\nERROR two\r\n";
const char kWith[] = "ERROR one\r\nERROR two\r\n";
const char kWithout[] = "start\r\nok\r\n";

std::wstring ShortName(const std::wstring& path)
{
    wchar_t name[MAX_PATH];
    DWORD n = GetShortPathNameW(path.c_str(), name, MAX_PATH);
    return n > 0 && n < MAX_PATH ? std::wstring(name, n) : std::wstring();
}

class WinRewrite : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(form_.window(), nullptr);
        form_.Text(IDC_SEARCH_TEXT, L"ERROR");
    }
    // The with-string export off, the without-string one rewriting the
    // source in place.
    void RemoveInPlace()
    {
        form_.Check(IDC_EXPORT_WITH, false);
        form_.Check(IDC_EXPORT_WITHOUT, true);
        form_.Text(IDC_WITHOUT_PATH, L"");
    }
    ScratchDir folder_;
    StripForm form_;
};

// Wine's drives are case-sensitive folders, as Windows allows per folder:
// there, a new file named as typed would stand beside (or instead of) the
// user's file.
TEST_F(WinRewrite, TheUsersFileKeepsItsNameWhateverSpellingNamesIt)
{
    const std::wstring longName = L"longfilename_source.txt";
    WriteWholeFile(folder_.File(longName), kLog);
    const std::wstring shortName = ShortName(folder_.File(longName));
    ASSERT_FALSE(shortName.empty());
    ASSERT_NE(shortName, folder_.File(longName));

    struct Case {
        std::wstring file;     // the user's file, rewritten in place
        std::wstring source;   // the source as typed
        std::wstring exportPath;   // the without-string export as typed
    };
    const Case cases[] = {
        {L"src.txt", folder_.File(L"src.txt"), folder_.File(L"SRC.TXT")},
        {L"src.txt", folder_.File(L"Src.Txt"), L""},
        {longName, folder_.File(longName), shortName},
        {longName, shortName, L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("source " + Narrow(c.source) + ", export " + Narrow(c.exportPath));
        WriteWholeFile(folder_.File(L"src.txt"), kLog);
        WriteWholeFile(folder_.File(longName), kLog);
        const std::vector<std::wstring> before = folder_.Entries();
        RemoveInPlace();
        form_.Text(IDC_SOURCE_PATH, c.source);
        form_.Text(IDC_WITHOUT_PATH, c.exportPath);
        form_.Run();
        EXPECT_EQ(ReadWholeFile(folder_.File(c.file)), kWithout);
        EXPECT_EQ(folder_.Entries(), before);
    }

    // A separate export, typed in other letter case and by its short name.
    const std::wstring longExport = L"the_errors_of_today.txt";
    WriteWholeFile(folder_.File(longExport), "old\r\n");
    const std::wstring exportCases[][2] = {
        {L"errors.txt", folder_.File(L"ERRORS.txt")},
        {longExport, ShortName(folder_.File(longExport))},
    };
    for (const auto& c : exportCases) {
        SCOPED_TRACE("export " + Narrow(c[1]));
        WriteWholeFile(folder_.File(c[0]), "old\r\n");
        const std::vector<std::wstring> before = folder_.Entries();
        form_.Check(IDC_EXPORT_WITHOUT, false);
        form_.Check(IDC_EXPORT_WITH, true);
        form_.Text(IDC_SOURCE_PATH, folder_.File(L"src.txt"));
        form_.Text(IDC_WITH_PATH, c[1]);
        form_.Run();
        EXPECT_EQ(ReadWholeFile(folder_.File(c[0])), kWith);
        EXPECT_EQ(folder_.Entries(), before);
    }
}

TEST_F(WinRewrite, TheClaimedPathIsTheStoredNameInItsPlainForm)
{
    WriteWholeFile(folder_.File(L"src.txt"), kLog);
    SetCurrentDirectoryW(folder_.path().c_str());
    const std::wstring spellings[] = {folder_.File(L"SRC.TXT"), L".\\Src.txt", L"src.txt",
                                      ShortName(folder_.File(L"src.txt"))};
    for (const std::wstring& spelling : spellings) {
        SCOPED_TRACE(Narrow(spelling));
        bool created = true;
        FileHandle claim = PlatformClaimTarget(spelling.c_str(), &created);
        ASSERT_NE(claim, nullptr);
        EXPECT_FALSE(created);
        wchar_t path[kLongPathCapacity];
        wcscpy(path, spelling.c_str());
        ASSERT_TRUE(PlatformClaimedPath(claim, path, kLongPathCapacity));
        // Not "\\?\C:\...": the form that every call takes.
        EXPECT_EQ(std::wstring(path), folder_.File(L"src.txt"));

        // Too little room: false, and the path as it was.
        wchar_t small[8] = L"typed";
        EXPECT_FALSE(PlatformClaimedPath(claim, small, 8));
        EXPECT_EQ(std::wstring(small), L"typed");
        PlatformClose(claim);
    }
    // A typed path made full against the current folder, as the run and the
    // repair after it name it, whatever folder the repair starts in.
    wchar_t typed[kPathCapacity] = L".\\Src.txt";
    ASSERT_TRUE(PlatformFullPath(typed, kPathCapacity));
    EXPECT_EQ(std::wstring(typed), folder_.File(L"Src.txt"));
    wchar_t small[8] = L"src.txt";
    EXPECT_FALSE(PlatformFullPath(small, 8));
    EXPECT_EQ(std::wstring(small), L"src.txt");
    SetCurrentDirectoryW(L"C:\\");
}

TEST(FinalPath, TakesThePlainFormWhereItAndANameBesideItFit)
{
    // Folders after which a name made beside a file ("qzv1234.tmp") just
    // fits the classic limit, and just does not.
    const std::wstring fits = L"C:\\" + std::wstring(244, L'd') + L"\\";
    const std::wstring tooLong = L"C:\\" + std::wstring(245, L'd') + L"\\";
    ASSERT_EQ(fits.size() + 11, static_cast<size_t>(MAX_PATH - 1));
    const std::wstring cases[][2] = {
        {L"\\\\?\\C:\\dir\\file.txt", L"C:\\dir\\file.txt"},
        {L"\\\\?\\UNC\\server\\share\\dir\\f.txt", L"\\\\server\\share\\dir\\f.txt"},
        {L"\\\\?\\" + fits + L"f.txt", fits + L"f.txt"},
        {L"\\\\?\\" + tooLong + L"f.txt", L"\\\\?\\" + tooLong + L"f.txt"},
        // A whole path of 259 characters fits, one of 260 does not.
        {L"\\\\?\\C:\\" + std::wstring(256, L'n'), L"C:\\" + std::wstring(256, L'n')},
        {L"\\\\?\\C:\\" + std::wstring(257, L'n'), L"\\\\?\\C:\\" + std::wstring(257, L'n')},
        {L"\\\\?\\UNC\\s\\h\\" + std::wstring(300, L'n'), L"\\\\?\\UNC\\s\\h\\" + std::wstring(300, L'n')},
        // No drive letter to go back to.
        {L"\\\\?\\Volume{26a21bda-a627-11d7-9931-806e6f6e6963}\\f.txt",
         L"\\\\?\\Volume{26a21bda-a627-11d7-9931-806e6f6e6963}\\f.txt"},
        {L"C:\\plain.txt", L"C:\\plain.txt"},
    };
    for (const auto& c : cases) {
        std::vector<wchar_t> path(c[0].begin(), c[0].end());
        path.push_back(0);
        uint32_t length = PlainFormWhereItFits(path.data(), static_cast<uint32_t>(c[0].size()));
        EXPECT_EQ(std::wstring(path.data()), c[1]) << Narrow(c[0]);
        EXPECT_EQ(length, c[1].size()) << Narrow(c[0]);
    }
}

// Claims share reading: a program that reads the file may open it while the
// run holds it, but no second claim, nor any other writer, may.
// A claim to append shares reading only: no other writer gets in between
// the run's lines. A claim to rewrite (its lines go to a temporary file)
// shares writing too, so that a logger opening the file for each record
// goes on adding to it meanwhile. Either way the file's content is left.
TEST_F(WinRewrite, AClaimToAppendSharesReadingOnlyAClaimToRewriteSharesWriting)
{
    for (bool rewrite : {false, true}) {
        SCOPED_TRACE(rewrite ? "claim to rewrite" : "claim to append");
        WriteWholeFile(folder_.File(L"src.txt"), kLog);
        bool created = false;
        FileHandle claim = PlatformClaimTarget(folder_.File(L"src.txt").c_str(), &created, nullptr, rewrite);
        ASSERT_NE(claim, nullptr);
        EXPECT_FALSE(created);
        EXPECT_EQ(ReadWholeFile(folder_.File(L"src.txt")), kLog);
        if (!rewrite) {
            FileHandle second = PlatformClaimTarget(folder_.File(L"SRC.TXT").c_str(), &created);
            EXPECT_EQ(second, nullptr);
            PlatformClose(second);
        }
        HANDLE logger = CreateFileW(folder_.File(L"src.txt").c_str(), FILE_APPEND_DATA,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_EQ(logger != INVALID_HANDLE_VALUE, rewrite);
        if (logger != INVALID_HANDLE_VALUE) {
            DWORD put = 0;
            EXPECT_TRUE(WriteFile(logger, "record\r\n", 8, &put, nullptr));
            CloseHandle(logger);
        }
        EXPECT_TRUE(PlatformClose(claim));
        EXPECT_EQ(ReadWholeFile(folder_.File(L"src.txt")), std::string(kLog) + (rewrite ? "record\r\n" : ""));
    }
}

// Another program holding a file open, started before the run: reading,
// sharing reading and writing but not deletion, for the given time.
class Holder {
public:
    Holder(const std::wstring& path, DWORD milliseconds, bool exclusive = false)
    {
        static int count = 0;
        std::wstring name = L"quorvane-holder-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                            std::to_wstring(++count);
        held_ = CreateEventW(nullptr, TRUE, FALSE, name.c_str());
        std::wstring command = L"\"" + std::wstring(QUORVANE_FILE_HOLDER) + L"\" \"" + path + L"\" " +
                               std::to_wstring(milliseconds) + L" " + name + (exclusive ? L" exclusive" : L"");
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION started = {};
        if (CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started)) {
            process_ = started.hProcess;
            CloseHandle(started.hThread);
        }
    }
    ~Holder()
    {
        // Whatever the test saw, the file is let go now.
        if (process_ != nullptr) {
            TerminateProcess(process_, 3);
            WaitForSingleObject(process_, 20000);
            CloseHandle(process_);
        }
        CloseHandle(held_);
    }
    Holder(const Holder&) = delete;
    Holder& operator=(const Holder&) = delete;

    // Waits until the other program holds the file.
    bool Holds()
    {
        if (process_ == nullptr) {
            return false;
        }
        HANDLE either[2] = {held_, process_};
        return WaitForMultipleObjects(2, either, FALSE, 20000) == WAIT_OBJECT_0;
    }
    // True while the other program runs: it closes the file only at its end.
    bool StillRunning() const { return WaitForSingleObject(process_, 0) == WAIT_TIMEOUT; }

private:
    HANDLE held_ = nullptr;
    HANDLE process_ = nullptr;
};

// A file held for a moment is removed all the same: a temporary file that a
// scanner opened as soon as it appeared does not stay beside the user's.
TEST_F(WinRewrite, AFileHeldForAMomentIsStillRemoved)
{
    const std::wstring path = folder_.File(L"qzv0001.tmp");
    WriteWholeFile(path, "new\r\n");
    Holder holder(path, 300);
    ASSERT_TRUE(holder.Holds());
    PlatformDelete(path.c_str());
    EXPECT_FALSE(FileExists(path));
}

TEST_F(WinRewrite, AFileHeldForAMomentDoesNotCostTheRun)
{
    // The source, rewritten in place, held for 300 ms from the start of the run.
    WriteWholeFile(folder_.File(L"log.txt"), kLog);
    {
        Holder holder(folder_.File(L"log.txt"), 300);
        ASSERT_TRUE(holder.Holds());
        RemoveInPlace();
        form_.Text(IDC_SOURCE_PATH, folder_.File(L"log.txt"));
        form_.Run();
    }
    EXPECT_EQ(ReadWholeFile(folder_.File(L"log.txt")), kWithout);
    EXPECT_EQ(folder_.Entries(), std::vector<std::wstring>{L"log.txt"});

    // A separate export, held the same way.
    WriteWholeFile(folder_.File(L"log.txt"), kLog);
    WriteWholeFile(folder_.File(L"errors.txt"), "old\r\n");
    {
        Holder holder(folder_.File(L"errors.txt"), 300);
        ASSERT_TRUE(holder.Holds());
        form_.Check(IDC_EXPORT_WITHOUT, false);
        form_.Check(IDC_EXPORT_WITH, true);
        form_.Text(IDC_WITH_PATH, folder_.File(L"errors.txt"));
        form_.Run();
    }
    EXPECT_EQ(ReadWholeFile(folder_.File(L"errors.txt")), kWith);
    EXPECT_EQ(ReadWholeFile(folder_.File(L"log.txt")), kLog);
    EXPECT_EQ(folder_.Entries(), (std::vector<std::wstring>{L"errors.txt", L"log.txt"}));

    // The export held sharing nothing for a moment: it cannot even be
    // opened until the other program lets it go.
    WriteWholeFile(folder_.File(L"errors.txt"), "old\r\n");
    {
        Holder holder(folder_.File(L"errors.txt"), 300, true);
        ASSERT_TRUE(holder.Holds());
        RunOutcome outcome = form_.Run();
        EXPECT_EQ(outcome.failure, kRunSucceeded) << "error " << outcome.systemError;
    }
    EXPECT_EQ(ReadWholeFile(folder_.File(L"errors.txt")), kWith);
}

TEST_F(WinRewrite, AFileHeldLongerEndsTheRunWithEveryFileAsItWas)
{
    WriteWholeFile(folder_.File(L"log.txt"), kLog);
    WriteWholeFile(folder_.File(L"errors.txt"), "old\r\n");
    form_.Text(IDC_SOURCE_PATH, folder_.File(L"log.txt"));
    // The source rewritten in place, then a separate export, each held for
    // 5 s: the run gives up while the other program still holds the file.
    for (const wchar_t* held : {L"log.txt", L"errors.txt"}) {
        SCOPED_TRACE(Narrow(held));
        Holder holder(folder_.File(held), 5000);
        ASSERT_TRUE(holder.Holds());
        bool inPlace = std::wstring(held) == L"log.txt";
        form_.Check(IDC_EXPORT_WITHOUT, inPlace);
        form_.Check(IDC_EXPORT_WITH, !inPlace);
        form_.Text(IDC_WITHOUT_PATH, L"");
        form_.Text(IDC_WITH_PATH, folder_.File(L"errors.txt"));
        form_.Run();
        EXPECT_TRUE(holder.StillRunning());
        EXPECT_EQ(ReadWholeFile(folder_.File(L"log.txt")), kLog);
        EXPECT_EQ(ReadWholeFile(folder_.File(L"errors.txt")), "old\r\n");
        EXPECT_EQ(folder_.Entries(), (std::vector<std::wstring>{L"errors.txt", L"log.txt"}));
    }
}

}  // namespace
