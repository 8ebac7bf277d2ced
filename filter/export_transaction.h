// The exports' transaction: each switched-on export is claimed before any
// line is written, receives its lines, and then either takes its place as a
// whole (commit) or leaves its file exactly as it was (roll back).
//
// An export in rewrite mode is never truncated in place: its lines go to a
// temporary file beside it, which replaces it on commit. An export in
// append mode receives its lines at its end while the source is still
// being read; a roll back cuts it back to the length it had.
#ifndef QUORVANE_EXPORT_TRANSACTION_H
#define QUORVANE_EXPORT_TRANSACTION_H

#include "filter/line_sink.h"
#include "filter/run_outcome.h"
#include "filter/run_request.h"
#include "filter/text_encoding.h"
#include "platform/platform.h"

enum ExportState {
    kExportIdle,        // switched off
    kExportShared,      // names the file the other export holds: gets no line
    kExportUnclaimed,   // could not be had for writing
    kExportOpen,        // claimed; lines go to output
    kExportCommitted,   // holds the run's lines
    kExportRolledBack,  // as it was
};

struct Export {
    ExportState state;
    RunFile which;
    FileHandle claim;     // the export file itself, held for the whole run
    FileHandle output;    // where lines go: the claim (append) or a temporary file
    bool created;         // the claim created the file
    bool append;
    bool hadContent;
    bool isSource;        // a rewrite of the run's source
    uint64_t oldSize;     // the file's length when claimed
    uint64_t oldTime;     // and its last-write time, given back when it is cut back
    uint32_t error;       // why it could not be claimed
    // An export with content appended to: the encoding its first bytes tell.
    SourceEncoding encoding;
    ExportFate fate;
    FormChar path[kLongPathCapacity];   // as typed, then as the file system names the claimed file
    // A rewrite's names, chosen when it is claimed so that the run's record
    // can name them before they are made: the temporary file, and the
    // backup the old file goes to during the replace.
    FormChar tempName[kTempPathCapacity];
    FormChar backupName[kTempPathCapacity];
    FormChar tempPath[kTempPathCapacity];   // the temporary file once made
    // Which file the temporary one is, taken when it was made: a repair
    // knows by it whether the replace put it in the export's place.
    bool newKnown;
    FileIdentity newId;
};

struct ExportTransaction {
    Export without;
    Export with;
    // The source as the file system names it, and how it was when the run
    // took its size: a rewrite of the source must not put away what another
    // program wrote to it meanwhile.
    const FormChar* sourceName;
    FileStamp sourceStamp;
    // The sum of every byte of the source the run read (content_sum.h),
    // set once it was read when the source is rewritten: what lets the
    // replace tell an append by another program from any other change.
    uint64_t sourceSum;
    // The run's record, told of each step a repair must know of; null when
    // the run goes on without one.
    struct RunJournal* journal;
    // The source's encoding, once its first bytes are read: lines go only
    // into files of the same.
    SourceEncoding encoding;
};

// Claims the switched-on exports, the without-string one first. The source
// is open meanwhile; sourceName and sourceStamp must be set. An export with
// content to be appended to has its first bytes read, to know its encoding.
void ClaimExports(ExportTransaction* t, const RunRequest* request, const StopFlag* stop);

// Makes the temporary files of the claimed rewrites, under the names chosen
// for them. One that cannot be made leaves its export unclaimed.
void OpenOutputs(ExportTransaction* t, const StopFlag* stop);

// The run's record of the exports, as the transaction holds them, at the
// given step (RecordStep). False when the record could not be written.
bool RecordExports(ExportTransaction* t, uint32_t step);

// True when an export gets lines: it was claimed and its output is open.
inline bool ExportOpen(const Export* e)
{
    return e->state == kExportOpen;
}
// True when an export takes the lines left in the source away from it.
inline bool ExportRewritesSource(const Export* e)
{
    return ExportOpen(e) && e->isSource && !e->append;
}

// True when an open export's file starts with what this run writes (new,
// rewritten, or empty before an append): it begins with the source's byte
// order mark, if any.
inline bool ExportStartsFile(const Export* e)
{
    return !e->append || e->oldSize == 0;
}

// The first export whose content is in another encoding than the source's
// and is to be appended to, or none. Asked before any line is written: the
// export found is left as it was by a roll back, not cut back.
Export* MixedExport(ExportTransaction* t);

// Makes sure every open export holds all its lines, on the disk, before
// any file takes its place: its sink's writes went through, its file was
// flushed (a new file, a temporary one and an appended one alike), and a
// temporary file was closed without a failure. False with the failure
// recorded in outcome; every file is still as it was.
bool PrepareCommit(ExportTransaction* t, LineSink* without, LineSink* with, RunOutcome* outcome);

// Puts every open export in place: the rewritten ones first, of them the
// source last, then the appended ones are kept. Lines moved out of the
// source into another export have landed there before the source loses
// them. If one cannot take its place, the ones after it keep their files
// and the appended ones are cut back. Once begun, it is not stopped.
void CommitExports(ExportTransaction* t, RunOutcome* outcome);

// Leaves every export's file as it was: temporary files removed, appended
// exports cut back, files the claims created removed.
void RollBackExports(ExportTransaction* t, RunOutcome* outcome);

#endif
