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
// Writes what the buffer holds; false when this or any earlier write failed.
bool SinkFlush(LineSink* sink);

#endif
