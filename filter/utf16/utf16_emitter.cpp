// The UTF-16 emitter.

#include "filter/utf16/utf16_emitter.h"

#include "filter/pass/line_ends.h"
#include "filter/utf16/utf16_units.h"
#include "filter/match/avx2.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(QUORVANE_AVX2)
#include <immintrin.h>
#endif

namespace {

const uint32_t kCr = 0x0D;
const uint32_t kLf = 0x0A;

// The unit masks of a 64-byte block: two bits, one per byte, for each unit
// that is CR, LF or zero. Big-endian units, loaded as little-endian lanes,
// read 0x0D00 and 0x0A00.
struct UnitMasks {
    uint64_t cr;
    uint64_t lf;
    uint64_t zero;
};

#if defined(__SSE2__)
// The masks of the 64 bytes at text[at], 16 at a time.
inline UnitMasks MasksAt(const char* text, uint64_t at, bool bigEndian)
{
    const __m128i cr = _mm_set1_epi16(static_cast<short>(bigEndian ? 0x0D00 : 0x000D));
    const __m128i lf = _mm_set1_epi16(static_cast<short>(bigEndian ? 0x0A00 : 0x000A));
    const __m128i zero = _mm_setzero_si128();
    UnitMasks m = {0, 0, 0};
    for (int k = 0; k < 4; ++k) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + at + 16 * k));
        m.cr |= static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi16(v, cr)))) << (16 * k);
        m.lf |= static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi16(v, lf)))) << (16 * k);
        m.zero |= static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi16(v, zero)))) << (16 * k);
    }
    return m;
}
#endif

// Judges the 32 units at text[i] by their masks. Reads the units at i - 2
// and i + 64.
inline bool JudgeUnitBlock(const char* text, uint64_t i, const UnitMasks& m, bool bigEndian, uint64_t* at,
                           uint64_t* plainEnd, uint64_t* lines)
{
    return JudgeLineEndBlock(i, m.cr, m.lf, m.zero, UnitAt(text, i - 2, bigEndian) == kCr,
                             UnitAt(text, i + 64, bigEndian) == kLf, 2, at, plainEnd, lines);
}

#if defined(QUORVANE_AVX2)
QUORVANE_AVX2_TARGET inline uint64_t UnitBitsEqual(__m256i a, __m256i c)
{
    return static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi16(a, c))));
}

// The blocks of FindUnitLineEndToRewrite with 32-byte vectors: true, with
// *at, at the first unit to rewrite; false with *at where fewer than 64
// bytes are left before to.
QUORVANE_AVX2_TARGET bool JudgeUnitBlocksAvx2(const char* text, uint64_t* at, uint64_t to, bool bigEndian,
                                              uint64_t* plainEnd, uint64_t* lines)
{
    const __m256i cr = _mm256_set1_epi16(static_cast<short>(bigEndian ? 0x0D00 : 0x000D));
    const __m256i lf = _mm256_set1_epi16(static_cast<short>(bigEndian ? 0x0A00 : 0x000A));
    const __m256i zero = _mm256_setzero_si256();
    const __m256i highest = _mm256_set1_epi16(0x000D);
    uint64_t i = *at;
    while (i + 64 <= to) {
        __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text + i));
        __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text + i + 32));
        // Most blocks of a log hold no unit up to U+000D, so no line end:
        // one saturating subtract a vector tells.
        __m256i lowUnits = bigEndian ? _mm256_or_si256(_mm256_slli_epi16(low, 8), _mm256_srli_epi16(low, 8)) : low;
        __m256i highUnits =
            bigEndian ? _mm256_or_si256(_mm256_slli_epi16(high, 8), _mm256_srli_epi16(high, 8)) : high;
        __m256i controls = _mm256_or_si256(_mm256_cmpeq_epi16(_mm256_subs_epu16(lowUnits, highest), zero),
                                           _mm256_cmpeq_epi16(_mm256_subs_epu16(highUnits, highest), zero));
        if (_mm256_testz_si256(controls, controls)) {
            i += 64;
            continue;
        }
        UnitMasks m;
        m.cr = UnitBitsEqual(low, cr) | (UnitBitsEqual(high, cr) << 32);
        m.lf = UnitBitsEqual(low, lf) | (UnitBitsEqual(high, lf) << 32);
        m.zero = UnitBitsEqual(low, zero) | (UnitBitsEqual(high, zero) << 32);
        if (JudgeUnitBlock(text, i, m, bigEndian, at, plainEnd, lines)) {
            return true;
        }
        i += 64;
    }
    *at = i;
    return false;
}

