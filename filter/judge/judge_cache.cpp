// The platform's verdicts on spans of text, remembered.

#include "filter/judge/judge_cache.h"

namespace {

const uint32_t kDefaultSlots = 1u << 15;
const uint64_t kDefaultKeyBytes = 1u << 19;

uint32_t Load32(const unsigned char* bytes)
{
    uint32_t value;
    __builtin_memcpy(&value, bytes, sizeof value);
    return value;
}

// A span of at most 8 bytes as one number: the same number for the same
// bytes only (the span's length being fixed), its own key.
uint64_t Packed(const unsigned char* bytes, uint32_t length)
{
    if (length >= 4) {
        return Load32(bytes) | static_cast<uint64_t>(Load32(bytes + length - 4)) << 32;
    }
    uint64_t value = 0;
    for (uint32_t i = 0; i < length; ++i) {
        value |= static_cast<uint64_t>(bytes[i]) << (8 * i);
    }
    return value;
}

uint64_t Load64(const unsigned char* bytes)
{
    uint64_t value;
    __builtin_memcpy(&value, bytes, sizeof value);
    return value;
}

// A span of more than 8 bytes, 8 at a time (the last 8 overlapping the
// ones before), then a final mix so that the low bits spread.
uint64_t Hash(const unsigned char* bytes, uint32_t length)
{
    uint64_t h = 0xcbf29ce484222325ull ^ length;
    uint32_t i = 0;
    for (; i + 8 < length; i += 8) {
        h = (h ^ Load64(bytes + i)) * 0x9e3779b97f4a7c15ull;
        h ^= h >> 29;
    }
    h = (h ^ Load64(bytes + length - 8)) * 0x9e3779b97f4a7c15ull;
    h ^= h >> 29;
    h *= 0xbf58476d1ce4e5b9ull;
    h ^= h >> 32;
    return h;
}

bool SameBytes(const unsigned char* a, const unsigned char* b, uint32_t length)
{
    for (uint32_t i = 0; i < length; ++i) {
        if (a[i] != b[i]) {
            return false;
        }
    }
    return true;
}

void Clear(JudgeCache* cache)
{
    for (uint32_t i = 0; i < cache->recentCount; ++i) {
        cache->recent[i].length = 0;
    }
    for (uint32_t i = 0; i < cache->slotCount; ++i) {
        cache->slots[i].used = 0;
    }
    cache->filled = 0;
    cache->keyUsed = 0;
}

}  // namespace

uint64_t JudgeCacheBytes()
{
    return kRecentCount * sizeof(JudgeRecent) + kDefaultSlots * sizeof(JudgeSlot) + kDefaultKeyBytes;
}

bool JudgeCacheInit(JudgeCache* cache, void* memory, uint64_t bytes, uint32_t spanLength)
{
    // The recent texts where the memory is ample for both.
    const uint64_t recentBytes = kRecentCount * sizeof(JudgeRecent);
    cache->recent = static_cast<JudgeRecent*>(memory);
    cache->recentCount = bytes >= 8 * recentBytes ? kRecentCount : 0;
    memory = static_cast<unsigned char*>(memory) + cache->recentCount * sizeof(JudgeRecent);
    bytes -= cache->recentCount * sizeof(JudgeRecent);
    uint32_t slots = kDefaultSlots;
    while (slots > 4 && slots * sizeof(JudgeSlot) * 2 > bytes) {
        slots /= 2;
    }
    uint64_t slotBytes = slots * sizeof(JudgeSlot);
    if (spanLength == 0 || bytes < slotBytes + spanLength) {
        return false;
    }
    cache->slots = static_cast<JudgeSlot*>(memory);
    cache->slotCount = slots;
    cache->filled = 0;
    cache->keys = static_cast<unsigned char*>(memory) + slotBytes;
    cache->keyCapacity = bytes - slotBytes;
    cache->keyUsed = 0;
    cache->spanLength = spanLength;
    // Zero-filled memory holds no verdict already: left untouched, a run
    // that never asks the platform pays for no page of it.
    return true;
}

// Where a span's search starts, and what its slot holds: a short span's
// bytes themselves, a longer one's hash.
uint32_t FirstSlot(const JudgeCache* cache, const unsigned char* span, uint64_t* hash)
{
    if (cache->spanLength <= 8) {
        *hash = Packed(span, cache->spanLength);
        return static_cast<uint32_t>((*hash * 0x9e3779b97f4a7c15ull) >> 32) & (cache->slotCount - 1);
    }
    *hash = Hash(span, cache->spanLength);
    return static_cast<uint32_t>(*hash) & (cache->slotCount - 1);
}

