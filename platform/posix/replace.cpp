// The replace on POSIX: a new file put in an old one's place.

#include "platform/posix/posix_shared.h"

using namespace posix_platform;

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

// Where a file cannot have a second name: the old file moves to the name
// old, then the new one into its place, neither over a file another program
// made under the name in that moment; if the new one cannot go there, the
// old one goes back. kReplaceKeptBoth when another program's file took the
// name meanwhile: ours stay beside it, the old one under old.
ReplaceResult MoveOldAside(const std::string& to, const std::string& from, const std::string& old,
                           const struct stat& oldFile)
{
    struct stat there;
    if (renameat2(AT_FDCWD, to.c_str(), AT_FDCWD, old.c_str(), RENAME_NOREPLACE) != 0) {
        return kReplaceKeptOld;
    }
    FaultAt(kCallMovedAside);
    if (lstat(old.c_str(), &there) == 0 && SameInode(there, oldFile) &&
        renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        SyncFolderOf(to);
        return kReplaced;
    }
    int error = errno;
    ReplaceResult result =
        renameat2(AT_FDCWD, old.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0 ? kReplaceKeptOld : kReplaceKeptBoth;
    errno = error;
    return result;
}

// The new file in the old one's place: swapped when the replace need not be
// durable (then the old file's name under the temporary name goes: the
// old file goes with it unless it was given a second name), renamed over
// it otherwise. False when the target still holds its old file.
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
    if (FaultAt(kCallLink) != 0 || link(to.c_str(), old.c_str()) != 0) {
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

// A replace that keeps the old file gives it a second name beside the
// target (a hard link) before the new one is renamed into its place, so
// that the target's name is never free: a program that writes to it by
// name writes to the old file or the new one. Which file is which is told
// by inode, taken before anything moves.
ReplaceResult PlatformReplace(const FormChar* target, const FormChar* temp, FormChar* backup, uint32_t how,
                              FileIdentity* replaced)
{
    *replaced = FileIdentity{0, 0};
    std::string given = backup[0] != 0 ? NativePath(backup) : std::string();
    backup[0] = 0;
    Step();
    if (int error = FaultAt(kCallReplace)) {
        errno = error;
        return kReplaceKeptOld;
    }
    std::string to = NativePath(target);
    std::string from = NativePath(temp);
    struct stat oldFile;
    if (stat(to.c_str(), &oldFile) != 0) {
        return kReplaceKeptOld;
    }
    *replaced = FileIdentity{static_cast<uint64_t>(oldFile.st_dev), static_cast<uint64_t>(oldFile.st_ino)};
    // Keep the target's permissions, as the replace on Windows keeps its attributes.
    chmod(from.c_str(), oldFile.st_mode & 07777);
    std::string old;
    if ((how & kReplaceKeepOld) != 0) {
        old = given.empty() ? from + ".old" : given;
        switch (LinkOld(to, old, oldFile)) {
        case kTargetTaken:
            return kReplaceKeptOld;
        case kNoSecondNames: {
            // A volume without second names: two moves, unless the name
            // must never be free.
            if ((how & kReplaceWatched) != 0) {
                return kReplaceKeptOld;
            }
            ReplaceResult result = MoveOldAside(to, from, old, oldFile);
            if (result != kReplaceKeptOld) {
                NameTheBackup(old, backup);
            }
            return result;
        }
        case kOldLinked:
            break;
        }
        Step();
    }
    const bool durable = (how & kReplaceDurable) != 0;
    if (!MoveIntoPlace(from, to, oldFile, !durable)) {
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
    FaultAt(kCallMoved);
    if (!old.empty()) {
        NameTheBackup(old, backup);
    }
    return kReplaced;
}

bool PlatformRenameOver(const FormChar* from, const FormChar* to)
{
    Step();
    std::string a = NativePath(from);
    std::string b = NativePath(to);
    if (rename(a.c_str(), b.c_str()) != 0) {
        return false;
    }
    SyncFolderOf(b);
    return true;
}

void PlatformSleep(uint32_t milliseconds)
{
    FaultAt(kCallSleep);
    struct timespec pause = {static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    nanosleep(&pause, nullptr);
}

bool PlatformReadAloneExcludesWriters()
{
    return false;
}
