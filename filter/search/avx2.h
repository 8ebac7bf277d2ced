// 32-byte vector scans (AVX2) beside the 16-byte ones every x86-64
// processor has: the line pass spends most of its time looking at bytes
// that are neither a line end nor part of a match, and twice as many at a
// time halves that. Used only where the processor has them; the answer is
// asked of the processor whenever a search is prepared.
#ifndef QUORVANE_AVX2_H
#define QUORVANE_AVX2_H

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define QUORVANE_AVX2 1
// (Every processor with AVX2 counts bits in one instruction too.)
#define QUORVANE_AVX2_TARGET __attribute__((target("avx2,popcnt")))
#endif

inline bool ProcessorHasAvx2()
{
#if defined(QUORVANE_AVX2)
    // Without the C runtime's start-up nothing has filled in what the
    // processor has: ask first.
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0 && __builtin_cpu_supports("popcnt") != 0;
#else
    return false;
#endif
}

#endif
