// The byte scans of the line pass, 16 and 32 bytes at a time, against a
// plain loop: the pass takes the wider one wherever the processor has it,
// so the narrower one is proven here, on every machine, beside it.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "filter/match/utf8_check.h"
#include "filter/pass/byte_units.h"
#include "filter/search/byte_sets.h"
#include "filter/search/avx2.h"
#include "filter/search/needle_search.h"
#include "filter/utf16/utf16_units.h"
#include "filter/utf16/utf16_units.h"
#include "tests/native/test_support.h"

namespace {

std::vector<bool> Widths()
{
    std::vector<bool> widths = {false};
    if (ProcessorHasAvx2()) {
        widths.push_back(true);
    }
    return widths;
}

// The first place at or after from, a multiple of step, where needle
// stands in text, by a plain loop: text.size() when there is none.
size_t PlainFind(const std::string& text, const std::string& needle, size_t from, bool ignoreCase,
                 const unsigned char* fold, size_t step)
{
    for (size_t at = from + from % step; at + needle.size() <= text.size(); at += step) {
        bool same = true;
        for (size_t k = 0; k < needle.size() && same; ++k) {
            unsigned char a = static_cast<unsigned char>(text[at + k]);
            unsigned char b = static_cast<unsigned char>(needle[k]);
            same = ignoreCase ? fold[a] == fold[b] : a == b;
        }
        if (same) {
            return at;
        }
    }
    return text.size();
}

// ASCII letters folded.
struct AsciiFold {
    unsigned char fold[256];
    AsciiFold()
    {
        for (int c = 0; c < 256; ++c) {
            fold[c] = static_cast<unsigned char>((c >= 'a' && c <= 'z') ? c - 32 : c);
        }
    }
};

// The search, with each vector width the processor has, finds what a plain
// loop finds from each of froms, at any byte and at units' starts alone.
void ExpectFindsAsAPlainLoop(const std::string& text, const std::string& needle, bool ignoreCase,
                             const unsigned char* fold, const std::vector<size_t>& froms)
{
    for (uint32_t step : {1u, 2u}) {
        NeedleSearch search;
        NeedleSearchInitBytes(&search, reinterpret_cast<const unsigned char*>(needle.data()),
                              static_cast<uint32_t>(needle.size()), ignoreCase, fold, step);
        for (bool wide : Widths()) {
            search.avx2 = wide;
            for (size_t from : froms) {
                ASSERT_EQ(FindNeedle(&search, text.data(), from, text.size()),
                          PlainFind(text, needle, from, ignoreCase, fold, step))
                    << "wide " << wide << ", step " << step << ", from " << from << ", ignore case " << ignoreCase
                    << ", needle " << testing::PrintToString(needle) << ", text of " << text.size() << " bytes";
            }
        }
    }
}

TEST(VectorScans, FindTheNeedleWhereAPlainLoopDoes)
{
    std::mt19937 random(11);
    const AsciiFold folding;
    for (int round = 0; round < 400; ++round) {
        // Few letters, so that candidates and near misses are many.
        std::string text(1 + random() % 300, 'a');
        for (char& c : text) {
            c = "abAB\0x"[random() % 6];
        }
        std::string needle = text.substr(random() % text.size(), 1 + random() % 6);
        std::vector<size_t> froms;
        for (size_t from = 0; from <= text.size(); from += 1 + random() % 7) {
            froms.push_back(from);
        }
        ASSERT_NO_FATAL_FAILURE(ExpectFindsAsAPlainLoop(text, needle, random() % 2 == 0, folding.fold, froms));
    }
}

// In a double-byte code page, the needle found where a character starts
// alone (a lead byte takes the next byte with it, whatever that is, a
// lead byte too), as a plain walk over the characters finds it: needles of
// every length up to the longest, over pairs one byte off and bytes alone.
TEST(VectorScans, FindTheNeedleAtCharactersWhereAPlainWalkDoes)
{
    std::mt19937 random(31);
    const AsciiFold folding;
    unsigned char lead[256] = {};
    for (int c = 0x81; c <= 0xFE; ++c) {
        lead[c] = 1;
    }
    for (int round = 0; round < 300; ++round) {
        std::string text;
        const size_t size = 1 + random() % (round % 10 == 0 ? 3000 : 200);
        while (text.size() < size) {
            text += "\xA4\xA5\xA5x\\"[random() % 5];
        }
        const size_t length = round % 10 == 0 ? 700 + random() % 65 : 1 + random() % 12;
        const size_t at = random() % text.size();
        std::string needle = text.substr(at, length);
        const bool ignoreCase = random() % 2 == 0;
        NeedleSearch search;
        NeedleSearchInitBytes(&search, reinterpret_cast<const unsigned char*>(needle.data()),
                              static_cast<uint32_t>(needle.size()), ignoreCase, folding.fold);
        size_t expected = text.size();
        for (size_t i = 0; i < text.size(); i += lead[static_cast<unsigned char>(text[i])] ? 2 : 1) {
            if (PlainFind(text, needle, i, ignoreCase, folding.fold, 1) == i) {
                expected = i;
                break;
            }
        }
        ASSERT_EQ(FindNeedleAtCharacters(&search, text.data(), 0, text.size(), lead), expected)
            << "needle of " << needle.size() << " bytes, text of " << text.size();
    }
}

// A run of one byte makes nearly every position a candidate for a needle
// of mostly that byte: the search then goes on by the needle's borders, and
// finds what a plain loop finds, before the hand-over, at it and after.
TEST(VectorScans, FindTheNeedleInRunsOfOneByteWhereAPlainLoopDoes)
{
    std::mt19937 random(23);
    const AsciiFold folding;
    for (int round = 0; round < 24; ++round) {
        const size_t run = 40 + random() % 260;
        std::string text;
        while (text.size() < 40000) {
            text += std::string(run - random() % 3, 'Z');
            text += "yz"[random() % 2];
        }
        std::string needle(run - random() % 2, 'Z');
        if (round % 3 != 0) {
            needle[random() % needle.size()] = "yz"[random() % 2];
        }
        bool ignoreCase = random() % 2 == 0;
        ASSERT_NO_FATAL_FAILURE(ExpectFindsAsAPlainLoop(text, needle, ignoreCase, folding.fold,
                                                        {0, 1 + random() % 5000, text.size() / 2}));
    }
    // A text of three bytes over and over makes every third position a
    // candidate for a needle of them that ends otherwise, each checked
    // nearly to its end: past the budget, the borders' search finds the
    // match, the first at a unit's start where it must.
    for (int round = 0; round < 24; ++round) {
        std::string text = std::string(random() % 3, 'q');
        while (text.size() < 40000) {
            text += random() % 300 == 0 ? "XZY" : "XYZ";
        }
        std::string needle;
        for (int k = 0; k < 10 + round; ++k) {
            needle += "XYZ";
        }
        needle += "XZY";
        ASSERT_NO_FATAL_FAILURE(ExpectFindsAsAPlainLoop(text, needle, round % 2 == 0, folding.fold, {0, 1, 2, 3, 999}));
    }
}

TEST(VectorScans, FindTheLineEndUnitWhereAPlainLoopDoes)
{
    std::mt19937 random(12);
    // Line ends, other controls up to U+000D and units whose one byte is
    // a line end's.
    const unsigned units[] = {0x000D, 0x000A, 0x0000, 0x0009, 0x000C, 0x000E, 0x0D00, 0x0A0A, 0x0041, 0x4E2D};
    for (int round = 0; round < 400; ++round) {
        for (bool bigEndian : {false, true}) {
            std::string text;
            size_t count = 1 + random() % 120;
            for (size_t i = 0; i < count; ++i) {
                unsigned unit = random() % 4 == 0 ? units[random() % 10] : 0x0041;
                text += static_cast<char>(bigEndian ? unit >> 8 : unit & 0xFF);
                text += static_cast<char>(bigEndian ? unit & 0xFF : unit >> 8);
            }
            text += std::string(2, '\0');   // the zero unit at size
            const uint64_t size = text.size() - 2;
            for (bool wide : Widths()) {
                for (uint64_t from = 0; from <= size; from += 2) {
                    uint64_t expected = from;
                    while (!IsLineEndUnit(UnitAt(text.data(), expected, bigEndian))) {
                        expected += 2;
                    }
                    ASSERT_EQ(FindUnitLineEnd(text.data(), size, from, bigEndian, wide), expected)
                        << "wide " << wide << ", big-endian " << bigEndian << ", from " << from;
                }
            }
        }
    }
}

// What emit writes into a sink, read back from the file behind it. emit is
// given the sink and text with two zero bytes after it.
template <typename Emit>
std::string WrittenThroughSink(const std::string& text, Emit emit)
{
    ScratchDir dir;
    std::u16string path = Utf8ToUtf16(dir.File("out"));
    bool created = false;
    FileHandle file = PlatformClaimTarget(path.c_str(), &created);
    EXPECT_NE(file, nullptr);
    std::vector<char> buffer(1 << 12);
    LineSink sink;
    SinkInit(&sink, file, buffer.data(), static_cast<uint32_t>(buffer.size()));
    std::string padded = text + std::string(2, '\0');
    emit(&sink, padded.data());
    EXPECT_TRUE(SinkFlush(&sink));
    PlatformClose(file);
    return ReadFile(dir.File("out"));
}

// The code-page emitter's output for text.
std::string EmitAll(const std::string& text, bool wide)
{
    return WrittenThroughSink(text, [&](LineSink* sink, const char* padded) {
        Emitter<ByteUnits> emitter;
        EmitterStart(&emitter, ByteUnits(), padded);
        EmitLines(&emitter, sink, text.size(), 0, text.size(), wide);
        EmitterFlush(&emitter);
    });
}

TEST(VectorScans, RewriteTheLineEndsWhereTheReferenceDoes)
{
    std::mt19937 random(13);
    const TextRules ascii = AsciiRules();
    for (int round = 0; round < 300; ++round) {
        // Mostly CR LF lines, longer than a block, with now and then a lone
        // CR, an LF, a NUL or LF runs, near and across the 64-byte edges.
        std::string text;
        size_t length = 1 + random() % 400;
        // A third of the rounds: line ends alone, in runs, many empty lines
        // one after the other across whole blocks.
        const bool endsAlone = round % 3 == 0;
        while (text.size() < length) {
            text += std::string(endsAlone ? 0 : random() % 90, 'q');
            const std::string ends[] = {"\r\n", "\r\n", "\r\n", "\r", "\n", std::string(1, '\0'), "\r\n\n\n"};
            const std::string& end = ends[random() % 7];
            for (size_t n = endsAlone ? 1 + random() % 80 : 1; n > 0; --n) {
                text += end;
            }
        }
        if (text.empty() || text[0] == '\n') {
            continue;   // the pass drops LF bytes at a window's front first
        }
        const std::string expected = ReferenceRoute(text, "#", false, ascii).without;
        for (bool wide : Widths()) {
            ASSERT_EQ(EmitAll(text, wide), expected) << "wide " << wide << ", text " << testing::PrintToString(text);
        }
    }
}

// The UTF-16 emitter's output for text, written as one stretch of lines.
std::string EmitAllUtf16(const std::string& text, bool bigEndian, bool wide)
{
    return WrittenThroughSink(text, [&](LineSink* sink, const char* padded) {
        Emitter<Utf16Units> emitter;
        EmitterStart(&emitter, Utf16Units{bigEndian}, padded);
        EmitLines(&emitter, sink, text.size(), 0, text.size(), wide);
        EmitterFlush(&emitter);
    });
}

TEST(VectorScans, RewriteTheUnitLineEndsWhereTheReferenceDoes)
{
    std::mt19937 random(14);
    for (int round = 0; round < 300; ++round) {
        for (bool bigEndian : {false, true}) {
            // Lines of 'q' and of units that hold a line end's byte, mostly
            // ended by CR LF, now and then by a lone CR, an LF, a zero unit
            // or LF runs, across the 64-byte edges.
            std::u16string units;
            size_t length = 1 + random() % 200;
            // A third of the rounds: line ends alone, in runs.
            const bool endsAlone = round % 3 == 0;
            while (units.size() < length) {
                for (size_t n = endsAlone ? 0 : random() % 45; n > 0; --n) {
                    units += random() % 8 == 0 ? u'\u0D0A' : u'q';
                }
                const std::u16string ends[] = {u"\r\n", u"\r\n", u"\r\n", u"\r", u"\n",
                                               std::u16string(1, u'\0'), u"\r\n\n\n"};
                const std::u16string& end = ends[random() % 7];
                for (size_t n = endsAlone ? 1 + random() % 80 : 1; n > 0; --n) {
                    units += end;
                }
            }
            const std::string text = Encode(units, bigEndian);
            const std::string expected = ReferenceRouteUtf16(text, u"#", false, bigEndian).without;
            for (bool wide : Widths()) {
                ASSERT_EQ(EmitAllUtf16(text, bigEndian, wide), expected)
                    << "wide " << wide << ", big-endian " << bigEndian << ", text " << testing::PrintToString(text);
            }
        }
    }
}

}  // namespace

