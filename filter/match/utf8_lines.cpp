// The UTF-8 rule.

#include "filter/match/utf8_lines.h"

#include "filter/match/utf8_check.h"
#include "filter/search/avx2.h"
#include "filter/search/line_ends.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(QUORVANE_AVX2)
#include <immintrin.h>
#endif

namespace {

// First byte in text[from, to) that may start a UTF-8 character above
// ASCII (C2 to F4), or to: a line with none is no UTF-8 with such a
// character, and is passed with the bytes around it.
uint64_t FindLeadByte(const char* text, uint64_t from, uint64_t to)
{
    uint64_t i = from;
#if defined(__SSE2__)
    for (; i + 16 <= to; i += 16) {
        const __m128i d = _mm_sub_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i)),
                                       _mm_set1_epi8(static_cast<char>(0xC2)));
        const int mask = _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(d, _mm_set1_epi8(0xF4 - 0xC2)), d));
        if (mask != 0) {
            return i + static_cast<uint64_t>(__builtin_ctz(static_cast<unsigned>(mask)));
        }
    }
#endif
    while (i < to && (static_cast<unsigned char>(text[i]) < 0xC2 || static_cast<unsigned char>(text[i]) > 0xF4)) {
        ++i;
    }
    return i;
}

#if defined(QUORVANE_AVX2)
// FindLeadByte 64 bytes at a time.
QUORVANE_AVX2_TARGET uint64_t FindLeadByteAvx2(const char* text, uint64_t from, uint64_t to)
{
    const __m256i least = _mm256_set1_epi8(static_cast<char>(0xC2));
    const __m256i span = _mm256_set1_epi8(0xF4 - 0xC2);
    uint64_t i = from;
    for (; i + 64 <= to; i += 64) {
        const __m256i a = _mm256_sub_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(text + i)), least);
        const __m256i b = _mm256_sub_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(text + i + 32)), least);
        const uint64_t mask =
            static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_min_epu8(a, span), a))) |
            static_cast<uint64_t>(static_cast<uint32_t>(
                _mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_min_epu8(b, span), b))))
                << 32;
        if (mask != 0) {
            return i + static_cast<uint64_t>(__builtin_ctzll(mask));
        }
    }
    return FindLeadByte(text, i, to);
}
#endif

// FindLeadByte over what may be a long stretch: past its first 64 bytes
// (a UTF-8 line has such a byte early), wider where the processor has the
// vectors (the search of the needle's bytes knows).
uint64_t FindLeadByteFar(const Utf8Matcher* m, const char* text, uint64_t from, uint64_t to)
{
#if defined(QUORVANE_AVX2)
    if (m->exact.avx2 && to - from > 64) {
        const uint64_t near = FindLeadByte(text, from, from + 64);
        return near < from + 64 ? near : FindLeadByteAvx2(text, from + 64, to);
    }
#else
    (void)m;
#endif
    return FindLeadByte(text, from, to);
}

// True for a byte the platform's search may not compare as itself: any but
// the tab and printable ASCII.
inline bool IsOtherByte(unsigned char c)
{
    return c != '\t' && (c < 0x20 || c >= 0x7F);
}

// First other byte in text[from, to), or to.
uint64_t FindOtherByte(const char* text, uint64_t from, uint64_t to)
{
    uint64_t i = from;
#if defined(__SSE2__)
    // Signed, bytes 0x80-0xFF are below 0x20 too.
    const __m128i space = _mm_set1_epi8(0x20);
    const __m128i del = _mm_set1_epi8(0x7F);
    const __m128i tab = _mm_set1_epi8('\t');
    while (i + 16 <= to) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
        __m128i other = _mm_andnot_si128(_mm_cmpeq_epi8(v, tab),
                                       _mm_or_si128(_mm_cmplt_epi8(v, space), _mm_cmpeq_epi8(v, del)));
        int mask = _mm_movemask_epi8(other);
        if (mask != 0) {
            return i + static_cast<uint64_t>(__builtin_ctz(static_cast<unsigned>(mask)));
        }
        i += 16;
    }
#endif
    while (i < to && !IsOtherByte(static_cast<unsigned char>(text[i]))) {
        ++i;
    }
    return i;
}

// The character a well-formed three-byte UTF-8 sequence at b stands for.
inline uint32_t ThreeByteCharacter(const unsigned char* b)
{
    return (static_cast<uint32_t>(b[0] & 0x0F) << 12) | (static_cast<uint32_t>(b[1] & 0x3F) << 6) | (b[2] & 0x3Fu);
}

bool SameText(const char* a, const char* b)
{
    for (; *a != 0 && *a == *b; ++a, ++b) {
    }
    return *a == *b;
}

// What a line is made of, for the UTF-8 rule.
enum LineKind {
    kNotUtf8,           // not well-formed UTF-8, or nothing above ASCII
    kPlainAndBarrier,   // UTF-8 of plain and barrier characters only
    kOtherCharacters,   // UTF-8 holding some other character too
};

