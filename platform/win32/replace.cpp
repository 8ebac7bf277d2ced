// The replace on Windows: ReplaceFileW, whatever state it leaves when it
// fails half way, and what another program added to the old file in that
// moment carried across.

#include "platform/win32/win32_shared.h"

using namespace win32_platform;

namespace {

// Reads count bytes from offset through the buffer, handing each piece to
// use(bytes, n); false when a read fails or the file ends first.
const DWORD kCopyChunk = 1u << 16;

template <typename Use>
bool ReadRange(HANDLE file, uint64_t offset, uint64_t count, char* buffer, Use use)
{
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(file, at, nullptr, FILE_BEGIN)) {
        return false;
    }
    while (count > 0) {
        DWORD want = count < kCopyChunk ? static_cast<DWORD>(count) : kCopyChunk;
        DWORD got = 0;
        if (!ReadFile(file, buffer, want, &got, nullptr) || got != want || !use(buffer, got)) {
            return false;
        }
        count -= got;
    }
    return true;
}

// Adds the bytes of file from, from offset to its end (which is a line's
// end), at the end of the file named to. Each write ends at a line's end, so
// that a record another program appends meanwhile comes between two whole
// lines, never inside one.
bool AppendTail(HANDLE from, uint64_t offset, uint64_t end, const FormChar* to, char* buffer, uint32_t unit)
{
    HANDLE out = CreateFileW(to, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE) {
        return false;
    }
    // Bytes read and not yet written gather after the read buffer, in room
    // for two pieces.
    char* carry = buffer + kCopyChunk;
    DWORD carried = 0;
    bool ok = ReadRange(from, offset, end - offset, buffer, [&](const char* bytes, DWORD n) {
        __builtin_memcpy(carry + carried, bytes, n);
        carried += n;
        DWORD cut = LineEndCut(reinterpret_cast<const unsigned char*>(carry), carried, unit);
        if (cut == 0) {
            if (carried < kCopyChunk) {
                return true;   // the line goes on in the next piece
            }
            // A line longer than the room: written as it comes, in whole units.
            cut = carried - carried % LineUnitBytes(unit);
        }
        DWORD put = 0;
        if (!WriteFile(out, carry, cut, &put, nullptr) || put != cut) {
            return false;
        }
        __builtin_memmove(carry, carry + cut, carried - cut);
        carried -= cut;
        return true;
    });
    DWORD put = 0;
    ok = ok && (carried == 0 || (WriteFile(out, carry, carried, &put, nullptr) && put == carried));
    ok = FlushFileBuffers(out) && ok;
    return CloseHandle(out) && ok;
}

// True when the old file, held by file, only grew since the run read it:
// its first expected->stamp.size bytes sum as the run's read did, and both
// they and the file end a line, by the source's own line ends (else a
// record was half written when the run took the size, and the new file
// ends it already, or it is half written now). *tail receives where what
// came in starts: after an LF that ends a CR LF cut between the two, since
// the new file ends that line.
bool OnlyAppendedTo(HANDLE file, const FileStamp& now, const SourceAsRead* expected, char* buffer, uint64_t* tail)
{
    const uint64_t read = expected->stamp.size;
    const uint32_t unit = expected->unit;
    const uint32_t width = LineUnitBytes(unit);
    if (now.size <= read || (now.size - read) % width != 0) {
        return false;
    }
    // The last unit read and the first that came in; a line feed stands in
    // for the one before the file's first.
    unsigned char around[4] = {'\n', 0, '\n', 0};
    if (unit == kLineUnitUtf16Be) {
        around[0] = around[2] = 0;
        around[1] = around[3] = '\n';
    }
    unsigned char last[2] = {0, 0};
    uint64_t from = read >= width ? read - width : read;
    bool ends = ReadRange(file, from, read + width - from, buffer, [&](const char* bytes, DWORD n) {
        __builtin_memcpy(around + (2 * width - n), bytes, n);
        return true;
    }) && ReadRange(file, now.size - width, width, buffer, [&](const char* bytes, DWORD n) {
        __builtin_memcpy(last, bytes, n);
        return true;
    });
    if (!ends || !IsLineEndUnit(around, unit) || !IsLineEndUnit(last, unit)) {
        return false;
    }
    bool crThenLf = read > 0 && !IsLineFeedUnit(around, unit) && IsLineFeedUnit(around + width, unit);
    *tail = read + (crThenLf ? width : 0);
    ContentSum sum;
    SumInit(&sum);
    bool summed = ReadRange(file, 0, read, buffer, [&](const char* bytes, DWORD n) {
        SumAdd(&sum, bytes, n);
        return true;
    });
    return summed && SumValue(&sum) == expected->sum;
}