// Well-formed UTF-8 by the standard's own table: each character decoded,
// its shortest form, no surrogate, nothing past U+10FFFF.
bool DecodesAsUtf8(const std::string& text, size_t first, size_t last)
{
    for (size_t i = first; i < last;) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const size_t length = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 0;
        if (length == 0 || c >= 0xF8 || i + length > last) {
            return false;
        }
        uint32_t code = length == 1 ? c : c & (0x7Fu >> length);
        for (size_t k = 1; k < length; ++k) {
            const unsigned char next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            code = code << 6 | (next & 0x3Fu);
        }
        const uint32_t shortest = length == 1 ? 0 : length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
        if (code < shortest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            return false;
        }
        i += length;
    }
    return true;
}

// The check 16 bytes at a time says what the decode says of every piece
// starting and ending anywhere around its blocks' edges, for characters of
// every length, the limits of each, and each way a sequence can be broken.
TEST(VectorScans, TellWellFormedUtf8AsTheDecodeDoes)
{
    const char* pieces[] = {"a", "\t", "\xC2\x80", "\xDF\xBF", "\xC3\xA9", "\xE0\xA0\x80", "\xED\x9F\xBF",
                            "\xEE\x80\x80", "\xEF\xBF\xBF", "\xE4\xB8\xAD", "\xF0\x90\x80\x80", "\xF4\x8F\xBF\xBF",
                            "\xF3\xA0\x80\x81", "\xC0\x80", "\xC1\xBF", "\x80", "\xBF", "\xE0\x9F\xBF",
                            "\xED\xA0\x80", "\xF0\x8F\xBF\xBF", "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xFF",
                            "\xC3", "\xE4\xB8", "\xF0\x9F\x98"};
    const size_t wellFormed = 13;   // the pieces before are characters, those after break
    std::mt19937 random(31);
    for (int round = 0; round < 400; ++round) {
        std::string text;
        while (text.size() < 70) {
            const bool broken = random() % 12 == 0;
            text += broken ? pieces[wellFormed + random() % (sizeof pieces / sizeof *pieces - wellFormed)]
                           : pieces[random() % wellFormed];
        }
        const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text.data());
        for (size_t first = 0; first < 20; ++first) {
            for (size_t last = first; last <= text.size(); ++last) {
                ASSERT_EQ(IsUtf8(bytes, first, last), DecodesAsUtf8(text, first, last))
                    << "round " << round << ", bytes " << first << " to " << last;
            }
        }
    }
}

