// The exports' transaction.

#include "filter/durability/export_transaction.h"

#include "filter/file_steps/file_compare.h"
#include "filter/form/form_text.h"
#include "filter/durability/run_record.h"
#include "resources/resource_ids.h"

namespace {

void ExportInit(Export* e, RunFile which)
{
    // Every field zero, nothing claimed, named or made; then what is not.
    *e = Export{};
    e->state = kExportIdle;
    e->which = which;
    e->encoding = kEncodingAnsi;
    e->fate = kExportOff;
    e->previous = kPreviousNone;
    e->previousVersion.path = e->path;
    e->previousVersion.backup = e->backupName;
    e->previousVersion.link = e->tempPath;
}

// An export that cannot be had: why, kept; the claim, if any, stays held
// until the end so that the other export cannot take the same file.
void MarkUnclaimed(Export* e, uint32_t error)
{
    e->state = kExportUnclaimed;
    e->error = error;
    e->fate = kExportUnchanged;
}

// Removes the file the claim created while the export's name holds it and
// it is empty: nothing another program wrote to it meanwhile goes with it.
void RemoveCreatedIfEmpty(const Export* e)
{
    if (e->created && e->claimKnown) {
        PlatformDeleteIfEmpty(e->path, &e->claimId);
    }
}

// Lets go of a claim, removing the file it created while that is empty.
// (Without its identity, the file a claim holds is the one it created a
// moment before.)
void ReleaseClaim(Export* e)
{
    PlatformClose(e->claim);
    if (e->created && !e->claimKnown) {
        PlatformDeleteIfEmpty(e->path, nullptr);
    }
    RemoveCreatedIfEmpty(e);
    e->claim = nullptr;
    e->claimKnown = false;
    e->created = false;
}

// Two encodings whose text can share a file: the same, or UTF-8 with a mark
// and a file without one, which is read by the UTF-8 rule wherever its lines
// are UTF-8. UTF-16 text goes only into UTF-16 of its byte order.
bool OneFamily(SourceEncoding a, SourceEncoding b)
{
    return a == b || (!IsUtf16(a) && !IsUtf16(b));
}

// Reads the encoding of an export with content that is to be appended to,
// from its first bytes. False when they cannot be read: it is not to be
// appended to.
bool ReadExportMark(Export* e)
{
    unsigned char head[kMaxBomLength];
    uint32_t got = 0;
    if (!PlatformReadHead(e->claim, head, kMaxBomLength, &got)) {
        uint32_t error = PlatformLastError();
        ReleaseClaim(e);
        MarkUnclaimed(e, error);
        return false;
    }
    e->encoding = EncodingOfMark(head, got);
    return true;
}

// A rewritten export, claimed: the file the claim holds, under its own
// name, is the one replaced, not a new file named as typed (other letter
// case, a short name, a link). Its temporary file and backup are named, to
// be made once the run's record names them. False when it cannot be had.
bool NameRewrite(const ExportTransaction* t, Export* e, uint32_t slot)
{
    if (!PlatformClaimedPath(e->claim, e->path, kLongPathCapacity) ||
        !PlatformNameBeside(e->path, 'v', slot, e->tempName) ||
        !PlatformNameBeside(e->path, 'b', slot + 1, e->backupName)) {
        MarkUnclaimed(e, PlatformLastError());
        return false;
    }
    e->inPlace = SameText(e->path, t->sourceName);
    // Content it had is kept as its previous version.
    e->keepsPrevious = e->hadContent && e->claimKnown;
    e->previousVersion.old = e->claimId;
    return true;
}

void ClaimExport(const ExportRequest* r, const Export* other, ExportTransaction* t, Export* e,
                 const StopFlag* stop)
{
    if (!r->on) {
        return;
    }
    CopyText(r->path, e->path, kLongPathCapacity);
    e->append = r->append;
    // Both exports naming one file: the first holds it, the second gets no
    // line. That is how the form asks to keep one half in place. (Asked
    // before the claim, which would wait for the file as for one that
    // another program holds.)
    if (other->claim != nullptr && PlatformSameFile(other->claim, e->path)) {
        e->state = kExportShared;
        return;
    }
    // A rewritten export's lines go to a temporary file: its own file is
    // only held, sharing writes with a program that adds to it meanwhile.
    e->claim = PlatformClaimTarget(e->path, &e->created, stop, !e->append);
    if (e->claim == nullptr) {
        MarkUnclaimed(e, PlatformLastError());
        return;
    }
    // Without the file's identity a repair could not tell it from another
    // that took its name: the export is not had.
    e->claimKnown = PlatformIdentity(e->claim, &e->claimId);
    if (!e->claimKnown) {
        uint32_t error = PlatformLastError();
        ReleaseClaim(e);
        MarkUnclaimed(e, error);
        return;
    }
    if (!PlatformFileSize(e->claim, &e->oldSize)) {
        // Without its length an appended export could not be cut back.
        uint32_t error = PlatformLastError();
        ReleaseClaim(e);
        MarkUnclaimed(e, error);
        return;
    }
    e->hadContent = e->oldSize > 0;
    FileStamp stamp;
    if (PlatformStamp(e->path, &stamp)) {
        e->oldTime = stamp.writeTime;
    }
    uint32_t slot = e->which == kWithoutExport ? 0 : 2;
    if (e->append) {
        if (e->hadContent && !ReadExportMark(e)) {
            return;
        }
        // Its lines wait in a temporary file until the commit.
        if (!PlatformNameBeside(e->path, 'v', slot, e->tempName)) {
            MarkUnclaimed(e, PlatformLastError());
            return;
        }
        e->state = kExportOpen;
        return;
    }
    if (NameRewrite(t, e, slot)) {
        e->state = kExportOpen;
    }
}

void OpenOutput(Export* e, const StopFlag* stop)
{
    if (!ExportOpen(e) || e->output != nullptr) {
        return;
    }
    CopyText(e->tempName, e->tempPath, kTempPathCapacity);
    e->output = PlatformCreateTempBeside(e->path, e->tempPath, stop);
    if (e->output == nullptr) {
        uint32_t error = PlatformLastError();
        e->tempPath[0] = 0;
        MarkUnclaimed(e, error);
        return;
    }
    e->newKnown = PlatformIdentity(e->output, &e->newId);
}

void DescribeExport(const Export* e, const ExportRequest* r, const FormChar* note, RecordedExport* out)
{
    const FormChar none[1] = {0};
    if (e->state == kExportCommitted && e->claim == nullptr) {
        // Landed, its claim let go: what the record said of it stands;
        // only its previous version goes on (one the replace found only
        // then, what another program wrote to it meanwhile, too).
        CopyText(e->keepsPrevious ? e->previousVersion.noted : none, out->notedPath, kNotedPathCapacity);
        out->namesBefore = e->keepsPrevious ? e->previousVersion.namesBefore : 0;
        CopyText(e->keepsPrevious ? note : none, out->note, kNoteCapacity);
        return;
    }
    out->on = r->on && (e->state == kExportOpen || e->state == kExportUnclaimed) && e->claim != nullptr;
    out->append = e->append;
    out->existed = !e->created;
    out->claimed = out->on && e->claimKnown;
    out->id = e->claimId;
    out->created = e->created;
    out->oldSize = e->oldSize;
    out->oldTime = e->oldTime;
    CopyText(e->path, out->path, kLongPathCapacity);
    CopyText(e->tempName, out->tempPath, kTempPathCapacity);
    CopyText(e->append ? none : e->backupName, out->backupPath, kTempPathCapacity);
    CopyText(e->keepsPrevious ? e->previousVersion.noted : none, out->notedPath, kNotedPathCapacity);
    out->namesBefore = e->keepsPrevious ? e->previousVersion.namesBefore : 0;
    CopyText(e->keepsPrevious ? note : none, out->note, kNoteCapacity);
    out->newKnown = e->newKnown;
    out->newId = e->newId;
    out->newSize = e->newSize;
    out->inPlace = e->inPlace;
    out->appending = e->appending;
    out->appended = e->appended;
    out->appendFrom = e->appendFrom;
    out->appendTime = e->appendTime;
    out->appendedSize = e->appendedSize;
    out->appendedTime = e->appendedTime;
}

uint32_t LineUnitOf(SourceEncoding encoding)
{
    return encoding == kEncodingUtf16Le ? kLineUnitUtf16Le : encoding == kEncodingUtf16Be ? kLineUnitUtf16Be : kLineUnitByte;
}

// Whether a rewrite's bytes, and the name it takes, must be on the disk
// before the next file takes its place: a power cut after the source lost
// its lines must find them in their export; a replaced file with content
// must not come back torn. A new file while the source keeps every line
// risks nothing the source does not still hold, and its flush would cost
// the run about as much again as the copy itself. (An appended export's
// waiting lines need no flush: they are flushed where they land.)
bool MustBeDurable(const ExportTransaction* t, const Export* e)
{
    return !e->append &&
           (e->hadContent || RewrittenInPlace(&t->without) || RewrittenInPlace(&t->with));
}

bool PrepareExport(const ExportTransaction* t, Export* e, LineSink* sink, RunOutcome* outcome)
{
    if (!ExportOpen(e)) {
        return true;
    }
    if (!SinkFlush(sink)) {
        OutcomeFail(outcome, kRunExportUnwritten, e->which, sink->error);
        return false;
    }
    if (MustBeDurable(t, e) && !PlatformFlush(e->output)) {
        OutcomeFail(outcome, kRunExportUnwritten, e->which, PlatformLastError());
        return false;
    }
    if (!PlatformFileSize(e->output, &e->newSize)) {
        OutcomeFail(outcome, kRunExportUnwritten, e->which, PlatformLastError());
        return false;
    }
    // A failed close may be a write that never landed.
    bool closed = PlatformClose(e->output);
    e->output = nullptr;
    if (!closed) {
        OutcomeFail(outcome, kRunExportUnwritten, e->which, PlatformLastError());
        return false;
    }
    return true;
}

// Ends an export that is not to take its lines: its temporary file goes,
// and so does the file the claim created.
void DiscardRewrite(Export* e)
{
    PlatformClose(e->output);
    e->output = nullptr;
    if (e->tempPath[0] != 0 && (!e->newKnown || NameHolds(e->tempPath, e->newId))) {
        PlatformDelete(e->tempPath);
    }
    ReleaseClaim(e);
}

// Ends an appended export whose lines were being added at its end and are
// not to stay: cut back to the length it had, but only when nothing but the
// run's own bytes lies past it (the same bytes as the lines that waited:
// no other program added to it meanwhile); then its last-write time as it
// was too. Removed when the claim created it.
void CutBackAppend(Export* e)
{
    uint64_t size = 0;
    bool ours = PlatformFileSize(e->claim, &size) && size >= e->appendFrom && size - e->appendFrom <= e->newSize;
    if (ours && size > e->appendFrom) {
        FileHandle waiting = PlatformOpenSource(e->tempPath);
        ours = waiting != nullptr && SameBytes(e->claim, e->appendFrom, waiting, 0, size - e->appendFrom);
        PlatformClose(waiting);
    }
    bool cut = ours && (size == e->appendFrom || PlatformTruncate(e->claim, e->appendFrom));
    if (cut && size != e->appendFrom) {
        PlatformSetWriteTime(e->claim, e->appendTime);
    }
    PlatformClose(e->claim);
    e->claim = nullptr;
    if (cut) {
        RemoveCreatedIfEmpty(e);
    }
    e->created = false;
    if (e->tempPath[0] != 0 && (!e->newKnown || NameHolds(e->tempPath, e->newId))) {
        PlatformDelete(e->tempPath);
    }
    e->fate = cut ? kExportUnchanged : kExportNotCutBack;
}

void RollBack(Export* e)
{
    if (e->state == kExportOpen || e->state == kExportUnclaimed) {
        if (e->append && e->appending && e->claim != nullptr) {
            CutBackAppend(e);
        } else {
            DiscardRewrite(e);
            e->fate = kExportUnchanged;
        }
        e->state = kExportRolledBack;
    }
}

// Adds an appended export's waiting lines at its end and flushes it, each
// step told to the run's record first. False when they are not all there
// (the outcome says why); the export is then still open, for a roll back.
bool AppendWaitingLines(ExportTransaction* t, Export* e, RunOutcome* outcome)
{
    FileStamp stamp;
    if (!PlatformFileSize(e->claim, &e->appendFrom) || !PlatformStamp(e->path, &stamp)) {
        OutcomeFail(outcome, kRunExportUnwritten, e->which, PlatformLastError());
        return false;
    }
    e->appendTime = stamp.writeTime;
    e->appending = true;
    if (!TellRecord(t, kRecordReplacing)) {
        e->appending = false;
        OutcomeFail(outcome, kRunExportUnwritten, e->which, PlatformLastError());
        return false;
    }
    FileHandle waiting = PlatformOpenSource(e->tempPath);
    bool ok = waiting != nullptr && PlatformSeekEnd(e->claim);
    for (uint64_t done = 0; ok && done < e->newSize;) {
        uint32_t want = e->newSize - done < t->scratchSize ? static_cast<uint32_t>(e->newSize - done) : t->scratchSize;
        uint32_t got = 0;
        ok = PlatformRead(waiting, t->scratch, want, &got) && got > 0 && PlatformWrite(e->claim, t->scratch, got);
        done += got;
    }
    uint32_t error = PlatformLastError();
    PlatformClose(waiting);
    if (ok && !PlatformFlush(e->claim)) {
        ok = false;
        error = PlatformLastError();
    }
    if (ok && PlatformStamp(e->path, &stamp)) {
        e->appendedSize = stamp.size;
        e->appendedTime = stamp.writeTime;
        e->appended = e->appendedSize == e->appendFrom + e->newSize;
        // Appended, as the record must say before anything counts on it.
        ok = e->appended && TellRecord(t, kRecordReplacing);
        error = PlatformLastError();
    } else {
        ok = false;
    }
    if (!ok) {
        OutcomeFail(outcome, kRunExportUnwritten, e->which, error);
    }
    return ok;
}

bool ReplaceOrDiscard(ExportTransaction* t, Export* e, RunOutcome* outcome);

// Neither file could go back under the export's name: both are kept, and
// the outcome says where.
void TellKeptBoth(ExportTransaction* t, Export* e, const FormChar* backup, RunOutcome* outcome)
{
    // The new bytes are in the temporary file, unless they made it under
    // the export's own name while the old ones could not go back.
    FileStamp stamp;
    if (PlatformStamp(e->tempPath, &stamp)) {
        CopyText(e->tempPath, outcome->keptNew, kTempPathCapacity);
        // Then whatever the export's name holds is another program's.
        outcome->keptNameTaken = PlatformStamp(e->path, &stamp);
    } else {
        CopyText(e->path, outcome->keptNew, kTempPathCapacity);
        t->sourceLanded = t->sourceLanded || e->inPlace;
    }
    CopyText(backup, outcome->keptOld, kTempPathCapacity);
    e->created = false;
    e->fate = kExportKeptBoth;
}

// Tells the run's record where a previous version is being put.
bool TellRecordOfPrevious(void* transaction)
{
    return TellRecord(static_cast<ExportTransaction*>(transaction), kRecordReplacing);
}

// Puts a rewritten export's temporary file in its place. False when it has
// not landed (the outcome says why).
bool ReplaceExport(ExportTransaction* t, Export* e, RunOutcome* outcome)
{
    bool replaced = ReplaceOrDiscard(t, e, outcome);
    e->state = replaced ? kExportCommitted : kExportRolledBack;
    return replaced;
}

// After a rewrite took the export's name, the file that held it (now under
// the backup name): removed when it is empty; with bytes, kept as the
// export's previous version, whether the run found them there or another
// program wrote them, or put a file of its own under the name, meanwhile.
void KeepOrRemoveOld(Export* e, const FormChar* backup, const FileIdentity& old)
{
    if (backup[0] == 0 || (!e->keepsPrevious && PlatformDeleteIfEmpty(backup, &old)) || !NameHolds(backup, old)) {
        return;
    }
    e->keepsPrevious = true;
    e->previousVersion.old = old;
}

// The platform's replace, and for the source what a logger added to it
// meanwhile carried across: as the platform's results, with the one a
// source changed otherwise gives.
enum { kReplaceFoundChanged = kReplaceKeptBoth + 1 };
uint32_t ReplaceAndCarry(ExportTransaction* t, Export* e, FormChar* backup, uint32_t* error)
{
    FileStamp written = {0, 0};
    PlatformStamp(e->tempPath, &written);
    const bool keepOld = e->keepsPrevious;
    // The old file is always kept through the replace, and let go after it
    // only when nothing in it can be lost.
    uint32_t how = (MustBeDurable(t, e) ? kReplaceDurable : 0) | kReplaceKeepOld | (e->inPlace ? kReplaceWatched : 0);
    // The old file is the one the target held when it was moved: another
    // program may have put a file of its own there since the claim.
    FileIdentity old;
    ReplaceResult result = PlatformReplace(e->path, e->tempPath, backup, how, &old);
    *error = PlatformLastError();
    if (result != kReplaced) {
        return result;
    }
    if (!e->inPlace) {
        KeepOrRemoveOld(e, backup, old);
        return kReplaced;
    }
    SourceAsRead read = {t->sourceStamp, t->sourceSum, LineUnitOf(t->encoding)};
    TailFiles files = {e->path, backup, old, e->newId, written.size};
    switch (CarrySourceTail(files, read, error)) {
    case kTailCarried:
        break;
    case kTailPutBack:
        return kReplaceFoundChanged;
    case kTailFailed:
        return kReplaceKeptOld;
    case kTailKeptBoth:
        return kReplaceKeptBoth;
    }
    if (!keepOld && NameHolds(backup, old)) {
        PlatformDelete(backup);
    }
    return kReplaced;
}

bool ReplaceOrDiscard(ExportTransaction* t, Export* e, RunOutcome* outcome)
{
    PlatformClose(e->output);
    e->output = nullptr;
    PlatformClose(e->claim);
    e->claim = nullptr;
    if (!NameHolds(e->path, e->claimId)) {
        // Another program put a file of its own under the name since the
        // claim (an editor's save, a rotation): that file stays as it is,
        // and the lines stay where they were.
        OutcomeFail(outcome, kRunNameTaken, e->inPlace ? kSourceFile : e->which, 0);
        DiscardRewrite(e);
        e->fate = kExportUnchanged;
        return false;
    }
    if (e->inPlace) {
        // Another program wrote the source since the run took its size: the
        // new file lacks what it wrote.
        FileStamp now;
        if (!PlatformStamp(t->sourceName, &now) || !SameStamp(now, t->sourceStamp)) {
            OutcomeFail(outcome, kRunSourceChanged, kSourceFile, 0);
            DiscardRewrite(e);
            e->fate = kExportUnchanged;
            return false;
        }
    }
    FormChar backup[kTempPathCapacity];
    CopyText(e->backupName, backup, kTempPathCapacity);
    uint32_t error = 0;
    switch (ReplaceAndCarry(t, e, backup, &error)) {
    case kReplaced:
        e->created = false;
        e->fate = kExportWritten;
        t->sourceLanded = t->sourceLanded || e->inPlace;
        // Landed now: the record keeps what it said of it (DescribeExport).
        e->state = kExportCommitted;
        if (e->keepsPrevious && NameHolds(e->backupName, e->previousVersion.old)) {
            e->previous =
                PutPreviousAway(&e->previousVersion, t->previousNote, TellRecordOfPrevious, t, e->previousKept);
        }
        return true;
    case kReplaceKeptBoth:
        OutcomeFail(outcome, kRunExportUnreplaced, e->which, error);
        TellKeptBoth(t, e, backup, outcome);
        return false;
    case kReplaceFoundChanged:
        OutcomeFail(outcome, kRunSourceChanged, kSourceFile, 0);
        break;
    default:
        OutcomeFail(outcome, kRunExportUnreplaced, e->which, error);
        break;
    }
    DiscardRewrite(e);
    e->fate = kExportUnchanged;
    return false;
}

}  // namespace

