// The run's outcome: what failed, at which file, with which system error,
// and what became of each export: its lines, and its file's previous
// version. A failure is told in a message built from it; a run that ended
// otherwise is told in a line of the dialog.
#ifndef QUORVANE_RUN_OUTCOME_H
#define QUORVANE_RUN_OUTCOME_H

#include "filter/form/run_request.h"
#include "filter/pass/text_encoding.h"
#include "platform/platform.h"

enum RunFailure {
    kRunSucceeded,
    kRunNothingAsked,      // the search text or the source path is empty
    kRunStopped,           // the user stopped it; no file was changed
    kRunSearchTooLong,     // the search text does not fit in the ANSI code page's buffer
    kRunPathTooLong,       // a path field holds more than a path may
    kRunSourceUnopened,    // the source cannot be opened
    kRunNoMemory,          // the run's buffers cannot be had
    kRunSourceUnread,      // a read of the source failed
    kRunSourceChanged,     // another program changed the source during the run
    kRunExportUnclaimed,   // an export cannot be opened for writing
    kRunExportUnwritten,   // a write (or the flush) to an export failed
    kRunExportUnreplaced,  // an export's new content could not take its place
    kRunNameTaken,         // another program put a file of its own under the source's or an export's name
    kRunMixedEncodings,    // an export to append to is in another encoding than the source
    kRunSearchNotHeld,     // the code page cannot hold the search text, and no line of a code-page source holds it
};

// The file a failure is about.
enum RunFile {
    kNoFile,
    kSourceFile,
    kWithoutExport,
    kWithExport,
};

// What became of one export.
enum ExportFate {
    kExportOff,           // switched off, or the other export holds its file
    kExportUnchanged,     // as it was before the run
    kExportWritten,       // holds what the run meant for it
    kExportNotCutBack,    // appended to, and could not be cut back: the run's lines are still at its end
    kExportKeptBoth,      // new content in keptNew, old in keptOld (neither under its own name)
};

// Where a replaced file's previous version went.
enum PreviousFate {
    kPreviousNone,       // no previous version: nothing had to be kept
    kPreviousRecycled,   // in the Recycle Bin
    kPreviousBeside,     // kept beside the file, under its noted name
    kPreviousUnderOurs,  // kept beside the file under one of our names
    kPreviousLeft,       // (a repair) already where the user or the run left it: not touched
};

// What a run did with one export, for the line that tells the user.
struct ExportReport {
    // The lines routed to it: written, or with the export off (or its
    // file the other export's), the lines that went to no file.
    uint64_t lines;
    bool inPlace;    // it rewrote the source, or added to it
    // Where the previous version of the file it rewrote went.
    PreviousFate previous;
    FormChar previousKept[kNotedPathCapacity];   // unless recycled
};

struct RunOutcome {
    RunFailure failure;
    RunFile file;
    uint32_t systemError;
    ExportFate without;
    ExportFate with;
    ExportReport withoutReport;
    ExportReport withReport;
    FormChar keptNew[kTempPathCapacity];
    FormChar keptOld[kTempPathCapacity];
    // With kExportKeptBoth: the export's own name holds neither, but a file
    // another program made there meanwhile (left as it is).
    bool keptNameTaken;
    // The two encodings of a refused append: the export's, the source's.
    SourceEncoding exportEncoding;
    SourceEncoding sourceEncoding;
};

void OutcomeInit(RunOutcome* outcome);
// Records a failure; the first one recorded is the one told.
void OutcomeFail(RunOutcome* outcome, RunFailure failure, RunFile file, uint32_t systemError);
// True when the user is to be told: the run failed for another reason
// than being stopped or having nothing to do.
bool OutcomeIsTold(const RunOutcome* outcome);

#endif
