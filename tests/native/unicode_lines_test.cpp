// The line pass over Unicode text: UTF-16 sources of either byte order, and
// the UTF-8 lines of any other source, against a reference model that cuts
// and judges one line at a time.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "filter/wide_judge.h"
#include "tests/native/test_support.h"

namespace {

std::string Encode(const std::u16string& units, bool bigEndian)
{
    std::string out;
    for (char16_t u : units) {
        char high = static_cast<char>(u >> 8);
        char low = static_cast<char>(u & 0xFF);
        out.push_back(bigEndian ? high : low);
        out.push_back(bigEndian ? low : high);
    }
    return out;
}

std::u16string Lines16(std::initializer_list<const char16_t*> lines)
{
    std::u16string out;
    for (const char16_t* line : lines) {
        out += line;
        out += u"\r\n";
    }
    return out;
}

// The lines of a UTF-16 text, cut one at a time as the bytes of any other
// source are: at CR, LF or NUL, the LF units right after a line's end
// skipped, an empty text one empty line.
std::vector<std::u16string> ReferenceUnitLines(const std::u16string& units)
{
    std::u16string u = units + std::u16string(2, u'\0');
    auto isEnd = [](char16_t c) { return c == u'\r' || c == u'\n' || c == u'\0'; };
    std::vector<std::u16string> lines;
    size_t i = 0;
    do {
        size_t start = i;
        while (!isEnd(u[i])) {
            ++i;
        }
        lines.push_back(u.substr(start, i - start));
        ++i;
        while (u[i] == u'\n') {
            ++i;
        }
    } while (i < units.size());
    return lines;
}

// What a UTF-16 source (its bytes after the mark) must give: each line
// judged whole by the platform's wide search, written with CR LF units;
// an odd last byte follows the last line.
Routed ReferenceRouteUtf16(const std::string& bytes, const std::u16string& needle, bool ignoreCase, bool bigEndian)
{
    std::u16string units;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        unsigned char a = static_cast<unsigned char>(bytes[i]);
        unsigned char b = static_cast<unsigned char>(bytes[i + 1]);
        units.push_back(static_cast<char16_t>(bigEndian ? (a << 8) | b : a | (b << 8)));
    }
    Routed out;
    std::string* last = nullptr;
    for (const std::u16string& line : ReferenceUnitLines(units)) {
        bool holds = !line.empty() && PlatformWideLineContains(line.c_str(), needle.c_str(), ignoreCase);
        last = holds ? &out.with : &out.without;
        *last += Encode(line + u"\r\n", bigEndian);
    }
    if (bytes.size() % 2 == 1) {
        last->push_back(bytes.back());
    }
    return out;
}

SearchNeedles Utf16Needles(const std::u16string& needle, bool ignoreCase)
{
    return AllNeedles("", Utf16ToUtf8(needle.c_str()), needle, ignoreCase, false);
}

WindowRun RouteUtf16(const std::string& bytes, const std::u16string& needle, bool ignoreCase, bool bigEndian,
                     uint64_t window = 1 << 16, uint32_t sinkCapacity = 1 << 16)
{
    return RouteThroughWindow(bytes, bigEndian ? kEncodingUtf16Be : kEncodingUtf16Le,
                              Utf16Needles(needle, ignoreCase), AsciiRules(), sinkCapacity, true, true, window);
}

// The most a window may grow to on a UTF-16 source: it grows only while one
// line, and half a unit after it, fill it whole.
uint64_t Utf16WindowBound(const std::string& bytes, bool bigEndian, uint64_t firstWindow)
{
    size_t longest = 0;
    size_t run = 0;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        unsigned char a = static_cast<unsigned char>(bytes[i]);
        unsigned char b = static_cast<unsigned char>(bytes[i + 1]);
        unsigned unit = bigEndian ? (a << 8) | b : a | (b << 8);
        run = (unit == '\r' || unit == '\n' || unit == 0) ? 0 : run + 2;
        longest = std::max(longest, run);
    }
    uint64_t bound = firstWindow;
    while (bound <= longest + 2) {
        bound *= 2;
    }
    return bound;
}

