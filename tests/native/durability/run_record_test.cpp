// The run's record read back by the repair: a torn write falls back on the
// step before; a record its run still holds is left alone; a name that holds
// another program's file is never touched; a stopped or failed run gives
// an appended export its old last-write time back as well as its length.
// And the repair acts only on what this user's own run wrote: planted,
// damaged and hostile records and pointers change nothing; an appended
// export loses only bytes proven the run's own; a logger's record written
// during a replace that was killed is carried across.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "filter/filter.h"
#include "filter/durability/run_record.h"
#include "filter/durability/run_repair.h"
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

    // errors.txt as a run killed while adding its waiting lines leaves it:
    // its old content with the first part of the run's lines after it, the
    // lines whole in the temporary file they waited in.
    RunRecord AppendedRecord(uint32_t step)
    {
        WriteFile(Errors(), earlier_ + waiting_.substr(0, 20));
        WriteFile(Waiting(), waiting_);
        RunRecord r;
        RecordInit(&r);
        r.step = step;
        r.mostWritten = 1 << 20;
        RecordedExport& e = r.exports[1];
        e.on = e.append = e.existed = e.claimed = e.newKnown = true;
        e.appending = step == kRecordReplacing;
        e.id = IdentityOf(Errors());
        e.newId = IdentityOf(Waiting());
        e.newSize = waiting_.size();
        e.oldSize = e.appendFrom = earlier_.size();
        e.oldTime = e.appendTime = kOldNs;
        SetPath(e.path, Errors());
        SetPath(e.tempPath, Waiting());
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
    // A record begun beside errors.txt, then left by a kill.
    RecordFile LeftByAKill(RunRecord* r)
    {
        RecordFile f;
        std::u16string beside = Utf8ToUtf16(Errors());
        EXPECT_TRUE(RecordBegin(&f, beside.c_str(), r));
        Abandon(&f);
        return f;
    }
    void Repair() { RepairFromPointers(&report_); }

    std::string Errors() const { return dir_.File("errors.txt"); }
    std::string Waiting() const { return dir_.File("qzv0100.tmp"); }

    ScratchDir dir_;
    ScratchDir state_;
    RepairReport report_;
    const std::string earlier_ = "2024-04-30 ERROR earlier run\r\n";
    const std::string waiting_ = "2026-12-09 ERROR disk full\r\n2026-12-09 ERROR disk still full\r\n";
};

TEST_F(RunRecordTest, ATornWriteFallsBackOnTheStepBefore)
{
    struct Case {
        const char* what;
        bool tear;
        std::string errorsAfter;
    };
    const Case cases[] = {
        // Whole: the lines were all added, flushed, and are kept.
        {"the last write whole", false, earlier_ + waiting_},
        // Torn: the record still says the lines were being added.
        {"the last write torn", true, earlier_},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RunRecord r = AppendedRecord(kRecordReplacing);
        RecordFile f;
        std::u16string beside = Utf8ToUtf16(Errors());
        ASSERT_TRUE(RecordBegin(&f, beside.c_str(), &r));
        WriteFile(Errors(), earlier_ + waiting_);
        r.exports[1].appended = true;
        r.exports[1].appendedSize = earlier_.size() + waiting_.size();
        r.exports[1].appendedTime = WriteTimeOf(Errors());
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
        Repair();
        EXPECT_EQ(ReadFile(Errors()), c.errorsAfter);
        EXPECT_EQ(dir_.Entries(), std::vector<std::string>{"errors.txt"}) << "the record is left";
        EXPECT_EQ(state_.Entries(), std::vector<std::string>{}) << "the pointer is left";
    }
}

