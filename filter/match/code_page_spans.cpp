// The spans of a code-page line the platform must judge: found, settled,
// blocked or asked.

#include "filter/match/code_page_spans.h"

#include "filter/judge/segment_walk.h"
#include "filter/judge/wide_judge.h"
#include "filter/search/avx2.h"
#include "filter/search/line_ends.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(QUORVANE_AVX2)
#include <immintrin.h>
#endif

namespace {

// How often long work in one line looks at the stop flag.
const uint32_t kStopCheckSteps = 4096;

}  // namespace

// True, and the matcher marked stopped, when the stop flag is raised.
bool StopSeen(LineMatcher* m)
{
    if (StopRaised(m->stop)) {
        m->stopped = true;
    }
    return m->stopped;
}

#if defined(QUORVANE_AVX2)
namespace {

// The 32 bytes of v that may be neither plain nor a line end, as
// FindOtherByte tells 16 below.
QUORVANE_AVX2_TARGET inline uint32_t MaybeOtherBytesAvx2(__m256i v, __m256i tab)
{
    const __m256i usual = _mm256_or_si256(
        _mm256_or_si256(_mm256_cmpeq_epi8(v, _mm256_set1_epi8('\r')), _mm256_cmpeq_epi8(v, _mm256_set1_epi8('\n'))),
        _mm256_or_si256(_mm256_cmpeq_epi8(v, _mm256_setzero_si256()), _mm256_cmpeq_epi8(v, tab)));
    const __m256i other =
        _mm256_or_si256(_mm256_cmpgt_epi8(_mm256_set1_epi8(0x20), v), _mm256_cmpeq_epi8(v, _mm256_set1_epi8(0x7F)));
    return static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_andnot_si256(usual, other)));
}

// FindOtherByte 64 bytes at a time, for the long stretches of lines a log
// holds between two with other bytes: true with *at at the first other
// byte; false with *at where fewer than 64 bytes are left before to.
QUORVANE_AVX2_TARGET bool FindOtherByteAvx2(const unsigned char* plain, const unsigned char* b, uint64_t* at,
                                            uint64_t to)
{
    const __m256i tab = _mm256_set1_epi8(plain[static_cast<unsigned char>('\t')] ? '\t' : 0);
    uint64_t i = *at;
    for (; i + 64 <= to; i += 64) {
        const uint32_t low = MaybeOtherBytesAvx2(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i)), tab);
        const uint32_t high =
            MaybeOtherBytesAvx2(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i + 32)), tab);
        for (uint64_t mask = low | static_cast<uint64_t>(high) << 32; mask != 0; mask &= mask - 1) {
            const uint64_t k = i + static_cast<uint64_t>(__builtin_ctzll(mask));
            if (!plain[b[k]] && !IsLineEnd(static_cast<char>(b[k]))) {
                *at = k;
                return true;
            }
        }
    }
    *at = i;
    return false;
}

}  // namespace
#endif

#if defined(__SSE2__)
namespace {

// The first byte of the 16 at b + i that is neither plain nor a line end
// (where the plain bytes are printable ASCII and maybe the tab), as an
// offset from i; 16 for none.
inline uint32_t FirstOtherIn16(const unsigned char* plain, const unsigned char* b, uint64_t i)
{
    // Signed, bytes 0x80-0xFF are below 0x20 too. Line ends, and the tab
    // where it is plain, are left out at once: nearly every block holds some.
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
    const __m128i tab = _mm_set1_epi8(plain[static_cast<unsigned char>('\t')] ? '\t' : 0);
    const __m128i usual = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\r')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\n'))),
        _mm_or_si128(_mm_cmpeq_epi8(v, _mm_setzero_si128()), _mm_cmpeq_epi8(v, tab)));
    const __m128i other = _mm_or_si128(_mm_cmplt_epi8(v, _mm_set1_epi8(0x20)), _mm_cmpeq_epi8(v, _mm_set1_epi8(0x7F)));
    for (unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_andnot_si128(usual, other))); mask != 0;
         mask &= mask - 1) {
        const uint32_t k = static_cast<uint32_t>(__builtin_ctz(mask));
        if (!plain[b[i + k]] && !IsLineEnd(static_cast<char>(b[i + k]))) {
            return k;
        }
    }
    return 16;
}

}  // namespace
#endif

