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
    uint32_t error;       // why it could not be claimed
    // An export with content appended to: the encoding its first bytes tell.
    SourceEncoding encoding;
    ExportFate fate;
    FormChar path[kLongPathCapacity];   // as typed, then as the file system names the claimed file
    FormChar tempPath[kTempPathCapacity];
};

struct ExportTransaction {
    Export without;
    Export with;
    // The source as the file system names it, and how it was when the run
    // took its size: a rewrite of the source must not put away what another
    // program wrote to it meanwhile.
    const FormChar* sourceName;
    FileStamp sourceStamp;
    // The source's encoding, once its first bytes are read: lines go only
    // into files of the same.
    SourceEncoding encoding;
};

// Claims the switched-on exports, the without-string one first. The source
// is open meanwhile; sourceName and sourceStamp must be set. An export with
// content to be appended to has its first bytes read, to know its encoding.
void ClaimExports(ExportTransaction* t, const RunRequest* request, const StopFlag* stop);

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

// Makes sure every open export holds all its lines: its sink's writes went
// through, and a file that is to replace one with content is on the disk.
// False with the failure recorded in outcome.
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