TEST_F(RunRecordTest, ARecordItsRunStillHoldsIsLeftAlone)
{
    RunRecord r = AppendedRecord(kRecordReplacing);
    const std::string left = ReadFile(Errors());
    RecordFile f;
    std::u16string beside = Utf8ToUtf16(Errors());
    ASSERT_TRUE(RecordBegin(&f, beside.c_str(), &r));
    // Another run (another copy of the program, or the start's own repair)
    // looks while this one goes on.
    Repair();
    EXPECT_EQ(ReadFile(Errors()), left) << "a live run's export was cut back";
    EXPECT_FALSE(RepairDidSomething(&report_));
    EXPECT_EQ(dir_.Entries().size(), 3u);
    EXPECT_EQ(state_.Entries().size(), 1u) << "a live run's pointer was removed";
    RecordEnd(&f);
    EXPECT_EQ(dir_.Entries(), (std::vector<std::string>{"errors.txt", "qzv0100.tmp"}));
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
    // under the temporary name went; the same state where another program
    // has made a file under the temporary name since; and the old file, under
    // either name, holding what another program wrote to the export during
    // the run: the run had found it empty, so those bytes are not its own.
    enum Left { kOldEmpty, kOthersFileUnderTemp, kOthersBytesUnderTemp, kOthersBytesUnderBackup };
    for (Left left : {kOldEmpty, kOthersFileUnderTemp, kOthersBytesUnderTemp, kOthersBytesUnderBackup}) {
        SCOPED_TRACE(left);
        const std::string out = dir_.File("out.txt");
        const std::string temp = dir_.File("qzv0003.tmp");
        const std::string backup = dir_.File("qzb0004.tmp");
        const bool othersBytes = left == kOthersBytesUnderTemp || left == kOthersBytesUnderBackup;
        WriteFile(out, "");
        WriteFile(temp, "the split's lines\r\n");
        RunRecord r = ReplacingRecord(out, temp, backup);
        r.exports[0].created = true;
        if (othersBytes) {
            WriteFile(out, "another program's\r\n");
        }
        const std::string old = left == kOthersBytesUnderBackup ? backup : temp;
        if (left == kOthersBytesUnderBackup) {
            ASSERT_EQ(rename(out.c_str(), backup.c_str()), 0);
            ASSERT_EQ(rename(temp.c_str(), out.c_str()), 0);
        } else {
            ASSERT_EQ(renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, out.c_str(), RENAME_EXCHANGE), 0);
        }
        if (left == kOthersFileUnderTemp) {
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
        EXPECT_EQ(FileExists(old), left != kOldEmpty);
        if (left != kOldEmpty) {
            EXPECT_EQ(ReadFile(old), "another program's\r\n");
        }
        EXPECT_EQ(report_.putBack, 0u);
        // What another program wrote to the export is told where it is.
        EXPECT_EQ(report_.kept, othersBytes ? 1u : 0u);
        if (othersBytes && report_.kept == 1) {
            EXPECT_EQ(Utf16ToUtf8(report_.keptPaths[0]), old);
        }
        for (const ScratchDir* d : {&dir_, &state_}) {
            for (const std::string& name : d->Entries()) {
                unlink(d->File(name).c_str());
            }
        }
    }
}

