// Routing the lines of a UTF-16 source.
//
// As for any other source, the window is cut right after its last line end,
// here the last line-end unit; the cut is always at a unit's start, since the
// window's front is, and half a unit at the window's end waits there for its
// other byte.

#include "filter/utf16/utf16_lines.h"

#include "filter/pass/stream_lines.h"
#include "filter/utf16/utf16_units.h"

namespace {

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
        EmitLineEnd(Utf16Units{pass->matcher.bigEndian}, pass->without);
        pass->last = pass->without;
    }
    if (odd && pass->last != nullptr) {
        SinkPut(pass->last, &oddByte, 1);
    }
}

// The pass over complete UTF-16 lines, as the loop drives it.
struct Pass16 {
    Utf16Pass* pass;
    void RouteEmpty()
    {
        EmitLineEnd(Utf16Units{pass->matcher.bigEndian}, pass->without);
    }
    void RouteStretch(char* data, uint64_t cut) { RouteCompleteUtf16Lines(pass, data, cut); }
    void RouteLast(char* data, uint64_t valid, bool afterCut)
    {
        RouteLastStretch(pass, data, valid, afterCut || pass->last != nullptr);
    }
    bool Stopped() const { return pass->matcher.stopped; }
    bool JudgesPieces(uint64_t* overlap) const { return Utf16MatcherJudgesPieces(&pass->matcher, overlap); }
    PieceVerdict JudgePiece(const char* piece, uint64_t size, uint64_t* plain) const
    {
        const int verdict = Utf16PieceVerdict(&pass->matcher, piece, size, plain);
        return verdict > 0 ? kPieceHolds : verdict == 0 ? kPieceLacks : kPieceUndecided;
    }
    // Ignoring case, pieces judge only a needle made of letters, which no
    // plain unit may stand for.
    bool JudgesRests() const { return true; }
    bool RestHolds(char* data, uint64_t size)
    {
        LineSink* const last = pass->last;
        const bool holds =
            RoutesAnyLineWith(&pass->without, &pass->with, [&] { RouteCompleteUtf16Lines(pass, data, size); });
        pass->last = last;
        return holds;
    }
    void RouteWhole(bool holds) { pass->last = Sink(holds); }
    LineSink* Sink(bool holds) const { return holds ? pass->with : pass->without; }
};

// Start of the line that holds at, given that from, at or before it,
// starts a line.
uint64_t UnitLineStartOf(const char* text, uint64_t from, uint64_t at, bool bigEndian)
{
#if defined(__SSE2__)
    // 8 units at a time, backwards: the last line end before at (a unit of
    // both bytes zero, or of one zero and the other CR or LF).
    while (at >= from + 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + at - 16));
        const __m128i low = bigEndian ? _mm_srli_epi16(v, 8) : _mm_and_si128(v, _mm_set1_epi16(0xFF));
        const __m128i high = bigEndian ? _mm_and_si128(v, _mm_set1_epi16(0xFF)) : _mm_srli_epi16(v, 8);
        const __m128i end = _mm_and_si128(
            _mm_cmpeq_epi16(high, _mm_setzero_si128()),
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi16(low, _mm_set1_epi16(0x0D)), _mm_cmpeq_epi16(low, _mm_set1_epi16(0x0A))),
                         _mm_cmpeq_epi16(low, _mm_setzero_si128())));
        const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(end));
        if (mask != 0) {
            return at - 16 + 32 - static_cast<uint64_t>(__builtin_clz(mask));
        }
        at -= 16;
    }
#endif
    while (at > from && !IsLineEndUnit(UnitAt(text, at - 2, bigEndian))) {
        at -= 2;
    }
    return at;
}

// The lines of a matcher that finds matches: from each place that shows
// a line holds the needle, that line.
struct Utf16Matches {
    Utf16Pass* pass;
    Utf16Scan* scan;
    bool Next(uint64_t from, uint64_t* start, uint64_t* end)
    {
        const uint64_t match = NextMatch(&pass->matcher, scan, from);
        if (match >= scan->size || pass->matcher.stopped) {
            return false;
        }
        const bool bigEndian = pass->matcher.bigEndian;
        *start = UnitLineStartOf(scan->text, from, match, bigEndian);
        *end = FindUnitLineEnd(scan->text, scan->size, match, bigEndian, pass->matcher.avx2);
        return true;
    }
    bool Stopped() const { return pass->matcher.stopped; }
};

}  // namespace

void RouteCompleteUtf16Lines(Utf16Pass* pass, char* text, uint64_t size)
{
    const bool bigEndian = pass->matcher.bigEndian;
    Utf16Scan scan;
    Utf16ScanStart(&scan, text, size);
    Emitter<Utf16Units> emitter;
    EmitterStart(&emitter, Utf16Units{bigEndian}, text);
    if (Utf16MatcherFindsMatches(&pass->matcher)) {
        Utf16Matches matches = {pass, &scan};
        LineSink* last = RouteMatchedLines(&emitter, &matches, pass->without, pass->with, size, pass->matcher.avx2);
        pass->last = last != nullptr ? last : pass->last;
        EmitterFlush(&emitter);
        return;
    }
    uint64_t start = 0;
    while (start < size) {
        uint64_t end = FindUnitLineEnd(text, size, start, bigEndian, pass->matcher.avx2);
        LineSink* sink = Utf16LineHolds(&pass->matcher, &scan, start, end) ? pass->with : pass->without;
        if (pass->matcher.stopped) {
            break;
        }
        EmitLine(&emitter, sink, start, end);
        pass->last = sink;
        if (end >= size) {
            break;   // the text's last line, with no line end: nothing follows
        }
        start = NextUnitLineStart(text, end, bigEndian);
    }
    EmitterFlush(&emitter);
}

bool RouteUtf16Lines(ReadWindow* w, const SearchNeedles* needles, bool bigEndian, LineSink* withoutSink,
                     LineSink* withSink)
{
    Utf16Pass pass;
    Utf16MatcherInit(&pass.matcher, needles, bigEndian, w->stop);
    pass.without = withoutSink;
    pass.with = withSink;
    pass.last = nullptr;
    // The cache is a help, not a need: without memory for it the platform
    // is asked every time.
    JudgeCache cache;
    void* memory = nullptr;
    if (Utf16MatcherAsksSpans(&pass.matcher)) {
        memory = PlatformAllocZeroed(JudgeCacheBytes());
        if (memory != nullptr && JudgeCacheInit(&cache, memory, JudgeCacheBytes(), 2 * pass.matcher.wide.length)) {
            pass.matcher.cache = &cache;
        }
    }
    Pass16 units = {&pass};
    bool read = StreamLines(w, Utf16Units{bigEndian}, &units);
    if (memory != nullptr) {
        PlatformFree(memory);
    }
    return read;
}
