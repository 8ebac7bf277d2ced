// The pass over complete lines.
//
// The output is defined line by line: a line ends at CR, LF or NUL, LF bytes
// right after a line's end are skipped, and every routed line is written with
// CR LF. Done literally that costs a search call and two writes per line, so
// the pass works on whole stretches instead:
//
//   - the needle is searched for once over the whole stretch (the needle
//     search); only the lines that hold a candidate are cut and tested;
//   - the lines between two such lines go to the without-string export; as
//     long as they end in plain CR LF their bytes already are the output and
//     are handed to the sink as one block; any other line end (lone CR, LF,
//     NUL, LF runs) sends that one line through the line-by-line path.
//
// Where the platform's search compares by the locale's rules, the byte
// search is exact only on "plain" bytes (TextRules): a line holding other
// bytes, and not already matched by its bytes, is tested by the platform
// itself, and a needle holding other bytes sends every line to the platform.

#include "filter/line_pass.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

inline bool IsLineEnd(unsigned char c)
{
    return c == '\r' || c == '\n' || c == 0;
}

// First line end at or after i. The zero byte at size always stops it.
uint64_t FindLineEnd(const LinePass* pass, uint64_t i)
{
    const unsigned char* b = reinterpret_cast<const unsigned char*>(pass->buffer);
#if defined(__SSE2__)
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i lf = _mm_set1_epi8('\n');
    const __m128i zero = _mm_setzero_si128();
    while (i + 16 <= pass->size) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
        __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, lf)),
                                   _mm_cmpeq_epi8(v, zero));
        int mask = _mm_movemask_epi8(hit);
        if (mask != 0) {
            return i + static_cast<uint64_t>(__builtin_ctz(static_cast<unsigned>(mask)));
        }
        i += 16;
    }
#endif
    while (!IsLineEnd(b[i])) {
        ++i;
    }
    return i;
}

// Where the next line starts after a line end at end: past it and past any
// LF bytes that follow.
uint64_t NextLineStart(const LinePass* pass, uint64_t end)
{
    uint64_t next = end + 1;
    while (pass->buffer[next] == '\n') {
        ++next;
    }
    return next;
}

// Writes one line, which ends at end, with CR LF.
void EmitLine(LineSink* sink, const char* b, uint64_t start, uint64_t end)
{
    if (b[end] == '\r' && b[end + 1] == '\n') {
        SinkPut(sink, b + start, end - start + 2);
        return;
    }
    const char lineEnd[2] = {'\r', '\n'};
    SinkPut(sink, b + start, end - start);
    SinkPut(sink, lineEnd, 2);
}

