// The pass over complete lines.
//
// A line holds the needle by the code page's rules or by the UTF-8 rule
// (filter/match/utf8_lines); the two searches run side by side, each from where
// it left off, and the nearer of their lines is routed first.
//
// The output is defined line by line: a line ends at CR, LF or NUL, LF bytes
// right after a line's end are skipped, and every routed line is written with
// CR LF. Done literally that costs a search call and two writes per line, so
// the pass works on whole stretches instead: the matcher finds the next line
// that holds the needle, and the lines before it go to the without-string
// export in one stretch, which the emitter copies as blocks wherever they
// already end in CR LF.

#include "filter/pass/line_pass.h"

#include "filter/pass/byte_units.h"
#include "filter/search/line_ends.h"

void LinePassInit(LinePass* pass, const SearchNeedles* needles, const TextRules* rules, const StopFlag* stop,
                  LineSink* withoutSink, LineSink* withSink)
{
    LineMatcherInit(&pass->matcher, needles, rules);
    pass->matcher.stop = stop;
    Utf8MatcherInit(&pass->utf8, needles, rules, stop);
    pass->without = withoutSink;
    pass->with = withSink;
}

void RouteEmptySource(LinePass* pass)
{
    EmitLineEnd(ByteUnits(), pass->without);
}

namespace {

// The pass when only the code page's rules find lines: the UTF-8 rule has
// nothing to add (the code page is UTF-8 itself, or searched byte for byte
// for the same bytes, or the text has no UTF-8 form to look for).
void RouteCodePageLines(LinePass* pass, LineScan* scan, Emitter<ByteUnits>* e, char* text, uint64_t size)
{
    const bool avx2 = pass->matcher.search.avx2;
    uint64_t from = 0;
    uint64_t start;
    uint64_t end;
    while (NextLineHoldingNeedle(&pass->matcher, scan, from, &start, &end)) {
        if (LinePassStopped(pass)) {
            return;
        }
        if (start > from) {
            EmitLines(e, pass->without, size, from, start, avx2);
        }
        EmitLine(e, pass->with, start, end);
        from = NextLineStart(text, end);
    }
    if (!LinePassStopped(pass)) {
        EmitLines(e, pass->without, size, from, size, avx2);
    }
}

// The pass when the UTF-8 rule finds lines beside the code page's rules.
void RouteCodePageAndUtf8Lines(LinePass* pass, LineScan* scan, Emitter<ByteUnits>* e, char* text, uint64_t size)
{
    Utf8Scan utf8Scan;
    Utf8ScanStart(&utf8Scan, &pass->utf8, text, size);
    // The next line the code page's rules find, kept while lines before it
    // that the UTF-8 rule finds are routed.
    bool codePageLine = false;
    bool codePageDone = false;
    uint64_t codePageStart = 0;
    uint64_t codePageEnd = 0;
    uint64_t from = 0;
    for (;;) {
        if (!codePageLine && !codePageDone) {
            codePageLine = NextLineHoldingNeedle(&pass->matcher, scan, from, &codePageStart, &codePageEnd);
            codePageDone = !codePageLine;
        }
        if (LinePassStopped(pass)) {
            return;
        }
        uint64_t start;
        uint64_t end;
        if (NextUtf8LineHoldingNeedle(&pass->utf8, &utf8Scan, from, codePageLine ? codePageStart : size, &start,
                                      &end)) {
            // A line before the code page's: that one stays kept.
        } else if (codePageLine) {
            start = codePageStart;
            end = codePageEnd;
            codePageLine = false;
        } else {
            break;
        }
        if (LinePassStopped(pass)) {
            return;
        }
        if (start > from) {
            EmitLines(e, pass->without, size, from, start, pass->matcher.search.avx2);
        }
        EmitLine(e, pass->with, start, end);
        from = NextLineStart(text, end);
    }
    if (!LinePassStopped(pass)) {
        EmitLines(e, pass->without, size, from, size, pass->matcher.search.avx2);
    }
}

}  // namespace

void RouteCompleteLines(LinePass* pass, char* text, uint64_t size)
{
    if (size == 0) {
        return;
    }
    LineScan scan;
    LineScanStart(&scan, &pass->matcher, text, size);
    Emitter<ByteUnits> emitter;
    EmitterStart(&emitter, ByteUnits(), text);
    if (pass->utf8.active) {
        RouteCodePageAndUtf8Lines(pass, &scan, &emitter, text, size);
    } else {
        RouteCodePageLines(pass, &scan, &emitter, text, size);
    }
    EmitterFlush(&emitter);
}
