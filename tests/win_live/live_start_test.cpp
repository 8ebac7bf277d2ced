// The real Quorvane.exe starting under Wine with files about that its
// repair must not trust: a record beside the user's log that no pointer
// names, whole and sealed, which would remove the log if it were acted on,
// and a pointer in the user's folder of ours cut short. The window opens
// with nothing to tell and every one of those files is as it was.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "filter/durability/run_record.h"
#include "tests/win/win_test_support.h"
#include "tests/win_live/live_app.h"

namespace {

void SetPath(FormChar* to, const std::wstring& path)
{
    for (size_t i = 0; i <= path.size(); ++i) {
        to[i] = path.c_str()[i];
    }
}

// Removes the files it is given when the test ends, however it ends: the
// user's folder of ours is shared by every test and the program itself.
struct RemovedAtTheEnd {
    std::vector<std::wstring> paths;
    ~RemovedAtTheEnd()
    {
        for (const std::wstring& path : paths) {
            DeleteFileW(path.c_str());
        }
    }
};

TEST(LiveStart, ARecordNoWholePointerNamesIsLeftAsItIsAndNothingIsTold)
{
    ScratchDir folder;
    RemovedAtTheEnd cleanUp;
    const std::wstring source = folder.File(L"app.log");
    const std::wstring staged = folder.File(L"qzv0001.tmp");
    const std::string lines = "2026-12-09 start\r\n2026-12-09 ERROR one\r\n2026-12-09 ok\r\n";
    WriteWholeFile(source, lines);
    WriteWholeFile(staged, lines);

    // A record of a run that created the log as an appended export (old
    // length 0) and was adding the lines staged beside it: acted on, it
    // would cut the log back to nothing and remove it. Written by this
    // process, the way the program writes one, then its pointer deleted.
    RunRecord r;
    RecordInit(&r);
    r.step = kRecordReplacing;
    RecordedExport& e = r.exports[1];
    e.on = e.append = e.claimed = e.created = e.newKnown = e.appending = true;
    ASSERT_TRUE(PlatformIdentityAt(source.c_str(), &e.id));
    ASSERT_TRUE(PlatformIdentityAt(staged.c_str(), &e.newId));
    SetPath(e.path, source);
    SetPath(e.tempPath, staged);
    RecordFile planted;
    ASSERT_TRUE(RecordBegin(&planted, source.c_str(), &r));
    cleanUp.paths.push_back(planted.pointer);
    PlatformClose(planted.file);
    const std::wstring record = planted.path;
    const std::string recordBytes = ReadWholeFile(record);
    const std::string pointerBytes = ReadWholeFile(planted.pointer);
    ASSERT_TRUE(DeleteFileW(planted.pointer));

    // The same pointer, its last byte lost, under another name in the
    // user's folder.
    FormChar stateFolder[kTempPathCapacity];
    ASSERT_TRUE(PlatformStateFolder(stateFolder, kTempPathCapacity));
    FormChar damagedName[kTempPathCapacity];
    ASSERT_TRUE(PlatformNameBeside(stateFolder, 'p', 7, damagedName));
    const std::wstring damaged = damagedName;
    const std::string damagedBytes = pointerBytes.substr(0, pointerBytes.size() - 1);
    cleanUp.paths.push_back(damaged);
    WriteWholeFile(damaged, damagedBytes);

    // And a pointer whose record is gone, which the start removes: the
    // program looked in this very folder.
    RunRecord empty;
    RecordInit(&empty);
    RecordFile gone;
    ASSERT_TRUE(RecordBegin(&gone, source.c_str(), &empty));
    cleanUp.paths.push_back(gone.pointer);
    PlatformClose(gone.file);
    ASSERT_TRUE(DeleteFileW(gone.path));
    const std::wstring stale = gone.pointer;

    const std::vector<std::wstring> entries = folder.Entries();
    ASSERT_EQ(entries.size(), 3u);

    LiveApp app;
    ASSERT_NE(app.dialog(), nullptr) << "no dialog from " << Narrow(QUORVANE_EXE);
    HWND box = app.WaitForMessageBox(1000);
    EXPECT_EQ(box, nullptr) << Narrow(MessageBoxText(box));

    EXPECT_EQ(ReadWholeFile(source), lines);
    EXPECT_EQ(ReadWholeFile(staged), lines);
    EXPECT_EQ(ReadWholeFile(record), recordBytes);
    EXPECT_EQ(ReadWholeFile(damaged), damagedBytes);
    EXPECT_EQ(folder.Entries(), entries);
    EXPECT_FALSE(FileExists(stale)) << "the start did not look in " << Narrow(stateFolder);

    PostMessageW(app.dialog(), WM_SYSCOMMAND, SC_CLOSE, 0);
    DWORD exitCode = 1;
    EXPECT_TRUE(app.WaitForExit(10000, &exitCode));
    EXPECT_EQ(exitCode, 0u);
}

}  // namespace