TEST(Utf16Lines, CutsLinesAtUnitsAsTheWorkedExamplesShow)
{
    const std::u16string N(1, u'\0');
    struct Example {
        std::u16string source;
        std::u16string routed;
    };
    const std::vector<Example> examples = {
        {u"a\r\nb", Lines16({u"a", u"b"})},
        {u"a\n\n\nb", Lines16({u"a", u"b"})},
        {u"a\r\n\r\nb", Lines16({u"a", u"", u"b"})},
        {u"a\r\rb", Lines16({u"a", u"", u"b"})},
        {u"a\n\r", Lines16({u"a", u""})},
        {u"\nb", Lines16({u"", u"b"})},
        {u"a" + N + u"b", Lines16({u"a", u"b"})},
        {u"a\r\n", Lines16({u"a"})},
        {u"", Lines16({u""})},
        // Units whose bytes hold CR, LF or zero are no line ends.
        {u"\u0D0A\u0A0D\u0100\u000D\u0A00", Lines16({u"\u0D0A\u0A0D\u0100", u"\u0A00"})},
    };
    for (bool bigEndian : {false, true}) {
        for (const Example& example : examples) {
            for (uint64_t window : {1, 2, 3, 1 << 16}) {
                WindowRun run = RouteUtf16(Encode(example.source, bigEndian), u"zz", false, bigEndian, window);
                ASSERT_TRUE(run.read);
                EXPECT_EQ(run.routed.without, Encode(example.routed, bigEndian))
                    << "big endian " << bigEndian << ", window " << window;
                EXPECT_EQ(run.routed.with, "");
            }
        }
    }
}

TEST(Utf16Lines, MatchesAsUtf16TextAndWritesInTheSourcesByteOrder)
{
    // A PowerShell-style log: the Chinese text and ASCII after it.
    const std::u16string log = u"\u932F\u8AA4 ERROR one\r\nok\r\n\u932F\u8AA4 two\r\nERROR\u4E2D\r\n";
    for (bool bigEndian : {false, true}) {
        Routed chinese = RouteUtf16(Encode(log, bigEndian), u"\u932F\u8AA4", false, bigEndian).routed;
        EXPECT_EQ(chinese.with, Encode(Lines16({u"\u932F\u8AA4 ERROR one", u"\u932F\u8AA4 two"}), bigEndian));
        EXPECT_EQ(chinese.without, Encode(Lines16({u"ok", u"ERROR\u4E2D"}), bigEndian));
        Routed ascii = RouteUtf16(Encode(log, bigEndian), u"ERROR", false, bigEndian).routed;
        EXPECT_EQ(ascii.with, Encode(Lines16({u"\u932F\u8AA4 ERROR one", u"ERROR\u4E2D"}), bigEndian));
    }
    // A needle's bytes standing across two units are no match: 52 00 in
    // "\u5200\u0052" LE is R's bytes one byte off.
    const std::string off = Encode(u"x\u5200\u0052\u4F00y\r\n", false);
    EXPECT_EQ(RouteUtf16(off, u"\u0052\u004F", false, false).routed.with, "");
    EXPECT_EQ(RouteUtf16(off, u"\u0052", false, false).routed.with, off);
}

TEST(Utf16Lines, IgnoringCaseFoldsAsThePlatformDoes)
{
    const std::u16string log = u"an error\r\nAn \u00C9rror\r\nan \u00E9rror\r\nnothing\r\n";
    for (bool bigEndian : {false, true}) {
        *PosixFaultPlan() = PosixFaults();
        Routed ascii = RouteUtf16(Encode(log, bigEndian), u"ERROR", true, bigEndian).routed;
        EXPECT_EQ(ascii.with, Encode(Lines16({u"an error"}), bigEndian));
        // Lines of plain units are folded without asking the platform.
        EXPECT_EQ(PosixWideLineSearches(), 2);
        // The stand-in platform folds \u00E9 to \u00C9: the lines with it are its to judge.
        Routed latin = RouteUtf16(Encode(log, bigEndian), u"\u00C9RROR", true, bigEndian).routed;
        EXPECT_EQ(latin.with, Encode(Lines16({u"An \u00C9rror", u"an \u00E9rror"}), bigEndian));
        Routed exact = RouteUtf16(Encode(log, bigEndian), u"\u00C9rror", false, bigEndian).routed;
        EXPECT_EQ(exact.with, Encode(Lines16({u"An \u00C9rror"}), bigEndian));
    }
}

// Half a unit at the end is kept, after the last line's CR LF, in the export
// that receives that line.
TEST(Utf16Lines, KeepsAnOddLastByteAfterTheLastLine)
{
    for (bool bigEndian : {false, true}) {
        const std::string hit = Encode(u"a\r\nxb", bigEndian) + "\x7F";
        Routed routed = RouteUtf16(hit, u"x", false, bigEndian).routed;
        EXPECT_EQ(routed.with, Encode(u"xb\r\n", bigEndian) + "\x7F");
        EXPECT_EQ(routed.without, Encode(u"a\r\n", bigEndian));
        const std::string afterEnd = Encode(u"xb\r\n", bigEndian) + "Q";
        EXPECT_EQ(RouteUtf16(afterEnd, u"x", false, bigEndian, 1).routed.with, afterEnd);
        EXPECT_EQ(RouteUtf16("Q", u"x", false, bigEndian, 1).routed.without, Encode(u"\r\n", bigEndian) + "Q");
    }
}

