// The run's record: its fields laid out in a slot, written and read back.

#include "filter/run_record.h"

#include "filter/form_text.h"

namespace {

const unsigned char kRecordMagic[4] = {'Q', 'Z', 'R', 'J'};
const unsigned char kPointerMagic[4] = {'Q', 'Z', 'P', 'J'};
const uint32_t kRecordVersion = 1;
// magic, version, sequence, payload length, checksum
const uint32_t kHeaderSize = 20;

// The fields go into a slot one after another, little-endian.
struct Slot {
    unsigned char bytes[kRecordSlot];
    uint32_t used;
    bool overflow;
};

void PutByte(Slot* s, unsigned char b)
{
    if (s->used >= kRecordSlot) {
        s->overflow = true;
        return;
    }
    s->bytes[s->used++] = b;
}

void PutU32(Slot* s, uint32_t v)
{
    for (int i = 0; i < 4; ++i) {
        PutByte(s, static_cast<unsigned char>(v >> (8 * i)));
    }
}

void PutU64(Slot* s, uint64_t v)
{
    PutU32(s, static_cast<uint32_t>(v));
    PutU32(s, static_cast<uint32_t>(v >> 32));
}

void PutText(Slot* s, const FormChar* text, uint32_t capacity)
{
    uint32_t n = 0;
    while (n + 1 < capacity && text[n] != 0) {
        ++n;
    }
    PutU32(s, n);
    for (uint32_t i = 0; i < n; ++i) {
        PutByte(s, static_cast<unsigned char>(text[i]));
        PutByte(s, static_cast<unsigned char>(text[i] >> 8));
    }
}

struct Reader {
    const unsigned char* bytes;
    uint32_t size;
    uint32_t at;
    bool bad;
};

unsigned char GetByte(Reader* r)
{
    if (r->at >= r->size) {
        r->bad = true;
        return 0;
    }
    return r->bytes[r->at++];
}

uint32_t GetU32(Reader* r)
{
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
        v |= static_cast<uint32_t>(GetByte(r)) << (8 * i);
    }
    return v;
}

uint64_t GetU64(Reader* r)
{
    uint64_t low = GetU32(r);
    return low | (static_cast<uint64_t>(GetU32(r)) << 32);
}

void GetText(Reader* r, FormChar* text, uint32_t capacity)
{
    uint32_t n = GetU32(r);
    if (n + 1 > capacity) {
        r->bad = true;
        n = 0;
    }
    for (uint32_t i = 0; i < n; ++i) {
        uint32_t low = GetByte(r);
        text[i] = static_cast<FormChar>(low | (static_cast<uint32_t>(GetByte(r)) << 8));
    }
    text[n] = 0;
}

// FNV-1a over the sequence number and the length (header bytes 8 to 15),
// then the payload.
uint32_t Checksum(const unsigned char* slot, uint32_t payload)
{
    uint32_t h = 2166136261u;
    for (uint32_t i = 8; i < 16; ++i) {
        h = (h ^ slot[i]) * 16777619u;
    }
    for (uint32_t i = 0; i < payload; ++i) {
        h = (h ^ slot[kHeaderSize + i]) * 16777619u;
    }
    return h;
}

void PutIdentity(Slot* s, const FileIdentity& id)
{
    PutU64(s, id.volume);
    PutU64(s, id.index);
}

void GetIdentity(Reader* r, FileIdentity* id)
{
    id->volume = GetU64(r);
    id->index = GetU64(r);
}

void PutExport(Slot* s, const RecordedExport& e)
{
    uint32_t flags = (e.on ? 1u : 0u) | (e.append ? 2u : 0u) | (e.existed ? 4u : 0u) | (e.claimed ? 8u : 0u) |
                     (e.created ? 16u : 0u) | (e.newKnown ? 32u : 0u);
    PutU32(s, flags);
    PutIdentity(s, e.id);
    PutIdentity(s, e.newId);
    PutU64(s, e.oldSize);
    PutU64(s, e.oldTime);
    PutText(s, e.path, kLongPathCapacity);
    PutText(s, e.tempPath, kTempPathCapacity);
    PutText(s, e.backupPath, kTempPathCapacity);
}

void GetExport(Reader* r, RecordedExport* e)
{
    uint32_t flags = GetU32(r);
    e->on = (flags & 1u) != 0;
    e->append = (flags & 2u) != 0;
    e->existed = (flags & 4u) != 0;
    e->claimed = (flags & 8u) != 0;
    e->created = (flags & 16u) != 0;
    e->newKnown = (flags & 32u) != 0;
    GetIdentity(r, &e->id);
    GetIdentity(r, &e->newId);
    e->oldSize = GetU64(r);
    e->oldTime = GetU64(r);
    GetText(r, e->path, kLongPathCapacity);
    GetText(r, e->tempPath, kTempPathCapacity);
    GetText(r, e->backupPath, kTempPathCapacity);
}

