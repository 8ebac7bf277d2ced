// The run's record and its repair on the Win32 platform layer, under Wine,
// with the pointers in this user's real folder of ours (%LOCALAPPDATA%):
// a record its run holds cannot be had by a repair; a replace that stopped
// with the export's name free (the old file under the backup's name, the
// new one under the temporary name) is put back by identity, and a file of
// another program's that took the name meanwhile is left alone. Only a
// record a whole pointer in that folder names, still the very file the
// pointer says, is acted on: a record planted beside a file, a damaged
// pointer, or another file under the record's name changes nothing.
#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "filter/durability/record_seal.h"
#include "filter/durability/run_record.h"
#include "filter/durability/run_repair.h"
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

std::wstring StateFolder()
{
    FormChar folder[kTempPathCapacity];
    EXPECT_TRUE(PlatformStateFolder(folder, kTempPathCapacity));
    return folder;
}

typedef std::map<std::wstring, std::string> Files;

// Every file of a folder with its bytes: what a repair must leave as it is.
Files FilesIn(const std::wstring& folder)
{
    std::wstring prefix = folder.back() == L'\\' ? folder : folder + L'\\';
    Files files;
    for (const std::wstring& name : FolderEntries(prefix.substr(0, prefix.size() - 1))) {
        DWORD attributes = GetFileAttributesW((prefix + name).c_str());
        files[name] = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? "<folder>" : ReadWholeFile(prefix + name);
    }
    return files;
}

// What differs between two looks at a folder: each name that came, went or
// changed, with its length before and after; empty when nothing did.
std::string Changes(const Files& before, const Files& after)
{
    std::string told;
    auto tell = [&](const std::wstring& name, const char* what, const std::string* was, const std::string* is) {
        told += Narrow(name) + " " + what + " (" + (was != nullptr ? std::to_string(was->size()) : "-") + " -> " +
                (is != nullptr ? std::to_string(is->size()) : "-") + " bytes); ";
    };
    for (const auto& file : before) {
        auto now = after.find(file.first);
        if (now == after.end()) {
            tell(file.first, "went", &file.second, nullptr);
        } else if (now->second != file.second) {
            tell(file.first, "changed", &file.second, &now->second);
        }
    }
    for (const auto& file : after) {
        if (before.count(file.first) == 0) {
            tell(file.first, "came", nullptr, &file.second);
        }
    }
    return told;
}

void PutU32(std::string* to, uint32_t v)
{
    for (int i = 0; i < 4; ++i) {
        to->push_back(static_cast<char>(v >> (8 * i)));
    }
}

void PutU64(std::string* to, uint64_t v)
{
    PutU32(to, static_cast<uint32_t>(v));
    PutU32(to, static_cast<uint32_t>(v >> 32));
}

// A pointer file's bytes as any copy of the program lays them out, so that
// a damaged one can be made with a header that passes every check: magic,
// version 3, sequence 1, the payload's length, and its seal under the
// pointer's fixed checksum key (in every copy of the program, so known to
// anyone); then the record's key and identity, and its path with its length
// in UTF-16 units. textLength and headerLength stand in for the true ones
// when not ~0u; extra follows the path.
struct PointerBytes {
    SealKey key;
    FileIdentity id;
    std::wstring path;
    uint32_t textLength = ~0u;
    uint32_t headerLength = ~0u;
    std::string extra;

