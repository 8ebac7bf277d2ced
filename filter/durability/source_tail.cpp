// The source's tail carried across.

#include "filter/durability/source_tail.h"

#include "filter/durability/file_compare.h"

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
        if (IsLineEndUnit(bytes + cut - width, unit)) {
            return cut;
        }
    }
    return 0;
}

// Follows the old file's end from `from` on, each piece that ends a line
// carried to `to`: a last line still being written is waited for, a
// little, and what comes in while a piece is carried follows it. False
// when it never ended a line, never stopped growing, or shrank.
bool FollowTail(FileHandle old, uint64_t from, FileHandle to, uint32_t unit)
{
    uint64_t copied = from;
    int copies = 0;
    for (uint32_t waited = 0;;) {
        uint64_t size = 0;
        if (!PlatformFileSize(old, &size)) {
            return false;
        }
        if (size == copied) {
            return true;
        }
        if (size > copied && (size - copied) % LineUnitBytes(unit) == 0 && EndsALineAt(old, size, unit)) {
            // A program that keeps on writing is not followed for ever.
            if (++copies > kTailCopies || !AppendLines(old, copied, size, to, unit)) {
                return false;
            }
            copied = size;
            continue;
        }
        if (size < copied || waited >= kTailWaitMs) {
            return false;
        }
        PlatformSleep(kTailPollMs);
        waited += kTailPollMs;
    }
}

// The old file (held by old, size bytes) had lines added since the run read
// it: they go to the end of the new file, under target.
bool CarryWhatCameIn(FileHandle old, uint64_t size, const FormChar* target, const SourceAsRead& read)
{
    uint64_t tail = 0;
    if (!OnlyLinesAdded(old, size, read, &tail)) {
        return false;
    }
    FileHandle to = PlatformOpenFile(target, kOpenToAppend);
    if (to == nullptr) {
        return false;
    }
    bool carried = FollowTail(old, tail, to, read.unit);
    return PlatformClose(to) && carried;
}

// Puts the old file back in its place, unless the new one changed since it
// was written (a line another program added to it since would go with it)
// or is not there: both are kept then.
TailFate PutOldBack(const FormChar* target, const FormChar* backup, const FileIdentity& newId,
                    const FileStamp& newStamp)
{
    FileStamp now;
    if (NameHolds(target, newId) && PlatformStamp(target, &now) && SameStamp(now, newStamp) &&
        PlatformRenameOver(backup, target)) {
        return kTailPutBack;
    }
    return kTailKeptBoth;
}

}  // namespace

bool EndsALineAt(FileHandle file, uint64_t end, uint32_t unit)
{
    uint32_t width = LineUnitBytes(unit);
    unsigned char bytes[2];
    return end >= width && ReadAt(file, end - width, bytes, width) && IsLineEndUnit(bytes, unit);
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
        !IsLineFeedUnit(around, unit) && IsLineFeedUnit(around + width, unit)) {
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
        if (cut == 0 && carried < kRoom) {
            continue;   // the line goes on in the next piece
        }
        if (cut == 0) {
            // A line longer than the room: written as it comes, in whole units.
            cut = carried - carried % LineUnitBytes(unit);
        }
        if (!PlatformWrite(to, carry, cut)) {
            return false;
        }
        __builtin_memmove(carry, carry + cut, carried - cut);
        carried -= cut;
    }
    return (carried == 0 || PlatformWrite(to, carry, carried)) && PlatformFlush(to);
}

TailFate CarrySourceTail(const FormChar* target, const FormChar* backup, const SourceAsRead& read,
                         const FileIdentity& newId, const FileStamp& newStamp, uint32_t* error)
{
    *error = 0;
    if (backup[0] == 0) {
        return kTailCarried;   // the replace left no old file to look at
    }
    if (!NameHolds(target, newId)) {
        return kTailKeptBoth;   // taken by another program already
    }
    FileHandle old = PlatformOpenFile(backup, kOpenToReadAlone);
    if (old == nullptr) {
        // Another program keeps the old file open: what it writes next would
        // go to a file about to be put away. The old file goes back; when
        // that program has not written to it yet, the replace is what failed.
        *error = PlatformLastError();
        FileStamp seen;
        bool unwritten = PlatformStamp(backup, &seen) && SameStamp(seen, read.stamp);
        TailFate back = PutOldBack(target, backup, newId, newStamp);
        return back == kTailPutBack && unwritten ? kTailHeldOpen : back;
    }
    FileStamp was;
    bool carried = PlatformStampOf(old, &was) && (SameStamp(was, read.stamp) || CarryWhatCameIn(old, was.size, target, read));
    PlatformClose(old);
    return carried ? kTailCarried : PutOldBack(target, backup, newId, newStamp);
}
