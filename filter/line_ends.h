// Where lines end and start: CR, LF and NUL end a line, and the LF bytes
// right after a line's end belong to no line.
#ifndef QUORVANE_LINE_ENDS_H
#define QUORVANE_LINE_ENDS_H

#include "platform/platform.h"

inline bool IsLineEnd(char c)
{
    return c == '\r' || c == '\n' || c == 0;
}

// First line end in text at or after from. text[size] must be zero: it
// always stops the search.
uint64_t FindLineEnd(const char* text, uint64_t size, uint64_t from);

// Where the next line starts after the line end at end: past it and past
// any LF bytes that follow.
inline uint64_t NextLineStart(const char* text, uint64_t end)
{
    uint64_t next = end + 1;
    while (text[next] == '\n') {
        ++next;
    }
    return next;
}

// Start of the line that holds at, given that from, at or before at,
// starts a line.
inline uint64_t LineStartOf(const char* text, uint64_t from, uint64_t at)
{
    while (at > from && !IsLineEnd(text[at - 1])) {
        --at;
    }
    return at;
}

#endif
