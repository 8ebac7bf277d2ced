// The emitter.
//
// Every routed line is written with CR LF. Lines that already end in plain
// CR LF are copied as they stand, one block for a whole run of them; a line
// with any other line end (a lone CR, an LF, a NUL, LF runs after a line's
// end) is written by itself with its end rewritten.

#include "filter/pass/line_emitter.h"

#include "filter/pass/line_ends.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "filter/match/avx2.h"

#if defined(QUORVANE_AVX2)
#include <immintrin.h>
#endif

namespace {

// Judges the 64 bytes at b[i] by their masks. Reads b[i - 1] and b[i + 64].
inline bool JudgeBlock(const unsigned char* b, uint64_t i, uint64_t crMask, uint64_t lfMask, uint64_t nulMask,
                       uint64_t* at, uint64_t* plainEnd, uint64_t* lines)
{
    return JudgeLineEndBlock(i, crMask, lfMask, nulMask, b[i - 1] == '\r', b[i + 64] == '\n', 1, at, plainEnd,
                             lines);
}

#if defined(QUORVANE_AVX2)
// One bit for each of the 32 bytes of a that equals c's.
QUORVANE_AVX2_TARGET inline uint64_t BitsEqual(__m256i a, __m256i c)
{
    return static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(a, c))));
}

// The 64-byte blocks of FindLineEndToRewrite, two 32-byte vectors each:
// true, with *at, at the first byte to rewrite; false with *at where fewer
// than 64 bytes are left before to.
QUORVANE_AVX2_TARGET bool JudgeBlocksAvx2(const unsigned char* b, uint64_t* at, uint64_t to, uint64_t* plainEnd,
                                          uint64_t* lines)
{
    const __m256i cr = _mm256_set1_epi8('\r');
    const __m256i lf = _mm256_set1_epi8('\n');
    const __m256i zero = _mm256_setzero_si256();
    const __m256i highest = _mm256_set1_epi8('\r');
    uint64_t i = *at;
    while (i + 64 <= to) {
        __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i));
        __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i + 32));
        // A block without a byte up to CR holds no line end: one saturating
        // subtract a vector tells.
        __m256i controls = _mm256_or_si256(_mm256_cmpeq_epi8(_mm256_subs_epu8(low, highest), zero),
                                           _mm256_cmpeq_epi8(_mm256_subs_epu8(high, highest), zero));
        if (_mm256_testz_si256(controls, controls)) {
            i += 64;
            continue;
        }
        uint64_t crMask = BitsEqual(low, cr) | (BitsEqual(high, cr) << 32);
        uint64_t lfMask = BitsEqual(low, lf) | (BitsEqual(high, lf) << 32);
        uint64_t nulMask = BitsEqual(low, zero) | (BitsEqual(high, zero) << 32);
        if (JudgeBlock(b, i, crMask, lfMask, nulMask, at, plainEnd, lines)) {
            return true;
        }
        i += 64;
    }
    *at = i;
    return false;
}

// The lines of CountLines' 64-byte blocks, two 32-byte vectors each; *at
// where fewer than 64 bytes are left before to. CR, LF and NUL are found
// by one table lookup: each byte's low half picks the one line end it
// could be, and the byte is that line end when it equals it.
QUORVANE_AVX2_TARGET uint64_t CountBlocksAvx2(const unsigned char* b, uint64_t* at, uint64_t to, bool* endBefore)
{
    const __m256i table = _mm256_setr_epi8(0, -1, -1, -1, -1, -1, -1, -1, -1, -1, '\n', -1, -1, '\r', -1, -1,
                                           0, -1, -1, -1, -1, -1, -1, -1, -1, -1, '\n', -1, -1, '\r', -1, -1);
    const __m256i lf = _mm256_set1_epi8('\n');
    uint64_t lines = 0;
    bool before = *endBefore;
    uint64_t i = *at;
    for (; i + 64 <= to; i += 64) {
        __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i));
        __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i + 32));
        uint64_t ends = BitsEqual(_mm256_shuffle_epi8(table, low), low) |
                        (BitsEqual(_mm256_shuffle_epi8(table, high), high) << 32);
        uint64_t feeds = BitsEqual(low, lf) | (BitsEqual(high, lf) << 32);
        uint64_t previous = (ends << 1) | (before ? 1 : 0);
        before = (ends >> 63) != 0;
        lines += static_cast<uint64_t>(__builtin_popcountll(ends & ~(feeds & previous)));
    }
    *at = i;
    *endBefore = before;
    return lines;
}
#else
// Without 32-byte vectors: nothing judged, the narrower scan goes on.
bool JudgeBlocksAvx2(const unsigned char*, uint64_t*, uint64_t, uint64_t*, uint64_t*)
{
    return false;
}
uint64_t CountBlocksAvx2(const unsigned char*, uint64_t*, uint64_t, bool*)
{
    return 0;
}
#endif

