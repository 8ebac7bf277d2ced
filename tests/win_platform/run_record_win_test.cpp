// The run's record and its repair on the Win32 platform layer, under Wine:
// a record its run holds cannot be had by a repair; a replace that stopped
// with the export's name free (the old file under the backup's name, the
// new one under the temporary name) is put back by identity, and a file of
// another program's that took the name meanwhile is left alone.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "filter/run_record.h"
#include "filter/run_repair.h"
#include "tests/win/win_test_support.h"

namespace {

void SetPath(FormChar* to, const std::wstring& path)
{
    for (size_t i = 0; i <= path.size(); ++i) {
        to[i] = path.c_str()[i];
    }
}

FileIdentity IdentityOf(const std::wstring& path)
{
    FileIdentity id = {};
    EXPECT_TRUE(PlatformIdentityAt(path.c_str(), &id)) << Narrow(path);
    return id;
}

class WinRecord : public testing::Test {
protected:
    void SetUp() override { RepairInit(&report_); }
    void Repair() { RepairBeside(folder_.File(L"x").c_str(), &report_); }

    ScratchDir folder_;
    RepairReport report_;
};

TEST_F(WinRecord, ARecordItsRunHoldsIsNotActedOn)
{
    const std::wstring errors = folder_.File(L"errors.txt");
    const std::string earlier = "2024-04-30 ERROR earlier run\r\n";
    WriteWholeFile(errors, earlier + "2026-12-09 ERROR half");
    RunRecord r;
    RecordInit(&r);
    r.step = kRecordWriting;
    RecordedExport& e = r.exports[1];
    e.on = e.append = e.existed = e.claimed = true;
    e.id = IdentityOf(errors);
    e.oldSize = earlier.size();
    SetPath(e.path, errors);
    RecordFile f;
    ASSERT_TRUE(RecordBegin(&f, errors.c_str(), &r));
    EXPECT_EQ(PlatformOpenFile(f.path, kOpenRecordExisting), nullptr) << "a second holder got the record";
    Repair();
    RepairFromPointers(&report_);
    EXPECT_EQ(ReadWholeFile(errors), earlier + "2026-12-09 ERROR half");
    EXPECT_FALSE(RepairDidSomething(&report_));
    std::wstring pointer = f.pointer;
    ASSERT_FALSE(pointer.empty()) << "no pointer in the user's folder";
    EXPECT_TRUE(FileExists(pointer));
    RecordEnd(&f);
    EXPECT_EQ(folder_.Entries(), std::vector<std::wstring>{L"errors.txt"});
    EXPECT_FALSE(FileExists(pointer));
}

TEST_F(WinRecord, AReplaceStoppedWithTheNameFreeIsPutBackByIdentity)
{
    const std::wstring log = folder_.File(L"app.log");
    const std::wstring temp = folder_.File(L"qzv0001.tmp");
    const std::wstring backup = folder_.File(L"qzb0002.tmp");
    struct Case {
        const char* what;
        const char* logger;   // what another program writes under the name meanwhile, or null
    };
    const Case cases[] = {{"the name left free", nullptr}, {"the name taken by a logger", "a logger's record\r\n"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (const std::wstring& name : folder_.Entries()) {
            DeleteFileW(folder_.File(name).c_str());
        }
        RepairInit(&report_);
        WriteWholeFile(log, "all the old lines\r\n");
        WriteWholeFile(temp, "the kept lines\r\n");
        RunRecord r;
        RecordInit(&r);
        r.step = kRecordReplacing;
        RecordedExport& e = r.exports[0];
        e.on = e.existed = e.claimed = e.newKnown = true;
        e.id = IdentityOf(log);
        e.newId = IdentityOf(temp);
        SetPath(e.path, log);
        SetPath(e.tempPath, temp);
        SetPath(e.backupPath, backup);
        ASSERT_TRUE(MoveFileExW(log.c_str(), backup.c_str(), 0));
        if (c.logger != nullptr) {
            WriteWholeFile(log, c.logger);
        }
        RecordFile f;
        ASSERT_TRUE(RecordBegin(&f, log.c_str(), &r));
        // Killed: the handle goes with the process, the record stays.
        PlatformClose(f.file);
        Repair();
        if (c.logger == nullptr) {
            EXPECT_EQ(ReadWholeFile(log), "all the old lines\r\n");
            EXPECT_EQ(IdentityOf(log).index, e.id.index) << "not the old file itself";
            EXPECT_EQ(folder_.Entries(), std::vector<std::wstring>{L"app.log"});
            EXPECT_EQ(report_.putBack, 1u);
        } else {
            EXPECT_EQ(ReadWholeFile(log), c.logger);
            EXPECT_EQ(ReadWholeFile(backup), "all the old lines\r\n");
            EXPECT_EQ(ReadWholeFile(temp), "the kept lines\r\n");
            EXPECT_EQ(report_.kept, 2u);
            EXPECT_EQ(folder_.Entries(), (std::vector<std::wstring>{L"app.log", L"qzb0002.tmp", L"qzv0001.tmp"}));
        }
        DeleteFileW(f.pointer);
    }
}

}  // namespace
