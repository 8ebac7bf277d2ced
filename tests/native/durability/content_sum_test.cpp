// The sum of what a run reads: the same however the bytes come in pieces
// (the read window's reads and the replace's re-reading cut them
// differently), and different when any byte of them differs.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "platform/content_sum.h"

namespace {

uint64_t SumInPieces(const std::string& bytes, const std::vector<size_t>& pieces)
{
    ContentSum sum;
    SumInit(&sum);
    size_t at = 0;
    for (size_t i = 0; at < bytes.size(); ++i) {
        size_t n = std::min(pieces.empty() ? bytes.size() : pieces[i % pieces.size()], bytes.size() - at);
        SumAdd(&sum, bytes.data() + at, n);
        at += n;
    }
    return SumValue(&sum);
}

std::string RandomBytes(size_t n, unsigned seed)
{
    std::mt19937 random(seed);
    std::string bytes(n, '\0');
    for (char& c : bytes) {
        c = static_cast<char>(random());
    }
    return bytes;
}

TEST(ContentSum, IsTheSameWhateverThePieces)
{
    for (size_t size : {0u, 1u, 31u, 32u, 33u, 64u, 1000u, 100000u}) {
        SCOPED_TRACE(size);
        const std::string bytes = RandomBytes(size, static_cast<unsigned>(size));
        const uint64_t whole = SumInPieces(bytes, {});
        for (const std::vector<size_t>& pieces :
             std::vector<std::vector<size_t>>{{1}, {3}, {31}, {32}, {33}, {7, 64, 1}, {65536}}) {
            EXPECT_EQ(SumInPieces(bytes, pieces), whole);
        }
    }
}

// Every single byte changed, at every place of a stripe and in the partial
// last one; bytes swapped; a zero byte added at the end (the length counts).
TEST(ContentSum, TellsAnyChangedByte)
{
    const std::string bytes = RandomBytes(200, 7);
    const uint64_t sum = SumInPieces(bytes, {});
    std::set<uint64_t> seen = {sum};
    for (size_t i = 0; i < bytes.size(); ++i) {
        for (int flip : {1, 0x80, 0xFF}) {
            std::string changed = bytes;
            changed[i] = static_cast<char>(changed[i] ^ flip);
            EXPECT_TRUE(seen.insert(SumInPieces(changed, {13})).second) << "byte " << i << " ^ " << flip;
        }
    }
    std::string swapped = bytes;
    std::swap(swapped[0], swapped[32]);
    EXPECT_NE(SumInPieces(swapped, {}), sum);
    std::string stripesSwapped = bytes.substr(32, 32) + bytes.substr(0, 32) + bytes.substr(64);
    EXPECT_NE(SumInPieces(stripesSwapped, {}), sum);
    EXPECT_NE(SumInPieces(bytes + std::string(1, '\0'), {}), sum);
    EXPECT_NE(SumInPieces(std::string(64, '\0'), {}), SumInPieces(std::string(32, '\0'), {}));
}

}  // namespace
