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

// The 32-byte scan for FindUnitLineEnd, where the processor has it: the
// offset of the first line-end unit at or after from (even), or where fewer
// than 32 bytes are left before size.
uint64_t SkipToUnitLineEndAvx2(const char* text, uint64_t size, uint64_t from, bool bigEndian);

// Byte offset of the first line-end unit at or after from (even). The unit
// at size (even) must be zero: it always stops the search. avx2: the
// processor has 32-byte vectors.
inline uint64_t FindUnitLineEnd(const char* text, uint64_t size, uint64_t from, bool bigEndian, bool avx2)
{
    uint64_t i = avx2 ? SkipToUnitLineEndAvx2(text, size, from, bigEndian) : from;
#if defined(__SSE2__)
    // The vector scan looks for units up to U+000D (a saturating subtract
    // leaves zero), which holds every line end and a few other controls
    // (a tab, say): those are passed over one by one. Big-endian text is
    // byte-swapped in its lanes first.
    const __m128i highest = _mm_set1_epi16(0x000D);
    const __m128i zero = _mm_setzero_si128();
    for (;;) {
        while (i + 16 <= size) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
            if (bigEndian) {
                v = _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8));
            }
            int mask = _mm_movemask_epi8(_mm_cmpeq_epi16(_mm_subs_epu16(v, highest), zero));
            if (mask != 0) {
                i += static_cast<uint64_t>(__builtin_ctz(static_cast<unsigned>(mask)));
                break;
            }
            i += 16;
        }
        if (i + 16 > size || IsLineEndUnit(UnitAt(text, i, bigEndian))) {
            break;
        }
        i += 2;
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
