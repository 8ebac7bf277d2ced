// The UTF-16 matcher: tells whether a line of a UTF-16 source holds the
// search text, as the platform's wide search would judge it.
//
// Compared unit by unit, the needle's bytes in the source's byte order
// stand in the line at a unit's start, and a byte search finds them. Ignoring
// case, a needle of plain units is searched with ASCII letters folded (its
// units' high bytes are zero, and no other byte folds to zero), and where
// that finds none only the parts around units that are not plain are
// asked of the platform. A needle of plain units and accented letters has
// only the segments of a line between units it cannot take in asked; a
// needle with other units has every line it does not hold exactly asked of
// the platform.
#ifndef QUORVANE_UTF16_MATCHER_H
#define QUORVANE_UTF16_MATCHER_H

#include "filter/judge/segment_walk.h"
#include "filter/judge/wide_judge.h"
#include "filter/search/needle_search.h"
#include "filter/search/search_needles.h"
#include "platform/platform.h"

struct Utf16Matcher {
    WideNeedle wide;
    bool bigEndian;
    unsigned char encoded[2 * kSearchCapacity];
    unsigned char fold[256];     // ASCII letters upper-cased (and Latin-1 ones, with foldsLatin)
    NeedleSearch exact;          // the needle's bytes as they stand
    NeedleSearch folded;         // ignoring case, the bytes folded
    bool searchesFolded;         // a needle of plain units: what folded finds holds it
    bool foldsLatin;             // a needle made of letters: what folded finds, the platform is asked about
    bool avx2;            // the processor has 32-byte vectors
    const StopFlag* stop;
    bool stopped;                // the stop was seen while asking the platform
    // The platform's verdicts on spans of the parts it is asked
    // about, or none.
    JudgeCache* cache;
};

// True when the platform may be asked about spans of lines: a cache of
// its verdicts (spans of twice the needle's length in bytes) then saves
// calls.
inline bool Utf16MatcherAsksSpans(const Utf16Matcher* matcher)
{
    return matcher->searchesFolded || matcher->wide.madeOfLetters;
}

// True when the places the matcher finds decide which lines hold the
// needle (NextMatch): its exact units where case counts; ignoring case, for
// a needle made of letters, its bytes or a segment that holds it. The lines
// between two such places hold no match and are routed as one stretch.
inline bool Utf16MatcherFindsMatches(const Utf16Matcher* matcher)
{
    return !matcher->wide.ignoreCase || matcher->wide.madeOfLetters;
}

// True when a line too long for the window may be judged by its pieces as
// they are read: where case counts, by its units; ignoring case, for a
// needle made of letters, by each piece's plain units. *overlap: the bytes
// of a piece the next one starts with, so that no place of the needle is
// cut in two.
bool Utf16MatcherJudgesPieces(const Utf16Matcher* matcher, uint64_t* overlap);

// What piece[0, size) (whole units, from a unit's start) tells of its line:
// 1 it holds the needle, 0 not as far as it goes, -1 only the whole line
// can tell (ignoring case, a unit that is not plain, at *plain).
int Utf16PieceVerdict(const Utf16Matcher* matcher, const char* piece, uint64_t size, uint64_t* plain);

// needles must outlive the matcher, which starts with no cache.
void Utf16MatcherInit(Utf16Matcher* matcher, const SearchNeedles* needles, bool bigEndian, const StopFlag* stop);

// One text being searched and the first places not yet passed where the
// needle's bytes stand, at a unit's start.
struct Utf16Scan {
    const char* text;
    uint64_t size;
    uint64_t exact;
    uint64_t folded;
    // With foldsLatin: the first place from the last search on where the
    // folded letters stand and hold the needle, once known.
    uint64_t latin;
    bool latinKnown;
    // Where the line of the place hitLineOf starts (size for none yet).
    uint64_t hitLine;
    uint64_t hitLineOf;
    // Where the segments were last walked, text[segmentFrom, segmentTo),
    // and the first there that holds the needle (size for none).
    uint64_t segmentFrom;
    uint64_t segmentTo;
    uint64_t segmentHit;
};

void Utf16ScanStart(Utf16Scan* scan, const char* text, uint64_t size);

// Whether the line text[start, end) holds the needle, for a matcher that
// finds no matches. Lines are asked in order, each after the one before.
bool Utf16LineHolds(Utf16Matcher* matcher, Utf16Scan* scan, uint64_t start, uint64_t end);

// For a matcher that finds matches: the first place at or after from (a
// line's start) that shows the line it lies in holds the needle, or the
// scan's size when there is none, no line can hold the needle or the stop
// was seen. Calls come in order.
uint64_t NextMatch(Utf16Matcher* matcher, Utf16Scan* scan, uint64_t from);

#endif
