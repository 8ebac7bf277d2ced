// The AVX2 scan for line-end units.

#include "filter/utf16/utf16_units.h"

#include "filter/search/avx2.h"

#if defined(QUORVANE_AVX2)
#include <immintrin.h>

// As the 16-byte scan: units up to U+000D are looked at one by one, the
// rest passed over 16 at a time.
QUORVANE_AVX2_TARGET uint64_t SkipToUnitLineEndAvx2(const char* text, uint64_t size, uint64_t from, bool bigEndian)
{
    const __m256i highest = _mm256_set1_epi16(0x000D);
    const __m256i zero = _mm256_setzero_si256();
    uint64_t i = from;
    while (i + 32 <= size) {
        __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text + i));
        if (bigEndian) {
            v = _mm256_or_si256(_mm256_slli_epi16(v, 8), _mm256_srli_epi16(v, 8));
        }
        unsigned mask = static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpeq_epi16(_mm256_subs_epu16(v, highest), zero)));
        while (mask != 0) {
            uint64_t at = i + static_cast<uint64_t>(__builtin_ctz(mask));
            if (IsLineEndUnit(UnitAt(text, at, bigEndian))) {
                return at;
            }
            mask &= mask - 1;
            mask &= mask - 1;   // both bytes of the unit
        }
        i += 32;
    }
    return i;
}

#else

uint64_t SkipToUnitLineEndAvx2(const char*, uint64_t, uint64_t from, bool)
{
    return from;
}

#endif
