// The buffered sink: one write call per full buffer, whatever the lines.

#include "filter/emit/line_sink.h"

namespace {

// Largest single write call.
const uint32_t kMaxWriteChunk = 1u << 30;

void CopyBytes(char* to, const char* from, uint64_t count)
{
    __builtin_memcpy(to, from, count);
}

void SinkWrite(LineSink* sink, const char* bytes, uint64_t count)
{
    while (count > 0 && !sink->failed) {
        uint32_t chunk = count > kMaxWriteChunk ? kMaxWriteChunk : static_cast<uint32_t>(count);
        if (!PlatformWrite(sink->file, bytes, chunk)) {
            sink->error = PlatformLastError();
            sink->failed = true;
        }
        bytes += chunk;
        count -= chunk;
    }
}

}  // namespace

void SinkInit(LineSink* sink, FileHandle file, char* buffer, uint32_t capacity)
{
    sink->file = file;
    sink->buffer = buffer;
    sink->capacity = capacity;
    sink->used = 0;
    sink->failed = false;
    sink->error = 0;
    sink->lines = 0;
}

void SinkPut(LineSink* sink, const char* bytes, uint64_t count)
{
    if (!SinkOpen(sink) || count == 0) {
        return;
    }
    uint64_t room = sink->capacity - sink->used;
    if (count <= room) {
        CopyBytes(sink->buffer + sink->used, bytes, count);
        sink->used += static_cast<uint32_t>(count);
        return;
    }
    if (count >= sink->capacity) {
        // Long stretches go straight from where they lie.
        SinkFlush(sink);
        SinkWrite(sink, bytes, count);
        return;
    }
    // Top the buffer up, write it whole, keep the rest.
    CopyBytes(sink->buffer + sink->used, bytes, room);
    sink->used = sink->capacity;
    SinkFlush(sink);
    CopyBytes(sink->buffer, bytes + room, count - room);
    sink->used = static_cast<uint32_t>(count - room);
}

bool SinkFlush(LineSink* sink)
{
    if (sink->file != nullptr && sink->used > 0 && !sink->failed) {
        SinkWrite(sink, sink->buffer, sink->used);
    }
    sink->used = 0;
    return !sink->failed;
}
