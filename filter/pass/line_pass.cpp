// Routing a stretch of complete lines of a code-page source.
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
#include "filter/pass/stream_lines.h"
#include "filter/match/code_page_spans.h"
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

bool LinePassJudgesPieces(const LinePass* pass, uint64_t* overlap)
{
    const LineMatcher& m = pass->matcher;
    if (m.asksEveryLine || m.holdsNoLine || m.search.length == 0) {
        return false;
    }
    *overlap = m.search.length - 1;
    return true;
}

namespace {

// The first byte of piece[0, size) the byte search alone cannot judge: one
// the code page's rules do not take as itself, one that may start a
// double-byte character (before it every place starts one), or, beside the
// UTF-8 rule (which folds letters above ASCII), any byte above ASCII.
uint64_t FirstUnplainByte(const LinePass* pass, const char* piece, uint64_t size)
{
    const LineMatcher& m = pass->matcher;
    const TextRules* rules = m.rules;
    uint64_t end = m.asksOtherLines ? FindOtherByte(&m, piece, 0, size) : size;
    bool plainLeads = false;
    bool plainHighs = false;
    for (int b = 0x80; b < 256; ++b) {
        plainLeads = plainLeads || (rules->hasLeadBytes && rules->leadByte[b] && rules->plain[b]);
        plainHighs = plainHighs || rules->plain[b];
    }
    for (int b = 0; rules->hasLeadBytes && b < 0x80 && !plainLeads; ++b) {
        plainLeads = rules->leadByte[b] && rules->plain[b];
    }
    const bool highs = pass->utf8.active && plainHighs;   // plain for the code page, not for the UTF-8 rule
    if (!plainLeads && !highs) {
        return end;
    }
    if (!plainLeads) {
        return FindHighByte(piece, 0, end);
    }
    const unsigned char* b = reinterpret_cast<const unsigned char*>(piece);
    for (uint64_t i = 0; i < end; ++i) {
        if ((plainLeads && rules->leadByte[b[i]]) || (highs && b[i] >= 0x80)) {
            return i;
        }
    }
    return end;
}

}  // namespace

PieceVerdict JudgeLinePiece(const LinePass* pass, const char* piece, uint64_t size, uint64_t* plain)
{
    // The line's plain start: every place in it starts a character, and
    // what its bytes hold no rule judges otherwise.
    *plain = FirstUnplainByte(pass, piece, size);
    if (FindNeedle(&pass->matcher.search, piece, 0, *plain) < *plain) {
        return kPieceHolds;
    }
    return *plain < size ? kPieceUndecided : kPieceLacks;
}

bool LinePassJudgesRests(const LinePass* pass)
{
    const WideNeedle& wide = pass->utf8.wide;
    return !pass->utf8.active || !wide.ignoreCase || wide.plainOrBarrier || wide.madeOfLetters;
}

bool LineRestHolds(LinePass* pass, char* text, uint64_t size)
{
    return RoutesAnyLineWith(&pass->without, &pass->with, [&] { RouteCompleteLines(pass, text, size); });
}

namespace {

// The lines the code page's rules find, when the UTF-8 rule has nothing to
// add (the code page is UTF-8 itself, or searched byte for byte for the
// same bytes, or the text has no UTF-8 form to look for).
struct CodePageLines {
    LinePass* pass;
    LineScan* scan;
    bool Next(uint64_t from, uint64_t* start, uint64_t* end)
    {
        return NextLineHoldingNeedle(&pass->matcher, scan, from, start, end);
    }
    bool Stopped() const { return LinePassStopped(pass); }
};

// The lines the code page's rules or the UTF-8 rule find, the nearer
// first; each search goes on from where it left off.
struct CodePageAndUtf8Lines {
    LinePass* pass;
    LineScan* scan;
    Utf8Scan utf8Scan;
    uint64_t size;
    // The next line the code page's rules find, kept while lines before it
    // that the UTF-8 rule finds are routed.
    bool codePageLine;
    bool codePageDone;
    uint64_t codePageStart;
    uint64_t codePageEnd;

    bool Next(uint64_t from, uint64_t* start, uint64_t* end)
    {
        if (!codePageLine && !codePageDone) {
            codePageLine = NextLineHoldingNeedle(&pass->matcher, scan, from, &codePageStart, &codePageEnd);
            codePageDone = !codePageLine;
        }
        if (Stopped()) {
            return false;
        }
        if (NextUtf8LineHoldingNeedle(&pass->utf8, &utf8Scan, from, codePageLine ? codePageStart : size, start,
                                      end)) {
            return true;   // a line before the code page's: that one stays kept
        }
        if (!codePageLine) {
            return false;
        }
        *start = codePageStart;
        *end = codePageEnd;
        codePageLine = false;
        return true;
    }
    bool Stopped() const { return LinePassStopped(pass); }
};

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
    const bool avx2 = pass->matcher.search.avx2;
    if (pass->utf8.active) {
        CodePageAndUtf8Lines lines = {pass, &scan, {}, size, false, false, 0, 0};
        Utf8ScanStart(&lines.utf8Scan, &pass->utf8, text, size);
        RouteMatchedLines(&emitter, &lines, pass->without, pass->with, size, avx2);
    } else {
        CodePageLines lines = {pass, &scan};
        RouteMatchedLines(&emitter, &lines, pass->without, pass->with, size, avx2);
    }
    EmitterFlush(&emitter);
}
