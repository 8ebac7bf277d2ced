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
// (U+4E00 to U+9FFF, U+3400 to U+4DBF), as the lines of a Chinese log are:
// told 8 units at a time. False too where it cannot tell so fast.
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
        ok = _mm_or_si128(ok, _mm_or_si128(within(u, 0x4E00, 0x9FFF), within(u, 0x3400, 0x4DBF)));
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

// Whether the line text[start, end), in which no run of plain units
// holds the needle of n plain units (the folded search settled those),
// holds it by the platform's rules: each run of other units, with the n - 1
// units on either side of it, is asked by itself, runs closer than that as
// one.
bool OtherSpansInSegmentHoldNeedle(Utf16Matcher* m, const char* text, uint64_t start, uint64_t end)
{
    const uint64_t margin = 2ull * (m->wide.length - 1);
    uint64_t plainFrom = start;
    for (;;) {
        uint64_t other = FindOtherUnit(text, plainFrom, end, m->bigEndian);
        if (other >= end) {
            return false;
        }
        uint64_t afterOther = other + 2;
        for (uint64_t j = afterOther; j < end && j - afterOther < margin; j += 2) {
            if (!IsPlainUnit(UnitAt(text, j, m->bigEndian))) {
                afterOther = j + 2;
            }
        }
        uint64_t from = other - plainFrom > margin ? other - margin : plainFrom;
        uint64_t to = afterOther + margin < end ? afterOther + margin : end;
        if (AskWideSpans(&m->wide, reinterpret_cast<const unsigned char*>(text) + from, to - from,
                           m->bigEndian ? kUnitsBigEndian : kUnitsLittleEndian, m->cache, m->stop, &m->stopped)) {
            return true;
        }
        if (m->stopped || to >= end) {
            return false;
        }
        plainFrom = afterOther;
    }
}

// The same, asked of each segment of the line between barrier characters
// (IsBarrierCharacter) that is long enough to hold the needle: no span
// that takes in such a character can match it.
bool OtherSegmentsHoldNeedle(Utf16Matcher* m, const char* text, uint64_t start, uint64_t end)
{
    const uint64_t least = 2ull * m->wide.length;
    // Most lines hold no unit but plain ones, or plain ones and ideographs:
    // a vector scan tells.
    if (FindOtherUnit(text, start, end, m->bigEndian) >= end ||
        OnlyPlainAndIdeographUnits(text, start, end, m->bigEndian)) {
        return false;
    }
    auto nextBarrier = [&](uint64_t at) {
        while (at + 2 <= end && !IsBarrierCharacter(UnitAt(text, at, m->bigEndian))) {
            at += 2;
        }
        return at + 2 <= end ? at : end;
    };
    auto judge = [&](uint64_t from, uint64_t barrier) {
        return OtherSpansInSegmentHoldNeedle(m, text, from, barrier);
    };
    return SegmentsBetweenBarriersHold(start, end, least, 2, nextBarrier, judge, &m->stopped);
}

// Whether the line text[start, end), which does not hold the needle's
// units exactly, holds it by the platform's rules, for a needle made of
// letters (WideNeedle): only the segments between units no matching span
// can take in (and barrier characters) that hold a unit that is not plain
// are asked; a span of plain units alone cannot match either.
bool SegmentsBetweenLettersHold(Utf16Matcher* m, const char* text, uint64_t start, uint64_t end)
{
    // Most lines hold no unit but plain ones, or plain ones and ideographs:
    // a vector scan tells.
    if (FindOtherUnit(text, start, end, m->bigEndian) >= end ||
        OnlyPlainAndIdeographUnits(text, start, end, m->bigEndian)) {
        return false;
    }
    auto nextBarrier = [&](uint64_t at) {
        for (; at + 2 <= end; at += 2) {
            const uint32_t unit = UnitAt(text, at, m->bigEndian);
            const bool alone = at + 4 > end || !MayJoinPrevious(UnitAt(text, at + 2, m->bigEndian));
            if (unit < 0x80 ? m->wide.unrelated[unit] && alone : IsBarrierCharacter(unit)) {
                break;
            }
        }
        return at + 2 <= end ? at : end;
    };
    auto judge = [&](uint64_t from, uint64_t barrier) {
        return FindOtherUnit(text, from, barrier, m->bigEndian) < barrier &&
               AskWideSpans(&m->wide, reinterpret_cast<const unsigned char*>(text) + from, barrier - from,
                            m->bigEndian ? kUnitsBigEndian : kUnitsLittleEndian, m->cache, m->stop, &m->stopped);
    };
    return SegmentsBetweenBarriersHold(start, end, 2ull * m->wide.length, 2, nextBarrier, judge, &m->stopped);
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
        return m->wide.madeOfLetters ? SegmentsBetweenLettersHold(m, scan->text, start, end)
                                     : OtherSegmentsHoldNeedle(m, scan->text, start, end);
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
