// The line pass over a UTF-16 source.
//
// As for any other source, the window is cut right after its last line end,
// here the last line-end unit; the cut is always at a unit's start, since the
// window's front is, and half a unit at the window's end waits there for its
// other byte.

#include "filter/utf16/utf16_lines.h"

#include "filter/utf16/utf16_units.h"

namespace {

const uint32_t kLineFeed = 0x0A;

// Position after the last line-end unit in data[from, to), both even, or 0
// when there is none.
uint64_t CutAfterLastLineEndUnit(const char* data, uint64_t from, uint64_t to, bool bigEndian)
{
    for (uint64_t i = to; i > from; i -= 2) {
        if (IsLineEndUnit(UnitAt(data, i - 2, bigEndian))) {
            return i;
        }
    }
    return 0;
}

// Routes data[0, cut) as complete lines, with a zero unit standing in for
// the two bytes at the cut for a moment.
void RouteBeforeCut(Utf16Pass* pass, char* data, uint64_t cut)
{
    char saved0 = data[cut];
    char saved1 = data[cut + 1];
    data[cut] = 0;
    data[cut + 1] = 0;
    RouteCompleteUtf16Lines(pass, data, cut);
    data[cut] = saved0;
    data[cut + 1] = saved1;
}

bool Stopped(ReadWindow* w, const Utf16Pass* pass)
{
    if (!pass->matcher.stopped) {
        return false;
    }
    w->failed = true;
    w->stopped = true;
    return true;
}

// The source's last stretch, data[0, valid): its complete units, then the
// odd byte, if any, after the last line.
void RouteLastStretch(Utf16Pass* pass, char* data, uint64_t valid, bool anyLine)
{
    const uint64_t complete = valid & ~1ull;
    const bool odd = (valid & 1) != 0;
    const char oddByte = odd ? data[complete] : 0;
    if (complete > 0) {
        data[complete] = 0;   // the zero unit after the text
        RouteCompleteUtf16Lines(pass, data, complete);
        data[complete] = oddByte;
    } else if (!anyLine) {
        // Nothing but half a unit: the one empty line of an empty source.
        ++pass->without->lines;
        EmitUtf16LineEnd(pass->without, pass->matcher.bigEndian);
        pass->last = pass->without;
    }
    if (odd && pass->last != nullptr) {
        SinkPut(pass->last, &oddByte, 1);
    }
}

bool StreamUtf16Lines(ReadWindow* w, Utf16Pass* pass)
{
    const bool bigEndian = pass->matcher.bigEndian;
    if (w->left == 0 && w->valid == 0) {
        ++pass->without->lines;
        EmitUtf16LineEnd(pass->without, bigEndian);
        return true;
    }
    // After a cut the LF units at the front belong to no line.
    bool afterCut = false;
    // The front of the window known to hold no line-end unit (even).
    uint64_t searched = 0;
    for (;;) {
        if (!WindowFill(w)) {
            return false;
        }
        if (afterCut) {
            uint64_t lf = 0;
            while (lf + 2 <= w->valid && UnitAt(w->data, lf, bigEndian) == kLineFeed) {
                lf += 2;
            }
            WindowDrop(w, lf);
            if (w->valid < 2 && w->left > 0) {
                // Half a unit or nothing: not yet known to start a line.
                if (w->valid == w->capacity && !WindowGrow(w)) {
                    return false;
                }
                continue;
            }
            if (w->valid >= 2) {
                afterCut = false;
            }
        }
        if (w->left == 0) {
            RouteLastStretch(pass, w->data, w->valid, afterCut || pass->last != nullptr);
            WindowDrop(w, w->valid);
            return !Stopped(w, pass);
        }
        const uint64_t units = w->valid & ~1ull;
        uint64_t cut = CutAfterLastLineEndUnit(w->data, searched, units, bigEndian);
        if (cut == 0) {
            searched = units;
            if (w->valid < w->capacity) {
                continue;
            }
            if (!WindowGrow(w)) {
                return false;
            }
            continue;
        }
        RouteBeforeCut(pass, w->data, cut);
        if (Stopped(w, pass)) {
            return false;
        }
        WindowDrop(w, cut);
        searched = 0;
        afterCut = true;
    }
}

// Start of the line that holds at, given that from, at or before it,
// starts a line.
uint64_t UnitLineStartOf(const char* text, uint64_t from, uint64_t at, bool bigEndian)
{
    while (at > from && !IsLineEndUnit(UnitAt(text, at - 2, bigEndian))) {
        at -= 2;
    }
    return at;
}

// The pass of an exact matcher: from one place where the needle stands to
// the next, the lines between go to the without-string export as one
// stretch, and the line that holds it to the with-string export.
void RouteUtf16Stretches(Utf16Pass* pass, Utf16Scan* scan, Utf16Emitter* emitter, const char* text, uint64_t size)
{
    const bool bigEndian = pass->matcher.bigEndian;
    const bool avx2 = pass->matcher.avx2;
    uint64_t from = 0;
    while (from < size) {
        uint64_t match = NextExactMatch(&pass->matcher, scan, from);
        if (match >= size) {
            EmitUtf16Lines(emitter, pass->without, size, from, size, avx2);
            pass->last = pass->without;
            return;
        }
        uint64_t start = UnitLineStartOf(text, from, match, bigEndian);
        if (start > from) {
            EmitUtf16Lines(emitter, pass->without, size, from, start, avx2);
        }
        uint64_t end = FindUnitLineEnd(text, size, match, bigEndian, avx2);
        EmitUtf16Line(emitter, pass->with, start, end);
        pass->last = pass->with;
        if (end >= size) {
            return;   // the text's last line, with no line end
        }
        from = NextUnitLineStart(text, end, bigEndian);
    }
}

}  // namespace

