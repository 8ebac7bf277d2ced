// Routing the lines of a UTF-16 source (one with a UTF-16 byte order mark):
// lines end at the units U+000D, U+000A and U+0000 by the same rules as the
// bytes of any other source (a run of LF units after a line's end is
// skipped, an empty source is one empty line), are matched as UTF-16 text,
// and are written in the source's byte order, each ended with CR LF as two
// units. An odd last byte, half a unit, belongs to the last line: it is
// written right after that line's CR LF, so that it stays the last byte of
// the export and every unit before it keeps its place.
#ifndef QUORVANE_UTF16_LINES_H
#define QUORVANE_UTF16_LINES_H

#include "filter/emit/line_sink.h"
#include "filter/pass/read_window.h"
#include "filter/search/search_needles.h"
#include "filter/utf16/utf16_matcher.h"
#include "filter/utf16/utf16_units.h"
#include "platform/platform.h"

struct Utf16Pass {
    Utf16Matcher matcher;
    LineSink* without;
    LineSink* with;
    // Where the last routed line went, for an odd last byte.
    LineSink* last;
};

// Routes every line of the window's UTF-16 source, which starts after its
// byte order mark; false when it could not be read whole (or a stop raised
// meanwhile, seen inside a long line too, ended it: the window then tells
// it stopped).
bool RouteUtf16Lines(ReadWindow* window, const SearchNeedles* needles, bool bigEndian, LineSink* withoutSink,
                     LineSink* withSink);

// Routes the lines of text[0, size), size even and > 0: text starts a line
// and ends at a line's end, except at the end of the source, where the last
// line may have none. The unit at size must be zero.
void RouteCompleteUtf16Lines(Utf16Pass* pass, char* text, uint64_t size);

#endif