// Starts a slot: room for the header.
void SlotStart(Slot* s)
{
    s->used = kHeaderSize;
    s->overflow = false;
}

// Fills in the header once the payload is in.
void SlotSeal(Slot* s, const unsigned char* magic, uint32_t sequence)
{
    uint32_t payload = s->used - kHeaderSize;
    s->used = 0;
    for (int i = 0; i < 4; ++i) {
        PutByte(s, magic[i]);
    }
    PutU32(s, kRecordVersion);
    PutU32(s, sequence);
    PutU32(s, payload);
    s->used = 16;
    // The checksum covers the sequence number, the length and the payload.
    PutU32(s, Checksum(s->bytes, payload));
    s->used = kHeaderSize + payload;
}

// Writes a slot at its place and flushes it.
bool SlotWrite(FileHandle file, const Slot* s, uint32_t index)
{
    return PlatformSeekTo(file, static_cast<uint64_t>(index) * kRecordSlot) && PlatformWrite(file, s->bytes, s->used) &&
           PlatformFlush(file);
}

// Reads the slot at index; false when it cannot be read whole.
bool SlotRead(FileHandle file, uint32_t index, Slot* s)
{
    s->used = 0;
    if (!PlatformSeekTo(file, static_cast<uint64_t>(index) * kRecordSlot)) {
        return false;
    }
    while (s->used < kRecordSlot) {
        uint32_t got = 0;
        if (!PlatformRead(file, s->bytes + s->used, kRecordSlot - s->used, &got)) {
            return false;
        }
        if (got == 0) {
            break;
        }
        s->used += got;
    }
    return true;
}

enum SlotState { kSlotWhole, kSlotTorn, kSlotForeign };

// Whether a slot read back is whole: its magic, version and checksum. The
// payload is then at bytes + kHeaderSize, *length long.
SlotState SlotCheck(const Slot* s, const unsigned char* magic, uint32_t* sequence, uint32_t* length)
{
    if (s->used < kHeaderSize) {
        return kSlotTorn;
    }
    Reader r = {s->bytes, s->used, 0, false};
    bool ours = true;
    for (int i = 0; i < 4; ++i) {
        ours = GetByte(&r) == magic[i] && ours;
    }
    uint32_t version = GetU32(&r);
    if (!ours) {
        // The name is ours: zeros or a write torn in its first bytes.
        return kSlotTorn;
    }
    if (version != kRecordVersion) {
        // A record of another version of the program: left to it.
        return kSlotForeign;
    }
    *sequence = GetU32(&r);
    *length = GetU32(&r);
    uint32_t sum = GetU32(&r);
    if (*length > s->used - kHeaderSize || sum != Checksum(s->bytes, *length)) {
        return kSlotTorn;
    }
    return kSlotWhole;
}

// The whole slot with the highest sequence number of the file's slots.
RecordRead LoadLatest(FileHandle file, const unsigned char* magic, uint32_t slots, Slot* best, uint32_t* length)
{
    Slot* spare = best + 1;
    bool found = false;
    bool foreign = false;
    uint32_t bestSequence = 0;
    for (uint32_t i = 0; i < slots; ++i) {
        Slot* s = found ? spare : best;
        uint32_t sequence = 0;
        uint32_t n = 0;
        if (!SlotRead(file, i, s)) {
            continue;
        }
        SlotState state = SlotCheck(s, magic, &sequence, &n);
        foreign = foreign || state == kSlotForeign;
        if (state != kSlotWhole || (found && sequence <= bestSequence)) {
            continue;
        }
        if (s == spare) {
            __builtin_memcpy(best->bytes, spare->bytes, kHeaderSize + n);
            best->used = spare->used;
        }
        found = true;
        bestSequence = sequence;
        *length = n;
    }
    if (foreign) {
        return kRecordForeign;
    }
    return found ? kRecordRead : kRecordEmpty;
}

void ExportInitRecorded(RecordedExport* e)
{
    e->on = false;
    e->append = false;
    e->existed = false;
    e->claimed = false;
    e->created = false;
    e->newKnown = false;
    e->id.volume = 0;
    e->id.index = 0;
    e->newId = e->id;
    e->oldSize = 0;
    e->oldTime = 0;
    e->path[0] = 0;
    e->tempPath[0] = 0;
    e->backupPath[0] = 0;
}

void CopyName(const FormChar* from, FormChar* to)
{
    CopyText(from, to, kTempPathCapacity);
}

// Writes the pointer file: one slot naming the record.
bool WritePointer(const FormChar* pointer, const FormChar* recordPath)
{
    FileHandle file = PlatformOpenFile(pointer, kOpenRecordNew);
    if (file == nullptr) {
        return false;
    }
    Slot slot;
    Slot* s = &slot;
    SlotStart(s);
    PutText(s, recordPath, kTempPathCapacity);
    SlotSeal(s, kPointerMagic, 1);
    bool ok = SlotWrite(file, s, 0);
    PlatformClose(file);
    if (!ok) {
        PlatformDelete(pointer);
    }
    return ok;
}

}  // namespace

