// The streaming loop of the line pass, for any unit: fill the window, cut
// it after its last line end, route the stretch; one loop for the bytes of
// a code-page or UTF-8 source and for the units of a UTF-16 one.
//
// The window is filled after whatever is left at its front; every complete
// line in it is routed, and the unfinished last line moves to the front for
// the next fill. The cut goes right after the window's last line end: every
// such unit either ends a line or belongs to the LF units skipped after
// one, so what comes after the cut starts a line once its leading LF units
// are skipped. Those are dropped as they arrive; when what is left holds no
// line end, the window reads on into the room they leave before it may
// grow. So a run of LF units of any length never grows the window: it grows
// only when one line fills it whole (and half a unit after it), and its
// capacity stays at most twice the longest line, or the first size. The
// window remembers how far it has looked for a line end: a line longer than
// a fill is searched once. A line whose pieces tell whether it holds the
// needle does not grow the window at all (RouteLongLine).
//
// What differs by unit is known at compile time. Units says what a unit is:
//   kUnitSize                    bytes in a unit (1 or 2);
//   bool EndsLine(data, at)      the unit at data[at] is CR, LF or NUL;
//   bool IsLineFeed(data, at)    the unit at data[at] is LF;
//   FindLineEnd(text, size, from, avx2), Masks(p) and the line end written
//                                after a line (emitter.h).
// Pass routes what the loop hands it:
//   void RouteEmpty()                         the one empty line of an empty source;
//   void RouteStretch(data, cut)              the complete lines of data[0, cut), with
//                                             the two bytes at cut zero meanwhile;
//   void RouteLast(data, valid, afterCut)     the rest of the source, data[0, valid),
//                                             whose last line may have no line end;
//   bool Stopped()                            a stop raised during the routing ended it early;
//   bool JudgesPieces(&overlap)               a line's pieces may tell whether it holds the
//                                             needle, a piece sharing overlap bytes (whole
//                                             units) with the next, so that none is cut in two;
//   PieceVerdict JudgePiece(piece, size, &plain)
//                                             what the next piece tells (below), and
//                                             where its plain start ends;
//   bool JudgesRests()                        a line's rest may be judged as the line (below);
//   bool RestHolds(data, size)                whether the line whose rest (after a plain
//                                             start without the needle) is data[0, size)
//                                             holds it, with the two bytes at size zero
//                                             meanwhile; routed nowhere;
//   void RouteWhole(holds)                    a line read in pieces went whole into the sink
//                                             that holds decides (the pass's last line now);
//   LineSink* Sink(holds)                     where a line goes.
#ifndef QUORVANE_STREAM_LINES_H
#define QUORVANE_STREAM_LINES_H

#include "filter/emit/emitter.h"
#include "filter/pass/byte_units.h"
#include "filter/pass/read_window.h"
#include "platform/content_sum.h"
#include "platform/platform.h"

// What a piece of a line too long for the window tells of the whole line.
enum PieceVerdict {
    kPieceHolds,      // the needle stands in the line's plain start: the line holds it
    kPieceLacks,      // a plain piece without the needle: the rest of the line decides
    kPieceUndecided,  // a byte only the whole line can be judged with
};

// Position after the last line end in data[from, to) (both at units'
// starts), or 0 when there is none.
template <typename Units>
uint64_t CutAfterLastLineEnd(const Units& units, const char* data, uint64_t from, uint64_t to)
{
    // 64 bytes at a time, backwards: a window that one long line fills is
    // looked through whole. The last line end's last byte is the highest
    // bit set.
    uint64_t i = to;
    for (; i - from >= 64; i -= 64) {
        const LineEndMasks masks = units.Masks(data + i - 64);
        const uint64_t ends = masks.cr | masks.lf | masks.nul;
        if (ends != 0) {
            return i - static_cast<uint64_t>(__builtin_clzll(ends));
        }
    }
    for (; i > from; i -= Units::kUnitSize) {
        if (units.EndsLine(data, i - Units::kUnitSize)) {
            return i;
        }
    }
    return 0;
}

