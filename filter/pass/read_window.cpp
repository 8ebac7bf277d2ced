// The read window.
//
// In the sanitizer build every byte past the two zero bytes that follow the
// valid data is poisoned, so that a pass reading any further is caught.

#include "filter/pass/read_window.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUORVANE_POISON_WINDOW 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define QUORVANE_POISON_WINDOW 1
#endif

#if defined(QUORVANE_POISON_WINDOW)
#include <sanitizer/asan_interface.h>
#endif

namespace {

// Largest single read call.
const uint64_t kMaxReadChunk = 1u << 30;

void Unpoison(ReadWindow* w)
{
#if defined(QUORVANE_POISON_WINDOW)
    ASAN_UNPOISON_MEMORY_REGION(w->data, w->capacity + kWindowPadding);
#else
    (void)w;
#endif
}

// Ends the valid data with two zero bytes; poisons what lies beyond.
void Seal(ReadWindow* w)
{
    w->data[w->valid] = 0;
    w->data[w->valid + 1] = 0;
#if defined(QUORVANE_POISON_WINDOW)
    ASAN_POISON_MEMORY_REGION(w->data + w->valid + 2, w->capacity + kWindowPadding - w->valid - 2);
#endif
}

}  // namespace

void WindowInit(ReadWindow* w, FileHandle file, uint64_t size, char* block, uint64_t capacity)
{
    // Nothing read, failed, watched or summed yet.
    *w = ReadWindow{};
    w->file = file;
    w->left = size;
    w->data = block;
    w->capacity = capacity;
    w->fillSize = capacity;
    Seal(w);
}

void WindowWatch(ReadWindow* w, const StopFlag* stop, volatile uint64_t* progress)
{
    w->stop = stop;
    w->progress = progress;
}

void WindowSum(ReadWindow* w, ContentSum* sum)
{
    w->sum = sum;
}

bool WindowFill(ReadWindow* w)
{
    if (w->failed) {
        return false;
    }
    Unpoison(w);
    // A grown window is filled a first size at a time: a line is looked
    // over as it comes, and memory the line does not need is never touched.
    const uint64_t full = w->capacity - w->valid > w->fillSize ? w->valid + w->fillSize : w->capacity;
    while (w->valid < full && w->left > 0) {
        uint64_t want = full - w->valid;
        if (want > w->left) {
            want = w->left;
        }
        if (want > kMaxReadChunk) {
            want = kMaxReadChunk;
        }
        if (StopRaised(w->stop)) {
            w->stopped = true;
            w->failed = true;
            break;
        }
        uint32_t got = 0;
        if (!PlatformRead(w->file, w->data + w->valid, static_cast<uint32_t>(want), &got)) {
            w->error = PlatformLastError();
            w->failed = true;
            break;
        }
        if (got != want) {
            w->shortened = true;
            w->failed = true;
            break;
        }
        const uint64_t known = w->farthest > w->readSoFar ? w->farthest - w->readSoFar : 0;
        w->valid += want;
        w->left -= want;
        w->readSoFar += want;
        if (known >= want) {
            continue;   // read before
        }
        if (w->sum != nullptr) {
            SumAdd(w->sum, w->data + w->valid - want + known, want - known);
        }
        w->farthest = w->readSoFar;
        if (w->progress != nullptr) {
            __atomic_store_n(w->progress, w->farthest, __ATOMIC_RELAXED);
        }
    }
    Seal(w);
    return !w->failed;
}

bool WindowReread(ReadWindow* w, uint64_t offset)
{
    if (w->failed) {
        return false;
    }
    if (offset > w->readSoFar) {
        w->failed = true;
        return false;
    }
    Unpoison(w);
    w->valid = 0;
    Seal(w);
    if (!PlatformSeekTo(w->file, offset)) {
        w->error = PlatformLastError();
        w->failed = true;
        return false;
    }
    w->left += w->readSoFar - offset;
    w->readSoFar = offset;
    return true;
}

void WindowDrop(ReadWindow* w, uint64_t count)
{
    Unpoison(w);
    if (count < w->valid) {
        __builtin_memmove(w->data, w->data + count, w->valid - count);
        w->valid -= count;
    } else {
        w->valid = 0;
    }
    Seal(w);
}

bool WindowGrow(ReadWindow* w)
{
    if (w->capacity > (~0ull >> 2)) {
        w->outOfMemory = true;
        w->failed = true;
        return false;
    }
    uint64_t capacity = w->capacity * 2;
    Unpoison(w);
    // A block of the window's own grows where it lies; the caller's first
    // one is copied from.
    char* block = nullptr;
    if (w->grown != nullptr) {
        block = static_cast<char*>(PlatformGrow(w->grown, w->valid, capacity + kWindowPadding));
    } else {
        block = static_cast<char*>(PlatformAllocZeroed(capacity + kWindowPadding));
        if (block != nullptr) {
            __builtin_memcpy(block, w->data, w->valid);
        }
    }
    if (block == nullptr) {
        w->error = PlatformLastError();
        w->outOfMemory = true;
        w->failed = true;
        Seal(w);
        return false;
    }
    w->grown = block;
    w->data = block;
    w->capacity = capacity;
    Unpoison(w);
    Seal(w);
    return true;
}

void WindowRelease(ReadWindow* w)
{
    Unpoison(w);
    if (w->grown != nullptr) {
        PlatformFree(w->grown);
        w->grown = nullptr;
    }
}
