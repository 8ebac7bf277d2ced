// The emitter, for any unit: writes routed lines into a sink, each ended
// with CR LF in the source's units (two bytes, or two UTF-16 units in the
// source's byte order).
//
// Lines that already end in plain CR LF are their own output: a whole run
// of them is found 64 bytes at a time and goes to the sink as one block,
// and routed lines that lie one after the other in the text and go to the
// same sink are gathered into one block too. A line with any other line end
// (a lone CR, an LF, a NUL, LF units after a line's end) is written by
// itself with its end rewritten, and the short lines that often follow it
// are cut and written by one loop straight into the sink's buffer. A sink
// whose export is off counts the lines it would have had, and writes none.
//
// What differs by unit is known at compile time. Units says:
//   kUnitSize                         bytes in a unit (1 or 2), and mask bits per unit
//   uint32_t At(text, at)             the unit at byte offset at
//   const char* LineEnd()             CR LF in the source's units (2 * kUnitSize bytes)
//   void PutLineEnd(out)              writes them at out
//   LineEndMasks Masks(p)             the CR, LF and NUL units among the 64 bytes at p
//   bool MasksAvx2(p, &masks)         the same with AVX2; false when no unit there is
//                                     up to CR (so none ends a line)
//   uint64_t CountAvx2(text, &at, to, &endBefore)
//                                     the lines ended in the 64-byte blocks from at on
//   uint64_t FindLineEnd(text, size, from, avx2), NextLineStart(text, end)
// The text must be followed by a zero unit (two zero bytes) at size.
#ifndef QUORVANE_EMITTER_H
#define QUORVANE_EMITTER_H

#include "filter/emit/line_sink.h"
#include "filter/emit/short_lines_avx2.h"
#include "filter/search/avx2.h"
#include "filter/search/line_ends.h"
#include "platform/platform.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

struct LineEndMasks {
    uint64_t cr;
    uint64_t lf;
    uint64_t nul;
};

template <typename Units>
struct Emitter {
    Units units;
    const char* text;
    // The block of lines gathered and not yet written: text[from, to), for sink.
    LineSink* sink;
    uint64_t from;
    uint64_t to;
};

