// The cache of the platform's verdicts: it may forget, never mislead.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "filter/match/judge_cache.h"

namespace {

TEST(JudgeCache, RemembersVerdictsAndForgetsRatherThanMixThemUp)
{
    // Small enough that it fills and starts afresh many times over.
    std::vector<unsigned char> memory(4096);
    JudgeCache cache;
    ASSERT_TRUE(JudgeCacheInit(&cache, memory.data(), memory.size(), 3));
    std::mt19937 rng(11);
    std::map<std::string, bool> truth;
    int remembered = 0;
    for (int round = 0; round < 20000; ++round) {
        std::string window(3, '\0');
        for (char& c : window) {
            c = static_cast<char>("ab\xA5\x5C"[rng() % 4]);   // few distinct windows
        }
        if (round % 7 == 0) {
            window[0] = static_cast<char>(rng());   // and many rare ones
            window[1] = static_cast<char>(rng());
        }
        const unsigned char* bytes = reinterpret_cast<const unsigned char*>(window.data());
        bool verdict = (static_cast<unsigned char>(window[0]) + static_cast<unsigned char>(window[2])) % 3 == 0;
        int known = JudgeCacheFind(&cache, bytes);
        if (known >= 0) {
            ASSERT_EQ(known == 1, truth.at(window)) << "round " << round;
            ++remembered;
        } else {
            JudgeCacheKeep(&cache, bytes, verdict);
            truth[window] = verdict;
            ASSERT_EQ(JudgeCacheFind(&cache, bytes), verdict ? 1 : 0);
        }
    }
    EXPECT_GT(remembered, 10000);   // the common windows were found again
}

TEST(JudgeCache, RefusesMemoryTooSmallForOneWindow)
{
    std::vector<unsigned char> memory(64);
    JudgeCache cache;
    EXPECT_FALSE(JudgeCacheInit(&cache, memory.data(), memory.size(), 200));
    EXPECT_FALSE(JudgeCacheInit(&cache, memory.data(), memory.size(), 0));
}

}  // namespace