// First byte in [from, to) whose bytes would not already be the output: a
// NUL, a CR not followed by LF, or an LF not preceded by CR. Every such byte
// ends a line. Returns to when every line in the stretch ends in plain
// CR LF. *plainEnd receives the position after the last LF before it (from
// when there is none): the plain lines end there.
uint64_t FindIrregular(const LinePass* pass, uint64_t from, uint64_t to, uint64_t* plainEnd)
{
    const unsigned char* b = reinterpret_cast<const unsigned char*>(pass->buffer);
    uint64_t i = from;
    *plainEnd = from;
    if (i == 0 && i < to) {
        if (b[0] == 0 || b[0] == '\n' || (b[0] == '\r' && b[1] != '\n')) {
            return 0;
        }
        i = 1;
    }
#if defined(__SSE2__)
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i lf = _mm_set1_epi8('\n');
    const __m128i zero = _mm_setzero_si128();
    // 64 bytes at a time, each kind of byte as one bit mask: a CR is
    // irregular unless the next byte is LF, an LF unless the one before is
    // CR. Reads b[i - 1] to b[i + 64]; to never passes size, whose byte is
    // zero.
    while (i + 64 <= to) {
        uint64_t crMask = 0;
        uint64_t lfMask = 0;
        uint64_t nulMask = 0;
        for (int k = 0; k < 4; ++k) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i + 16 * k));
            crMask |= static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, cr)))) << (16 * k);
            lfMask |= static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, lf)))) << (16 * k);
            nulMask |= static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, zero)))) << (16 * k);
        }
        uint64_t lfAfter = (lfMask >> 1) | (static_cast<uint64_t>(b[i + 64] == '\n') << 63);
        uint64_t crBefore = (crMask << 1) | static_cast<uint64_t>(b[i - 1] == '\r');
        uint64_t bad = nulMask | (crMask & ~lfAfter) | (lfMask & ~crBefore);
        if (bad != 0) {
            uint64_t first = static_cast<uint64_t>(__builtin_ctzll(bad));
            uint64_t before = lfMask & ((1ull << first) - 1);   // the LF bytes before it
            if (before != 0) {
                *plainEnd = i + 64 - static_cast<uint64_t>(__builtin_clzll(before));
            }
            return i + first;
        }
        if (lfMask != 0) {
            *plainEnd = i + 64 - static_cast<uint64_t>(__builtin_clzll(lfMask));
        }
        i += 64;
    }
    // Reads b[i - 1] to b[i + 16].
    while (i + 16 <= to) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
        __m128i isCr = _mm_cmpeq_epi8(v, cr);
        __m128i isLf = _mm_cmpeq_epi8(v, lf);
        __m128i isNul = _mm_cmpeq_epi8(v, zero);
        // Most blocks hold no line end at all.
        if (_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(isCr, isLf), isNul)) == 0) {
            i += 16;
            continue;
        }
        __m128i before = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i - 1));
        __m128i after = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i + 1));
        __m128i bad = _mm_or_si128(
            isNul,
            _mm_or_si128(_mm_andnot_si128(_mm_cmpeq_epi8(after, lf), isCr),
                         _mm_andnot_si128(_mm_cmpeq_epi8(before, cr), isLf)));
        unsigned badMask = static_cast<unsigned>(_mm_movemask_epi8(bad));
        unsigned lfMask = static_cast<unsigned>(_mm_movemask_epi8(isLf));
        if (badMask != 0) {
            unsigned first = static_cast<unsigned>(__builtin_ctz(badMask));
            lfMask &= (1u << first) - 1;   // the LF bytes before it
            if (lfMask != 0) {
                *plainEnd = i + 32 - static_cast<uint64_t>(__builtin_clz(lfMask));
            }
            return i + first;
        }
        if (lfMask != 0) {
            *plainEnd = i + 32 - static_cast<uint64_t>(__builtin_clz(lfMask));
        }
        i += 16;
    }
#endif
    for (; i < to; ++i) {
        unsigned char c = b[i];
        if (c == 0 || (c == '\r' && b[i + 1] != '\n') || (c == '\n' && b[i - 1] != '\r')) {
            return i;
        }
        if (c == '\n') {
            *plainEnd = i + 1;
        }
    }
    return to;
}

// Writes every line of [from, to) to sink. from starts a line; to starts a
// line or is the end of the content.
void EmitStretch(const LinePass* pass, LineSink* sink, uint64_t from, uint64_t to)
{
    if (!SinkOpen(sink)) {
        return;
    }
    const char* b = pass->buffer;
    uint64_t i = from;
    while (i < to) {
        uint64_t plainEnd;
        uint64_t odd = FindIrregular(pass, i, to, &plainEnd);
        if (plainEnd > i) {
            // The plain lines are their own output.
            SinkPut(sink, b + i, plainEnd - i);
            // LF bytes after that last CR LF belong to no line.
            i = plainEnd;
            while (b[i] == '\n') {
                ++i;
            }
        }
        if (i >= to) {
            break;
        }
        // The odd byte ends the line that starts at i (no line end lies
        // between them); past the stretch's plain part, the last line of
        // the content may have no line end at all.
        uint64_t end = (odd < to && i <= odd) ? odd : FindLineEnd(pass, i);
        EmitLine(sink, b, i, end);
        i = NextLineStart(pass, end);
    }
}

// The platform's search steps through a line character by character, so in
// a double-byte code page a match must start on a character boundary.
bool OnCharBoundary(const LinePass* pass, uint64_t lineStart, uint64_t lineEnd, uint64_t at)
{
    if (!pass->rules->hasLeadBytes) {
        return true;
    }
    const unsigned char* b = reinterpret_cast<const unsigned char*>(pass->buffer);
    uint64_t i = lineStart;
    while (i < at) {
        i += (pass->rules->leadByte[b[i]] && i + 1 < lineEnd) ? 2 : 1;
    }
    return i == at;
}

// Whether the line [start, end) holds the needle, given the first
// candidate at or after start (candidate may lie beyond the line).
bool LineHoldsNeedle(const LinePass* pass, uint64_t start, uint64_t end, uint64_t candidate)
{
    while (candidate + pass->search.length <= end) {
        if (OnCharBoundary(pass, start, end, candidate)) {
            return true;
        }
        candidate = FindNeedle(&pass->search, pass->buffer, candidate + 1, pass->size);
    }
    return false;
}