    std::string Make() const
    {
        std::string payload;
        PutU64(&payload, key.k0);
        PutU64(&payload, key.k1);
        PutU64(&payload, id.volume);
        PutU64(&payload, id.index);
        PutU32(&payload, textLength != ~0u ? textLength : static_cast<uint32_t>(path.size()));
        for (wchar_t c : path) {
            payload.push_back(static_cast<char>(c));
            payload.push_back(static_cast<char>(c >> 8));
        }
        payload += extra;
        std::string head = "QZPJ";
        PutU32(&head, 3);
        PutU32(&head, 1);
        PutU32(&head, headerLength != ~0u ? headerLength : static_cast<uint32_t>(payload.size()));
        const SealKey checksum = {0x71756f7276616e65ull, 0x706f696e74657221ull};
        SealKey keyed = checksum;
        keyed.k0 ^= Seal(checksum, reinterpret_cast<const unsigned char*>(head.data()) + 8, 8);
        PutU64(&head, Seal(keyed, reinterpret_cast<const unsigned char*>(payload.data()),
                           static_cast<uint32_t>(payload.size())));
        return head + payload;
    }
};

class WinRecord : public testing::Test {
protected:
    void SetUp() override { RepairInit(&report_); }
    // Whatever a case left in this user's folder goes: the folder is the
    // real one, shared by every test and by the program itself.
    void TearDown() override
    {
        for (const std::wstring& pointer : pointers_) {
            DeleteFileW(pointer.c_str());
        }
    }
    void Repair() { RepairFromPointers(&report_); }

    // Begins a record for r beside `beside` and lets go of it as a killed
    // run does: the handle goes with the process, record and pointer stay.
    // False when it could not be begun.
    bool KilledRun(const std::wstring& beside, RunRecord* r, RecordFile* f)
    {
        if (!RecordBegin(f, beside.c_str(), r)) {
            return false;
        }
        pointers_.push_back(f->pointer);
        PlatformClose(f->file);
        f->file = nullptr;
        return true;
    }

    // errors.txt as a run left it that was adding its staged lines at the
    // export's end when it was killed: the old lines, then part of the new
    // ones, which wait whole in the temporary file. A record of it, once
    // trusted, cuts the export back to its old lines and removes the
    // temporary file.
    RunRecord AppendingRun()
    {
        for (const std::wstring& name : folder_.Entries()) {
            DeleteFileW(folder_.File(name).c_str());
        }
        WriteWholeFile(Errors(), kEarlier + kStaged.substr(0, 30));
        WriteWholeFile(Staged(), kStaged);
        RunRecord r;
        RecordInit(&r);
        r.step = kRecordReplacing;
        RecordedExport& e = r.exports[1];
        e.on = e.append = e.existed = e.claimed = e.newKnown = e.appending = true;
        e.id = IdentityOf(Errors());
        e.newId = IdentityOf(Staged());
        e.oldSize = e.appendFrom = kEarlier.size();
        SetPath(e.path, Errors());
        SetPath(e.tempPath, Staged());
        return r;
    }
    // A record of a run replacing a rewritten export (slot which): the old
    // content under path, the new under temp, the backup's name as given.
    RunRecord RewriteRecord(int which, const std::wstring& path, const std::string& old, const std::wstring& temp,
                            const std::string& fresh, const std::wstring& backup)
    {
        RepairInit(&report_);
        WriteWholeFile(path, old);
        WriteWholeFile(temp, fresh);
        RunRecord r;
        RecordInit(&r);
        r.step = kRecordReplacing;
        RecordedExport& e = r.exports[which];
        e.on = e.existed = e.claimed = e.newKnown = true;
        e.id = IdentityOf(path);
        e.newId = IdentityOf(temp);
        SetPath(e.path, path);
        SetPath(e.tempPath, temp);
        SetPath(e.backupPath, backup);
        return r;
    }
    std::wstring Errors() const { return folder_.File(L"errors.txt"); }
    std::wstring Staged() const { return folder_.File(L"qzv0001.tmp"); }

    const std::string kEarlier = "2024-04-30 ERROR earlier run\r\n";
    const std::string kStaged = "2026-12-09 ERROR one\r\n2026-12-09 ERROR two\r\n";
    ScratchDir folder_;
    RepairReport report_;
    std::vector<std::wstring> pointers_;
};