#if defined(__SSE2__)
// One block of 16 bytes of a line of plain ASCII and CJK ideographs alone
// (three bytes each, led by E4 to E9, but not E4 B6 and E4 B7 nor E9 BE and
// E9 BF: U+4D80 to U+4DFF and U+9F80 to U+9FFF hold the hexagrams and the
// ideographs some platforms give no weight, which the walk tells), the bulk
// of a Chinese log: false when some byte is anything else (with anyAscii,
// any ASCII byte passes). keep: the bits of
// the block that are the line's and not yet looked at; *carry, *e4 and *e9:
// what the leads before ask of the next bytes, as bits of this block (and,
// on return, of the next one); *high: a lead was seen.
inline bool IdeographBlock(__m128i v, uint32_t keep, uint32_t* carry, uint32_t* e4, uint32_t* e9, bool* high,
                           bool anyAscii = false)
{
    const __m128i fromE4 = _mm_sub_epi8(v, _mm_set1_epi8(static_cast<char>(0xE4)));
    const uint32_t lead = keep & static_cast<uint32_t>(_mm_movemask_epi8(
                                     _mm_cmpeq_epi8(_mm_min_epu8(fromE4, _mm_set1_epi8(5)), fromE4)));
    const uint32_t cont = keep & static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(
                                     _mm_and_si128(v, _mm_set1_epi8(static_cast<char>(0xC0))),
                                     _mm_set1_epi8(static_cast<char>(0x80)))));
    const uint32_t above = keep & static_cast<uint32_t>(_mm_movemask_epi8(v));
    const uint32_t isE4 = keep & static_cast<uint32_t>(_mm_movemask_epi8(
                                     _mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(0xE4)))));
    const uint32_t isE9 = keep & static_cast<uint32_t>(_mm_movemask_epi8(
                                     _mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(0xE9)))));
    const __m128i pairOf = _mm_and_si128(v, _mm_set1_epi8(static_cast<char>(0xFE)));
    const uint32_t isB6B7 = keep & static_cast<uint32_t>(_mm_movemask_epi8(
                                       _mm_cmpeq_epi8(pairOf, _mm_set1_epi8(static_cast<char>(0xB6)))));
    const uint32_t isBEBF = keep & static_cast<uint32_t>(_mm_movemask_epi8(
                                       _mm_cmpeq_epi8(pairOf, _mm_set1_epi8(static_cast<char>(0xBE)))));
    // ASCII that is not plain: below the space but the tab, and DEL.
    const __m128i low = _mm_andnot_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\t')),
                                         _mm_cmplt_epi8(v, _mm_set1_epi8(0x20)));
    const uint32_t notPlain = keep & ~above & static_cast<uint32_t>(_mm_movemask_epi8(
                                                _mm_or_si128(low, _mm_cmpeq_epi8(v, _mm_set1_epi8(0x7F)))));
    const uint32_t wanted = (lead << 1) | (lead << 2) | *carry;
    if ((wanted & 0xFFFF) != cont || above != (lead | cont) || ((isE4 << 1 | *e4) & isB6B7) != 0 ||
        ((isE9 << 1 | *e9) & isBEBF) != 0 || (notPlain != 0 && !anyAscii)) {
        return false;
    }
    *carry = wanted >> 16;
    *e4 = isE4 >> 15;
    *e9 = isE9 >> 15;
    *high = *high || lead != 0;
    return true;
}
#endif

// A line of plain ASCII and CJK ideographs alone told 16 bytes at a time:
// true with *kind, false when the walk must tell.
bool KindOfIdeographLine(const unsigned char* b, uint64_t start, uint64_t end, LineKind* kind)
{
#if defined(__SSE2__)
    if (end - start < 16) {
        return false;
    }
    uint32_t carry = 0;
    uint32_t e4 = 0;
    uint32_t e9 = 0;
    bool high = false;
    uint64_t i = start;
    for (; i + 16 <= end; i += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
        if (!IdeographBlock(v, 0xFFFF, &carry, &e4, &e9, &high)) {
            return false;
        }
    }
    if (i < end) {
        // The last bytes, as the end of a block that ends the line.
        const uint32_t shift = static_cast<uint32_t>(i - (end - 16));
        carry <<= shift;
        e4 <<= shift;
        e9 <<= shift;
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + end - 16));
        if (!IdeographBlock(v, 0xFFFFu << shift & 0xFFFF, &carry, &e4, &e9, &high)) {
            return false;
        }
    }
    if (carry != 0) {
        return false;   // a character cut by the line's end
    }
    *kind = high ? kPlainAndBarrier : kNotUtf8;
    return true;
#else
    (void)b;
    (void)start;
    (void)end;
    (void)kind;
    return false;
#endif
}