// First byte in [from, to) that is neither plain nor a line end, or to.
uint64_t FindOtherByte(const LineMatcher* m, const char* text, uint64_t from, uint64_t to)
{
    const unsigned char* b = reinterpret_cast<const unsigned char*>(text);
    const unsigned char* plain = m->rules->plain;
    uint64_t i = from;
#if defined(__SSE2__)
    if (m->printablePlain) {
        // The first 16 bytes by themselves: in short lines the next one is
        // near.
        if (i + 16 <= to) {
            const uint32_t k = FirstOtherIn16(plain, b, i);
            if (k < 16) {
                return i + k;
            }
            i += 16;
        }
#if defined(QUORVANE_AVX2)
        if (m->search.avx2 && to - i >= 64 && FindOtherByteAvx2(plain, b, &i, to)) {
            return i;
        }
#endif
        for (; i + 16 <= to; i += 16) {
            const uint32_t k = FirstOtherIn16(plain, b, i);
            if (k < 16) {
                return i + k;
            }
        }
    }
#endif
    for (; i < to; ++i) {
        if (!plain[b[i]] && !IsLineEnd(text[i])) {
            return i;
        }
    }
    return to;
}

// Asks the platform's search whether text[start, end) holds the needle.
bool AskWhetherHolds(const LineMatcher* m, char* text, uint64_t start, uint64_t end)
{
    char saved = text[end];
    text[end] = 0;
    bool holds = PlatformLineContains(text + start, reinterpret_cast<const char*>(m->search.needle),
                                      m->search.ignoreCase);
    text[end] = saved;
    return holds;
}

