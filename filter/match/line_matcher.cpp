// The matcher.

#include "filter/match/line_matcher.h"

#include "filter/pass/line_ends.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// How often long work in one line looks at the stop flag.
const uint32_t kStopCheckSteps = 4096;

// True, and the matcher marked stopped, when the stop flag is raised.
bool StopSeen(LineMatcher* m)
{
    if (StopRaised(m->stop)) {
        m->stopped = true;
    }
    return m->stopped;
}

// Whether the needle's bytes stand on a character boundary of the line
// [start, end), given the first place at or after start where they stand
// (candidate may lie beyond the line). The platform's search steps through
// a line character by character, so in a double-byte code page a match must
// start on a character boundary; the line is walked once from its start,
// for all its candidates together.
bool BytesHoldNeedle(LineMatcher* m, const NeedleSearch* search, const char* text, uint64_t size, uint64_t start,
                     uint64_t end, uint64_t candidate)
{
    if (!m->rules->hasLeadBytes) {
        return candidate + search->length <= end;
    }
    const unsigned char* b = reinterpret_cast<const unsigned char*>(text);
    const unsigned char* lead = m->rules->leadByte;
    uint64_t boundary = start;
    uint32_t steps = 0;
    while (candidate + search->length <= end) {
        while (boundary < candidate) {
            boundary += (lead[b[boundary]] && boundary + 1 < end) ? 2 : 1;
        }
        if (boundary == candidate) {
            return true;
        }
        if (++steps % kStopCheckSteps == 0 && StopSeen(m)) {
            return false;
        }
        candidate = FindNeedle(search, text, candidate + 1, size);
    }
    return false;
}

// First byte in [from, to) that is neither plain nor a line end, or to.
uint64_t FindOtherByte(const LineMatcher* m, const char* text, uint64_t from, uint64_t to)
{
    const unsigned char* b = reinterpret_cast<const unsigned char*>(text);
    const unsigned char* plain = m->rules->plain;
    uint64_t i = from;
#if defined(__SSE2__)
    if (m->printablePlain) {
        // Signed, bytes 0x80-0xFF are below 0x20 too. Line ends, and the
        // tab where it is plain, are left out at once: nearly every block
        // holds some.
        const __m128i space = _mm_set1_epi8(0x20);
        const __m128i del = _mm_set1_epi8(0x7F);
        const __m128i cr = _mm_set1_epi8('\r');
        const __m128i lf = _mm_set1_epi8('\n');
        const __m128i zero = _mm_setzero_si128();
        const __m128i tab = _mm_set1_epi8(plain[static_cast<unsigned char>('\t')] ? '\t' : 0);
        while (i + 16 <= to) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
            __m128i usual = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, lf)),
                                         _mm_or_si128(_mm_cmpeq_epi8(v, zero), _mm_cmpeq_epi8(v, tab)));
            __m128i other = _mm_or_si128(_mm_cmplt_epi8(v, space), _mm_cmpeq_epi8(v, del));
            unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_andnot_si128(usual, other)));
            while (mask != 0) {
                uint64_t at = i + static_cast<uint64_t>(__builtin_ctz(mask));
                if (!plain[b[at]] && !IsLineEnd(text[at])) {
                    return at;
                }
                mask &= mask - 1;
            }
            i += 16;
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

inline unsigned PairBit(const unsigned char* bits, unsigned pair)
{
    return bits[pair >> 3] >> (pair & 7) & 1u;
}

