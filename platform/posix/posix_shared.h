// What the POSIX platform's files share: the faults the tests plan and
// the counts they read (posix_form.h), and small helpers on descriptors
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
#include "platform/posix/posix_form.h"

namespace posix_platform {


inline thread_local PosixFaults g_faults;
inline thread_local long long g_bytesWritten = 0;
inline thread_local int g_readCalls = 0;
inline thread_local int g_allocations = 0;
inline thread_local int g_replaces = 0;
inline thread_local int g_flushes = 0;
inline thread_local int g_claims = 0;
inline thread_local int g_steps = 0;
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

// One step of the kind a kill may fall on.
inline void Step()
{
    ++g_steps;
    if (g_faults.killAtStep != 0 && g_steps == g_faults.killAtStep) {
        _exit(86);
    }
}
// Files written to since they were opened, for failCloseAfterWrite.
inline thread_local std::set<int> g_writtenFiles;
// Exports claimed to append (not sharing writes), for failAppendedClose.
inline thread_local std::set<int> g_appendClaims;

// An injected fault fails the call the way the system would, with a reason.
inline bool Injected(int error)
{
    errno = error;
    return false;
}

inline void RaiseStopIf(int at, int count)
{
    if (g_faults.stop != nullptr && at == count) {
        RaiseStop(g_faults.stop);
    }
}

inline void HookIf(int at, int count)
{
    if (g_faults.hook != nullptr && at == count) {
        g_faults.hook(g_faults.hookArg);
    }
}
inline thread_local int g_lineSearches = 0;
inline thread_local int g_wideLineSearches = 0;
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
