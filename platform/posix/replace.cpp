// The replace on POSIX: a new file put in an old one's place, and what
// another program added to the old one meanwhile carried across.

#include "platform/posix/posix_shared.h"

using namespace posix_platform;

namespace {

// Reads count bytes of fd from offset, handing each piece to use(bytes, n);
// false when a read fails or the file ends first.
const size_t kCopyChunk = 1u << 16;

template <typename Use>
bool ReadRange(int fd, uint64_t offset, uint64_t count, char* buffer, Use use)
{
    while (count > 0) {
        size_t want = count < kCopyChunk ? static_cast<size_t>(count) : kCopyChunk;
        ssize_t n = pread(fd, buffer, want, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0 || !use(buffer, static_cast<size_t>(n))) {
            return false;
        }
        offset += static_cast<uint64_t>(n);
        count -= static_cast<uint64_t>(n);
    }
    return true;
}

bool WriteAll(int fd, const char* bytes, size_t count)
{
    while (count > 0) {
        ssize_t n = write(fd, bytes, count);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        bytes += n;
        count -= static_cast<size_t>(n);
    }
    return true;
}

// Adds the bytes of fd from, from offset to end (a line's end), at the end
// of the file named to. Each write ends at a line's end, so that a record
// another program appends meanwhile comes between two whole lines.
bool AppendTail(int from, uint64_t offset, uint64_t end, const std::string& to, uint32_t unit)
{
    int out = open(to.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (out < 0) {
        return false;
    }
    std::string buffer(kCopyChunk, '\0');
    std::string carry;
    bool ok = ReadRange(from, offset, end - offset, &buffer[0], [&](const char* bytes, size_t n) {
        carry.append(bytes, n);
        size_t cut = LineEndCut(reinterpret_cast<const unsigned char*>(carry.data()),
                                static_cast<uint32_t>(carry.size()), unit);
        if (cut == 0 && carry.size() < kCopyChunk) {
            return true;
        }
        if (cut == 0) {
            cut = carry.size() - carry.size() % LineUnitBytes(unit);
        }
        if (!WriteAll(out, carry.data(), cut)) {
            return false;
        }
        carry.erase(0, cut);
        return true;
    });
    ok = ok && WriteAll(out, carry.data(), carry.size());
    ok = fsync(out) == 0 && ok;
    return close(out) == 0 && ok;
}

// The sum of fd's first count bytes, as the run sums what it reads.
bool SumOfFirst(int fd, uint64_t count, uint64_t* value)
{
    std::string buffer(kCopyChunk, '\0');
    ContentSum sum;
    SumInit(&sum);
    bool read = ReadRange(fd, 0, count, &buffer[0], [&](const char* bytes, size_t n) {
        SumAdd(&sum, bytes, n);
        return true;
    });
    *value = SumValue(&sum);
    return read;
}

// True when the unit that ends at size is a line end, by the source's own
// line ends.
bool EndsALine(int fd, uint64_t size, uint32_t unit)
{
    uint32_t width = LineUnitBytes(unit);
    unsigned char last[2] = {0, 0};
    return size >= width && pread(fd, last, width, static_cast<off_t>(size - width)) == static_cast<ssize_t>(width) &&
           IsLineEndUnit(last, unit);
}

// How long a half-written last record of another program's is waited for.
const int kTailWaitMs = 1500;
const int kTailPollMs = 10;
// How many times what keeps coming in is copied before the old file is kept.
const int kTailCopies = 16;

}  // namespace

namespace {

// The caller is told the old file's name (kTempPathCapacity characters).
void NameTheBackup(const std::string& old, FormChar* backup)
{
    std::u16string wide = Utf8ToUtf16(old);
    if (wide.size() + 1 <= kTempPathCapacity) {
        for (size_t k = 0; k <= wide.size(); ++k) {
            backup[k] = wide.c_str()[k];
        }
    }
}

// The new file is in the target's place, the old one under the name old.
// Puts the old file back in its place, unless the new one changed since the
// move (newStamp): a record another program added to it then would go with
// it. Both are kept then, the old file's name in backup.
ReplaceResult PutOldBack(const std::string& to, const std::string& old, const struct stat& newStamp,
                         FormChar* backup)
{
    struct stat now;
    if (stat(to.c_str(), &now) == 0 && SameInode(now, newStamp) && now.st_size == newStamp.st_size &&
        WriteTimeOf(now) == WriteTimeOf(newStamp) && rename(old.c_str(), to.c_str()) == 0) {
        SyncFolderOf(to);
        return kReplaceFoundChanged;
    }
    NameTheBackup(old, backup);
    return kReplaceKeptBoth;
}

// What another program added to the old file (held by fd), from the size
// the run read on, goes to the end of the new file, in whole lines: a last
// line still being written is waited for, a little, and what comes in
// while the tail is copied follows it. False when the tail never ended a
// line, or never stopped growing; *copied tells how far it got.
bool CopyWhatCameIn(int fd, const std::string& to, uint64_t from, uint64_t* copied, uint32_t unit)
{
    *copied = from;
    int copies = 0;
    for (int waited = 0;;) {
        struct stat st;
        if (fstat(fd, &st) != 0) {
            return false;
        }
        uint64_t size = static_cast<uint64_t>(st.st_size);
        if (size == *copied) {
            return true;
        }
        if (size > *copied && (size - *copied) % LineUnitBytes(unit) == 0 && EndsALine(fd, size, unit)) {
            // A program that keeps on writing to the old file is not
            // followed for ever: the old file is then kept.
            if (++copies > kTailCopies || !AppendTail(fd, *copied, size, to, unit)) {
                return false;
            }
            *copied = size;
            continue;
        }
        if (size < *copied || waited >= kTailWaitMs) {
            return false;
        }
        struct timespec pause = {0, kTailPollMs * 1000000L};
        nanosleep(&pause, nullptr);
        waited += kTailPollMs;
    }
}

// Where a file cannot have a second name: the old file moves to the name
// old, then the new one into its place; if that fails, the old one goes
// back. False when the target holds its old file.
bool MoveOldAside(const std::string& to, const std::string& from, const std::string& old, const struct stat& oldFile)
{
    struct stat there;
    if (renameat2(AT_FDCWD, to.c_str(), AT_FDCWD, old.c_str(), RENAME_NOREPLACE) != 0) {
        return false;
    }
    if (lstat(old.c_str(), &there) != 0 || !SameInode(there, oldFile) || rename(from.c_str(), to.c_str()) != 0) {
        renameat2(AT_FDCWD, old.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE);
        return false;
    }
    SyncFolderOf(to);
    return true;
}

// The replace is done: the old file's second name goes, or stays for the
// caller (its path in backup).
ReplaceResult OldDone(const std::string& old, FormChar* backup, bool keepOld)
{
    if (!keepOld) {
        unlink(old.c_str());
        return kReplaced;
    }
    NameTheBackup(old, backup);
    return kReplaced;
}

}  // namespace

namespace {

// Whether the old file, held by fd, only had whole lines added at its end
// since the run read it (expected); then they go to the end of the new file
// at to, which another program may be writing to by now. False when it was
// changed otherwise, or its last line was never finished.
bool CarryWhatCameIn(int fd, const std::string& to, const SourceAsRead* expected)
{
    struct stat was;
    if (fstat(fd, &was) != 0) {
        return false;
    }
    const uint64_t size = static_cast<uint64_t>(was.st_size);
    // What the run read must end a line too: else a line was half written
    // when the run took the size, and the new file ends it already.
    const uint64_t read = expected->stamp.size;
    const uint32_t unit = expected->unit;
    const uint32_t width = LineUnitBytes(unit);
    uint64_t sum = 0;
    if (!(size > read && (read == 0 || EndsALine(fd, read, unit)) && SumOfFirst(fd, read, &sum) &&
          sum == expected->sum)) {
        return false;
    }
    // A CR LF cut between the read and the tail: the new file ends that
    // line already, the LF is not a line of its own.
    unsigned char around[4];
    uint64_t tail = read;
    if (read >= width &&
        pread(fd, around, 2 * width, static_cast<off_t>(read - width)) == static_cast<ssize_t>(2 * width) &&
        !IsLineFeedUnit(around, unit) && IsLineFeedUnit(around + width, unit)) {
        tail += width;
    }
    uint64_t copied = 0;
    return CopyWhatCameIn(fd, to, tail, &copied, unit);
}

// The new file in the old one's place: swapped when the replace need not be
// durable and keeps no second name of the old file (then the old file,
// under the temporary name, goes), renamed over it otherwise. False when
// the target still holds its old file.
bool MoveIntoPlace(const std::string& from, const std::string& to, const struct stat& oldFile, bool swap)
{
    // Renamed over a file, ext4 first writes the new file out
    // (auto_da_alloc), which would make the run wait on the disk for what
    // it chose not to flush: a swap of the two names does not.
    bool swapped = swap && renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_EXCHANGE) == 0;
    if (!swapped && rename(from.c_str(), to.c_str()) != 0) {
        return false;
    }
    struct stat left;
    if (swapped && lstat(from.c_str(), &left) == 0 && SameInode(left, oldFile)) {
        unlink(from.c_str());
    }
    return true;
}

// Gives the old file (oldFile, under to) the second name old.
enum OldLink { kOldLinked, kNoSecondNames, kTargetTaken };
OldLink LinkOld(const std::string& to, const std::string& old, const struct stat& oldFile)
{
    struct stat linked;
    if (g_faults.failLink || link(to.c_str(), old.c_str()) != 0) {
        return kNoSecondNames;
    }
    if (stat(old.c_str(), &linked) != 0 || !SameInode(linked, oldFile)) {
        // Another file took the target's name since it was looked at.
        unlink(old.c_str());
        errno = EBUSY;
        return kTargetTaken;
    }
    return kOldLinked;
}

}  // namespace

