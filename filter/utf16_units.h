// UTF-16 text as bytes in a window: units of either byte order, the line
// ends among them (U+000D, U+000A, U+0000) and where lines start.
#ifndef QUORVANE_UTF16_UNITS_H
#define QUORVANE_UTF16_UNITS_H

#include "platform/platform.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// The unit at byte offset at (even).
inline uint32_t UnitAt(const char* text, uint64_t at, bool bigEndian)
{
    const unsigned char* b = reinterpret_cast<const unsigned char*>(text) + at;
    return bigEndian ? ((b[0] << 8) | b[1]) : (b[0] | (b[1] << 8));
}

inline bool IsLineEndUnit(uint32_t unit)
{
    return unit == 0x0D || unit == 0x0A || unit == 0;
}

// Byte offset of the first line-end unit at or after from (even). The unit
// at size (even) must be zero: it always stops the search.
inline uint64_t FindUnitLineEnd(const char* text, uint64_t size, uint64_t from, bool bigEndian)
{
    uint64_t i = from;
#if defined(__SSE2__)
    // Loaded as little-endian 16-bit lanes, a big-endian unit U+000D reads
    // as 0x0D00.
    const __m128i cr = _mm_set1_epi16(static_cast<short>(bigEndian ? 0x0D00 : 0x000D));
    const __m128i lf = _mm_set1_epi16(static_cast<short>(bigEndian ? 0x0A00 : 0x000A));
    const __m128i zero = _mm_setzero_si128();
    while (i + 16 <= size) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
        __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi16(v, cr), _mm_cmpeq_epi16(v, lf)),
                                   _mm_cmpeq_epi16(v, zero));
        int mask = _mm_movemask_epi8(hit);
        if (mask != 0) {
            return i + static_cast<uint64_t>(__builtin_ctz(static_cast<unsigned>(mask)));
        }
        i += 16;
    }
#endif
    while (!IsLineEndUnit(UnitAt(text, i, bigEndian))) {
        i += 2;
    }
    return i;
}

// Where the next line starts after the line-end unit at end: past it and
// past any LF units that follow.
inline uint64_t NextUnitLineStart(const char* text, uint64_t end, bool bigEndian)
{
    uint64_t next = end + 2;
    while (UnitAt(text, next, bigEndian) == 0x0A) {
        next += 2;
    }
    return next;
}

#endif