namespace {

// Whether the needle-sized span at text[at] holds the needle: the cache's
// verdict on the same bytes, or the platform's, then kept.
bool SpanHoldsNeedle(LineMatcher* m, char* text, uint64_t at)
{
    const unsigned char* span = reinterpret_cast<const unsigned char*>(text) + at;
    if (m->cache != nullptr) {
        int known = JudgeCacheFind(m->cache, span);
        if (known >= 0) {
            return known == 1;
        }
    }
    bool verdict = AskWhetherHolds(m, text, at, at + m->search.length);
    if (m->cache != nullptr) {
        JudgeCacheKeep(m->cache, span, verdict);
    }
    return verdict;
}

// True when the character at at, in a line that ends at end, stands alone:
// none after it may join it (a pair might).
inline bool StandsAlone(const LineMatcher* m, const unsigned char* b, uint64_t at, uint64_t end)
{
    return at + 1 >= end || !(m->rules->leadByte[b[at + 1]] || m->rules->joinsPrevious[b[at + 1]]);
}

inline unsigned PairBit(const unsigned char* bits, unsigned pair)
{
    return bits[pair >> 3] >> (pair & 7) & 1u;
}

// Where the walk over a line's spans stands: the span [p, p + n) and what
// the characters looked at hold, each as one past the start of the last
// such character (0 for none).
struct SpanWalk {
    uint64_t p;           // the span's start, a character boundary
    uint64_t ahead;       // the next character not yet looked at
    uint64_t other;       // for the platform to judge
    uint64_t block;       // blocks the needle
    uint64_t afterBlock;  // where the character after the last blocking one starts
    uint64_t shortened;   // a short pair, when it settles the needle
};

// Passes over the spans that end before the next other byte, which hold
// plain characters alone; false when no span is left in the line.
bool PassPlainBytes(const LineMatcher* m, const char* text, uint64_t end, SpanWalk* w)
{
    const unsigned char* b = reinterpret_cast<const unsigned char*>(text);
    const uint64_t n = m->search.length;
    const uint64_t next = FindOtherByte(m, text, w->ahead, end);
    if (next >= end) {
        return false;
    }
    if (next + 1 > w->p + n) {
        const uint64_t to = next + 1 - n;
        while (w->p < w->ahead && w->p < to) {
            w->p += (m->rules->leadByte[b[w->p]] && w->p + 1 < end) ? 2 : 1;
        }
        w->p = w->p < to ? to : w->p;
        w->ahead = w->ahead < w->p ? w->p : w->ahead;
    }
    return w->p + n <= end;
}

// Looks at the characters up to the span's end; a double-byte one that the
// end cuts in two is left for the next spans.
void LookToSpanEnd(const LineMatcher* m, const unsigned char* b, uint64_t end, SpanWalk* w)
{
    const unsigned char* lead = m->rules->leadByte;
    const unsigned char* plain = m->rules->plain;
    const uint64_t spanEnd = w->p + m->search.length;
    while (w->ahead < spanEnd) {
        // Without branches: lead and other bytes follow each other in no
        // order a branch could foresee.
        const uint64_t at = w->ahead;
        const unsigned c = b[at];
        const unsigned pair = lead[c] & static_cast<unsigned>(at + 1 < end);
        if (at + 1 + pair > spanEnd) {
            break;
        }
        const unsigned code = c << 8 | b[at + 1];
        const unsigned single = pair ^ 1u;
        const unsigned blocks = (pair & PairBit(m->blockingPair, code)) |
                                (single & m->unrelated[c] & static_cast<unsigned>(StandsAlone(m, b, at, end)));
        const unsigned isOther = pair ? (blocks | PairBit(m->settledPair, code)) ^ 1u : plain[c] ^ 1u;
        w->other = isOther ? at + 1 : w->other;
        w->block = blocks ? at + 1 : w->block;
        w->afterBlock = blocks ? at + 1 + pair : w->afterBlock;
        w->shortened = pair & m->shortens & PairBit(m->rules->shortPair, code) ? at + 1 : w->shortened;
        w->ahead = at + 1 + pair;
    }
}

// With a short-settled needle, the span ending in the first half of the
// pair at ahead looked at, and no other character before: the pairs from
// there on that block the needle or are short, each read alone as at most
// one character by its lead, leave every span that ends among them closed
// (each takes in whole the one before its end, n being 3 or more). The walk
// moves on to the last such span.
void PassSettledPairs(const LineMatcher* m, const unsigned char* b, uint64_t end, SpanWalk* w)
{
    const uint64_t n = m->search.length;
    const uint64_t first = w->ahead;
    uint64_t block = w->block;
    uint64_t afterBlock = w->afterBlock;
    uint64_t shortened = w->shortened;
    uint64_t at = first;
    for (; at + 1 < end && m->rules->leadByte[b[at]] && m->rules->shortLoneLead[b[at]]; at += 2) {
        const unsigned code = static_cast<unsigned>(b[at]) << 8 | b[at + 1];
        const unsigned blocks = PairBit(m->blockingPair, code);
        const unsigned isShort = PairBit(m->rules->shortPair, code);
        if ((blocks | isShort) == 0) {
            break;
        }
        block = blocks ? at + 1 : block;
        afterBlock = blocks ? at + 2 : afterBlock;
        shortened = isShort ? at + 1 : shortened;
    }
    if (at < first + n) {
        return;   // no span to pass: the walk goes on as it was
    }
    w->p = first + (at - n - first) / 2 * 2;
    w->ahead = at;
    w->block = block;
    w->afterBlock = afterBlock;
    w->shortened = shortened;
}

// The pairs of a chain from at on (chainPair), with narrow bytes
// between two of them: where they end. Every span of n >= 3 bytes cut by one of them,
// or holding a narrow byte, takes in one of them whole.
uint64_t SettledPairsEnd(const LineMatcher* m, const unsigned char* b, uint64_t at, uint64_t end)
{
    const TextRules* rules = m->rules;
    while (at + 1 < end) {
        if (!rules->leadByte[b[at]]) {
            const bool between = rules->narrowByte[b[at]] && at + 2 < end && rules->leadByte[b[at + 1]];
            if (!between) {
                return at;
            }
            ++at;
            continue;
        }
        if (PairBit(m->chainPair, static_cast<unsigned>(b[at]) << 8 | b[at + 1]) == 0) {
            return at;
        }
        at += 2;
    }
    return at;
}

// Whether the span at p, of plain characters cut at its end by the lead
// byte of a chain, holds the needle. Where the lead byte alone reads as a
// plain one, the span reads as plain characters alone, which compare as
// their bytes do.
bool CutSpanHoldsNeedle(LineMatcher* m, char* text, uint64_t p)
{
    const unsigned char* b = reinterpret_cast<const unsigned char*>(text) + p;
    const NeedleSearch* search = &m->search;
    const uint32_t last = search->length - 1;
    const unsigned char readAs = m->rules->loneLeadPlain[b[last]];
    if (readAs == 0) {
        return SpanHoldsNeedle(m, text, p);
    }
    const unsigned char* fold = m->rules->fold;
    const bool ignoreCase = search->ignoreCase;
    auto same = [fold, ignoreCase](unsigned char x, unsigned char y) {
        return ignoreCase ? fold[x] == fold[y] : x == y;
    };
    if (!same(readAs, search->needle[last])) {
        return false;
    }
    for (uint32_t k = 0; k < last; ++k) {
        if (!same(b[k], search->needle[k])) {
            return false;
        }
    }
    return true;
}

// The verdict on a line of single characters and chains of pairs that
// block a needle of n >= 3 bytes that short pairs settle, or are short:
// every span that takes in such a pair whole is settled or blocked. Open are the spans of single
// characters alone cut at their end by the lead byte of a chain (read
// alone as at most one character), and the one that starts with a narrow
// byte right after a chain. A lead byte alone at the line's end after a
// chain is as good as its pairs. 1 holds, 0 not, -1 when the line has some
// other character: the walk over all its spans judges it.
int VerdictOnSettledLine(LineMatcher* m, char* text, uint64_t start, uint64_t end)
{
    const unsigned char* b = reinterpret_cast<const unsigned char*>(text);
    const TextRules* rules = m->rules;
    const uint64_t n = m->search.length;
    uint64_t singlesFrom = start;   // where the single characters before the next chain start
    bool narrowFirst = false;       // ... with a narrow byte
    for (;;) {
        const uint64_t s = FindOtherByte(m, text, singlesFrom + (narrowFirst ? 1 : 0), end);
        if (s < end && (!rules->leadByte[b[s]] || !rules->shortLoneLead[b[s]] || s + 1 >= end)) {
            return -1;
        }
        if (narrowFirst && singlesFrom + n <= s && SpanHoldsNeedle(m, text, singlesFrom)) {
            return 1;
        }
        if (s >= end) {
            return 0;
        }
        if (s + 1 >= singlesFrom + n && CutSpanHoldsNeedle(m, text, s + 1 - n)) {
            return 1;
        }
        if (StopSeen(m)) {
            return 0;
        }
        const uint64_t after = SettledPairsEnd(m, b, s, end);
        if (after + 1 == end && rules->leadByte[b[after]] && rules->shortLoneLead[b[after]]) {
            return 0;   // a lead byte alone ends the line, right after a pair of the chain
        }
        if (after < end && !rules->plain[b[after]] && !(rules->narrowByte[b[after]] && after > s)) {
            return -1;
        }
        singlesFrom = after;
        narrowFirst = after < end && !rules->plain[b[after]];
    }
}

// The plain bytes and the lead bytes of the 16 at b, one bit each (see
// LineMatcher::settlesAtOnce).
inline void PlainAndLeadBits(const LineMatcher* m, const unsigned char* b, uint32_t* plain, uint32_t* lead)
{
#if defined(__SSE2__)
    // Signed, after the top bit is flipped, the bytes order as unsigned.
    const __m128i flip = _mm_set1_epi8(static_cast<char>(0x80));
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b));
    const __m128i x = _mm_xor_si128(v, flip);
    const __m128i printable = _mm_and_si128(_mm_cmpgt_epi8(x, _mm_set1_epi8(static_cast<char>(0x1F ^ 0x80))),
                                            _mm_cmplt_epi8(x, _mm_set1_epi8(static_cast<char>(0x7F ^ 0x80))));
    const __m128i tab = _mm_cmpeq_epi8(v, _mm_set1_epi8(m->plainTab ? '\t' : ' '));
    const __m128i leads =
        _mm_andnot_si128(_mm_cmpgt_epi8(x, _mm_set1_epi8(static_cast<char>(m->leadLast ^ 0x80))),
                         _mm_cmpgt_epi8(x, _mm_set1_epi8(static_cast<char>((m->leadFirst - 1) ^ 0x80))));
    *plain = static_cast<uint32_t>(_mm_movemask_epi8(_mm_or_si128(printable, tab)));
    *lead = static_cast<uint32_t>(_mm_movemask_epi8(leads));
