// The platform's wide search asked about a line of Unicode text: the line's
// UTF-16 units, taken from UTF-16 bytes of either order or from well-formed
// UTF-8, are passed in overlapping pieces through a fixed buffer, so that a
// line of any length is judged without memory that grows with it.
#ifndef QUORVANE_WIDE_JUDGE_H
#define QUORVANE_WIDE_JUDGE_H

#include "filter/judge/judge_cache.h"
#include "platform/platform.h"

// Where a line's units come from.
enum UnitForm {
    kUnitsLittleEndian,
    kUnitsBigEndian,
    kUnitsUtf8,   // well-formed UTF-8
    kUnitsCodePage,   // bytes of the code page, asked of its own search (a kept verdict's form)
};

struct WideNeedle {
    const FormChar* units;   // zero-terminated, not owned
    uint32_t length;
    bool ignoreCase;
    // Every unit is plain: a tab or printable ASCII, which the platform's
    // search compares as itself, and ignoring case as ASCII letters fold.
    bool plain;
    // Every unit is plain or a barrier character (IsBarrierCharacter), which
    // the platform's search compares as itself and which has no case: in a
    // line of such characters only, the needle stands where its units do,
    // ASCII letters folded.
    bool plainOrBarrier;
    // ... and none of them a letter: ignoring case changes nothing.
    bool caseless;
    // The needle holds CR or LF: no line holds it.
    bool holdsLineEnd;
    // Ignoring case, every unit is plain or a letter with marks whose base
    // is a plain letter (PlatformBaseLetter).
    // A span that takes in a plain unit the needle is not made of (one of
    // unrelated), with no unit after it that may join it (MayJoinPrevious),
    // cannot match: that unit compares as itself, each of the needle's as
    // one character based on one of its letters.
    bool madeOfLetters;
    unsigned char unrelated[128];
    // The plain characters a needle made of letters is made of, a letter
    // once in lower case (matched either way): the segments' walks compare
    // up to kRelatedCompared of them 16 bytes at a time, and look more up
    // in unrelated.
    unsigned char related[96];
    bool relatedFolds[96];
    uint32_t relatedCount;
};

const uint32_t kRelatedCompared = 8;

// A unit the platform's search compares as itself (ignoring case, as ASCII
// letters fold).
inline bool IsPlainUnit(uint32_t unit)
{
    return unit == 0x09 || (unit >= 0x20 && unit <= 0x7E);
}

void WideNeedleInit(WideNeedle* needle, const FormChar* units, bool ignoreCase);

// Asks the platform's wide search (PlatformWideLineContains) whether the
// line of count bytes, in the given form, holds the needle. Every
// needle-long span of the line's units lies whole in one piece, so the
// answer is the one the platform would give about the whole line. *stopped
// is set, and the answer is false, when stop is raised between pieces.
bool AskWideWhetherHolds(const WideNeedle* needle, const unsigned char* line, uint64_t count, UnitForm form,
                         const StopFlag* stop, bool* stopped);

// The same answer, had span by span: each needle-long span of units
// is asked by itself (the platform's search compares the needle with just
// as many units at each place), its verdict kept in cache (spans of twice
// the needle's length in bytes) and taken from there when the same units
// come again; the verdict on the whole text too, when it is short
// (JudgeCacheKeepText). Without a cache, as AskWideWhetherHolds. Bytes in
// the form kUnitsUtf8 must be well-formed UTF-8: the UTF-8 rule takes a
// verdict kept on the same bytes in that form as proof that they are.
bool AskWideSpans(const WideNeedle* needle, const unsigned char* line, uint64_t count, UnitForm form,
                    JudgeCache* cache, const StopFlag* stop, bool* stopped);

// Length of the well-formed UTF-8 sequence at b[0, count), or 0 when none
// starts there. Inline: the UTF-8 rule asks it for every character of a
// line with one above ASCII.
inline uint32_t Utf8SequenceLength(const unsigned char* b, uint64_t count)
{
    unsigned char c = b[0];
    if (c < 0x80) {
        return 1;
    }
    // Two bytes, the most common above ASCII in the alphabets: one test.
    if (static_cast<unsigned char>(c - 0xC2) <= 0xDF - 0xC2) {
        return count >= 2 && (b[1] & 0xC0) == 0x80 ? 2 : 0;
    }
    uint32_t n;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0) {
            low = 0xA0;    // no overlong forms
        } else if (c == 0xED) {
            high = 0x9F;   // no surrogates
        }
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0) {
            low = 0x90;
        } else if (c == 0xF4) {
            high = 0x8F;   // nothing past U+10FFFF
        }
    } else {
        return 0;
    }
    if (count < n || b[1] < low || b[1] > high) {
        return 0;
    }
    for (uint32_t k = 2; k < n; ++k) {
        if ((b[k] & 0xC0) != 0x80) {
            return 0;
        }
    }
    return n;
}


#endif