// Generates UTF-16 text where the pass's shortcuts are most likely wrong:
// line ends of every kind, units whose bytes look like line ends, letters
// of both cases, non-ASCII letters the platform folds, surrogate pairs, and
// the needle and pieces of it.
class Utf16Generator {
public:
    explicit Utf16Generator(uint32_t seed) : rng_(seed) {}

    std::u16string Needle()
    {
        static const char16_t letters[] = u"abAB \u00E9\u00C9\u4E2D\u0D00\u000A\u0A0D\t\x01";
        size_t length = Pick(10) < 8 ? 1 + Pick(5) : 1 + Pick(80);
        std::u16string needle;
        for (size_t i = 0; i < length; ++i) {
            char16_t c = letters[Pick(sizeof letters / sizeof letters[0] - 1)];
            needle.push_back(c == u'\n' && Pick(4) != 0 ? u'a' : c);
        }
        return needle;
    }

    std::u16string Source(const std::u16string& needle)
    {
        std::u16string s;
        size_t pieces = Pick(50);
        for (size_t i = 0; i < pieces; ++i) {
            switch (Pick(13)) {
            case 0: s += needle; break;
            case 1: s += needle.substr(0, Pick(needle.size() + 1)); break;
            case 2: s += std::u16string(Pick(30), u'x'); break;
            case 3: s += u"\r\n"; break;
            case 4: s.push_back(u'\r'); break;
            case 5: s.push_back(u'\n'); break;
            case 6: s.push_back(u'\0'); break;
            case 7: s += std::u16string(1 + Pick(3), u'\n'); break;
            case 8: s.push_back(static_cast<char16_t>(Pick(2) ? 0x0D00 + Pick(2) * 0x0D : 0x0A0A)); break;
            case 9: s += u"\U0001F600"; break;
            case 10: s.push_back(u"aAbB\u00E9\u00C9"[Pick(6)]); break;
            case 11: s.push_back(static_cast<char16_t>(0x80 + Pick(0xFF00))); break;
            default: s += u"\r\n\r\n"; break;
            }
        }
        return s;
    }

    size_t Pick(size_t n) { return n == 0 ? 0 : std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }

private:
    std::mt19937 rng_;
};

TEST(Utf16LinesProperty, AgreesWithTheReferenceModel)
{
    Utf16Generator gen(20261209);
    for (int round = 0; round < 1500; ++round) {
        std::u16string needle = gen.Needle();
        bool bigEndian = gen.Pick(2) == 0;
        std::string bytes = Encode(gen.Source(needle), bigEndian);
        if (gen.Pick(5) == 0) {
            bytes.push_back(static_cast<char>(gen.Pick(256)));   // half a unit at the end
        }
        bool ignoreCase = gen.Pick(3) == 0;
        uint32_t capacity = gen.Pick(2) == 0 ? 1 + static_cast<uint32_t>(gen.Pick(64)) : 1 << 16;
        // Windows from one byte up split units and put line ends on an edge.
        uint64_t window = gen.Pick(3) == 0 ? 1 << 16 : 1 + gen.Pick(gen.Pick(2) == 0 ? 9 : 300);
        WindowRun run = RouteUtf16(bytes, needle, ignoreCase, bigEndian, window, capacity);
        ASSERT_TRUE(run.read);
        ASSERT_EQ(run.routed, ReferenceRouteUtf16(bytes, needle, ignoreCase, bigEndian))
            << "round " << round << "\nsource: " << testing::PrintToString(bytes)
            << "\nneedle: " << testing::PrintToString(Utf16ToUtf8(needle.c_str())) << "\nignore case: " << ignoreCase
            << ", big endian: " << bigEndian << ", window: " << window;
        ASSERT_LE(run.capacity, Utf16WindowBound(bytes, bigEndian, window)) << "round " << round;
    }
}

// Long lines are asked of the platform in pieces; a needle across the edge
// of two pieces is still found, and memory does not grow with the line.
TEST(Utf16Lines, LongLinesAreAskedInPieces)
{
    for (size_t at : {0u, 1000u, 1020u, 1023u, 1024u, 3000u, 99990u}) {
        std::u16string line(100000, u'\u4E2D');
        line.replace(at, 4, u"\u00E9rr");
        std::string bytes = Encode(u"x\r\n" + line + u"\r\ny", false);
        Routed routed = RouteUtf16(bytes, u"\u00C9RR", true, false).routed;
        EXPECT_EQ(routed.with, Encode(line + u"\r\n", false)) << "at " << at;
        EXPECT_EQ(routed.without, Encode(u"x\r\ny\r\n", false)) << "at " << at;
    }
}

}  // namespace
