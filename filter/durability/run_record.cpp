// The run's record: its fields laid out in a slot, written and read back.

#include "filter/durability/run_record.h"

#include "filter/form/form_text.h"

namespace {

const unsigned char kRecordMagic[4] = {'Q', 'Z', 'R', 'J'};
const unsigned char kPointerMagic[4] = {'Q', 'Z', 'P', 'J'};
// Version 1 records had no seal: another version's, never acted on.
// Version 2 ones lack what version 3 adds about a file's previous version
// (a run of the program before it): read as having none, so that what
// such a run left half done is still put back.
const uint32_t kRecordVersion = 3;
const uint32_t kOldestVersion = 2;
// magic, version, sequence, payload length, seal (8 bytes)
const uint32_t kHeaderSize = 24;

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

// A text's length is checked against the room it goes into and the bytes
// left: a length past either is a record that does not hold together.
void GetText(Reader* r, FormChar* text, uint32_t capacity)
{
    uint32_t n = GetU32(r);
    if (r->bad || n >= capacity || n > (r->size - r->at) / 2) {
        r->bad = true;
        n = 0;
    }
    for (uint32_t i = 0; i < n; ++i) {
        uint32_t low = GetByte(r);
        text[i] = static_cast<FormChar>(low | (static_cast<uint32_t>(GetByte(r)) << 8));
    }
    text[n] = 0;
}

// The seal covers the sequence number, the length (header bytes 8 to 15)
// and the payload, which follows the header in the slot.
uint64_t SealOf(const unsigned char* slot, uint32_t payload, const SealKey& key)
{
    unsigned char head[8];
    for (int i = 0; i < 8; ++i) {
        head[i] = slot[8 + i];
    }
    SealKey keyed = key;
    keyed.k0 ^= Seal(key, head, 8);
    return Seal(keyed, slot + kHeaderSize, payload);
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
                     (e.created ? 16u : 0u) | (e.newKnown ? 32u : 0u) | (e.inPlace ? 64u : 0u) |
                     (e.appending ? 128u : 0u) | (e.appended ? 256u : 0u);
    PutU32(s, flags);
    PutIdentity(s, e.id);
    PutIdentity(s, e.newId);
    PutU64(s, e.oldSize);
    PutU64(s, e.oldTime);
    PutU64(s, e.newSize);
    PutU64(s, e.appendFrom);
    PutU64(s, e.appendTime);
    PutU64(s, e.appendedSize);
    PutU64(s, e.appendedTime);
    PutText(s, e.path, kLongPathCapacity);
    PutText(s, e.tempPath, kTempPathCapacity);
    PutText(s, e.backupPath, kTempPathCapacity);
    PutText(s, e.notedPath, kNotedPathCapacity);
    PutU32(s, e.namesBefore);
    PutText(s, e.note, kNoteCapacity);
}

// Where a path's name starts: after its last separator.
uint32_t NameStart(const FormChar* path)
{
    uint32_t start = 0;
    for (uint32_t i = 0; path[i] != 0; ++i) {
        if (path[i] == '\\' || path[i] == '/') {
            start = i + 1;
        }
    }
    return start;
}

// True when path is none, or lies in the folder of target and, for a kind,
// is one of our names of that kind beside it: "qz", the kind, four
// upper-case hex digits, ".tmp". A record names no other file than the
// export's own, whatever its seal says.
bool NoneOrBeside(const FormChar* path, const FormChar* target, FormChar kind)
{
    if (path[0] == 0) {
        return true;
    }
    const uint32_t folder = NameStart(target);
    if (folder == 0 || NameStart(path) != folder) {
        return false;
    }
    for (uint32_t i = 0; i < folder; ++i) {
        if (path[i] != target[i]) {
            return false;
        }
    }
    const FormChar* name = path + folder;
    if (kind == 0) {
        return true;
    }
    if (name[0] != 'q' || name[1] != 'z' || name[2] != kind) {
        return false;
    }
    for (int i = 3; i < 7; ++i) {
        if (!((name[i] >= '0' && name[i] <= '9') || (name[i] >= 'A' && name[i] <= 'F'))) {
            return false;
        }
    }
    const char tail[] = ".tmp";
    for (int i = 0; i < 5; ++i) {
        if (name[7 + i] != static_cast<FormChar>(tail[i])) {
            return false;
        }
    }
    return true;
}

bool OnlyOurNamesBeside(const RecordedExport& e)
{
    return NoneOrBeside(e.tempPath, e.path, 'v') && NoneOrBeside(e.backupPath, e.path, 'b') &&
           NoneOrBeside(e.notedPath, e.path, 0);
}

void GetExport(Reader* r, RecordedExport* e, uint32_t version)
{
    uint32_t flags = GetU32(r);
    if (flags > 511u) {
        r->bad = true;
    }
    e->on = (flags & 1u) != 0;
    e->append = (flags & 2u) != 0;
    e->existed = (flags & 4u) != 0;
    e->claimed = (flags & 8u) != 0;
    e->created = (flags & 16u) != 0;
    e->newKnown = (flags & 32u) != 0;
    e->inPlace = (flags & 64u) != 0;
    e->appending = (flags & 128u) != 0;
    e->appended = (flags & 256u) != 0;
    GetIdentity(r, &e->id);
    GetIdentity(r, &e->newId);
    e->oldSize = GetU64(r);
    e->oldTime = GetU64(r);
    e->newSize = GetU64(r);
    e->appendFrom = GetU64(r);
    e->appendTime = GetU64(r);
    e->appendedSize = GetU64(r);
    e->appendedTime = GetU64(r);
    GetText(r, e->path, kLongPathCapacity);
    GetText(r, e->tempPath, kTempPathCapacity);
    GetText(r, e->backupPath, kTempPathCapacity);
    if (version >= 3) {
        GetText(r, e->notedPath, kNotedPathCapacity);
        e->namesBefore = GetU32(r);
        GetText(r, e->note, kNoteCapacity);
    }
}

// Starts a slot: room for the header.
void SlotStart(Slot* s)
{
    s->used = kHeaderSize;
    s->overflow = false;
}

// Fills in the header once the payload is in.
void SlotClose(Slot* s, const unsigned char* magic, uint32_t sequence, const SealKey& key)
{
    uint32_t payload = s->used - kHeaderSize;
    s->used = 0;
    for (int i = 0; i < 4; ++i) {
        PutByte(s, magic[i]);
    }
    PutU32(s, kRecordVersion);
    PutU32(s, sequence);
    PutU32(s, payload);
    PutU64(s, SealOf(s->bytes, payload, key));
    s->used = kHeaderSize + payload;
}

// Writes a slot at its place and flushes it.
bool SlotWrite(FileHandle file, const Slot* s, uint32_t index)
{
    return PlatformSeekTo(file, static_cast<uint64_t>(index) * kRecordSlot) && PlatformWrite(file, s->bytes, s->used) &&
           PlatformFlush(file);
}

enum SlotState { kSlotWhole, kSlotTorn, kSlotForeign };

// Whether the slot at bytes (size of them read) is whole and sealed with
// key: its magic, version and seal. The payload follows the header,
// *length long.
SlotState SlotCheck(const unsigned char* bytes, uint32_t size, const unsigned char* magic, const SealKey& key,
                    uint32_t* sequence, uint32_t* length, uint32_t* version)
{
    if (size < kHeaderSize) {
        return kSlotTorn;
    }
    Reader r = {bytes, size, 0, false};
    bool ours = true;
    for (int i = 0; i < 4; ++i) {
        ours = GetByte(&r) == magic[i] && ours;
    }
    *version = GetU32(&r);
    if (!ours) {
        // Zeros, or a write torn in its first bytes.
        return kSlotTorn;
    }
    if (*version < kOldestVersion || *version > kRecordVersion) {
        return kSlotForeign;
    }
    *sequence = GetU32(&r);
    *length = GetU32(&r);
    uint64_t seal = GetU64(&r);
    if (*length > size - kHeaderSize || seal != SealOf(bytes, *length, key)) {
        return kSlotTorn;
    }
    return kSlotWhole;
}

// The whole slot with the highest sequence number among the file's slots
// (size bytes read, slots of them at most): its payload's offset and length.
RecordRead LatestSlot(const unsigned char* bytes, uint32_t size, uint32_t slots, const unsigned char* magic,
                      const SealKey& key, uint32_t* payload, uint32_t* length, uint32_t* version,
                      uint32_t* latest = nullptr)
{
    bool found = false;
    bool foreign = false;
    uint32_t bestSequence = 0;
    for (uint32_t i = 0; i < slots; ++i) {
        uint32_t at = i * kRecordSlot;
        if (at >= size) {
            break;
        }
        uint32_t here = size - at < static_cast<uint32_t>(kRecordSlot) ? size - at : static_cast<uint32_t>(kRecordSlot);
        uint32_t sequence = 0;
        uint32_t n = 0;
        uint32_t slotVersion = 0;
        SlotState state = SlotCheck(bytes + at, here, magic, key, &sequence, &n, &slotVersion);
        foreign = foreign || state == kSlotForeign;
        if (state != kSlotWhole || (found && sequence <= bestSequence)) {
            continue;
        }
        found = true;
        bestSequence = sequence;
        *payload = at + kHeaderSize;
        *length = n;
        *version = slotVersion;
    }
    if (foreign && !found) {
        return kRecordForeign;
    }
    if (latest != nullptr) {
        *latest = bestSequence;
    }
    return found ? kRecordRead : kRecordEmpty;
}

void ExportInitRecorded(RecordedExport* e)
{
    *e = RecordedExport{};   // off, nothing claimed, no identity, sizes or paths
}

void CopyName(const FormChar* from, FormChar* to)
{
    CopyText(from, to, kTempPathCapacity);
}

// Writes the pointer file: one slot naming the record, which file it is,
// and the key of its seal.
bool WritePointer(const FormChar* pointer, const RecordFile* f, const FileIdentity& recordId)
{
    FileHandle file = PlatformOpenFile(pointer, kOpenRecordNew);
    if (file == nullptr) {
        return false;
    }
    Slot slot;
    Slot* s = &slot;
    SlotStart(s);
    PutU64(s, f->key.k0);
    PutU64(s, f->key.k1);
    PutIdentity(s, recordId);
    PutText(s, f->path, kTempPathCapacity);
    SlotClose(s, kPointerMagic, 1, kPointerSealKey);
    bool ok = SlotWrite(file, s, 0);
    ok = PlatformClose(file) && ok;
    if (!ok) {
        PlatformDelete(pointer);
    }
    return ok;
}

}  // namespace

