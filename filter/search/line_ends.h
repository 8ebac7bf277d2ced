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
#if defined(__SSE2__)
    // 16 bytes at a time, backwards: the last line end before at.
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i lf = _mm_set1_epi8('\n');
    const __m128i zero = _mm_setzero_si128();
    while (at >= from + 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + at - 16));
        __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, lf)),
                                   _mm_cmpeq_epi8(v, zero));
        unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hit));
        if (mask != 0) {
            return at - 16 + 32 - static_cast<uint64_t>(__builtin_clz(mask));
        }
        at -= 16;
    }
#endif
    while (at > from && !IsLineEnd(text[at - 1])) {
        --at;
    }
    return at;
}

// Judges a block of 64 bytes at offset i by where it holds CR, LF and NUL
// (one bit a byte; for UTF-16 text, unitSize 2: two bits a unit, the units
// CR, LF and zero): true, with *at, at the first one whose bytes would not
// already be the output (a NUL, a CR not followed by LF, an LF not preceded
// by CR); *plainEnd moves past the last LF before it, or past the block's
// last LF when there is none. crBefore and lfAfter: the character just
// before and just after the block.
// *lines counts the plain lines (their LF) *plainEnd moves past. Only the
// units keep's bits cover are judged (a block that starts before the
// stretch does); the masks still say what the others are.
inline bool JudgeLineEndBlock(uint64_t i, uint64_t cr, uint64_t lf, uint64_t nul, bool crBefore, bool lfAfter,
                              unsigned unitSize, uint64_t* at, uint64_t* plainEnd, uint64_t* lines,
                              uint64_t keep = ~0ull)
{
    const uint64_t one = (1ull << unitSize) - 1;   // the bits of one character
    uint64_t lfNext = (lf >> unitSize) | (lfAfter ? one << (64 - unitSize) : 0);
    uint64_t crPrevious = (cr << unitSize) | (crBefore ? one : 0);
    uint64_t bad = (nul | (cr & ~lfNext) | (lf & ~crPrevious)) & keep;
    uint64_t feeds = lf & keep;
    if (bad != 0) {
        uint64_t first = static_cast<uint64_t>(__builtin_ctzll(bad));
        uint64_t before = feeds & ((1ull << first) - 1);   // the LF before it
        if (before != 0) {
            *plainEnd = i + 64 - static_cast<uint64_t>(__builtin_clzll(before));
            *lines += static_cast<uint64_t>(__builtin_popcountll(before)) >> (unitSize - 1);
        }
        *at = i + first;
        return true;
    }
    if (feeds != 0) {
        *plainEnd = i + 64 - static_cast<uint64_t>(__builtin_clzll(feeds));
        *lines += static_cast<uint64_t>(__builtin_popcountll(feeds)) >> (unitSize - 1);
    }
    return false;
}

// The lines a block of 64 bytes ends (32 units with unitSize 2), by the same
// masks: every CR and NUL, and every LF but one right after a line end.
// *endBefore tells whether the character before the block ends a line,
// and is set for the next block.
inline uint64_t LinesEndedInBlock(uint64_t cr, uint64_t lf, uint64_t nul, unsigned unitSize, bool* endBefore)
{
    const uint64_t one = (1ull << unitSize) - 1;
    uint64_t ends = cr | lf | nul;
    uint64_t previous = (ends << unitSize) | (*endBefore ? one : 0);
    *endBefore = (ends >> 63) != 0;
    return static_cast<uint64_t>(__builtin_popcountll(ends & ~(lf & previous))) >> (unitSize - 1);
}

#endif