// The first character at or after from (a character's start) that is
// neither ASCII nor an ideograph IdeographBlock tells: the text before it
// is passed 16 bytes at a time, up to limit. Near limit, or without the
// vector, a character before that.
uint64_t SkipAsciiAndIdeographs(const char* text, uint64_t from, uint64_t limit)
{
    uint64_t i = from;
#if defined(__SSE2__)
    uint32_t carry = 0;
    uint32_t e4 = 0;
    uint32_t e9 = 0;
    bool high = false;
    for (; i + 16 <= limit; i += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
        if (carry == 0 && _mm_movemask_epi8(v) == 0) {
            e4 = e9 = 0;   // ASCII alone: one test
            continue;
        }
        if (!IdeographBlock(v, 0xFFFF, &carry, &e4, &e9, &high, true)) {
            break;
        }
    }
    // Back to the start of the ideograph the stop cuts: its continuation
    // bytes expected are bit 0, or bits 0 and 1.
    i -= carry == 3 ? 1 : carry == 1 ? 2 : 0;
#else
    (void)text;
    (void)limit;
#endif
    return i;
}

// Reads the line text[start, end) once, character by character, where
// KindOfIdeographLine could not tell: whether it is well-formed UTF-8 with a
// character above ASCII, and whether any of its characters is neither plain
// nor a barrier character.
LineKind KindOfLine(const char* text, uint64_t start, uint64_t end)
{
    const unsigned char* b = reinterpret_cast<const unsigned char*>(text);
    bool high = false;
    bool other = false;
    for (uint64_t i = FindOtherByte(text, start, end); i < end; i = FindOtherByte(text, i, end)) {
        if (b[i] < 0x80) {
            other = true;
            ++i;
            continue;
        }
        high = true;
        // Characters above ASCII one after the other, as Chinese text
        // has them, are walked here without a search for each.
        while (i < end && b[i] >= 0x80) {
            const unsigned char c = b[i];
            if (c >= 0xE1 && c <= 0xEC && end - i >= 3) {
                // Three bytes whose second has no narrower range.
                const unsigned char s = b[i + 1];
                const unsigned char t = b[i + 2];
                if ((s & 0xC0) != 0x80 || (t & 0xC0) != 0x80) {
                    return kNotUtf8;
                }
                other = other || !IsBarrierCharacter((static_cast<uint32_t>(c & 0x0F) << 12) |
                                                     (static_cast<uint32_t>(s & 0x3F) << 6) | (t & 0x3F));
                i += 3;
                continue;
            }
            uint32_t length = Utf8SequenceLength(b + i, end - i);
            if (length == 0) {
                return kNotUtf8;
            }
            other = other || length != 3 || !IsBarrierCharacter(ThreeByteCharacter(b + i));
            i += length;
        }
    }
    return !high ? kNotUtf8 : other ? kOtherCharacters : kPlainAndBarrier;
}

// False for a byte no character that may join the one before
// (MayJoinPrevious) starts with: all but CC, CD, E1, E2, EF and F3.
inline bool MayStartJoiner(unsigned char c)
{
    return c == 0xCC || c == 0xCD || c == 0xE1 || c == 0xE2 || c == 0xEF || c == 0xF3;
}

// The character the UTF-8 at b[0, count) starts with, count > 0; a byte
// that starts none stands for itself.
inline uint32_t CharacterAt(const unsigned char* b, uint64_t count)
{
    const uint32_t length = b[0] < 0x80 ? 1 : Utf8SequenceLength(b, count);
    if (length <= 1) {
        return b[0];
    }
    uint32_t c = b[0] & (0x7Fu >> length);
    for (uint32_t k = 1; k < length; ++k) {
        c = c << 6 | (b[k] & 0x3Fu);
    }
    return c;
}

// The segments of a UTF-8 text (segment_walk.h): the characters above
// ASCII that are no barrier are the others.

// Whether the ASCII byte b[at] of text[0, size) is a barrier.
inline bool AsciiBarrierAt(const Utf8Matcher* m, const unsigned char* b, uint64_t at, uint64_t size)
{
    if (IsLineEnd(static_cast<char>(b[at]))) {
        return true;
    }
    return m->wide.unrelated[b[at]] &&
           (!MayStartJoiner(b[at + 1]) || !MayJoinPrevious(CharacterAt(b + at + 1, size - at - 1)));
}

// What each of 64 bytes is, bit k for byte k.
struct ByteClasses {
    uint64_t high;
    uint64_t cont;           // a continuation byte
    uint64_t four;           // leads four bytes
    uint64_t unrelated;      // unrelated, or a line end
    uint64_t joiner;         // may start a character that joins the one before
    uint64_t mayBeBarrier;   // E3 to ED: a barrier character may start here
    uint64_t ideograph;      // an ideograph starts here (if the text is UTF-8 there)
};

#if defined(QUORVANE_AVX2)
QUORVANE_AVX2_TARGET inline __m256i BytesAre(__m256i x, int value)
{
    return _mm256_cmpeq_epi8(x, _mm256_set1_epi8(static_cast<char>(value)));
}