void ClaimExports(ExportTransaction* t, const RunRequest* request, const StopFlag* stop)
{
    ExportInit(&t->without, kWithoutExport);
    ExportInit(&t->with, kWithExport);
    ClaimExport(&request->without, &t->with, t, &t->without, stop);
    ClaimExport(&request->with, &t->without, t, &t->with, stop);
}

void OpenOutputs(ExportTransaction* t, const StopFlag* stop)
{
    OpenOutput(&t->without, stop);
    OpenOutput(&t->with, stop);
}

bool TellRecord(ExportTransaction* t, uint32_t step)
{
    HeldRecord* j = t->heldRecord;
    if (j == nullptr) {
        return true;
    }
    j->record.step = step;
    j->record.sourceRead.stamp = t->sourceStamp;
    j->record.sourceRead.sum = t->sourceSum;
    j->record.sourceRead.unit = LineUnitOf(t->encoding);
    DescribeExport(&t->without, &j->request->without, t->previousNote, &j->record.exports[0]);
    DescribeExport(&t->with, &j->request->with, t->previousNote, &j->record.exports[1]);
    return RecordUpdate(&j->file, &j->record);
}

Export* MixedExport(ExportTransaction* t)
{
    Export* exports[2] = {&t->without, &t->with};
    for (Export* e : exports) {
        if (ExportOpen(e) && e->append && e->hadContent && !OneFamily(e->encoding, t->encoding)) {
            return e;
        }
    }
    return nullptr;
}

