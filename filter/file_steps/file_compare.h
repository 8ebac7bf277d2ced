// Files read back and compared a piece at a time, through a small buffer
// of the caller's stack: what the repair and a roll back use to prove which
// bytes of a file are the run's own.
#ifndef QUORVANE_FILE_COMPARE_H
#define QUORVANE_FILE_COMPARE_H

#include "platform/platform.h"

// The size of the pieces, each on the stack.
enum { kCompareChunk = 8192 };
// Reads count bytes (at most kCompareChunk) from offset; false when they are
// not all there.
bool ReadAt(FileHandle file, uint64_t offset, unsigned char* bytes, uint32_t count);
// True when count bytes of a from aOffset are those of b from bOffset.
bool SameBytes(FileHandle a, uint64_t aOffset, FileHandle b, uint64_t bOffset, uint64_t count);
// The sum of a file's first count bytes, as the run summed what it read.
bool SumOfFirst(FileHandle file, uint64_t count, uint64_t* value);
// True when path names the file of that identity.
inline bool NameHolds(const FormChar* path, const FileIdentity& id)
{
    FileIdentity now;
    return path[0] != 0 && PlatformIdentityAt(path, &now) && SameIdentity(now, id);
}

#endif
