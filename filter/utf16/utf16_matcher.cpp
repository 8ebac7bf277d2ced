// The UTF-16 matcher.

#include "filter/utf16/utf16_matcher.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "filter/utf16/utf16_units.h"

namespace {

// A kept candidate no search has made yet.
const uint64_t kNotSearched = ~0ull;

// The next candidate at or after start: the one kept, or a new search.
uint64_t CandidateFrom(const NeedleSearch* search, Utf16Scan* scan, uint64_t* kept, uint64_t start)
{
    if (*kept < start || *kept == kNotSearched) {
        *kept = FindNeedle(search, scan->text, start, scan->size);
    }
    return *kept;
}

// Offset of the first unit in text[from, end) that is not plain, or end.
uint64_t FindOtherUnit(const char* text, uint64_t from, uint64_t end, bool bigEndian)
{
    uint64_t i = from;
#if defined(__SSE2__)
    // A plain unit's high byte is zero and its low byte a tab or 0x20-0x7E.
    const __m128i highMask = _mm_set1_epi16(static_cast<short>(bigEndian ? 0x00FF : 0xFF00));
    const __m128i space = _mm_set1_epi16(0x20);
    const __m128i del = _mm_set1_epi16(0x7F);
    const __m128i tab = _mm_set1_epi16(0x09);
    while (i + 16 <= end) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
        __m128i highZero = _mm_cmpeq_epi16(_mm_and_si128(v, highMask), _mm_setzero_si128());
        __m128i low = bigEndian ? _mm_srli_epi16(v, 8) : _mm_and_si128(v, _mm_set1_epi16(0xFF));
        __m128i printable = _mm_andnot_si128(_mm_cmplt_epi16(low, space), _mm_cmplt_epi16(low, del));
        __m128i plain = _mm_and_si128(highZero, _mm_or_si128(printable, _mm_cmpeq_epi16(low, tab)));
        unsigned other = static_cast<unsigned>(_mm_movemask_epi8(plain)) ^ 0xFFFFu;
        if (other != 0) {
            return i + static_cast<uint64_t>(__builtin_ctz(other));
        }
        i += 16;
    }
#endif
    while (i < end && IsPlainUnit(UnitAt(text, i, bigEndian))) {
        i += 2;
    }
    return i;
}

bool Ask(Utf16Matcher* m, const char* text, uint64_t start, uint64_t end)
{
    return AskWideWhetherHolds(&m->wide, reinterpret_cast<const unsigned char*>(text) + start, end - start,
                               m->bigEndian ? kUnitsBigEndian : kUnitsLittleEndian, m->stop, &m->stopped);
}

// The segments of a UTF-16 text (segment_walk.h): the units neither plain
// nor barrier characters are the others.

#if defined(__SSE2__)
// Units in [first, last), unsigned: as signed ones 0x8000 apart.
inline __m128i UnitsWithin(__m128i u, int first, int last)
{
    const __m128i d = _mm_xor_si128(_mm_sub_epi16(u, _mm_set1_epi16(static_cast<short>(first))),
                                    _mm_set1_epi16(static_cast<short>(0x8000)));
    return _mm_cmplt_epi16(d, _mm_set1_epi16(static_cast<short>((last - first + 1) ^ 0x8000)));
}

// Eight units at p in the machine's order.
inline __m128i UnitsAt(const char* p, bool bigEndian)
{
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    return bigEndian ? _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8)) : v;
}
#endif

// What each of 64 units is, bit k for unit k.
struct UnitClasses {
    uint64_t unrelated;   // or a line end
    uint64_t ideograph;   // U+4E00 to U+9FA5, U+3400 to U+4DB5
    uint64_t notPlain;    // neither plain nor a line end
    uint64_t nextHigh;    // the next unit is U+0300 or above: it may join this one
    uint64_t wide;        // may be another barrier character
};

#if defined(__SSE2__)
// The classes of 8 units, as masks of their lanes.
struct UnitMasks {
    __m128i unrelated;
    __m128i ideograph;
    __m128i notPlain;
    __m128i nextHigh;
    __m128i wide;
};

