// The read window: the part of the source in memory, filled again and again
// from the file so that memory does not grow with the source.
#ifndef QUORVANE_READ_WINDOW_H
#define QUORVANE_READ_WINDOW_H

#include "platform/platform.h"

// Bytes kept after a window's capacity: the valid data is always followed by
// two zero bytes, which the line pass reads as the end of its text.
enum { kWindowPadding = 16 };

struct ReadWindow {
    FileHandle file;
    uint64_t left;       // bytes of the source still to be read
    char* data;          // capacity + kWindowPadding bytes
    uint64_t capacity;
    uint64_t fillSize;   // the first capacity: the most one fill reads
    uint64_t valid;      // bytes at the front of data read and not yet used
    char* grown;         // the window's own block once it outgrew the first one
    bool failed;         // a read failed, came up short, was stopped, or the window could not grow
    // Why it failed.
    bool stopped;        // the stop flag was raised
    bool shortened;      // the source ended before the size it was opened with
    bool changed;        // a line read twice was not the same the second time
    bool outOfMemory;    // the window could not grow
    uint32_t error;      // the system's reason for a failed read
    // Watched by another thread: the stop flag, read before each read call,
    // and the count of the source's bytes read so far, or none.
    const StopFlag* stop;
    volatile uint64_t* progress;
    uint64_t readSoFar;  // the file's position, counted from where reading began
    uint64_t farthest;   // the most of the source read so far: bytes read again
                         // (WindowReread) are not summed or counted again
    // Every byte read goes into this sum too, when there is one.
    ContentSum* sum;
};

// Reads size bytes of file, no more, through block (capacity +
// kWindowPadding bytes, owned by the caller). Reading starts at the file's
// current position.
void WindowInit(ReadWindow* window, FileHandle file, uint64_t size, char* block, uint64_t capacity);

// Lets another thread stop the reading (stop) and see how far it got
// (progress, which receives the bytes read so far after each read). Either
// may be none.
void WindowWatch(ReadWindow* window, const StopFlag* stop, volatile uint64_t* progress);

// Sums every byte read from now on into sum (SumInit'ed by the caller), so
// that a rewrite of the source can tell later whether another program
// changed what was read. None by default: the sum costs a little time.
void WindowSum(ReadWindow* window, ContentSum* sum);

// Reads on after the valid data until the window is full, or has a first
// capacity's worth more, or the source is read. False when a read fails or returns fewer bytes than asked: the
// source ended before the size it was opened with; also when the stop flag
// was raised.
bool WindowFill(ReadWindow* window);

// Reads the source again from offset (at most readSoFar), counted from where
// reading began, which must be the file's first byte: the valid data goes.
// False when the file cannot be moved there.
bool WindowReread(ReadWindow* window, uint64_t offset);

// Drops the first count valid bytes; the rest moves to the front.
void WindowDrop(ReadWindow* window, uint64_t count);

// Doubles the window's capacity, keeping its valid data. False when no
// memory is to be had.
bool WindowGrow(ReadWindow* window);

// Frees what the window allocated itself. The caller's block stays.
void WindowRelease(ReadWindow* window);

#endif