#if defined(QUORVANE_AVX2)
QUORVANE_AVX2_TARGET void SetsOf32(const ByteSets* sets, const unsigned char* b, uint32_t bits[kByteSetCount])
{
    ByteSetsOf32(sets, b, bits);
}
#endif

// Every byte, in every place of the 32, told in the sets its kind puts it
// in: kinds drawn at random, and the line ends' and the upper half's
// edges (0x7F, 0x80, 0xFF) among the bytes every round.
TEST(VectorScans, TellEachByteInTheSetsItsKindNames)
{
    if (!ProcessorHasAvx2()) {
        GTEST_SKIP() << "no AVX2 here: the walk reads the table byte by byte";
    }
#if defined(QUORVANE_AVX2)
    std::mt19937 random(8);
    for (int round = 0; round < 64; ++round) {
        unsigned char kinds[256];
        for (unsigned char& kind : kinds) {
            kind = static_cast<unsigned char>(random() % 16);
        }
        ByteSets sets;
        ByteSetsInit(&sets, kinds);
        for (int start = 0; start < 256; start += 32) {
            unsigned char bytes[32];
            for (int k = 0; k < 32; ++k) {
                bytes[k] = static_cast<unsigned char>(round % 2 == 0 ? start + k : random());
            }
            bytes[random() % 32] = static_cast<unsigned char>("\x00\x0A\x0D\x7F\x80\xFF"[random() % 6]);
            uint32_t bits[kByteSetCount];
            SetsOf32(&sets, bytes, bits);
            for (uint32_t s = 0; s < kByteSetCount; ++s) {
                for (int k = 0; k < 32; ++k) {
                    ASSERT_EQ(bits[s] >> k & 1, kinds[bytes[k]] >> s & 1u)
                        << "round " << round << ", set " << s << ", byte " << int(bytes[k]);
                }
            }
        }
    }
#endif
}