#else
    *plain = 0;
    *lead = 0;
    for (uint32_t k = 0; k < 16; ++k) {
        *plain |= static_cast<uint32_t>(m->rules->plain[b[k]] != 0) << k;
        *lead |= static_cast<uint32_t>(b[k] >= m->leadFirst && b[k] <= m->leadLast) << k;
    }
#endif
}

// True when the line [start, end) is plain characters and chains alone
// (see VerdictOnSettledLine), so that it does not hold the needle: every
// pair blocks it or is short, and every other byte that leads no pair is a
// narrow one between two pairs. Told 64 bytes at a time, no branch per byte or
// pair but the check of each pair: where the pairs start follows from the
// runs of lead bytes (a run starts where a character does, as every byte
// before it that leads no pair ends one, and holds its pairs at even
// offsets from there). False also when it is not sure: the walk tells.
bool LineSettledAtOnce(const LineMatcher* m, const unsigned char* b, uint64_t start, uint64_t end)
{
    const uint64_t kEven = 0x5555555555555555ull;
    if (end < 16) {
        return false;   // 16 bytes are read at a time, back from the line's end
    }
    uint64_t trailIn = 0;      // the step's first byte ends a pair
    uint64_t trailBefore = 0;  // the byte before the step ends a pair
    for (uint64_t at = start; at < end; at += 64) {
        const uint32_t count = end - at < 64 ? static_cast<uint32_t>(end - at) : 64;
        uint64_t plain = 0;
        uint64_t lead = 0;
        for (uint32_t k = 0; k < count; k += 16) {
            // The last bytes of the line with the 16 that end there.
            const uint32_t inside = count - k < 16 ? count - k : 16;
            uint32_t p16;
            uint32_t l16;
            PlainAndLeadBits(m, b + at + k + inside - 16, &p16, &l16);
            plain |= static_cast<uint64_t>(p16 >> (16 - inside)) << k;
            lead |= static_cast<uint64_t>(l16 >> (16 - inside)) << k;
        }
        const uint64_t runs = lead & ~trailIn;
        const uint64_t runStarts = runs & ~(runs << 1);
        const uint64_t oddRuns = (runs + (runStarts & kEven)) & runs;
        uint64_t pairs = ((runs & ~oddRuns) & kEven) | (oddRuns & ~kEven);
        const uint64_t trails = pairs << 1 | trailIn;
        const uint64_t trailsBefore = trails << 1 | trailBefore;
        if (at + count == end && (pairs >> (count - 1) & 1) != 0) {
            // A lead byte alone ends the line: as good as its pairs right
            // after one.
            if ((trailsBefore >> (count - 1) & 1) == 0) {
                return false;
            }
            pairs &= ~(1ull << (count - 1));
        }
        for (uint64_t left = pairs; left != 0; left &= left - 1) {
            const uint64_t p = at + static_cast<uint64_t>(__builtin_ctzll(left));
            if (PairBit(m->chainPair, static_cast<unsigned>(b[p]) << 8 | b[p + 1]) == 0) {
                return false;
            }
        }
        // Each other byte that leads no pair: narrow, after a pair, before
        // one, and not the line's last but one.
        const uint64_t inLine = count < 64 ? (1ull << count) - 1 : ~0ull;
        const uint64_t leadNext = count == 64 && at + 64 < end && b[at + 64] >= m->leadFirst &&
                                  b[at + 64] <= m->leadLast;
        const uint64_t leadAfter = lead >> 1 | leadNext << 63;
        const uint64_t roomAfter = end - at >= 66 ? ~0ull : end - at > 2 ? (1ull << (end - at - 2)) - 1 : 0;
        const uint64_t other = inLine & ~plain & ~lead & ~trails;
        for (uint64_t left = other; left != 0; left &= left - 1) {
            const uint32_t k = static_cast<uint32_t>(__builtin_ctzll(left));
            if (!m->rules->narrowByte[b[at + k]] || ((leadAfter & trailsBefore & roomAfter) >> k & 1) == 0) {
                return false;
            }
        }
        trailIn = pairs >> 63;
        trailBefore = trails >> 63;
    }
    return true;
}

