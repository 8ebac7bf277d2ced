// A running sum of a file's bytes, the same however the bytes were cut into
// pieces: the run sums every byte of the source it reads, and a replace
// that finds the old file grew sums the old file's first bytes again, to
// know whether the other program only added at the end or also changed
// what the run read.
//
// Four lanes of 64-bit multiply-rotate rounds over 32-byte stripes (the
// round of the xxHash family), then the lanes, the length and the last
// partial stripe folded together. Not a guard against someone who crafts
// a collision, but a rewrite by an editor or a log rotation changes the
// sum with a chance of 2^-64 of missing it, at several GiB a second, so the
// pass over the source costs little.
//
// Portable, no C runtime: plain inline functions on a caller's struct.
#ifndef QUORVANE_CONTENT_SUM_H
#define QUORVANE_CONTENT_SUM_H

#include <stdint.h>

struct ContentSum {
    uint64_t lane[4];
    uint64_t length;           // bytes summed in all
    unsigned char stripe[32];  // a stripe begun and not yet whole
    uint32_t pending;          // bytes in stripe
};

namespace content_sum {

const uint64_t kPrime1 = 0x9E3779B185EBCA87ull;
const uint64_t kPrime2 = 0xC2B2AE3D27D4EB4Full;
const uint64_t kPrime3 = 0x165667B19E3779F9ull;

inline uint64_t Rotate(uint64_t x, int r)
{
    return (x << r) | (x >> (64 - r));
}

inline uint64_t Word(const unsigned char* p)
{
    uint64_t w;
    __builtin_memcpy(&w, p, 8);
    return w;
}

inline uint64_t Round(uint64_t lane, uint64_t word)
{
    return Rotate(lane + word * kPrime2, 31) * kPrime1;
}

inline void Stripe(ContentSum* s, const unsigned char* p)
{
    s->lane[0] = Round(s->lane[0], Word(p));
    s->lane[1] = Round(s->lane[1], Word(p + 8));
    s->lane[2] = Round(s->lane[2], Word(p + 16));
    s->lane[3] = Round(s->lane[3], Word(p + 24));
}

}  // namespace content_sum

inline void SumInit(ContentSum* s)
{
    s->lane[0] = content_sum::kPrime1 + content_sum::kPrime2;
    s->lane[1] = content_sum::kPrime2;
    s->lane[2] = 0;
    s->lane[3] = 0 - content_sum::kPrime1;
    s->length = 0;
    s->pending = 0;
}

inline void SumAdd(ContentSum* s, const void* bytes, uint64_t count)
{
    const unsigned char* p = static_cast<const unsigned char*>(bytes);
    s->length += count;
    if (s->pending > 0) {
        while (s->pending < 32 && count > 0) {
            s->stripe[s->pending++] = *p++;
            --count;
        }
        if (s->pending < 32) {
            return;
        }
        content_sum::Stripe(s, s->stripe);
        s->pending = 0;
    }
    // Four lanes the same stripe does not tie together: the processor runs
    // their multiplications side by side.
    for (; count >= 32; p += 32, count -= 32) {
        content_sum::Stripe(s, p);
    }
    // Less than a stripe is left, and none is pending.
    uint32_t rest = static_cast<uint32_t>(count);
    for (uint32_t i = 0; i < rest && i < 32; ++i) {
        s->stripe[i] = p[i];
    }
    s->pending = rest;
}

inline uint64_t SumValue(const ContentSum* s)
{
    using namespace content_sum;
    uint64_t h = Rotate(s->lane[0], 1) + Rotate(s->lane[1], 7) + Rotate(s->lane[2], 12) + Rotate(s->lane[3], 18);
    for (int i = 0; i < 4; ++i) {
        h = (h ^ Round(0, s->lane[i])) * kPrime1 + kPrime3;
    }
    h += s->length;
    for (uint32_t i = 0; i < s->pending; ++i) {
        h = Rotate(h ^ (s->stripe[i] * kPrime3), 11) * kPrime1;
    }
    h ^= h >> 33;
    h *= kPrime2;
    h ^= h >> 29;
    h *= kPrime3;
    h ^= h >> 32;
    return h;
}

#endif
