// The UTF-16 matcher.

#include "filter/utf16/utf16_matcher.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "filter/utf16/utf16_units.h"

namespace {

// First place at or after from, at a unit's start, where the search's bytes
// stand wholly inside text[0, size); size when there is none.
uint64_t FindAtUnit(const NeedleSearch* search, const char* text, uint64_t from, uint64_t size)
{
    uint64_t at = FindNeedle(search, text, from, size);
    while (at < size && (at & 1) != 0) {
        at = FindNeedle(search, text, at + 1, size);
    }
    return at;
}

// The next candidate at or after start: the one kept, or a new search.
uint64_t CandidateFrom(const NeedleSearch* search, Utf16Scan* scan, uint64_t* kept, uint64_t start)
{
    if (*kept < start) {
        *kept = FindAtUnit(search, scan->text, start, scan->size);
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

// True when every unit of text[from, end) is plain or a CJK ideograph
// (IsBarrierCharacter: U+4E00 to U+9FA5, U+3400 to U+4DB5), as the lines of
// a Chinese log are: told 8 units at a time. False too where it cannot tell
// so fast.
bool OnlyPlainAndIdeographUnits(const char* text, uint64_t from, uint64_t end, bool bigEndian)
{
#if defined(__SSE2__)
    if (end - from < 16) {
        return false;
    }
    // Unsigned compares of 16-bit units, as signed ones of units 0x8000 apart.
    const __m128i flip = _mm_set1_epi16(static_cast<short>(0x8000));
    auto within = [&](__m128i u, int first, int last) {
        __m128i d = _mm_xor_si128(_mm_sub_epi16(u, _mm_set1_epi16(static_cast<short>(first))), flip);
        return _mm_cmplt_epi16(d, _mm_set1_epi16(static_cast<short>((last - first + 1) ^ 0x8000)));
    };
    auto allowed = [&](__m128i v) {
        __m128i u = bigEndian ? _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8)) : v;
        __m128i ok = _mm_or_si128(within(u, 0x20, 0x7E), _mm_cmpeq_epi16(u, _mm_set1_epi16(0x09)));
        ok = _mm_or_si128(ok, _mm_or_si128(within(u, 0x4E00, 0x9FA5), within(u, 0x3400, 0x4DB5)));
        return static_cast<unsigned>(_mm_movemask_epi8(ok)) == 0xFFFFu;
    };
    uint64_t i = from;
    for (; i + 16 <= end; i += 16) {
        if (!allowed(_mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i)))) {
            return false;
        }
    }
    // The last units, as the end of a block that ends the line (the units
    // before them were looked at already and pass again).
    return i == end || ((end - from) % 2 == 0 &&
                        allowed(_mm_loadu_si128(reinterpret_cast<const __m128i*>(text + end - 16))));
#else
    (void)text;
    (void)from;
    (void)end;
    (void)bigEndian;
    return false;
#endif
}

// Whether the line text[start, end), which does not hold the needle's
// units exactly, holds it by the platform's rules, for a needle made of
// letters (WideNeedle): only the segments between units no matching span
// can take in (and barrier characters) that hold a unit that is not plain
// are asked; a span of plain units alone cannot match either.
bool SegmentsBetweenLettersHold(Utf16Matcher* m, const char* text, uint64_t start, uint64_t end)
{
    const bool bigEndian = m->bigEndian;
    // Most lines hold no unit but plain ones and ideographs: a vector scan
    // tells.
    if (OnlyPlainAndIdeographUnits(text, start, end, bigEndian)) {
        return false;
    }
    auto isBarrier = [&](uint64_t at) {
        const uint32_t unit = UnitAt(text, at, bigEndian);
        if (unit >= 0x80) {
            return IsBarrierCharacter(unit);
        }
        return m->wide.unrelated[unit] && (at + 4 > end || !MayJoinPrevious(UnitAt(text, at + 2, bigEndian)));
    };
    // Each unit that is not plain, found by the vector scan, and the
    // segment around it: the plain units before it walked back over up to
    // a barrier, the line after it on up to the next.
    for (uint64_t from = start;;) {
        const uint64_t other = FindOtherUnit(text, from, end, bigEndian);
        if (other + 2 > end) {
            return false;
        }
        if (IsBarrierCharacter(UnitAt(text, other, bigEndian))) {
            from = other + 2;
            continue;
        }
        uint64_t first = other;
        while (first > from && !isBarrier(first - 2)) {
            first -= 2;
        }
        uint64_t at = other + 2;
        while (at + 2 <= end && !isBarrier(at)) {
            at += 2;
        }
        if (at - first >= 2ull * m->wide.length &&
            AskWideSpans(&m->wide, reinterpret_cast<const unsigned char*>(text) + first, at - first,
                         bigEndian ? kUnitsBigEndian : kUnitsLittleEndian, m->cache, m->stop, &m->stopped)) {
            return true;
        }
        if (m->stopped || at + 2 > end) {
            return false;
        }
        from = at + 2;
    }
}

