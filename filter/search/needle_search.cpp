// The needle search.

#include "filter/search/needle_search.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "filter/search/avx2.h"

#if defined(QUORVANE_AVX2)
#include <immintrin.h>
#endif

namespace {

inline unsigned char Fold(const NeedleSearch* s, unsigned char c)
{
    return s->ignoreCase ? s->fold[c] : c;
}

// How many of the needle's first bytes stand at b (folded when ignoring
// case): its length when the whole needle does.
uint32_t BytesMatched(const NeedleSearch* s, const unsigned char* b)
{
    const unsigned char* n = s->needle;
    uint32_t k = 0;
    if (s->ignoreCase) {
        const unsigned char* fold = s->fold;
        while (k < s->length && fold[b[k]] == fold[n[k]]) {
            ++k;
        }
        return k;
    }
    while (k < s->length && b[k] == n[k]) {
        ++k;
    }
    return k;
}

// What checking the candidates may cost before the search goes on by the
// needle's borders: a few times the bytes scanned, and a little more.
struct CheckBudget {
    uint64_t start;   // where the search began
    uint64_t spent;   // bytes compared at candidates
    bool exceeded;
};

// Checks a candidate: true when the whole needle stands there. Counts what
// it cost; once the cost passes the budget, exceeded is set (the caller
// hands over to the border search from this candidate on).
inline bool CheckCandidate(const NeedleSearch* s, const unsigned char* b, uint64_t at, CheckBudget* budget)
{
    uint32_t k = BytesMatched(s, b + at);
    if (k == s->length) {
        return true;
    }
    budget->spent += k + 1;
    budget->exceeded = budget->spent > 4 * (at - budget->start) + 4096;
    return false;
}

// What the candidates of one block came to.
enum BlockVerdict { kNoneHolds, kFound, kGaveUp };

// Checks a block's candidates in order, one bit each of mask from i on:
// kFound with *at where the whole needle stands, kGaveUp with *at at the
// candidate where the checking budget ran out, kNoneHolds otherwise.
inline BlockVerdict CheckBlock(const NeedleSearch* s, const unsigned char* b, uint64_t i, uint64_t mask,
                               CheckBudget* budget, uint64_t* at)
{
    if (s->unitSize == 2) {
        mask &= (i & 1) != 0 ? 0xAAAAAAAAAAAAAAAAull : 0x5555555555555555ull;
    }
    for (; mask != 0; mask &= mask - 1) {
        *at = i + static_cast<uint64_t>(__builtin_ctzll(mask));
        if (CheckCandidate(s, b, *at, budget)) {
            return kFound;
        }
        if (budget->exceeded) {
            return kGaveUp;
        }
    }
    return kNoneHolds;
}

// First byte at or after from, before size, that folds to the needle's one
// value (kOfRun) or does not (!kOfRun), or size.
template <bool kOfRun>
uint64_t FindRunEdge(const NeedleSearch* s, const unsigned char* b, uint64_t from, uint64_t size)
{
    uint64_t i = from;
#if defined(__SSE2__)
    const __m128i v1 = _mm_set1_epi8(static_cast<char>(s->probe1Bytes[0]));
    const __m128i v2 = _mm_set1_epi8(static_cast<char>(s->probe1Bytes[1]));
    while (i + 16 <= size) {
        __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
        unsigned same = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(x, v1), _mm_cmpeq_epi8(x, v2))));
        const unsigned edge = kOfRun ? same : ~same & 0xFFFFu;
        if (edge != 0) {
            return i + static_cast<uint64_t>(__builtin_ctz(edge));
        }
        i += 16;
    }
#endif
    const unsigned char value = Fold(s, s->needle[0]);
    while (i < size && (Fold(s, b[i]) == value) != kOfRun) {
        ++i;
    }
    return i;
}

// A needle of one byte repeated: the first run of it at least the needle's
// length, at or after from. Each byte is looked at once or twice: the
// bytes between runs by one vector scan, those of a run by another.
uint64_t FindRun(const NeedleSearch* s, const unsigned char* b, uint64_t from, uint64_t size)
{
    uint64_t runStart = FindRunEdge<true>(s, b, from, size);
    while (runStart < size && size - runStart >= s->length) {
        const uint64_t runEnd = FindRunEdge<false>(s, b, runStart, size);
        const uint64_t at = runStart + (runStart & (s->unitSize - 1));   // the first place a match may stand
        if (runEnd >= at && runEnd - at >= s->length) {
            return at;
        }
        runStart = FindRunEdge<true>(s, b, runEnd, size);
    }
    return size;
}