// Bytes in [least, least + span], unsigned.
QUORVANE_AVX2_TARGET inline __m256i BytesWithin(__m256i x, int least, int span)
{
    const __m256i d = _mm256_sub_epi8(x, _mm256_set1_epi8(static_cast<char>(least)));
    return _mm256_cmpeq_epi8(_mm256_min_epu8(d, _mm256_set1_epi8(static_cast<char>(span))), d);
}

QUORVANE_AVX2_TARGET inline uint64_t ByteBits(__m256i x, int shift)
{
    return static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(x))) << shift;
}

// ClassifyBytes 32 bytes a vector, where the processor has them.
QUORVANE_AVX2_TARGET ByteClasses ClassifyBytesAvx2(const WideNeedle* needle, const unsigned char* b)
{
    ByteClasses c{};
    for (int k = 0; k < 2; ++k) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + 32 * k));
        const __m256i next = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + 32 * k + 1));
        const __m256i lowered = _mm256_or_si256(v, _mm256_set1_epi8(0x20));
        __m256i related = _mm256_setzero_si256();
        for (uint32_t r = 0; r < needle->relatedCount; ++r) {
            related = _mm256_or_si256(related, BytesAre(needle->relatedFolds[r] ? lowered : v, needle->related[r]));
        }
        const __m256i plain = _mm256_or_si256(BytesAre(v, '\t'), BytesWithin(v, 0x20, 0x7E - 0x20));
        const __m256i lineEnd = _mm256_or_si256(_mm256_or_si256(BytesAre(v, '\r'), BytesAre(v, '\n')), BytesAre(v, 0));
        const int shift = 32 * k;
        c.high |= ByteBits(v, shift);
        c.cont |= ByteBits(BytesAre(_mm256_and_si256(v, _mm256_set1_epi8(static_cast<char>(0xC0))), 0x80), shift);
        c.four |= ByteBits(BytesWithin(v, 0xF0, 4), shift);
        c.unrelated |= ByteBits(_mm256_or_si256(_mm256_andnot_si256(related, plain), lineEnd), shift);
        c.joiner |= ByteBits(_mm256_or_si256(_mm256_or_si256(BytesWithin(v, 0xCC, 1), BytesWithin(v, 0xE1, 1)),
                                             _mm256_or_si256(BytesAre(v, 0xEF), BytesAre(v, 0xF3))),
                             shift);
        c.mayBeBarrier |= ByteBits(BytesWithin(v, 0xE3, 0xED - 0xE3), shift);
        c.ideograph |= ByteBits(_mm256_or_si256(BytesWithin(v, 0xE5, 3),
                                                _mm256_or_si256(_mm256_andnot_si256(BytesWithin(next, 0, 0xB7), BytesAre(v, 0xE4)),
                                                                _mm256_and_si256(BytesWithin(next, 0, 0xBD), BytesAre(v, 0xE9)))),
                                shift);
    }
    return c;
}
#endif

// The classes of b[0, 64), b[64] readable.
ByteClasses ClassifyBytes(const WideNeedle* needle, const unsigned char* b)
{
    ByteClasses c{};
#if defined(__SSE2__)
    auto upTo = [](__m128i x, int most) {   // x <= most, unsigned
        return _mm_cmpeq_epi8(_mm_min_epu8(x, _mm_set1_epi8(static_cast<char>(most))), x);
    };
    auto from = [](__m128i x, int least) { return _mm_sub_epi8(x, _mm_set1_epi8(static_cast<char>(least))); };
    auto is = [](__m128i x, int value) { return _mm_cmpeq_epi8(x, _mm_set1_epi8(static_cast<char>(value))); };
    for (int k = 0; k < 4; ++k) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + 16 * k));
        const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + 16 * k + 1));
        const __m128i lowered = _mm_or_si128(v, _mm_set1_epi8(0x20));
        __m128i related = _mm_setzero_si128();
        for (uint32_t r = 0; r < needle->relatedCount && needle->relatedCount <= kRelatedCompared; ++r) {
            related = _mm_or_si128(related, is(needle->relatedFolds[r] ? lowered : v, needle->related[r]));
        }
        // Plain: the tab and 0x20 to 0x7E (signed: bytes above 0x7F are below).
        const __m128i plain = _mm_or_si128(is(v, '\t'), _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8(0x1F)),
                                                                      _mm_cmplt_epi8(v, _mm_set1_epi8(0x7F))));
        const __m128i lineEnd = _mm_or_si128(_mm_or_si128(is(v, '\r'), is(v, '\n')), is(v, 0));
        const int shift = 16 * k;
        auto bitsOf = [shift](__m128i x) {
            return static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(x))) << shift;
        };
        c.high |= bitsOf(v);
        c.cont |= bitsOf(is(_mm_and_si128(v, _mm_set1_epi8(static_cast<char>(0xC0))), 0x80));
        c.four |= bitsOf(upTo(from(v, 0xF0), 4));
        c.unrelated |= bitsOf(_mm_or_si128(_mm_andnot_si128(related, plain), lineEnd));
        c.joiner |= bitsOf(_mm_or_si128(_mm_or_si128(upTo(from(v, 0xCC), 1), upTo(from(v, 0xE1), 1)),
                                        _mm_or_si128(is(v, 0xEF), is(v, 0xF3))));
        c.mayBeBarrier |= bitsOf(upTo(from(v, 0xE3), 0xED - 0xE3));
        // The bulk of CJK ideographs, told by their first two bytes: E5 to
        // E8, E4 before B8 to BF, E9 before 80 to BD (U+4E00 to U+9F7F).
        c.ideograph |= bitsOf(_mm_or_si128(upTo(from(v, 0xE5), 3),
                                           _mm_or_si128(_mm_andnot_si128(upTo(next, 0xB7), is(v, 0xE4)),
                                                        _mm_and_si128(upTo(next, 0xBD), is(v, 0xE9)))));
    }
    const bool compared = needle->relatedCount <= kRelatedCompared;
