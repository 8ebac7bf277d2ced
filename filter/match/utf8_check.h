// Whether bytes are well-formed UTF-8, 16 at a time: the UTF-8 rule asks it
// of every line it finds a candidate in, and of every segment it asks the
// platform about.
#ifndef QUORVANE_UTF8_CHECK_H
#define QUORVANE_UTF8_CHECK_H

#include <stdint.h>

#include "filter/judge/wide_judge.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace utf8_check_detail {

#if defined(__SSE2__)
// The bytes of v at or above c, as bits.
inline uint32_t AtLeast(__m128i flipped, unsigned char c)
{
    // Bytes compared signed after their top bit is flipped compare as
    // unsigned ones.
    const __m128i limit = _mm_set1_epi8(static_cast<char>((c - 1) ^ 0x80));
    return static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpgt_epi8(flipped, limit)));
}

inline uint32_t Equal(__m128i v, unsigned char c)
{
    return static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(c)))));
}

// What one block of 16 leaves the next: the positions that must be
// continuation bytes, and those whose range the lead before them narrows.
struct Carried {
    uint32_t continuation;
    uint32_t fromA0;   // after E0: A0-BF
    uint32_t upTo9F;   // after ED: 80-9F
    uint32_t from90;   // after F0: 90-BF
    uint32_t upTo8F;   // after F4: 80-8F
};

// The 16 bytes from kTailMasks + 16 - k: k zeros, then ones.
alignas(16) const unsigned char kTailMasks[32] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                                  0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                                  0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

// False when the 16 bytes of v, with what the block before carried, are
// not well-formed so far; carried then holds what this block carries on.
inline bool BlockIsUtf8(__m128i v, Carried* carried)
{
    const uint32_t high = static_cast<uint32_t>(_mm_movemask_epi8(v));
    if (high == 0) {
        return carried->continuation == 0;
    }
    const __m128i flipped = _mm_xor_si128(v, _mm_set1_epi8(static_cast<char>(0x80)));
    const uint32_t fromA0 = AtLeast(flipped, 0xA0);
    const uint32_t from90 = AtLeast(flipped, 0x90);
    const uint32_t fromC0 = AtLeast(flipped, 0xC0);
    const uint32_t fromC2 = AtLeast(flipped, 0xC2);
    const uint32_t fromE0 = AtLeast(flipped, 0xE0);
    const uint32_t fromF0 = AtLeast(flipped, 0xF0);
    const uint32_t fromF5 = AtLeast(flipped, 0xF5);
    const uint32_t continuation = high & ~fromC0;
    const uint32_t leads = fromC2 & ~fromF5;
    const uint32_t longer = fromE0 & ~fromF5;   // three or four bytes
    const uint32_t four = fromF0 & ~fromF5;
    // C0, C1 and F5-FF start no character.
    if ((fromC0 & ~fromC2) != 0 || fromF5 != 0) {
        return false;
    }
    const uint32_t expected = leads << 1 | longer << 2 | four << 3 | carried->continuation;
    const uint32_t e0 = Equal(v, 0xE0) << 1 | carried->fromA0;
    const uint32_t ed = Equal(v, 0xED) << 1 | carried->upTo9F;
    const uint32_t f0 = Equal(v, 0xF0) << 1 | carried->from90;
    const uint32_t f4 = Equal(v, 0xF4) << 1 | carried->upTo8F;
    const uint32_t narrowedOut = (e0 & ~fromA0) | (ed & fromA0) | (f0 & ~from90) | (f4 & from90);
    if ((expected & 0xFFFF) != continuation || (narrowedOut & 0xFFFF) != 0) {
        return false;
    }
    *carried = Carried{expected >> 16, e0 >> 16, ed >> 16, f0 >> 16, f4 >> 16};
    return true;
}
#endif

}  // namespace utf8_check_detail

// True when b[first, last) is well-formed UTF-8 (no overlong forms, no
// surrogates, nothing past U+10FFFF): as Utf8SequenceLength reads it.
inline bool IsUtf8(const unsigned char* b, uint64_t first, uint64_t last)
{
    uint64_t i = first;
#if defined(__SSE2__)
    using namespace utf8_check_detail;
    Carried carried = {0, 0, 0, 0, 0};
    for (; i + 16 <= last; i += 16) {
        if (!BlockIsUtf8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i)), &carried)) {
            return false;
        }
    }
    if (i < last && last >= 16) {
        // The last bytes, as the end of the 16 that end with them, those
        // before them read as ASCII, and the rest of the block before
        // moved along with them; then followed by ASCII: a character they
        // cut short is not well-formed.
        const uint32_t before = static_cast<uint32_t>(i - (last - 16));
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + last - 16));
        const __m128i mask = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kTailMasks + 16 - before));
        const __m128i kept = _mm_and_si128(v, mask);
        carried = Carried{carried.continuation << before, carried.fromA0 << before, carried.upTo9F << before,
                          carried.from90 << before, carried.upTo8F << before};
        return BlockIsUtf8(kept, &carried) && carried.continuation == 0;
    }
    if (i < last) {
        // Fewer than 16 bytes from the text's start: the same, from a copy.
        unsigned char rest[16] = {0};
        for (uint64_t k = i; k < last; ++k) {
            rest[k - i] = b[k];
        }
        return BlockIsUtf8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(rest)), &carried);
    }
    return carried.continuation == 0;
#else
    while (i < last) {
        const uint32_t length = Utf8SequenceLength(b + i, last - i);
        if (length == 0) {
            return false;
        }
        i += length;
    }
    return true;
#endif
}

#endif
