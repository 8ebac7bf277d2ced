// The line pass over a whole source, chosen by its encoding: streams it
// through the read window and routes every line.
#ifndef QUORVANE_ROUTE_LINES_H
#define QUORVANE_ROUTE_LINES_H

#include "filter/emit/line_sink.h"
#include "filter/pass/read_window.h"
#include "filter/pass/text_encoding.h"
#include "filter/search/search_needles.h"
#include "platform/platform.h"

// Reads the window's source to its end and routes its lines: a line
// containing the search text goes, ended with a line end, to withSink, any
// other line to withoutSink (see RouteCompleteLines). An empty source is
// one empty line. The window starts after the source's byte order mark, if
// any; encoding is what the mark said. Lines of a UTF-16 source are cut at
// its units and written in its encoding and byte order; any other source's
// lines are cut at its bytes and written with the bytes CR LF. needles and
// rules must outlive the call. False when the source could not be read
// whole (the exports then hold only part of the lines).
bool RouteLines(ReadWindow* window, SourceEncoding encoding, const SearchNeedles* needles, const TextRules* rules,
                LineSink* withoutSink, LineSink* withSink);

#endif