inline UnitMasks UnitMasksAt(const WideNeedle* needle, const char* p, bool bigEndian)
{
    auto is = [](__m128i u, int value) { return _mm_cmpeq_epi16(u, _mm_set1_epi16(static_cast<short>(value))); };
    const __m128i u = UnitsAt(p, bigEndian);
    const __m128i lowered = _mm_or_si128(u, _mm_set1_epi16(0x20));
    __m128i related = _mm_setzero_si128();
    for (uint32_t r = 0; r < needle->relatedCount && needle->relatedCount <= kRelatedCompared; ++r) {
        related = _mm_or_si128(related, is(needle->relatedFolds[r] ? lowered : u, needle->related[r]));
    }
    const __m128i plain = _mm_or_si128(is(u, 0x09), UnitsWithin(u, 0x20, 0x7E));
    const __m128i lineEnd = _mm_or_si128(_mm_or_si128(is(u, 0x0D), is(u, 0x0A)), is(u, 0));
    UnitMasks k;
    k.ideograph = _mm_or_si128(UnitsWithin(u, 0x4E00, 0x9FA5), UnitsWithin(u, 0x3400, 0x4DB5));
    k.unrelated = _mm_or_si128(_mm_andnot_si128(related, plain), lineEnd);
    k.notPlain = _mm_andnot_si128(_mm_or_si128(plain, lineEnd), _mm_cmpeq_epi16(u, u));
    k.nextHigh = UnitsWithin(UnitsAt(p + 2, bigEndian), 0x0300, 0xFFFF);
    k.wide = _mm_andnot_si128(k.ideograph, UnitsWithin(u, 0x3001, 0xD7A3));
    return k;
}
#endif

#if defined(QUORVANE_AVX2)
// Sixteen units at p in the machine's order.
QUORVANE_AVX2_TARGET inline __m256i UnitsAt256(const char* p, bool bigEndian)
{
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    return bigEndian ? _mm256_or_si256(_mm256_slli_epi16(v, 8), _mm256_srli_epi16(v, 8)) : v;
}

QUORVANE_AVX2_TARGET inline __m256i UnitsAre(__m256i u, int value)
{
    return _mm256_cmpeq_epi16(u, _mm256_set1_epi16(static_cast<short>(value)));
}

// Units in [first, last], unsigned: as signed ones 0x8000 apart.
QUORVANE_AVX2_TARGET inline __m256i UnitsWithin256(__m256i u, int first, int last)
{
    const __m256i d = _mm256_xor_si256(_mm256_sub_epi16(u, _mm256_set1_epi16(static_cast<short>(first))),
                                       _mm256_set1_epi16(static_cast<short>(0x8000)));
    return _mm256_cmpgt_epi16(_mm256_set1_epi16(static_cast<short>((last - first + 1) ^ 0x8000)), d);
}

// Each unit's mask as one bit, in order.
QUORVANE_AVX2_TARGET inline uint64_t UnitBits256(__m256i x)
{
    const __m256i packed = _mm256_permute4x64_epi64(_mm256_packs_epi16(x, x), 0xD8);
    return static_cast<uint32_t>(_mm256_movemask_epi8(packed)) & 0xFFFFu;
}

// ClassifyUnits 16 units a vector, where the processor has them, for a
// needle of at most kRelatedCompared related units.
QUORVANE_AVX2_TARGET UnitClasses ClassifyUnitsAvx2(const WideNeedle* needle, const char* t, bool bigEndian)
{
    UnitClasses c{};
    for (int k = 0; k < 4; ++k) {
        const __m256i u = UnitsAt256(t + 32 * k, bigEndian);
        const __m256i lowered = _mm256_or_si256(u, _mm256_set1_epi16(0x20));
        __m256i related = _mm256_setzero_si256();
        for (uint32_t r = 0; r < needle->relatedCount; ++r) {
            related = _mm256_or_si256(related, UnitsAre(needle->relatedFolds[r] ? lowered : u, needle->related[r]));
        }
        const __m256i plain = _mm256_or_si256(UnitsAre(u, 0x09), UnitsWithin256(u, 0x20, 0x7E));
        const __m256i lineEnd = _mm256_or_si256(_mm256_or_si256(UnitsAre(u, 0x0D), UnitsAre(u, 0x0A)), UnitsAre(u, 0));
        const __m256i cjk = UnitsWithin256(u, 0x3001, 0xD7A3);
        const __m256i ideograph =
            _mm256_and_si256(cjk, _mm256_or_si256(UnitsWithin256(u, 0x4E00, 0x9FA5), UnitsWithin256(u, 0x3400, 0x4DB5)));
        const int shift = 16 * k;
        c.unrelated |= UnitBits256(_mm256_or_si256(_mm256_andnot_si256(related, plain), lineEnd)) << shift;
        c.ideograph |= UnitBits256(ideograph) << shift;
        c.notPlain |= UnitBits256(_mm256_andnot_si256(_mm256_or_si256(plain, lineEnd), _mm256_cmpeq_epi16(u, u))) << shift;
        c.nextHigh |= UnitBits256(UnitsWithin256(UnitsAt256(t + 32 * k + 2, bigEndian), 0x0300, 0xFFFF)) << shift;
        c.wide |= UnitBits256(_mm256_andnot_si256(ideograph, cjk)) << shift;
    }
    return c;
}
#endif

