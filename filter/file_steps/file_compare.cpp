// Files read back and compared a piece at a time.

#include "filter/file_steps/file_compare.h"

namespace {

uint64_t Smaller(uint64_t left, uint64_t chunk)
{
    return left < chunk ? left : chunk;
}

}  // namespace

bool ReadAt(FileHandle file, uint64_t offset, unsigned char* bytes, uint32_t count)
{
    if (!PlatformSeekTo(file, offset)) {
        return false;
    }
    uint32_t have = 0;
    while (have < count) {
        uint32_t got = 0;
        if (!PlatformRead(file, bytes + have, count - have, &got) || got == 0) {
            return false;
        }
        have += got;
    }
    return true;
}

bool SameBytes(FileHandle a, uint64_t aOffset, FileHandle b, uint64_t bOffset, uint64_t count)
{
    unsigned char left[kCompareChunk];
    unsigned char right[kCompareChunk];
    for (uint64_t done = 0; done < count;) {
        uint32_t n = static_cast<uint32_t>(Smaller(count - done, kCompareChunk));
        if (!ReadAt(a, aOffset + done, left, n) || !ReadAt(b, bOffset + done, right, n)) {
            return false;
        }
        for (uint32_t i = 0; i < n; ++i) {
            if (left[i] != right[i]) {
                return false;
            }
        }
        done += n;
    }
    return true;
}

bool SumOfFirst(FileHandle file, uint64_t count, uint64_t* value)
{
    unsigned char bytes[kCompareChunk];
    ContentSum sum;
    SumInit(&sum);
    for (uint64_t done = 0; done < count;) {
        uint32_t n = static_cast<uint32_t>(Smaller(count - done, kCompareChunk));
        if (!ReadAt(file, done, bytes, n)) {
            return false;
        }
        SumAdd(&sum, bytes, n);
        done += n;
    }
    *value = SumValue(&sum);
    return true;
}
