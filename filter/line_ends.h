// Where lines end and start: CR, LF and NUL end a line, and the LF bytes
// right after a line's end belong to no line.
#ifndef QUORVANE_LINE_ENDS_H
#define QUORVANE_LINE_ENDS_H

#include "platform/platform.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

inline bool IsLineEnd(char c)
{
    return c == '\r' || c == '\n' || c == 0;
}

// First line end in text at or after from. text[size] must be zero: it
// always stops the search. Inline: the pass asks it once a routed line.
inline uint64_t FindLineEnd(const char* text, uint64_t size, uint64_t from)
{
    uint64_t i = from;
#if defined(__SSE2__)
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i lf = _mm_set1_epi8('\n');
    const __m128i zero = _mm_setzero_si128();
    while (i + 16 <= size) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
        __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, lf)),
                                   _mm_cmpeq_epi8(v, zero));
        int mask = _mm_movemask_epi8(hit);
        if (mask != 0) {
            return i + static_cast<uint64_t>(__builtin_ctz(static_cast<unsigned>(mask)));
        }
        i += 16;
    }
#endif
    while (!IsLineEnd(text[i])) {
        ++i;
    }
    return i;
}

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
