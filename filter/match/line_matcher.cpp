// The matcher.

#include "filter/match/line_matcher.h"

#include "filter/match/code_page_spans.h"
#include "filter/search/line_ends.h"

namespace {

// How often long work in one line looks at the stop flag.
const uint32_t kStopCheckSteps = 4096;

// Whether the needle's bytes stand on a character boundary of the line
// [start, end), given the first place at or after start where they stand
// (candidate may lie beyond the line). The platform's search steps through
// a line character by character, so in a double-byte code page a match must
// start on a character boundary. A character starts right after a byte that
// cannot lead a pair (it stands alone or ends a pair); the bytes after it
// that can all pair up. So only those just before a candidate are counted,
// back to such a byte or to the last place known to start a character:
// each byte of the line is counted back over once at most.
bool BytesHoldNeedle(LineMatcher* m, const NeedleSearch* search, const char* text, uint64_t size, uint64_t start,
                     uint64_t end, uint64_t candidate)
{
    if (!m->rules->hasLeadBytes) {
        return candidate + search->length <= end;
    }
    const unsigned char* b = reinterpret_cast<const unsigned char*>(text);
    const unsigned char* lead = m->rules->leadByte;
    uint64_t boundary = start;   // a character starts here, and none is known after it
    uint32_t steps = 0;
    uint64_t compared = 0;       // bytes compared at places between two bytes of a pair
    while (candidate + search->length <= end) {
        uint64_t from = candidate;
        while (from > boundary && lead[b[from - 1]]) {
            --from;
        }
        if (((candidate - from) & 1) == 0) {
            return true;
        }
        boundary = candidate + 1;   // the candidate ends a pair
        if (++steps % kStopCheckSteps == 0 && StopSeen(m)) {
            return false;
        }
        // Where such places come thick (a needle of pairs over a line of
        // pairs one byte off), each is compared whole: past a few times the
        // bytes passed, the rest of the line goes by the needle's borders.
        compared += search->length;
        if (compared > 4 * (candidate - start) + 4096 && search->length < kNeedleSearchMost) {
            return FindNeedleAtCharacters(search, text, boundary, end, lead) < end;
        }
        candidate = FindNeedle(search, text, candidate + 1, size);
    }
    return false;
}

// The next line in [from, to) with bytes that are not plain that holds the
// needle by the platform's rules. to starts a line or is the text's end; no
// needle's bytes stand in between.
bool NextOtherLineHoldingNeedle(LineMatcher* m, char* text, uint64_t size, uint64_t from, uint64_t to,
                              uint64_t* start, uint64_t* end)
{
    if (m->segmentsAtOnce) {
        return NextSegmentLineHoldingNeedle(m, text, size, from, to, start, end);
    }
    // Where the lines are not plain characters and chains (short lines each
    // with a byte the walk must judge, say), each try at telling many at
    // once passes none: after such a try, lines are judged one at a time,
    // twice as many each time up to 64, before the next.
    uint32_t oneAtATime = 0;
    uint32_t backOff = 0;
    for (uint64_t i = from; i < to;) {
        if (m->settlesAtOnce && oneAtATime == 0) {
            const uint64_t passed = SettledLinesEnd(m, text, i, to);
            backOff = passed > i ? 0 : backOff == 0 ? 1 : backOff < 64 ? 2 * backOff : backOff;
            oneAtATime = backOff;
            i = passed;
        } else if (oneAtATime > 0) {
            --oneAtATime;
        }
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
// each whole line (or, for a needle made of letters, about its segments),
// says holds the needle.
bool NextAskedLineHoldingNeedle(LineMatcher* m, char* text, uint64_t size, uint64_t from, uint64_t* start,
                                uint64_t* end)
{
    if (m->segmentsAtOnce) {
        return NextSegmentLineHoldingNeedle(m, text, size, from, size, start, end);
    }
    for (uint64_t i = from; i < size; i = NextLineStart(text, *end)) {
        *start = i;
        *end = FindLineEnd(text, size, i);
        const bool holds = m->madeOfLetters ? SegmentsBetweenLettersHold(m, text, i, *end)
                                            : *end > i && AskWhetherHolds(m, text, i, *end);
        if (holds) {
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

// What each double-byte character does to the spans that hold it
// (blockingPair, settledPair, chainPair), and whether short pairs settle
// the needle.
void SetPairEffects(LineMatcher* m, const unsigned char* n, const TextRules* rules)
{
    // The caseless needle's own double-byte characters.
    unsigned char held[8192] = {};
    bool heldIdeographsOnly = true;
    for (uint32_t k = 0; m->caseless && n[k] != 0; ++k) {
        if (rules->leadByte[n[k]] && n[k + 1] != 0) {
            unsigned pair = static_cast<unsigned>(n[k]) << 8 | n[k + 1];
            held[pair >> 3] = static_cast<unsigned char>(held[pair >> 3] | 1u << (pair & 7));
            heldIdeographsOnly = heldIdeographsOnly && IsIdeographPair(rules, n[k], n[k + 1]);
            ++k;
        }
    }
    // A span of n bytes holding a short pair whole compares as fewer
    // characters than it has bytes. A needle of n plain bytes has n; a
    // caseless one has one for each plain byte and ideograph, and a span
    // holds it only with each of its ideographs as itself, which leaves no
    // room for a short pair. Not so for a kana or Hangul letter.
    m->shortens = rules->hasLeadBytes && (m->caseless ? heldIdeographsOnly : !m->asksEveryLine);
    for (unsigned i = 0; i < 8192; ++i) {
        const unsigned char barrier = rules->hasBarriers ? rules->barrierPair[i] : 0;
        const unsigned char foreign = static_cast<unsigned char>(rules->ideographPair[i] & ~held[i]);
        m->blockingPair[i] = m->caseless ? static_cast<unsigned char>(barrier & foreign) : barrier;
        const unsigned char shortPair = m->shortens ? rules->shortPair[i] : 0;
        m->settledPair[i] = m->caseless ? static_cast<unsigned char>((barrier & ~foreign) | shortPair) : shortPair;
        const unsigned char loneLeadShort = rules->shortLoneLead[i >> 5] ? 0xFF : 0;
        m->chainPair[i] = static_cast<unsigned char>((m->blockingPair[i] | shortPair) & loneLeadShort);
    }
}

// Whether a line of plain characters and chains may be judged at once
// (LineMatcher::settlesAtOnce).
void SetSettledAtOnce(LineMatcher* m, const TextRules* rules)
{
    const NeedleSearch* search = &m->search;
    const unsigned char last = search->length > 0 ? search->needle[search->length - 1] : 0;
    m->plainTab = rules->plain[static_cast<unsigned char>('\t')] != 0;
    m->leadFirst = 0;
    m->leadLast = 0;
    bool settles = m->shortens && search->length >= 3;
    for (unsigned c = 0; c < 256; ++c) {
        const bool printable = c >= 0x20 && c <= 0x7E;
        settles = settles && (rules->plain[c] != 0) == (printable || (c == '\t' && m->plainTab));
        if (!rules->leadByte[c]) {
            continue;
        }
        // One range of lead bytes, above ASCII.
        settles = settles && c >= 0x80 && (m->leadFirst == 0 || m->leadLast == c - 1);
        m->leadFirst = m->leadFirst == 0 ? static_cast<unsigned char>(c) : m->leadFirst;
        m->leadLast = static_cast<unsigned char>(c);
        const unsigned char readAs = rules->loneLeadPlain[c];
        const bool readAsLast = search->ignoreCase ? rules->fold[readAs] == rules->fold[last] : readAs == last;
        settles = settles && rules->shortLoneLead[c] && readAs != 0 && !readAsLast;
    }
    m->settlesAtOnce = settles && m->leadFirst != 0;
}

// Whether the needle is made of letters, and the plain bytes it is not
// made of.
void SetLetters(LineMatcher* m, const unsigned char* n, const TextRules* rules)
{
    unsigned char letters[256] = {};
    m->madeOfLetters = !m->caseless && n[0] != 0;
    for (uint32_t k = 0; m->madeOfLetters && n[k] != 0; ++k) {
        const unsigned char letter = rules->plain[n[k]] ? n[k] : rules->leadByte[n[k]] ? 0 : rules->baseLetter[n[k]];
        m->madeOfLetters = letter != 0;
        letters[rules->fold[letter]] = 1;
    }
    for (unsigned c = 0; c < 256; ++c) {
        m->unrelated[c] = m->madeOfLetters && rules->plain[c] && !letters[rules->fold[c]];
        const bool lineEnd = IsLineEnd(static_cast<char>(c));
        m->segmentKind[c] = static_cast<unsigned char>(
            (lineEnd ? kSegmentLineEnd : 0) | (m->unrelated[c] && !lineEnd ? kSegmentUnrelated : 0) |
            (!rules->plain[c] && !lineEnd ? kSegmentOther : 0) |
            (rules->joinsPrevious[c] && !lineEnd ? kSegmentJoins : 0));
    }
    m->segmentsAtOnce = m->madeOfLetters && !rules->hasLeadBytes && !rules->allPlain;
    ByteSetsInit(&m->segmentSets, m->segmentKind);
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
    SetPairEffects(m, n, rules);
    SetSettledAtOnce(m, rules);
    SetLetters(m, n, rules);
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
