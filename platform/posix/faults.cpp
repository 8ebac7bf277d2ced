// The faults the native tests plan, and the counts they read back.
//
// The platform tells FaultAt of every call a fault can fall on, and does
// what it answers: which field of the plan fails, stops or hooks which call
// is written in the tables below; the few faults that are more than that
// (a short read, a disk that fills, a close that fails after writes) are
// answered in FaultAt itself. A kill falls at Step().

#include <set>

#include "platform/posix/posix_shared.h"

using namespace posix_platform;

namespace {

thread_local PosixFaults g_faults;
thread_local int g_calls[kCallKinds];
thread_local int g_steps = 0;
thread_local long long g_bytesWritten = 0;
// Files written to since they were opened, for failCloseAfterWrite, and
// exports claimed to append, for failAppendedClose.
thread_local std::set<int> g_writtenFiles;
thread_local std::set<int> g_appendClaims;

// Calls that fail: every one (`every`), or the one of a number (`at`).
struct Failure {
    Call call;
    int PosixFaults::*every;
    int PosixFaults::*at;
    int error;
};
const Failure kFailures[] = {
    {kCallAllocate, &PosixFaults::failAllocation, &PosixFaults::failAllocationAt, ENOMEM},
    {kCallRead, &PosixFaults::failReadCall, &PosixFaults::failReadAt, EIO},
    {kCallClaim, nullptr, &PosixFaults::failClaimAt, EBUSY},
    {kCallClaimedPath, &PosixFaults::failClaimedPath, nullptr, ENAMETOOLONG},
    {kCallIdentity, nullptr, &PosixFaults::failIdentityAt, EIO},
    {kCallReadHead, &PosixFaults::failReadHead, nullptr, EIO},
    {kCallSeek, nullptr, &PosixFaults::failSeekAt, EIO},
    {kCallFlush, &PosixFaults::failFlush, &PosixFaults::failFlushAt, EIO},
    {kCallCreateTemp, &PosixFaults::failTempCreate, nullptr, EACCES},
    {kCallLink, &PosixFaults::failLink, nullptr, EPERM},
    {kCallReplace, &PosixFaults::failReplace, &PosixFaults::failReplaceAt, EBUSY},
    {kCallRecycle, &PosixFaults::failRecycle, nullptr, EXDEV},
    {kCallRecycleRemoves, &PosixFaults::recycleRemoves, nullptr, EXDEV},
};

// Calls at which the user presses Escape: the one of a number, counted
// together with the calls of `with`, if any.
struct Stop {
    Call call;
    int PosixFaults::*at;
    Call with;
};
const Stop kStops[] = {
    {kCallRead, &PosixFaults::stopAtRead, kCallKinds},
    {kCallFlush, &PosixFaults::stopAtFlush, kCallKinds},
    {kCallReplace, &PosixFaults::stopAtReplace, kCallKinds},
    {kCallLineSearch, &PosixFaults::stopAtSearch, kCallWideLineSearch},
    {kCallWideLineSearch, &PosixFaults::stopAtSearch, kCallLineSearch},
};

// Calls at which another program is at work: the one whose number, as
// `countedAs` counts, is `at`.
struct Hook {
    Call call;
    Call countedAs;
    int PosixFaults::*at;
    void (*PosixFaults::*hook)(void*);
};
const Hook kHooks[] = {
    {kCallRead, kCallRead, &PosixFaults::hookAtRead, &PosixFaults::hook},
    {kCallSeek, kCallSeek, &PosixFaults::hookAtSeek, &PosixFaults::hook},
    {kCallReplace, kCallReplace, &PosixFaults::hookAtReplace, &PosixFaults::hook},
    {kCallMoved, kCallReplace, &PosixFaults::afterMoveAt, &PosixFaults::afterMove},
    {kCallMovedAside, kCallReplace, &PosixFaults::afterMoveAt, &PosixFaults::afterMove},
    {kCallSleep, kCallSleep, &PosixFaults::hookAtSleep, &PosixFaults::hook},
};

// What a write or a close is answered beyond the tables: a disk that fills
// up after failWriteAfter bytes, a close that reports a write that did not
// land.
int WriteOrClose(Call call, int fd, uint32_t* count)
{
    if (call == kCallWrite) {
        if (*count > 0) {
            g_writtenFiles.insert(fd);
        }
        if (g_faults.failWriteAfter < 0) {
            return 0;
        }
        long long room = g_faults.failWriteAfter - g_bytesWritten;
        if (room >= static_cast<long long>(*count)) {
            g_bytesWritten += *count;
            return 0;
        }
        *count = room > 0 ? static_cast<uint32_t>(room) : 0;
        g_bytesWritten += *count;
        return ENOSPC;
    }
    bool written = g_writtenFiles.erase(fd) > 0;
    bool appended = g_appendClaims.erase(fd) > 0;
    return written && (g_faults.failCloseAfterWrite || (appended && g_faults.failAppendedClose)) ? EIO : 0;
}

}  // namespace

int posix_platform::FaultAt(Call call, int fd, uint32_t* count)
{
    if (fd >= 0 && IsRecordFd(fd)) {
        return 0;
    }
    const int number = ++g_calls[call];
    for (const Stop& s : kStops) {
        if (g_faults.stop == nullptr) {
            break;
        }
        int seen = number + (s.with != kCallKinds ? g_calls[s.with] : 0);
        if (s.call == call && g_faults.*s.at == seen) {
            RaiseStop(g_faults.stop);
        }
    }
    for (const Hook& h : kHooks) {
        if (h.call == call && g_faults.*h.hook != nullptr && g_faults.*h.at == g_calls[h.countedAs]) {
            (g_faults.*h.hook)(g_faults.hookArg);
        }
    }
    for (const Failure& f : kFailures) {
        if (f.call == call && ((f.every != nullptr && g_faults.*f.every != 0) ||
                               (f.at != nullptr && g_faults.*f.at == number))) {
            return f.error;
        }
    }
    if (call == kCallRead && count != nullptr && *count > 0 &&
        (g_faults.shortRead || g_faults.shortReadAt == number)) {
        *count -= 1;
    }
    if (call == kCallClaimedToAppend) {
        g_appendClaims.insert(fd);
    }
    if (call == kCallWrite || call == kCallClose) {
        return WriteOrClose(call, fd, count);
    }
    return 0;
}

void posix_platform::Step()
{
    ++g_steps;
    if (g_faults.killAtStep != 0 && g_steps == g_faults.killAtStep) {
        _exit(86);
    }
}

PosixFaults* PosixFaultPlan()
{
    g_bytesWritten = 0;
    g_steps = 0;
    for (int& calls : g_calls) {
        calls = 0;
    }
    return &g_faults;
}

PosixCollation* PosixCollationPlan()
{
    return &g_collation;
}

PosixCodePage* PosixCodePagePlan()
{
    return &g_codePage;
}

int PosixLineSearches()
{
    return g_calls[kCallLineSearch];
}

int PosixWideLineSearches()
{
    return g_calls[kCallWideLineSearch];
}

int PosixSteps()
{
    return g_steps;
}

int PosixReadCalls()
{
    return g_calls[kCallRead];
}

int PosixAllocations()
{
    return g_calls[kCallAllocate];
}

void PosixSetStateFolder(const std::string& folder)
{
    g_stateFolder = folder;
}

void PosixSetTrashFolder(const std::string& folder)
{
    g_trashFolder = folder;
}