// A pointer's seal is a plain checksum: what makes it trusted is the folder
// it is in, which is this user's own.
const SealKey kPointerSealKey = {0x71756f7276616e65ull, 0x706f696e74657221ull};

uint32_t SealedSlot(unsigned char* out, bool pointer, uint32_t sequence, const unsigned char* payload,
                    uint32_t length, const SealKey& key)
{
    if (length > kRecordSlot - kHeaderSize) {
        return 0;
    }
    Slot slot;
    Slot* s = &slot;
    SlotStart(s);
    for (uint32_t i = 0; i < length; ++i) {
        PutByte(s, payload[i]);
    }
    SlotClose(s, pointer ? kPointerMagic : kRecordMagic, sequence, key);
    __builtin_memcpy(out, s->bytes, s->used);
    return s->used;
}

void RecordInit(RunRecord* record)
{
    record->step = kRecordClaiming;
    record->mostWritten = 0;
    record->sourceRead.stamp.size = 0;
    record->sourceRead.stamp.writeTime = 0;
    record->sourceRead.sum = 0;
    record->sourceRead.unit = kLineUnitByte;
    ExportInitRecorded(&record->exports[0]);
    ExportInitRecorded(&record->exports[1]);
}

bool RecordBegin(RecordFile* f, const FormChar* beside, RunRecord* record)
{
    f->file = nullptr;
    f->sequence = 0;
    f->path[0] = 0;
    f->pointer[0] = 0;
    PlatformRandom(&f->key, sizeof f->key);
    // The record first, created held: no one can open it before its run
    // lets go of it, and no pointer names it before it exists.
    if (!PlatformNameBeside(beside, 'r', 4, f->path)) {
        return false;
    }
    f->file = PlatformOpenFile(f->path, kOpenRecordNew);
    if (f->file == nullptr) {
        f->path[0] = 0;
        return false;
    }
    FileIdentity recordId;
    FormChar folder[kTempPathCapacity];
    bool ok = RecordUpdate(f, record) && PlatformIdentity(f->file, &recordId) &&
              PlatformStateFolder(folder, kTempPathCapacity) && PlatformNameBeside(folder, 'p', 5, f->pointer);
    if (ok && !WritePointer(f->pointer, f, recordId)) {
        f->pointer[0] = 0;
        ok = false;
    }
    if (!ok) {
        // Without a pointer no repair would ever trust the record.
        f->pointer[0] = 0;
        RecordEnd(f);
    }
    return ok;
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
    PutU64(s, record->sourceRead.stamp.size);
    PutU64(s, record->sourceRead.stamp.writeTime);
    PutU64(s, record->sourceRead.sum);
    PutU32(s, record->sourceRead.unit);
    PutExport(s, record->exports[0]);
    PutExport(s, record->exports[1]);
    bool ok = !s->overflow;
    if (ok) {
        ++f->sequence;
        SlotClose(s, kRecordMagic, f->sequence, f->key);
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
    }
    f->path[0] = 0;
    if (f->pointer[0] != 0) {
        PlatformDelete(f->pointer);
        f->pointer[0] = 0;
    }
}