// The lines of CountUnitLines' 64-byte blocks (32 units), two 32-byte
// vectors each; *at where fewer than 64 bytes are left before to. Each
// unit is packed into a byte (a unit above 0xFF into 0xFF, which ends no
// line), and CR, LF and NUL are found among the bytes by one table lookup:
// each byte's low half picks the one line end it could be.
QUORVANE_AVX2_TARGET uint64_t CountUnitBlocksAvx2(const char* text, uint64_t* at, uint64_t to, bool bigEndian,
                                                  bool* endBefore)
{
    const __m256i table = _mm256_setr_epi8(0, -1, -1, -1, -1, -1, -1, -1, -1, -1, '\n', -1, -1, '\r', -1, -1,
                                           0, -1, -1, -1, -1, -1, -1, -1, -1, -1, '\n', -1, -1, '\r', -1, -1);
    const __m256i lf = _mm256_set1_epi8('\n');
    uint64_t lines = 0;
    uint32_t before = *endBefore ? 1 : 0;
    uint64_t i = *at;
    for (; i + 64 <= to; i += 64) {
        __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text + i));
        __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text + i + 32));
        if (bigEndian) {
            low = _mm256_or_si256(_mm256_slli_epi16(low, 8), _mm256_srli_epi16(low, 8));
            high = _mm256_or_si256(_mm256_slli_epi16(high, 8), _mm256_srli_epi16(high, 8));
        }
        // Each unit at most 0xFF first (the pack takes units as signed),
        // and the pack works within each 128-bit half: the units come back
        // in order after one permute.
        const __m256i byteMost = _mm256_set1_epi16(0xFF);
        __m256i units = _mm256_permute4x64_epi64(
            _mm256_packus_epi16(_mm256_min_epu16(low, byteMost), _mm256_min_epu16(high, byteMost)), 0xD8);
        uint32_t ends = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_shuffle_epi8(table, units), units)));
        uint32_t feeds = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(units, lf)));
        uint32_t previous = (ends << 1) | before;
        before = ends >> 31;
        lines += static_cast<uint64_t>(__builtin_popcount(ends & ~(feeds & previous)));
    }
    *at = i;
    *endBefore = before != 0;
    return lines;
}
#else
// Without 32-byte vectors: nothing judged, the narrower scan goes on.
bool JudgeUnitBlocksAvx2(const char*, uint64_t*, uint64_t, bool, uint64_t*, uint64_t*)
{
    return false;
}
uint64_t CountUnitBlocksAvx2(const char*, uint64_t*, uint64_t, bool, bool*)
{
    return 0;
}
#endif

// First unit in text[from, to) (offsets even) whose units would not already
// be the output: a zero unit, a CR not followed by LF, or an LF not preceded
// by CR. Every such unit ends a line. Returns to when every line in the
// stretch ends in CR LF. *plainEnd receives the offset after the last LF
// unit before it (from when there is none): the plain lines end there.
// *lines counts the plain lines.
uint64_t FindUnitLineEndToRewrite(const char* text, uint64_t from, uint64_t to, bool bigEndian, bool avx2,
                                  uint64_t* plainEnd, uint64_t* lines)
{
    uint64_t i = from;
    *plainEnd = from;
    if (i == 0 && i < to) {
        // Nothing before the text's first unit: an LF there is not after a CR.
        uint32_t u = UnitAt(text, 0, bigEndian);
        if (u == 0 || u == kLf || (u == kCr && UnitAt(text, 2, bigEndian) != kLf)) {
            return 0;
        }
        i = 2;
    }
    uint64_t at = i;
    if (avx2 && JudgeUnitBlocksAvx2(text, &at, to, bigEndian, plainEnd, lines)) {
        return at;
    }
    i = at;
#if defined(__SSE2__)
    while (i + 64 <= to) {
        UnitMasks m = MasksAt(text, i, bigEndian);
        uint64_t at = 0;
        if (JudgeUnitBlock(text, i, m, bigEndian, &at, plainEnd, lines)) {
            return at;
        }
        i += 64;
    }
#endif
    for (; i < to; i += 2) {
        uint32_t u = UnitAt(text, i, bigEndian);
        if (u == 0 || (u == kCr && UnitAt(text, i + 2, bigEndian) != kLf) ||
            (u == kLf && UnitAt(text, i - 2, bigEndian) != kCr)) {
            return i;
        }
        if (u == kLf) {
            *plainEnd = i + 2;
            ++*lines;
        }
    }
    return to;
}

