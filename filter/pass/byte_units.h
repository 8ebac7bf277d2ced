// The units of a code-page or UTF-8 source: bytes. What the emitter and the
// streaming loop need to know of them (emitter.h, stream_lines.h).
#ifndef QUORVANE_BYTE_UNITS_H
#define QUORVANE_BYTE_UNITS_H

#include "filter/emit/emitter.h"
#include "filter/search/avx2.h"
#include "filter/search/line_ends.h"
#include "platform/platform.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(QUORVANE_AVX2)
#include <immintrin.h>
#endif

struct ByteUnits {
    static const uint64_t kUnitSize = 1;

    uint32_t At(const char* text, uint64_t at) const { return static_cast<unsigned char>(text[at]); }
    bool EndsLine(const char* data, uint64_t at) const { return IsLineEnd(data[at]); }
    bool IsLineFeed(const char* data, uint64_t at) const { return data[at] == '\n'; }
    const char* LineEnd() const { return "\r\n"; }
    void PutLineEnd(char* out) const
    {
        out[0] = '\r';
        out[1] = '\n';
    }
    uint64_t FindLineEnd(const char* text, uint64_t size, uint64_t from, bool) const
    {
        return ::FindLineEnd(text, size, from);
    }
    uint64_t NextLineStart(const char* text, uint64_t end) const { return ::NextLineStart(text, end); }

    LineEndMasks Masks(const char* p) const
    {
        LineEndMasks m = {0, 0, 0};
#if defined(__SSE2__)
        const __m128i cr = _mm_set1_epi8('\r');
        const __m128i lf = _mm_set1_epi8('\n');
        const __m128i zero = _mm_setzero_si128();
        for (int k = 0; k < 4; ++k) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
            m.cr |= static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, cr)))) << (16 * k);
            m.lf |= static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, lf)))) << (16 * k);
            m.nul |= static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, zero)))) << (16 * k);
        }
#else
        for (int k = 0; k < 64; ++k) {
            m.cr |= static_cast<uint64_t>(p[k] == '\r') << k;
            m.lf |= static_cast<uint64_t>(p[k] == '\n') << k;
            m.nul |= static_cast<uint64_t>(p[k] == 0) << k;
        }
#endif
        return m;
    }

#if defined(QUORVANE_AVX2)
    // One bit for each of the 32 bytes of a that equals c's.
    QUORVANE_AVX2_TARGET static uint64_t BitsEqual(__m256i a, __m256i c)
    {
        return static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(a, c))));
    }

    QUORVANE_AVX2_TARGET bool MasksAvx2(const char* p, LineEndMasks* m) const
    {
        const __m256i zero = _mm256_setzero_si256();
        const __m256i highest = _mm256_set1_epi8('\r');
        __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
        // A block without a byte up to CR holds no line end: one saturating
        // subtract a vector tells.
        __m256i controls = _mm256_or_si256(_mm256_cmpeq_epi8(_mm256_subs_epu8(low, highest), zero),
                                           _mm256_cmpeq_epi8(_mm256_subs_epu8(high, highest), zero));
        if (_mm256_testz_si256(controls, controls)) {
            return false;
        }
        const __m256i cr = _mm256_set1_epi8('\r');
        const __m256i lf = _mm256_set1_epi8('\n');
        m->cr = BitsEqual(low, cr) | (BitsEqual(high, cr) << 32);
        m->lf = BitsEqual(low, lf) | (BitsEqual(high, lf) << 32);
        m->nul = BitsEqual(low, zero) | (BitsEqual(high, zero) << 32);
        return true;
    }

    // The CR, LF and NUL among 32 bytes, and the LF among them, one bit a
    // byte: one table lookup finds the three, each byte's low half picking
    // the one line end it could be, and the byte is that line end when it
    // equals it.
    QUORVANE_AVX2_TARGET static void EndsAndFeeds(__m256i bytes, uint32_t* ends, uint32_t* feeds)
    {
        const __m256i table = _mm256_setr_epi8(0, -1, -1, -1, -1, -1, -1, -1, -1, -1, '\n', -1, -1, '\r', -1, -1,
                                               0, -1, -1, -1, -1, -1, -1, -1, -1, -1, '\n', -1, -1, '\r', -1, -1);
        *ends = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_shuffle_epi8(table, bytes), bytes)));
        *feeds = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(bytes, _mm256_set1_epi8('\n'))));
    }

    // The 64 units at p as 64 bytes, in two vectors.
    QUORVANE_AVX2_TARGET void UnitsAsBytes(const char* p, __m256i* low, __m256i* high) const
    {
        *low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        *high = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
    }

    QUORVANE_AVX2_TARGET uint64_t CountAvx2(const char* text, uint64_t* at, uint64_t to, bool* endBefore) const;
#else
    bool MasksAvx2(const char*, LineEndMasks*) const { return false; }
    uint64_t CountAvx2(const char*, uint64_t*, uint64_t, bool*) const { return 0; }
#endif
};

#if defined(QUORVANE_AVX2)
// The lines ended in the blocks of 64 units from *at on, each block's units
// read as 64 bytes (a unit above 0xFF as one that ends no line); *at where
// less than a block is left before to.
template <typename Units>
QUORVANE_AVX2_TARGET uint64_t CountBlocksAvx2(const Units& u, const char* text, uint64_t* at, uint64_t to,
                                              bool* endBefore)
{
    const uint64_t block = 64 * Units::kUnitSize;
    uint64_t lines = 0;
    uint64_t i = *at;
    for (; i + block <= to; i += block) {
        __m256i low;
        __m256i high;
        u.UnitsAsBytes(text + i, &low, &high);
        uint32_t endsLow, feedsLow, endsHigh, feedsHigh;
        ByteUnits::EndsAndFeeds(low, &endsLow, &feedsLow);
        ByteUnits::EndsAndFeeds(high, &endsHigh, &feedsHigh);
        lines += LinesEndedInBlock(endsLow | (static_cast<uint64_t>(endsHigh) << 32),
                                   feedsLow | (static_cast<uint64_t>(feedsHigh) << 32), 0, 1, endBefore);
    }
    *at = i;
    return lines;
}

QUORVANE_AVX2_TARGET inline uint64_t ByteUnits::CountAvx2(const char* text, uint64_t* at, uint64_t to,
                                                          bool* endBefore) const
{
    return CountBlocksAvx2(*this, text, at, to, endBefore);
}
#endif

#endif
