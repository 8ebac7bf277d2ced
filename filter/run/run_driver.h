// The run's driver: takes a request, streams the source through the line
// pass into the exports' transaction, and gives the outcome. Another
// thread may watch how far the reading got and ask the run to stop.
#ifndef QUORVANE_RUN_DRIVER_H
#define QUORVANE_RUN_DRIVER_H

#include "filter/form/run_outcome.h"
#include "filter/form/run_request.h"
#include "platform/platform.h"

// What the run shares with the thread that watches it.
struct RunControl {
    // Raised to stop the run. It is read between read windows, inside long
    // work on one line (the platform asked about its parts, its
    // character boundaries walked) and while a held file is waited for; once the exports have begun to take their
    // places the run finishes instead, so that no export is left half done.
    StopFlag stop;
    // The source's size once it is open, and the bytes read so far.
    volatile uint64_t sourceSize;
    volatile uint64_t sourceRead;
    // Where the run tells what it put back of a run before it that was
    // killed (a record left in a folder it touches); null: not told.
    struct RepairReport* repaired;
    // The code page's rules, read once for the program's life (reading
    // them asks the platform some ten thousand times); null: the run reads
    // them itself.
    const TextRules* rules;
};

void RunControlInit(RunControl* control);

// Runs the request to its end. A run is all or nothing for every export:
// when it fails or is stopped, every file is as it was (see RunOutcome for
// the half-done replaces that are told).
void DriveRun(const RunRequest* request, RunControl* control, RunOutcome* outcome);

#endif