// The line ends of the 16 bytes at b, one bit each.
inline uint32_t LineEndBits(const unsigned char* b)
{
#if defined(__SSE2__)
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b));
    return static_cast<uint32_t>(_mm_movemask_epi8(_mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\r')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\n'))),
        _mm_cmpeq_epi8(v, _mm_setzero_si128()))));
#else
    uint32_t bits = 0;
    for (uint32_t k = 0; k < 16; ++k) {
        bits |= static_cast<uint32_t>(IsLineEnd(static_cast<char>(b[k]))) << k;
    }
    return bits;
#endif
}

}  // namespace

uint64_t SettledLinesEnd(const LineMatcher* m, const char* text, uint64_t from, uint64_t to)
{
    const unsigned char* b = reinterpret_cast<const unsigned char*>(text);
    const uint64_t kEven = 0x5555555555555555ull;
    uint64_t trailIn = 0;      // the step's first byte ends a pair
    uint64_t trailBefore = 0;  // the byte before the step ends a pair
    uint64_t at = from;
    // The byte after each 64 is looked at too.
    for (; at < to && to - at >= 65; at += 64) {
        uint64_t plain = 0;
        uint64_t lead = 0;
        uint64_t lineEnd = 0;
        for (uint32_t k = 0; k < 64; k += 16) {
            uint32_t p16;
            uint32_t l16;
            PlainAndLeadBits(m, b + at + k, &p16, &l16);
            plain |= static_cast<uint64_t>(p16) << k;
            lead |= static_cast<uint64_t>(l16) << k;
            lineEnd |= static_cast<uint64_t>(LineEndBits(b + at + k)) << k;
        }
        const uint64_t leadNext = b[at + 64] >= m->leadFirst && b[at + 64] <= m->leadLast;
        const uint64_t endNext = IsLineEnd(static_cast<char>(b[at + 64]));
        // Pairs as LineSettledAtOnce finds them: a line end is no lead
        // byte, so each line's runs of them start in it.
        const uint64_t runs = lead & ~trailIn;
        const uint64_t runStarts = runs & ~(runs << 1);
        const uint64_t oddRuns = (runs + (runStarts & kEven)) & runs;
        uint64_t pairs = ((runs & ~oddRuns) & kEven) | (oddRuns & ~kEven);
        // A lead byte alone ends its line: as good as its pairs right after one.
        const uint64_t alone = pairs & (lineEnd >> 1 | endNext << 63);
        pairs &= ~alone;
        const uint64_t trails = pairs << 1 | trailIn;
        const uint64_t trailsBefore = trails << 1 | trailBefore;
        uint64_t unsure = alone & ~trailsBefore;
        for (uint64_t left = pairs; left != 0; left &= left - 1) {
            const uint32_t k = static_cast<uint32_t>(__builtin_ctzll(left));
            if (PairBit(m->chainPair, static_cast<unsigned>(b[at + k]) << 8 | b[at + k + 1]) == 0) {
                unsure |= 1ull << k;
                break;
            }
        }
        // Each other byte that leads no pair: narrow, after a pair and
        // before one. (One before a lead byte alone at its line's end is
        // not sure as that lead byte is, here or in the next 64 bytes.)
        const uint64_t leadAfter = lead >> 1 | leadNext << 63;
        const uint64_t other = ~plain & ~lead & ~trails & ~lineEnd;
        for (uint64_t left = other; left != 0; left &= left - 1) {
            const uint32_t k = static_cast<uint32_t>(__builtin_ctzll(left));
            if (!m->rules->narrowByte[b[at + k]] || ((leadAfter & trailsBefore) >> k & 1) == 0) {
                unsure |= 1ull << k;
                break;
            }
        }
        if (unsure != 0) {
            return LineStartOf(text, from, at + static_cast<uint64_t>(__builtin_ctzll(unsure)));
        }
        trailIn = pairs >> 63;
        trailBefore = trails >> 63;
    }
    return LineStartOf(text, from, at);
}