#else
    for (uint32_t k = 0; k < 64; ++k) {
        const uint64_t bit = 1ull << k;
        c.high |= b[k] >= 0x80 ? bit : 0;
        c.cont |= (b[k] & 0xC0) == 0x80 ? bit : 0;
        c.four |= b[k] >= 0xF0 && b[k] <= 0xF4 ? bit : 0;
        c.joiner |= MayStartJoiner(b[k]) ? bit : 0;
        c.mayBeBarrier |= b[k] >= 0xE3 && b[k] <= 0xED ? bit : 0;
    }
    const bool compared = false;
#endif
    if (!compared) {
        // A needle of many characters: one look in the table per byte.
        c.unrelated = 0;
        for (uint32_t k = 0; k < 64; ++k) {
            const bool unrelated = (b[k] < 0x80 && needle->unrelated[b[k]]) || IsLineEnd(static_cast<char>(b[k]));
            c.unrelated |= static_cast<uint64_t>(unrelated) << k;
        }
    }
    return c;
}

// The bits of text[at, at + count), count <= 64. Bytes that are no UTF-8 may
// give any bits: a segment is checked before it is asked about, and the
// line before it is taken.
SegmentBits Utf8SegmentBits(const Utf8Matcher* m, const Utf8Scan* scan, uint64_t at, uint32_t count)
{
    const unsigned char* b = reinterpret_cast<const unsigned char*>(scan->text) + at;
    const uint64_t size = scan->size;
    // 65 bytes are read, and a character after the 64th: near the end of
    // the text, from a copy.
    unsigned char copy[80] = {};
    if (size - at < 80) {
        for (uint64_t k = 0; at + k < size; ++k) {
            copy[k] = b[k];
        }
        b = copy;
    }
#if defined(QUORVANE_AVX2)
    const bool avx2 = m->exact.avx2 && m->wide.relatedCount <= kRelatedCompared;
    const ByteClasses c = avx2 ? ClassifyBytesAvx2(&m->wide, b) : ClassifyBytes(&m->wide, b);
#else
    const ByteClasses c = ClassifyBytes(&m->wide, b);
#endif
    const uint64_t line = BitsBetween(0, count);
    const uint64_t nextJoins = c.joiner >> 1 | (MayStartJoiner(b[64]) ? 1ull << 63 : 0);
    SegmentBits bits{};
    bits.barrier = c.unrelated & ~nextJoins & line;
    // An unrelated character before a byte that may start a joiner: a
    // barrier unless the character there joins it. A line end always is.
    for (uint64_t rest = c.unrelated & nextJoins & line; rest != 0; rest &= rest - 1) {
        const uint32_t k = static_cast<uint32_t>(__builtin_ctzll(rest));
        if (IsLineEnd(static_cast<char>(b[k])) || !MayJoinPrevious(CharacterAt(b + k + 1, size - at - k - 1))) {
            bits.barrier |= 1ull << k;
        }
    }
    // An ideograph's lead counts only before two continuation bytes: a
    // lone one never takes in what follows, the next line above all.
    const uint64_t contAfter = c.cont >> 1 | static_cast<uint64_t>((b[64] & 0xC0) == 0x80) << 63;
    const uint64_t contTwoAfter = c.cont >> 2 | static_cast<uint64_t>((b[64] & 0xC0) == 0x80) << 62 |
                                  static_cast<uint64_t>((b[65] & 0xC0) == 0x80) << 63;
    const uint64_t ideograph = c.ideograph & contAfter & contTwoAfter & line;
    bits.barrier |= ideograph | ideograph << 1 | ideograph << 2;
    bits.spill = ideograph >> 62 | ideograph >> 63;
    for (uint64_t rest = c.mayBeBarrier & ~ideograph & line; rest != 0; rest &= rest - 1) {
        const uint32_t k = static_cast<uint32_t>(__builtin_ctzll(rest));
        if (Utf8SequenceLength(b + k, size - at - k) == 3 && IsBarrierCharacter(ThreeByteCharacter(b + k))) {
            bits.barrier |= 7ull << k;
            bits.spill |= k > 61 ? 7ull >> (64 - k) : 0;
        }
    }
    bits.other = c.high & ~bits.barrier & line;
    bits.units = (~c.cont | c.four << 1) & line;
    bits.unitOut = c.four >> 63;
    return bits;
}