// The classes of the units at t[0, 128), t[128, 130) readable.
UnitClasses ClassifyUnits(const WideNeedle* needle, const char* t, bool bigEndian)
{
    UnitClasses c{};
#if defined(__SSE2__)
    for (int k = 0; k < 8; k += 2) {
        const UnitMasks a = UnitMasksAt(needle, t + 16 * k, bigEndian);
        const UnitMasks b = UnitMasksAt(needle, t + 16 * k + 16, bigEndian);
        // Each unit's mask as one byte, then one bit: 16 units.
        auto bitsOf = [k](__m128i x, __m128i y) {
            return static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(x, y)))) << (8 * k);
        };
        c.unrelated |= bitsOf(a.unrelated, b.unrelated);
        c.ideograph |= bitsOf(a.ideograph, b.ideograph);
        c.notPlain |= bitsOf(a.notPlain, b.notPlain);
        c.nextHigh |= bitsOf(a.nextHigh, b.nextHigh);
        c.wide |= bitsOf(a.wide, b.wide);
    }
    const bool compared = needle->relatedCount <= kRelatedCompared;
#else
    for (uint32_t k = 0; k < 64; ++k) {
        const uint32_t u = UnitAt(t, 2 * k, bigEndian);
        const uint64_t bit = 1ull << k;
        c.notPlain |= !IsPlainUnit(u) && !IsLineEndUnit(u) ? bit : 0;
        c.nextHigh |= UnitAt(t, 2 * k + 2, bigEndian) >= 0x300 ? bit : 0;
        c.wide |= u >= 0x3001 && u <= 0xD7A3 ? bit : 0;
    }
    const bool compared = false;
#endif
    if (!compared) {
        // A needle of many characters: one look in the table per unit.
        c.unrelated = 0;
        for (uint32_t k = 0; k < 64; ++k) {
            const uint32_t u = UnitAt(t, 2 * k, bigEndian);
            c.unrelated |= static_cast<uint64_t>((u < 0x80 && needle->unrelated[u]) || IsLineEndUnit(u)) << k;
        }
    }
    return c;
}

// The bits of the count units from byte at, count <= 64: every unit
// counts one.
SegmentBits Utf16SegmentBits(const Utf16Matcher* m, const Utf16Scan* scan, uint64_t at, uint32_t count)
{
    const bool bigEndian = m->bigEndian;
    const char* t = scan->text + at;
    // 65 units are read: near the text's end, from a copy.
    char copy[144] = {};
    if (scan->size - at < 144) {
        for (uint64_t k = 0; at + k < scan->size; ++k) {
            copy[k] = t[k];
        }
        t = copy;
    }
#if defined(QUORVANE_AVX2)
    const bool avx2 = m->avx2 && m->wide.relatedCount <= kRelatedCompared;
    const UnitClasses c = avx2 ? ClassifyUnitsAvx2(&m->wide, t, bigEndian) : ClassifyUnits(&m->wide, t, bigEndian);
#else
    const UnitClasses c = ClassifyUnits(&m->wide, t, bigEndian);
#endif
    const uint64_t line = BitsBetween(0, count);
    uint64_t barrierChar = c.ideograph;
    for (uint64_t rest = c.wide & line; rest != 0; rest &= rest - 1) {
        const uint32_t k = static_cast<uint32_t>(__builtin_ctzll(rest));
        barrierChar |= IsBarrierCharacter(UnitAt(t, 2 * k, bigEndian)) ? 1ull << k : 0;
    }
    SegmentBits bits{};
    bits.barrier = (c.unrelated & ~c.nextHigh) | barrierChar;
    // An unrelated unit before one at or above U+0300: a barrier unless
    // that one joins it.
    for (uint64_t rest = c.unrelated & c.nextHigh & line; rest != 0; rest &= rest - 1) {
        const uint32_t k = static_cast<uint32_t>(__builtin_ctzll(rest));
        const uint32_t u = UnitAt(t, 2 * k, bigEndian);
        bits.barrier |= IsLineEndUnit(u) || !MayJoinPrevious(UnitAt(t, 2 * k + 2, bigEndian)) ? 1ull << k : 0;
    }
    bits.barrier &= line;
    bits.other = c.notPlain & ~barrierChar & line;
    return bits;
}