int JudgeCacheFind(const JudgeCache* cache, const unsigned char* span)
{
    uint64_t hash;
    const uint32_t mask = cache->slotCount - 1;
    const bool packed = cache->spanLength <= 8;
    for (uint32_t i = FirstSlot(cache, span, &hash);; i = (i + 1) & mask) {
        const JudgeSlot& slot = cache->slots[i];
        if (!slot.used) {
            return -1;
        }
        if (slot.hash == hash && (packed || SameBytes(cache->keys + slot.key, span, cache->spanLength))) {
            return slot.verdict;
        }
    }
}

void JudgeCacheKeep(JudgeCache* cache, const unsigned char* span, bool verdict)
{
    // At most three quarters of the slots in use, so that a search always
    // ends at a free one.
    if (cache->filled + 1 > cache->slotCount / 4 * 3 ||
        cache->keyUsed + cache->spanLength > cache->keyCapacity) {
        Clear(cache);
    }
    uint64_t hash;
    const uint32_t mask = cache->slotCount - 1;
    uint32_t i = FirstSlot(cache, span, &hash);
    while (cache->slots[i].used) {
        i = (i + 1) & mask;
    }
    JudgeSlot& slot = cache->slots[i];
    slot.used = 1;
    slot.hash = hash;
    slot.key = static_cast<uint32_t>(cache->keyUsed);
    slot.verdict = verdict ? 1 : 0;
    for (uint32_t k = 0; k < cache->spanLength; ++k) {
        cache->keys[cache->keyUsed + k] = span[k];
    }
    cache->keyUsed += cache->spanLength;
    ++cache->filled;
}

namespace {

// Where a text of 1 to kRecentBytes bytes is kept among the recent ones.
uint32_t RecentSlot(const JudgeCache* cache, const unsigned char* text, uint32_t count, uint32_t form)
{
    uint64_t h = count * 0x100 + form;
    if (count >= 8) {
        for (uint32_t i = 0; i + 8 < count; i += 8) {
            h = (h ^ Load64(text + i)) * 0x9e3779b97f4a7c15ull;
        }
        h = (h ^ Load64(text + count - 8)) * 0x9e3779b97f4a7c15ull;
    } else {
        h = (h ^ Packed(text, count)) * 0x9e3779b97f4a7c15ull;
    }
    return static_cast<uint32_t>(h >> 40) & (cache->recentCount - 1);
}

// SameBytes for 1 to kRecentBytes bytes, 8 at a time where there are 8.
bool SameText(const unsigned char* a, const unsigned char* b, uint32_t count)
{
    if (count < 8) {
        return Packed(a, count) == Packed(b, count);
    }
    uint64_t differ = Load64(a + count - 8) ^ Load64(b + count - 8);
    for (uint32_t i = 0; i + 8 < count; i += 8) {
        differ |= Load64(a + i) ^ Load64(b + i);
    }
    return differ == 0;
}

}  // namespace

int JudgeCacheFindText(const JudgeCache* cache, const unsigned char* text, uint64_t count, uint32_t form)
{
    if (count == 0 || count > kRecentBytes || cache->recentCount == 0) {
        return -1;
    }
    const JudgeRecent& recent = cache->recent[RecentSlot(cache, text, static_cast<uint32_t>(count), form)];
    if (recent.length != count || recent.form != form || !SameText(recent.bytes, text, static_cast<uint32_t>(count))) {
        return -1;
    }
    return recent.verdict;
}

void JudgeCacheKeepText(JudgeCache* cache, const unsigned char* text, uint64_t count, uint32_t form, bool verdict)
{
    if (count == 0 || count > kRecentBytes || cache->recentCount == 0) {
        return;
    }
    JudgeRecent& recent = cache->recent[RecentSlot(cache, text, static_cast<uint32_t>(count), form)];
    for (uint32_t k = 0; k < count; ++k) {
        recent.bytes[k] = text[k];
    }
    recent.length = static_cast<uint8_t>(count);
    recent.form = static_cast<uint8_t>(form);
    recent.verdict = verdict ? 1 : 0;
}