// A run going on holds its record: a repair (another copy of the program
// starting, or this one before its next run) cannot open it and leaves it,
// its pointer and the export it would cut back as they are.
TEST_F(WinRecord, ARecordItsRunHoldsIsNotActedOn)
{
    RunRecord r = AppendingRun();
    RecordFile f;
    ASSERT_TRUE(RecordBegin(&f, Errors().c_str(), &r));
    pointers_.push_back(f.pointer);
    EXPECT_EQ(PlatformOpenFile(f.path, kOpenRecordExisting), nullptr) << "a second holder got the record";
    const std::wstring pointer = f.pointer;
    ASSERT_FALSE(pointer.empty()) << "no pointer in the user's folder";
    EXPECT_EQ(pointer.compare(0, StateFolder().size(), StateFolder()), 0) << Narrow(pointer);
    const std::string pointerBytes = ReadWholeFile(pointer);
    Repair();
    EXPECT_EQ(ReadWholeFile(Errors()), kEarlier + kStaged.substr(0, 30)) << "a live run's export was cut back";
    EXPECT_EQ(ReadWholeFile(Staged()), kStaged);
    EXPECT_FALSE(RepairDidSomething(&report_));
    EXPECT_EQ(ReadWholeFile(pointer), pointerBytes) << "the pointer of a run going on changed or went";
    EXPECT_EQ(folder_.Entries().size(), 3u) << "the record of a run going on went";
    RecordEnd(&f);
    EXPECT_EQ(folder_.Entries(), (std::vector<std::wstring>{L"errors.txt", L"qzv0001.tmp"}));
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
        RunRecord r = RewriteRecord(0, log, "all the old lines\r\n", temp, "the kept lines\r\n", backup);
        RecordedExport& e = r.exports[0];
        ASSERT_TRUE(MoveFileExW(log.c_str(), backup.c_str(), 0));
        if (c.logger != nullptr) {
            WriteWholeFile(log, c.logger);
        }
        RecordFile f;
        ASSERT_TRUE(KilledRun(log, &r, &f));
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
        EXPECT_FALSE(FileExists(f.pointer)) << "the pointer of a record dealt with stayed";
    }
}

// A run killed as it claimed an export that was not there: the empty file
// under its name goes, unless a program holds it open to write (a logger
// that made it since, whose next line would be lost with it).
TEST_F(WinRecord, AnEmptyExportAKilledClaimLeftGoesUnlessAProgramWritesToIt)
{
    for (bool held : {true, false}) {
        SCOPED_TRACE(held ? "held by a writer" : "held by none");
        RepairInit(&report_);
        RunRecord r;
        RecordInit(&r);
        RecordedExport& e = r.exports[1];
        e.on = true;
        SetPath(e.path, Errors());
        WriteWholeFile(Errors(), "");
        HANDLE writer = held ? CreateFileW(Errors().c_str(), FILE_APPEND_DATA,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)
                             : INVALID_HANDLE_VALUE;
        RecordFile f;
        ASSERT_TRUE(KilledRun(Errors(), &r, &f));
        Repair();
        EXPECT_EQ(FileExists(Errors()), held);
        EXPECT_EQ(report_.putBack, held ? 0u : 1u);
        if (held) {
            CloseHandle(writer);
            DeleteFileW(Errors().c_str());
        }
        EXPECT_TRUE(folder_.Entries().empty());
    }
}