bool RecordFileRead(FileHandle file, unsigned char* bytes, uint32_t* size)
{
    *size = 0;
    if (!PlatformSeekTo(file, 0)) {
        return false;
    }
    while (*size < kRecordFileSize) {
        uint32_t got = 0;
        if (!PlatformRead(file, bytes + *size, kRecordFileSize - *size, &got)) {
            return false;
        }
        if (got == 0) {
            break;
        }
        *size += got;
    }
    return true;
}

RecordRead RecordParse(const unsigned char* bytes, uint32_t size, const SealKey& key, RunRecord* record,
                       uint32_t* sequence)
{
    RecordInit(record);
    uint32_t payload = 0;
    uint32_t length = 0;
    uint32_t version = 0;
    uint32_t latest = 0;
    RecordRead read = LatestSlot(bytes, size, 2, kRecordMagic, key, &payload, &length, &version, &latest);
    if (sequence != nullptr) {
        *sequence = latest;
    }
    if (read != kRecordRead) {
        return read;
    }
    Reader r = {bytes + payload, length, 0, false};
    record->step = GetU32(&r);
    record->mostWritten = GetU64(&r);
    record->sourceRead.stamp.size = GetU64(&r);
    record->sourceRead.stamp.writeTime = GetU64(&r);
    record->sourceRead.sum = GetU64(&r);
    record->sourceRead.unit = GetU32(&r);
    GetExport(&r, &record->exports[0], version);
    GetExport(&r, &record->exports[1], version);
    if (r.bad || r.at != r.size || record->step < kRecordClaiming || record->step > kRecordReplacing ||
        record->sourceRead.unit > kLineUnitUtf16Be || !OnlyOurNamesBeside(record->exports[0]) ||
        !OnlyOurNamesBeside(record->exports[1])) {
        RecordInit(record);
        return kRecordForeign;
    }
    return kRecordRead;
}

