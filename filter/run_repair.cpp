// The repair from a run's record.

#include "filter/run_repair.h"

#include "filter/form_text.h"
#include "filter/run_record.h"

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
        CopyText(path, report->keptPaths[report->kept], kTempPathCapacity);
    }
    ++report->kept;
}

// True when path names the file of that identity.
bool Holds(const FormChar* path, const FileIdentity& id)
{
    FileIdentity now;
    return path[0] != 0 && PlatformIdentityAt(path, &now) && SameIdentity(now, id);
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

// An appended export back to its length and last-write time before the
// run, or removed when the claim created it. Only while its name still
// holds the file the run appended to; one that cannot be opened to be cut
// back (another program holds it shut) is told as kept with the lines.
bool CutBack(const RecordedExport& e, uint64_t mostWritten, RepairReport* report)
{
    if (!Holds(e.path, e.id)) {
        return false;
    }
    FileHandle file = PlatformOpenFile(e.path, kOpenToMend);
    uint64_t size = 0;
    if (file == nullptr || !PlatformFileSize(file, &size)) {
        PlatformClose(file);
        TellKept(report, e.path);
        return false;
    }
    if (e.created) {
        PlatformClose(file);
        if (size <= mostWritten) {
            PlatformDelete(e.path);
            return !Exists(e.path);
        }
        return false;
    }
    bool changed = false;
    if (size > e.oldSize) {
        changed = PlatformTruncate(file, e.oldSize);
        if (!changed) {
            TellKept(report, e.path);
        }
    }
    FileStamp stamp;
    if (size >= e.oldSize && (changed || (PlatformStamp(e.path, &stamp) && stamp.writeTime != e.oldTime))) {
        PlatformSetWriteTime(file, e.oldTime);
    }
    PlatformClose(file);
    return changed;
}

// A file the claim created that the record knows only by its name (the run
// ended before it could say which file it was): removed only when empty, as
// the claim left it.
bool RemoveEmptyCreated(const RecordedExport& e)
{
    if (e.existed || !Exists(e.path) || SizeAt(e.path) != 0) {
        return false;
    }
    PlatformDelete(e.path);
    return true;
}

// Whether a rewritten export's new file holds its name.
bool Landed(const RecordedExport& e, uint32_t step)
{
    return step >= kRecordReplacing && e.newKnown && Holds(e.path, e.newId);
}

// A rewritten export whose new content did not take its place: the old file
// under its name again, our files beside it removed.
bool PutBackRewrite(const RecordedExport& e, RepairReport* report)
{
    bool changed = false;
    if (Holds(e.path, e.id)) {
        // The old file holds the name. A backup that is a second name of it
        // goes; so does the temporary file, and a file the claim created
        // that is still empty.
        if (Holds(e.backupPath, e.id)) {
            PlatformDelete(e.backupPath);
        }
        if (Exists(e.tempPath)) {
            PlatformDelete(e.tempPath);
            changed = true;
        }
        if (e.created && SizeAt(e.path) == 0) {
            PlatformDelete(e.path);
            changed = true;
        }
        return changed;
    }
    if (!Exists(e.path)) {
        // The name is free: the replace stopped half way.
        if (Holds(e.backupPath, e.id) && PlatformRenameToFree(e.backupPath, e.path)) {
            if (Exists(e.tempPath)) {
                PlatformDelete(e.tempPath);
            }
            if (e.created && SizeAt(e.path) == 0) {
                PlatformDelete(e.path);
            }
            return true;
        }
        if (e.created) {
            // The created file is gone already: only our temporary file is left.
            if (Exists(e.tempPath)) {
                PlatformDelete(e.tempPath);
                changed = true;
            }
            return changed;
        }
        // The old file is nowhere to be found under our names: the new one,
        // whole, is the only copy left, and takes the name.
        if (e.newKnown && Holds(e.tempPath, e.newId) && PlatformRenameToFree(e.tempPath, e.path)) {
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

// After a rewritten export took its place: the old file's backup name goes,
// and so does the temporary name when it holds the old file (a replace that
// swapped the two names, ended before it removed the old one).
void CleanUpLanded(const RecordedExport& e)
{
    if (Holds(e.backupPath, e.id)) {
        PlatformDelete(e.backupPath);
    }
    if (Holds(e.tempPath, e.id)) {
        PlatformDelete(e.tempPath);
    }
}

void Act(const RunRecord& r, RepairReport* report)
{
    // Appended lines stay only when every rewritten export took its place.
    bool allLanded = true;
    for (const RecordedExport& e : r.exports) {
        if (e.on && e.claimed && !e.append && !Landed(e, r.step)) {
            allLanded = false;
        }
    }
    bool keepAppended = r.step == kRecordReplacing && allLanded;
    for (const RecordedExport& e : r.exports) {
        if (!e.on) {
            continue;
        }
        bool putBack = false;
        if (r.step == kRecordClaiming || !e.claimed) {
            putBack = RemoveEmptyCreated(e);
        } else if (e.append) {
            putBack = !keepAppended && CutBack(e, r.mostWritten, report);
        } else if (Landed(e, r.step)) {
            CleanUpLanded(e);
        } else {
            putBack = PutBackRewrite(e, report);
        }
        if (putBack) {
            TellPutBack(report, e.path);
        }
    }
}

void RepairFound(void* arg, const FormChar* path)
{
    RepairRecord(path, static_cast<RepairReport*>(arg));
}

void RepairPointer(void* arg, const FormChar* pointer)
{
    FileHandle file = PlatformOpenFile(pointer, kOpenRecordExisting);
    if (file == nullptr) {
        return;
    }
    FormChar recordPath[kTempPathCapacity];
    RecordRead read = PointerLoad(file, recordPath);
    PlatformClose(file);
    if (read == kRecordForeign) {
        return;
    }
    if (read == kRecordRead) {
        RepairRecord(recordPath, static_cast<RepairReport*>(arg));
        FileIdentity id;
        if (PlatformIdentityAt(recordPath, &id)) {
            // Its run goes on: the pointer stays with it.
            return;
        }
    }
    // A torn pointer was written before its record was; a pointer whose
    // record is gone points at nothing.
    PlatformDelete(pointer);
}

}  // namespace

void RepairInit(RepairReport* report)
{
    report->putBack = 0;
    report->kept = 0;
}

void RepairRecord(const FormChar* recordPath, RepairReport* report)
{
    FileHandle file = PlatformOpenFile(recordPath, kOpenRecordExisting);
    if (file == nullptr) {
        return;
    }
    RunRecord r;
    RecordRead read = RecordLoad(file, &r);
    if (read == kRecordForeign) {
        PlatformClose(file);
        return;
    }
    if (read == kRecordRead) {
        Act(r, report);
    }
    // Removed while held, as its run would have; then its pointer. A record
    // with no whole slot was torn in its first write: nothing was done yet.
    PlatformDelete(recordPath);
    PlatformClose(file);
    if (read == kRecordRead && r.pointer[0] != 0) {
        PlatformDelete(r.pointer);
    }
}

void RepairBeside(const FormChar* path, RepairReport* report)
{
    if (path[0] != 0) {
        PlatformListBeside(path, 'r', kRepairMostRecords, RepairFound, report);
    }
}

void RepairFromPointers(RepairReport* report)
{
    FormChar folder[kTempPathCapacity];
    if (PlatformStateFolder(folder, kTempPathCapacity)) {
        PlatformListBeside(folder, 'p', kRepairMostRecords, RepairPointer, report);
    }
}