// A record and pointer of the program before this one (version 2, which
// knew nothing of previous versions), left by a kill in the middle of a
// replace: the old file under the backup's name, the target's name free.
// The next start of this program still puts the old file back.
TEST_F(RunRecordTest, ARecordOfTheProgramBeforeIsStillActedOn)
{
    const std::string out = dir_.File("out.txt");
    const std::string temp = dir_.File("qzv0005.tmp");
    const std::string backup = dir_.File("qzb0006.tmp");
    WriteFile(out, "the old lines\r\n");
    WriteFile(temp, "the new lines\r\n");
    RunRecord r = ReplacingRecord(out, temp, backup);
    r.exports[0].existed = true;
    RecordFile f;
    std::u16string beside = Utf8ToUtf16(out);
    ASSERT_TRUE(RecordBegin(&f, beside.c_str(), &r));
    Abandon(&f);
    ASSERT_EQ(rename(out.c_str(), backup.c_str()), 0);

    // The same record laid out as version 2: each export without the
    // three fields that came after (two empty texts and a zero count).
    const std::string recordPath = Utf16ToUtf8(f.path);
    std::string bytes = ReadFile(recordPath);
    const uint32_t at = (f.sequence & 1u) * kRecordSlot;
    uint32_t length = 0;
    memcpy(&length, bytes.data() + at + 12, 4);
    std::string payload = bytes.substr(at + 24, length);
    auto exportSize = [](const RecordedExport& e) {
        auto text = [](const FormChar* t) {
            size_t n = 0;
            while (t[n] != 0) {
                ++n;
            }
            return 4 + 2 * n;
        };
        return 4 + 32 + 56 + text(e.path) + text(e.tempPath) + text(e.backupPath) + 12;
    };
    const size_t first = 40 + exportSize(r.exports[0]);
    ASSERT_EQ(first + exportSize(r.exports[1]), payload.size());
    ASSERT_EQ(payload.substr(first - 12, 12), std::string(12, '\0'));
    std::string older = payload.substr(0, first - 12) + payload.substr(first, payload.size() - first - 12);
    std::vector<unsigned char> slot(kRecordSlot);
    uint32_t n = SealedSlot(slot.data(), false, f.sequence, reinterpret_cast<const unsigned char*>(older.data()),
                            static_cast<uint32_t>(older.size()), f.key);
    ASSERT_GT(n, 0u);
    slot[4] = 2;   // the version, which the seal does not cover
    WriteFile(recordPath, std::string(slot.begin(), slot.begin() + n));
    const std::string pointerPath = Utf16ToUtf8(f.pointer);
    std::string pointer = ReadFile(pointerPath);
    pointer[4] = 2;
    WriteFile(pointerPath, pointer);

    Repair();
    EXPECT_EQ(ReadFile(out), "the old lines\r\n");
    EXPECT_EQ(report_.putBack, 1u);
    EXPECT_FALSE(FileExists(pointerPath));
    EXPECT_EQ(dir_.Entries(), std::vector<std::string>{"out.txt"});
}

// Writes a pointer file by hand: its slot around the given payload.
void PlantPointer(const std::string& path, const std::string& payload)
{
    unsigned char slot[kRecordSlot];
    uint32_t n = SealedSlot(slot, true, 1, reinterpret_cast<const unsigned char*>(payload.data()),
                            static_cast<uint32_t>(payload.size()), kPointerSealKey);
    ASSERT_GT(n, 0u);
    WriteFile(path, std::string(reinterpret_cast<const char*>(slot), n));
}

std::string U32(uint32_t v)
{
    return std::string(reinterpret_cast<const char*>(&v), 4);
}