// The UTF-8 text's segments, for their walk.
struct Utf8Segments : SegmentsOf<Utf8Matcher, Utf8Scan> {
    static const uint64_t kUnitSize = 1;
    SegmentBits Bits(uint64_t at, uint32_t count) const { return Utf8SegmentBits(m, scan, at, count); }
    static uint64_t Units(const SegmentBits& bits, uint32_t first, uint32_t last)
    {
        return CountBits(bits.units & BitsBetween(first, last));
    }
    uint64_t SkipTo(uint64_t at, uint64_t limit) const
    {
        const uint64_t high = FindHighByte(scan->text, at, limit);
        return high >= limit ? limit : SkipAsciiAndIdeographs(scan->text, high, limit);
    }
    // Before the bytes SkipTo passes over are ASCII and ideographs (barriers).
    bool PlainBarrierBefore(uint64_t at) const
    {
        const unsigned char* b = reinterpret_cast<const unsigned char*>(scan->text);
        return b[at - 1] >= 0x80 || AsciiBarrierAt(m, b, at - 1, size);
    }
    // A segment asked about must be UTF-8: a line with bytes that are not
    // is none. A verdict kept on the same bytes was on UTF-8.
    bool Holds(uint64_t first, uint64_t last) const
    {
        const unsigned char* b = reinterpret_cast<const unsigned char*>(scan->text);
        const int known = m->cache != nullptr ? JudgeCacheFindText(m->cache, b + first, last - first, kUnitsUtf8) : -1;
        if (known >= 0) {
            return known == 1;
        }
        return IsUtf8(b, first, last) &&
               AskWideSpans(&m->wide, b + first, last - first, kUnitsUtf8, m->cache, m->stop, &m->stopped);
    }
};

// True when the last search of the needle's bytes tells whether
// text[start, end) holds them: its first hit lies at or after start, or it
// found none and searched past end.
bool SearchCovers(const Utf8Scan* scan, uint64_t start, uint64_t end)
{
    if (scan->searchedFrom > start) {
        return false;
    }
    return scan->searchedHit < scan->searchedTo ? scan->searchedHit >= start : end <= scan->searchedTo;
}

// Whether the needle's letters, found folded at hit, hold it by the
// platform's rules: its very bytes but for the case of ASCII letters, or
// the platform's verdict on the span there, which the fold leaves as long
// as the needle. The line's own search compares just those characters
// with the needle there.
bool LatinHitHolds(Utf8Matcher* m, const Utf8Scan* scan, uint64_t hit)
{
    // Its ASCII letters in either case, its other bytes as they stand.
    auto fold = [](unsigned char c) { return c >= 'a' && c <= 'z' ? c - 0x20 : c; };
    const unsigned char* b = reinterpret_cast<const unsigned char*>(scan->text);
    const uint64_t length = m->exact.length;
    uint64_t k = 0;
    while (k < length && fold(b[hit + k]) == fold(m->exact.needle[k])) {
        ++k;
    }
    const Utf8Segments span = {{m, scan, scan->size, m->wide.length}};
    return k == length || span.Holds(hit, hit + length);
}

// Searches the needle's bytes (folded, where the matcher searches them so)
// from the line text[start, end) on: as far as the line for a line by
// itself, further and further while the lines come one after the other (up
// to kSearchReachMost), so that one search passes over the many lines of a
// log that lack it, and a line above ASCII among lines that are not is no
// search over those. Where the folded letters only may stand for the
// needle, the first place the platform agrees they do.
const uint64_t kSearchReachMost = 1u << 16;
void SearchAhead(Utf8Matcher* m, Utf8Scan* scan, uint64_t start, uint64_t end)
{
    const bool following = start >= scan->searchedFrom && start <= scan->searchedTo + 2;
    uint64_t reach = following ? 2 * scan->searchReach : 0;
    reach = reach > kSearchReachMost ? kSearchReachMost : reach;
    reach = reach < end - start ? end - start : reach;
    scan->searchReach = reach;
    scan->searchedFrom = start;
    scan->searchedTo = scan->size - start < reach ? scan->size : start + reach;
    const NeedleSearch* bytes = m->searchesFolded || m->foldsLatin ? &m->folded : &m->exact;
    uint64_t hit = FindNeedle(bytes, scan->text, start, scan->searchedTo);
    while (m->foldsLatin && hit < scan->searchedTo && !LatinHitHolds(m, scan, hit) && !m->stopped) {
        hit = FindNeedle(bytes, scan->text, hit + 1, scan->searchedTo);
    }
    scan->searchedHit = hit;
}