// The lines of text[from, to) the emitter would write, for a sink whose
// export is off: counted, not written.
uint64_t CountUnitLines(const char* text, uint64_t size, uint64_t from, uint64_t to, bool bigEndian, bool avx2)
{
    uint64_t i = from;
    bool endBefore = false;
    uint64_t lines = avx2 ? CountUnitBlocksAvx2(text, &i, to, bigEndian, &endBefore) : 0;
#if defined(__SSE2__)
    for (; i + 64 <= to; i += 64) {
        UnitMasks m = MasksAt(text, i, bigEndian);
        lines += LinesEndedInBlock(m.cr, m.lf, m.zero, 2, &endBefore);
    }
    // The last units as part of the 64 bytes that end at to, those before
    // them masked off.
    if (i < to && to >= 64) {
        const uint64_t base = to - 64;
        const unsigned skip = static_cast<unsigned>(i - base);
        UnitMasks m = MasksAt(text, base, bigEndian);
        const uint64_t ends = m.cr | m.lf | m.zero;
        uint64_t previous = (ends << 2) & ~(3ull << skip);
        previous |= endBefore ? 3ull << skip : 0;
        lines += static_cast<uint64_t>(__builtin_popcountll((ends & ~(m.lf & previous)) >> skip)) >> 1;
        i = to;
    }
#endif
    for (; i + 1 < to; i += 2) {
        uint32_t u = UnitAt(text, i, bigEndian);
        bool end = u == 0 || u == kCr || u == kLf;
        lines += end && !(u == kLf && endBefore) ? 1 : 0;
        endBefore = end;
    }
    // The source's last line, without a line end.
    if (to == size && to >= from + 2) {
        uint32_t u = UnitAt(text, to - 2, bigEndian);
        lines += u == 0 || u == kCr || u == kLf ? 0 : 1;
    }
    return lines;
}

// Adds text[from, to), lines that are their own output, to what is gathered
// for sink.
void Gather(Utf16Emitter* e, LineSink* sink, uint64_t from, uint64_t to)
{
    if (sink == e->sink && from == e->to) {
        e->to = to;
        return;
    }
    Utf16EmitterFlush(e);
    e->sink = sink;
    e->from = from;
    e->to = to;
}

}  // namespace

void Utf16EmitterStart(Utf16Emitter* e, const char* text, bool bigEndian)
{
    e->bigEndian = bigEndian;
    e->text = text;
    e->sink = nullptr;
    e->from = 0;
    e->to = 0;
}

void Utf16EmitterFlush(Utf16Emitter* e)
{
    if (e->sink != nullptr && e->to > e->from) {
        SinkPut(e->sink, e->text + e->from, e->to - e->from);
    }
    e->sink = nullptr;
    e->from = e->to = 0;
}

void EmitUtf16LineEnd(LineSink* sink, bool bigEndian)
{
    const char le[4] = {'\r', 0, '\n', 0};
    const char be[4] = {0, '\r', 0, '\n'};
    SinkPut(sink, bigEndian ? be : le, 4);
}

void EmitUtf16Line(Utf16Emitter* e, LineSink* sink, uint64_t start, uint64_t end)
{
    ++sink->lines;
    if (!SinkOpen(sink)) {
        return;
    }
    const bool plainEnd = UnitAt(e->text, end, e->bigEndian) == kCr && UnitAt(e->text, end + 2, e->bigEndian) == kLf;
    if (plainEnd) {
        Gather(e, sink, start, end + 4);
        return;
    }
    Utf16EmitterFlush(e);
    SinkPut(sink, e->text + start, end - start);
    EmitUtf16LineEnd(sink, e->bigEndian);
}

void EmitUtf16Lines(Utf16Emitter* e, LineSink* sink, uint64_t size, uint64_t from, uint64_t to, bool avx2)
{
    if (!SinkOpen(sink)) {
        sink->lines += CountUnitLines(e->text, size, from, to, e->bigEndian, avx2);
        return;
    }
    uint64_t i = from;
    while (i < to) {
        uint64_t plainEnd;
        uint64_t rewrite = FindUnitLineEndToRewrite(e->text, i, to, e->bigEndian, avx2, &plainEnd, &sink->lines);
        if (plainEnd > i) {
            Gather(e, sink, i, plainEnd);
            // LF units after that last CR LF belong to no line.
            i = plainEnd;
            while (i < to && UnitAt(e->text, i, e->bigEndian) == kLf) {
                i += 2;
            }
        }
        if (i >= to) {
            break;
        }
        // The unit to rewrite ends the line that starts at i; past the
        // stretch's plain part, the text's last line may have no line end.
        uint64_t end = (rewrite < to && i <= rewrite) ? rewrite : FindUnitLineEnd(e->text, size, i, e->bigEndian, avx2);
        EmitUtf16Line(e, sink, i, end);
        if (end >= size) {
            break;
        }
        i = NextUnitLineStart(e->text, end, e->bigEndian);
    }
}