// First byte in [from, to) that is neither plain nor a line end, or to.
uint64_t FindOddByte(const LinePass* pass, uint64_t from, uint64_t to)
{
    const unsigned char* b = reinterpret_cast<const unsigned char*>(pass->buffer);
    const unsigned char* plain = pass->rules->plain;
    uint64_t i = from;
#if defined(__SSE2__)
    if (pass->printablePlain) {
        // Signed, bytes 0x80-0xFF are below 0x20 too. Line ends, and the
        // tab where it is plain, are left out at once: nearly every block
        // holds some.
        const __m128i space = _mm_set1_epi8(0x20);
        const __m128i del = _mm_set1_epi8(0x7F);
        const __m128i cr = _mm_set1_epi8('\r');
        const __m128i lf = _mm_set1_epi8('\n');
        const __m128i zero = _mm_setzero_si128();
        const __m128i tab = _mm_set1_epi8(plain['\t'] ? '\t' : 0);
        while (i + 16 <= to) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
            __m128i usual = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, lf)),
                                         _mm_or_si128(_mm_cmpeq_epi8(v, zero), _mm_cmpeq_epi8(v, tab)));
            __m128i odd = _mm_or_si128(_mm_cmplt_epi8(v, space), _mm_cmpeq_epi8(v, del));
            unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_andnot_si128(usual, odd)));
            while (mask != 0) {
                uint64_t at = i + static_cast<uint64_t>(__builtin_ctz(mask));
                if (!plain[b[at]] && !IsLineEnd(b[at])) {
                    return at;
                }
                mask &= mask - 1;
            }
            i += 16;
        }
    }
#endif
    for (; i < to; ++i) {
        if (!plain[b[i]] && !IsLineEnd(b[i])) {
            return i;
        }
    }
    return to;
}

// Asks the platform itself whether [start, end) holds the needle.
bool PlatformTestsLine(const LinePass* pass, uint64_t start, uint64_t end)
{
    char* b = pass->buffer;
    char saved = b[end];
    b[end] = 0;
    bool match = PlatformLineContains(b + start, reinterpret_cast<const char*>(pass->search.needle),
                                      pass->search.ignoreCase);
    b[end] = saved;
    return match;
}

// Asks the platform whether the needle-sized window at p holds the needle,
// or takes its verdict on the same bytes from the cache.
bool PlatformJudgesWindow(const LinePass* pass, uint64_t p)
{
    const unsigned char* window = reinterpret_cast<const unsigned char*>(pass->buffer) + p;
    if (pass->cache != nullptr) {
        int known = JudgeCacheFind(pass->cache, window);
        if (known >= 0) {
            return known == 1;
        }
    }
    bool verdict = PlatformTestsLine(pass, p, p + pass->search.length);
    if (pass->cache != nullptr) {
        JudgeCacheKeep(pass->cache, window, verdict);
    }
    return verdict;
}

// Asks the platform about the one line [start, end), in which no window of
// plain bytes holds the needle (the byte search settled those). Only the
// windows that take in some byte that is not plain remain open; each starts
// on a character boundary of the line, as the platform's own walk does, and
// is judged by itself: the platform's search compares the needle with just
// as many bytes of the line at each boundary.
bool PlatformJudgesLine(const LinePass* pass, uint64_t start, uint64_t end)
{
    const unsigned char* b = reinterpret_cast<const unsigned char*>(pass->buffer);
    const uint64_t n = pass->search.length;
    uint64_t boundary = start;
    uint64_t odd = FindOddByte(pass, start, end);
    while (odd < end) {
        // Odd bytes closer than a needle's length share their windows.
        uint64_t last = odd;
        uint64_t next = FindOddByte(pass, last + 1, end);
        while (next < end && next < last + n) {
            last = next;
            next = FindOddByte(pass, last + 1, end);
        }
        // The open windows start between odd - n + 1 and last, and end
        // within the line.
        uint64_t from = odd + 1 >= start + n ? odd + 1 - n : start;
        while (boundary <= last && boundary + n <= end) {
            if (boundary >= from && PlatformJudgesWindow(pass, boundary)) {
                return true;
            }
            boundary += (pass->rules->leadByte[b[boundary]] && boundary + 1 < end) ? 2 : 1;
        }
        odd = next;
    }
    return false;
}