// The border search (Knuth, Morris, Pratt) from from on: each byte of the
// text is looked at a bounded number of times.
uint64_t FindByBorders(const NeedleSearch* s, const unsigned char* b, uint64_t from, uint64_t size)
{
    const uint32_t n = s->length;
    uint32_t k = 0;   // needle bytes matched so far
    for (uint64_t i = from; i < size; ++i) {
        unsigned char c = Fold(s, b[i]);
        while (k > 0 && Fold(s, s->needle[k]) != c) {
            k = s->border[k - 1];
        }
        if (Fold(s, s->needle[k]) == c) {
            ++k;
        }
        if (k == n && ((i + 1 - n) & (s->unitSize - 1)) == 0) {
            return i + 1 - n;
        }
        if (k == n) {
            k = s->border[n - 1];   // between two units: on from its border
        }
    }
    return size;
}

// A rough rank of how often a byte shows up in text (higher: more common),
// to pick the needle's two rarest bytes for the vector scan.
int Commonness(unsigned char c)
{
    if (c == 0) return 110;   // half of every ASCII character in UTF-16
    if (c == ' ') return 100;
    if (c == 'e' || c == 't' || c == 'a' || c == 'o' || c == 'i' || c == 'n') return 90;
    if (c >= 'a' && c <= 'z') return 70;
    if (c >= '0' && c <= '9') return 60;
    if (c == ':' || c == '.' || c == '-' || c == '/' || c == '=' || c == ',') return 55;
    if (c >= 0x80) return 40;
    if (c >= 'A' && c <= 'Z') return 30;
    return 20;
}

// Collects the bytes that fold to the same value as the needle byte at k.
// Returns how many there are (0 when more than two).
int ProbeBytes(const NeedleSearch* s, uint32_t k, unsigned char out[2])
{
    unsigned char target = s->needle[k];
    if (!s->ignoreCase) {
        out[0] = out[1] = target;
        return 1;
    }
    int count = 0;
    unsigned char folded = s->fold[target];
    for (int c = 0; c < 256; ++c) {
        if (s->fold[c] == folded) {
            if (count == 2) {
                return 0;
            }
            out[count++] = static_cast<unsigned char>(c);
        }
    }
    if (count == 1) {
        out[1] = out[0];
    }
    return count;
}

#if defined(QUORVANE_AVX2)
// Where, of 32 candidates, both probes hold one of their bytes (a1 or a2 at
// x, c1 or c2 at y): all ones there. Exact: a2 and c2 are not looked at.
template <bool Exact>
QUORVANE_AVX2_TARGET inline __m256i BothProbesAvx2(const unsigned char* x, const unsigned char* y, __m256i a1,
                                                   __m256i a2, __m256i c1, __m256i c2)
{
    __m256i vx = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x));
    __m256i vy = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(y));
    __m256i mx = _mm256_cmpeq_epi8(vx, a1);
    __m256i my = _mm256_cmpeq_epi8(vy, c1);
    if (!Exact) {
        mx = _mm256_or_si256(mx, _mm256_cmpeq_epi8(vx, a2));
        my = _mm256_or_si256(my, _mm256_cmpeq_epi8(vy, c2));
    }
    return _mm256_and_si256(mx, my);
}

