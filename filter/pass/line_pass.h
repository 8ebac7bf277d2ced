// Routing a stretch of complete lines of a code-page source: each line
// goes to the with-string or the without-string export.
#ifndef QUORVANE_LINE_PASS_H
#define QUORVANE_LINE_PASS_H

#include "filter/emit/line_sink.h"
#include "filter/match/line_matcher.h"
#include "filter/match/utf8_lines.h"
#include "filter/pass/stream_lines.h"
#include "filter/search/search_needles.h"
#include "platform/platform.h"

// What stays the same for every stretch of one run.
struct LinePass {
    LineMatcher matcher;
    Utf8Matcher utf8;
    LineSink* without;
    LineSink* with;
};

// True when a stop raised during the pass cut it short: the lines it
// routed are not all of them.
inline bool LinePassStopped(const LinePass* pass)
{
    return pass->matcher.stopped || pass->utf8.stopped;
}

// Prepares a pass; needles and rules must outlive it, as must stop, which
// the pass reads inside long work (or none). The pass starts with no cache.
void LinePassInit(LinePass* pass, const SearchNeedles* needles, const TextRules* rules, const StopFlag* stop,
                  LineSink* withoutSink, LineSink* withSink);

// Routes the lines of text[0, size), size > 0: a line containing the needle
// (by the code page's rules or the UTF-8 rule) goes, ended with CR LF, to
// the with-string export, any other line to the without-string export. CR, LF and NUL end a line; LF bytes right after a
// line's end are skipped. text must start a line and end at a line's end,
// except at the end of the source, where the last line may have none.
// text[size] and text[size + 1] must be zero; nothing beyond them is read.
void RouteCompleteLines(LinePass* pass, char* text, uint64_t size);

// True when a line's pieces may tell whether it holds the needle: where
// the line's bytes are plain, the needle's bytes found where they stand
// decide it (for a needle of plain bytes), with no character boundaries,
// platform verdicts or UTF-8 rule to mind. *overlap: the bytes each piece
// must share with the next so that no needle is cut in two.
bool LinePassJudgesPieces(const LinePass* pass, uint64_t* overlap);

// Judges piece[0, size), the next piece of a line whose pieces so far were
// plain and lacked the needle; *plain: where its plain start ends.
PieceVerdict JudgeLinePiece(const LinePass* pass, const char* piece, uint64_t size, uint64_t* plain);

// True when a line's rest may be judged as the line (LineRestHolds): the
// start before it, plain and without the needle's bytes, holds no match by
// any rule. Not where, ignoring case, the UTF-8 rule compares a needle with
// characters that are neither plain, letters with marks nor barriers (a
// Kelvin sign, a full-width digit): the platform may read plain letters as
// those.
bool LinePassJudgesRests(const LinePass* pass);

// Whether the line whose rest is text[0, size) holds the needle, its start
// before the rest plain and without the needle: the rest is judged as if
// it were the line, and routed nowhere. text as for RouteCompleteLines.
bool LineRestHolds(LinePass* pass, char* text, uint64_t size);

// Routes the one (empty) line of an empty source.
void RouteEmptySource(LinePass* pass);

#endif
