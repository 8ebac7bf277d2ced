// What the POSIX platform's files share: the faults the tests plan and
// the counts they read (stand_ins.h), and small helpers on descriptors
// and paths. For the platform's own files only.
#ifndef QUORVANE_POSIX_SHARED_H
#define QUORVANE_POSIX_SHARED_H

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/stand_ins.h"

namespace posix_platform {


inline thread_local std::string g_stateFolder;
inline thread_local std::string g_trashFolder;

// Files of the run's record: their reads, writes and flushes are steps a
// kill may fall on, but the faults planned for the run's own files (and
// their counts) leave them alone.
inline thread_local std::vector<int> g_recordFds;

inline bool IsRecordFd(int fd)
{
    for (int held : g_recordFds) {
        if (held == fd) {
            return true;
        }
    }
    return false;
}

// ---- The one seam the tests' faults come through (faults.cpp) -------------
// The calls a planned fault (PosixFaults, stand_ins.h) can fall on.
enum Call {
    kCallAllocate,
    kCallRead,             // a read of the source or a temporary file
    kCallClaim,
    kCallClaimedToAppend,  // a claim that appends, made: its fd
    kCallClaimedPath,
    kCallIdentity,         // which file a held one is
    kCallReadHead,
    kCallSeek,
    kCallWrite,
    kCallFlush,
    kCallClose,
    kCallCreateTemp,
    kCallLink,             // a second name for a file
    kCallReplace,
    kCallMoved,            // inside a replace, once both files have their new names
    kCallMovedAside,       // inside a replace without second names, between the two moves
    kCallSleep,            // a wait for another program to finish what it writes
    kCallLineSearch,
    kCallWideLineSearch,
    kCallRecycle,
    kCallRecycleRemoves,   // answered non-zero: the trash removes the file instead
    kCallKinds
};
// Tells the tests' fault plan that the platform is about to make a call of
// that kind, on the file fd (-1 for none), of *count bytes: the plan counts
// it, raises a planned stop, calls a planned hook, and answers the error the
// call fails with, or 0 to go on. *count may come back smaller: the call
// moves that many bytes (a short read; a write until the disk is full, then
// the error). Calls on a record's files are neither counted nor failed. No
// other part of the platform reads the plan.
int FaultAt(Call call, int fd = -1, uint32_t* count = nullptr);
// One step of the kind a kill may fall on (PosixFaults::killAtStep).
void Step();

// An injected fault fails the call the way the system would, with a reason.
inline bool Injected(int error)
{
    errno = error;
    return false;
}

inline thread_local PosixCollation g_collation;
inline thread_local PosixCodePage g_codePage;

inline int Fd(FileHandle file)
{
    return static_cast<int>(reinterpret_cast<intptr_t>(file)) - 1;
}

inline FileHandle Handle(int fd)
{
    return reinterpret_cast<FileHandle>(static_cast<intptr_t>(fd) + 1);
}

inline std::string NativePath(const FormChar* path)
{
    return Utf16ToUtf8(path);
}

inline uint64_t WriteTimeOf(const struct stat& st)
{
    return static_cast<uint64_t>(st.st_mtim.tv_sec) * 1000000000ull + static_cast<uint64_t>(st.st_mtim.tv_nsec);
}

// Makes a rename in the folder of path durable.
inline void SyncFolderOf(const std::string& path)
{
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? std::string(".") : slash == 0 ? std::string("/") : path.substr(0, slash);
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

inline bool SameInode(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace posix_platform

#endif