// Whether the line [start, end), in which the needle's bytes settled every
// span of plain characters, holds it by the platform's rules. The spans
// still open start on a character boundary of the line, as the platform's
// own walk does, take in some other character (or cut one in two at their
// end: the platform reads its lead byte as some other character) and hold
// whole no character that blocks the needle; each is judged by itself,
// since the platform compares the needle with just as many bytes of the
// line at each boundary. The line is walked once: plain bytes one after
// another are passed over by the vector scan, a span's end moves on character by
// character, so the cost of a line does not grow with the needle's length,
// and runs of pairs that settle every span are passed two bytes at a time.
bool OpenSpansHoldNeedle(LineMatcher* m, char* text, uint64_t start, uint64_t end)
{
    const unsigned char* b = reinterpret_cast<const unsigned char*>(text);
    const uint64_t n = m->search.length;
    if (end - start < n) {
        return false;   // no span fits
    }
    if (m->shortens && n >= 3) {
        if (m->settlesAtOnce && LineSettledAtOnce(m, b, start, end)) {
            return false;
        }
        const int verdict = VerdictOnSettledLine(m, text, start, end);
        if (verdict >= 0) {
            return verdict == 1 && !m->stopped;
        }
    }
    SpanWalk w = {start, start, 0, 0, 0, 0};
    uint32_t steps = 0;
    while (w.p + n <= end) {
        if (w.other <= w.p && w.ahead < end && m->rules->plain[b[w.ahead]] && !PassPlainBytes(m, text, end, &w)) {
            return false;
        }
        LookToSpanEnd(m, b, end, &w);
        // A lead byte cut off by the span's end is read alone as some
        // character: the span is short of the needle all the same when it
        // reads as one and a short pair stands before it.
        const bool cutSettled = m->rules->shortLoneLead[b[w.ahead]] && w.shortened > w.p;
        const bool cut = w.ahead < w.p + n && !cutSettled;
        const bool open = (w.other > w.p || cut) && w.block <= w.p;
        if (open && SpanHoldsNeedle(m, text, w.p)) {
            return true;
        }
        if ((open || ++steps % kStopCheckSteps == 0) && StopSeen(m)) {
            return false;
        }
        if (w.ahead + 1 == w.p + n && w.other <= w.p && m->shortens && n >= 3) {
            const uint64_t from = w.p;
            PassSettledPairs(m, b, end, &w);
            if (w.p != from) {
                continue;
            }
        }
        // Spans up to the blocking character all hold it: the next one to
        // look at starts right after it.
        const unsigned pair = m->rules->leadByte[b[w.p]] & static_cast<unsigned>(w.p + 1 < end);
        w.p = w.block > w.p ? w.afterBlock : w.p + 1 + pair;
    }
    return false;
}

