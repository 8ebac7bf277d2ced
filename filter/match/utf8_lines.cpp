// The UTF-8 rule.

#include "filter/match/utf8_lines.h"

#include "filter/search/line_ends.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// First byte above 0x7F in text[from, to), or to.
uint64_t FindHighByte(const char* text, uint64_t from, uint64_t to)
{
    uint64_t i = from;
#if defined(__SSE2__)
    while (i + 16 <= to) {
        int mask = _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i)));
        if (mask != 0) {
            return i + static_cast<uint64_t>(__builtin_ctz(static_cast<unsigned>(mask)));
        }
        i += 16;
    }
#endif
    while (i < to && static_cast<unsigned char>(text[i]) < 0x80) {
        ++i;
    }
    return i;
}

// True for a byte the platform's search may not compare as itself: any but
// the tab and printable ASCII.
inline bool IsOtherByte(unsigned char c)
{
    return c != '\t' && (c < 0x20 || c >= 0x7F);
}

// First other byte in text[from, to), or to.
uint64_t FindOtherByte(const char* text, uint64_t from, uint64_t to)
{
    uint64_t i = from;
#if defined(__SSE2__)
    // Signed, bytes 0x80-0xFF are below 0x20 too.
    const __m128i space = _mm_set1_epi8(0x20);
    const __m128i del = _mm_set1_epi8(0x7F);
    const __m128i tab = _mm_set1_epi8('\t');
    while (i + 16 <= to) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
        __m128i other = _mm_andnot_si128(_mm_cmpeq_epi8(v, tab),
                                       _mm_or_si128(_mm_cmplt_epi8(v, space), _mm_cmpeq_epi8(v, del)));
        int mask = _mm_movemask_epi8(other);
        if (mask != 0) {
            return i + static_cast<uint64_t>(__builtin_ctz(static_cast<unsigned>(mask)));
        }
        i += 16;
    }
#endif
    while (i < to && !IsOtherByte(static_cast<unsigned char>(text[i]))) {
        ++i;
    }
    return i;
}

// The character a well-formed three-byte UTF-8 sequence at b stands for.
inline uint32_t ThreeByteCharacter(const unsigned char* b)
{
    return (static_cast<uint32_t>(b[0] & 0x0F) << 12) | (static_cast<uint32_t>(b[1] & 0x3F) << 6) | (b[2] & 0x3Fu);
}

bool SameText(const char* a, const char* b)
{
    for (; *a != 0 && *a == *b; ++a, ++b) {
    }
    return *a == *b;
}

// What a line is made of, for the UTF-8 rule.
enum LineKind {
    kNotUtf8,           // not well-formed UTF-8, or nothing above ASCII
    kPlainAndBarrier,   // UTF-8 of plain and barrier characters only
    kOtherCharacters,   // UTF-8 holding some other character too
    kNotToldYet,        // not read yet: the search that reads it tells
};