void RouteCompleteUtf16Lines(Utf16Pass* pass, char* text, uint64_t size)
{
    const bool bigEndian = pass->matcher.bigEndian;
    Utf16Scan scan;
    Utf16ScanStart(&scan, &pass->matcher, text, size);
    Utf16Emitter emitter;
    Utf16EmitterStart(&emitter, text, bigEndian);
    if (Utf16MatcherIsExact(&pass->matcher)) {
        RouteUtf16Stretches(pass, &scan, &emitter, text, size);
        Utf16EmitterFlush(&emitter);
        return;
    }
    uint64_t start = 0;
    while (start < size) {
        uint64_t end = FindUnitLineEnd(text, size, start, bigEndian, pass->matcher.avx2);
        LineSink* sink = Utf16LineHolds(&pass->matcher, &scan, start, end) ? pass->with : pass->without;
        if (pass->matcher.stopped) {
            break;
        }
        EmitUtf16Line(&emitter, sink, start, end);
        pass->last = sink;
        if (end >= size) {
            break;   // the text's last line, with no line end: nothing follows
        }
        start = NextUnitLineStart(text, end, bigEndian);
    }
    Utf16EmitterFlush(&emitter);
}

bool RouteUtf16Lines(ReadWindow* w, const SearchNeedles* needles, bool bigEndian, LineSink* withoutTarget,
                     LineSink* withTarget)
{
    Utf16Pass pass;
    Utf16MatcherInit(&pass.matcher, needles, bigEndian, w->stop);
    pass.without = withoutTarget;
    pass.with = withTarget;
    pass.last = nullptr;
    // The cache is a help, not a need: without memory for it the platform
    // is asked every time.
    JudgeCache cache;
    void* memory = nullptr;
    if (Utf16MatcherAsksWindows(&pass.matcher)) {
        memory = PlatformAllocZeroed(JudgeCacheBytes());
        if (memory != nullptr && JudgeCacheInit(&cache, memory, JudgeCacheBytes(), 2 * pass.matcher.wide.length)) {
            pass.matcher.cache = &cache;
        }
    }
    bool read = StreamUtf16Lines(w, &pass);
    if (memory != nullptr) {
        PlatformFree(memory);
    }
    return read;
}