bool PrepareCommit(ExportTransaction* t, LineSink* without, LineSink* with, RunOutcome* outcome)
{
    bool withoutReady = PrepareExport(t, &t->without, without, outcome);
    bool withReady = PrepareExport(t, &t->with, with, outcome);
    return withoutReady && withReady;
}

void CommitExports(ExportTransaction* t, RunOutcome* outcome)
{
    Export* exports[2] = {&t->without, &t->with};
    bool complete = true;
    // Whether another program wrote the source since its size was taken, or
    // put a file of its own under its name, is asked before any export
    // takes its place, so that nothing lands.
    FileStamp now;
    for (Export* e : exports) {
        if (!RewrittenInPlace(e)) {
            continue;
        }
        if (!NameHolds(e->path, e->claimId)) {
            OutcomeFail(outcome, kRunNameTaken, kSourceFile, 0);
            complete = false;
        } else if (!PlatformStamp(t->sourceName, &now) || !SameStamp(now, t->sourceStamp)) {
            OutcomeFail(outcome, kRunSourceChanged, kSourceFile, 0);
            complete = false;
        }
    }
    // The rewrites but the source's, then the appends, then the source.
    for (int stage = 0; stage < 3; ++stage) {
        for (Export* e : exports) {
            bool inStage = stage == 1 ? e->append : !e->append && e->inPlace == (stage == 2);
            if (!ExportOpen(e) || !inStage) {
                continue;
            }
            if (!complete) {
                RollBack(e);
            } else if (e->append) {
                complete = AppendWaitingLines(t, e, outcome);
            } else if (!ReplaceExport(t, e, outcome)) {
                complete = false;
            }
        }
    }
    for (Export* e : exports) {
        if (ExportOpen(e) && e->append) {
            // Once the source lost lines, the exports they went to keep them.
            if (complete || t->sourceLanded) {
                // Flushed already: a failed close is told, the lines stay.
                if (!PlatformClose(e->claim)) {
                    OutcomeFail(outcome, kRunExportUnwritten, e->which, PlatformLastError());
                }
                e->claim = nullptr;
                PlatformDelete(e->tempPath);
                e->fate = kExportWritten;
                e->state = kExportCommitted;
            } else {
                RollBack(e);
            }
        }
    }
    RollBackExports(t, outcome);
}

void RollBackExports(ExportTransaction* t, RunOutcome* outcome)
{
    RollBack(&t->without);
    RollBack(&t->with);
    outcome->without = t->without.fate;
    outcome->with = t->with.fate;
    outcome->withoutReport.inPlace = t->without.inPlace || SameText(t->without.path, t->sourceName);
    outcome->withReport.inPlace = t->with.inPlace || SameText(t->with.path, t->sourceName);
    outcome->withoutReport.previous = t->without.previous;
    CopyText(t->without.previousKept, outcome->withoutReport.previousKept, kNotedPathCapacity);
    outcome->withReport.previous = t->with.previous;
    CopyText(t->with.previousKept, outcome->withReport.previousKept, kNotedPathCapacity);
}