#if defined(__SSE2__)
// One block of 16 bytes of a line of plain ASCII and CJK ideographs alone
// (three bytes each, led by E4 to E9, but not E4 B6 and E4 B7 nor E9 BE and
// E9 BF: U+4D80 to U+4DFF and U+9F80 to U+9FFF hold the hexagrams and the
// ideographs some platforms give no weight, which the walk tells), the bulk
// of a Chinese log: false when some byte is anything else. keep: the bits of
// the block that are the line's and not yet looked at; *carry, *e4 and *e9:
// what the leads before ask of the next bytes, as bits of this block (and,
// on return, of the next one); *high: a lead was seen.
inline bool IdeographBlock(__m128i v, uint32_t keep, uint32_t* carry, uint32_t* e4, uint32_t* e9, bool* high)
{
    const __m128i fromE4 = _mm_sub_epi8(v, _mm_set1_epi8(static_cast<char>(0xE4)));
    const uint32_t lead = keep & static_cast<uint32_t>(_mm_movemask_epi8(
                                     _mm_cmpeq_epi8(_mm_min_epu8(fromE4, _mm_set1_epi8(5)), fromE4)));
    const uint32_t cont = keep & static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(
                                     _mm_and_si128(v, _mm_set1_epi8(static_cast<char>(0xC0))),
                                     _mm_set1_epi8(static_cast<char>(0x80)))));
    const uint32_t above = keep & static_cast<uint32_t>(_mm_movemask_epi8(v));
    const uint32_t isE4 = keep & static_cast<uint32_t>(_mm_movemask_epi8(
                                     _mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(0xE4)))));
    const uint32_t isE9 = keep & static_cast<uint32_t>(_mm_movemask_epi8(
                                     _mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(0xE9)))));
    const __m128i pairOf = _mm_and_si128(v, _mm_set1_epi8(static_cast<char>(0xFE)));
    const uint32_t isB6B7 = keep & static_cast<uint32_t>(_mm_movemask_epi8(
                                       _mm_cmpeq_epi8(pairOf, _mm_set1_epi8(static_cast<char>(0xB6)))));
    const uint32_t isBEBF = keep & static_cast<uint32_t>(_mm_movemask_epi8(
                                       _mm_cmpeq_epi8(pairOf, _mm_set1_epi8(static_cast<char>(0xBE)))));
    // ASCII that is not plain: below the space but the tab, and DEL.
    const __m128i low = _mm_andnot_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\t')),
                                         _mm_cmplt_epi8(v, _mm_set1_epi8(0x20)));
    const uint32_t notPlain = keep & ~above & static_cast<uint32_t>(_mm_movemask_epi8(
                                                _mm_or_si128(low, _mm_cmpeq_epi8(v, _mm_set1_epi8(0x7F)))));
    const uint32_t wanted = (lead << 1) | (lead << 2) | *carry;
    if ((wanted & 0xFFFF) != cont || above != (lead | cont) || ((isE4 << 1 | *e4) & isB6B7) != 0 ||
        ((isE9 << 1 | *e9) & isBEBF) != 0 || notPlain != 0) {
        return false;
    }
    *carry = wanted >> 16;
    *e4 = isE4 >> 15;
    *e9 = isE9 >> 15;
    *high = *high || lead != 0;
    return true;
}
#endif

// A line of plain ASCII and CJK ideographs alone told 16 bytes at a time:
// true with *kind, false when the walk must tell.
bool KindOfIdeographLine(const unsigned char* b, uint64_t start, uint64_t end, LineKind* kind)
{
#if defined(__SSE2__)
    if (end - start < 16) {
        return false;
    }
    uint32_t carry = 0;
    uint32_t e4 = 0;
    uint32_t e9 = 0;
    bool high = false;
    uint64_t i = start;
    for (; i + 16 <= end; i += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
        if (!IdeographBlock(v, 0xFFFF, &carry, &e4, &e9, &high)) {
            return false;
        }
    }
    if (i < end) {
        // The last bytes, as the end of a block that ends the line.
        const uint32_t shift = static_cast<uint32_t>(i - (end - 16));
        carry <<= shift;
        e4 <<= shift;
        e9 <<= shift;
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + end - 16));
        if (!IdeographBlock(v, 0xFFFFu << shift & 0xFFFF, &carry, &e4, &e9, &high)) {
            return false;
        }
    }
    if (carry != 0) {
        return false;   // a character cut by the line's end
    }
    *kind = high ? kPlainAndBarrier : kNotUtf8;
    return true;
#else
    (void)b;
    (void)start;
    (void)end;
    (void)kind;
    return false;
#endif
}

