// The exports' transaction: each switched-on export is claimed before any
// line is written, receives its lines, and then either takes its place as a
// whole (commit) or leaves its file exactly as it was (roll back).
//
// An export is never written while the source is read: its lines go to a
// temporary file beside it. On commit a rewritten export's temporary file
// replaces it, and an appended export's is added at its end, flushed, and
// removed. A roll back after that cuts an appended export back to the
// length it had, but only by the run's own bytes.
#ifndef QUORVANE_EXPORT_TRANSACTION_H
#define QUORVANE_EXPORT_TRANSACTION_H

#include "filter/emit/line_sink.h"
#include "filter/file_steps/previous_version.h"
#include "filter/form/run_outcome.h"
#include "filter/form/run_request.h"
#include "filter/pass/text_encoding.h"
#include "platform/platform.h"

enum ExportState {
    kExportIdle,        // switched off
    kExportShared,      // names the file the other export holds: gets no line
    kExportUnclaimed,   // could not be had for writing
    kExportOpen,        // claimed; lines go to output, a temporary file
    kExportCommitted,   // holds the run's lines
    kExportRolledBack,  // as it was
};

struct Export {
    ExportState state;
    RunFile which;
    FileHandle claim;     // the export file itself, held for the whole run
    // Which file the claim holds, taken once: a held file stays the file
    // it is, and asking costs (under Wine a call to another process).
    bool claimKnown;
    FileIdentity claimId;
    FileHandle output;    // where lines go: a temporary file
    bool created;         // the claim created the file
    bool append;
    bool hadContent;
    bool inPlace;        // the export is the run's source (rewritten or appended to)
    uint64_t oldSize;     // the file's length when claimed
    uint64_t oldTime;     // and its last-write time, given back when it is cut back
    uint32_t error;       // why it could not be claimed
    // An export with content appended to: the encoding its first bytes tell.
    SourceEncoding encoding;
    ExportFate fate;
    FormChar path[kLongPathCapacity];   // as typed, then as the file system names the claimed file
    // Names chosen when it is claimed so that the run's record can name
    // them before they are made: the temporary file, and (a rewrite) the
    // backup the old file goes to during the replace.
    FormChar tempName[kTempPathCapacity];
    FormChar backupName[kTempPathCapacity];
    FormChar tempPath[kTempPathCapacity];   // the temporary file once made
    // A rewrite of a file with content keeps its previous version: the
    // file it was (its identity as claimed) and the names it goes by
    // while it is put away (previous_version.h).
    bool keepsPrevious;
    PreviousVersion previousVersion;
    PreviousFate previous;
    FormChar previousKept[kNotedPathCapacity];   // where it stays, unless recycled
    // Which file the temporary one is, taken when it was made: a repair
    // knows by it whether the replace put it in the export's place.
    bool newKnown;
    FileIdentity newId;
    uint64_t newSize;     // the temporary file's length once complete
    // An appended export's commit: the lines were being added from
    // appendFrom, the file's length then (appendTime its last-write time
    // then); once appended, flushed, they left it at appendedSize and
    // appendedTime.
    bool appending;
    bool appended;
    uint64_t appendFrom;
    uint64_t appendTime;
    uint64_t appendedSize;
    uint64_t appendedTime;
};

struct ExportTransaction {
    Export without;
    Export with;
    // The source as the file system names it, and how it was when the run
    // took its size: a rewrite of the source must not put away what another
    // program wrote to it meanwhile.
    const FormChar* sourceName;
    // The note a previous version's name carries (previous_version.h).
    const FormChar* previousNote;
    FileStamp sourceStamp;
    // The sum of every byte of the source the run read (content_sum.h),
    // set once it was read when the source is rewritten: what lets the
    // replace tell an append by another program from any other change.
    uint64_t sourceSum;
    // The run's record, told of each step a repair must know of; null when
    // the run goes on without one.
    struct HeldRecord* heldRecord;
    // The record could not be written at a step: the run does not commit.
    bool recordLost;
    // The source's new content took its name (even when its old file had
    // to be kept beside it): the lines moved out of it stay in their exports.
    bool sourceLanded;
    // The source's encoding, once its first bytes are read: lines go only
    // into files of the same.
    SourceEncoding encoding;
    // Room the commit copies an appended export's lines through.
    char* scratch;
    uint32_t scratchSize;
};

// Claims the switched-on exports, the without-string one first. The source
// is open meanwhile; sourceName and sourceStamp must be set. An export with
// content to be appended to has its first bytes read, to know its encoding.
void ClaimExports(ExportTransaction* t, const RunRequest* request, const StopFlag* stop);

// Makes the temporary files of the claimed exports, under the names chosen
// for them. One that cannot be made leaves its export unclaimed.
void OpenOutputs(ExportTransaction* t, const StopFlag* stop);

// The run's record of the exports, as the transaction holds them, at the
// given step (RecordStep). False when the record could not be written.
bool TellRecord(ExportTransaction* t, uint32_t step);

// True when an export gets lines: it was claimed and its output is open.
inline bool ExportOpen(const Export* e)
{
    return e->state == kExportOpen;
}
// True when an export takes the lines left in the source away from it.
inline bool RewrittenInPlace(const Export* e)
{
    return ExportOpen(e) && e->inPlace && !e->append;
}

// True when an open export's file starts with what this run writes (new,
// rewritten, or empty before an append): it begins with the source's byte
// order mark, if any.
inline bool ExportStartsFile(const Export* e)
{
    return !e->append || e->oldSize == 0;
}

// The first export whose content is in another encoding than the source's
// and is to be appended to, or none.
Export* MixedExport(ExportTransaction* t);

// Makes sure every open export's temporary file holds all its lines before
// any file takes its place: its sink's writes went through, a rewrite's was
// flushed where it must be durable, and it was closed without a failure.
// False with the failure recorded in outcome; every file is still as it was.
bool PrepareCommit(ExportTransaction* t, LineSink* without, LineSink* with, RunOutcome* outcome);

// Lands every open export: the rewritten ones but the source, then
// the appended ones (their lines added at their ends and flushed), then the
// source. Lines moved out of the source into another export have landed
// there before the source loses them. If one cannot take its place, the
// ones after it keep their files and the appended ones are cut back. Once
// begun, it is not stopped.
void CommitExports(ExportTransaction* t, RunOutcome* outcome);

// Leaves every export's file as it was: temporary files removed, appended
// exports cut back, files the claims created removed.
void RollBackExports(ExportTransaction* t, RunOutcome* outcome);

#endif