// Routes data[0, cut) as complete lines, with the two zero bytes the
// routing reads after its text standing in for the bytes at the cut for a
// moment.
template <typename Pass>
void RouteBeforeCut(Pass* pass, char* data, uint64_t cut)
{
    char saved0 = data[cut];
    char saved1 = data[cut + 1];
    data[cut] = 0;
    data[cut + 1] = 0;
    pass->RouteStretch(data, cut);
    data[cut] = saved0;
    data[cut + 1] = saved1;
}

// After a cut the LF units at the front belong to no line: they go. False
// when the window must read on first, since nothing, or half a unit, is
// left, not yet known to start a line (*failed: it could not grow for it).
template <typename Units>
bool DropLineFeedsAfterCut(ReadWindow* w, const Units& units, bool* failed)
{
    const uint64_t width = Units::kUnitSize;
    uint64_t lf = 0;
    while (lf + width <= w->valid && units.IsLineFeed(w->data, lf)) {
        lf += width;
    }
    WindowDrop(w, lf);
    if (w->valid < width && w->left > 0) {
        *failed = w->valid == w->capacity && !WindowGrow(w);
        return false;
    }
    return true;
}

// What became of a line too long for the window (RouteLongLine).
enum LongLine {
    kLongLineRouted,   // in its export; *afterCut tells whether a line end followed
    kLongLineWhole,    // undecided by its first piece: read again, to be held whole
    kLongLineFailed,   // the source could not be read, or changed between two reads, or a stop came
};

// The first line end at or after looked in the window's whole units, or the
// end of those when there is none. A half unit at the end reads as nothing
// meanwhile.
template <typename Units>
uint64_t LineEndInWindow(const Units& units, ReadWindow* w, uint64_t looked)
{
    const uint64_t whole = w->valid - w->valid % Units::kUnitSize;
    char* after = w->data + whole;
    const char saved0 = after[0];
    const char saved1 = after[1];
    after[0] = 0;
    after[1] = 0;
    const uint64_t end = units.FindLineEnd(w->data, whole, looked, false);
    after[0] = saved0;
    after[1] = saved1;
    return end;
}

// The second read of a long line: its first count bytes, read again from
// the window's new front straight into sink, then its line end (when it
// had one) checked and dropped. False, the window marked changed where
// that is why, when the line is not the one whose sum is judged.
template <typename Units>
bool CopyLongLine(ReadWindow* w, const Units& units, LineSink* sink, uint64_t count, uint64_t judged, bool lineEnd)
{
    const uint64_t width = Units::kUnitSize;
    ContentSum copied;
    SumInit(&copied);
    for (uint64_t left = count; left > 0;) {
        if (!WindowFill(w)) {
            return false;
        }
        const uint64_t part = left < w->valid ? left : w->valid;
        SumAdd(&copied, w->data, part);
        SinkPut(sink, w->data, part);
        WindowDrop(w, part);
        left -= part;
    }
    while (lineEnd && w->valid < width && w->left > 0) {
        if (!WindowFill(w)) {
            return false;
        }
    }
    if (SumValue(&copied) != judged || (lineEnd && (w->valid < width || !units.EndsLine(w->data, 0)))) {
        w->changed = true;
        w->failed = true;
        return false;
    }
    EmitLineEnd(units, sink);
    if (lineEnd) {
        WindowDrop(w, width);
    }
    return true;
}

// Bytes of plain units kept before the first unit a long line's pieces cannot judge,
// besides the overlap, where its rest starts: a mark that may join the
// character before it still finds it there.
const uint64_t kRestMargin = 16;

