// The platform's verdicts on needle-sized spans of text, remembered.
//
// Where the platform's search compares by the locale's rules, a span of
// the line that holds bytes other than plain ones must be judged by the
// platform itself, one call per span, and each call is dear. Its verdict
// depends on the span's bytes alone, and logs repeat themselves, so the
// verdicts are kept in a table of fixed size that starts afresh when full.
#ifndef QUORVANE_JUDGE_CACHE_H
#define QUORVANE_JUDGE_CACHE_H

#include "platform/platform.h"

struct JudgeSlot {
    uint64_t hash;
    uint32_t key;        // offset of the span's bytes in the key store
    uint8_t used;
    uint8_t verdict;
};

// A short text judged whole lately (a segment, say): its bytes, their form
// and the verdict on them.
const uint32_t kRecentBytes = 40;
struct JudgeRecent {
    unsigned char bytes[kRecentBytes];
    uint8_t length;   // 0: none
    uint8_t form;
    uint8_t verdict;
};
const uint32_t kRecentCount = 256;

struct JudgeCache {
    JudgeRecent* recent;   // recentCount of them (a power of two, or none), by a hash of the bytes
    uint32_t recentCount;
    JudgeSlot* slots;
    uint32_t slotCount;  // a power of two
    uint32_t filled;
    unsigned char* keys;
    uint64_t keyCapacity;
    uint64_t keyUsed;
    uint32_t spanLength;
};

// Memory for a cache of the default size.
uint64_t JudgeCacheBytes();
// Lays a cache out over memory (bytes of it, zero-filled) for spans of
// spanLength bytes. False when the memory is too small for one span.
bool JudgeCacheInit(JudgeCache* cache, void* memory, uint64_t bytes, uint32_t spanLength);
// The verdict remembered for the span's bytes: 1 holds the needle, 0 not,
// -1 unknown.
int JudgeCacheFind(const JudgeCache* cache, const unsigned char* span);
void JudgeCacheKeep(JudgeCache* cache, const unsigned char* span, bool verdict);

// The same for a whole text of count bytes in a form (a UnitForm), kept
// only while no other text takes its place: -1 unknown, and always for a
// text of more than kRecentBytes.
int JudgeCacheFindText(const JudgeCache* cache, const unsigned char* text, uint64_t count, uint32_t form);
void JudgeCacheKeepText(JudgeCache* cache, const unsigned char* text, uint64_t count, uint32_t form, bool verdict);

#endif
