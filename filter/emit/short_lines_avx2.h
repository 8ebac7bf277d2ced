// Short lines of a byte source rewritten 16 bytes at a time: a lone CR, an
// LF or a NUL becomes CR LF, a line end followed by an LF becomes CR LF as
// it stands, with no search and no call per line. For lines of a byte or
// two, the bulk of such a file.
//
// Each 16 bytes are told apart by three masks: the line ends (CR, LF, NUL),
// the LF bytes right after a line end (paired: with the end before them
// they make the CR LF), and from those the ends to widen (neither paired
// nor followed by a paired LF). Each half of 8 bytes is widened by one
// shuffle from a table of the 256 ways of widening, the inserted bytes LF.
#ifndef QUORVANE_SHORT_LINES_AVX2_H
#define QUORVANE_SHORT_LINES_AVX2_H

#include "filter/search/avx2.h"
#include "platform/platform.h"

#if defined(QUORVANE_AVX2)
#include <immintrin.h>

namespace short_lines_detail {

// For each set of bytes of 8 to widen: where each output byte comes from
// (an input byte, or 0x80 for an inserted LF).
struct WidenTable {
    unsigned char from[256][16];
    constexpr WidenTable() : from()
    {
        for (int mask = 0; mask < 256; ++mask) {
            int j = 0;
            for (int b = 0; b < 8; ++b) {
                from[mask][j++] = static_cast<unsigned char>(b);
                if ((mask >> b) & 1) {
                    from[mask][j++] = 0x80;
                }
            }
            while (j < 16) {
                from[mask][j++] = 0x80;
            }
        }
    }
};

inline const WidenTable& Widen()
{
    static constexpr WidenTable table;
    return table;
}

// Writes the first n (up to 8) bytes of half, those of widen each followed
// by an LF, at out (16 bytes of room); returns how many it wrote.
QUORVANE_AVX2_TARGET inline uint32_t PutHalf(__m128i half, uint32_t widen, uint32_t n, char* out)
{
    const __m128i from = _mm_loadu_si128(reinterpret_cast<const __m128i*>(Widen().from[widen & 0xFF]));
    const __m128i put = _mm_blendv_epi8(_mm_shuffle_epi8(half, from), _mm_set1_epi8('\n'), from);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), put);
    return n + static_cast<uint32_t>(__builtin_popcount(widen & ((1u << n) - 1)));
}

}  // namespace short_lines_detail

// Rewrites the lines of text[*at, to) into out, 16 bytes at a time, while
// each 16 hold a line end to rewrite and no run of LF bytes, and room
// (32 bytes at a time) is left before capacity: *used and *lines grow as it
// goes. *at starts a line and is left at one (after the LF bytes that
// follow the last line end written).
QUORVANE_AVX2_TARGET inline void RewriteShortLinesAvx2(const char* text, uint64_t* at, uint64_t to, char* out,
                                                     uint32_t* used, uint32_t capacity, uint64_t* lines)
{
    using namespace short_lines_detail;
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i lf = _mm_set1_epi8('\n');
    const __m128i zero = _mm_setzero_si128();
    uint64_t i = *at;
    uint32_t u = *used;
    uint64_t n = 0;
    while (to - i >= 16 && capacity - u >= 32 && text[i] != '\n') {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
        const __m128i isCr = _mm_cmpeq_epi8(v, cr);
        const __m128i isLf = _mm_cmpeq_epi8(v, lf);
        const __m128i isEnd = _mm_or_si128(_mm_or_si128(isCr, isLf), _mm_cmpeq_epi8(v, zero));
        // An LF right after a line end (i starts a line: none before it).
        const __m128i isPaired = _mm_and_si128(isLf, _mm_slli_si128(isEnd, 1));
        const uint32_t ends = static_cast<uint32_t>(_mm_movemask_epi8(isEnd));
        const uint32_t paired = static_cast<uint32_t>(_mm_movemask_epi8(isPaired));
        if (ends == 0 || (paired & (paired << 1)) != 0) {
            break;   // a line longer than 16 bytes, or a run of LF bytes
        }
        if (ends == 0xFFFF && _mm_movemask_epi8(isLf) == 0 && to - i >= 64) {
            break;   // empty lines alone: a whole block of them is one pattern
        }
        const uint32_t last = 31u - static_cast<uint32_t>(__builtin_clz(ends));
        const uint32_t range = (2u << last) - 1;
        const uint32_t own = ends & ~paired & range;
        const uint32_t widen = own & ~(paired >> 1);
        const uint32_t crs = static_cast<uint32_t>(_mm_movemask_epi8(isCr));
        if (widen == 0 && (own & ~crs) == 0) {
            break;   // lines that end in plain CR LF: their own output
        }
        // Every line end that is not a paired LF becomes a CR.
        v = _mm_blendv_epi8(v, cr, _mm_andnot_si128(isPaired, isEnd));
        const uint32_t count = last + 1;
        u += PutHalf(v, widen, count < 8 ? count : 8, out + u);
        if (count > 8) {
            u += PutHalf(_mm_srli_si128(v, 8), widen >> 8, count - 8, out + u);
        }
        n += static_cast<uint32_t>(__builtin_popcount(own));
        i += count;
        while (i < to && text[i] == '\n') {
            ++i;   // LF bytes after a line end written whole belong to no line
        }
    }
    *at = i;
    *used = u;
    *lines += n;
}
#endif

#endif
