// The cache of the platform's verdicts: it may forget, never mislead.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "filter/judge/judge_cache.h"

namespace {

// Spans of every length the cache keys differently: a few bytes, up to 8
// (packed into one number, from two overlapping pieces), and longer ones
// (hashed).
TEST(JudgeCache, RemembersVerdictsAndForgetsRatherThanMixThemUp)
{
    for (uint32_t length : {1u, 3u, 4u, 5u, 7u, 8u, 9u, 41u}) {
        SCOPED_TRACE(length);
        // Small enough that it fills and starts afresh many times over.
        std::vector<unsigned char> memory(4096 + 64 * length);
        JudgeCache cache;
        ASSERT_TRUE(JudgeCacheInit(&cache, memory.data(), memory.size(), length));
        std::mt19937 rng(11 + length);
        std::map<std::string, bool> truth;
        std::vector<std::string> common(12, std::string(length, '\0'));   // few distinct windows
        for (std::string& window : common) {
            for (char& c : window) {
                c = static_cast<char>("ab\xA5\x5C"[rng() % 4]);
            }
        }
        int remembered = 0;
        for (int round = 0; round < 20000; ++round) {
            std::string window = common[rng() % common.size()];
            if (round % 7 == 0) {
                window[0] = static_cast<char>(rng());   // and many rare ones
                window[length / 2] = static_cast<char>(rng());
            }
            const unsigned char* bytes = reinterpret_cast<const unsigned char*>(window.data());
            unsigned sum = 0;
            for (size_t k = 0; k < window.size(); k += 2) {
                sum += static_cast<unsigned char>(window[k]) * (k + 1);
            }
            bool verdict = sum % 3 == 0;
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
}

// Whole texts (a segment each) are kept by their bytes and their form, up to
// kRecentBytes: a text found is the same text in the same form, whatever
// shares its place.
TEST(JudgeCache, RemembersWholeTextsOnlyForTheSameBytesInTheSameForm)
{
    std::vector<unsigned char> memory(JudgeCacheBytes());
    JudgeCache cache;
    ASSERT_TRUE(JudgeCacheInit(&cache, memory.data(), memory.size(), 4));
    std::mt19937 rng(5);
    std::map<std::pair<std::string, uint32_t>, bool> truth;
    std::vector<std::string> common;
    for (int i = 0; i < 600; ++i) {   // more than there are places for
        std::string text(1 + rng() % (kRecentBytes + 6), '\0');
        for (char& c : text) {
            c = static_cast<char>("ab\xC3\xA9"[rng() % 4]);
        }
        common.push_back(text);
    }
    int remembered = 0;
    for (int round = 0; round < 40000; ++round) {
        const std::string& text = common[rng() % (round % 5 == 0 ? common.size() : 40)];
        const uint32_t form = rng() % 3;
        const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text.data());
        const int known = JudgeCacheFindText(&cache, bytes, text.size(), form);
        if (known >= 0) {
            ASSERT_LE(text.size(), kRecentBytes);
            ASSERT_EQ(known == 1, truth.at({text, form})) << "round " << round;
            ++remembered;
            continue;
        }
        const bool verdict = (std::hash<std::string>()(text) + form) % 3 == 0;
        truth[{text, form}] = verdict;
        JudgeCacheKeepText(&cache, bytes, text.size(), form, verdict);
        ASSERT_EQ(JudgeCacheFindText(&cache, bytes, text.size(), form), text.size() <= kRecentBytes ? verdict : -1);
    }
    EXPECT_GT(remembered, 20000);   // the texts that come often were found again
}

TEST(JudgeCache, RefusesMemoryTooSmallForOneWindow)
{
    std::vector<unsigned char> memory(64);
    JudgeCache cache;
    EXPECT_FALSE(JudgeCacheInit(&cache, memory.data(), memory.size(), 200));
    EXPECT_FALSE(JudgeCacheInit(&cache, memory.data(), memory.size(), 0));
}

}  // namespace