namespace {

// Whether some span of the segment [from, to) of a line, each starting on
// a character boundary (from is one), holds the needle: the cache's verdict
// or the platform's on each.
bool SegmentSpansHold(LineMatcher* m, char* text, uint64_t from, uint64_t to)
{
    const unsigned char* b = reinterpret_cast<const unsigned char*>(text);
    for (uint64_t p = from; p + m->search.length <= to; p += (m->rules->leadByte[b[p]] && p + 1 < to) ? 2 : 1) {
        if (SpanHoldsNeedle(m, text, p)) {
            return true;
        }
        if (StopSeen(m)) {
            return false;
        }
    }
    return false;
}

#if defined(QUORVANE_AVX2)
// Each kSegment… kind of the 64 bytes at b, as bits.
QUORVANE_AVX2_TARGET void SegmentKindsAvx2(const ByteSets* sets, const unsigned char* b, uint64_t kinds[kByteSetCount])
{
    uint32_t first[kByteSetCount];
    uint32_t second[kByteSetCount];
    ByteSetsOf32(sets, b, first);
    ByteSetsOf32(sets, b + 32, second);
    for (uint32_t s = 0; s < kByteSetCount; ++s) {
        kinds[s] = first[s] | static_cast<uint64_t>(second[s]) << 32;
    }
}
#endif

// The segments of a code-page text without lead bytes, for a needle made
// of letters (segment_walk.h): the barriers are the plain characters the
// needle is not made of with no character after them that may join them,
// and the line ends; the other characters, the bytes that are not plain.
// A byte is a position, and one character.
struct CodePageSegments {
    static const uint64_t kUnitSize = 1;
    LineMatcher* m;
    char* text;
    uint64_t size;
    uint64_t length;   // the needle's, in bytes
    bool Stopped() const { return m->stopped; }
    SegmentBits Bits(uint64_t at, uint32_t count) const
    {
        const unsigned char* b = reinterpret_cast<const unsigned char*>(text) + at;
        // The byte after the 64 is read too: near the text's end, from a
        // copy, where none follows.
        unsigned char copy[65] = {};
        if (size - at < 65) {
            for (uint64_t k = 0; at + k < size; ++k) {
                copy[k] = b[k];
            }
            b = copy;
        }
        uint64_t lineEnd = 0;
        uint64_t unrelated = 0;
        uint64_t other = 0;
        uint64_t joins = 0;
#if defined(QUORVANE_AVX2)
        if (m->search.avx2) {
            uint64_t kinds[kByteSetCount];
            SegmentKindsAvx2(&m->segmentSets, b, kinds);
            const uint64_t inside = count == 64 ? ~0ull : (1ull << count) - 1;
            lineEnd = kinds[0] & inside;
            unrelated = kinds[1] & inside;
            other = kinds[2] & inside;
            joins = kinds[3] & inside;
        }
#endif
        for (uint32_t k = 0; k < count && !m->search.avx2; ++k) {
            const uint64_t kind = m->segmentKind[b[k]];
            lineEnd |= (kind & kSegmentLineEnd) << k;
            unrelated |= (kind >> 1 & 1) << k;
            other |= (kind >> 2 & 1) << k;
            joins |= (kind >> 3 & 1) << k;
        }
        const uint64_t joinsNext = count == 64 && at + 64 < size && (m->segmentKind[b[64]] & kSegmentJoins) != 0;
        SegmentBits bits{};
        bits.barrier = lineEnd | (unrelated & ~(joins >> 1 | joinsNext << 63));
        bits.other = other;
        return bits;
    }
    static uint64_t Units(const SegmentBits&, uint32_t first, uint32_t last) { return last - first; }
    uint64_t SkipTo(uint64_t at, uint64_t limit) const { return FindOtherByte(m, text, at, limit); }
    bool PlainBarrierBefore(uint64_t at) const
    {
        const unsigned char* b = reinterpret_cast<const unsigned char*>(text);
        const unsigned kind = m->segmentKind[b[at - 1]];
        return (kind & kSegmentLineEnd) != 0 ||
               ((kind & kSegmentUnrelated) != 0 && (m->segmentKind[b[at]] & kSegmentJoins) == 0);
    }
    // A short segment is asked whole, as one text: the platform compares
    // the needle with as many bytes at each of its boundaries as it does
    // with each span. Its verdict is kept as a text's.
    bool Holds(uint64_t first, uint64_t last) const
    {
        if (m->cache == nullptr || last - first > kRecentBytes) {
            return SegmentSpansHold(m, text, first, last);
        }
        const unsigned char* b = reinterpret_cast<const unsigned char*>(text) + first;
        const int known = JudgeCacheFindText(m->cache, b, last - first, kUnitsCodePage);
        if (known >= 0) {
            return known == 1;
        }
        const bool verdict = AskWhetherHolds(m, text, first, last);
        JudgeCacheKeepText(m->cache, b, last - first, kUnitsCodePage, verdict);
        StopSeen(m);   // the walk ends when the stop was seen
        return verdict;
    }
};

}  // namespace

