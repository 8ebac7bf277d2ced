// The platform's wide search asked about a line.

#include "filter/judge/wide_judge.h"

namespace {

// Units a piece holds: the buffer is kPieceUnits plus the terminator, and
// every piece after the first starts with the last needle length - 1 units
// of the one before.
const uint32_t kPieceUnits = 1024;
// Longest needle a span of the cache is made for.
const uint32_t kSearchUnits = 255;

// Decodes the well-formed UTF-8 sequence of n bytes at b.
uint32_t Utf8CodePoint(const unsigned char* b, uint32_t n)
{
    if (n == 1) {
        return b[0];
    }
    uint32_t cp = b[0] & (0x7F >> n);
    for (uint32_t k = 1; k < n; ++k) {
        cp = (cp << 6) | (b[k] & 0x3F);
    }
    return cp;
}

}  // namespace

void WideNeedleInit(WideNeedle* needle, const FormChar* units, bool ignoreCase)
{
    needle->units = units;
    needle->length = 0;
    needle->ignoreCase = ignoreCase;
    needle->plain = true;
    needle->plainOrBarrier = true;
    needle->caseless = true;
    needle->holdsLineEnd = false;
    for (; units[needle->length] != 0; ++needle->length) {
        uint32_t u = static_cast<uint16_t>(units[needle->length]);
        needle->plain = needle->plain && IsPlainUnit(u);
        needle->plainOrBarrier = needle->plainOrBarrier && (IsPlainUnit(u) || IsBarrierCharacter(u));
        needle->caseless = needle->caseless && !((u | 0x20) >= 'a' && (u | 0x20) <= 'z');
        needle->holdsLineEnd = needle->holdsLineEnd || u == 0x0D || u == 0x0A;
    }
    needle->caseless = needle->caseless && needle->plainOrBarrier;
    // The letters the needle is made of, ASCII upper case: its plain units
    // and the base letters of its accented ones.
    unsigned char letters[128] = {};
    needle->madeOfLetters = ignoreCase && needle->length > 0;
    for (uint32_t k = 0; needle->madeOfLetters && k < needle->length; ++k) {
        const FormChar unit = units[k];
        const FormChar letter = IsPlainUnit(unit) ? unit : PlatformBaseLetter(unit);
        needle->madeOfLetters = letter != 0;
        letters[(letter >= 'a' && letter <= 'z') ? letter - 'a' + 'A' : letter & 0x7F] = 1;
    }
    for (uint32_t unit = 0; unit < 128; ++unit) {
        const uint32_t upper = (unit >= 'a' && unit <= 'z') ? unit - 'a' + 'A' : unit;
        needle->unrelated[unit] = needle->madeOfLetters && IsPlainUnit(unit) && !letters[upper];
    }
    needle->relatedCount = 0;
    for (unsigned char c = 0; needle->madeOfLetters && c < 0x80; ++c) {
        const bool letter = (c | 0x20) >= 'a' && (c | 0x20) <= 'z';
        if (IsPlainUnit(c) && !needle->unrelated[c] && !(letter && c < 'a')) {
            needle->related[needle->relatedCount] = c;
            needle->relatedFolds[needle->relatedCount++] = letter;
        }
    }
}

