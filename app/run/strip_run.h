// A strip run as the dialog keeps it: the request taken when the button was
// pressed, the worker thread that drives it, and what the two share.
//
// The worker is made at the first run and kept for the dialog's life: it
// waits for the next run, drives it, posts WM_STRIP_RUN_DONE and waits
// again. (A new thread takes some milliseconds to start under Wine, as
// long as a run of a small file.)
#ifndef QUORVANE_STRIP_RUN_H
#define QUORVANE_STRIP_RUN_H

#include <windows.h>

#include "filter/filter.h"
#include "filter/durability/run_repair.h"

// Posted by the worker when its run is over; wParam is the run's number.
enum : UINT { WM_STRIP_RUN_DONE = WM_APP + 1 };
// Posted to the dialog at its start when the repair of what a killed run
// left found something to put back; lParam is the RepairReport.
enum : UINT { WM_SHOW_REPAIRED = WM_APP + 2 };

struct StripRun {
    // Shared with the worker while it lives: the request (read only), the
    // control (stop flag and progress), and the outcome it fills in.
    RunRequest request;
    RunControl control;
    RunOutcome outcome;
    // What the run put back, before it began, of a run that was killed.
    RepairReport repaired;
    // The code page's rules, read by the first run's worker and kept for
    // every run after it.
    TextRules rules;
    bool rulesRead;
    HWND dialog;
    // The worker, and its signals: go (a run is asked for), ended (no run
    // is going on), quit (raised with go: the worker ends).
    HANDLE worker;
    HANDLE go;
    HANDLE ended;
    volatile LONG quit;
    // The run going on, or the last one, counted from 1: its done message
    // carries it, so that a message left over from a run the timer found
    // done already is passed over.
    WPARAM number;
    // The dialog's own, untouched by the worker.
    bool running;            // a run was started and is not yet finished
    DWORD startTick;
    bool showingProgress;
    bool endWhenDone;        // the user closed the dialog during the run
    int lastPercent;
    WCHAR caption[128];      // the dialog's title before the run
};

// Starts the run the form asks for on a thread of its own, with the form
// locked meanwhile. Does nothing when there is nothing to run or a run is
// already going on.
void StartStripRun(StripRun* run);
// True from a run's start until the dialog has finished it.
inline bool StripRunning(const StripRun* run)
{
    return run->running;
}
// Asks the run to stop; it ends soon with every file as it was.
void StopStripRun(StripRun* run);
// Called when the worker said it is done (or is found done): the form is
// given back, the title restored, and a failure told. False when the worker
// has not ended within a moment after all: nothing is given back yet, and
// the caller looks again later.
bool FinishStripRun(StripRun* run);
// Waits up to timeoutMs for the run to end; true when it has (or none
// runs). No wait of the dialog's thread is without a bound: a run that
// does not end in time is left to end on its own.
bool WaitForStripRun(StripRun* run, DWORD timeoutMs);
// Ends the worker, waiting up to timeoutMs; true when it has ended (or none
// was made): the StripRun's memory is free then. A worker whose run still
// goes on ends once the run is over.
bool EndStripWorker(StripRun* run, DWORD timeoutMs);

// Once a run has lasted a moment, its progress in the title and the
// "working in background" cursor; called a few times a second.
void ShowStripProgress(StripRun* run);

// The one message that tells what a repair put back, owned by the dialog.
void ShowRepairReport(HWND dialog, const RepairReport* report);
// The same message's text. Returns its length.
int FormatRepairReport(const RepairReport* report, WCHAR* text, int capacity);

// The line in the dialog that tells what a run did (outcome_line.cpp):
// added to the dialog when it opens, shown when a run ends, cleared when
// the form changes or the next run starts.
void AddOutcomeLine(HWND dialog);
void ShowOutcomeLine(HWND dialog, const RunRequest* request, const RunOutcome* outcome);
void ClearOutcomeLine(HWND dialog);
// The line's text; empty for a failure (told in its box) or nothing run.
// Returns its length.
int FormatOutcomeLine(const RunRequest* request, const RunOutcome* outcome, WCHAR* text, int capacity);

// The message box of a failed run, owned by the dialog.
void ShowRunFailure(HWND dialog, const RunRequest* request, const RunOutcome* outcome);
// The same message's text, for the box and for the tests. Returns its length.
int FormatRunFailure(HWND dialog, const RunRequest* request, const RunOutcome* outcome, WCHAR* text,
                     int capacity);

#endif
