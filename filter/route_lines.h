// The line pass over a whole source: streams it through the read window and
// routes every line.
#ifndef QUORVANE_ROUTE_LINES_H
#define QUORVANE_ROUTE_LINES_H

#include "filter/line_sink.h"
#include "filter/read_window.h"
#include "platform/platform.h"

// Reads the window's source to its end and routes its lines: a line
// containing needle goes, ended with CR LF, to withTarget, any other line to
// withoutTarget (see RouteCompleteLines). An empty source is one empty line.
// needle is zero-terminated, non-empty, in the ANSI code page. False when
// the source could not be read whole (the exports then hold only part of
// the lines).
bool RouteLines(ReadWindow* window, bool ignoreCase, const char* needle, const TextRules* rules,
                LineSink* withoutTarget, LineSink* withTarget);

#endif
