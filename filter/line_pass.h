// The pass over complete lines: cuts a stretch of the source into lines and
// routes each one to the with-string or the without-string export.
#ifndef QUORVANE_LINE_PASS_H
#define QUORVANE_LINE_PASS_H

#include "filter/line_matcher.h"
#include "filter/line_sink.h"
#include "filter/search_needles.h"
#include "platform/platform.h"

// What stays the same for every stretch of one run.
struct LinePass {
    LineMatcher matcher;
    LineSink* without;
    LineSink* with;
};

// Prepares a pass; needles and rules must outlive it. The pass starts with
// no cache.
void LinePassInit(LinePass* pass, const SearchNeedles* needles, const TextRules* rules, LineSink* withoutTarget,
                  LineSink* withTarget);

// Routes the lines of text[0, size), size > 0: a line containing the needle
// goes, ended with CR LF, to the with-string export, any other line to the
// without-string export. CR, LF and NUL end a line; LF bytes right after a
// line's end are skipped. text must start a line and end at a line's end,
// except at the end of the source, where the last line may have none.
// text[size] and text[size + 1] must be zero; nothing beyond them is read.
void RouteCompleteLines(LinePass* pass, char* text, uint64_t size);

// Routes the one (empty) line of an empty source.
void RouteEmptySource(LinePass* pass);

#endif