// Whether the line [start, end), in which the needle's bytes settled every
// span of plain characters, holds it by the platform's rules. The spans
// still open start on a character boundary of the line, as the platform's
// own walk does, take in some other character (or cut one in two at their
// end: the platform reads its lead byte as some other character) and hold
// whole no character that blocks the needle; each is judged by itself,
// since the platform compares the needle with just as many bytes of the
// line at each boundary. The line is walked once: stretches of plain bytes
// are passed over by the vector scan, and a span's end moves on character by
// character, so the cost of a line does not grow with the needle's length.
bool OpenSpansHoldNeedle(LineMatcher* m, char* text, uint64_t start, uint64_t end)
{
    const unsigned char* b = reinterpret_cast<const unsigned char*>(text);
    const unsigned char* lead = m->rules->leadByte;
    const unsigned char* plain = m->rules->plain;
    const uint64_t n = m->search.length;
    uint64_t p = start;       // the span's start
    uint64_t ahead = start;   // the next character not yet looked at
    uint64_t other = 0;       // one past the start of the last other character, 0 for none
    uint64_t block = 0;       // one past the start of the last blocking character, 0 for none
    uint64_t shortened = 0;   // one past the start of the last short pair, 0 for none
    // A needle of plain bytes has as many characters as bytes; the pairs
    // that settle it are the short ones.
    const unsigned shortens = m->caseless ? 0u : 1u;
    uint32_t steps = 0;
    while (p + n <= end) {
        if (other <= p && ahead < end && plain[b[ahead]]) {
            // Spans that end before the next other byte hold plain
            // characters alone.
            const uint64_t next = FindOtherByte(m, text, ahead, end);
            if (next >= end) {
                return false;
            }
            if (next + 1 > p + n) {
                const uint64_t to = next + 1 - n;
                while (p < ahead && p < to) {
                    p += (lead[b[p]] && p + 1 < end) ? 2 : 1;
                }
                p = p < to ? to : p;
                ahead = ahead < p ? p : ahead;
                if (p + n > end) {
                    return false;
                }
            }
        }
        while (ahead < p + n) {
            // Without branches: lead and other bytes follow each other
            // in no order a branch could foresee.
            const unsigned c = b[ahead];
            const unsigned pair = lead[c] & static_cast<unsigned>(ahead + 1 < end);
            if (ahead + 1 + pair > p + n) {
                break;   // not whole in this span: the next ones will see it
            }
            const unsigned code = c << 8 | b[ahead + 1];
            const unsigned blocks = pair & PairBit(m->blockingPair, code);
            const unsigned settled = pair & PairBit(m->settledPair, code);
            const unsigned isOther = pair ? (blocks | settled) ^ 1u : plain[c] ^ 1u;
            other = isOther ? ahead + 1 : other;
            block = blocks ? ahead + 1 : block;
            shortened = settled & shortens ? ahead + 1 : shortened;
            ahead += 1 + pair;
        }
        // A lead byte cut off by the span's end is read alone as some
        // character: the span is short of the needle all the same when it
        // reads as one and a short pair stands before it.
        const bool cut = ahead < p + n && !(m->rules->shortLoneLead[b[ahead]] && shortened > p);
        const bool open = (other > p || cut) && block <= p;
        if (open && SpanHoldsNeedle(m, text, p)) {
            return true;
        }
        if ((open || ++steps % kStopCheckSteps == 0) && StopSeen(m)) {
            return false;
        }
        // Spans up to the blocking character all hold it: the next one
        // to look at starts right after it.
        p = block > p ? block + 1 : p + 1 + (lead[b[p]] & static_cast<unsigned>(p + 1 < end));
    }
    return false;
}

// The next line in [from, to) with bytes that are not plain that holds the
// needle by the platform's rules. to starts a line or is the text's end; no
// needle's bytes stand in between.
bool NextOtherLineHoldingNeedle(LineMatcher* m, char* text, uint64_t size, uint64_t from, uint64_t to,
                              uint64_t* start, uint64_t* end)
{
    for (uint64_t i = from; i < to;) {
        uint64_t other = FindOtherByte(m, text, i, to);
        if (other >= to) {
            return false;
        }
        *start = LineStartOf(text, i, other);
        *end = FindLineEnd(text, size, other);
        if (OpenSpansHoldNeedle(m, text, *start, *end)) {
            return true;
        }
        if (m->stopped) {
            return false;
        }
        i = NextLineStart(text, *end);
    }
    return false;
}

// The next line at or after from that the platform's search, asked about
// each whole line, says holds the needle.
bool NextAskedLineHoldingNeedle(LineMatcher* m, char* text, uint64_t size, uint64_t from, uint64_t* start,
                                uint64_t* end)
{
    for (uint64_t i = from; i < size; i = NextLineStart(text, *end)) {
        *start = i;
        *end = FindLineEnd(text, size, i);
        if (*end > i && AskWhetherHolds(m, text, i, *end)) {
            return true;
        }
        if (StopSeen(m)) {
            return false;
        }
    }
    return false;
}

// The next line at or after from that holds a caseless needle: its bytes
// on a character boundary, or the platform's verdict on the spans that
// could hold it otherwise.
bool NextCaselessLineHoldingNeedle(LineMatcher* m, char* text, uint64_t size, uint64_t from, uint64_t* start,
                                   uint64_t* end)
{
    uint64_t candidate = FindNeedle(&m->exact, text, from, size);
    for (uint64_t i = from; i < size; i = NextLineStart(text, *end)) {
        *start = i;
        *end = FindLineEnd(text, size, i);
        if (candidate < i) {
            candidate = FindNeedle(&m->exact, text, i, size);
        }
        if (candidate + m->exact.length <= *end && BytesHoldNeedle(m, &m->exact, text, size, i, *end, candidate)) {
            return !m->stopped;
        }
        if (OpenSpansHoldNeedle(m, text, i, *end)) {
            return true;
        }
        if (StopSeen(m)) {
            return false;
        }
    }
    return false;
}

bool NeedleHasLineEnd(const NeedleSearch* search)
{
    for (uint32_t k = 0; k < search->length; ++k) {
        if (search->needle[k] == '\r' || search->needle[k] == '\n') {
            return true;
        }
    }
    return false;
}