namespace emitter_detail {

const uint32_t kCr = 0x0D;
const uint32_t kLf = 0x0A;

// CR, LF or NUL, told with one branch.
inline bool IsLineEndValue(uint32_t c)
{
    return c <= kCr && ((1u << c) & ((1u << 0) | (1u << kLf) | (1u << kCr))) != 0;
}

// Judges the 64 bytes at text[i] by their masks, the units below keep's
// bits left out: true, with *at, at the first unit to rewrite. Reads the
// units just before and just after the block.
template <typename Units>
inline bool Judge(const Units& u, const char* text, uint64_t i, const LineEndMasks& m, uint64_t keep, uint64_t* at,
                  uint64_t* plainEnd, uint64_t* lines)
{
    const bool crBefore = i >= Units::kUnitSize && u.At(text, i - Units::kUnitSize) == kCr;
    return JudgeLineEndBlock(i, m.cr, m.lf, m.nul, crBefore, u.At(text, i + 64) == kLf, Units::kUnitSize, at, plainEnd,
                             lines, keep);
}

#if defined(QUORVANE_AVX2)
template <typename Units>
QUORVANE_AVX2_TARGET bool JudgeBlocksAvx2(const Units& u, const char* text, uint64_t* at, uint64_t to,
                                          uint64_t* plainEnd, uint64_t* lines)
{
    uint64_t i = *at;
    for (; i + 64 <= to; i += 64) {
        LineEndMasks m;
        if (u.MasksAvx2(text + i, &m) && Judge(u, text, i, m, ~0ull, at, plainEnd, lines)) {
            return true;
        }
    }
    *at = i;
    return false;
}
#else
template <typename Units>
bool JudgeBlocksAvx2(const Units&, const char*, uint64_t*, uint64_t, uint64_t*, uint64_t*)
{
    return false;
}
#endif

// The first unit in text[from, to) whose bytes would not already be the
// output: a NUL, a CR not followed by LF, or an LF not preceded by CR. Every
// such unit ends a line. Returns to when every line in the stretch ends in
// plain CR LF. *plainEnd receives the offset after the last LF before it
// (from when there is none): the plain lines end there; *lines counts them.
// The last bytes are judged as part of the 64 that end at to.
template <typename Units>
uint64_t FindLineEndToRewrite(const Units& u, const char* text, uint64_t from, uint64_t to, bool avx2,
                              uint64_t* plainEnd, uint64_t* lines)
{
    const uint64_t w = Units::kUnitSize;
    uint64_t i = from;
    *plainEnd = from;
    if (i == 0 && i < to) {
        // Nothing before the text's first unit: an LF there is not after a CR.
        uint32_t c = u.At(text, 0);
        if (c == 0 || c == kLf || (c == kCr && u.At(text, w) != kLf)) {
            return 0;
        }
        i = w;
    }
    uint64_t at = i;
    if (avx2 && JudgeBlocksAvx2(u, text, &at, to, plainEnd, lines)) {
        return at;
    }
    i = at;
    for (; i + 64 <= to; i += 64) {
        if (Judge(u, text, i, u.Masks(text + i), ~0ull, &at, plainEnd, lines)) {
            return at;
        }
    }
    if (i < to && to >= 64) {
        const uint64_t base = to - 64;
        return Judge(u, text, base, u.Masks(text + base), ~0ull << (i - base), &at, plainEnd, lines) ? at : to;
    }
    for (; i < to; i += w) {
        uint32_t c = u.At(text, i);
        if (c == 0 || (c == kCr && u.At(text, i + w) != kLf) || (c == kLf && u.At(text, i - w) != kCr)) {
            return i;
        }
        if (c == kLf) {
            *plainEnd = i + w;
            ++*lines;
        }
    }
    return to;
}

// The lines of text[from, to) the emitter would write, for a sink whose
// export is off: counted, not written. 64 bytes at a time; the last bytes
// as part of the 64 that end at to, those before them masked off.
template <typename Units>
uint64_t CountLines(const Units& u, const char* text, uint64_t size, uint64_t from, uint64_t to, bool avx2)
{
    const uint64_t w = Units::kUnitSize;
    const unsigned unitSize = Units::kUnitSize;
    uint64_t i = from;
    bool endBefore = false;
    uint64_t lines = avx2 ? u.CountAvx2(text, &i, to, &endBefore) : 0;
    for (; i + 64 <= to; i += 64) {
        LineEndMasks m = u.Masks(text + i);
        lines += LinesEndedInBlock(m.cr, m.lf, m.nul, unitSize, &endBefore);
    }
    if (i < to && to >= 64) {
        const uint64_t base = to - 64;
        const unsigned skip = static_cast<unsigned>(i - base);
        const uint64_t one = (1ull << unitSize) - 1;
        LineEndMasks m = u.Masks(text + base);
        const uint64_t ends = m.cr | m.lf | m.nul;
        // Whether the unit before each ends a line; for i, as counted.
        uint64_t previous = (ends << unitSize) & ~(one << skip);
        previous |= endBefore ? one << skip : 0;
        lines += static_cast<uint64_t>(__builtin_popcountll((ends & ~(m.lf & previous)) >> skip)) >> (unitSize - 1);
        i = to;
    }
    for (; i + w <= to; i += w) {
        uint32_t c = u.At(text, i);
        bool end = c == 0 || c == kCr || c == kLf;
        lines += end && !(c == kLf && endBefore) ? 1 : 0;
        endBefore = end;
    }
    // The source's last line, without a line end.
    if (to == size && to >= from + w) {
        uint32_t c = u.At(text, to - w);
        lines += c == 0 || c == kCr || c == kLf ? 0 : 1;
    }
    return lines;
}

// The line ends of 64 bytes of empty lines, 128 bytes of CR LF in the
// source's units, at out.
template <typename Units>
inline void PutLineEnds(const Units& u, char* out)
{
    char pattern[16];
    for (int k = 0; k < 16; k += 2 * static_cast<int>(Units::kUnitSize)) {
        u.PutLineEnd(pattern + k);
    }
#if defined(__SSE2__)
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pattern));
    for (int k = 0; k < 128; k += 16) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + k), block);
    }