// Whether the UTF-8 line text[start, end) holds the needle ignoring case,
// for a needle not made of letters: its bytes (folded for a needle of plain
// ASCII and barrier characters: UTF-8 bytes of other characters are never
// ASCII letters, so only those fold) or the platform's wide search over the
// line, where some character could still stand for the needle's.
bool HoldsIgnoringCase(Utf8Matcher* m, Utf8Scan* scan, uint64_t start, uint64_t end, LineKind kind)
{
    if (!SearchCovers(scan, start, end)) {
        SearchAhead(m, scan, start, end);
    }
    if (scan->searchedHit < end) {
        return true;
    }
    if (m->searchesFolded && kind == kPlainAndBarrier) {
        // Plain and barrier characters only, each compared as itself.
        return false;
    }
    return AskWideWhetherHolds(&m->wide, reinterpret_cast<const unsigned char*>(scan->text) + start, end - start,
                               kUnitsUtf8, m->stop, &m->stopped);
}

// Whether the line [start, end), with a byte that may start a character
// above ASCII at lead, is no UTF-8 from its first byte above ASCII on (a
// line of Big5, say): the rule finds nothing in it.
inline bool FirstHighIsNoUtf8(const char* text, uint64_t start, uint64_t lead, uint64_t end)
{
    const uint64_t high = FindHighByte(text, start, lead);
    return Utf8SequenceLength(reinterpret_cast<const unsigned char*>(text) + high, end - high) == 0;
}

// Ignoring case, for a needle made of letters: the first place at or after
// from (a line's start) in a line with a byte that may start a character
// above ASCII where the needle's bytes stand or a segment holds it. The lines such a search or the
// segments' walk passes with neither are passed together.
uint64_t NextLetterCandidate(Utf8Matcher* m, Utf8Scan* scan, uint64_t from)
{
    const char* text = scan->text;
    const uint64_t size = scan->size;
    for (;;) {
        const uint64_t lead = FindLeadByteFar(m, text, from, size);
        if (lead >= size) {
            return size;
        }
        from = LineStartOf(text, from, lead);
        const uint64_t lineEnd = FindLineEnd(text, size, lead);
        if (FirstHighIsNoUtf8(text, from, lead, lineEnd)) {
            // Passed without a search or a walk over its segments.
            if (lineEnd >= size || m->stopped) {
                return size;
            }
            from = NextLineStart(text, lineEnd);
            continue;
        }
        if (!SearchCovers(scan, from, lineEnd)) {
            SearchAhead(m, scan, from, lineEnd);
        }
        // The segments as far as the needle's bytes were searched, or up
        // to the line they stand in: that line is a candidate whatever its
        // segments hold.
        const bool found = scan->searchedHit < scan->searchedTo;
        if (found && scan->searchedHit >= lineEnd && scan->hitLineOf != scan->searchedHit) {
            // Once for each hit: a long line it ends is not walked back over
            // again for each line found before it.
            scan->hitLineOf = scan->searchedHit;
            scan->hitLine = LineStartOf(text, lineEnd, scan->searchedHit);
        }
        const uint64_t hitLine = !found ? scan->searchedTo : scan->searchedHit < lineEnd ? from : scan->hitLine;
        if (scan->segmentFrom > from ||
            (scan->segmentHit < scan->segmentTo ? scan->segmentHit < from : hitLine > scan->segmentTo)) {
            Utf8Segments segments = {{m, scan, size, m->wide.length}};
            scan->segmentFrom = from;
            scan->segmentTo = hitLine;
            scan->segmentHit = hitLine > from ? NextSegmentHolding(segments, from, hitLine) : hitLine;
        }
        if (scan->segmentHit < hitLine) {
            // A segment before the needle's line holds it.
            scan->lineStartKnown = scan->segmentHit < lineEnd;   // the line looked at holds it
            scan->candidateLineStart = from;
            return scan->segmentHit;
        }
        if (found) {
            scan->lineStartKnown = true;
            scan->candidateLineStart = hitLine;
            return scan->searchedHit;
        }
        // Neither up to where the search went: on to the line it ends in.
        if (lineEnd >= size || m->stopped) {
            return size;
        }
        const uint64_t past = LineStartOf(text, from, scan->searchedTo);
        const uint64_t next = NextLineStart(text, lineEnd);
        from = past > next ? past : next;
    }
}

// The next place at or after from (a line's start) the rule looks at: case
// kept, where the needle's bytes stand; ignoring case, a byte that may
// start a character above ASCII, or for a needle made of letters, a place NextLetterCandidate gives.
uint64_t NextCandidate(Utf8Matcher* m, Utf8Scan* scan, uint64_t from)
{
    if (!m->wide.ignoreCase) {
        return FindNeedle(&m->exact, scan->text, from, scan->size);
    }
    if (!m->wide.madeOfLetters) {
        return FindLeadByteFar(m, scan->text, from, scan->size);
    }
    return NextLetterCandidate(m, scan, from);
}

}  // namespace

uint64_t FindHighByte(const char* text, uint64_t from, uint64_t to)
{
    uint64_t i = from;
#if defined(__SSE2__)
    while (i + 16 <= to) {
        int mask = _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i)));
        if (mask != 0) {
            return i + static_cast<uint64_t>(__builtin_ctz(static_cast<unsigned>(mask)));
        }
        i += 16;
    }
