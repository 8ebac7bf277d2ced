// The run's record read back by the repair: a torn write falls back on the
// step before; a record its run still holds is left alone; a name that holds
// another program's file is never touched; and a stopped or failed run gives
// an appended export its old last-write time back as well as its length.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "filter/filter.h"
#include "filter/run_record.h"
#include "filter/run_repair.h"
#include "tests/native/test_support.h"

namespace {

const struct timespec kOldTime = {1500000000, 250};

uint64_t WriteTimeOf(const std::string& path)
{
    struct stat st;
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return static_cast<uint64_t>(st.st_mtim.tv_sec) * 1000000000ull + static_cast<uint64_t>(st.st_mtim.tv_nsec);
}

void SetOldTime(const std::string& path)
{
    struct timespec times[2] = {kOldTime, kOldTime};
    utimensat(AT_FDCWD, path.c_str(), times, 0);
}

const uint64_t kOldNs = static_cast<uint64_t>(kOldTime.tv_sec) * 1000000000ull + kOldTime.tv_nsec;

void SetPath(FormChar* to, const std::string& utf8)
{
    std::u16string wide = Utf8ToUtf16(utf8);
    for (size_t i = 0; i <= wide.size(); ++i) {
        to[i] = wide.c_str()[i];
    }
}

FileIdentity IdentityOf(const std::string& path)
{
    FileIdentity id = {};
    std::u16string wide = Utf8ToUtf16(path);
    EXPECT_TRUE(PlatformIdentityAt(wide.c_str(), &id)) << path;
    return id;
}

class RunRecordTest : public testing::Test {
protected:
    void SetUp() override
    {
        *PosixFaultPlan() = PosixFaults();
        PosixSetStateFolder(state_.path() + "/");
        RepairInit(&report_);
    }
    void TearDown() override { PosixSetStateFolder(""); }

    // errors.txt as an interrupted run that appends to it leaves it: its
    // old content with part of the run's lines after it.
    RunRecord AppendedRecord(uint32_t step)
    {
        WriteFile(Errors(), earlier_ + "2026-12-09 ERROR half a li");
        RunRecord r;
        RecordInit(&r);
        r.step = step;
        r.mostWritten = 1 << 20;
        RecordedExport& e = r.exports[1];
        e.on = e.append = e.existed = e.claimed = true;
        e.id = IdentityOf(Errors());
        e.oldSize = earlier_.size();
        e.oldTime = kOldNs;
        SetPath(e.path, Errors());
        return r;
    }
    // A record of a run replacing a rewritten export: the file under path
    // then, the new one under temp, the backup's name as given.
    RunRecord ReplacingRecord(const std::string& path, const std::string& temp, const std::string& backup)
    {
        RunRecord r;
        RecordInit(&r);
        r.step = kRecordReplacing;
        RecordedExport& e = r.exports[0];
        e.on = e.claimed = e.newKnown = true;
        e.id = IdentityOf(path);
        e.newId = IdentityOf(temp);
        SetPath(e.path, path);
        SetPath(e.tempPath, temp);
        SetPath(e.backupPath, backup);
        return r;
    }
    // The record left as a killed run leaves it: written, never removed.
    void Abandon(RecordFile* f) { PlatformClose(f->file); }
    void Repair() { RepairFromPointers(&report_); }

    std::string Errors() const { return dir_.File("errors.txt"); }