#if defined(__SSE2__)
// The CR, LF and NUL masks of the 64 bytes at b.
inline void LineEndMasks(const unsigned char* b, uint64_t* crMask, uint64_t* lfMask, uint64_t* nulMask)
{
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i lf = _mm_set1_epi8('\n');
    const __m128i zero = _mm_setzero_si128();
    *crMask = *lfMask = *nulMask = 0;
    for (int k = 0; k < 4; ++k) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + 16 * k));
        *crMask |= static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, cr)))) << (16 * k);
        *lfMask |= static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, lf)))) << (16 * k);
        *nulMask |= static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, zero)))) << (16 * k);
    }
}
#endif

// First byte in [from, to) whose bytes would not already be the output: a
// NUL, a CR not followed by LF, or an LF not preceded by CR. Every such byte
// ends a line. Returns to when every line in the stretch ends in plain
// CR LF. *plainEnd receives the position after the last LF before it (from
// when there is none): the plain lines end there.
// *lines counts the plain lines.
uint64_t FindLineEndToRewrite(const char* text, uint64_t from, uint64_t to, uint64_t* plainEnd, bool avx2,
                              uint64_t* lines)
{
    const unsigned char* b = reinterpret_cast<const unsigned char*>(text);
    uint64_t i = from;
    *plainEnd = from;
    if (i == 0 && i < to) {
        if (b[0] == 0 || b[0] == '\n' || (b[0] == '\r' && b[1] != '\n')) {
            return 0;
        }
        i = 1;
    }
    uint64_t at = i;
    if (avx2 && JudgeBlocksAvx2(b, &at, to, plainEnd, lines)) {
        return at;
    }
    i = at;
#if defined(__SSE2__)
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i lf = _mm_set1_epi8('\n');
    const __m128i zero = _mm_setzero_si128();
    // 64 bytes at a time, each kind of byte as one bit mask: a CR is
    // irregular unless the next byte is LF, an LF unless the one before is
    // CR. Reads b[i - 1] to b[i + 64]; to never passes size, whose byte is
    // zero.
    while (i + 64 <= to) {
        uint64_t crMask;
        uint64_t lfMask;
        uint64_t nulMask;
        LineEndMasks(b + i, &crMask, &lfMask, &nulMask);
        uint64_t at = 0;
        if (JudgeBlock(b, i, crMask, lfMask, nulMask, &at, plainEnd, lines)) {
            return at;
        }
        i += 64;
    }
    // Reads b[i - 1] to b[i + 16].
    while (i + 16 <= to) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
        __m128i isCr = _mm_cmpeq_epi8(v, cr);
        __m128i isLf = _mm_cmpeq_epi8(v, lf);
        __m128i isNul = _mm_cmpeq_epi8(v, zero);
        // Most blocks hold no line end at all.
        if (_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(isCr, isLf), isNul)) == 0) {
            i += 16;
            continue;
        }
        __m128i before = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i - 1));
        __m128i after = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i + 1));
        __m128i bad = _mm_or_si128(
            isNul,
            _mm_or_si128(_mm_andnot_si128(_mm_cmpeq_epi8(after, lf), isCr),
                         _mm_andnot_si128(_mm_cmpeq_epi8(before, cr), isLf)));
        unsigned badMask = static_cast<unsigned>(_mm_movemask_epi8(bad));
        unsigned lfMask = static_cast<unsigned>(_mm_movemask_epi8(isLf));
        if (badMask != 0) {
            unsigned first = static_cast<unsigned>(__builtin_ctz(badMask));
            lfMask &= (1u << first) - 1;   // the LF bytes before it
            if (lfMask != 0) {
                *plainEnd = i + 32 - static_cast<uint64_t>(__builtin_clz(lfMask));
                *lines += static_cast<uint64_t>(__builtin_popcount(lfMask));
            }
            return i + first;
        }
        if (lfMask != 0) {
            *plainEnd = i + 32 - static_cast<uint64_t>(__builtin_clz(lfMask));
            *lines += static_cast<uint64_t>(__builtin_popcount(lfMask));
        }
        i += 16;
    }
#endif
    for (; i < to; ++i) {
        unsigned char c = b[i];
        if (c == 0 || (c == '\r' && b[i + 1] != '\n') || (c == '\n' && b[i - 1] != '\r')) {
            return i;
        }
        if (c == '\n') {
            *plainEnd = i + 1;
            ++*lines;
        }
    }
    return to;
}


