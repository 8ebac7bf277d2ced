// The walk over a text's segments, for a needle made of letters ignoring
// case (WideNeedle::madeOfLetters), the same for UTF-8 and UTF-16.
//
// A segment is a piece of a line between barriers: a plain character the
// needle is not made of with no character after it that may join it, a
// barrier character, a line end. No match takes in a barrier, so each match
// lies in one segment; and a segment of plain characters and barrier
// characters alone is judged by the byte search. So only a segment that
// holds some other character, and is as long as the needle in UTF-16 units,
// is asked of the platform.
//
// The text is told 64 positions (bytes or units) at a time, as bits. Adding
// the bits of the other characters to those of the segments' positions
// carries out of each segment that holds one, right at its end; each such
// segment is then measured with one count of bits. The walk costs a few bit
// operations per segment and no branch per byte or per segment but the ask:
// text of words in random order gives the processor nothing to foretell.
// Where the text holds nothing but plain characters and ideographs, the
// form's vector scan passes it.
#ifndef QUORVANE_SEGMENT_WALK_H
#define QUORVANE_SEGMENT_WALK_H

#include "platform/platform.h"

// The bits [from, to) of 64, from <= to <= 64.
inline uint64_t BitsBetween(uint32_t from, uint32_t to)
{
    if (from >= to) {
        return 0;
    }
    const uint64_t below = to >= 64 ? ~0ull : (1ull << to) - 1;
    return below & (~0ull << from);
}

// The bits set in x, without a call where the processor may lack the
// instruction.
inline uint64_t CountBits(uint64_t x)
{
#if defined(__POPCNT__) || !defined(__x86_64__)
    return static_cast<uint64_t>(__builtin_popcountll(x));
#else
    x = x - (x >> 1 & 0x5555555555555555ull);
    x = (x & 0x3333333333333333ull) + (x >> 2 & 0x3333333333333333ull);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
    return x * 0x0101010101010101ull >> 56;
#endif
}

// What 64 positions of the text hold, bit k for position k; none past the
// text's end.
struct SegmentBits {
    uint64_t barrier;   // a position of a barrier
    uint64_t other;     // a position of a character neither plain nor a barrier
    // UTF-8 alone: a UTF-16 unit starts here (a character's first byte, and
    // the second of four bytes), and bit 0 of unitOut, at the next 64's
    // first byte; the bytes of a barrier begun here that lie in the next 64.
    uint64_t units;
    uint64_t unitOut;
    uint64_t spill;
};

// What a form's segments are walked with, besides what tells them: its
// matcher (its stop seen while asking, m->stopped) and scan, the text's
// size in bytes and the needle's length in units.
template <typename Matcher, typename Scan>
struct SegmentsOf {
    Matcher* m;
    const Scan* scan;
    uint64_t size;
    uint64_t length;
    bool Stopped() const { return m->stopped; }
};

// Far from the next character that may be another (form.SkipTo), on to it:
// where the walk goes on from, and the segment it is in, its plain
// characters before it walked back over; form.size when no other comes
// before limit.
template <typename Form>
uint64_t SkipFarAhead(const Form& form, uint64_t at, uint64_t limit, uint64_t* open, uint64_t* units)
{
    const uint64_t unitSize = Form::kUnitSize;
    const uint64_t next = form.SkipTo(at, limit);
    if (next >= limit || next - at < 64 * unitSize) {
        return next >= limit ? form.size : at;
    }
    uint64_t first = next;
    while (first > at && !form.PlainBarrierBefore(first)) {
        first -= unitSize;
    }
    *units = first > at ? (next - first) / unitSize : *units + (next - at) / unitSize;
    *open = first > at ? first : *open;
    return next;
}

// What AskSegmentsEnded gives when none of its segments ends the walk.
const uint64_t kWalkGoesOn = ~0ull;