// The first unit at or after from (at a unit's start) that is neither plain,
// a line end nor a CJK ideograph (U+4E00 to U+9FA5, U+3400 to U+4DB5), 8
// units at a time up to limit; near limit, or without the vector, one
// before.
uint64_t SkipPlainAndIdeographUnits(const char* text, uint64_t from, uint64_t limit, bool bigEndian)
{
    uint64_t i = from;
#if defined(__SSE2__)
    for (; i + 16 <= limit; i += 16) {
        const __m128i u = UnitsAt(text + i, bigEndian);
        const __m128i ok = _mm_or_si128(
            _mm_or_si128(UnitsWithin(u, 0x20, 0x7E), UnitsWithin(u, 0x4E00, 0x9FA5)),
            _mm_or_si128(UnitsWithin(u, 0x3400, 0x4DB5),
                         _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi16(u, _mm_set1_epi16(0x09)),
                                                   _mm_cmpeq_epi16(u, _mm_set1_epi16(0x0D))),
                                      _mm_or_si128(_mm_cmpeq_epi16(u, _mm_set1_epi16(0x0A)),
                                                   _mm_cmpeq_epi16(u, _mm_setzero_si128())))));
        const unsigned bad = static_cast<unsigned>(_mm_movemask_epi8(ok)) ^ 0xFFFFu;
        if (bad != 0) {
            return i + static_cast<uint64_t>(__builtin_ctz(bad));
        }
    }
#else
    (void)text;
    (void)limit;
    (void)bigEndian;
#endif
    return i;
}

// The UTF-16 text's segments, for their walk.
struct Utf16Segments : SegmentsOf<Utf16Matcher, Utf16Scan> {
    static const uint64_t kUnitSize = 2;
    SegmentBits Bits(uint64_t at, uint32_t count) const { return Utf16SegmentBits(m, scan, at, count); }
    static uint64_t Units(const SegmentBits&, uint32_t first, uint32_t last) { return last - first; }
    uint64_t SkipTo(uint64_t at, uint64_t limit) const
    {
        return SkipPlainAndIdeographUnits(scan->text, at, limit, m->bigEndian);
    }
    // Before the units SkipTo passes over are plain, line ends and
    // ideographs (barriers).
    bool PlainBarrierBefore(uint64_t at) const
    {
        const uint32_t unit = UnitAt(scan->text, at - 2, m->bigEndian);
        return !IsPlainUnit(unit) || (m->wide.unrelated[unit] && !MayJoinPrevious(UnitAt(scan->text, at, m->bigEndian)));
    }
    bool Holds(uint64_t first, uint64_t last) const
    {
        return AskWideSpans(&m->wide, reinterpret_cast<const unsigned char*>(scan->text) + first, last - first,
                            m->bigEndian ? kUnitsBigEndian : kUnitsLittleEndian, m->cache, m->stop, &m->stopped);
    }
};

// Whether the needle's letters, found folded at hit, hold it by the
// platform's rules: its very units but for the case of ASCII letters, or
// the platform's verdict on the span there. The line's own search compares
// just those units with the needle there.
bool LatinHitHolds(Utf16Matcher* m, const Utf16Scan* scan, uint64_t hit)
{
    // Its ASCII letters in either case, its other units as they stand.
    auto fold = [](uint32_t unit) { return unit >= 'a' && unit <= 'z' ? unit - 0x20 : unit; };
    const uint32_t length = m->wide.length;
    uint32_t k = 0;
    for (; k < length; ++k) {
        const uint32_t unit = UnitAt(scan->text, hit + 2ull * k, m->bigEndian);
        if (fold(unit) != fold(static_cast<uint16_t>(m->wide.units[k]))) {
            break;
        }
    }
    const Utf16Segments span = {{m, scan, scan->size, length}};
    return k == length || span.Holds(hit, hit + 2ull * length);
}