// A long line whose pieces lacked the needle up to a unit they cannot judge,
// rest bytes after the window's front (and before bytes before it): held
// from there on, up to its line end, and that rest judged as if it were the
// line. What comes before the rest is plain, so its characters start where
// its units do, and no match begins there that does not reach into the
// rest. Then, as for a line its pieces decided, it is read again whole
// into its export.
template <typename Units, typename Pass>
LongLine RouteLineRest(ReadWindow* w, const Units& units, Pass* pass, uint64_t start, uint64_t before, uint64_t rest,
                       ContentSum* judged, bool* afterCut)
{
    const uint64_t width = Units::kUnitSize;
    SumAdd(judged, w->data, rest);
    WindowDrop(w, rest);
    before += rest;
    uint64_t looked = 0;
    uint64_t end;
    bool lineEnd;
    for (;;) {
        const uint64_t whole = w->valid - w->valid % width;
        end = LineEndInWindow(units, w, looked);
        lineEnd = end < whole;
        if (lineEnd || w->left == 0) {
            break;
        }
        looked = whole;
        if ((w->valid == w->capacity && !WindowGrow(w)) || !WindowFill(w)) {
            return kLongLineFailed;
        }
    }
    char* after = w->data + end;
    const char saved0 = after[0];
    const char saved1 = after[1];
    after[0] = 0;
    after[1] = 0;
    const bool holds = pass->RestHolds(w->data, end);
    after[0] = saved0;
    after[1] = saved1;
    if (pass->Stopped()) {
        w->failed = true;
        w->stopped = true;
        return kLongLineFailed;
    }
    SumAdd(judged, w->data, end);
    if (!WindowReread(w, start) || !CopyLongLine(w, units, pass->Sink(holds), before + end, SumValue(judged), lineEnd)) {
        return kLongLineFailed;
    }
    pass->RouteWhole(holds);
    *afterCut = lineEnd;
    return kLongLineRouted;
}

// The line at the front of a full window has no line end in it. Rather than
// grow the window to hold it whole, it is searched piece by piece as it is
// read, up to its line end or the source's end, as long as its pieces tell
// where it goes; then it is read again from its start straight into its
// export, ended with a line end, and its own line end dropped (a half unit
// after the source's last line stays for the pass's last stretch). A unit
// the pieces cannot judge leaves the rest of the line to be judged as one
// (RouteLineRest), or, in the first piece or where the pass cannot judge a
// rest as its line, the line to be held whole. Each
// read of it is summed: a line that is not what was judged fails the pass,
// as a changed source.
template <typename Units, typename Pass>
LongLine RouteLongLine(ReadWindow* w, const Units& units, Pass* pass, uint64_t overlap, uint64_t looked,
                       bool* afterCut)
{
    const uint64_t width = Units::kUnitSize;
    const uint64_t start = w->readSoFar - w->valid;
    uint64_t before = 0;   // the line's bytes dropped from the window
    PieceVerdict verdict = kPieceLacks;
    ContentSum judged;
    SumInit(&judged);
    uint64_t end;
    bool lineEnd;
    for (;;) {
        end = LineEndInWindow(units, w, looked);
        lineEnd = end < w->valid - w->valid % width;
        uint64_t plain = end;
        if (verdict == kPieceLacks) {
            verdict = pass->JudgePiece(w->data, end, &plain);
        }
        if (verdict == kPieceUndecided) {
            const uint64_t rest = plain > overlap + kRestMargin ? plain - overlap - kRestMargin : 0;
            if (before + rest > 0 && pass->JudgesRests()) {
                return RouteLineRest(w, units, pass, start, before, rest, &judged, afterCut);
            }
            return WindowReread(w, start) ? kLongLineWhole : kLongLineFailed;
        }
        if (lineEnd || w->left == 0) {
            break;
        }
        const uint64_t drop = end - (overlap < end ? overlap : end);
        SumAdd(&judged, w->data, drop);
        WindowDrop(w, drop);
        before += drop;
        looked = w->valid - w->valid % width;
        if (!WindowFill(w)) {
            return kLongLineFailed;
        }
    }
    SumAdd(&judged, w->data, end);
    const bool holds = verdict == kPieceHolds;
    if (!WindowReread(w, start) || !CopyLongLine(w, units, pass->Sink(holds), before + end, SumValue(&judged), lineEnd)) {
        return kLongLineFailed;
    }
    pass->RouteWhole(holds);
    *afterCut = lineEnd;
    return kLongLineRouted;
}

