// The repair from a run's record.

#include "filter/durability/run_repair.h"

#include "filter/file_steps/file_compare.h"
#include "filter/form/form_text.h"
#include "filter/file_steps/previous_version.h"
#include "filter/durability/run_record.h"

namespace {

void TellPutBack(RepairReport* report, const FormChar* path)
{
    for (uint32_t i = 0; i < report->putBack && i < kRepairMostTold; ++i) {
        if (SameText(report->putBackPaths[i], path)) {
            return;
        }
    }
    if (report->putBack < kRepairMostTold) {
        CopyText(path, report->putBackPaths[report->putBack], kLongPathCapacity);
    }
    ++report->putBack;
}

void TellKept(RepairReport* report, const FormChar* path)
{
    if (report->kept < kRepairMostTold) {
        CopyText(path, report->keptPaths[report->kept], kNotedPathCapacity);
    }
    ++report->kept;
}

bool Exists(const FormChar* path)
{
    FileIdentity now;
    return path[0] != 0 && PlatformIdentityAt(path, &now);
}

uint64_t SizeAt(const FormChar* path)
{
    FileStamp stamp;
    return PlatformStamp(path, &stamp) ? stamp.size : ~0ull;
}

// ---- Appended exports --------------------------------------------------------

// The temporary file an appended export's lines waited in, or a rewrite's
// new content that did not take its place: removed when it is the file the
// run made, or empty (a name the run took a moment before it said which
// file it was).
void RemoveTemporary(const RecordedExport& e)
{
    if (e.newKnown && NameHolds(e.tempPath, e.newId)) {
        PlatformDelete(e.tempPath);
    } else {
        PlatformDeleteIfEmpty(e.tempPath, nullptr);
    }
}

// A file the claim created, still that file and still empty: removed.
bool RemoveCreatedIfEmpty(const RecordedExport& e)
{
    return e.created && PlatformDeleteIfEmpty(e.path, &e.id);
}

// An appended export the run began to add its lines to, whose run did not
// finish: what lies past the length it had then goes, but only when every
// byte of it is the run's own (the same bytes, at the same places, as the
// waiting lines). Anything else there (a line another program added since)
// leaves the file as it is, told. Its last-write time goes back only when
// the file is exactly as the append left it, so exactly as before once cut.
bool CutBackAppended(const RecordedExport& e, RepairReport* report)
{
    if (!NameHolds(e.path, e.id)) {
        return false;
    }
    FileHandle file = PlatformOpenFile(e.path, kOpenToMend);
    uint64_t size = 0;
    if (file == nullptr || !PlatformFileSize(file, &size)) {
        PlatformClose(file);
        TellKept(report, e.path);
        return false;
    }
    if (size <= e.appendFrom) {
        // Nothing of the run's is there.
        PlatformClose(file);
        return RemoveCreatedIfEmpty(e);
    }
    FileHandle staged = nullptr;
    uint64_t stagedSize = 0;
    if (e.newKnown && NameHolds(e.tempPath, e.newId)) {
        staged = PlatformOpenSource(e.tempPath);
    }
    bool ours = staged != nullptr && PlatformFileSize(staged, &stagedSize) && size - e.appendFrom <= stagedSize &&
                SameBytes(file, e.appendFrom, staged, 0, size - e.appendFrom);
    PlatformClose(staged);
    if (!ours) {
        PlatformClose(file);
        TellKept(report, e.path);
        return false;
    }
    FileStamp stamp;
    bool asAppended = e.appended && PlatformStamp(e.path, &stamp) && stamp.size == e.appendedSize &&
                      stamp.writeTime == e.appendedTime && size == e.appendedSize;
    bool cut = PlatformTruncate(file, e.appendFrom);
    if (cut && asAppended) {
        PlatformSetWriteTime(file, e.appendTime);
    }
    PlatformClose(file);
    if (!cut) {
        TellKept(report, e.path);
        return false;
    }
    RemoveCreatedIfEmpty(e);
    return true;
}

bool RepairAppended(const RecordedExport& e, bool keep, RepairReport* report)
{
    bool putBack = false;
    if (!e.appending) {
        // Its lines never reached it: the export is as it was.
        putBack = RemoveCreatedIfEmpty(e);
    } else if (!keep) {
        putBack = CutBackAppended(e, report);
    }
    RemoveTemporary(e);
    return putBack;
}

// ---- Rewritten exports -------------------------------------------------------

// Whether a rewritten export's new file holds its name.
bool Landed(const RecordedExport& e, uint32_t step)
{
    return step >= kRecordReplacing && !e.append && e.newKnown && NameHolds(e.path, e.newId);
}

// A rewritten export whose new content did not take its place: the old file
// under its name again, our files beside it removed.
bool PutBackRewrite(const RecordedExport& e, uint32_t step, RepairReport* report)
{
    bool changed = false;
    if (NameHolds(e.path, e.id)) {
        // The old file holds the name. A backup that is a second name of it
        // goes; so does the temporary file, and a file the claim created
        // that is still empty.
        if (NameHolds(e.backupPath, e.id)) {
            PlatformDelete(e.backupPath);
        }
        if (Exists(e.tempPath)) {
            RemoveTemporary(e);
            changed = !Exists(e.tempPath);
        }
        return RemoveCreatedIfEmpty(e) || changed;
    }
    if (!Exists(e.path)) {
        // The name is free: the replace stopped half way.
        if (NameHolds(e.backupPath, e.id) && PlatformRenameToFree(e.backupPath, e.path)) {
            RemoveTemporary(e);
            RemoveCreatedIfEmpty(e);
            return true;
        }
        if (e.created) {
            // The created file is gone already: only our temporary file is left.
            bool had = Exists(e.tempPath);
            RemoveTemporary(e);
            return had && !Exists(e.tempPath);
        }
        // The old file is nowhere to be found under our names: the new one,
        // whole, is the only copy left, and takes the name.
        if (step >= kRecordReplacing && e.newKnown && NameHolds(e.tempPath, e.newId) && SizeAt(e.tempPath) == e.newSize &&
            PlatformRenameToFree(e.tempPath, e.path)) {
            TellKept(report, e.path);
            return false;
        }
    }
    // Another program's file holds the name (or ours could not be moved):
    // nothing of it is touched, and our files stay beside it.
    if (Exists(e.backupPath)) {
        TellKept(report, e.backupPath);
    }
    if (Exists(e.tempPath)) {
        TellKept(report, e.tempPath);
    }
    return false;
}

// The source took its new content while its old file, under the backup
// name, may hold lines a logger added during the replace. They go to the
// end of the new file, whole, unless they are there already; true when the
// backup holds nothing that is not also in the new file. Anything the
// repair cannot account for keeps the backup.
bool CarryTail(const RecordedExport& e, const SourceAsRead& read)
{
    FileHandle old = PlatformOpenSource(e.backupPath);
    FileStamp stamp;
    uint64_t oldSize = 0;
    if (old == nullptr || !PlatformFileSize(old, &oldSize) || !PlatformStamp(e.backupPath, &stamp)) {
        PlatformClose(old);
        return false;
    }
    if (oldSize == read.stamp.size && stamp.writeTime == read.stamp.writeTime) {
        PlatformClose(old);
        return true;
    }
    uint64_t tail = 0;
    bool onlyAdded = (oldSize - read.stamp.size) % LineUnitBytes(read.unit) == 0 &&
                     EndsALineAt(old, oldSize, read.unit) && OnlyLinesAdded(old, oldSize, read, &tail);
    FileHandle target = onlyAdded ? PlatformOpenFile(e.path, kOpenToAppend) : nullptr;
    uint64_t now = 0;
    bool carried = false;
    if (target != nullptr && PlatformFileSize(target, &now)) {
        if (now == e.newSize) {
            carried = AppendLines(old, tail, oldSize, target, read.unit);
        } else if (now == e.newSize + (oldSize - tail)) {
            // Carried already, by the commit, before the kill.
            carried = SameBytes(target, e.newSize, old, tail, oldSize - tail);
        }
    }
    PlatformClose(target);
    PlatformClose(old);
    return carried;
}

// After a rewritten export took its place: the old file's backup name goes
// (for the source, once what a logger added to it is in the new file), and
// so does the temporary name when it holds the old file (a replace that
// swapped the two names, ended before it removed the old one).
//
// A file that had content keeps its previous version instead: it goes on
// to the Recycle Bin from wherever the kill left it (previous_version.h).
// What the repair tells the record as it puts a previous version away, so
// that a repair killed meanwhile is finished by the next one as the run's
// own steps are.
struct RepairTelling {
    RunRecord* record;
    RecordedExport* e;
    PreviousVersion* p;
    RecordFile* file;
};

bool TellTheRecord(void* arg)
{
    RepairTelling* t = static_cast<RepairTelling*>(arg);
    CopyText(t->p->noted, t->e->notedPath, kNotedPathCapacity);
    t->e->namesBefore = t->p->namesBefore;
    return RecordUpdate(t->file, t->record);
}

void CleanUpLanded(RecordedExport& e, RunRecord& r, RecordFile* file, RepairReport* report)
{
    const bool keepPrevious = e.note[0] != 0;
    if (NameHolds(e.backupPath, e.id)) {
        if (e.inPlace && !CarryTail(e, r.sourceRead)) {
            TellKept(report, e.backupPath);
            return;
        }
        if (!keepPrevious && e.inPlace) {
            PlatformDelete(e.backupPath);
        } else if (!keepPrevious && !PlatformDeleteIfEmpty(e.backupPath, &e.id)) {
            // The export had no content when the run claimed it: what it
            // holds now another program wrote.
            TellKept(report, e.backupPath);
        }
    }
    if (keepPrevious) {
        PreviousVersion p;
        p.old = e.id;
        p.path = e.path;
        p.backup = e.backupPath;
        p.link = e.tempPath;
        CopyText(e.notedPath, p.noted, kNotedPathCapacity);
        p.namesBefore = e.namesBefore;
        RepairTelling telling = {&r, &e, &p, file};
        FormChar kept[kNotedPathCapacity];
        PreviousFate fate = PutPreviousAway(&p, e.note, TellTheRecord, &telling, kept);
        if (fate == kPreviousBeside || fate == kPreviousUnderOurs) {
            TellKept(report, kept);
        }
        return;
    }
    if (NameHolds(e.tempPath, e.id)) {
        // A second name of the old file goes; the old file alone goes only
        // when it is empty.
        if (NameHolds(e.backupPath, e.id)) {
            PlatformDelete(e.tempPath);
        } else if (!PlatformDeleteIfEmpty(e.tempPath, &e.id)) {
            TellKept(report, e.tempPath);
        }
    }
}

void Act(RunRecord& r, RecordFile* file, RepairReport* report)
{
    // Appended lines stay only when every rewritten export took its place
    // (the source last: lines moved out of it are then in their exports)
    // and they were all added and flushed.
    bool allLanded = true;
    for (const RecordedExport& e : r.exports) {
        if (e.on && e.claimed && !e.append && !Landed(e, r.step)) {
            allLanded = false;
        }
    }
    for (RecordedExport& e : r.exports) {
        if (!e.on) {
            continue;
        }
        bool putBack = false;
        if (r.step == kRecordClaiming || !e.claimed) {
            // A file the claim may have made: the record has no identity
            // for it yet. It goes only while empty and held by no program
            // that could still write to it.
            putBack = !e.existed && PlatformDeleteIfEmpty(e.path, nullptr);
        } else if (e.append) {
            bool keep = r.step == kRecordReplacing && allLanded && e.appended;
            putBack = RepairAppended(e, keep, report);
        } else if (Landed(e, r.step)) {
            CleanUpLanded(e, r, file, report);
        } else {
            putBack = PutBackRewrite(e, r.step, report);
        }
        if (putBack) {
            TellPutBack(report, e.path);
        }
    }
}

// One pointer in this user's folder: the record it names is acted on when
// it is still the very file the pointer says, no run holds it, and its slot
// carries the seal of the pointer's key. A pointer is removed only when its
// record is dealt with or gone; one that cannot be read is left alone.
void RepairPointer(void* arg, const FormChar* pointerPath)
{
    RepairReport* report = static_cast<RepairReport*>(arg);
    unsigned char bytes[kRecordFileSize];
    uint32_t size = 0;
    FileHandle file = PlatformOpenFile(pointerPath, kOpenRecordExisting);
    if (file == nullptr) {
        return;
    }
    RecordPointer pointer;
    bool read = RecordFileRead(file, bytes, &size) && PointerParse(bytes, size, &pointer) == kRecordRead;
    PlatformClose(file);
    if (!read) {
        // An empty one (its run killed as it made it) names nothing, and
        // would take one of the places a start looks at: it goes, unless a
        // program holds it open to write. Any other is left as it is.
        PlatformDeleteIfEmpty(pointerPath, nullptr);
        return;
    }
    FileHandle record = PlatformOpenFile(pointer.recordPath, kOpenRecordExisting);
    if (record == nullptr) {
        // Held by its run, which goes on (in this program or another copy
        // of it), or gone: only then has the pointer nothing left to say.
        // (Asked without opening it: a held record cannot be opened.)
        FileStamp stamp;
        if (!PlatformStamp(pointer.recordPath, &stamp)) {
            PlatformDelete(pointerPath);
        }
        return;
    }
    FileIdentity id;
    if (!PlatformIdentity(record, &id) || !SameIdentity(id, pointer.recordId)) {
        // Another file took the record's name: not ours to read.
        PlatformClose(record);
        PlatformDelete(pointerPath);
        return;
    }
    RunRecord r;
    RecordFile held;
    held.file = record;
    held.key = pointer.key;
    if (!RecordFileRead(record, bytes, &size) ||
        RecordParse(bytes, size, pointer.key, &r, &held.sequence) != kRecordRead) {
        // Not whole under the pointer's seal: both are left where they are,
        // and no step is taken on their word.
        PlatformClose(record);
        return;
    }
    Act(r, &held, report);
    // Removed while held, as its run would have; then its pointer.
    PlatformDelete(pointer.recordPath);
    PlatformClose(record);
    PlatformDelete(pointerPath);
}

}  // namespace

void RepairInit(RepairReport* report)
{
    report->putBack = 0;
    report->kept = 0;
}

void RepairFromPointers(RepairReport* report)
{
    FormChar folder[kTempPathCapacity];
    if (PlatformStateFolder(folder, kTempPathCapacity)) {
        PlatformListBeside(folder, 'p', kRepairMostRecords, RepairPointer, report);
    }
}