// The old file keeps a second name beside the target (a hard link) while
// the new one is renamed into its place, so that what another program wrote
// to it meanwhile can be seen, and the old file put back. Which file is
// which is told by inode, taken before anything moves.
ReplaceResult PlatformReplace(const FormChar* target, const FormChar* temp, const SourceAsRead* expected,
                              FormChar* backup, bool durable, bool keepOld)
{
    std::string given = backup[0] != 0 ? NativePath(backup) : std::string();
    backup[0] = 0;
    Step();
    ++g_replaces;
    RaiseStopIf(g_faults.stopAtReplace, g_replaces);
    if (g_faults.failReplace || g_faults.failReplaceAt == g_replaces) {
        errno = EBUSY;
        return kReplaceKeptOld;
    }
    HookIf(g_faults.hookAtReplace, g_replaces);
    std::string to = NativePath(target);
    std::string from = NativePath(temp);
    struct stat oldFile;
    struct stat newFile;
    if (stat(to.c_str(), &oldFile) != 0 || stat(from.c_str(), &newFile) != 0) {
        return kReplaceKeptOld;
    }
    // Keep the target's permissions, as the replace on Windows keeps its attributes.
    chmod(from.c_str(), oldFile.st_mode & 07777);
    std::string old;
    if (expected != nullptr || keepOld) {
        old = given.empty() ? from + ".old" : given;
        switch (LinkOld(to, old, oldFile)) {
        case kTargetTaken:
            return kReplaceKeptOld;
        case kNoSecondNames:
            // A volume without second names: two moves, for an export only
            // (the source's needs the old file's second name to see what a
            // logger adds in that moment).
            if (expected != nullptr || !MoveOldAside(to, from, old, oldFile)) {
                return kReplaceKeptOld;
            }
            return OldDone(old, backup, keepOld);
        case kOldLinked:
            break;
        }
        Step();
    }
    if (!MoveIntoPlace(from, to, oldFile, !durable && old.empty())) {
        int error = errno;
        if (!old.empty()) {
            unlink(old.c_str());
        }
        errno = error;
        return kReplaceKeptOld;
    }
    if (durable) {
        SyncFolderOf(to);
    }
    if (g_faults.afterMove != nullptr && g_faults.afterMoveAt == g_replaces) {
        g_faults.afterMove(g_faults.hookArg);
    }
    if (old.empty()) {
        return kReplaced;
    }
    Step();
    struct stat moved;
    int fd = open(old.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || stat(to.c_str(), &moved) != 0 || !SameInode(moved, newFile)) {
        if (fd >= 0) {
            close(fd);
        }
        return PutOldBack(to, old, newFile, backup);
    }
    struct stat was;
    bool unchanged = expected == nullptr || (fstat(fd, &was) == 0 && static_cast<uint64_t>(was.st_size) == expected->stamp.size &&
                                             WriteTimeOf(was) == expected->stamp.writeTime);
    // Another program wrote to the old file in the moment between the
    // caller's last look and the replace: what it only added at the end
    // goes to the new file; changed otherwise, or its last line never
    // finished, the old file goes back in the new one's place (unless part
    // of the tail went to the new file, or another program added to it:
    // both are kept).
    bool carried = !unchanged && CarryWhatCameIn(fd, to, expected);
    close(fd);
    return unchanged || carried ? OldDone(old, backup, keepOld) : PutOldBack(to, old, newFile, backup);
}

