// The repair of what a run left half done when it was killed or the power
// failed, from its record (filter/run_record.h), at the next start and
// before any run that touches a folder holding a record.
//
// What the record says was done decides, and each file is known by its
// identity, never by what lies under a name:
// - before every export was complete, the run did not happen: an appended
//   export that still is that file is cut back to its old length and gets
//   its old last-write time back; the record's temporary files are removed;
//   a file the claim created is removed if it still is that file and holds
//   no more than the run can have written;
// - once the exports began to take their places, those that did keep their
//   new content; one that did not is put back: its old file under its name
//   again (from the backup, if the replace got that far), the temporary file
//   removed; appended exports keep their lines only if every rewritten
//   export took its place (lines moved out of the source are then in them).
// A backup or a temporary file is removed only while the target's name holds
// the file the record says it should; a name that holds another program's
// file is left as it is, with our files beside it, and told.
#ifndef QUORVANE_RUN_REPAIR_H
#define QUORVANE_RUN_REPAIR_H

#include "platform/platform.h"

// Records acted on in one pass at most: the pass is bounded.
enum { kRepairMostRecords = 16 };
// Paths told at most; the rest are counted.
enum { kRepairMostTold = 6 };

// What a repair did, for the one message that tells the user.
struct RepairReport {
    uint32_t putBack;        // exports put back as they were before the run
    uint32_t kept;           // files left beside an export, for the user
    FormChar putBackPaths[kRepairMostTold][kLongPathCapacity];
    FormChar keptPaths[kRepairMostTold][kTempPathCapacity];
};

void RepairInit(RepairReport* report);
inline bool RepairDidSomething(const RepairReport* report)
{
    return report->putBack > 0 || report->kept > 0;
}

// Acts on each record the pointers in this user's folder of ours name.
void RepairFromPointers(RepairReport* report);
// Acts on each record in the folder of path.
void RepairBeside(const FormChar* path, RepairReport* report);
// Acts on one record. Does nothing when its run is still going on.
void RepairRecord(const FormChar* recordPath, RepairReport* report);

#endif
