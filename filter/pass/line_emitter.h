// The emitter: writes routed lines into a sink, each ended with CR LF.
// Lines already ended with CR LF are their own output, so whole stretches
// of them go to the sink as one block.
#ifndef QUORVANE_LINE_EMITTER_H
#define QUORVANE_LINE_EMITTER_H

#include "filter/pass/line_sink.h"
#include "platform/platform.h"

// Writes the line text[start, end), which ends at end, with CR LF.
void EmitLine(LineSink* sink, const char* text, uint64_t start, uint64_t end);

// Writes just a CR LF: the one empty line of an empty source.
void EmitLineEnd(LineSink* sink);

// Writes every line of text[from, to) with CR LF. from starts a line; to
// starts a line or is size, the end of the text, where the last line may
// have no line end. text[size] and text[size + 1] must be zero.
void EmitLines(LineSink* sink, const char* text, uint64_t size, uint64_t from, uint64_t to, bool avx2);

#endif