// The first place at or after from where the needle's letters stand
// folded and the platform agrees they hold it: the one kept, or a new
// search.
uint64_t LatinCandidateFrom(Utf16Matcher* m, Utf16Scan* scan, uint64_t from)
{
    if (scan->latinKnown && scan->latin >= from) {
        return scan->latin;
    }
    uint64_t at = FindNeedle(&m->folded, scan->text, from, scan->size);
    while (at < scan->size && !LatinHitHolds(m, scan, at) && !m->stopped) {
        at = FindNeedle(&m->folded, scan->text, at + 2, scan->size);
    }
    scan->latin = m->stopped ? scan->size : at;
    scan->latinKnown = true;
    return scan->latin;
}

// Where the line that holds at starts, walked back to from at most: 8
// units at a time.
uint64_t UnitLineStartOf(const char* text, uint64_t from, uint64_t at, bool bigEndian)
{
#if defined(__SSE2__)
    const __m128i cr = _mm_set1_epi16(static_cast<short>(bigEndian ? 0x0D00 : 0x000D));
    const __m128i lf = _mm_set1_epi16(static_cast<short>(bigEndian ? 0x0A00 : 0x000A));
    const __m128i zero = _mm_setzero_si128();
    for (; at >= from + 16; at -= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + at - 16));
        const __m128i ends = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi16(v, cr), _mm_cmpeq_epi16(v, lf)),
                                          _mm_cmpeq_epi16(v, zero));
        const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(ends));
        if (mask != 0) {
            // Right after the last line end: its second byte is the mask's highest bit.
            return at - 16 + static_cast<uint64_t>(32 - __builtin_clz(mask));
        }
    }
#endif
    while (at > from && !IsLineEndUnit(UnitAt(text, at - 2, bigEndian))) {
        at -= 2;
    }
    return at;
}

// True when the line text[start, end) holds a unit that is neither plain
// nor a barrier character.
bool HoldsOtherUnits(const char* text, uint64_t start, uint64_t end, bool bigEndian)
{
    // Runs of plain units and ideographs (a Chinese line's bulk) 8 units a
    // step; what is left unit by unit.
    for (uint64_t i = start;; i += 2) {
        i = FindOtherUnit(text, SkipPlainAndIdeographUnits(text, i, end, bigEndian), end, bigEndian);
        if (i >= end) {
            return false;
        }
        if (i + 2 > end || !IsBarrierCharacter(UnitAt(text, i, bigEndian))) {
            return true;
        }
    }
}

}  // namespace

void Utf16MatcherInit(Utf16Matcher* m, const SearchNeedles* needles, bool bigEndian, const StopFlag* stop)
{
    *m = Utf16Matcher{};   // not stopped, no cache
    WideNeedleInit(&m->wide, needles->utf16, needles->ignoreCase);
    m->bigEndian = bigEndian;
    for (uint32_t k = 0; k < m->wide.length; ++k) {
        uint32_t unit = static_cast<uint16_t>(needles->utf16[k]);
        m->encoded[2 * k] = static_cast<unsigned char>(bigEndian ? unit >> 8 : unit & 0xFF);
        m->encoded[2 * k + 1] = static_cast<unsigned char>(bigEndian ? unit & 0xFF : unit >> 8);
    }
    // Ignoring case, a needle of plain units is searched with ASCII letters
    // folded; one made of letters, with the letters of Latin-1 folded too
    // (each byte of a unit as if it were one: what the fold finds, the
    // platform is asked about).
    m->searchesFolded = m->wide.ignoreCase && m->wide.plain;
    m->foldsLatin = m->wide.ignoreCase && m->wide.madeOfLetters && !m->searchesFolded;
    for (int c = 0; c < 256; ++c) {
        const bool latin = m->foldsLatin && c >= 0xE0 && c <= 0xFE;
        m->fold[c] = static_cast<unsigned char>((c >= 'a' && c <= 'z') || latin ? c - 0x20 : c);
    }
    const uint32_t bytes = 2 * m->wide.length;
    NeedleSearchInitBytes(&m->exact, m->encoded, bytes, false, m->fold, 2);
    NeedleSearchInitBytes(&m->folded, m->encoded, bytes, m->searchesFolded || m->foldsLatin, m->fold, 2);
    m->avx2 = m->exact.avx2;
    m->stop = stop;
}