bool NextSegmentLineHoldingNeedle(LineMatcher* m, char* text, uint64_t size, uint64_t from, uint64_t to,
                                  uint64_t* start, uint64_t* end)
{
    const CodePageSegments segments = {m, text, size, m->search.length};
    const uint64_t at = NextSegmentHolding(segments, from, to);
    if (at >= to || m->stopped) {
        return false;
    }
    *start = LineStartOf(text, from, at);
    *end = FindLineEnd(text, size, at);
    return true;
}

// Whether the line [start, end) holds a needle made of letters with some
// character that is not plain, by the platform's rules: only a segment
// between barriers (plain characters the needle is not made of, standing
// alone, and barrier characters) that holds a byte that is not plain is
// asked, whole: a span of plain characters alone cannot hold it either.
bool SegmentsBetweenLettersHold(LineMatcher* m, char* text, uint64_t start, uint64_t end)
{
    const unsigned char* b = reinterpret_cast<const unsigned char*>(text);
    const TextRules* rules = m->rules;
    uint64_t segment = start;
    bool other = false;
    for (uint64_t at = start;;) {
        uint32_t length = 1;
        bool barrier = at >= end;
        if (!barrier && rules->leadByte[b[at]] && at + 1 < end) {
            length = 2;
            barrier = IsBarrierPair(rules, b[at], b[at + 1]);
        } else if (!barrier) {
            barrier = m->unrelated[b[at]] && StandsAlone(m, b, at, end);
        }
        if (!barrier) {
            other = other || !rules->plain[b[at]];
            at += length;
            continue;
        }
        if (other && at - segment >= m->search.length && SegmentSpansHold(m, text, segment, at)) {
            return true;
        }
        if (at >= end || (other && StopSeen(m))) {
            return false;
        }
        at += length;
        segment = at;
        other = false;
    }
}