// No line end in the window after *searched: the window reads on, and
// when one line fills it, it grows, unless the line's pieces tell where it
// goes (*holdWhole: they could not). (When LF units were dropped from the
// front, it reads on first.) False when the pass must end.
template <typename Units, typename Pass>
bool ReadOnInLine(ReadWindow* w, const Units& units, Pass* pass, uint64_t* searched, bool* holdWhole,
                  bool* afterCut)
{
    if (w->valid < w->capacity) {
        return true;
    }
    uint64_t overlap = 0;
    if (!*holdWhole && pass->JudgesPieces(&overlap) && overlap + Units::kUnitSize <= w->capacity) {
        const LongLine line = RouteLongLine(w, units, pass, overlap, *searched, afterCut);
        *holdWhole = line == kLongLineWhole;
        *searched = 0;
        return line != kLongLineFailed;
    }
    return WindowGrow(w);
}

// Routes every line of the window's source; false when it could not be
// read whole, or a stop raised meanwhile ended it (the window then tells
// that it stopped).
template <typename Units, typename Pass>
bool StreamLines(ReadWindow* w, const Units& units, Pass* pass)
{
    const uint64_t width = Units::kUnitSize;
    if (w->left == 0 && w->valid == 0) {
        pass->RouteEmpty();
        return true;
    }
    auto stoppedInside = [&] {
        if (!pass->Stopped()) {
            return false;
        }
        w->failed = true;
        w->stopped = true;
        return true;
    };
    // After a cut the LF units at the front belong to no line. The source's
    // first unit starts a line, whatever it is.
    bool afterCut = false;
    // The front of the window known to hold no line end.
    uint64_t searched = 0;
    // The line at the front is one its pieces could not judge.
    bool holdWhole = false;
    for (;;) {
        if (!WindowFill(w)) {
            return false;
        }
        if (afterCut) {
            bool failed = false;
            if (!DropLineFeedsAfterCut(w, units, &failed)) {
                if (failed) {
                    return false;
                }
                continue;
            }
            afterCut = w->valid < width;
        }
        if (w->left == 0) {
            pass->RouteLast(w->data, w->valid, afterCut);
            WindowDrop(w, w->valid);
            return !stoppedInside();
        }
        const uint64_t whole = w->valid - w->valid % width;
        uint64_t cut = CutAfterLastLineEnd(units, w->data, searched, whole);
        if (cut == 0) {
            searched = whole;
            if (!ReadOnInLine(w, units, pass, &searched, &holdWhole, &afterCut)) {
                return false;
            }
            continue;
        }
        RouteBeforeCut(pass, w->data, cut);
        if (stoppedInside()) {
            return false;
        }
        WindowDrop(w, cut);
        searched = 0;
        afterCut = true;
        holdWhole = false;
    }
}

// Routes the complete lines of the emitter's text[0, size) by what a
// matcher finds, for any unit: each line it finds to with, the lines
// between two of them to without as one stretch, which the emitter copies
// whole where it can. Returns the sink the text's last line went to (none
// when a stop came first).
//
// Matcher: bool Next(from, &start, &end) finds the first line at or after
// from (a line's start) that holds the needle, [start, end) with end at its
// line end or the text's end; false for none. bool Stopped(): a stop was
// seen, and what the matcher found since counts for nothing.
template <typename Units, typename Matcher>
LineSink* RouteMatchedLines(Emitter<Units>* e, Matcher* matcher, LineSink* without, LineSink* with, uint64_t size,
                            bool avx2)
{
    LineSink* last = nullptr;
    uint64_t from = 0;
    uint64_t start;
    uint64_t end;
    while (from < size && matcher->Next(from, &start, &end)) {
        if (matcher->Stopped()) {
            return last;
        }
        if (start > from) {
            EmitLines(e, without, size, from, start, avx2);
        }
        EmitLine(e, with, start, end);
        last = with;
        if (end >= size) {
            return last;   // the text's last line, with no line end
        }
        from = e->units.NextLineStart(e->text, end);
    }
    if (matcher->Stopped() || from >= size) {
        return last;
    }
    EmitLines(e, without, size, from, size, avx2);
    return without;
}

#endif