bool Utf16MatcherJudgesPieces(const Utf16Matcher* m, uint64_t* overlap)
{
    if (m->wide.length == 0 || m->wide.holdsLineEnd || (m->wide.ignoreCase && !m->wide.madeOfLetters)) {
        return false;
    }
    *overlap = 2ull * m->wide.length - 2;
    return true;
}

int Utf16PieceVerdict(const Utf16Matcher* m, const char* piece, uint64_t size, uint64_t* plain)
{
    if (!m->wide.ignoreCase) {
        *plain = size;
        return FindNeedle(&m->exact, piece, 0, size) < size ? 1 : 0;
    }
    // A needle made of letters: among plain units, the folded bytes of a
    // needle of plain units are where it stands, and one with other units
    // stands nowhere; the segments the platform judges hold other units.
    *plain = FindOtherUnit(piece, 0, size, m->bigEndian);
    if (m->searchesFolded && FindNeedle(&m->folded, piece, 0, *plain) < *plain) {
        return 1;
    }
    return *plain < size ? -1 : 0;
}

void Utf16ScanStart(Utf16Scan* scan, const char* text, uint64_t size)
{
    scan->text = text;
    scan->size = size;
    // Searched when first asked: a needle made of letters stands nowhere
    // exactly when it differs from its folded form, and a search for it
    // would pass over the whole text for nothing.
    scan->exact = kNotSearched;
    scan->folded = kNotSearched;
    scan->segmentFrom = scan->segmentTo = scan->segmentHit = size;   // no segment looked for yet
    scan->latin = size;
    scan->latinKnown = false;
    scan->hitLineOf = size;
}

bool Utf16LineHolds(Utf16Matcher* m, Utf16Scan* scan, uint64_t start, uint64_t end)
{
    const uint64_t bytes = 2ull * m->wide.length;
    if (m->wide.length == 0 || m->wide.holdsLineEnd || end - start < bytes) {
        return false;
    }
    // A candidate that starts in the line ends in it: the needle holds no
    // line end, so its bytes cannot take one in.
    if (CandidateFrom(&m->exact, scan, &scan->exact, start) < end) {
        return true;
    }
    // A needle of barrier characters and no letter: in a line of plain and
    // barrier characters only, its units are where it stands.
    if (m->wide.ignoreCase && m->wide.caseless && !HoldsOtherUnits(scan->text, start, end, m->bigEndian)) {
        return false;
    }
    return m->wide.ignoreCase && Ask(m, scan->text, start, end);
}

uint64_t NextMatch(Utf16Matcher* m, Utf16Scan* scan, uint64_t from)
{
    if (m->wide.length == 0 || m->wide.holdsLineEnd) {
        return scan->size;
    }
    if (!m->wide.ignoreCase) {
        return CandidateFrom(&m->exact, scan, &scan->exact, from);
    }
    // Ignoring case, a needle made of letters: its bytes (folded, for one
    // of plain units), or a segment the platform finds it in.
    const uint64_t bytes = m->searchesFolded ? CandidateFrom(&m->folded, scan, &scan->folded, from)
                           : m->foldsLatin   ? LatinCandidateFrom(m, scan, from)
                                             : CandidateFrom(&m->exact, scan, &scan->exact, from);
    // The segments up to the line where its bytes stand: that line holds
    // it, whatever the platform says of its segments.
    if (bytes < scan->size && scan->hitLineOf != bytes) {
        // Once for each place: a long line it ends is not walked back over
        // again for each line found before it.
        scan->hitLineOf = bytes;
        scan->hitLine = UnitLineStartOf(scan->text, from, bytes, m->bigEndian);
    }
    const uint64_t hitLine = bytes < scan->size ? scan->hitLine : bytes;
    if (scan->segmentFrom > from ||
        (scan->segmentHit < scan->segmentTo ? scan->segmentHit < from : hitLine > scan->segmentTo)) {
        Utf16Segments segments = {{m, scan, scan->size, m->wide.length}};
        scan->segmentFrom = from;
        scan->segmentTo = hitLine;
        scan->segmentHit = hitLine > from ? NextSegmentHolding(segments, from, hitLine) : hitLine;
    }
    return bytes < scan->segmentHit ? bytes : scan->segmentHit;
}