// The vector scan 32 candidates at a time: the first position in
// [*from, last] where the whole needle stands, or size; *from is left where
// fewer than 32 candidates remain, for the narrower scan to go on from.
// Exact: each probe has one byte value (no case to ignore) and takes one
// comparison.
template <bool Exact>
QUORVANE_AVX2_TARGET uint64_t FindProbesAvx2(const NeedleSearch* s, const unsigned char* b, uint64_t* from,
                                             uint64_t last, uint64_t size, CheckBudget* budget)
{
    const __m256i a1 = _mm256_set1_epi8(static_cast<char>(s->probe1Bytes[0]));
    const __m256i a2 = _mm256_set1_epi8(static_cast<char>(s->probe1Bytes[1]));
    const __m256i c1 = _mm256_set1_epi8(static_cast<char>(s->probe2Bytes[0]));
    const __m256i c2 = _mm256_set1_epi8(static_cast<char>(s->probe2Bytes[1]));
    const unsigned char* x0 = b + s->probe1;
    const unsigned char* y0 = b + s->probe2;
    uint64_t i = *from;
    // Two vectors a round, one branch for both.
    while (i + 63 <= last) {
        __m256i both = BothProbesAvx2<Exact>(x0 + i, y0 + i, a1, a2, c1, c2);
        __m256i both2 = BothProbesAvx2<Exact>(x0 + i + 32, y0 + i + 32, a1, a2, c1, c2);
        if (_mm256_testz_si256(_mm256_or_si256(both, both2), _mm256_or_si256(both, both2))) {
            i += 64;
            continue;
        }
        uint64_t mask = static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(both))) |
                        (static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(both2))) << 32);
        uint64_t at = size;
        BlockVerdict verdict = CheckBlock(s, b, i, mask, budget, &at);
        if (verdict != kNoneHolds) {
            *from = verdict == kFound ? i : at;
            return verdict == kFound ? at : size;
        }
        i += 64;
    }
    while (i + 31 <= last) {
        uint64_t mask =
            static_cast<uint32_t>(_mm256_movemask_epi8(BothProbesAvx2<Exact>(x0 + i, y0 + i, a1, a2, c1, c2)));
        uint64_t at = size;
        BlockVerdict verdict = CheckBlock(s, b, i, mask, budget, &at);
        if (verdict != kNoneHolds) {
            *from = verdict == kFound ? i : at;
            return verdict == kFound ? at : size;
        }
        i += 32;
    }
    *from = i;
    return size;
}
#endif

#if defined(__SSE2__)
// How far the narrow scan goes before a search hands over to the AVX2 one.
const uint64_t kNarrowFirst = 64;

// The vector scan 16 candidates at a time, from *i while all 16 are at or
// before limit: true, with *at, where the whole needle stands; false with *i
// where it stopped. Exact as for the AVX2 scan.
template <bool Exact>
inline bool FindProbesNarrow(const NeedleSearch* s, const unsigned char* b, uint64_t* from, uint64_t limit,
                             uint64_t* at, CheckBudget* budget)
{
    const __m128i a1 = _mm_set1_epi8(static_cast<char>(s->probe1Bytes[0]));
    const __m128i a2 = _mm_set1_epi8(static_cast<char>(s->probe1Bytes[1]));
    const __m128i c1 = _mm_set1_epi8(static_cast<char>(s->probe2Bytes[0]));
    const __m128i c2 = _mm_set1_epi8(static_cast<char>(s->probe2Bytes[1]));
    const unsigned char* x0 = b + s->probe1;
    const unsigned char* y0 = b + s->probe2;
    uint64_t i = *from;
    // Candidates i .. i + 15 must all fit, so the loads stay in the text.
    while (i + 15 <= limit) {
        __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(x0 + i));
        __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(y0 + i));
        __m128i mx = _mm_cmpeq_epi8(x, a1);
        __m128i my = _mm_cmpeq_epi8(y, c1);
        if (!Exact) {
            mx = _mm_or_si128(mx, _mm_cmpeq_epi8(x, a2));
            my = _mm_or_si128(my, _mm_cmpeq_epi8(y, c2));
        }
        uint64_t mask = static_cast<uint32_t>(_mm_movemask_epi8(_mm_and_si128(mx, my)));
        uint64_t candidate = 0;
        BlockVerdict verdict = CheckBlock(s, b, i, mask, budget, &candidate);
        if (verdict != kNoneHolds) {
            *from = verdict == kFound ? i : candidate;
            if (verdict == kFound) {
                *at = candidate;
            }
            return verdict == kFound;
        }
        i += 16;
    }
    *from = i;
    return false;
}
#endif

// The needle's borders, folded: for each start of it, the longest proper
// start that is also its end.
void SetBorders(NeedleSearch* s)
{
    s->border[0] = 0;
    for (uint32_t k = 1, b = 0; k < s->length && k < kNeedleSearchMost; ++k) {
        while (b > 0 && Fold(s, s->needle[k]) != Fold(s, s->needle[b])) {
            b = s->border[b - 1];
        }
        if (Fold(s, s->needle[k]) == Fold(s, s->needle[b])) {
            ++b;
        }
        s->border[k] = static_cast<uint16_t>(b);
    }
}

}  // namespace

