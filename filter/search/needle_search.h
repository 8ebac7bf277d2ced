// The needle search: finds where the needle's bytes stand in a stretch of
// text, a vector scan for two of its rarest bytes followed by a check of
// the whole needle at each candidate.
#ifndef QUORVANE_NEEDLE_SEARCH_H
#define QUORVANE_NEEDLE_SEARCH_H

#include "platform/platform.h"

// The longest needle, in bytes: a search text of up to 255 characters in
// UTF-8 (three bytes a character) and its terminator.
enum { kNeedleSearchMost = 766 };

struct NeedleSearch {
    const unsigned char* needle;   // zero-terminated, not owned
    uint32_t length;
    bool ignoreCase;
    const unsigned char* fold;     // case folding, when ignoring case
    // Vector scan: two needle positions and the byte values each may take.
    uint32_t probe1;
    uint32_t probe2;
    unsigned char probe1Bytes[2];
    unsigned char probe2Bytes[2];
    bool vectorSearch;
    bool avx2;              // the processor has 32-byte vectors
    // Where candidates come so thick that checking them costs more than a
    // few times the bytes scanned (a run of one byte, a needle of mostly
    // that byte), the search goes on by the needle's own borders (Knuth,
    // Morris and Pratt): border[k] is the length of the longest proper
    // prefix of the needle's first k + 1 bytes that also ends them, folded.
    uint16_t border[kNeedleSearchMost];
    // Every byte of the needle folds to the same value: a match is a run of
    // that byte at least as long as the needle, found by looking for the
    // bytes that end runs.
    bool uniform;
    // A match stands only at a multiple of unitSize (1, or 2 for UTF-16 units):
    // a place between two units is no candidate, however many there are.
    uint32_t unitSize;
};

// Prepares the search for a zero-terminated needle. Ignoring case, bytes
// compare by rules->fold.
void NeedleSearchInit(NeedleSearch* search, const char* needle, bool ignoreCase, const TextRules* rules);
// The same for a needle of length bytes that may hold zero bytes (UTF-16
// text); ignoring case, bytes compare by fold (256 entries); found only at
// multiples of unitSize (1 or 2). needle and fold must outlive the search.
void NeedleSearchInitBytes(NeedleSearch* search, const unsigned char* needle, uint32_t length, bool ignoreCase,
                           const unsigned char* fold, uint32_t unitSize = 1);

// First position at or after from (a multiple of the search's unitSize) where
// the needle's bytes stand wholly inside text[0, size), or size when there
// is none. Says nothing about line
// ends or character boundaries. Reads nothing at or past size. Linear in
// size - from whatever the text and the needle.
uint64_t FindNeedle(const NeedleSearch* search, const char* text, uint64_t from, uint64_t size);

// The first position at or after from (which starts a character) that
// starts a character of a double-byte code page (a byte leadByte marks takes
// the next one with it) and where the needle's bytes stand wholly inside
// text[0, size), or size. By the needle's borders: each byte is looked at a
// bounded number of times, however thick the places between the two bytes
// of a pair where the needle's bytes stand. The needle must be shorter than
// kNeedleSearchMost.
uint64_t FindNeedleAtCharacters(const NeedleSearch* search, const char* text, uint64_t from, uint64_t size,
                                const unsigned char* leadByte);

#endif
