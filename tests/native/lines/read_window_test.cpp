// The line pass over a source read through a window: the same bytes for
// every window size, memory bounded by the longest line the pass must hold
// whole, the source read once (a longer line twice) and only up to the size
// taken at the start.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "filter/pass/read_window.h"
#include "filter/run/route_lines.h"
#include "tests/native/test_support.h"

namespace {

const std::string N("\0", 1);

// Sources that put each rule of the line pass on a window edge, for some
// window size: line ends of every kind, CR LF pairs, LF runs after a line
// end, a last line without a line end, needles (here "ab") at every offset.
std::vector<std::string> EdgeSources()
{
    return {
        "a\r\nb",
        "ab\r\nab\r\nxx\r\nab",
        "x\r\n\n\n\n\n\n\nab\r\n",
        "\n\n\nab\n\n\n",
        "\r\r\rab\r\r\n\r",
        "ab" + N + N + "ab" + N + "x",
        "xxxxxxab\nxxxxxxxxa\r\nbxxxxx",
        "a\n\r",
        "\nb",
        "xa\rbx\nab",
        "abababab\r\n\r\n\r\n" + std::string(40, 'q') + "ab",
        std::string(50, '\n') + "ab" + std::string(50, '\n'),
        "\xA5" "ab\xA5\\ab\r\n\xA5\xA5" "ab\r\n\xA5",
    };
}

TEST(RouteLinesAcrossWindows, EveryWindowSizeGivesTheBytesOfTheWholeSource)
{
    const TextRules ascii = AsciiRules();
    const TextRules big5 = DoubleByteRules();
    const TextRules printable = PrintablePlainRules();
    for (const std::string& source : EdgeSources()) {
        for (const TextRules* rules : {&ascii, &big5, &printable}) {
            for (bool ignoreCase : {false, true}) {
                const Routed expected = ReferenceRoute(source, "ab", ignoreCase, *rules);
                for (uint64_t window = 1; window <= source.size() + 2; ++window) {
                    ASSERT_EQ(RouteToStrings(source, "ab", ignoreCase, *rules, 7, true, true, window), expected)
                        << "source " << testing::PrintToString(source) << ", window " << window
                        << ", ignore case " << ignoreCase;
                }
            }
        }
    }
}

WindowRun RunThroughWindow(const std::string& source, uint64_t size, uint64_t capacity,
                           const TextRules& rules = AsciiRules())
{
    return RouteThroughWindow(source, size, "ab", false, rules, 1 << 16, true, true, capacity);
}

TEST(RouteLinesAcrossWindows, RunsOfLineFeedsNeverGrowTheWindow)
{
    // Megabytes of LF bytes after a line end belong to no line.
    const std::string source = "ab\r\n" + std::string(3 << 20, '\n') + "x\n" + std::string(1 << 20, '\n') + "ab";
    WindowRun run = RunThroughWindow(source, source.size(), 4096);
    EXPECT_TRUE(run.read);
    EXPECT_FALSE(run.grew);
    EXPECT_EQ(run.capacity, 4096u);
    EXPECT_EQ(run.routed.with, "ab\r\nab\r\n");
    EXPECT_EQ(run.routed.without, "x\r\n");
}

// A line end on the window's last byte, then LF bytes of every count up to
// and past a window, then short lines: the LF bytes are dropped and the
// window reads on, so it stays within its longest line (here the first
// line, one byte short of the window).
TEST(RouteLinesAcrossWindows, LineFeedsAfterAFullWindowNeverGrowIt)
{
    const std::string shortLines = "ab\r\ncd\r\ne\nab";
    for (uint64_t window : {4u, 16u, 64u, 256u}) {
        for (char end : {'\n', '\r', '\0'}) {
            for (uint64_t lf = 1; lf <= 2 * window + 1; ++lf) {
                const std::string source = std::string(window - 1, 'q') + end + std::string(lf, '\n') + shortLines;
                WindowRun run = RunThroughWindow(source, source.size(), window);
                ASSERT_TRUE(run.read);
                ASSERT_LE(run.capacity, WindowBound(source, window))
                    << "window " << window << ", line end " << int(end) << ", LF bytes " << lf;
                ASSERT_EQ(run.routed, ReferenceRoute(source, "ab", false, AsciiRules()));
            }
        }
    }
}

// A line longer than the window whose bytes alone tell whether it holds
// the needle is searched piece by piece and read again into its export:
// the window never grows, whatever the needle's place against the pieces'
// edges and whatever ends the line.
TEST(RouteLinesAcrossWindows, ALineJudgedByItsBytesNeverGrowsTheWindow)
{
    std::string shortLines;
    for (int i = 0; i < 2000; ++i) {
        shortLines += std::string(i % 90, 'q') + (i % 3 == 0 ? "ab\r\n" : "\r\n");
    }
    WindowRun plain = RunThroughWindow(shortLines, shortLines.size(), 256);
    EXPECT_FALSE(plain.grew);
    EXPECT_EQ(plain.routed, ReferenceRoute(shortLines, "ab", false, AsciiRules()));

    // Where some bytes are not plain (a double-byte code page, or one whose
    // bytes above ASCII the platform judges), a plain line still is.
    const TextRules ascii = AsciiRules();
    const TextRules big5 = DoubleByteRules();
    const TextRules printable = PrintablePlainRules();
    for (const TextRules* rules : {&ascii, &big5, &printable}) {
        for (const std::string& end : {std::string(), std::string("\r\n\n\n"), std::string("\r"), N}) {
            for (uint64_t at = 200; at <= 560; at += 11) {
                for (const std::string& needle : {std::string("aB"), std::string("a")}) {
                    const std::string line = std::string(at, 'q') + needle + std::string(300, 'q');
                    const std::string source = "x\r\n" + line + end + (end.empty() ? "" : "ab\nq");
                    for (bool ignoreCase : {false, true}) {
                        WindowRun run =
                            RouteThroughWindow(source, source.size(), "ab", ignoreCase, *rules, 1 << 16, true, true, 256);
                        ASSERT_TRUE(run.read);
                        ASSERT_FALSE(run.grew);
                        ASSERT_EQ(run.routed, ReferenceRoute(source, "ab", ignoreCase, *rules))
                            << "needle " << needle << " at " << at << ", line end " << testing::PrintToString(end);
                    }
                }
            }
        }
    }
}

// Where bytes above ASCII compare as themselves in the code page but the
// UTF-8 rule reads them as letters, a long line whose UTF-8 characters hold
// the search text goes where the whole line would go: the UTF-8 rule's.
TEST(RouteLinesAcrossWindows, AUtf8CharacterInALongPlainLineIsLeftToTheUtf8Rule)
{
    StandInCollation collation({{0x80, 'e'}});   // one byte not plain: the others above ASCII are
    struct Case {
        bool utf8CodePage;
        bool ignoreCase;
        std::string ansi;
        std::string utf8;
        std::u16string utf16;
        std::string character;
    };
    const Case cases[] = {
        {false, false, "\xE9", "\xC3\xA9", u"\u00E9", "\xC3\xA9"},
        {true, true, "k", "k", u"k", "\xE2\x84\xAA"},            // the Kelvin sign
        {true, true, "\xC3\xA9", "\xC3\xA9", u"\u00E9", "\xC3\x89"},   // É
    };
    for (const Case& c : cases) {
        TextRules rules = AsciiRules();
        rules.utf8CodePage = c.utf8CodePage;
        const SearchNeedles needles = AllNeedles(c.ansi, c.utf8, c.utf16, c.ignoreCase);
        const std::string source = std::string(40, 'a') + c.character + "\r\nok\r\n";
        const Routed expected = ReferenceRouteUtf8(source, needles, rules);
        ASSERT_NE(expected.with, "");
        WindowRun run = RouteThroughWindow(source, kEncodingAnsi, needles, rules, 64, true, true, 16);
        EXPECT_EQ(run.routed, expected) << testing::PrintToString(c.character);
    }
    // Nor is a line's rest, after a character its pieces cannot judge, where
    // the platform reads a plain letter at the line's start as the search
    // text (the Kelvin sign, a full-width digit).
    for (const std::u16string& text : {std::u16string(u"\u212A"), std::u16string(u"\uFF11\uFF12")}) {
        const std::string utf8 = Utf16ToUtf8(text.c_str());
        const SearchNeedles needles = AllNeedles(utf8, utf8, text, true);
        const std::string source = "x\r\n" + std::string(text.size() == 1 ? "k" : "12") + std::string(100, 'q') +
                                   "\xC3\xA9\r\ny";
        for (uint64_t window : {16u, 64u}) {
            WindowRun run = RouteThroughWindow(source, kEncodingAnsi, needles, AsciiRules(), 64, true, true, window);
            EXPECT_EQ(run.routed, ReferenceRouteUtf8(source, needles, AsciiRules())) << utf8 << ", window " << window;
        }
    }
}

// A line with a byte only the whole line can be judged with (here a
// double-byte character before the needle) is held from a little before
// that byte on: the window grows until that rest of the line fits, and
// no further; a line with such a byte in its first piece is read again
// from its start and held whole.
TEST(RouteLinesAcrossWindows, OnlyALineJudgedWholeGrowsTheWindow)
{
    const TextRules big5 = DoubleByteRules();
    struct Case {
        size_t before;   // plain bytes before the double-byte character
        size_t after;    // and after it, before the needle
        size_t end;      // after the needle
        uint64_t capacity;
    };
    const Case cases[] = {
        {50000, 50000, 5000, 256u << 8},   // the rest, some 55,000 bytes
        {0, 100000, 5000, 256u << 9},      // the whole line
        {100000, 30, 30, 256u},            // a rest shorter than the window
    };
    for (const Case& c : cases) {
        const std::string longLine = "x\r\n" + std::string(c.before, 'q') + "\xA5\xA5" + std::string(c.after, 'q') +
                                     "ab" + std::string(c.end, 'q') + "\r\ny";
        WindowRun grown = RunThroughWindow(longLine, longLine.size(), 256, big5);
        EXPECT_TRUE(grown.read);
        EXPECT_EQ(grown.capacity, c.capacity) << c.before;
        EXPECT_EQ(grown.routed, ReferenceRoute(longLine, "ab", false, big5));
    }
    // The rest starts the needle's length before that character, and more:
    // a long needle that ends in it is still found.
    {
        StandInCollation collation({{0x80, 'e'}});   // read as e, and not plain
        const std::string needle = std::string(39, 'q') + "e";
        const std::string source = "x\r\n" + std::string(300, 'q') + "\x80" + std::string(50, 'q') + "\r\ny";
        const TextRules printable = PrintablePlainRules();
        WindowRun run =
            RouteThroughWindow(source, source.size(), needle, false, printable, 1 << 12, true, true, 64);
        EXPECT_EQ(run.routed, ReferenceRoute(source, needle, false, printable));
        EXPECT_NE(run.routed.with, "");
    }

    // Past a megabyte the window's own block grows where it lies: every
    // byte of the line is still there. Without the double-byte character
    // the same line never grows it.
    for (const std::string& start : {std::string("\xA5\xA5"), std::string()}) {
        std::string huge = "x\r\n" + start;
        for (int i = 0; huge.size() < (3u << 20); ++i) {
            huge += static_cast<char>('a' + i % 23);
        }
        huge += "ab\r\ny";
        WindowRun large = RunThroughWindow(huge, huge.size(), 256, big5);
        EXPECT_TRUE(large.read);
        EXPECT_EQ(large.capacity, start.empty() ? 256u : 256u << 14);
        EXPECT_TRUE(large.routed == ReferenceRoute(huge, "ab", false, big5));
    }
}

// Read twice, a long line's every read may fail or come up short, and the
// move back to its start may fail: the pass then tells that the source was
// not read, never that it was. (A line read again from a plain start to a
// byte only the whole line can be judged with moves back too.)
TEST(RouteLinesAcrossWindows, AFailedReadOfALongLineEndsThePass)
{
    for (const std::string& middle : {std::string("ab"), std::string("\xA5\xA5")}) {
        const std::string source = "x\r\n" + std::string(3000, 'q') + middle + std::string(300, 'q') + "\r\nab\r\n";
        *PosixFaultPlan() = PosixFaults();
        ASSERT_TRUE(RunThroughWindow(source, source.size(), 256, DoubleByteRules()).read);
        const int reads = PosixReadCalls();
        ASSERT_GT(reads, 3300 / 256);
        for (int at = 1; at <= reads + 1; ++at) {
            for (int PosixFaults::*fault : {&PosixFaults::failReadAt, &PosixFaults::shortReadAt,
                                            &PosixFaults::failSeekAt}) {
                *PosixFaultPlan() = PosixFaults();
                PosixFaultPlan()->*fault = at;
                WindowRun run = RunThroughWindow(source, source.size(), 256, DoubleByteRules());
                *PosixFaultPlan() = PosixFaults();
                const bool reached = fault != &PosixFaults::failSeekAt ? at <= reads : at == 1;
                ASSERT_EQ(run.read, !reached) << "call " << at << " " << middle;
            }
        }
    }
}

TEST(RouteLinesAcrossWindows, AWindowThatCannotGrowEndsThePass)
{
    *PosixFaultPlan() = PosixFaults();
    PosixFaultPlan()->failAllocationAt = 1;
    const std::string longLine = "x\r\n\xA5\xA5" + std::string(10000, 'q') + "\r\n";
    WindowRun run = RunThroughWindow(longLine, longLine.size(), 256, DoubleByteRules());
    *PosixFaultPlan() = PosixFaults();
    EXPECT_FALSE(run.read);
}

TEST(RouteLinesAcrossWindows, ReadsTheSourceOnceAndOnlyUpToTheSizeGiven)
{
    std::string source;
    for (int i = 0; i < 5000; ++i) {
        source += "line " + std::to_string(i) + (i % 4 == 0 ? " ab\r\n" : "\r\n");
    }
    // Bytes the file gained after its size was taken are not read.
    const std::string later = "ab later\r\n";
    *PosixFaultPlan() = PosixFaults();
    WindowRun run = RunThroughWindow(source + later, source.size(), 1000);
    EXPECT_TRUE(run.read);
    ASSERT_EQ(run.routed, ReferenceRoute(source, "ab", false, AsciiRules()));
    // One read per window's worth: nothing is read twice.
    EXPECT_LE(PosixReadCalls(), static_cast<int>(source.size() / 900 + 2));

    // A file shorter than the size given fails the pass.
    WindowRun cut = RunThroughWindow(source.substr(0, source.size() - 10), source.size(), 1000);
    EXPECT_FALSE(cut.read);
}

}  // namespace