#endif
    while (i < to && static_cast<unsigned char>(text[i]) < 0x80) {
        ++i;
    }
    return i;
}

bool IsUtf8WithHighBytes(const char* text, uint64_t start, uint64_t end)
{
    const uint64_t high = FindHighByte(text, start, end);
    return high < end && IsUtf8(reinterpret_cast<const unsigned char*>(text), high, end);
}

void Utf8MatcherInit(Utf8Matcher* m, const SearchNeedles* needles, const TextRules* rules, const StopFlag* stop)
{
    *m = Utf8Matcher{};   // not stopped, no cache
    WideNeedleInit(&m->wide, needles->utf16, needles->ignoreCase);
    // Ignoring case, a needle of plain ASCII and barrier characters is
    // searched with ASCII letters folded; one made of letters, with the
    // letters of Latin-1 folded too (the second byte of each, after C3, as
    // the bytes of any other character: what the fold finds, the platform
    // is asked about).
    m->searchesFolded = needles->ignoreCase && m->wide.plainOrBarrier;
    m->foldsLatin = needles->ignoreCase && m->wide.madeOfLetters && !m->searchesFolded;
    for (int c = 0; c < 256; ++c) {
        const bool latin = m->foldsLatin && c >= 0xA0 && c <= 0xBE;
        m->fold[c] = static_cast<unsigned char>((c >= 'a' && c <= 'z') || latin ? c - 0x20 : c);
    }
    uint32_t length = 0;
    bool lineEnd = false;
    for (; needles->utf8[length] != 0; ++length) {
        lineEnd = lineEnd || needles->utf8[length] == '\r' || needles->utf8[length] == '\n';
    }
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(needles->utf8);
    NeedleSearchInitBytes(&m->exact, bytes, length, false, m->fold);
    NeedleSearchInitBytes(&m->folded, bytes, length, m->searchesFolded || m->foldsLatin, m->fold);
    // Where the code page is searched byte for byte, its verdict on the
    // same bytes is the UTF-8 rule's own; where the code page is UTF-8 and
    // case counts, its search already is the UTF-8 one. (Ignoring case, the
    // code page's search folds ASCII letters only: the rule folds the rest
    // as the wide search does.)
    bool sameSearch = !needles->ignoreCase && needles->ansiHeld && SameText(needles->ansi, needles->utf8) &&
                      rules->allPlain && !rules->hasLeadBytes;
    bool utf8Search = rules->utf8CodePage && !needles->ignoreCase;
    m->active = needles->utf8Held && length > 0 && !lineEnd && !sameSearch && !utf8Search;
    m->stop = stop;
}

void Utf8ScanStart(Utf8Scan* scan, Utf8Matcher* m, const char* text, uint64_t size)
{
    *scan = Utf8Scan{};
    scan->text = text;
    scan->size = size;
    // No search made yet.
    scan->searchedFrom = scan->searchedTo = scan->searchedHit = size;   // none covers a line
    scan->segmentFrom = scan->segmentTo = scan->segmentHit = size;
    scan->hitLineOf = size;
    scan->candidate = size;
    if (m->active) {
        scan->candidate = NextCandidate(m, scan, 0);
    }
}

bool NextUtf8LineHoldingNeedle(Utf8Matcher* m, Utf8Scan* scan, uint64_t from, uint64_t to, uint64_t* start,
                               uint64_t* end)
{
    const char* text = scan->text;
    const uint64_t size = scan->size;
    if (!m->active) {
        return false;
    }
    while (from < to) {
        if (scan->candidate < from) {
            scan->lineStartKnown = false;
            scan->candidate = NextCandidate(m, scan, from);
        }
        const uint64_t candidate = scan->candidate;
        if (candidate >= size || m->stopped) {
            return false;
        }
        // No line end lies between the line start found and the candidate:
        // from a later from, the line starts there or at from.
        if (!scan->lineStartKnown) {
            scan->candidateLineStart = LineStartOf(text, from, candidate);
            scan->lineStartKnown = true;
        }
        *start = scan->candidateLineStart > from ? scan->candidateLineStart : from;
        if (*start >= to) {
            return false;
        }
        *end = FindLineEnd(text, size, candidate);
        bool holds;
        if (m->wide.ignoreCase && !m->wide.madeOfLetters) {
            LineKind kind;
            if (!KindOfIdeographLine(reinterpret_cast<const unsigned char*>(text), *start, *end, &kind)) {
                kind = KindOfLine(text, *start, *end);
            }
            holds = kind != kNotUtf8 && HoldsIgnoringCase(m, scan, *start, *end, kind);
        } else {
            // The needle's bytes, or a segment that holds it, stand in the
            // line (neither takes in a line end): it holds the needle if it
            // is UTF-8.
            holds = IsUtf8WithHighBytes(text, *start, *end);
        }
        if (holds) {
            return true;
        }
        if (m->stopped) {
            return false;
        }
        from = NextLineStart(text, *end);
    }
    return false;
}
