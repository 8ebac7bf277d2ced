// The UTF-8 rule for the lines of a source read in the code page: a line
// that is well-formed UTF-8 and holds a byte above 0x7F also holds the
// search text where its UTF-8 form holds it (a byte search is exact in
// UTF-8: no character's bytes stand inside another's), or, ignoring case,
// where the platform's wide search finds it in the line's characters. Such
// a line holds the text when this rule or the code page's says so; any
// other line is judged by the code page's alone.
#ifndef QUORVANE_UTF8_LINES_H
#define QUORVANE_UTF8_LINES_H

#include "filter/judge/segment_walk.h"
#include "filter/judge/wide_judge.h"
#include "filter/search/needle_search.h"
#include "filter/search/search_needles.h"
#include "platform/platform.h"

struct Utf8Matcher {
    // The rule can add a line to those the code page's rules find: off when
    // the text has no UTF-8 form, holds a line end, or is searched in the
    // code page byte for byte with the very same bytes.
    bool active;
    WideNeedle wide;
    unsigned char fold[256];     // ASCII letters upper-cased (and Latin-1 ones, with foldsLatin)
    NeedleSearch exact;          // the UTF-8 form's bytes
    NeedleSearch folded;         // ignoring case, the bytes folded
    bool searchesFolded;         // a needle of plain ASCII and barriers: what folded finds holds it
    bool foldsLatin;             // a needle made of letters: what folded finds, the platform is asked about
    const StopFlag* stop;
    bool stopped;                // the stop was seen while asking the platform
    // The platform's verdicts on spans of the stretches it is asked
    // about, or none.
    JudgeCache* cache;
};

// True when the platform may be asked about spans of lines: a cache of
// its verdicts (spans of twice the needle's length in bytes) then saves
// calls.
inline bool Utf8MatcherAsksSpans(const Utf8Matcher* matcher)
{
    return matcher->active && ((matcher->searchesFolded && matcher->wide.plain) || matcher->wide.madeOfLetters);
}

// needles and rules must outlive the matcher, which starts with no cache.
void Utf8MatcherInit(Utf8Matcher* matcher, const SearchNeedles* needles, const TextRules* rules,
                     const StopFlag* stop);

// One text being searched: the first place not yet passed the rule looks
// at (where the UTF-8 needle's bytes stand; ignoring case, for a needle made
// of letters, where they stand or a segment holds it; for another, a byte
// above 0x7F).
struct Utf8Scan {
    const char* text;   // text[size] is zero
    uint64_t size;
    uint64_t candidate;
    // Where the candidate's line starts, once looked for (from the first
    // from asked about it on): each byte before a candidate is walked back
    // over once, however many lines the code page's rules find before it.
    uint64_t candidateLineStart;
    bool lineStartKnown;
    // Ignoring case: where the needle's bytes (folded, for a needle of
    // plain and barrier characters) were last searched for,
    // text[searchedFrom, searchedTo), and the first place they stand there
    // (searchedTo for none). Lines above ASCII one after the other are
    // searched many at a time, the reach doubling while they keep coming.
    uint64_t searchedFrom;
    uint64_t searchedTo;
    uint64_t searchedHit;
    uint64_t searchReach;
    // For a needle made of letters, the same for the segments that hold it
    // (segmentHit is size for none).
    uint64_t segmentFrom;
    uint64_t segmentTo;
    uint64_t segmentHit;
    // Where the line of the hit hitLineOf starts (size for none yet).
    uint64_t hitLine;
    uint64_t hitLineOf;
};

void Utf8ScanStart(Utf8Scan* scan, Utf8Matcher* matcher, const char* text, uint64_t size);

// The first line that starts in [from, to) and holds the needle by the UTF-8
// rule: true with the line in [*start, *end), *end its line end. from starts
// a line; calls come in order, each from at or after the end of the line the
// last one gave or at or after its to.
bool NextUtf8LineHoldingNeedle(Utf8Matcher* matcher, Utf8Scan* scan, uint64_t from, uint64_t to, uint64_t* start,
                               uint64_t* end);

// First byte above 0x7F in text[from, to), or to.
uint64_t FindHighByte(const char* text, uint64_t from, uint64_t to);

// True when text[start, end) is well-formed UTF-8 and holds a byte above
// 0x7F.
bool IsUtf8WithHighBytes(const char* text, uint64_t start, uint64_t end);

#endif
