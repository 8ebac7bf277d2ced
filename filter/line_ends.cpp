// Where lines end.

#include "filter/line_ends.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

uint64_t FindLineEnd(const char* text, uint64_t size, uint64_t from)
{
    uint64_t i = from;
#if defined(__SSE2__)
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i lf = _mm_set1_epi8('\n');
    const __m128i zero = _mm_setzero_si128();
    while (i + 16 <= size) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
        __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, lf)),
                                   _mm_cmpeq_epi8(v, zero));
        int mask = _mm_movemask_epi8(hit);
        if (mask != 0) {
            return i + static_cast<uint64_t>(__builtin_ctz(static_cast<unsigned>(mask)));
        }
        i += 16;
    }
#endif
    while (!IsLineEnd(text[i])) {
        ++i;
    }
    return i;
}