void NeedleSearchInit(NeedleSearch* s, const char* needle, bool ignoreCase, const TextRules* rules)
{
    uint32_t length = 0;
    while (needle[length] != 0) {
        ++length;
    }
    NeedleSearchInitBytes(s, reinterpret_cast<const unsigned char*>(needle), length, ignoreCase, rules->fold);
}

namespace {

// Of the pairs of positions whose bytes may be probes (probes) and differ,
// one as rare as any (Commonness), and of those the nearest two not side by
// side: *first the rarer of the two. *second is left as it is when there is
// no such pair.
void ChooseProbePair(const NeedleSearch* s, const bool* probes, int* first, int* second)
{
    int best1 = *first;
    int best2 = *second;
    uint16_t nonzero[kNeedleSearchMost + 1] = {};   // the needle's nonzero bytes before each
    for (uint32_t k = 0; k < s->length && k < kNeedleSearchMost; ++k) {
        nonzero[k + 1] = static_cast<uint16_t>(nonzero[k] + (s->needle[k] != 0 ? 1 : 0));
    }
    int bestRank = 0;
    uint32_t bestApart = 0;
    for (uint32_t k1 = 0; k1 < s->length && k1 < kNeedleSearchMost; ++k1) {
        for (uint32_t k2 = k1 + 1; probes[k1] && k2 < s->length && k2 < kNeedleSearchMost; ++k2) {
            if (!probes[k2] || Fold(s, s->needle[k2]) == Fold(s, s->needle[k1])) {
                continue;
            }
            const int rank = Commonness(s->needle[k1]) + Commonness(s->needle[k2]);
            // Side by side is worst; then the nearer the better, as the
            // two stand more often in one word. A zero byte between them
            // (the other half of a UTF-16 unit) keeps no letters apart.
            const uint32_t between = nonzero[k2] - nonzero[k1 + 1];
            const uint32_t apart = between > 0 ? kNeedleSearchMost - between : 0;
            if (best2 < 0 || rank < bestRank || (rank == bestRank && apart > bestApart)) {
                const bool rarerFirst = Commonness(s->needle[k1]) <= Commonness(s->needle[k2]);
                best1 = static_cast<int>(rarerFirst ? k1 : k2);
                best2 = static_cast<int>(rarerFirst ? k2 : k1);
                bestRank = rank;
                bestApart = apart;
            }
        }
    }
    *first = best1;
    *second = best2;
}

}  // namespace

void NeedleSearchInitBytes(NeedleSearch* s, const unsigned char* needle, uint32_t length, bool ignoreCase,
                           const unsigned char* fold, uint32_t unitSize)
{
    *s = NeedleSearch{};   // no vector search, not uniform, until told below
    s->unitSize = unitSize;
    s->needle = needle;
    s->length = length;
    s->ignoreCase = ignoreCase;
    s->fold = fold;
    s->avx2 = ProcessorHasAvx2();

    SetBorders(s);

    // Two bytes of different values, as rare as any two: a run of one byte
    // in the text then makes no position a candidate unless the needle is
    // all that byte. Of pairs as rare, two not side by side: letters next
    // to each other go together in words far more often than letters apart
    // ("er" of "error" stands in a log ten times as often as "error", "e?r"
    // two and a half times). The fallback's two probes of the same value
    // stand apart as far as they can.
    int best1 = -1;
    int best2 = -1;
    unsigned char bytes[2];
    bool probes[kNeedleSearchMost] = {};
    for (uint32_t k = 0; k < s->length && k < kNeedleSearchMost; ++k) {
        probes[k] = ProbeBytes(s, k, bytes) != 0;
        if (probes[k] && (best1 < 0 || Commonness(s->needle[k]) < Commonness(s->needle[best1]))) {
            best1 = static_cast<int>(k);
        }
    }
    if (best1 < 0) {
        return;
    }
    ChooseProbePair(s, probes, &best1, &best2);
    const unsigned char value1 = Fold(s, s->needle[best1]);
    s->uniform = true;
    for (uint32_t k = 0; k < s->length; ++k) {
        s->uniform = s->uniform && Fold(s, s->needle[k]) == value1;
    }
    if (best2 < 0) {
        best2 = best1 == 0 ? static_cast<int>(s->length - 1) : 0;
        if (ProbeBytes(s, static_cast<uint32_t>(best2), bytes) == 0) {
            best2 = best1;
        }
    }
    s->probe1 = static_cast<uint32_t>(best1);
    s->probe2 = static_cast<uint32_t>(best2);
    ProbeBytes(s, s->probe1, s->probe1Bytes);
    ProbeBytes(s, s->probe2, s->probe2Bytes);
    s->vectorSearch = true;
}