// Records no pointer of this user's names, whatever they say, and pointers
// that do not hold together, are never acted on and never removed: the
// repair changes no file, and does not stop.
TEST_F(RunRecordTest, PlantedAndDamagedRecordsAndPointersChangeNothing)
{
    const std::string victim = dir_.File("other folder's file.txt");
    WriteFile(victim, earlier_);
    SetOldTime(victim);
    // A real record, whole and sealed, asking to cut the victim back to
    // nothing, whose pointer is then gone: as a record planted beside a
    // source by someone who read one of ours.
    RunRecord r = AppendedRecord(kRecordReplacing);
    r.exports[1].id = IdentityOf(victim);
    r.exports[1].appendFrom = 0;
    r.exports[1].created = true;
    SetPath(r.exports[1].path, victim);
    RecordFile f = LeftByAKill(&r);
    ASSERT_EQ(unlink(Utf16ToUtf8(f.pointer).c_str()), 0);
    // A record torn in its first bytes, one of another version, and a file
    // of the user's that merely looks like one of our names.
    WriteFile(dir_.File("qzr0001.tmp"), std::string("QZ", 2));
    WriteFile(dir_.File("qzr0002.tmp"), std::string("QZRJ\x09\0\0\0", 8) + std::string(200, 'x'));
    WriteFile(dir_.File("qzr00g1.tmp"), "notes\r\n");
    // Pointers: a text length far past the end (the length field is sealed,
    // so only the check against what was read stops it), garbage, an empty
    // file (the one that goes: it holds no byte, and names nothing), and one
    // naming the real record with the wrong key.
    PlantPointer(state_.File("qzp0001.tmp"), std::string(32, '\x11') + U32(0xFFFFFFFFu) + "ab");
    PlantPointer(state_.File("qzp0002.tmp"), std::string(32, '\x11') + U32(600) + std::string(1100, 'a'));
    WriteFile(state_.File("qzp0003.tmp"), std::string(5000, '\xFF'));
    WriteFile(state_.File("qzp0004.tmp"), "");
    std::u16string recordPath = f.path;
    FileIdentity recordId = IdentityOf(Utf16ToUtf8(f.path));
    std::string wrongKey = std::string(16, '\x42') + std::string(reinterpret_cast<const char*>(&recordId), 16) +
                           U32(static_cast<uint32_t>(recordPath.size())) +
                           std::string(reinterpret_cast<const char*>(recordPath.data()), 2 * recordPath.size());
    PlantPointer(state_.File("qzp0005.tmp"), wrongKey);

    const std::vector<std::string> dirBefore = dir_.Entries();
    std::vector<std::string> stateBefore = state_.Entries();
    stateBefore.erase(std::find(stateBefore.begin(), stateBefore.end(), "qzp0004.tmp"));
    const std::string errorsBefore = ReadFile(Errors());
    Repair();
    EXPECT_EQ(ReadFile(victim), earlier_);
    EXPECT_EQ(WriteTimeOf(victim), kOldNs);
    EXPECT_EQ(ReadFile(Errors()), errorsBefore);
    EXPECT_EQ(dir_.Entries(), dirBefore) << "a file no pointer of ours names was removed";
    EXPECT_EQ(state_.Entries(), stateBefore) << "a pointer that does not hold together was removed";
    EXPECT_FALSE(RepairDidSomething(&report_));
}

// A record, whole and sealed, that names as its run's own a file that is
// not one of our names beside its export (a user's file, one of our names
// in another folder, a name of another kind) is not acted on.
TEST_F(RunRecordTest, ARecordNamingFilesNotOursBesideItsExportIsNotActedOn)
{
    ScratchDir other;
    const std::string notes = "my notes\r\n";
    const std::string names[] = {dir_.File("notes.txt"), other.File("qzv0001.tmp"), dir_.File("qzx0001.tmp")};
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        WriteFile(Errors(), earlier_);
        WriteFile(name, notes);
        RunRecord r = ReplacingRecord(Errors(), name, dir_.File("qzb0002.tmp"));
        r.step = kRecordWriting;
        RecordFile f = LeftByAKill(&r);
        Repair();
        EXPECT_EQ(ReadFile(name), notes);
        EXPECT_EQ(ReadFile(Errors()), earlier_);
        EXPECT_FALSE(RepairDidSomething(&report_));
        EXPECT_TRUE(FileExists(Utf16ToUtf8(f.pointer))) << "the pointer of a record not acted on went";
        unlink(Utf16ToUtf8(f.pointer).c_str());
        unlink(Utf16ToUtf8(f.path).c_str());
    }
}

// A record whose file was swapped for another under the same name (a copy
// of it, byte for byte) is not the file its pointer names.
TEST_F(RunRecordTest, ARecordThatIsNotTheFileItsPointerNamesIsNotActedOn)
{
    RunRecord r = AppendedRecord(kRecordReplacing);
    RecordFile f = LeftByAKill(&r);
    const std::string record = Utf16ToUtf8(f.path);
    const std::string bytes = ReadFile(record);
    ASSERT_EQ(rename(record.c_str(), dir_.File("moved").c_str()), 0);
    WriteFile(record, bytes);
    const std::string errorsBefore = ReadFile(Errors());
    Repair();
    EXPECT_EQ(ReadFile(Errors()), errorsBefore);
    EXPECT_TRUE(FileExists(record));
    EXPECT_FALSE(RepairDidSomething(&report_));
}