    ScratchDir dir_;
    ScratchDir state_;
    RepairReport report_;
    const std::string earlier_ = "2024-04-30 ERROR earlier run\r\n";
};

TEST_F(RunRecordTest, ATornWriteFallsBackOnTheStepBefore)
{
    struct Case {
        const char* what;
        bool tear;
        std::string errorsAfter;
    };
    const Case cases[] = {
        // Whole: the lines were complete and are kept.
        {"the last write whole", false, earlier_ + "2026-12-09 ERROR half a li"},
        // Torn: the record still says the lines were being written.
        {"the last write torn", true, earlier_},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RunRecord r = AppendedRecord(kRecordWriting);
        RecordFile f;
        std::u16string beside = Utf8ToUtf16(Errors());
        ASSERT_TRUE(RecordBegin(&f, beside.c_str(), &r));
        r.step = kRecordReplacing;
        ASSERT_TRUE(RecordUpdate(&f, &r));
        std::string recordPath = Utf16ToUtf8(f.path);
        Abandon(&f);
        if (c.tear) {
            // The second write went to the first slot: a byte in the middle
            // of it never reached the disk.
            int fd = open(recordPath.c_str(), O_WRONLY);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(pwrite(fd, "\x5A", 1, 100), 1);
            close(fd);
        }
        SetOldTime(Errors());
        Repair();
        EXPECT_EQ(ReadFile(Errors()), c.errorsAfter);
        EXPECT_EQ(dir_.Entries(), std::vector<std::string>{"errors.txt"}) << "the record is left";
        EXPECT_EQ(state_.Entries(), std::vector<std::string>{}) << "the pointer is left";
    }
}

TEST_F(RunRecordTest, ARecordItsRunStillHoldsIsLeftAlone)
{
    RunRecord r = AppendedRecord(kRecordWriting);
    RecordFile f;
    std::u16string beside = Utf8ToUtf16(Errors());
    ASSERT_TRUE(RecordBegin(&f, beside.c_str(), &r));
    // Another run (another instance of the program, or the start's own
    // repair) looks while this one goes on.
    Repair();
    RepairFromPointers(&report_);
    EXPECT_EQ(ReadFile(Errors()), earlier_ + "2026-12-09 ERROR half a li") << "a live run's export was cut back";
    EXPECT_FALSE(RepairDidSomething(&report_));
    EXPECT_EQ(dir_.Entries().size(), 2u);
    EXPECT_EQ(state_.Entries().size(), 1u);
    RecordEnd(&f);
    EXPECT_EQ(dir_.Entries(), std::vector<std::string>{"errors.txt"});
    EXPECT_EQ(state_.Entries(), std::vector<std::string>{});
}

// The names a record gives hold other files than the ones it knew: another
// program made them meanwhile. None of them is touched.
TEST_F(RunRecordTest, AnotherProgramsFileIsNeverTouched)
{
    // The source was to be rewritten; a replace was half way, old file
    // under the backup's name, new under the temporary name, and then
    // another program (a logger) made a new file under the source's name.
    const std::string log = dir_.File("app.log");
    const std::string temp = dir_.File("qzv0001.tmp");
    const std::string backup = dir_.File("qzb0002.tmp");
    WriteFile(log, "all the old lines\r\n");
    WriteFile(temp, "the kept lines\r\n");
    RunRecord r = ReplacingRecord(log, temp, backup);
    r.exports[0].existed = true;
    r.exports[0].oldSize = 19;
    ASSERT_EQ(rename(log.c_str(), backup.c_str()), 0);
    WriteFile(log, "a logger's first record\r\n");
    // And an appended export that another program rotated: a new file.
    RunRecord appended = AppendedRecord(kRecordWriting);
    r.exports[1] = appended.exports[1];
    ASSERT_EQ(rename(Errors().c_str(), dir_.File("errors.1").c_str()), 0);
    WriteFile(Errors(), "rotated\r\n");

    RecordFile f;
    std::u16string beside = Utf8ToUtf16(log);
    ASSERT_TRUE(RecordBegin(&f, beside.c_str(), &r));
    Abandon(&f);
    Repair();

    EXPECT_EQ(ReadFile(log), "a logger's first record\r\n");
    EXPECT_EQ(ReadFile(Errors()), "rotated\r\n");
    EXPECT_EQ(ReadFile(backup), "all the old lines\r\n");
    EXPECT_EQ(ReadFile(temp), "the kept lines\r\n");
    EXPECT_EQ(report_.putBack, 0u);
    ASSERT_EQ(report_.kept, 2u) << "the files kept beside were not told";
    EXPECT_EQ(Utf16ToUtf8(report_.keptPaths[0]), backup);
    EXPECT_EQ(Utf16ToUtf8(report_.keptPaths[1]), temp);
}

TEST_F(RunRecordTest, ALandedExportsOldFileGoesByItsIdentityOnly)
{
    // A new export replaced by swapping names, ended before the old file
    // under the temporary name went; and the same state where another
    // program has made a file under the temporary name since.
    for (bool othersFile : {false, true}) {
        const std::string out = dir_.File("out.txt");
        const std::string temp = dir_.File("qzv0003.tmp");
        WriteFile(out, "");
        WriteFile(temp, "the split's lines\r\n");
        RunRecord r = ReplacingRecord(out, temp, dir_.File("qzb0004.tmp"));
        r.exports[0].created = true;
        ASSERT_EQ(renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, out.c_str(), RENAME_EXCHANGE), 0);
        if (othersFile) {
            // (moved away, not removed: a removed file's number may be
            // given to the next one at once)
            ASSERT_EQ(rename(temp.c_str(), dir_.File("moved").c_str()), 0);
            WriteFile(temp, "another program's\r\n");
        }
        RecordFile f;
        std::u16string beside = Utf8ToUtf16(out);
        ASSERT_TRUE(RecordBegin(&f, beside.c_str(), &r));
        Abandon(&f);
        RepairInit(&report_);
        Repair();

        EXPECT_EQ(ReadFile(out), "the split's lines\r\n");
        EXPECT_EQ(FileExists(temp), othersFile) << "another program's file: " << othersFile;
        EXPECT_EQ(report_.putBack, 0u);
        unlink(temp.c_str());
        unlink(out.c_str());
    }
}

