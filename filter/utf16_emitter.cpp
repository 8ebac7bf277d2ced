// The UTF-16 emitter.

#include "filter/utf16_emitter.h"

#include "filter/utf16_units.h"

void Utf16EmitterStart(Utf16Emitter* e, const char* text, bool bigEndian)
{
    e->bigEndian = bigEndian;
    e->text = text;
    e->sink = nullptr;
    e->from = 0;
    e->to = 0;
}

void Utf16EmitterFlush(Utf16Emitter* e)
{
    if (e->sink != nullptr && e->to > e->from) {
        SinkPut(e->sink, e->text + e->from, e->to - e->from);
    }
    e->sink = nullptr;
    e->from = e->to = 0;
}

void EmitUtf16LineEnd(LineSink* sink, bool bigEndian)
{
    const char le[4] = {'\r', 0, '\n', 0};
    const char be[4] = {0, '\r', 0, '\n'};
    SinkPut(sink, bigEndian ? be : le, 4);
}

void EmitUtf16Line(Utf16Emitter* e, LineSink* sink, uint64_t start, uint64_t end)
{
    if (!SinkOpen(sink)) {
        return;
    }
    const bool plainEnd = UnitAt(e->text, end, e->bigEndian) == 0x0D && UnitAt(e->text, end + 2, e->bigEndian) == 0x0A;
    if (plainEnd && sink == e->sink && start == e->to) {
        e->to = end + 4;
        return;
    }
    Utf16EmitterFlush(e);
    if (plainEnd) {
        e->sink = sink;
        e->from = start;
        e->to = end + 4;
        return;
    }
    SinkPut(sink, e->text + start, end - start);
    EmitUtf16LineEnd(sink, e->bigEndian);
}
