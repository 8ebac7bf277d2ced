// The seal on a run's record: SipHash-2-4, a keyed 64-bit sum. The key is
// drawn when the run begins and is written only into the pointer in this
// user's own folder, never beside the record: a record someone else wrote
// or changed, in a folder they can write to, cannot carry a seal the
// pointer's key opens, so the repair never acts on it.
//
// Portable, no C runtime: plain inline functions.
#ifndef QUORVANE_RECORD_SEAL_H
#define QUORVANE_RECORD_SEAL_H

#include <stdint.h>

struct SealKey {
    uint64_t k0;
    uint64_t k1;
};

namespace record_seal {

inline uint64_t Rotate(uint64_t x, int r)
{
    return (x << r) | (x >> (64 - r));
}

inline void Round(uint64_t* v)
{
    v[0] += v[1];
    v[1] = Rotate(v[1], 13);
    v[1] ^= v[0];
    v[0] = Rotate(v[0], 32);
    v[2] += v[3];
    v[3] = Rotate(v[3], 16);
    v[3] ^= v[2];
    v[0] += v[3];
    v[3] = Rotate(v[3], 21);
    v[3] ^= v[0];
    v[2] += v[1];
    v[1] = Rotate(v[1], 17);
    v[1] ^= v[2];
    v[2] = Rotate(v[2], 32);
}

inline void Absorb(uint64_t* v, uint64_t m)
{
    v[3] ^= m;
    Round(v);
    Round(v);
    v[0] ^= m;
}

}  // namespace record_seal

// The seal of count bytes.
inline uint64_t Seal(const SealKey& key, const unsigned char* bytes, uint32_t count)
{
    using namespace record_seal;
    uint64_t v[4] = {key.k0 ^ 0x736f6d6570736575ull, key.k1 ^ 0x646f72616e646f6dull,
                     key.k0 ^ 0x6c7967656e657261ull, key.k1 ^ 0x7465646279746573ull};
    uint32_t whole = count - count % 8;
    for (uint32_t i = 0; i < whole; i += 8) {
        uint64_t m = 0;
        for (int b = 0; b < 8; ++b) {
            m |= static_cast<uint64_t>(bytes[i + b]) << (8 * b);
        }
        Absorb(v, m);
    }
    uint64_t last = static_cast<uint64_t>(count & 0xFF) << 56;
    for (uint32_t i = whole; i < count; ++i) {
        last |= static_cast<uint64_t>(bytes[i]) << (8 * (i - whole));
    }
    Absorb(v, last);
    v[2] ^= 0xFF;
    Round(v);
    Round(v);
    Round(v);
    Round(v);
    return v[0] ^ v[1] ^ v[2] ^ v[3];
}

#endif