// The user's folder of ours must be the user's own: one that others may
// write to is refused, and a pointer in it is not followed.
TEST_F(RunRecordTest, AStateFolderOthersMayWriteToIsRefused)
{
    RunRecord r = AppendedRecord(kRecordReplacing);
    LeftByAKill(&r);
    const std::string errorsBefore = ReadFile(Errors());
    ASSERT_EQ(chmod(state_.path().c_str(), 0777), 0);
    Repair();
    EXPECT_EQ(ReadFile(Errors()), errorsBefore) << "a pointer in a folder anyone may write to was followed";
    RecordFile second;
    std::u16string beside = Utf8ToUtf16(Errors());
    EXPECT_FALSE(RecordBegin(&second, beside.c_str(), &r)) << "a pointer was put in a folder anyone may write to";
    if (geteuid() == 0) {
        ASSERT_EQ(chmod(state_.path().c_str(), 0700), 0);
        ASSERT_EQ(chown(state_.path().c_str(), 65534, 65534), 0);
        Repair();
        EXPECT_EQ(ReadFile(Errors()), errorsBefore) << "a pointer in another user's folder was followed";
        ASSERT_EQ(chown(state_.path().c_str(), 0, 0), 0);
    }
    // Made private again, the user's own pointer is followed.
    ASSERT_EQ(chmod(state_.path().c_str(), 0700), 0);
    Repair();
    EXPECT_EQ(ReadFile(Errors()), earlier_);
}

// After a kill in the middle of adding the run's lines, another program
// (or the user) adds a line of its own: nothing of it is cut, and since the
// run's own bytes cannot go without it, the file is left as it is, told.
// Changed in place after the lines were all added, an export is cut back by
// the run's bytes but keeps the time of its change.
TEST_F(RunRecordTest, AnAppendedExportLosesOnlyTheRunsOwnBytes)
{
    const std::string added = "2026-12-10 written after the kill\r\n";
    for (bool appended : {false, true}) {
        SCOPED_TRACE(appended ? "the lines all added" : "killed while adding the lines");
        RepairInit(&report_);
        RunRecord r = AppendedRecord(kRecordReplacing);
        if (appended) {
            WriteFile(Errors(), earlier_ + waiting_);
            r.exports[1].appended = true;
            r.exports[1].appendedSize = earlier_.size() + waiting_.size();
            r.exports[1].appendedTime = WriteTimeOf(Errors());
        }
        // A source whose rewrite never took its place: the lines stay in it.
        const std::string source = dir_.File("log.txt");
        WriteFile(source, "the source\r\n");
        WriteFile(dir_.File("qzv0200.tmp"), "the new source\r\n");
        RecordedExport& s = r.exports[0];
        s.on = s.claimed = s.existed = s.newKnown = s.inPlace = true;
        s.id = IdentityOf(source);
        s.newId = IdentityOf(dir_.File("qzv0200.tmp"));
        SetPath(s.path, source);
        SetPath(s.tempPath, dir_.File("qzv0200.tmp"));
        SetPath(s.backupPath, dir_.File("qzb0201.tmp"));
        LeftByAKill(&r);
        const std::string left = ReadFile(Errors());
        WriteFile(Errors(), left + added);
        Repair();
        EXPECT_EQ(ReadFile(Errors()), left + added);
        EXPECT_EQ(report_.kept, 1u) << "a file left with the run's lines in it was not told";
        EXPECT_EQ(ReadFile(source), "the source\r\n");
        EXPECT_EQ(dir_.Entries(), (std::vector<std::string>{"errors.txt", "log.txt"}));
    }
    {
        SCOPED_TRACE("changed in place after the lines were all added");
        RepairInit(&report_);
        RunRecord r = AppendedRecord(kRecordReplacing);
        WriteFile(Errors(), earlier_ + waiting_);
        r.exports[1].appended = true;
        r.exports[1].appendedSize = earlier_.size() + waiting_.size();
        r.exports[1].appendedTime = WriteTimeOf(Errors()) - 5000000000ull;
        r.exports[0].on = true;   // a rewrite that never took its place
        r.exports[0].claimed = true;
        LeftByAKill(&r);
        Repair();
        EXPECT_EQ(ReadFile(Errors()), earlier_);
        EXPECT_NE(WriteTimeOf(Errors()), kOldNs) << "a file changed after the run got the time from before it back";
    }
}