RecordRead PointerParse(const unsigned char* bytes, uint32_t size, RecordPointer* pointer)
{
    pointer->recordPath[0] = 0;
    pointer->recordId.volume = 0;
    pointer->recordId.index = 0;
    pointer->key.k0 = 0;
    pointer->key.k1 = 0;
    uint32_t payload = 0;
    uint32_t length = 0;
    uint32_t version = 0;
    RecordRead read = LatestSlot(bytes, size, 1, kPointerMagic, kPointerSealKey, &payload, &length, &version);
    if (read != kRecordRead) {
        return read;
    }
    Reader r = {bytes + payload, length, 0, false};
    pointer->key.k0 = GetU64(&r);
    pointer->key.k1 = GetU64(&r);
    GetIdentity(&r, &pointer->recordId);
    GetText(&r, pointer->recordPath, kTempPathCapacity);
    if (r.bad || r.at != r.size || pointer->recordPath[0] == 0) {
        pointer->recordPath[0] = 0;
        return kRecordForeign;
    }
    return kRecordRead;
}

bool HeldRecordBegin(HeldRecord* j, const RunRequest* request, uint64_t sourceSize)
{
    j->request = request;
    j->file.file = nullptr;
    j->file.path[0] = 0;
    j->file.pointer[0] = 0;
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