// A run killed inside the step that puts a rewritten export's previous
// version in the Recycle Bin: each state the kill can leave, laid out with
// real files, and the start after it finishes the step through the shell's
// own Recycle Bin with every version kept: in the bin under the noted
// name, recorded as coming from the export's folder, or (the shell having
// removed it rather than recycled it) beside the export under that name.
// None of the run's names is left.
TEST_F(WinRecord, AKillInsideTheRecyclingStepIsFinishedWithEveryVersionKept)
{
    const std::wstring errors = folder_.File(L"errors.txt");
    const std::wstring temp = folder_.File(L"qzv0001.tmp");
    const std::wstring backup = folder_.File(L"qzb0002.tmp");
    const std::wstring noted = folder_.File(L"errors (移除行列前).txt");
    const std::string before = "2024-04-30 ERROR earlier run\r\n";
    const std::string after = "2026-12-09 ERROR one\r\n";
    enum Left { kUnderBackup, kUnderNoted, kNotedAndLinked, kRecycledLinkLeft, kRemovedLinkLeft };
    const char* what[] = {"after the replace", "after the rename", "after the link", "after the recycle",
                          "after the shell removed it instead"};
    for (int left = kUnderBackup; left <= kRemovedLinkLeft; ++left) {
        SCOPED_TRACE(what[left]);
        for (const std::wstring& name : folder_.Entries()) {
            DeleteFileW(folder_.File(name).c_str());
        }
        EmptyTrash();
        // The export's new content took its name; the old file is under
        // the backup's name.
        RunRecord r = RewriteRecord(1, errors, before, temp, after, backup);
        RecordedExport& e = r.exports[1];
        e.oldSize = before.size();
        e.newSize = after.size();
        SetPath(e.notedPath, noted);
        SetPath(e.note, L"移除行列前");
        ASSERT_TRUE(MoveFileExW(errors.c_str(), backup.c_str(), 0));
        ASSERT_TRUE(MoveFileExW(temp.c_str(), errors.c_str(), 0));
        if (left >= kUnderNoted) {
            ASSERT_TRUE(MoveFileExW(backup.c_str(), noted.c_str(), 0));
        }
        if (left >= kNotedAndLinked) {
            ASSERT_TRUE(CreateHardLinkW(temp.c_str(), noted.c_str(), nullptr));
        }
        if (left >= kRecycledLinkLeft) {
            // The run took the count of names, told the record, then
            // handed the file to the shell.
            e.namesBefore = PlatformNameCount(noted.c_str());
            ASSERT_EQ(e.namesBefore, 2u);
        }
        if (left == kRecycledLinkLeft) {
            ASSERT_TRUE(PlatformRecycle(noted.c_str()));
        } else if (left == kRemovedLinkLeft) {
            ASSERT_TRUE(DeleteFileW(noted.c_str()));
        }
        RecordFile f;
        ASSERT_TRUE(KilledRun(errors, &r, &f));
        Repair();
        EXPECT_EQ(ReadWholeFile(errors), after);
        std::vector<Trashed> trashed = TrashedFiles();
        if (left == kRemovedLinkLeft) {
            EXPECT_EQ(ReadWholeFile(noted), before);
            EXPECT_EQ(report_.kept, 1u) << "the version kept beside is not told";
            EXPECT_EQ(folder_.Entries(), (std::vector<std::wstring>{L"errors (移除行列前).txt", L"errors.txt"}));
        } else {
            ASSERT_EQ(trashed.size(), 1u);
            EXPECT_EQ(trashed[0].bytes, before);
            EXPECT_EQ(trashed[0].from, UnixName(noted));
            EXPECT_FALSE(RepairDidSomething(&report_));
            EXPECT_EQ(folder_.Entries(), std::vector<std::wstring>{L"errors.txt"});
        }
        EXPECT_FALSE(FileExists(f.pointer));
    }
}