void RecordInit(RunRecord* record)
{
    record->step = kRecordClaiming;
    record->mostWritten = 0;
    ExportInitRecorded(&record->exports[0]);
    ExportInitRecorded(&record->exports[1]);
    record->pointer[0] = 0;
}

bool RecordBegin(RecordFile* f, const FormChar* beside, RunRecord* record)
{
    f->file = nullptr;
    f->sequence = 0;
    f->path[0] = 0;
    f->pointer[0] = 0;
    if (!PlatformNameBeside(beside, 'r', 4, f->path)) {
        return false;
    }
    // The pointer first, flushed: the next start finds the record through it.
    FormChar folder[kTempPathCapacity];
    if (PlatformStateFolder(folder, kTempPathCapacity) && PlatformNameBeside(folder, 'p', 5, f->pointer) &&
        !WritePointer(f->pointer, f->path)) {
        f->pointer[0] = 0;
    }
    CopyName(f->pointer, record->pointer);
    f->file = PlatformOpenFile(f->path, kOpenRecordNew);
    if (f->file == nullptr || !RecordUpdate(f, record)) {
        RecordEnd(f);
        return false;
    }
    return true;
}

bool RecordUpdate(RecordFile* f, const RunRecord* record)
{
    if (f->file == nullptr) {
        return true;
    }
    Slot slot;
    Slot* s = &slot;
    SlotStart(s);
    PutU32(s, record->step);
    PutU64(s, record->mostWritten);
    PutExport(s, record->exports[0]);
    PutExport(s, record->exports[1]);
    PutText(s, record->pointer, kTempPathCapacity);
    bool ok = !s->overflow;
    if (ok) {
        ++f->sequence;
        SlotSeal(s, kRecordMagic, f->sequence);
        ok = SlotWrite(f->file, s, f->sequence & 1u);
    }
    return ok;
}

void RecordEnd(RecordFile* f)
{
    if (f->file != nullptr) {
        // Removed while still held, so that no repair takes it up meanwhile.
        PlatformDelete(f->path);
        PlatformClose(f->file);
        f->file = nullptr;
    } else if (f->path[0] != 0) {
        PlatformDelete(f->path);
    }
    if (f->pointer[0] != 0) {
        PlatformDelete(f->pointer);
        f->pointer[0] = 0;
    }
}

RecordRead RecordLoad(FileHandle file, RunRecord* record)
{
    RecordInit(record);
    Slot slots[2];
    uint32_t length = 0;
    RecordRead read = LoadLatest(file, kRecordMagic, 2, slots, &length);
    if (read == kRecordRead) {
        Reader r = {slots->bytes + kHeaderSize, length, 0, false};
        record->step = GetU32(&r);
        record->mostWritten = GetU64(&r);
        GetExport(&r, &record->exports[0]);
        GetExport(&r, &record->exports[1]);
        GetText(&r, record->pointer, kTempPathCapacity);
        if (r.bad || record->step < kRecordClaiming || record->step > kRecordReplacing) {
            read = kRecordForeign;
        }
    }
    return read;
}

RecordRead PointerLoad(FileHandle file, FormChar* recordPath)
{
    recordPath[0] = 0;
    Slot slots[2];
    uint32_t length = 0;
    RecordRead read = LoadLatest(file, kPointerMagic, 1, slots, &length);
    if (read == kRecordRead) {
        Reader r = {slots->bytes + kHeaderSize, length, 0, false};
        GetText(&r, recordPath, kTempPathCapacity);
        if (r.bad) {
            read = kRecordForeign;
        }
    }
    return read;
}

bool JournalBegin(RunJournal* j, const RunRequest* request, uint64_t sourceSize)
{
    j->request = request;
    j->file.file = nullptr;
    RecordInit(&j->record);
    // Room for a byte order mark too.
    j->record.mostWritten = 2 * sourceSize + 16;
    const ExportRequest* requested[2] = {&request->without, &request->with};
    const FormChar* beside = nullptr;
    for (int i = 0; i < 2; ++i) {
        const ExportRequest* r = requested[i];
        RecordedExport* e = &j->record.exports[i];
        if (!r->on) {
            continue;
        }
        e->on = true;
        e->append = r->append;
        CopyName(r->path, e->path);
        FileStamp stamp;
        e->existed = PlatformIdentityAt(r->path, &e->id) && PlatformStamp(r->path, &stamp);
        if (e->existed) {
            e->oldSize = stamp.size;
            e->oldTime = stamp.writeTime;
        }
        if (beside == nullptr) {
            beside = r->path;
        }
    }
    return beside != nullptr && RecordBegin(&j->file, beside, &j->record);
}
