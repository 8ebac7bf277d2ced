// The source's tail carried across.

#include "filter/file_steps/source_tail.h"

#include "filter/file_steps/file_compare.h"

namespace {

// How long a half-written last line of another program's is waited for,
// and how often the old file is looked at meanwhile.
const uint32_t kTailWaitMs = 1500;
const uint32_t kTailPollMs = 10;
// How many times what keeps coming in is copied before the old file is kept.
const int kTailCopies = 16;

// The longest start of n bytes (read from a unit's start on) that ends with
// a line end unit; 0 when none does.
uint32_t LineEndCut(const unsigned char* bytes, uint32_t n, uint32_t unit)
{
    uint32_t width = LineUnitBytes(unit);
    for (uint32_t cut = n - n % width; cut >= width; cut -= width) {
        if (IsCrOrLfAt(bytes + cut - width, unit)) {
            return cut;
        }
    }
    return 0;
}

// Follows the old file's end from `from` on, each piece that ends a line
// carried to `to`: a last line still being written is waited for, a
// little, where another program can still write to the old file, and what
// comes in while a piece is carried follows it. False when it never ended
// a line, never stopped growing, or shrank, or (*error) a read or a write
// failed.
bool FollowTail(FileHandle old, uint64_t from, FileHandle to, uint32_t unit, uint32_t* error)
{
    uint64_t copied = from;
    int copies = 0;
    for (uint32_t waited = 0;;) {
        uint64_t size = 0;
        if (!PlatformFileSize(old, &size)) {
            *error = PlatformLastError();
            return false;
        }
        if (size == copied) {
            return true;
        }
        if (size > copied && (size - copied) % LineUnitBytes(unit) == 0 && EndsALineAt(old, size, unit)) {
            // A program that keeps on writing is not followed for ever.
            if (++copies > kTailCopies) {
                return false;
            }
            if (!AppendLines(old, copied, size, to, unit)) {
                *error = PlatformLastError();
                return false;
            }
            copied = size;
            continue;
        }
        if (size < copied || waited >= kTailWaitMs || PlatformReadAloneExcludesWriters()) {
            return false;
        }
        PlatformSleep(kTailPollMs);
        waited += kTailPollMs;
    }
}

// Puts the old file back in its place, unless the new one changed since it
// was written (a line another program added to it since would go with it)
// or either name holds another file: both are kept then.
TailFate PutOldBack(const TailFiles& f)
{
    FileStamp now;
    if (NameHolds(f.target, f.newId) && PlatformStamp(f.target, &now) && now.size == f.newSize &&
        NameHolds(f.backup, f.oldId) && PlatformRenameOver(f.backup, f.target)) {
        return kTailPutBack;
    }
    return kTailKeptBoth;
}

// After a carry that did not end: what it added past the new file's length
// goes, when those bytes are proven the carried ones (the old file's from
// tail on) and nothing else, so that the old file can go back.
void CutBackCarried(const TailFiles& f, FileHandle old, uint64_t tail)
{
    FileHandle file = PlatformOpenFile(f.target, kOpenToMend);
    FileIdentity held;
    uint64_t size = 0;
    if (file != nullptr && PlatformIdentity(file, &held) && SameIdentity(held, f.newId) &&
        PlatformFileSize(file, &size) && size > f.newSize &&
        SameBytes(file, f.newSize, old, tail, size - f.newSize)) {
        PlatformTruncate(file, f.newSize);
    }
    PlatformClose(file);
}

// The old file (held by old, size bytes) changed since the run read it:
// lines added at its end go to the end of the new file. kTailPutBack when
// it was changed otherwise, or its last line never ended; kTailFailed (the
// reason in *error) when they could not be carried. Either way, what was
// carried is cut back and the old file is to go back in its place.
TailFate CarryWhatCameIn(const TailFiles& f, FileHandle old, uint64_t size, const SourceAsRead& read,
                         uint32_t* error)
{
    uint64_t tail = 0;
    if (!OnlyLinesAdded(old, size, read, &tail)) {
        return kTailPutBack;
    }
    FileHandle to = PlatformOpenFile(f.target, kOpenToAppend);
    if (to == nullptr) {
        *error = PlatformLastError();
        return kTailFailed;
    }
    const bool followed = FollowTail(old, tail, to, read.unit, error);
    const bool closed = PlatformClose(to);
    if (!closed && *error == 0) {
        *error = PlatformLastError();
    }
    if (followed && closed) {
        return kTailCarried;
    }
    CutBackCarried(f, old, tail);
    return *error != 0 ? kTailFailed : kTailPutBack;
}

}  // namespace