// A record in the export's folder that no pointer in this user's folder
// names, whatever it holds (bytes of no meaning, or a whole record of a run
// of ours that would cut the export back), is never acted on or removed;
// nor is one named by a pointer that lies beside it rather than in the
// user's folder, as anyone who can write to that folder could put it. The
// same record with its pointer where the program puts it is acted on: the
// others were left for what they lack, not for what they say.
TEST_F(WinRecord, ARecordNoPointerOfTheUsersNamesIsNeitherActedOnNorRemoved)
{
    enum Plant { kGarbage, kPointerDeleted, kPointerBeside, kPointerKept };
    struct Case {
        const char* what;
        Plant plant;
    };
    const Case cases[] = {
        {"bytes of no meaning under a record's name", kGarbage},
        {"a whole record whose pointer was deleted", kPointerDeleted},
        {"a whole record with its pointer moved beside it", kPointerBeside},
        {"a whole record with its pointer in the user's folder", kPointerKept},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RepairInit(&report_);
        RunRecord r = AppendingRun();
        RecordFile f;
        if (c.plant == kGarbage) {
            std::string garbage;
            for (int i = 0; i < 3000; ++i) {
                garbage.push_back(static_cast<char>(i * 37 + 11));
            }
            WriteWholeFile(folder_.File(L"qzr00A1.tmp"), "QZRJ" + garbage);
        } else {
            ASSERT_TRUE(KilledRun(Errors(), &r, &f));
            if (c.plant == kPointerDeleted) {
                ASSERT_TRUE(DeleteFileW(f.pointer));
            } else if (c.plant == kPointerBeside) {
                ASSERT_TRUE(MoveFileExW(f.pointer, folder_.File(L"qzp00B2.tmp").c_str(), MOVEFILE_COPY_ALLOWED));
            }
        }
        const Files before = FilesIn(folder_.path());
        ASSERT_EQ(before.size(), c.plant == kPointerBeside ? 4u : 3u) << "not planted";
        Repair();
        if (c.plant == kPointerKept) {
            EXPECT_EQ(ReadWholeFile(Errors()), kEarlier);
            EXPECT_EQ(folder_.Entries(), std::vector<std::wstring>{L"errors.txt"});
            EXPECT_FALSE(FileExists(f.pointer));
            EXPECT_EQ(report_.putBack, 1u);
        } else {
            EXPECT_EQ(Changes(before, FilesIn(folder_.path())), "");
            EXPECT_FALSE(RepairDidSomething(&report_));
        }
    }
}

