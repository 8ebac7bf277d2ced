// UTF-16 text as bytes in a window: units of either byte order, the line
// ends among them (U+000D, U+000A, U+0000) and where lines start.
#ifndef QUORVANE_UTF16_UNITS_H
#define QUORVANE_UTF16_UNITS_H

#include "filter/emit/emitter.h"
#include "filter/pass/byte_units.h"
#include "platform/platform.h"

#include "filter/search/avx2.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(QUORVANE_AVX2)
#include <immintrin.h>
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

// The units of a UTF-16 source in either byte order: what the emitter and
// the streaming loop need to know of them (emitter.h, stream_lines.h).
struct Utf16Units {
    static const uint64_t kUnitSize = 2;
    bool bigEndian;

    uint32_t At(const char* text, uint64_t at) const { return UnitAt(text, at, bigEndian); }
    bool EndsLine(const char* data, uint64_t at) const { return IsLineEndUnit(UnitAt(data, at, bigEndian)); }
    bool IsLineFeed(const char* data, uint64_t at) const { return UnitAt(data, at, bigEndian) == 0x0A; }
    const char* LineEnd() const { return bigEndian ? "\0\r\0\n" : "\r\0\n\0"; }
    void PutLineEnd(char* out) const
    {
        out[0] = bigEndian ? 0 : '\r';
        out[1] = bigEndian ? '\r' : 0;
        out[2] = bigEndian ? 0 : '\n';
        out[3] = bigEndian ? '\n' : 0;
    }
    uint64_t FindLineEnd(const char* text, uint64_t size, uint64_t from, bool avx2) const
    {
        return FindUnitLineEnd(text, size, from, bigEndian, avx2);
    }
    uint64_t NextLineStart(const char* text, uint64_t end) const { return NextUnitLineStart(text, end, bigEndian); }

    // Two bits a unit: one per byte.
    LineEndMasks Masks(const char* p) const
    {
        LineEndMasks m = {0, 0, 0};
#if defined(__SSE2__)
        const __m128i cr = _mm_set1_epi16(static_cast<short>(bigEndian ? 0x0D00 : 0x000D));
        const __m128i lf = _mm_set1_epi16(static_cast<short>(bigEndian ? 0x0A00 : 0x000A));
        const __m128i zero = _mm_setzero_si128();
        for (int k = 0; k < 4; ++k) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
            m.cr |= static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi16(v, cr)))) << (16 * k);
            m.lf |= static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi16(v, lf)))) << (16 * k);
            m.nul |= static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi16(v, zero)))) << (16 * k);
        }
#else
        for (int k = 0; k < 64; k += 2) {
            uint32_t u = At(p, k);
            m.cr |= static_cast<uint64_t>(u == 0x0D ? 3 : 0) << k;
            m.lf |= static_cast<uint64_t>(u == 0x0A ? 3 : 0) << k;
            m.nul |= static_cast<uint64_t>(u == 0 ? 3 : 0) << k;
        }
#endif
        return m;
    }

#if defined(QUORVANE_AVX2)
    // The units of a 32-byte vector in little-endian lanes.
    QUORVANE_AVX2_TARGET __m256i InOrder(__m256i v) const
    {
        return bigEndian ? _mm256_or_si256(_mm256_slli_epi16(v, 8), _mm256_srli_epi16(v, 8)) : v;
    }
    QUORVANE_AVX2_TARGET static uint64_t UnitBitsEqual(__m256i a, __m256i c)
    {
        return static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi16(a, c))));
    }

    QUORVANE_AVX2_TARGET bool MasksAvx2(const char* p, LineEndMasks* m) const
    {
        const __m256i zero = _mm256_setzero_si256();
        const __m256i highest = _mm256_set1_epi16(0x000D);
        __m256i low = InOrder(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
        __m256i high = InOrder(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32)));
        // Most blocks of a log hold no unit up to U+000D, so no line end:
        // one saturating subtract a vector tells.
        __m256i controls = _mm256_or_si256(_mm256_cmpeq_epi16(_mm256_subs_epu16(low, highest), zero),
                                           _mm256_cmpeq_epi16(_mm256_subs_epu16(high, highest), zero));
        if (_mm256_testz_si256(controls, controls)) {
            return false;
        }
        const __m256i cr = _mm256_set1_epi16(0x000D);
        const __m256i lf = _mm256_set1_epi16(0x000A);
        m->cr = UnitBitsEqual(low, cr) | (UnitBitsEqual(high, cr) << 32);
        m->lf = UnitBitsEqual(low, lf) | (UnitBitsEqual(high, lf) << 32);
        m->nul = UnitBitsEqual(low, zero) | (UnitBitsEqual(high, zero) << 32);
        return true;
    }

    // The 64 units at p (128 bytes) as 64 bytes, in two vectors: each unit
    // packed into a byte, one above 0xFF into 0xFF, which ends no line.
    QUORVANE_AVX2_TARGET void UnitsAsBytes(const char* p, __m256i* low, __m256i* high) const
    {
        const __m256i byteMost = _mm256_set1_epi16(0xFF);
        for (int half = 0; half < 2; ++half) {
            __m256i a = InOrder(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 64 * half)));
            __m256i b = InOrder(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 64 * half + 32)));
            // At most 0xFF first (the pack takes units as signed), and the
            // pack works within each 128-bit half: one permute puts the
            // units back in order.
            __m256i units = _mm256_permute4x64_epi64(
                _mm256_packus_epi16(_mm256_min_epu16(a, byteMost), _mm256_min_epu16(b, byteMost)), 0xD8);
            *(half == 0 ? low : high) = units;
        }
    }

    QUORVANE_AVX2_TARGET uint64_t CountAvx2(const char* text, uint64_t* at, uint64_t to, bool* endBefore) const
    {
        return CountBlocksAvx2(*this, text, at, to, endBefore);
    }
#else
    bool MasksAvx2(const char*, LineEndMasks*) const { return false; }
    uint64_t CountAvx2(const char*, uint64_t*, uint64_t, bool*) const { return 0; }
#endif
};

#endif
