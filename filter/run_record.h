// The run's record: what a repair at the next start needs to know to put
// back what a run left half done when it was killed or the power failed.
//
// Before the first byte is written anywhere, the run writes its record
// ("qzr????.tmp") in the folder of its first export, and, before that, a
// pointer to it ("qzp????.tmp") in this user's folder of ours, where the
// next start looks. The record names each export: its path, the file it was
// (identity), its length and last-write time before the run, whether the
// claim created it, and the temporary and backup names the run uses. It is
// written again at each step that changes what a repair must do, flushed
// before the step, and removed with the pointer when the run has ended,
// however it ended. The run holds it open meanwhile, unshared: a record that
// can be opened belongs to a run that is over.
//
// On disk: two slots of kRecordSlot bytes, written in turn, each a header
// (magic, version, sequence number, length, checksum) and the fields. A
// write torn by a power cut spoils only the slot it went to; the other one
// still holds the step before, which is what was done.
#ifndef QUORVANE_RUN_RECORD_H
#define QUORVANE_RUN_RECORD_H

#include "filter/run_request.h"
#include "platform/platform.h"

enum { kRecordSlot = 16384 };

// The steps a repair tells apart.
enum RecordStep {
    kRecordClaiming = 1,   // exports named, nothing claimed yet for sure
    kRecordWriting = 2,    // claimed; temporary files and appended lines being written
    kRecordReplacing = 3,  // every export complete; the rewritten ones take their places
};

struct RecordedExport {
    bool on;
    bool append;
    bool existed;    // a file was there before the run: id, oldSize, oldTime are its
    bool claimed;    // id is the claimed file's
    bool created;    // the claim created it
    bool newKnown;   // newId is the temporary file's
    bool landed;     // the temporary file took the export's place
    FileIdentity id;
    FileIdentity newId;
    uint64_t oldSize;
    uint64_t oldTime;
    FormChar path[kLongPathCapacity];
    FormChar tempPath[kTempPathCapacity];
    FormChar backupPath[kTempPathCapacity];
};

struct RunRecord {
    uint32_t step;
    // The most the run can write to one export: each byte of the source can
    // become at most a line of its own with CR LF.
    uint64_t mostWritten;
    RecordedExport exports[2];   // without-string, with-string
    FormChar pointer[kTempPathCapacity];
};

// A record as its run holds it.
struct RecordFile {
    FileHandle file;   // nullptr: the run goes on without a record
    uint32_t sequence;
    FormChar path[kTempPathCapacity];
    FormChar pointer[kTempPathCapacity];
};

// A run's record with what it says, and the request it was made for.
struct RunJournal {
    RecordFile file;
    RunRecord record;
    const RunRequest* request;
};

// Begins a run's record at the first step: every switched-on export named,
// with the file its name holds now, its length and last-write time. Placed
// in the folder of the first switched-on export. False when no record could
// be written: the run goes on without one.
bool JournalBegin(RunJournal* j, const RunRequest* request, uint64_t sourceSize);
// An export's new content took its place. j may be null.
void RecordLanded(RunJournal* j, int index);

void RecordInit(RunRecord* record);
// Writes the pointer, then the record beside `beside` (a path in the folder
// it goes to). False, with file left null, when either cannot be written;
// the run then goes on without one.
bool RecordBegin(RecordFile* f, const FormChar* beside, RunRecord* record);
// Writes the record's new state and flushes it. False when it failed: the
// step must not be taken.
bool RecordUpdate(RecordFile* f, const RunRecord* record);
// Removes the record and its pointer.
void RecordEnd(RecordFile* f);

// What a record file holds: the latest whole slot.
enum RecordRead { kRecordRead, kRecordEmpty, kRecordForeign };
RecordRead RecordLoad(FileHandle file, RunRecord* record);
// The record a pointer names, into recordPath (kTempPathCapacity).
RecordRead PointerLoad(FileHandle file, FormChar* recordPath);

#endif
