// The buffered sink: where an export's routed lines gather before they are
// written to its file.
#ifndef QUORVANE_LINE_SINK_H
#define QUORVANE_LINE_SINK_H

#include "platform/platform.h"

// An export target with its output buffer. Lines routed to a sink without a
// file are dropped. Bytes gather in the buffer and reach the file one full
// buffer at a time; stretches of at least a buffer's size go straight from
// where they lie (the read window).
struct LineSink {
    FileHandle file;
    char* buffer;
    uint32_t capacity;
    uint32_t used;
    bool failed;      // some write failed; the sink writes nothing more
    uint32_t error;   // the system's reason for the failed write
    uint64_t lines;   // lines routed here, written or dropped (the export off)
};

void SinkInit(LineSink* sink, FileHandle file, char* buffer, uint32_t capacity);
// True when lines sent to the sink are written somewhere.
inline bool SinkOpen(const LineSink* sink)
{
    return sink->file != nullptr && !sink->failed;
}
void SinkPut(LineSink* sink, const char* bytes, uint64_t count);

// Whether route(), with sinks that count and write nothing standing in for
// *without and *with meanwhile, routes a line to the with-string one: what
// a pass would do with a text, asked without doing it.
template <typename Route>
bool RoutesAnyLineWith(LineSink** without, LineSink** with, Route route)
{
    LineSink counted[2];
    SinkInit(&counted[0], nullptr, nullptr, 0);
    SinkInit(&counted[1], nullptr, nullptr, 0);
    LineSink* const kept[2] = {*without, *with};
    *without = &counted[0];
    *with = &counted[1];
    route();
    *without = kept[0];
    *with = kept[1];
    return counted[1].lines > 0;
}
// Writes what the buffer holds; false when this or any earlier write failed.
bool SinkFlush(LineSink* sink);

#endif