// Reads the line text[start, end) once, character by character, where
// KindOfIdeographLine could not tell: whether it is well-formed UTF-8 with a
// character above ASCII, and whether any of its characters is neither plain
// nor a barrier character.
LineKind KindOfLine(const char* text, uint64_t start, uint64_t end)
{
    const unsigned char* b = reinterpret_cast<const unsigned char*>(text);
    bool high = false;
    bool other = false;
    for (uint64_t i = FindOtherByte(text, start, end); i < end; i = FindOtherByte(text, i, end)) {
        if (b[i] < 0x80) {
            other = true;
            ++i;
            continue;
        }
        high = true;
        // Characters above ASCII one after the other, as Chinese text
        // has them, are walked here without a search for each.
        while (i < end && b[i] >= 0x80) {
            const unsigned char c = b[i];
            if (c >= 0xE1 && c <= 0xEC && end - i >= 3) {
                // Three bytes whose second has no narrower range.
                const unsigned char s = b[i + 1];
                const unsigned char t = b[i + 2];
                if ((s & 0xC0) != 0x80 || (t & 0xC0) != 0x80) {
                    return kNotUtf8;
                }
                other = other || !IsBarrierCharacter((static_cast<uint32_t>(c & 0x0F) << 12) |
                                                     (static_cast<uint32_t>(s & 0x3F) << 6) | (t & 0x3F));
                i += 3;
                continue;
            }
            uint32_t length = Utf8SequenceLength(b + i, end - i);
            if (length == 0) {
                return kNotUtf8;
            }
            other = other || length != 3 || !IsBarrierCharacter(ThreeByteCharacter(b + i));
            i += length;
        }
    }
    return !high ? kNotUtf8 : other ? kOtherCharacters : kPlainAndBarrier;
}

// True when the last search of the needle's bytes tells whether
// text[start, end) holds them: its first hit lies at or after start, or it
// found none and searched past end.
bool SearchCovers(const Utf8Scan* scan, uint64_t start, uint64_t end)
{
    if (scan->searchedFrom > start) {
        return false;
    }
    return scan->searchedHit < scan->searchedTo ? scan->searchedHit >= start : end <= scan->searchedTo;
}

// Searches the needle's bytes (folded, where the matcher searches them so)
// from the line text[start, end) on: as far as the line for a line by
// itself, further and further while the lines come one after the other (up
// to kSearchReachMost), so that one search passes over the many lines of a
// log that lack it.
const uint64_t kSearchReachMost = 1u << 16;
void SearchAhead(const Utf8Matcher* m, Utf8Scan* scan, uint64_t start, uint64_t end)
{
    const bool following = start >= scan->searchedFrom && start <= scan->searchedTo + 2;
    uint64_t reach = following ? 2 * scan->searchReach : 0;
    reach = reach > kSearchReachMost ? kSearchReachMost : reach;
    reach = reach < end - start ? end - start : reach;
    scan->searchReach = reach;
    scan->searchedFrom = start;
    scan->searchedTo = scan->size - start < reach ? scan->size : start + reach;
    const NeedleSearch* bytes = m->searchesFolded ? &m->folded : &m->exact;
    scan->searchedHit = FindNeedle(bytes, scan->text, start, scan->searchedTo);
}

// False for a byte no character that may join the one before
// (MayJoinPrevious) starts with: all but CC, CD, E1, E2, EF and F3.
inline bool MayStartJoiner(unsigned char c)
{
    return c == 0xCC || c == 0xCD || c == 0xE1 || c == 0xE2 || c == 0xEF || c == 0xF3;
}

// The character the UTF-8 at b[0, count) starts with, count > 0; a byte
// that starts none stands for itself.
inline uint32_t CharacterAt(const unsigned char* b, uint64_t count)
{
    const uint32_t length = b[0] < 0x80 ? 1 : Utf8SequenceLength(b, count);
    if (length <= 1) {
        return b[0];
    }
    uint32_t c = b[0] & (0x7Fu >> length);
    for (uint32_t k = 1; k < length; ++k) {
        c = c << 6 | (b[k] & 0x3Fu);
    }
    return c;
}