uint64_t FindNeedleAtCharacters(const NeedleSearch* s, const char* text, uint64_t from, uint64_t size,
                                const unsigned char* leadByte)
{
    const uint32_t n = s->length;
    if (n == 0 || n >= kNeedleSearchMost) {
        return size;
    }
    // Whether each of the last 1024 positions starts a character, by bits.
    uint64_t starts[16] = {};
    const unsigned char* b = reinterpret_cast<const unsigned char*>(text);
    bool start = true;
    uint32_t k = 0;   // needle bytes matched so far
    for (uint64_t i = from; i < size; ++i) {
        const uint64_t bit = 1ull << (i & 63);
        starts[(i >> 6) & 15] = start ? starts[(i >> 6) & 15] | bit : starts[(i >> 6) & 15] & ~bit;
        start = !start || !leadByte[b[i]];
        const unsigned char c = Fold(s, b[i]);
        while (k > 0 && Fold(s, s->needle[k]) != c) {
            k = s->border[k - 1];
        }
        if (Fold(s, s->needle[k]) == c) {
            ++k;
        }
        if (k == n) {
            const uint64_t at = i + 1 - n;
            if ((starts[(at >> 6) & 15] >> (at & 63) & 1) != 0) {
                return at;
            }
            k = s->border[n - 1];
        }
    }
    return size;
}

uint64_t FindNeedle(const NeedleSearch* s, const char* text, uint64_t from, uint64_t size)
{
    const uint64_t n = s->length;
    if (n == 0 || n > size || from > size - n) {
        return size;
    }
    const unsigned char* b = reinterpret_cast<const unsigned char*>(text);
    const uint64_t last = size - n;   // last position a whole needle fits at
    uint64_t i = from;
    if (s->uniform && n > 1) {
        return FindRun(s, b, from, size);
    }
    CheckBudget budget = {from, 0, false};
#if defined(__SSE2__)
    if (s->vectorSearch) {
        const bool exact = s->probe1Bytes[0] == s->probe1Bytes[1] && s->probe2Bytes[0] == s->probe2Bytes[1];
        // A needle found in almost every line is found by the narrow scan
        // within its first blocks; only a search that goes on longer pays
        // for setting up the AVX2 one.
        uint64_t at = size;
        uint64_t near = s->avx2 && last - i > kNarrowFirst ? i + kNarrowFirst : last;
        if (exact ? FindProbesNarrow<true>(s, b, &i, near, &at, &budget)
                  : FindProbesNarrow<false>(s, b, &i, near, &at, &budget)) {
            return at;
        }
#if defined(QUORVANE_AVX2)
        if (s->avx2 && !budget.exceeded) {
            at = exact ? FindProbesAvx2<true>(s, b, &i, last, size, &budget)
                       : FindProbesAvx2<false>(s, b, &i, last, size, &budget);
            if (at < size) {
                return at;
            }
        }
#endif
        if (!budget.exceeded && (exact ? FindProbesNarrow<true>(s, b, &i, last, &at, &budget)
                                       : FindProbesNarrow<false>(s, b, &i, last, &at, &budget))) {
            return at;
        }
    }
#endif
    const bool borders = n < kNeedleSearchMost;
    if (budget.exceeded && borders) {
        return FindByBorders(s, b, i, size);
    }
    const unsigned char first = Fold(s, s->needle[0]);
    for (; i <= last; ++i) {
        if (Fold(s, b[i]) == first && (i & (s->unitSize - 1)) == 0) {
            if (CheckCandidate(s, b, i, &budget)) {
                return i;
            }
            if (budget.exceeded && borders) {
                return FindByBorders(s, b, i, size);
            }
        }
    }
    return size;
}