// The new file is in the target's place and the old one under the backup
// name. Puts the old file back in its place, unless the new one grew since
// it was written (newSize, its size before the move): a record another
// program added to it since would go with it. Both are kept then.
ReplaceResult PutOldBack(const FormChar* target, const FormChar* backup, uint64_t newSize)
{
    FileStamp now;
    if (PlatformStamp(target, &now) && now.size == newSize &&
        Retried([&] { return MoveFileExW(backup, target, MOVEFILE_REPLACE_EXISTING) != FALSE; })) {
        return kReplaceFoundChanged;
    }
    return kReplaceKeptBoth;
}

// The replace is done: the old file under the backup name goes, or stays
// for the caller.
ReplaceResult OldDone(const FormChar* backup, bool keepOld)
{
    if (!keepOld) {
        RemoveFile(backup);
    }
    return kReplaced;
}

// After the move: the target's name holds the new file. The backup goes,
// unless the old file (expected: the source as the run read it) shows that
// another program wrote to it meanwhile. What it only added at the end, in
// whole lines, goes to the end of the new file; the old file is held
// unshared meanwhile, so that nothing more can be written to it unseen,
// and a program that keeps it open (sharing its deletion) is seen: the old
// file then goes back in its place, as it does when it was changed
// otherwise.
ReplaceResult AfterTheMove(const FormChar* target, const FormChar* backup, const SourceAsRead* expected,
                           const FileIdentity& oldFile, const FileIdentity& newFile, uint64_t newSize, bool keepOld)
{
    if (WhatNameHolds(target, oldFile, newFile) != kNameHoldsNew) {
        // Taken by another program already: keep everything.
        return kReplaceKeptBoth;
    }
    if (WhatNameHolds(backup, oldFile, newFile) == kNameFree) {
        // The replace left no old file to look at.
        return kReplaced;
    }
    if (expected == nullptr) {
        return OldDone(backup, keepOld);
    }
    HANDLE old = INVALID_HANDLE_VALUE;
    Retried([&] {
        old = CreateFileW(backup, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        return old != INVALID_HANDLE_VALUE;
    });
    if (old == INVALID_HANDLE_VALUE) {
        // Another program keeps the old file open (sharing its deletion, or
        // the move would have failed): what it writes next would go to a
        // file about to be removed. The old file goes back; when that
        // program has not written to it yet, the replace is what failed.
        FileStamp seen;
        bool unwritten = PlatformStamp(backup, &seen) && SameStamp(seen, expected->stamp);
        ReplaceResult back = PutOldBack(target, backup, newSize);
        if (back == kReplaceFoundChanged && unwritten) {
            SetLastError(ERROR_SHARING_VIOLATION);
            return kReplaceKeptOld;
        }
        return back;
    }
    FileStamp oldStamp;
    bool known = StampOfHandle(old, &oldStamp);
    if (known && SameStamp(oldStamp, expected->stamp)) {
        CloseHandle(old);
        return OldDone(backup, keepOld);
    }
    char* buffer = static_cast<char*>(GlobalAlloc(GMEM_FIXED, 3 * kCopyChunk));
    uint64_t tail = 0;
    bool appended = known && buffer != nullptr && OnlyAppendedTo(old, oldStamp, expected, buffer, &tail) &&
                    (tail == oldStamp.size || AppendTail(old, tail, oldStamp.size, target, buffer, expected->unit));
    if (buffer != nullptr) {
        GlobalFree(buffer);
    }
    CloseHandle(old);
    if (appended) {
        return OldDone(backup, keepOld);
    }
    return PutOldBack(target, backup, newSize);
}

// After a failed replace step, whatever it left: the target under its own
// name with its old bytes or its new ones. ReplaceFileW documents three
// states besides "nothing changed":
//   ERROR_UNABLE_TO_REMOVE_REPLACED (1175): both files keep their names;
//   ERROR_UNABLE_TO_MOVE_REPLACEMENT (1176): with a backup name, both keep
//     their names; without one, the old file is gone and the new content is
//     only in the temporary file;
//   ERROR_UNABLE_TO_MOVE_REPLACEMENT_2 (1177): the old file lives on under
//     the backup name, the new one under the temporary name.
// Which state this is, whatever the error code, is told by which file each
// name holds, by identity: in that last state another program may have made
// a file of its own under the target's name meanwhile (a logger that opens
// the log for each record), which is neither of ours.
ReplaceResult RecoverFromFailedReplace(const FormChar* target, const FormChar* temp, const FormChar* backup,
                                       DWORD attributes, const FileIdentity& oldFile, const FileIdentity& newFile,
                                       uint64_t newSize, const SourceAsRead* expected, bool keepOld)
{
    DWORD error = GetLastError();
    switch (WhatNameHolds(target, oldFile, newFile)) {
    case kNameHoldsNew:
        // The new file made it in after all.
        KeepAttributes(target, attributes);
        return AfterTheMove(target, backup, expected, oldFile, newFile, newSize, keepOld);
    case kNameHoldsOld:
        // Whatever the backup name holds is a copy the replace made.
        if (WhatNameHolds(backup, oldFile, newFile) == kNameHoldsOther) {
            RemoveFile(backup);
        }
        SetLastError(error);
        return kReplaceKeptOld;
    case kNameFree:
        // The old file back under its name; when the replace left none, the
        // new one is all there is.
        if (WhatNameHolds(backup, oldFile, newFile) == kNameHoldsOld) {
            if (MoveToFreeName(backup, target)) {
                SetLastError(error);
                return kReplaceKeptOld;
            }
        } else if (WhatNameHolds(temp, oldFile, newFile) == kNameHoldsNew && MoveToFreeName(temp, target)) {
            KeepAttributes(target, attributes);
            return AfterTheMove(target, backup, expected, oldFile, newFile, newSize, keepOld);
        }
        break;
    case kNameHoldsOther:
        break;
    }
    // Another program's file under the target's name, or neither file could
    // go back: the new content stays in the temporary file and the old in
    // the backup, both kept, and the other program's file is not touched.
    SetLastError(error);
    return kReplaceKeptBoth;
}


}  // namespace

ReplaceResult PlatformReplace(const FormChar* target, const FormChar* temp, const SourceAsRead* expected,
                              FormChar* backup, bool, bool keepOld)
{
    FormChar full[kTempPathCapacity];
    if (!FullPath(target, full, kTempPathCapacity) || (backup[0] == 0 && !FreeNameBeside(full, backup))) {
        backup[0] = 0;
        return kReplaceKeptOld;
    }
    DWORD attributes = GetFileAttributesW(full);
    // Which file is which, taken before anything moves: every decision
    // after the step goes by these.
    FileIdentity oldFile;
    FileIdentity newFile;
    FileStamp written;
    if (!IdentityOf(full, &oldFile) || !IdentityOf(temp, &newFile) || !PlatformStamp(temp, &written)) {
        return kReplaceKeptOld;
    }
    if (!Retried([&] { return PlatformReplaceStep(full, temp, backup); })) {
        return RecoverFromFailedReplace(full, temp, backup, attributes, oldFile, newFile, written.size, expected,
                                        keepOld);
    }
    KeepAttributes(full, attributes);
    return AfterTheMove(full, backup, expected, oldFile, newFile, written.size, keepOld);
}