// The same for a needle made of letters (WideNeedle): only the segments
// between plain characters no matching span can take in (and barrier
// characters) that hold a character above ASCII are asked.
bool SegmentsBetweenLettersHold(Utf8Matcher* m, const char* text, uint64_t start, uint64_t end)
{
    const unsigned char* b = reinterpret_cast<const unsigned char*>(text);
    // A barrier is a plain character the needle is not made of, with no
    // character after it that may join it (one byte), or a barrier
    // character (three bytes). A sequence that is no UTF-8 ends the walk:
    // the line is none.
    auto barrierAt = [&](uint64_t at) -> uint32_t {   // at an ASCII byte
        return m->wide.unrelated[b[at]] && (at + 1 == end || !MayStartJoiner(b[at + 1]) ||
                                            !MayJoinPrevious(CharacterAt(b + at + 1, end - at - 1)))
                   ? 1
                   : 0;
    };
    // Each character above ASCII, found by the vector scan, and the segment
    // around it: the ASCII bytes before it are walked back over up to a
    // barrier, the line after it on up to the next.
    for (uint64_t from = start;;) {
        const uint64_t high = FindHighByte(text, from, end);
        if (high >= end) {
            return false;
        }
        uint64_t first = high;
        while (first > from && barrierAt(first - 1) == 0) {
            --first;
        }
        uint64_t units = high - first;   // UTF-16 units in the segment
        uint64_t at = high;
        uint32_t barrier = 0;
        while (at < end) {
            if (b[at] < 0x80) {
                barrier = barrierAt(at);
                if (barrier != 0) {
                    break;
                }
                ++at;
                ++units;
                continue;
            }
            const uint32_t length = Utf8SequenceLength(b + at, end - at);
            if (length == 0) {
                return false;   // no UTF-8 line: the rule is not for it
            }
            if (length == 3 && IsBarrierCharacter(ThreeByteCharacter(b + at))) {
                barrier = 3;
                break;
            }
            at += length;
            units += length == 4 ? 2 : 1;
        }
        if (at > high && units >= m->wide.length &&
            AskWideSpans(&m->wide, b + first, at - first, kUnitsUtf8, m->cache, m->stop, &m->stopped)) {
            return true;
        }
        if (m->stopped || at >= end) {
            return false;
        }
        from = at + barrier;
    }
}

// Whether the UTF-8 line text[start, end) holds the needle ignoring case:
// folded bytes for a needle of plain ASCII and barrier characters (UTF-8
// bytes of other characters are never ASCII letters, so only those fold),
// the bytes as they stand for another; then the platform's wide search,
// where some character could still stand for the needle's.
bool HoldsIgnoringCase(Utf8Matcher* m, Utf8Scan* scan, uint64_t start, uint64_t end, LineKind kind)
{
    const char* text = scan->text;
    if (!SearchCovers(scan, start, end)) {
        SearchAhead(m, scan, start, end);
    }
    if (scan->searchedHit < end) {
        return true;
    }
    if (m->searchesFolded && kind == kPlainAndBarrier) {
        // Plain and barrier characters only, each compared as itself.
        return false;
    }
    if (m->wide.madeOfLetters) {
        return SegmentsBetweenLettersHold(m, text, start, end);
    }
    return AskWideWhetherHolds(&m->wide, reinterpret_cast<const unsigned char*>(text) + start, end - start,
                               kUnitsUtf8, m->stop, &m->stopped);
}

}  // namespace

bool IsUtf8WithHighBytes(const char* text, uint64_t start, uint64_t end)
{
    const unsigned char* b = reinterpret_cast<const unsigned char*>(text);
    uint64_t i = FindHighByte(text, start, end);
    if (i >= end) {
        return false;
    }
    while (i < end) {
        if (b[i] < 0x80) {
            i = FindHighByte(text, i, end);
            continue;
        }
        uint32_t length = Utf8SequenceLength(b + i, end - i);
        if (length == 0) {
            return false;
        }
        i += length;
    }
    return true;
}