// True when the line text[start, end) holds a unit that is neither plain
// nor a barrier character.
bool HoldsOtherUnits(const char* text, uint64_t start, uint64_t end, bool bigEndian)
{
    for (uint64_t i = FindOtherUnit(text, start, end, bigEndian); i < end; i = FindOtherUnit(text, i, end, bigEndian)) {
        if (i + 2 > end || !IsBarrierCharacter(UnitAt(text, i, bigEndian))) {
            return true;
        }
        i += 2;
    }
    return false;
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
    for (int c = 0; c < 256; ++c) {
        m->fold[c] = static_cast<unsigned char>((c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c);
    }
    const uint32_t bytes = 2 * m->wide.length;
    NeedleSearchInitBytes(&m->exact, m->encoded, bytes, false, m->fold);
    m->searchesFolded = m->wide.ignoreCase && m->wide.plain;
    NeedleSearchInitBytes(&m->folded, m->encoded, bytes, m->searchesFolded, m->fold);
    m->avx2 = m->exact.avx2;
    m->stop = stop;
}

void Utf16ScanStart(Utf16Scan* scan, const Utf16Matcher* m, const char* text, uint64_t size)
{
    scan->text = text;
    scan->size = size;
    scan->exact = m->searchesFolded ? size : FindAtUnit(&m->exact, text, 0, size);
    scan->folded = m->searchesFolded ? FindAtUnit(&m->folded, text, 0, size) : size;
}

bool Utf16LineHolds(Utf16Matcher* m, Utf16Scan* scan, uint64_t start, uint64_t end)
{
    const uint64_t bytes = 2ull * m->wide.length;
    if (m->wide.length == 0 || m->wide.holdsLineEnd || end - start < bytes) {
        return false;
    }
    // A candidate that starts in the line ends in it: the needle holds no
    // line end, so its bytes cannot take one in.
    if (m->searchesFolded) {
        if (CandidateFrom(&m->folded, scan, &scan->folded, start) < end) {
            return true;
        }
        return SegmentsBetweenLettersHold(m, scan->text, start, end);
    }
    if (CandidateFrom(&m->exact, scan, &scan->exact, start) < end) {
        return true;
    }
    // A needle of barrier characters and no letter: in a line of plain and
    // barrier characters only, its units are where it stands.
    if (m->wide.ignoreCase && m->wide.caseless && !HoldsOtherUnits(scan->text, start, end, m->bigEndian)) {
        return false;
    }
    if (m->wide.madeOfLetters) {
        return SegmentsBetweenLettersHold(m, scan->text, start, end);
    }
    return m->wide.ignoreCase && Ask(m, scan->text, start, end);
}

uint64_t NextExactMatch(const Utf16Matcher* m, Utf16Scan* scan, uint64_t from)
{
    if (m->wide.length == 0 || m->wide.holdsLineEnd) {
        return scan->size;
    }
    return CandidateFrom(&m->exact, scan, &scan->exact, from);
}
