// A replaced file's previous version: what a run puts away when it
// rewrites a file that had content (the source in place, an export over an
// existing file), so that the user can take the run back.
//
// The replace leaves the old file under its backup name. It is renamed
// beside the file to its noted name, "app (note).log", given a second name
// of ours (a hard link under the rewrite's temporary name, free once the
// new content took its place), and moved to the Recycle Bin under the noted
// name, from where Explorer's Restore puts it back in its folder beside the
// new file. The number of names the file has is taken just before: the
// shell may remove a file instead of recycling it (a volume without a bin,
// a file too big for it), and then the file has one name fewer. Only when
// it has as many, the bin holds it and our second name goes; else that
// name takes the noted name again and the file stays beside.
//
// Each step is decided by which name holds the old file (its identity) and
// what the run's record says was reached, so the same call finishes what a
// run killed at any point of it began; the run's record is told the noted
// name before the rename and the count before the recycle.
#ifndef QUORVANE_PREVIOUS_VERSION_H
#define QUORVANE_PREVIOUS_VERSION_H

#include "filter/form/run_outcome.h"
#include "filter/form/run_request.h"
#include "platform/platform.h"

struct PreviousVersion {
    FileIdentity old;                     // the old file
    const FormChar* path;                 // the file it was the content of
    const FormChar* backup;               // where the replace left it
    const FormChar* link;                 // its second name while it is recycled
    FormChar noted[kNotedPathCapacity];   // its noted name, once chosen
    uint32_t namesBefore;                 // its names just before the recycle; 0 before that
};

// The noted name of path's previous version: "<name> (<note>)<extension>"
// in the same folder, the first that no file holds, with " 2", " 3"...
// after the note when it is taken. False when none fits.
bool NamePrevious(const FormChar* path, const FormChar* note, FormChar* noted);

// Tells the run's record what p says now; false when it could not: the
// step after is not taken.
typedef bool (*RecordUpdater)(void* arg);

// Puts the old file away, its noted name made with note. A run gives the
// record to tell before each step; a repair goes by what the record said
// (noted, namesBefore) and tells nothing (tell null). *kept receives the
// name the file stays under, unless recycled (kNotedPathCapacity
// characters).
PreviousFate PutPreviousAway(PreviousVersion* p, const FormChar* note, RecordUpdater tell, void* arg, FormChar* kept);

#endif
