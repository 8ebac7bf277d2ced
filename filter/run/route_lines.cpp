// The line pass over a whole source, chosen by its encoding: the bytes of a code-page or UTF-8
// source go through the loop every unit shares (stream_lines.h); a UTF-16
// source through its own units (utf16_lines).

#include "filter/run/route_lines.h"

#include "filter/pass/byte_units.h"
#include "filter/pass/line_pass.h"
#include "filter/pass/stream_lines.h"
#include "filter/utf16/utf16_lines.h"

namespace {

// The pass over complete lines, as the loop drives it.
struct BytePass {
    LinePass* pass;
    void RouteEmpty() { RouteEmptySource(pass); }
    void RouteStretch(char* data, uint64_t cut) { RouteCompleteLines(pass, data, cut); }
    void RouteLast(char* data, uint64_t valid, bool) { RouteCompleteLines(pass, data, valid); }
    bool Stopped() const { return LinePassStopped(pass); }
    bool JudgesPieces(uint64_t* overlap) const { return LinePassJudgesPieces(pass, overlap); }
    PieceVerdict JudgePiece(const char* piece, uint64_t size, uint64_t* plain) const
    {
        return JudgeLinePiece(pass, piece, size, plain);
    }
    bool JudgesRests() const { return LinePassJudgesRests(pass); }
    bool RestHolds(char* data, uint64_t size) { return LineRestHolds(pass, data, size); }
    void RouteWhole(bool) {}
    LineSink* Sink(bool holds) const { return holds ? pass->with : pass->without; }
};

}  // namespace

bool RouteLines(ReadWindow* w, SourceEncoding encoding, const SearchNeedles* needles, const TextRules* rules,
                LineSink* withoutSink, LineSink* withSink)
{
    if (IsUtf16(encoding)) {
        return RouteUtf16Lines(w, needles, encoding == kEncodingUtf16Be, withoutSink, withSink);
    }
    LinePass pass;
    LinePassInit(&pass, needles, rules, w->stop, withoutSink, withSink);
    // The cache is a help, not a need: without memory for it the platform
    // is asked every time.
    JudgeCache cache;
    void* memory = nullptr;
    if (LineMatcherAsksSpans(&pass.matcher)) {
        memory = PlatformAllocZeroed(JudgeCacheBytes());
        if (memory != nullptr && JudgeCacheInit(&cache, memory, JudgeCacheBytes(), pass.matcher.search.length)) {
            pass.matcher.cache = &cache;
        }
    }
    JudgeCache wideCache;
    void* wideMemory = nullptr;
    if (Utf8MatcherAsksSpans(&pass.utf8)) {
        wideMemory = PlatformAllocZeroed(JudgeCacheBytes());
        if (wideMemory != nullptr &&
            JudgeCacheInit(&wideCache, wideMemory, JudgeCacheBytes(), 2 * pass.utf8.wide.length)) {
            pass.utf8.cache = &wideCache;
        }
    }
    BytePass bytes = {&pass};
    bool read = StreamLines(w, ByteUnits(), &bytes);
    if (memory != nullptr) {
        PlatformFree(memory);
    }
    if (wideMemory != nullptr) {
        PlatformFree(wideMemory);
    }
    return read;
}