#else
    for (int k = 0; k < 128; ++k) {
        out[k] = pattern[k % 16];
    }
#endif
}

// Room for need more bytes in the sink's buffer, whose count of bytes used
// the caller keeps in *used meanwhile: flushed first when short. False when
// it cannot have them.
inline bool MakeRoom(LineSink* sink, uint32_t* used, uint32_t need)
{
    if (sink->capacity - *used >= need) {
        return true;
    }
    sink->used = *used;
    const bool room = SinkFlush(sink) && sink->capacity >= need;
    *used = sink->used;
    return room;
}

// Whole blocks of empty lines, each ended by a lone CR or a NUL (a file of
// line ends alone): 64 bytes of them become one pattern, from *at on, the
// sink's count of bytes used kept in *used. False when the sink has no
// room left.
template <typename Units>
bool PutEmptyLineBlocks(const Units& u, LineSink* sink, const char* text, uint64_t* at, uint64_t to,
                        uint32_t* used, uint64_t* lines)
{
    uint64_t i = *at;
    bool room = true;
    while (IsLineEndValue(u.At(text, i)) && to - i >= 64) {
        const LineEndMasks m = u.Masks(text + i);
        if ((m.cr | m.nul) != ~0ull || u.At(text, i + 64) == kLf) {
            break;
        }
        room = MakeRoom(sink, used, 128);
        if (!room) {
            break;
        }
        PutLineEnds(u, sink->buffer + *used);
        *used += 128;
        *lines += 64 / Units::kUnitSize;
        i += 64;
    }
    *at = i;
    return room;
}

// Longest line, in units, the short-line loop cuts and writes by itself.
const uint64_t kShortLine = 64;

// A run of short lines with ends to rewrite (lines of a unit or two ended
// by a lone CR, an LF or a NUL): cut and written by one loop straight into
// the sink's buffer, not a search and two calls a line. Stops, leaving *at
// where it stopped, at a line that ends in plain CR LF, one longer than
// kShortLine, the stretch's end, or a sink that cannot take more.
template <typename Units>
void RewriteShortLines(const Units& u, LineSink* sink, const char* text, uint64_t* at, uint64_t to, bool avx2)
{
    const uint64_t w = Units::kUnitSize;
    const uint32_t ending = static_cast<uint32_t>(2 * w);
    // Kept here while the loop writes bytes (which the compiler must
    // otherwise assume may be these), and given back to the sink after.
    uint32_t used = sink->used;
    char* const buffer = sink->buffer;
    uint64_t lines = 0;
    uint64_t i = *at;
    bool full = false;
    while (i < to) {
#if defined(QUORVANE_AVX2)
        if constexpr (Units::kUnitSize == 1) {
            if (avx2) {
                RewriteShortLinesAvx2(text, &i, to, buffer, &used, sink->capacity, &lines);
                if (i >= to) {
                    break;
                }
            }
        }
#else
        (void)avx2;
#endif
        full = !PutEmptyLineBlocks(u, sink, text, &i, to, &used, &lines);
        if (full || i >= to) {
            break;
        }
        const uint64_t limit = to - i > kShortLine * w ? i + kShortLine * w : to;
        uint64_t j = i;
        while (j < limit && !IsLineEndValue(u.At(text, j))) {
            j += w;
        }
        if (j >= limit || (u.At(text, j) == kCr && u.At(text, j + w) == kLf)) {
            break;
        }
        const uint32_t n = static_cast<uint32_t>(j - i);
        if (!MakeRoom(sink, &used, n + ending)) {
            break;
        }
        char* out = buffer + used;
        for (uint32_t k = 0; k < n; ++k) {
            out[k] = text[i + k];
        }
        u.PutLineEnd(out + n);
        used += n + ending;
        ++lines;
        i = u.NextLineStart(text, j);
    }
    sink->used = used;
    sink->lines += lines;
    *at = i;
}

// Adds text[from, to), lines that are their own output, to what is
// gathered for sink.
template <typename Units>
void Gather(Emitter<Units>* e, LineSink* sink, uint64_t from, uint64_t to);

}  // namespace emitter_detail

