// The line pass: cuts the source block into lines and routes each one.
#ifndef QUORVANE_ROUTE_LINES_H
#define QUORVANE_ROUTE_LINES_H

#include "platform/platform.h"

// An export target with its output buffer. Lines routed to a sink without a
// file are dropped. Bytes gather in the buffer and reach the file one full
// buffer at a time (long stretches go straight from the source block).
struct LineSink {
    FileHandle file;
    char* buffer;
    uint32_t capacity;
    uint32_t used;
    bool failed;      // some write failed; the sink writes nothing more
};

void SinkInit(LineSink* sink, FileHandle file, char* buffer, uint32_t capacity);
void SinkPut(LineSink* sink, const char* bytes, uint64_t count);
// Writes what the buffer holds; false when this or any earlier write failed.
bool SinkFlush(LineSink* sink);

// Routes the lines of buffer[0, size): a line containing needle goes, ended
// with CR LF, to withTarget, any other line to withoutTarget. CR, LF and NUL
// end a line; LF bytes right after a line's end are skipped. The buffer must
// hold at least two zero bytes after the content; the pass writes zeros over
// line ends. needle is zero-terminated, non-empty, in the ANSI code page.
void RouteLines(char* buffer, uint64_t size, bool ignoreCase, const char* needle,
                const TextRules* rules, LineSink* withoutTarget, LineSink* withTarget);

#endif