// A record torn in its very first write, and one of a version of the
// program we do not know: the first is nothing (no step was taken under it)
// and goes; the second is left to the program that wrote it.
TEST_F(RunRecordTest, ATornFirstWriteIsNothingAndAnUnknownVersionIsLeftAlone)
{
    const std::string torn = dir_.File("qzr0001.tmp");
    const std::string future = dir_.File("qzr0002.tmp");
    WriteFile(torn, std::string("QZ", 2));
    WriteFile(future, std::string("QZRJ\x09\0\0\0", 8) + std::string(200, 'x'));
    Repair();
    EXPECT_EQ(dir_.Entries(), std::vector<std::string>{"qzr0002.tmp"});
    EXPECT_FALSE(RepairDidSomething(&report_));
}

// A run that fails or is stopped after it appended lines cuts the export
// back: its length and its last-write time are as before.
TEST_F(RunRecordTest, ACutBackExportGetsItsOldLastWriteTimeBack)
{
    std::string log;
    for (int i = 0; log.size() < (3u << 20); ++i) {
        log += "line " + std::to_string(i) + (i % 3 == 0 ? " ERROR\r\n" : " ok\r\n");
    }
    WriteFile(dir_.File("log.txt"), log);
    PosixForm form;
    form.SetText(IDC_SEARCH_TEXT, "ERROR");
    form.SetText(IDC_SOURCE_PATH, dir_.File("log.txt"));
    form.SetCheck(IDC_EXPORT_WITH, true);
    form.SetText(IDC_WITH_PATH, Errors());
    form.SetCheck(IDC_APPEND_WITH, true);
    struct Case {
        const char* what;
        void (*arrange)(PosixFaults*, StopFlag*);
        RunFailure failure;
    };
    const Case cases[] = {
        {"a write fails", [](PosixFaults* p, StopFlag*) { p->failWriteAfter = 600000; }, kRunExportUnwritten},
        {"stopped at the last read",
         [](PosixFaults* p, StopFlag* stop) {
             p->stop = stop;
             p->stopAtRead = 4;
         },
         kRunStopped},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WriteFile(Errors(), earlier_);
        SetOldTime(Errors());
        RunRequest request;
        ASSERT_TRUE(ReadRunRequest(&form, &request));
        RunControl control;
        RunControlInit(&control);
        c.arrange(PosixFaultPlan(), &control.stop);
        RunOutcome outcome;
        DriveRun(&request, &control, &outcome);
        *PosixFaultPlan() = PosixFaults();
        EXPECT_EQ(outcome.failure, c.failure);
        EXPECT_EQ(ReadFile(Errors()), earlier_);
        EXPECT_EQ(WriteTimeOf(Errors()), kOldNs);
        EXPECT_EQ(dir_.Entries(), (std::vector<std::string>{"errors.txt", "log.txt"}));
    }
}

}  // namespace