bool NeedleIsPlain(const NeedleSearch* search, const TextRules* rules)
{
    for (uint32_t k = 0; k < search->length; ++k) {
        if (!rules->plain[search->needle[k]]) {
            return false;
        }
    }
    return true;
}

}  // namespace

void LineMatcherInit(LineMatcher* m, const SearchNeedles* needles, const TextRules* rules)
{
    NeedleSearchInit(&m->search, needles->ansi, needles->ignoreCase, rules);
    m->rules = rules;
    m->asksOtherLines = !rules->allPlain;
    m->printablePlain = true;
    for (int c = 0x20; c < 0x7F; ++c) {
        m->printablePlain = m->printablePlain && rules->plain[c] != 0;
    }
    m->asksEveryLine = !NeedleIsPlain(&m->search, rules);
    const unsigned char* n = reinterpret_cast<const unsigned char*>(needles->ansi);
    m->caseless = m->asksEveryLine && rules->hasBarriers;
    for (uint32_t k = 0; m->caseless && n[k] != 0;) {
        bool letter = ((n[k] | 0x20) >= 'a' && (n[k] | 0x20) <= 'z');
        if (rules->plain[n[k]] && !letter) {
            ++k;
        } else if (rules->leadByte[n[k]] && n[k + 1] != 0 && IsBarrierPair(rules, n[k], n[k + 1])) {
            k += 2;
        } else {
            m->caseless = false;
        }
    }
    NeedleSearchInit(&m->exact, needles->ansi, false, rules);
    // The caseless needle's own double-byte characters.
    unsigned char held[8192] = {};
    for (uint32_t k = 0; m->caseless && n[k] != 0; ++k) {
        if (rules->leadByte[n[k]] && n[k + 1] != 0) {
            unsigned pair = static_cast<unsigned>(n[k]) << 8 | n[k + 1];
            held[pair >> 3] = static_cast<unsigned char>(held[pair >> 3] | 1u << (pair & 7));
            ++k;
        }
    }
    for (unsigned i = 0; i < 8192; ++i) {
        const unsigned char barrier = rules->hasBarriers ? rules->barrierPair[i] : 0;
        const unsigned char foreign = static_cast<unsigned char>(rules->ideographPair[i] & ~held[i]);
        m->blockingPair[i] = m->caseless ? static_cast<unsigned char>(barrier & foreign) : barrier;
        // A short pair leaves a span of plain characters short of a plain
        // needle: only a span with some other character beside it is
        // asked.
        const unsigned char shortPair = rules->hasLeadBytes ? rules->shortPair[i] : 0;
        m->settledPair[i] = m->caseless ? static_cast<unsigned char>(barrier & ~foreign) : shortPair;
    }
    // A text the code page cannot hold is in no line read in it.
    m->holdsNoLine = !needles->ansiHeld || NeedleHasLineEnd(&m->search);
    m->cache = nullptr;
    m->stop = nullptr;
    m->stopped = false;
}

void LineScanStart(LineScan* scan, const LineMatcher* m, char* text, uint64_t size)
{
    scan->text = text;
    scan->size = size;
    bool searchesBytes = !m->asksEveryLine && !m->holdsNoLine;
    scan->candidate = searchesBytes ? FindNeedle(&m->search, text, 0, size) : size;
}

bool NextLineHoldingNeedle(LineMatcher* m, LineScan* scan, uint64_t from, uint64_t* start, uint64_t* end)
{
    char* text = scan->text;
    const uint64_t size = scan->size;
    if (m->holdsNoLine) {
        return false;
    }
    if (m->asksEveryLine && m->caseless) {
        return NextCaselessLineHoldingNeedle(m, text, size, from, start, end);
    }
    if (m->asksEveryLine) {
        return NextAskedLineHoldingNeedle(m, text, size, from, start, end);
    }
    while (from < size) {
        if (scan->candidate < from) {
            scan->candidate = FindNeedle(&m->search, text, from, size);
        }
        const uint64_t candidate = scan->candidate;
        // Lines before the candidate's own hold no needle's bytes.
        uint64_t candidateLine = candidate < size ? LineStartOf(text, from, candidate) : size;
        if (m->asksOtherLines && NextOtherLineHoldingNeedle(m, text, size, from, candidateLine, start, end)) {
            return true;
        }
        if (m->stopped || candidate >= size) {
            return false;
        }
        *start = candidateLine;
        *end = FindLineEnd(text, size, candidate);
        if (BytesHoldNeedle(m, &m->search, text, size, *start, *end, candidate) ||
            (!m->stopped && m->asksOtherLines && OpenSpansHoldNeedle(m, text, *start, *end))) {
            return !m->stopped;
        }
        if (m->stopped) {
            return false;
        }
        from = NextLineStart(text, *end);
    }
    return false;
}
