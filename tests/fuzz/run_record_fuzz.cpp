// The run's record and pointer readers fed anything: a file under one of our
// names may hold whatever a torn write, a damaged disk or another program
// left there. The input goes in as it is and, sealed, as a slot's payload,
// so that the fields behind the seal are reached too. Promises: no read
// past what was given, no write past a buffer, and what a parse returns as
// read holds together (texts end inside their room).
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include "filter/durability/run_record.h"

namespace {

const SealKey kKey = {0x0123456789ABCDEFull, 0xFEDCBA9876543210ull};

bool Ends(const FormChar* text, uint32_t capacity)
{
    for (uint32_t i = 0; i < capacity; ++i) {
        if (text[i] == 0) {
            return true;
        }
    }
    return false;
}

void Broken(const char* promise)
{
    fprintf(stderr, "run_record_fuzz: broken promise: %s\n", promise);
    abort();
}

void Check(const unsigned char* bytes, uint32_t size)
{
    RunRecord record;
    if (RecordParse(bytes, size, kKey, &record) == kRecordRead) {
        for (const RecordedExport& e : record.exports) {
            if (!Ends(e.path, kLongPathCapacity) || !Ends(e.tempPath, kTempPathCapacity) ||
                !Ends(e.backupPath, kTempPathCapacity) || !Ends(e.notedPath, kNotedPathCapacity) || !Ends(e.note, kNoteCapacity)) {
                Broken("a record's text runs past its room");
            }
        }
    }
    RecordPointer pointer;
    if (PointerParse(bytes, size, &pointer) == kRecordRead && !Ends(pointer.recordPath, kTempPathCapacity)) {
        Broken("a pointer's text runs past its room");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > kRecordFileSize) {
        return 0;
    }
    // As read from a file: exactly the bytes, in a buffer of their size.
    unsigned char* exact = static_cast<unsigned char*>(malloc(size == 0 ? 1 : size));
    for (size_t i = 0; i < size; ++i) {
        exact[i] = data[i];
    }
    Check(exact, static_cast<uint32_t>(size));
    free(exact);

    // Sealed as a record's second slot and as a pointer's slot, the first
    // slot of the record left torn.
    static unsigned char file[kRecordFileSize];
    uint32_t n = static_cast<uint32_t>(size);
    for (uint32_t i = 0; i < kRecordSlot; ++i) {
        file[i] = 0;
    }
    uint32_t used = SealedSlot(file + kRecordSlot, false, 2, data, n, kKey);
    if (used > 0) {
        unsigned char* exactFile = static_cast<unsigned char*>(malloc(kRecordSlot + used));
        for (uint32_t i = 0; i < kRecordSlot + used; ++i) {
            exactFile[i] = file[i];
        }
        Check(exactFile, kRecordSlot + used);
        free(exactFile);
    }
    used = SealedSlot(file, true, 1, data, n, kPointerSealKey);
    if (used > 0) {
        unsigned char* exactPointer = static_cast<unsigned char*>(malloc(used));
        for (uint32_t i = 0; i < used; ++i) {
            exactPointer[i] = file[i];
        }
        Check(exactPointer, used);
        free(exactPointer);
    }
    return 0;
}