// A run given its paths from the source's folder (as a user types a name
// alone), killed at each step: the start after it repairs the very files
// the run touched, whatever folder it starts in.
TEST_F(RunRecordTest, ARunGivenPathsFromItsFolderIsRepairedFromAnyOther)
{
    const std::string log = "2026-12-09 ok\r\n2026-12-09 ERROR disk\r\n";
    PosixForm form;
    form.SetText(IDC_SEARCH_TEXT, "ERROR");
    form.SetText(IDC_SOURCE_PATH, "log.txt");
    form.SetCheck(IDC_EXPORT_WITH, true);
    form.SetText(IDC_WITH_PATH, "errors.txt");
    for (int kill = 1;; ++kill) {
        SCOPED_TRACE("killed at step " + std::to_string(kill));
        WriteFile(dir_.File("log.txt"), log);
        pid_t child = fork();
        if (child == 0) {
            if (chdir(dir_.path().c_str()) != 0) {
                _exit(1);
            }
            *PosixFaultPlan() = PosixFaults();
            PosixFaultPlan()->killAtStep = kill;
            RunStrip(&form);
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        RepairInit(&report_);
        Repair();
        EXPECT_EQ(state_.Entries(), std::vector<std::string>{}) << "a pointer stayed";
        EXPECT_EQ(ReadFile(dir_.File("log.txt")), log);
        if (WEXITSTATUS(status) == 0) {
            EXPECT_EQ(ReadFile(dir_.File("errors.txt")), "2026-12-09 ERROR disk\r\n");
            break;
        }
        ASSERT_EQ(WEXITSTATUS(status), 86);
        // A record killed before a pointer named it is the one file of ours
        // a kill may leave; nothing else of the run's is.
        std::vector<std::string> left;
        for (const std::string& name : dir_.Entries()) {
            if (name.compare(0, 3, "qzr") != 0) {
                left.push_back(name);
            }
            if (name == "errors.txt") {
                EXPECT_EQ(ReadFile(dir_.File(name)), "2026-12-09 ERROR disk\r\n");
            }
            std::remove(dir_.File(name).c_str());
        }
        EXPECT_TRUE(left == std::vector<std::string>{"log.txt"} ||
                    left == (std::vector<std::string>{"errors.txt", "log.txt"}))
            << left.size() << " files left";
    }
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

namespace {

// A logger adds a whole record to the source while the run replaces it: the
// record is in the new source, whether the run finishes the replace or is
// killed right after the new file took the name (the record then waits in
// the old file, under the backup name, for the repair to carry it across)
// or at any step after (while it is carried, once it is, before the old
// file is put away). By the source's own line ends: UTF-8 and UTF-16 LE (a
// PowerShell log).
TEST_F(RunRecordTest, ALoggersRecordWrittenDuringTheReplaceIsKeptKilledOrNot)
{
    struct Encoding {
        const char* what;
        std::string (*text)(const std::string&);
        std::string mark;
    };
    const Encoding encodings[] = {
        {"UTF-8", [](const std::string& s) { return s; }, ""},
        {"UTF-16 LE", AsciiToUtf16Le, std::string("\xFF\xFE", 2)},
    };
    static std::string record;
    static std::string source;
    static int stepsAtMove;
    // 0: not killed; -1: killed once the new file took the name; n: killed
    // at the nth step after that.
    for (const Encoding& enc : encodings) {
        std::vector<int> kills = {0, -1};
        for (size_t k = 0; k < kills.size(); ++k) {
            const int kill = kills[k];
            const bool killed = kill != 0;
            SCOPED_TRACE(std::string(enc.what) + (kill == 0    ? ", not killed"
                                                  : kill < 0 ? ", killed inside the replace"
                                                             : ", killed at step " + std::to_string(kill) +
                                                                   " after the move"));
            for (const std::string& name : dir_.Entries()) {
                unlink(dir_.File(name).c_str());
            }
            source = dir_.File("app.log");
            std::string log;
            std::string kept;
            for (int i = 0; i < 2000; ++i) {
                std::string line = "2026-12-09 " + std::to_string(i) + (i % 5 == 0 ? " ERROR\r\n" : " ok\r\n");
                log += line;
                kept += i % 5 == 0 ? "" : line;
            }
            record = enc.text("2026-12-10 the logger's record\r\n");
            WriteFile(source, enc.mark + enc.text(log));
            PosixForm form;
            form.SetText(IDC_SEARCH_TEXT, "ERROR");
            form.SetText(IDC_SOURCE_PATH, source);
            form.SetCheck(IDC_EXPORT_WITHOUT, true);
            form.SetCheck(IDC_EXPORT_WITH, true);
            form.SetText(IDC_WITH_PATH, dir_.File("errors.txt"));
            // The errors file takes its place first, then the source.
            auto plan = [kill] {
                *PosixFaultPlan() = PosixFaults();
                PosixFaultPlan()->hook = [](void*) {
                    int fd = open(source.c_str(), O_WRONLY | O_APPEND);
                    ASSERT_GE(fd, 0);
                    ASSERT_EQ(write(fd, record.data(), record.size()), static_cast<ssize_t>(record.size()));
                    close(fd);
                };
                PosixFaultPlan()->hookAtReplace = 2;
                PosixFaultPlan()->afterMoveAt = 2;
                if (kill < 0) {
                    PosixFaultPlan()->afterMove = [](void*) { _exit(86); };
                } else {
                    PosixFaultPlan()->afterMove = [](void*) { stepsAtMove = PosixSteps(); };
                    PosixFaultPlan()->killAtStep = kill > 0 ? stepsAtMove + kill : 0;
                }
            };
            if (killed) {
                pid_t child = fork();
                if (child == 0) {
                    plan();
                    RunStrip(&form);
                    _exit(0);
                }
                int status = 0;
                ASSERT_EQ(waitpid(child, &status, 0), child);
                ASSERT_TRUE(WIFEXITED(status));
                if (kill > 0 && WEXITSTATUS(status) == 0) {
                    kills.resize(k);   // the run ended before that step: the last one was its end
                    Repair();
                    continue;
                }
                ASSERT_EQ(WEXITSTATUS(status), 86) << "the kill did not fall inside the replace";
                if (kill < 0) {
                    EXPECT_NE(ReadFile(source), enc.mark + enc.text(kept) + record) << "nothing was left to carry";
                }
                *PosixFaultPlan() = PosixFaults();
                RepairInit(&report_);
                Repair();
                EXPECT_FALSE(RepairDidSomething(&report_));
            } else {
                plan();
                const int steps = PosixSteps();
                RunOutcome outcome = RunStrip(&form);
                const int stepsAfterMove = PosixSteps() - steps - stepsAtMove;
                *PosixFaultPlan() = PosixFaults();
                EXPECT_EQ(outcome.failure, kRunSucceeded);
                if (kills.size() == 2) {
                    for (int n = 1; n <= stepsAfterMove + 1; ++n) {
                        kills.push_back(n);
                    }
                }
            }
            EXPECT_TRUE(ReadFile(source) == enc.mark + enc.text(kept) + record)
                << "the source holds " << ReadFile(source).size() << " bytes";
            EXPECT_EQ(dir_.Entries(), (std::vector<std::string>{"app.log", "errors.txt"}));
            EXPECT_EQ(state_.Entries(), std::vector<std::string>{});
        }
    }
}

}  // namespace
