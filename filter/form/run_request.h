// The run's request: everything a strip run needs from the form, read at
// once when the run is asked for, so that the run works from what the user
// saw when they pressed the button, whatever the form shows meanwhile.
#ifndef QUORVANE_RUN_REQUEST_H
#define QUORVANE_RUN_REQUEST_H

#include "filter/search/search_needles.h"
#include "platform/platform.h"

// The field takes at most kSearchFieldLimit units of search text (the
// request holds up to kSearchCapacity).
enum { kSearchFieldLimit = 128 };

struct ExportRequest {
    bool on;
    bool append;
    // The export's own path, or the source's when its field is empty.
    FormChar path[kPathCapacity];
    // The field held more than a path may: a path cut at the limit could
    // name another, existing file.
    bool pathTooLong;
};

// The note a file's previous version carries in its name, as
// "app (note).log": the user's language's (the program sets it).
enum { kNoteCapacity = 16 };

// Room for a noted name: a path and the note (kNoteCapacity).
enum { kNotedPathCapacity = kLongPathCapacity + 32 };

struct RunRequest {
    FormChar search[kSearchCapacity];
    bool searchTooLong;
    FormChar source[kPathCapacity];
    bool sourceTooLong;
    bool ignoreCase;
    ExportRequest without;
    ExportRequest with;
    FormChar previousNote[kNoteCapacity];
};

// Reads the form, in this order: the search text, the source path, the
// case option, then each export (switch, path, append box), the
// without-string export first. False when there is nothing to run: the
// search text or the source path is empty.
bool ReadRunRequest(FormHandle form, RunRequest* request);

#endif