// Whether the line [start, end) holds the needle, given the first byte
// candidate at or after start. Bytes that match settle it; otherwise a line
// with bytes that are not plain is for the platform to judge.
bool LineMatches(const LinePass* pass, uint64_t start, uint64_t end, uint64_t candidate)
{
    if (LineHoldsNeedle(pass, start, end, candidate)) {
        return true;
    }
    return pass->checkPlain && PlatformJudgesLine(pass, start, end);
}

// Routes the lines of [from, to), in which no candidate stands: they go to
// the without-string export, except lines the platform must judge.
void RouteQuietStretch(const LinePass* pass, uint64_t from, uint64_t to)
{
    uint64_t i = from;
    while (pass->checkPlain && i < to) {
        uint64_t odd = FindOddByte(pass, i, to);
        if (odd >= to) {
            break;
        }
        uint64_t start = odd;
        while (start > i && !IsLineEnd(static_cast<unsigned char>(pass->buffer[start - 1]))) {
            --start;
        }
        EmitStretch(pass, pass->without, i, start);
        uint64_t end = FindLineEnd(pass, odd);
        LineSink* sink = PlatformJudgesLine(pass, start, end) ? pass->with : pass->without;
        if (SinkOpen(sink)) {
            EmitLine(sink, pass->buffer, start, end);
        }
        i = NextLineStart(pass, end);
    }
    if (i < to) {
        EmitStretch(pass, pass->without, i, to);
    }
}

// Every line tested by the platform, one at a time.
void RouteEachLine(const LinePass* pass)
{
    uint64_t i = 0;
    do {
        uint64_t end = FindLineEnd(pass, i);
        bool match = end > i && PlatformTestsLine(pass, i, end);
        LineSink* sink = match ? pass->with : pass->without;
        if (SinkOpen(sink)) {
            EmitLine(sink, pass->buffer, i, end);
        }
        i = NextLineStart(pass, end);
    } while (i < pass->size);
}

bool NeedleHasLineEnd(const LinePass* pass)
{
    for (uint32_t k = 0; k < pass->search.length; ++k) {
        if (pass->search.needle[k] == '\r' || pass->search.needle[k] == '\n') {
            return true;
        }
    }
    return false;
}

bool NeedleIsPlain(const LinePass* pass)
{
    for (uint32_t k = 0; k < pass->search.length; ++k) {
        if (!pass->rules->plain[pass->search.needle[k]]) {
            return false;
        }
    }
    return true;
}

}  // namespace

void LinePassInit(LinePass* pass, const char* needle, bool ignoreCase, const TextRules* rules,
                  LineSink* withoutTarget, LineSink* withTarget)
{
    NeedleSearchInit(&pass->search, needle, ignoreCase, rules);
    pass->rules = rules;
    pass->without = withoutTarget;
    pass->with = withTarget;
    pass->checkPlain = !rules->allPlain;
    pass->printablePlain = true;
    for (int c = 0x20; c < 0x7F; ++c) {
        pass->printablePlain = pass->printablePlain && rules->plain[c] != 0;
    }
    pass->needleOdd = !NeedleIsPlain(pass);
    pass->needleSpansLines = NeedleHasLineEnd(pass);
    pass->cache = nullptr;
    pass->buffer = nullptr;
    pass->size = 0;
}

void RouteEmptySource(LinePass* pass)
{
    if (SinkOpen(pass->without)) {
        const char lineEnd[2] = {'\r', '\n'};
        SinkPut(pass->without, lineEnd, 2);
    }
}

void RouteCompleteLines(LinePass* pass, char* text, uint64_t size)
{
    if (pass->search.length == 0 || size == 0) {
        return;
    }
    pass->buffer = text;
    pass->size = size;
    if (pass->needleOdd) {
        RouteEachLine(pass);
        return;
    }
    if (pass->needleSpansLines) {
        EmitStretch(pass, pass->without, 0, size);
        return;
    }
    uint64_t i = 0;
    while (i < size) {
        uint64_t candidate = FindNeedle(&pass->search, text, i, size);
        if (candidate >= size) {
            RouteQuietStretch(pass, i, size);
            return;
        }
        uint64_t start = candidate;
        while (start > i && !IsLineEnd(static_cast<unsigned char>(text[start - 1]))) {
            --start;
        }
        RouteQuietStretch(pass, i, start);
        uint64_t end = FindLineEnd(pass, candidate);
        LineSink* sink = LineMatches(pass, start, end, candidate) ? pass->with : pass->without;
        if (SinkOpen(sink)) {
            EmitLine(sink, text, start, end);
        }
        i = NextLineStart(pass, end);
    }
}
