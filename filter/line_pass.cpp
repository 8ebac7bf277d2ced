// The pass over complete lines.
//
// The output is defined line by line: a line ends at CR, LF or NUL, LF bytes
// right after a line's end are skipped, and every routed line is written with
// CR LF. Done literally that costs a search call and two writes per line, so
// the pass works on whole stretches instead: the matcher finds the next line
// that holds the needle, and the lines before it go to the without-string
// export in one stretch, which the emitter copies as blocks wherever they
// already end in CR LF.

#include "filter/line_pass.h"

#include "filter/line_emitter.h"
#include "filter/line_ends.h"

void LinePassInit(LinePass* pass, const SearchNeedles* needles, const TextRules* rules, LineSink* withoutTarget,
                  LineSink* withTarget)
{
    LineMatcherInit(&pass->matcher, needles, rules);
    pass->without = withoutTarget;
    pass->with = withTarget;
}

void RouteEmptySource(LinePass* pass)
{
    EmitLineEnd(pass->without);
}

void RouteCompleteLines(LinePass* pass, char* text, uint64_t size)
{
    if (size == 0) {
        return;
    }
    LineScan scan;
    LineScanStart(&scan, &pass->matcher, text, size);
    uint64_t from = 0;
    uint64_t start;
    uint64_t end;
    while (NextLineHoldingNeedle(&pass->matcher, &scan, from, &start, &end)) {
        if (start > from) {
            EmitLines(pass->without, text, size, from, start);
        }
        EmitLine(pass->with, text, start, end);
        from = NextLineStart(text, end);
    }
    EmitLines(pass->without, text, size, from, size);
}
