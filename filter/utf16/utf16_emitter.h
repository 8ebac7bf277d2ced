// The UTF-16 emitter: writes routed lines of a UTF-16 source into a sink,
// each ended with CR LF as two units in the source's byte order. Lines that
// already end that way are their own output, so a run of them that lie one
// after the other goes to the sink as one block.
#ifndef QUORVANE_UTF16_EMITTER_H
#define QUORVANE_UTF16_EMITTER_H

#include "filter/pass/line_sink.h"
#include "platform/platform.h"

struct Utf16Emitter {
    bool bigEndian;
    const char* text;
    // The block of lines gathered and not yet written: text[from, to), for
    // sink.
    LineSink* sink;
    uint64_t from;
    uint64_t to;
};

void Utf16EmitterStart(Utf16Emitter* emitter, const char* text, bool bigEndian);

// Writes the line text[start, end), whose line-end unit is at end (or the
// text's end), with CR LF.
void EmitUtf16Line(Utf16Emitter* emitter, LineSink* sink, uint64_t start, uint64_t end);

// Writes every line of text[from, to) with CR LF, all to one sink. from
// starts a line; to starts a line or is size, the text's end, where the last
// line may have no line end. The unit at size must be zero. Lines that end
// in CR LF already go as blocks, found 64 bytes at a time (avx2: with the
// processor's 32-byte vectors).
void EmitUtf16Lines(Utf16Emitter* emitter, LineSink* sink, uint64_t size, uint64_t from, uint64_t to, bool avx2);

// Writes just CR LF: the one empty line of an empty source.
void EmitUtf16LineEnd(LineSink* sink, bool bigEndian);

// Writes what is gathered. Call before the text changes.
void Utf16EmitterFlush(Utf16Emitter* emitter);

#endif
