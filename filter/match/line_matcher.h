// The matcher: finds the lines that hold the needle, as the platform's own
// search would judge them.
//
// A byte search over a whole stretch finds where the needle's bytes stand;
// a line holds the needle where they start on a character boundary. Where
// the platform compares by the locale's rules, the byte search is exact
// only on plain bytes (TextRules): a line with other bytes, not already
// matched by its bytes, is asked of the platform, span by span, with its
// verdicts kept in a cache (code_page_spans); a needle with other bytes has
// every line asked of the platform whole, or for a needle made of letters
// the segments of it that could hold it.
#ifndef QUORVANE_LINE_MATCHER_H
#define QUORVANE_LINE_MATCHER_H

#include "filter/judge/judge_cache.h"
#include "filter/search/byte_sets.h"
#include "filter/search/needle_search.h"
#include "filter/search/search_needles.h"
#include "platform/platform.h"

// What stays the same for every text of one run.
struct LineMatcher {
    NeedleSearch search;
    const TextRules* rules;
    // Some bytes are not plain: lines holding them may be for the platform
    // to judge.
    bool asksOtherLines;
    // Every printable ASCII byte is plain, so the vector scan for other
    // bytes can look at control and high bytes only.
    bool printablePlain;
    // The needle holds bytes that are not plain: the platform judges every
    // line whole.
    bool asksEveryLine;
    // ... unless its characters are plain ones that are no letters and
    // double-byte barrier characters (IsBarrierPair): a line of such
    // characters only then holds it where its bytes stand, as they stand
    // (exact), and only a line with other characters is asked.
    bool caseless;
    NeedleSearch exact;
    // What each double-byte character does to the spans that hold it whole,
    // one bit a pair (lead * 256 + trail). No span that holds a blocking one
    // holds the needle: for a needle of plain bytes every barrier character,
    // for a caseless one an ideograph it does not hold (no other character
    // compares equal to one). A settled one is a short pair where those
    // settle the needle, or one of a caseless needle's other barrier
    // characters, which its bytes find where they stand. Any other pair is
    // for the platform to judge.
    unsigned char blockingPair[8192];
    unsigned char settledPair[8192];
    // Pairs that block the needle or are short, led by a byte read alone as
    // at most one character: a span cut by one takes in the one before it.
    // One after another, with narrow bytes between them, they make a chain.
    unsigned char chainPair[8192];
    // Every character of the needle is a plain one or a letter with marks
    // whose base is a plain letter (TextRules.baseLetter): no span that
    // takes in a plain character the needle is not made of (unrelated,
    // by byte), with no character after it that may join it, can hold it.
    bool madeOfLetters;
    unsigned char unrelated[256];
    // ... and where the code page has no lead bytes, a text's segments
    // between such characters and line ends are told 64 bytes at a time over
    // many lines (segment_walk.h): each byte's kind, kSegment… bits.
    bool segmentsAtOnce;
    unsigned char segmentKind[256];
    ByteSets segmentSets;   // the same, 32 bytes at a time
    // Short pairs (TextRules) settle the needle: a span holding one whole,
    // beside settled characters alone, cannot hold it, nor can such a span
    // cut at its end by a lead byte read alone as at most one character.
    bool shortens;
    // ... and a line of plain characters and chains of pairs that block
    // the needle or are short may be judged at once, 64 bytes at a time
    // (LineSettledAtOnce): the plain bytes are printable ASCII (and the tab,
    // plainTab), the lead bytes those of [leadFirst, leadLast] above ASCII,
    // each read alone as at most one character, and no span cut at its end
    // by one holds the needle.
    bool settlesAtOnce;
    bool plainTab;
    unsigned char leadFirst;
    unsigned char leadLast;
    // The needle holds a line end: no line holds it.
    bool holdsNoLine;
    // The platform's verdicts on spans of lines with other bytes, or none.
    JudgeCache* cache;
    // Read inside long work (or none); stopped tells that it was seen and
    // the search gave up.
    const StopFlag* stop;
    bool stopped;
};

// What a byte is to a code page's segments (LineMatcher::segmentKind).
enum : unsigned char {
    kSegmentLineEnd = 1,
    kSegmentUnrelated = 2,   // a plain character the needle is not made of
    kSegmentOther = 4,       // not plain: the platform judges the text around it
    kSegmentJoins = 8,       // may join the character before it
};

// Prepares a matcher; needles and rules must outlive it. It starts with no
// cache.
void LineMatcherInit(LineMatcher* matcher, const SearchNeedles* needles, const TextRules* rules);

// True when the platform may be asked about needle-sized spans of lines:
// a cache of its verdicts then saves calls.
inline bool LineMatcherAsksSpans(const LineMatcher* matcher)
{
    return matcher->asksOtherLines && (!matcher->asksEveryLine || matcher->caseless || matcher->madeOfLetters) &&
           !matcher->holdsNoLine;
}

// One text being searched, from its start to its end, and the first place
// not yet passed where the needle's bytes stand.
struct LineScan {
    char* text;          // text[size] and text[size + 1] are zero
    uint64_t size;
    uint64_t candidate;  // size when there is none
};

// Starts a scan of text[0, size), which starts a line.
void LineScanStart(LineScan* scan, const LineMatcher* matcher, char* text, uint64_t size);

// The next line at or after from that holds the needle: true with the line
// in [*start, *end), *end its line end; false when no line from there on
// does. from starts a line and is at or after the end of the line the last
// call gave. The platform's search needs each line it judges zero-ended:
// the byte after it is set to zero for the call and then put back.
bool NextLineHoldingNeedle(LineMatcher* matcher, LineScan* scan, uint64_t from, uint64_t* start,
                           uint64_t* end);

#endif