bool EndsALineAt(FileHandle file, uint64_t end, uint32_t unit)
{
    uint32_t width = LineUnitBytes(unit);
    unsigned char bytes[2];
    return end >= width && ReadAt(file, end - width, bytes, width) && IsCrOrLfAt(bytes, unit);
}

bool OnlyLinesAdded(FileHandle old, uint64_t size, const SourceAsRead& read, uint64_t* tail)
{
    const uint64_t readSize = read.stamp.size;
    const uint32_t unit = read.unit;
    const uint32_t width = LineUnitBytes(unit);
    uint64_t sum = 0;
    if (size <= readSize || (readSize > 0 && !EndsALineAt(old, readSize, unit)) ||
        !SumOfFirst(old, readSize, &sum) || sum != read.sum) {
        return false;
    }
    *tail = readSize;
    unsigned char around[4];
    if (readSize >= width && size >= readSize + width && ReadAt(old, readSize - width, around, 2 * width) &&
        !IsLfAt(around, unit) && IsLfAt(around + width, unit)) {
        *tail += width;
    }
    return true;
}

bool AppendLines(FileHandle from, uint64_t offset, uint64_t end, FileHandle to, uint32_t unit)
{
    // Bytes read and not yet written gather here, in room for two pieces.
    const uint32_t kRoom = 2 * kCompareChunk;
    unsigned char carry[kRoom];
    uint32_t carried = 0;
    for (uint64_t at = offset; at < end;) {
        uint32_t room = kRoom - carried < kCompareChunk ? kRoom - carried : static_cast<uint32_t>(kCompareChunk);
        uint32_t n = end - at < room ? static_cast<uint32_t>(end - at) : room;
        if (!ReadAt(from, at, carry + carried, n)) {
            return false;
        }
        at += n;
        carried += n;
        uint32_t cut = LineEndCut(carry, carried, unit);
        const uint32_t width = LineUnitBytes(unit);
        if (cut == carried && at < end && !IsLfAt(carry + cut - width, unit)) {
            // A CR last: its LF may come next, in the same write.
            cut = LineEndCut(carry, cut - width, unit);
        }
        if (cut == 0 && carried < kRoom) {
            continue;   // the line goes on in the next piece
        }
        if (cut == 0) {
            // A line longer than the room: written as it comes, in whole units.
            cut = carried - carried % width;
        }
        if (!PlatformWrite(to, carry, cut)) {
            return false;
        }
        __builtin_memmove(carry, carry + cut, carried - cut);
        carried -= cut;
    }
    return (carried == 0 || PlatformWrite(to, carry, carried)) && PlatformFlush(to);
}

TailFate CarrySourceTail(const TailFiles& f, const SourceAsRead& read, uint32_t* error)
{
    *error = 0;
    if (f.backup[0] == 0) {
        return kTailCarried;   // the replace left no old file to look at
    }
    if (!NameHolds(f.target, f.newId) || !NameHolds(f.backup, f.oldId)) {
        return kTailKeptBoth;   // another program's file took a name already
    }
    FileHandle old = PlatformOpenFile(f.backup, kOpenToReadAlone);
    if (old == nullptr) {
        // Another program keeps the old file open: what it writes next would
        // go to a file about to be put away. The old file goes back; when
        // that program has not written to it yet, the replace is what failed.
        *error = PlatformLastError();
        FileStamp seen;
        const bool unwritten = PlatformStamp(f.backup, &seen) && SameStamp(seen, read.stamp);
        TailFate back = PutOldBack(f);
        return back == kTailPutBack && unwritten ? kTailFailed : back;
    }
    FileIdentity held;
    FileStamp was;
    TailFate fate = kTailKeptBoth;
    if (PlatformIdentity(old, &held) && SameIdentity(held, f.oldId) && PlatformStampOf(old, &was)) {
        fate = SameStamp(was, read.stamp) ? kTailCarried : CarryWhatCameIn(f, old, was.size, read, error);
    }
    // Closed first: a file held open cannot be renamed on Windows.
    PlatformClose(old);
    if (fate == kTailPutBack || fate == kTailFailed) {
        TailFate back = PutOldBack(f);
        return back == kTailPutBack ? fate : back;
    }
    return fate;
}