void Utf8MatcherInit(Utf8Matcher* m, const SearchNeedles* needles, const TextRules* rules, const StopFlag* stop)
{
    *m = Utf8Matcher{};   // not stopped, no cache
    WideNeedleInit(&m->wide, needles->utf16, needles->ignoreCase);
    for (int c = 0; c < 256; ++c) {
        m->fold[c] = static_cast<unsigned char>((c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c);
    }
    uint32_t length = 0;
    bool lineEnd = false;
    for (; needles->utf8[length] != 0; ++length) {
        lineEnd = lineEnd || needles->utf8[length] == '\r' || needles->utf8[length] == '\n';
    }
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(needles->utf8);
    NeedleSearchInitBytes(&m->exact, bytes, length, false, m->fold);
    m->searchesFolded = needles->ignoreCase && m->wide.plainOrBarrier;
    NeedleSearchInitBytes(&m->folded, bytes, length, m->searchesFolded, m->fold);
    // Where the code page is searched byte for byte, its verdict on the
    // same bytes is the UTF-8 rule's own; where the code page is UTF-8 and
    // case counts, its search already is the UTF-8 one. (Ignoring case, the
    // code page's search folds ASCII letters only: the rule folds the rest
    // as the wide search does.)
    bool sameSearch = !needles->ignoreCase && needles->ansiHeld && SameText(needles->ansi, needles->utf8) &&
                      rules->allPlain && !rules->hasLeadBytes;
    bool utf8Search = rules->utf8CodePage && !needles->ignoreCase;
    m->active = needles->utf8Held && length > 0 && !lineEnd && !sameSearch && !utf8Search;
    m->stop = stop;
}

void Utf8ScanStart(Utf8Scan* scan, const Utf8Matcher* m, const char* text, uint64_t size)
{
    *scan = Utf8Scan{};
    scan->text = text;
    scan->size = size;
    // No search made yet: none covers a line.
    scan->searchedFrom = scan->searchedTo = scan->searchedHit = size;
    if (!m->active) {
        scan->candidate = size;
    } else if (m->wide.ignoreCase) {
        scan->candidate = FindHighByte(text, 0, size);
    } else {
        scan->candidate = FindNeedle(&m->exact, text, 0, size);
    }
}

bool NextUtf8LineHoldingNeedle(Utf8Matcher* m, Utf8Scan* scan, uint64_t from, uint64_t to, uint64_t* start,
                               uint64_t* end)
{
    const char* text = scan->text;
    const uint64_t size = scan->size;
    if (!m->active) {
        return false;
    }
    while (from < to) {
        if (scan->candidate < from) {
            scan->candidate = m->wide.ignoreCase ? FindHighByte(text, from, size)
                                                 : FindNeedle(&m->exact, text, from, size);
            scan->lineStartKnown = false;
        }
        const uint64_t candidate = scan->candidate;
        if (candidate >= size) {
            return false;
        }
        // No line end lies between the line start found and the candidate:
        // from a later from, the line starts there or at from.
        if (!scan->lineStartKnown) {
            scan->candidateLineStart = LineStartOf(text, from, candidate);
            scan->lineStartKnown = true;
        }
        *start = scan->candidateLineStart > from ? scan->candidateLineStart : from;
        if (*start >= to) {
            return false;
        }
        *end = FindLineEnd(text, size, candidate);
        // Case kept, the needle's bytes stand in the line (they hold no line
        // end): it holds the needle if it is UTF-8.
        bool holds;
        if (m->wide.ignoreCase) {
            // For a needle made of letters, the walk around the characters
            // above ASCII reads each of them: a line it finds the needle
            // in is then read whole.
            LineKind kind = kNotToldYet;
            LineKind told;
            if (KindOfIdeographLine(reinterpret_cast<const unsigned char*>(text), *start, *end, &told)) {
                kind = told;
            } else if (!m->wide.madeOfLetters) {
                kind = KindOfLine(text, *start, *end);
            }
            holds = kind != kNotUtf8 && HoldsIgnoringCase(m, scan, *start, *end, kind) &&
                    (kind != kNotToldYet || IsUtf8WithHighBytes(text, *start, *end));
        } else {
            holds = IsUtf8WithHighBytes(text, *start, *end);
        }
        if (holds) {
            return true;
        }
        if (m->stopped) {
            return false;
        }
        from = NextLineStart(text, *end);
    }
    return false;
}