// A pointer in this user's folder that cannot be read whole (cut short by a
// power failure, overwritten, or made with a header that passes every check
// and lengths that do not hold together) is left as it is, and so is every
// other file: the record it would name, whole and sealed, and the export
// that record would cut back. The pointer as it was written, put back, is
// acted on.
TEST_F(WinRecord, ADamagedPointerIsLeftAloneAndNothingElseChanges)
{
    // What earlier programs left in the user's folder is dealt with first:
    // below, any change there is this repair's.
    Repair();
    RunRecord r = AppendingRun();
    RecordFile f;
    ASSERT_TRUE(KilledRun(Errors(), &r, &f));
    const std::wstring pointer = f.pointer;
    const std::string whole = ReadWholeFile(pointer);
    PointerBytes made;
    made.key = f.key;
    made.id = IdentityOf(f.path);
    made.path = f.path;
    ASSERT_EQ(made.Make(), whole) << "the pointer is laid out otherwise: the damaged ones below prove nothing";

    PointerBytes hugeText = made;
    hugeText.textLength = 0xFFFFFFF0u;
    PointerBytes textPastTheEnd = made;
    textPastTheEnd.textLength = static_cast<uint32_t>(made.path.size()) + 1;
    PointerBytes noPath = made;
    noPath.path.clear();
    PointerBytes bytesAfterThePath = made;
    bytesAfterThePath.extra = std::string("\0\0", 2);
    PointerBytes lengthPastTheFile = made;
    lengthPastTheFile.headerLength = 16000;
    std::string overwritten(whole.size(), '\0');
    for (size_t i = 0; i < overwritten.size(); ++i) {
        overwritten[i] = static_cast<char>(i * 131 + 7);
    }
    std::string flipped = whole;
    flipped[whole.size() - 3] ^= 0x01;   // one bit of the path, under the old seal

    struct Case {
        const char* what;
        std::string bytes;
    };
    const Case cases[] = {
        {"cut inside the header", whole.substr(0, 20)},
        {"cut inside the key", whole.substr(0, 30)},
        {"cut by one byte", whole.substr(0, whole.size() - 1)},
        {"one bit changed", flipped},
        {"bytes of no meaning", overwritten},
        {"zeros as long as a record", std::string(kRecordFileSize, '\0')},
        {"a sealed header, a text length of 4 GiB", hugeText.Make()},
        {"a sealed header, a text length past the bytes", textPastTheEnd.Make()},
        {"a sealed header, no path", noPath.Make()},
        {"a sealed header, bytes after the path", bytesAfterThePath.Make()},
        {"a header length past the file's end", lengthPastTheFile.Make()},
    };
    {
        // Empty (its run killed as it made it), it names nothing: it goes,
        // and nothing else changes.
        RepairInit(&report_);
        WriteWholeFile(pointer, "");
        const Files here = FilesIn(folder_.path());
        Repair();
        EXPECT_FALSE(FileExists(pointer)) << "an empty pointer stayed";
        EXPECT_EQ(Changes(here, FilesIn(folder_.path())), "") << "in the export's folder";
        EXPECT_FALSE(RepairDidSomething(&report_));
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RepairInit(&report_);
        WriteWholeFile(pointer, c.bytes);
        ASSERT_EQ(ReadWholeFile(pointer), c.bytes);
        const Files here = FilesIn(folder_.path());
        const Files state = FilesIn(StateFolder());
        Repair();
        EXPECT_EQ(Changes(state, FilesIn(StateFolder())), "") << "in the user's folder";
        EXPECT_EQ(Changes(here, FilesIn(folder_.path())), "") << "in the export's folder";
        EXPECT_FALSE(RepairDidSomething(&report_));
    }

    RepairInit(&report_);
    WriteWholeFile(pointer, whole);
    Repair();
    EXPECT_EQ(ReadWholeFile(Errors()), kEarlier);
    EXPECT_EQ(folder_.Entries(), std::vector<std::wstring>{L"errors.txt"});
    EXPECT_FALSE(FileExists(pointer));
    EXPECT_EQ(report_.putBack, 1u);
}

// The record's name holds another file than the one the pointer says (the
// record moved away and a file put in its place): a copy of the record's
// own bytes, whose seal the pointer's key opens, or a file of another
// program's. Neither is read for what to do: the export stays as it is,
// the file under the record's name and the record itself stay where they
// are, and only the pointer, whose record is gone, goes.
TEST_F(WinRecord, APointerWhoseRecordIsAnotherFileNowIsNotActedOn)
{
    struct Case {
        const char* what;
        bool copyOfTheRecord;   // else another program's file
    };
    const Case cases[] = {{"a copy of the record", true}, {"another program's file", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RepairInit(&report_);
        RunRecord r = AppendingRun();
        RecordFile f;
        ASSERT_TRUE(KilledRun(Errors(), &r, &f));
        const std::wstring record = f.path;
        const std::wstring other = folder_.File(L"other.bin");
        // Made while the record is still there: a file of its own, never
        // the record's index used again.
        WriteWholeFile(other, c.copyOfTheRecord ? ReadWholeFile(record) : std::string("not a record\r\n"));
        ASSERT_TRUE(MoveFileExW(record.c_str(), folder_.File(L"moved.bin").c_str(), 0));
        ASSERT_TRUE(MoveFileExW(other.c_str(), record.c_str(), 0));
        ASSERT_FALSE(SameIdentity(IdentityOf(record), IdentityOf(folder_.File(L"moved.bin"))));
        const Files before = FilesIn(folder_.path());
        Repair();
        EXPECT_EQ(Changes(before, FilesIn(folder_.path())), "");
        EXPECT_FALSE(RepairDidSomething(&report_));
        EXPECT_FALSE(FileExists(f.pointer)) << "a pointer whose record is gone stayed";
    }
}

}  // namespace