// Asks about each segment that holds another character and ends among the
// 64 positions told at `at` (bit k of ended: the barrier right after one;
// the first may have begun at open, before them, with units already):
// where the first the platform says holds the needle starts; form.size when
// one starts at or past limit or the stop is seen; else kWalkGoesOn.
template <typename Form>
inline uint64_t AskSegmentsEnded(const Form& form, const SegmentBits& bits, uint64_t ended, uint64_t at,
                                 uint64_t open, uint64_t units, uint64_t limit)
{
    const uint64_t unitSize = Form::kUnitSize;
    for (; ended != 0; ended &= ended - 1) {
        const uint32_t last = static_cast<uint32_t>(__builtin_ctzll(ended));
        const uint64_t before = bits.barrier & BitsBetween(0, last);
        const uint32_t first = before != 0 ? 64 - static_cast<uint32_t>(__builtin_clzll(before)) : 0;
        const uint64_t segment = before != 0 ? at + unitSize * first : open;
        if (segment >= limit) {
            // This and every segment after it start past limit: the 64
            // positions told reach beyond it, but nothing there is asked.
            return form.size;
        }
        if ((before != 0 ? 0 : units) + form.Units(bits, first, last) >= form.length &&
            form.Holds(segment, at + unitSize * last)) {
            return segment;
        }
        if (form.Stopped()) {
            return form.size;
        }
    }
    return kWalkGoesOn;
}

// Where the first segment that lies at or after from (a line's start), holds
// another character, starts before limit and that the platform says holds
// the needle starts (a segment begun before limit is walked to its end);
// form.size for none, or when the stop is seen (form.Stopped()).
//
// Form: size and kUnitSize (the text's bytes, bytes per position); Bits(at,
// count) tells count positions from byte at; Units(bits, first, last) counts
// the UTF-16 units of positions [first, last); SkipTo(at, limit) is the
// first position at or after at that may hold another character, at a
// character's start, or limit or past it; PlainBarrierBefore(at) tells whether the plain
// character before at is a barrier; Holds(first, last) asks the platform
// about the segment in bytes [first, last); and what SegmentsOf holds.
template <typename Form>
uint64_t NextSegmentHolding(const Form& form, uint64_t from, uint64_t limit)
{
    const uint64_t size = form.size;
    const uint64_t unitSize = Form::kUnitSize;
    uint64_t open = from;   // where the segment at the end of the positions walked starts
    uint64_t units = 0;     // its units so far
    uint64_t carry = 0;     // it holds another character
    uint64_t spill = 0;
    uint64_t unitOut = 0;
    uint64_t at = from;
    // A segment still open at limit is walked to its end (see above).
    for (; at < size && (at < limit || carry != 0); at += 64 * unitSize) {
        if (carry == 0) {
            const uint64_t next = SkipFarAhead(form, at, limit, &open, &units);
            if (next >= size) {
                return size;
            }
            if (next != at) {
                spill = 0;   // what the last positions left was for these
                unitOut = 0;
                at = next;
            }
        }
        const uint32_t count = size - at < 64 * unitSize ? static_cast<uint32_t>((size - at) / unitSize) : 64;
        SegmentBits bits = form.Bits(at, count);
        bits.barrier |= spill & BitsBetween(0, count);
        bits.other &= ~spill;
        bits.units |= unitOut & BitsBetween(0, count);
        spill = bits.spill;
        unitOut = bits.unitOut;
        // Each segment that holds another character ends where the sum
        // carries out of it; past the text's end is a barrier.
        const uint64_t inside = ~bits.barrier & BitsBetween(0, count);
        uint64_t sum;
        const bool outOfBits = __builtin_add_overflow(inside, bits.other, &sum);
        const bool outOfCarry = __builtin_add_overflow(sum, carry, &sum);
        const uint64_t ended = sum & ~inside & BitsBetween(0, count + 1);
        const uint64_t asked = AskSegmentsEnded(form, bits, ended, at, open, units, limit);
        if (asked != kWalkGoesOn) {
            return asked;
        }
        // The segment the positions end in, carried on.
        const uint64_t barriers = bits.barrier & BitsBetween(0, count);
        const uint32_t first = barriers != 0 ? 64 - static_cast<uint32_t>(__builtin_clzll(barriers)) : 0;
        units = (barriers != 0 ? 0 : units) + form.Units(bits, first, count);
        open = barriers != 0 ? at + unitSize * first : open;
        carry = outOfBits || outOfCarry ? 1 : 0;
    }
    // A segment that holds another character ends with the text (asked
    // about when it starts before limit).
    return at >= size && carry != 0 && open < limit && units >= form.length && form.Holds(open, size) ? open : size;
}

#endif