template <typename Units>
void EmitterStart(Emitter<Units>* e, const Units& units, const char* text)
{
    e->units = units;
    e->text = text;
    e->sink = nullptr;
    e->from = 0;
    e->to = 0;
}

// Writes what is gathered. Call before the text changes.
template <typename Units>
void EmitterFlush(Emitter<Units>* e)
{
    if (e->sink != nullptr && e->to > e->from) {
        SinkPut(e->sink, e->text + e->from, e->to - e->from);
    }
    e->sink = nullptr;
    e->from = e->to = 0;
}

template <typename Units>
void emitter_detail::Gather(Emitter<Units>* e, LineSink* sink, uint64_t from, uint64_t to)
{
    if (sink == e->sink && from == e->to) {
        e->to = to;
        return;
    }
    EmitterFlush(e);
    e->sink = sink;
    e->from = from;
    e->to = to;
}

// Writes just CR LF: the one empty line of an empty source.
template <typename Units>
void EmitLineEnd(const Units& units, LineSink* sink)
{
    ++sink->lines;
    SinkPut(sink, units.LineEnd(), 2 * Units::kUnitSize);
}

// Writes the line text[start, end), whose line-end unit is at end (or the
// text's end), with CR LF.
template <typename Units>
void EmitLine(Emitter<Units>* e, LineSink* sink, uint64_t start, uint64_t end)
{
    ++sink->lines;
    if (!SinkOpen(sink)) {
        return;
    }
    const uint64_t w = Units::kUnitSize;
    if (e->units.At(e->text, end) == emitter_detail::kCr && e->units.At(e->text, end + w) == emitter_detail::kLf) {
        emitter_detail::Gather(e, sink, start, end + 2 * w);
        return;
    }
    EmitterFlush(e);
    SinkPut(sink, e->text + start, end - start);
    SinkPut(sink, e->units.LineEnd(), 2 * w);
}

// Writes every line of text[from, to) with CR LF, all to one sink. from
// starts a line; to starts a line or is size, the text's end, where the
// last line may have no line end. avx2: the processor has 32-byte vectors.
template <typename Units>
void EmitLines(Emitter<Units>* e, LineSink* sink, uint64_t size, uint64_t from, uint64_t to, bool avx2)
{
    const Units& u = e->units;
    if (!SinkOpen(sink)) {
        sink->lines += emitter_detail::CountLines(u, e->text, size, from, to, avx2);
        return;
    }
    // One short line that ends in CR LF (a line between two that hold the
    // needle, in a log where many do): its own output, gathered.
    const uint64_t w = Units::kUnitSize;
    if (to - from <= emitter_detail::kShortLine * w && to - from >= 2 * w && u.At(e->text, to - 2 * w) == emitter_detail::kCr &&
        u.At(e->text, to - w) == emitter_detail::kLf && u.FindLineEnd(e->text, size, from, false) == to - 2 * w) {
        ++sink->lines;
        emitter_detail::Gather(e, sink, from, to);
        return;
    }
    uint64_t i = from;
    while (i < to) {
        uint64_t plainEnd;
        uint64_t rewrite = emitter_detail::FindLineEndToRewrite(u, e->text, i, to, avx2, &plainEnd, &sink->lines);
        if (plainEnd > i) {
            emitter_detail::Gather(e, sink, i, plainEnd);
            // LF units after that last CR LF belong to no line.
            i = plainEnd;
            while (i < to && u.At(e->text, i) == emitter_detail::kLf) {
                i += Units::kUnitSize;
            }
        }
        if (i >= to) {
            break;
        }
        // The unit to rewrite ends the line that starts at i (no line end
        // lies between them); past the stretch's plain part, the text's
        // last line may have no line end at all.
        uint64_t end = (rewrite < to && i <= rewrite) ? rewrite : u.FindLineEnd(e->text, size, i, avx2);
        EmitLine(e, sink, i, end);
        if (end >= size) {
            break;
        }
        i = u.NextLineStart(e->text, end);
        // Where one line end is rewritten, short lines with more often follow.
        EmitterFlush(e);
        emitter_detail::RewriteShortLines(u, sink, e->text, &i, to, avx2);
    }
}

#endif