namespace {

// A line's units read piece by piece.
struct PieceReader {
    const unsigned char* line;
    uint64_t count;
    uint64_t at;
    UnitForm form;
};

// Adds units after the held ones until the piece is full or the line read;
// a code point never splits, so two units of room are kept for a pair.
void FillPiece(PieceReader* r, FormChar* piece, uint32_t* held)
{
    while (r->at < r->count && *held + 2 <= kPieceUnits) {
        if (r->form == kUnitsUtf8) {
            uint32_t length = Utf8SequenceLength(r->line + r->at, r->count - r->at);
            if (length == 0) {
                length = 1;   // not reached for well-formed lines
            }
            uint32_t cp = Utf8CodePoint(r->line + r->at, length);
            r->at += length;
            if (cp >= 0x10000) {
                cp -= 0x10000;
                piece[(*held)++] = static_cast<FormChar>(0xD800 + (cp >> 10));
                piece[(*held)++] = static_cast<FormChar>(0xDC00 + (cp & 0x3FF));
            } else {
                piece[(*held)++] = static_cast<FormChar>(cp);
            }
        } else if (r->at + 1 < r->count) {
            const unsigned char* b = r->line + r->at;
            uint32_t unit = r->form == kUnitsLittleEndian ? (b[0] | (b[1] << 8)) : ((b[0] << 8) | b[1]);
            piece[(*held)++] = static_cast<FormChar>(unit);
            r->at += 2;
        } else {
            r->at = r->count;   // half a unit is no character
        }
    }
}

// Keeps the last n - 1 units of the piece at its front: a needle that starts
// in them may end in the next piece.
void CarryOver(FormChar* piece, uint32_t* held, uint32_t* carried, uint32_t n)
{
    *carried = n - 1 < *held ? n - 1 : *held;
    for (uint32_t k = 0; k < *carried; ++k) {
        piece[k] = piece[*held - *carried + k];
    }
    *held = *carried;
}

// The platform's verdict on the needle-long span of units at span: the
// cache's on the same units, or the platform's, then kept.
bool SpanHolds(const WideNeedle* needle, const unsigned char* span, JudgeCache* cache)
{
    int known = JudgeCacheFind(cache, span);
    if (known >= 0) {
        return known == 1;
    }
    FormChar alone[kSearchUnits + 1];
    __builtin_memcpy(alone, span, sizeof(FormChar) * needle->length);
    alone[needle->length] = 0;
    bool verdict = PlatformWideLineContains(alone, needle->units, needle->ignoreCase);
    JudgeCacheKeep(cache, span, verdict);
    return verdict;
}

// Reads the line a piece at a time, each piece starting with the last n - 1
// units of the one before, and asks judge(piece, held, carried) of each:
// true as soon as it says the needle is there. A stop raised meanwhile ends
// the walk (*stopped).
template <typename Judge>
bool WalkPieces(uint32_t n, const unsigned char* line, uint64_t count, UnitForm form, const StopFlag* stop,
                bool* stopped, Judge judge)
{
    FormChar piece[kPieceUnits + 1];
    PieceReader reader = {line, count, 0, form};
    uint32_t held = 0;       // units in the piece
    uint32_t carried = 0;    // of them, those the last piece already had
    for (;;) {
        FillPiece(&reader, piece, &held);
        if (judge(piece, held, carried)) {
            return true;
        }
        if (reader.at >= count) {
            return false;
        }
        if (StopRaised(stop)) {
            *stopped = true;
            return false;
        }
        CarryOver(piece, &held, &carried, n);
    }
}

// Whether some needle-long span of the text's units holds the needle, each
// span's verdict taken from the cache or asked and kept.
bool SpansHold(const WideNeedle* needle, const unsigned char* line, uint64_t count, UnitForm form,
               JudgeCache* cache, const StopFlag* stop, bool* stopped)
{
    const uint32_t n = needle->length;
    if (form == kUnitsLittleEndian && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) {
        // The line's bytes are the units as this machine holds them: each
        // span is judged where it lies.
        for (uint64_t at = 0; at + 2ull * n <= count; at += 2) {
            if (SpanHolds(needle, line + at, cache)) {
                return true;
            }
            if (StopRaised(stop)) {
                *stopped = true;
                return false;
            }
        }
        return false;
    }
    return WalkPieces(n, line, count, form, stop, stopped, [&](FormChar* piece, uint32_t held, uint32_t) {
        // Spans that start in the carried units are new: each one before
        // them ended in the last piece.
        for (uint32_t p = 0; p + n <= held; ++p) {
            if (SpanHolds(needle, reinterpret_cast<const unsigned char*>(piece + p), cache)) {
                return true;
            }
            if (StopRaised(stop)) {
                *stopped = true;   // each span may have been a call: the stop is seen at once
                return false;
            }
        }
        return false;
    });
}

}  // namespace

bool AskWideSpans(const WideNeedle* needle, const unsigned char* line, uint64_t count, UnitForm form,
                    JudgeCache* cache, const StopFlag* stop, bool* stopped)
{
    const uint32_t n = needle->length;
    if (cache == nullptr || n > kSearchUnits) {
        return AskWideWhetherHolds(needle, line, count, form, stop, stopped);
    }
    if (n == 0) {
        return false;
    }
    const int known = JudgeCacheFindText(cache, line, count, form);
    if (known >= 0) {
        return known == 1;
    }
    const bool verdict = SpansHold(needle, line, count, form, cache, stop, stopped);
    if (!*stopped) {
        JudgeCacheKeepText(cache, line, count, form, verdict);
    }
    return verdict;
}

bool AskWideWhetherHolds(const WideNeedle* needle, const unsigned char* line, uint64_t count, UnitForm form,
                         const StopFlag* stop, bool* stopped)
{
    const uint32_t n = needle->length;
    if (n == 0 || n > kPieceUnits) {
        return false;
    }
    return WalkPieces(n, line, count, form, stop, stopped, [&](FormChar* piece, uint32_t held, uint32_t carried) {
        if (held < n || held <= carried) {
            return false;
        }
        piece[held] = 0;
        return PlatformWideLineContains(piece, needle->units, needle->ignoreCase);
    });
}
