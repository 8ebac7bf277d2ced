// Up to four sets of bytes, each told as bits 32 bytes at a time: a walk
// that asks, for every byte, which of a few kinds it is (a table of 256
// entries) gets the same answer from two nibble look-ups a set instead of a
// load and four shifts a byte.
#ifndef QUORVANE_BYTE_SETS_H
#define QUORVANE_BYTE_SETS_H

#include <stdint.h>

#include "filter/search/avx2.h"

#if defined(QUORVANE_AVX2)
#include <immintrin.h>
#endif

const uint32_t kByteSetCount = 4;

struct ByteSets {
    // For set s and a byte's low nibble l: bit h of low[s][l] is set when
    // the byte h * 16 + l (h below 8) is in the set; high[s][l] the same
    // for h - 8, h from 8 on.
    alignas(16) unsigned char low[kByteSetCount][16];
    alignas(16) unsigned char high[kByteSetCount][16];
};

// Set s holds the bytes c whose kinds[c] has bit s.
inline void ByteSetsInit(ByteSets* sets, const unsigned char kinds[256])
{
    *sets = ByteSets{};
    for (uint32_t c = 0; c < 256; ++c) {
        const uint32_t h = c >> 4;
        const uint32_t l = c & 15;
        for (uint32_t s = 0; s < kByteSetCount; ++s) {
            if ((kinds[c] >> s & 1) == 0) {
                continue;
            }
            if (h < 8) {
                sets->low[s][l] = static_cast<unsigned char>(sets->low[s][l] | 1u << h);
            } else {
                sets->high[s][l] = static_cast<unsigned char>(sets->high[s][l] | 1u << (h - 8));
            }
        }
    }
}

#if defined(QUORVANE_AVX2)
// bits[s]: bit k set when b[k] is in set s, for the 32 bytes at b.
QUORVANE_AVX2_TARGET inline void ByteSetsOf32(const ByteSets* sets, const unsigned char* b, uint32_t bits[kByteSetCount])
{
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b));
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    const __m256i low = _mm256_and_si256(v, nibble);
    const __m256i high = _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble);
    const __m256i upper = _mm256_cmpgt_epi8(_mm256_setzero_si256(), v);   // the byte is 0x80 or above
    const __m256i bitOfHigh = _mm256_shuffle_epi8(
        _mm256_setr_epi8(1, 2, 4, 8, 16, 32, 64, -128, 1, 2, 4, 8, 16, 32, 64, -128, 1, 2, 4, 8, 16, 32, 64, -128, 1,
                         2, 4, 8, 16, 32, 64, -128),
        high);
    for (uint32_t s = 0; s < kByteSetCount; ++s) {
        const __m256i lowTable =
            _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(sets->low[s])));
        const __m256i highTable =
            _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(sets->high[s])));
        const __m256i row = _mm256_blendv_epi8(_mm256_shuffle_epi8(lowTable, low),
                                               _mm256_shuffle_epi8(highTable, low), upper);
        const __m256i out = _mm256_cmpeq_epi8(_mm256_and_si256(row, bitOfHigh), _mm256_setzero_si256());
        bits[s] = ~static_cast<uint32_t>(_mm256_movemask_epi8(out));
    }
}
#endif

#endif
