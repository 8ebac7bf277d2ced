// A replaced file's previous version: what a run puts away when it
// rewrites a file that had content (the source in place, an export over an
// existing file), so that the user can take the run back.
//
// The replace leaves the old file under its backup name. It is renamed
// beside the file to its noted name, "app (note).log", given a second name
// of ours (a hard link under the rewrite's temporary name, free once the
// new content took its place), and moved to the Recycle Bin under the noted
// name, from where Explorer's Restore puts it back in its folder beside the
// new file. The second name goes only while the file has another name
// still: a volume without a bin, or a file too big for it, may see the
// shell remove the file instead of recycling it, and then the second name
// takes the noted name again and the file stays beside.
//
// Each step is decided by which name holds the old file (its identity), so
// the same call finishes what a run killed at any point of it began.
#ifndef QUORVANE_PREVIOUS_VERSION_H
#define QUORVANE_PREVIOUS_VERSION_H

#include "filter/run_request.h"
#include "platform/platform.h"

// Room for a noted name: a path and the note (kNoteCapacity).
enum { kNotedPathCapacity = kLongPathCapacity + 32 };

enum PreviousFate {
    kPreviousNone,       // no previous version: nothing had to be kept
    kPreviousRecycled,   // in the Recycle Bin
    kPreviousBeside,     // kept beside the file, under its noted name
    kPreviousUnderOurs,  // kept beside the file under one of our names
};

// The noted name of path's previous version: "<name> (<note>)<extension>"
// in the same folder, the first that no file holds, with " 2", " 3"...
// after the note when it is taken. False when none fits.
bool NamePrevious(const FormChar* path, const FormChar* note, FormChar* noted);

// Puts the old file (identity old) away: from backup to noted, linked under
// link, recycled. *kept receives the name it stays under, unless recycled
// (kTempPathCapacity or more characters: noted's capacity).
PreviousFate PutPreviousAway(const FileIdentity& old, const FormChar* backup, const FormChar* noted,
                             const FormChar* link, FormChar* kept);

#endif
