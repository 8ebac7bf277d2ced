// The run's record: what a repair at the next start needs to know to put
// back what a run left half done when it was killed or the power failed.
//
// The run writes its record ("qzr????.tmp") in the folder of its first
// export, created and held before anything names it, and then a pointer to
// it ("qzp????.tmp") in this user's own folder of ours, where the next start
// looks. The record names each export: its path, the file it was
// (identity), its length and last-write time before the run, whether the
// claim created it, the temporary and backup names the run uses, and the
// identity of each temporary file. It is written again at each step that
// changes what a repair must do, flushed before the step (whether a replace
// is done is told by which file the export's name holds, so the replaces
// themselves need no write), and removed with the pointer when the run has
// ended, however it ended. The run holds it open meanwhile, unshared: a
// record that can be opened belongs to a run that is over.
//
// What the repair trusts: only a record a pointer in this user's folder
// names, that is still the very file the pointer says (its identity), and
// whose slot carries the seal of the key the pointer holds (record_seal.h).
// The key is drawn when the run begins and is never written beside the
// record. A record found anywhere else, or one that fails any check, is
// never acted on and never removed.
//
// On disk: two slots of kRecordSlot bytes, written in turn, each a header
// (magic, version, sequence number, length, seal) and the fields. A write
// torn by a power cut spoils only the slot it went to; the other one still
// holds the step before, which is what was done.
#ifndef QUORVANE_RUN_RECORD_H
#define QUORVANE_RUN_RECORD_H

#include "filter/file_steps/previous_version.h"
#include "filter/durability/record_seal.h"
#include "filter/file_steps/source_tail.h"
#include "filter/form/run_request.h"
#include "platform/platform.h"

enum { kRecordSlot = 32768 };

// The steps a repair tells apart.
enum RecordStep {
    kRecordClaiming = 1,   // exports named, nothing claimed yet for sure
    kRecordWriting = 2,    // claimed; lines going to temporary files
    kRecordReplacing = 3,  // every export complete; each takes its place in turn
};

struct RecordedExport {
    bool on;
    bool append;
    bool existed;    // a file was there before the run: id, oldSize, oldTime are its
    bool claimed;    // id is the claimed file's
    bool created;    // the claim created it
    bool newKnown;   // newId is the temporary file's
    bool inPlace;    // the export is the run's source: sourceRead says what the run read
    // An appended export: its lines wait in the temporary file until the
    // commit adds them at its end. appending: that began at appendFrom,
    // the file's length then, with appendTime its last-write time then;
    // appended: it ended, flushed, leaving the file at appendedSize and
    // appendedTime.
    bool appending;
    bool appended;
    FileIdentity id;
    FileIdentity newId;
    uint64_t oldSize;
    uint64_t oldTime;
    uint64_t newSize;        // a rewrite: the temporary file's length when complete
    uint64_t appendFrom;
    uint64_t appendTime;
    uint64_t appendedSize;
    uint64_t appendedTime;
    FormChar path[kLongPathCapacity];
    FormChar tempPath[kTempPathCapacity];
    FormChar backupPath[kTempPathCapacity];
    // A rewrite of a file with content: the noted name its previous
    // version is put away under (previous_version.h), empty until it is
    // chosen; and how many names the file had just before it was handed
    // to the Recycle Bin, 0 before that.
    FormChar notedPath[kNotedPathCapacity];
    uint32_t namesBefore;
    // The note of the noted name; empty when the run keeps no previous
    // version of this file.
    FormChar note[kNoteCapacity];
};

struct RunRecord {
    uint32_t step;
    // The most the run can write to one export: each byte of the source can
    // become at most a line of its own with CR LF.
    uint64_t mostWritten;
    // What the run read of its source: what lets a repair carry across what
    // a logger added to it during the replace.
    SourceAsRead sourceRead;
    RecordedExport exports[2];   // without-string, with-string
};

// A record as its run holds it.
struct RecordFile {
    FileHandle file;   // nullptr: the run goes on without a record
    uint32_t sequence;
    SealKey key;
    FormChar path[kTempPathCapacity];
    FormChar pointer[kTempPathCapacity];
};

// What a pointer says: the record's path, which file it is, and the key of
// its seal.
struct RecordPointer {
    FormChar recordPath[kTempPathCapacity];
    FileIdentity recordId;
    SealKey key;
};

// A run's record with what it says, and the request it was made for.
struct HeldRecord {
    RecordFile file;
    RunRecord record;
    const RunRequest* request;
};

// Begins a run's record at the first step: every switched-on export named,
// with the file its name holds now, its length and last-write time. Placed
// in the folder of the first switched-on export. False when no record could
// be written: the run goes on without one.
bool HeldRecordBegin(HeldRecord* j, const RunRequest* request, uint64_t sourceSize);

void RecordInit(RunRecord* record);
// Creates the record beside `beside` (a path in the folder it goes to),
// held, writes its first slot, and only then the pointer that names it.
// False, with file left null and nothing of either left, when any of it
// fails; the run then goes on without one.
bool RecordBegin(RecordFile* f, const FormChar* beside, RunRecord* record);
// Writes the record's new state and flushes it. False when it failed: the
// step must not be taken.
bool RecordUpdate(RecordFile* f, const RunRecord* record);
// Removes the record and its pointer.
void RecordEnd(RecordFile* f);

// What a record or pointer file holds.
enum RecordRead {
    kRecordRead,      // a whole slot, sealed with the key
    kRecordEmpty,     // no slot of ours that is whole and sealed
    kRecordForeign,   // another version's, or fields that do not hold together
};
// Room for a whole record file.
enum { kRecordFileSize = 2 * kRecordSlot };
// A record file's bytes (size of them, as read): the latest slot sealed
// with key, and its sequence number. Every length is checked against what
// was read.
RecordRead RecordParse(const unsigned char* bytes, uint32_t size, const SealKey& key, RunRecord* record,
                       uint32_t* sequence = nullptr);
// A pointer file's bytes.
RecordRead PointerParse(const unsigned char* bytes, uint32_t size, RecordPointer* pointer);
// Lays out one slot around a payload of length bytes, sealed with key (a
// pointer's with kPointerSealKey), into out (kRecordSlot bytes); its size,
// 0 when the payload does not fit.
extern const SealKey kPointerSealKey;
uint32_t SealedSlot(unsigned char* out, bool pointer, uint32_t sequence, const unsigned char* payload,
                    uint32_t length, const SealKey& key);
// Reads an open record or pointer file whole into bytes (kRecordFileSize);
// false when a read fails.
bool RecordFileRead(FileHandle file, unsigned char* bytes, uint32_t* size);

#endif
