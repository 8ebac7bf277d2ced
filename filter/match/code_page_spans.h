// The spans of a code-page line the platform must judge.
//
// A line the needle's bytes do not settle may still hold it by the
// platform's rules, which compare the needle with as many bytes of the line
// at each character boundary (a span). A span is settled when the byte
// search already judged it, blocked when it takes in a character no match
// can (a barrier character; for a needle made of letters, a plain character
// the needle is not made of, standing alone), and open otherwise: only open
// spans are asked of the platform, their verdicts kept in the matcher's
// cache. A line of short pairs and barrier characters is judged by the first
// lead byte of each chain of them alone.
#ifndef QUORVANE_CODE_PAGE_SPANS_H
#define QUORVANE_CODE_PAGE_SPANS_H

#include "filter/match/line_matcher.h"

// True, and the matcher marked stopped, when the stop flag is raised.
bool StopSeen(LineMatcher* matcher);

// First byte in [from, to) that is neither plain nor a line end, or to.
uint64_t FindOtherByte(const LineMatcher* matcher, const char* text, uint64_t from, uint64_t to);

// Asks the platform's search whether text[start, end) holds the needle.
bool AskWhetherHolds(const LineMatcher* matcher, char* text, uint64_t start, uint64_t end);

// With LineMatcher::settlesAtOnce: where the lines from from (a line's
// start) to to (a line's start, or the text's end) stop being plain
// characters and chains alone, which do not hold the needle; told 64 bytes a
// step across their line ends. The start of the first line it is not sure
// of, which may be from; the lines of the last bytes before to are left to
// the caller too.
uint64_t SettledLinesEnd(const LineMatcher* matcher, const char* text, uint64_t from, uint64_t to);

// Whether the line [start, end), in which the needle's bytes settled every
// span of plain characters, holds it by the platform's rules: its open spans
// asked.
bool OpenSpansHoldNeedle(LineMatcher* matcher, char* text, uint64_t start, uint64_t end);

// With LineMatcher::segmentsAtOnce: the first line in [from, to) (from a
// line's start, to a line's start or the text's end) with a segment that
// holds the needle by the platform's rules, its segments told over many
// lines at a time; false for none, or when the stop is seen.
bool NextSegmentLineHoldingNeedle(LineMatcher* matcher, char* text, uint64_t size, uint64_t from, uint64_t to,
                                  uint64_t* start, uint64_t* end);

// Whether the line [start, end) holds a needle made of letters with some
// character that is not plain: the segments between its barriers that hold
// a byte that is not plain, asked span by span.
bool SegmentsBetweenLettersHold(LineMatcher* matcher, char* text, uint64_t start, uint64_t end);

#endif
