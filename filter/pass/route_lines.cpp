// The line pass over a whole source.
//
// The window is filled after whatever is left at its front; every complete
// line in it is routed, and the unfinished last line moves to the front for
// the next fill. The cut goes right after the window's last CR, LF or NUL:
// every such byte either ends a line or belongs to the LF bytes skipped
// after one, so what comes after the cut starts a line once its leading LF
// bytes are skipped. Those are dropped as they arrive; when what is left
// holds no line end, the window reads on into the room they leave before it
// may grow. So a run of LF bytes of any length never grows the window: it
// grows only when one line fills it whole, and its capacity stays at most
// twice the longest line, or the first size.

#include "filter/pass/route_lines.h"

#include "filter/pass/line_ends.h"
#include "filter/pass/line_pass.h"
#include "filter/utf16/utf16_lines.h"

namespace {

// Position after the last line end in data[from, to), or 0 when there is none.
uint64_t CutAfterLastLineEnd(const char* data, uint64_t from, uint64_t to)
{
    for (uint64_t i = to; i > from; --i) {
        if (IsLineEnd(data[i - 1])) {
            return i;
        }
    }
    return 0;
}

// Routes data[0, cut) as complete lines, with the two zero bytes the pass
// reads after its text standing in for the bytes at the cut for a moment.
void RouteBeforeCut(LinePass* pass, char* data, uint64_t cut)
{
    char saved0 = data[cut];
    char saved1 = data[cut + 1];
    data[cut] = 0;
    data[cut + 1] = 0;
    RouteCompleteLines(pass, data, cut);
    data[cut] = saved0;
    data[cut + 1] = saved1;
}

// True when a stop raised while the pass worked on the window cut it
// short; the window then tells that it stopped.
bool StoppedInside(ReadWindow* w, const LinePass* pass)
{
    if (!LinePassStopped(pass)) {
        return false;
    }
    w->failed = true;
    w->stopped = true;
    return true;
}

// Routes every line of the window's source; false when it could not be
// read whole.
bool StreamLines(ReadWindow* w, LinePass* pass)
{
    if (w->left == 0 && w->valid == 0) {
        RouteEmptySource(pass);
        return true;
    }
    // After a cut the LF bytes at the front belong to no line. The source's
    // first byte starts a line, whatever it is.
    bool afterCut = false;
    // The front of the window known to hold no line end.
    uint64_t searched = 0;
    for (;;) {
        if (!WindowFill(w)) {
            return false;
        }
        if (afterCut) {
            uint64_t lf = 0;
            while (lf < w->valid && w->data[lf] == '\n') {
                ++lf;
            }
            WindowDrop(w, lf);
            if (w->valid == 0) {
                if (w->left == 0) {
                    return true;
                }
                continue;
            }
            afterCut = false;
        }
        if (w->left == 0) {
            // The rest of the source: its last line may have no line end.
            RouteCompleteLines(pass, w->data, w->valid);
            WindowDrop(w, w->valid);
            return !StoppedInside(w, pass);
        }
        uint64_t cut = CutAfterLastLineEnd(w->data, searched, w->valid);
        if (cut == 0) {
            searched = w->valid;
            if (w->valid < w->capacity) {
                // LF bytes were dropped from the front: read on first.
                continue;
            }
            // One line fills the window.
            if (!WindowGrow(w)) {
                return false;
            }
            continue;
        }
        RouteBeforeCut(pass, w->data, cut);
        if (StoppedInside(w, pass)) {
            return false;
        }
        WindowDrop(w, cut);
        searched = 0;
        afterCut = true;
    }
}

}  // namespace

bool RouteLines(ReadWindow* w, SourceEncoding encoding, const SearchNeedles* needles, const TextRules* rules,
                LineSink* withoutTarget, LineSink* withTarget)
{
    if (IsUtf16(encoding)) {
        return RouteUtf16Lines(w, needles, encoding == kEncodingUtf16Be, withoutTarget, withTarget);
    }
    LinePass pass;
    LinePassInit(&pass, needles, rules, w->stop, withoutTarget, withTarget);
    // The cache is a help, not a need: without memory for it the platform
    // is asked every time.
    JudgeCache cache;
    void* memory = nullptr;
    if (LineMatcherAsksWindows(&pass.matcher)) {
        memory = PlatformAllocZeroed(JudgeCacheBytes());
        if (memory != nullptr && JudgeCacheInit(&cache, memory, JudgeCacheBytes(), pass.matcher.search.length)) {
            pass.matcher.cache = &cache;
        }
    }
    JudgeCache wideCache;
    void* wideMemory = nullptr;
    if (Utf8MatcherAsksWindows(&pass.utf8)) {
        wideMemory = PlatformAllocZeroed(JudgeCacheBytes());
        if (wideMemory != nullptr &&
            JudgeCacheInit(&wideCache, wideMemory, JudgeCacheBytes(), 2 * pass.utf8.wide.length)) {
            pass.utf8.cache = &wideCache;
        }
    }
    bool read = StreamLines(w, &pass);
    if (memory != nullptr) {
        PlatformFree(memory);
    }
    if (wideMemory != nullptr) {
        PlatformFree(wideMemory);
    }
    return read;
}
