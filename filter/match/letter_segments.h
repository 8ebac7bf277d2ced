// The segments of a line a needle made of letters may stand in, told 64
// positions at a time.
//
// A segment is the piece of a line between barriers: characters no span
// that may match takes in. Only a segment that holds some character that is
// not plain, and is at least as long as the needle, is asked of the platform:
// a span of plain characters alone is already judged by the byte search.
// Each form tells its positions' bits; the walk over them is the same for
// all and costs a few bit operations per character that is not plain, not a
// branch per byte.
#ifndef QUORVANE_LETTER_SEGMENTS_H
#define QUORVANE_LETTER_SEGMENTS_H

#include <stdint.h>

// What 64 positions of a line hold (bit k for the position at + k).
struct SegmentBits {
    uint64_t barrier;   // taken in by no span that may match
    uint64_t other;     // a character that is not plain starts here
    uint64_t measure;   // counts towards the needle's length...
    uint64_t twice;     // ... and again (a UTF-8 character of two UTF-16 units)
};

// The positions [from, to) of 64 as bits, from < 64, to <= 64.
inline uint64_t BitsBetween(uint32_t from, uint32_t to)
{
    const uint64_t below = to >= 64 ? ~0ull : (1ull << to) - 1;
    return below & (~0ull << from);
}

// The bits set in x, without a call where the processor may lack the
// instruction.
inline uint32_t CountBits(uint64_t x)
{
#if defined(__POPCNT__) || !defined(__x86_64__)
    return static_cast<uint32_t>(__builtin_popcountll(x));
#else
    x = x - (x >> 1 & 0x5555555555555555ull);
    x = (x & 0x3333333333333333ull) + (x >> 2 & 0x3333333333333333ull);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
    return static_cast<uint32_t>(x * 0x0101010101010101ull >> 56);
#endif
}

inline uint32_t LengthBetween(const SegmentBits& bits, uint32_t from, uint32_t to)
{
    if (from >= to) {
        return 0;
    }
    const uint64_t range = BitsBetween(from, to);
    return CountBits(bits.measure & range) + CountBits(bits.twice & range);
}

// Whether some segment of the line's positions [start, end) holds the
// needle of length measured positions (no position measures more than one):
// readBits(at, count) tells the bits of [at, at + count), count <= 64;
// ask(first, last) asks the segment [first, last) of the platform. A raised
// stop ends the walk, false.
template <typename ReadBits, typename Ask, typename Stopped>
bool LetterSegmentsHold(uint64_t start, uint64_t end, uint64_t length, ReadBits readBits, Ask ask,
                        Stopped stopped)
{
    uint64_t segment = start;   // where the segment being walked starts
    uint64_t carried = 0;       // its length in the positions before at
    bool other = false;         // it holds a character that is not plain
    for (uint64_t at = start; at < end; at += 64) {
        const uint32_t count = end - at < 64 ? static_cast<uint32_t>(end - at) : 64;
        const SegmentBits bits = readBits(at, count);
        // The segment's length up to last (of these positions).
        auto lengthTo = [&](uint32_t last) {
            return segment >= at ? LengthBetween(bits, static_cast<uint32_t>(segment - at), last)
                                 : carried + LengthBetween(bits, 0, last);
        };
        uint32_t pos = 0;
        while (pos < count) {
            const uint64_t ahead = BitsBetween(pos, count);
            if (!other) {
                // Up to the next character that is not plain: the segment
                // starts after the last barrier before it.
                const uint64_t others = bits.other & ahead;
                const uint32_t next = others != 0 ? static_cast<uint32_t>(__builtin_ctzll(others)) : count;
                const uint64_t barriers = bits.barrier & ahead & BitsBetween(0, next);
                if (barriers != 0) {
                    segment = at + 64 - static_cast<uint32_t>(__builtin_clzll(barriers));
                }
                pos = next;
                other = next < count;
                continue;
            }
            // A character that is not plain is in: on to the segment's end.
            const uint64_t barriers = bits.barrier & ahead;
            if (barriers == 0) {
                break;
            }
            const uint32_t last = static_cast<uint32_t>(__builtin_ctzll(barriers));
            if (at + last - segment >= length && lengthTo(last) >= length && ask(segment, at + last)) {
                return true;
            }
            if (stopped()) {
                return false;
            }
            other = false;
            pos = last + 1;
            segment = at + pos;
        }
        if (segment < at + count) {
            carried = lengthTo(count);
        }
    }
    // The segment the line ends in: carried is its length.
    return other && end - segment >= length && carried >= length && ask(segment, end);
}

#endif
