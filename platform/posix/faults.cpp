// The faults the native tests plan, and the counts they read back.

#include "platform/posix/posix_shared.h"

using namespace posix_platform;

PosixFaults* PosixFaultPlan()
{
    g_bytesWritten = 0;
    g_readCalls = 0;
    g_allocations = 0;
    g_replaces = 0;
    g_flushes = 0;
    g_claims = 0;
    g_steps = 0;
    g_lineSearches = 0;
    g_wideLineSearches = 0;
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
    return g_lineSearches;
}

int PosixSteps()
{
    return g_steps;
}

void PosixSetStateFolder(const std::string& folder)
{
    g_stateFolder = folder;
}

void PosixSetTrashFolder(const std::string& folder)
{
    g_trashFolder = folder;
}

int PosixWideLineSearches()
{
    return g_wideLineSearches;
}

int PosixReadCalls()
{
    return g_readCalls;
}

int PosixAllocations()
{
    return g_allocations;
}