// The lines of text[from, to) the emitter would write, for a sink whose
// export is off: counted, not written. 64 bytes at a time; the last bytes
// as part of the 64 that end at to, those before them masked off.
uint64_t CountLines(const char* text, uint64_t size, uint64_t from, uint64_t to, bool avx2)
{
    const unsigned char* b = reinterpret_cast<const unsigned char*>(text);
    uint64_t i = from;
    bool endBefore = false;
    uint64_t lines = avx2 ? CountBlocksAvx2(b, &i, to, &endBefore) : 0;
#if defined(__SSE2__)
    uint64_t crMask;
    uint64_t lfMask;
    uint64_t nulMask;
    for (; i + 64 <= to; i += 64) {
        LineEndMasks(b + i, &crMask, &lfMask, &nulMask);
        lines += LinesEndedInBlock(crMask, lfMask, nulMask, 1, &endBefore);
    }
    if (i < to && to >= 64) {
        const uint64_t base = to - 64;
        const unsigned skip = static_cast<unsigned>(i - base);
        LineEndMasks(b + base, &crMask, &lfMask, &nulMask);
        const uint64_t ends = crMask | lfMask | nulMask;
        // Whether the byte before each ends a line; for i, as counted.
        uint64_t previous = (ends << 1) & ~(1ull << skip);
        previous |= endBefore ? 1ull << skip : 0;
        const uint64_t counted = (ends & ~(lfMask & previous)) >> skip;
        lines += static_cast<uint64_t>(__builtin_popcountll(counted));
        i = to;
    }
#endif
    for (; i < to; ++i) {
        bool end = IsLineEnd(text[i]);
        lines += end && !(text[i] == '\n' && endBefore) ? 1 : 0;
        endBefore = end;
    }
    // The source's last line, without a line end.
    if (to == size && to > from && !IsLineEnd(text[to - 1])) {
        ++lines;
    }
    return lines;
}

// Longest line the short-line loop cuts and writes by itself.
const uint64_t kShortLine = 64;

// A run of short lines with ends to rewrite (lines of a byte or two ended
// by a lone CR, an LF or a NUL): cut and written by one loop straight into
// the sink's buffer, not a search and two calls a line. Stops, leaving *at
// where it stopped, at a line that ends in plain CR LF, one longer than
// kShortLine, the stretch's end, or a sink that cannot take more.
void RewriteShortLines(LineSink* sink, const char* text, uint64_t* at, uint64_t to)
{
    uint64_t i = *at;
    while (i < to) {
        const uint64_t limit = to - i > kShortLine ? i + kShortLine : to;
        uint64_t j = i;
        while (j < limit && !IsLineEnd(text[j])) {
            ++j;
        }
        if (j >= limit || (text[j] == '\r' && text[j + 1] == '\n')) {
            break;
        }
        const uint32_t n = static_cast<uint32_t>(j - i);
        if (sink->capacity - sink->used < n + 2 && (!SinkFlush(sink) || sink->capacity < n + 2)) {
            break;
        }
        char* out = sink->buffer + sink->used;
        for (uint32_t k = 0; k < n; ++k) {
            out[k] = text[i + k];
        }
        out[n] = '\r';
        out[n + 1] = '\n';
        sink->used += n + 2;
        sink->offered += n + 2;
        ++sink->lines;
        i = NextLineStart(text, j);
    }
    *at = i;
}

}  // namespace

void EmitLine(LineSink* sink, const char* text, uint64_t start, uint64_t end)
{
    ++sink->lines;
    if (text[end] == '\r' && text[end + 1] == '\n') {
        SinkPut(sink, text + start, end - start + 2);
        return;
    }
    SinkPut(sink, text + start, end - start);
    EmitLineEnd(sink);
}

void EmitLineEnd(LineSink* sink)
{
    const char lineEnd[2] = {'\r', '\n'};
    SinkPut(sink, lineEnd, 2);
}

void EmitLines(LineSink* sink, const char* text, uint64_t size, uint64_t from, uint64_t to, bool avx2)
{
    if (!SinkOpen(sink)) {
        sink->lines += CountLines(text, size, from, to, avx2);
        return;
    }
    uint64_t i = from;
    while (i < to) {
        uint64_t plainEnd;
        uint64_t rewrite = FindLineEndToRewrite(text, i, to, &plainEnd, avx2, &sink->lines);
        if (plainEnd > i) {
            // The plain lines are their own output.
            SinkPut(sink, text + i, plainEnd - i);
            // LF bytes after that last CR LF belong to no line.
            i = plainEnd;
            while (text[i] == '\n') {
                ++i;
            }
        }
        if (i >= to) {
            break;
        }
        // The byte to rewrite ends the line that starts at i (no line end
        // lies between them); past the stretch's plain part, the last line
        // of the text may have no line end at all.
        uint64_t end = (rewrite < to && i <= rewrite) ? rewrite : FindLineEnd(text, size, i);
        EmitLine(sink, text, i, end);
        i = NextLineStart(text, end);
        // Where one line end is rewritten, short lines with more often follow.
        RewriteShortLines(sink, text, &i, to);
    }
}
