// The repair of what a run left half done when it was killed or the power
// failed, from its record (filter/durability/run_record.h), at the next start and
// before each run.
//
// Only records this user's own runs wrote are acted on: one that a pointer
// in this user's folder names, that is still the file the pointer says,
// and whose slot carries the seal of the pointer's key. A record anywhere
// else is left where it is, untouched.
//
// What the record says was done decides, and each file is known by its
// identity, never by what lies under a name:
// - before every export was complete, the run did not happen: temporary
//   files the run made are removed; a file the claim created is removed if
//   it still is that file and is empty;
// - once the exports began to take their places, those that did keep their
//   new content; one that did not is put back: its old file under its name
//   again (from the backup, if the replace got that far), the temporary file
//   removed; appended exports keep their lines only if they were added
//   whole and every rewritten export took its place (lines moved out of the
//   source are then in them). An appended export is cut back only by bytes
//   proven the run's own; what another program added since stays.
// - the source's old file, kept under a backup name during its replace,
//   goes only once what a logger added to it meanwhile is in the new file.
// A backup or a temporary file is removed only while the target's name holds
// the file the record says it should; a name that holds another program's
// file is left as it is, with our files beside it, and told.
#ifndef QUORVANE_RUN_REPAIR_H
#define QUORVANE_RUN_REPAIR_H

#include "filter/file_steps/previous_version.h"
#include "platform/platform.h"

// Records acted on in one pass at most: the pass is bounded.
enum { kRepairMostRecords = 64 };
// Paths told at most; the rest are counted.
enum { kRepairMostTold = 6 };

// What a repair did, for the one message that tells the user.
struct RepairReport {
    uint32_t putBack;        // exports put back as they were before the run
    uint32_t kept;           // files left beside an export, for the user
    FormChar putBackPaths[kRepairMostTold][kLongPathCapacity];
    FormChar keptPaths[kRepairMostTold][kNotedPathCapacity];
};

void RepairInit(RepairReport* report);
inline bool RepairDidSomething(const RepairReport* report)
{
    return report->putBack > 0 || report->kept > 0;
}

// Acts on each record the pointers in this user's folder of ours name;
// a record whose run is still going on is left alone.
void RepairFromPointers(RepairReport* report);

#endif
