// The line pass: how bytes are cut into lines, tested and written.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "filter/match/code_page_spans.h"
#include "filter/search/line_ends.h"
#include "tests/native/test_support.h"

namespace {

std::string Lines(std::initializer_list<const char*> lines)
{
    std::string out;
    for (const char* line : lines) {
        out += line;
        out += "\r\n";
    }
    return out;
}

struct Example {
    std::string source;
    std::string routed;   // what the without-string export receives
};

// Every line of these sources lacks the needle, so all of them go to the
// without-string export: the export shows exactly how the bytes were cut.
TEST(RouteLines, CutsLinesAsTheWorkedExamplesShow)
{
    const std::string N("\0", 1);
    const std::vector<Example> examples = {
        {"a\r\nb", Lines({"a", "b"})},
        {"a\n\n\nb", Lines({"a", "b"})},
        {"a\r\n\r\nb", Lines({"a", "", "b"})},
        {"a\r\rb", Lines({"a", "", "b"})},
        {"a\n\r", Lines({"a", ""})},
        {"\nb", Lines({"", "b"})},
        {"\n\nb", Lines({"", "b"})},
        {"a" + N + "b", Lines({"a", "b"})},
        {"a\r\n", Lines({"a"})},
        {"a", Lines({"a"})},
        {"", Lines({""})},
    };
    const TextRules rules = AsciiRules();
    for (const Example& example : examples) {
        Routed routed = RouteToStrings(example.source, "zz", false, rules);
        EXPECT_EQ(routed.without, example.routed) << "source: " << testing::PrintToString(example.source);
        EXPECT_EQ(routed.with, "");
    }
}

TEST(RouteLines, SendsMatchingLinesToTheWithExportAndTheRestToTheWithout)
{
    const TextRules rules = AsciiRules();
    Routed routed = RouteToStrings("one ERROR\r\ntwo\r\nERROR three\nfour", "ERROR", false, rules);
    EXPECT_EQ(routed.with, Lines({"one ERROR", "ERROR three"}));
    EXPECT_EQ(routed.without, Lines({"two", "four"}));
}

TEST(RouteLines, DropsTheLinesOfAnExportThatIsNotOpen)
{
    const TextRules rules = AsciiRules();
    const std::string source = "keep x\r\ndrop\r\nkeep x too\r\n";
    Routed onlyWith = RouteToStrings(source, "x", false, rules, 1 << 16, false, true);
    EXPECT_EQ(onlyWith.with, Lines({"keep x", "keep x too"}));
    Routed onlyWithout = RouteToStrings(source, "x", false, rules, 1 << 16, true, false);
    EXPECT_EQ(onlyWithout.without, Lines({"drop"}));
}

TEST(RouteLines, EmptyLinesNeverMatchAndAnEmptySourceIsOneEmptyLine)
{
    const TextRules rules = AsciiRules();
    Routed empty = RouteToStrings("", "a", false, rules);
    EXPECT_EQ(empty.without, "\r\n");
    EXPECT_EQ(empty.with, "");
    Routed blanks = RouteToStrings("a\r\n\r\n\r\na", "a", false, rules);
    EXPECT_EQ(blanks.with, Lines({"a", "a"}));
    EXPECT_EQ(blanks.without, Lines({"", ""}));
}

TEST(RouteLines, MatchesWithinOneLineOnly)
{
    const TextRules rules = AsciiRules();
    // The text spans a line end, in the source or in the needle itself.
    EXPECT_EQ(RouteToStrings("ab\r\ncd", "bc", false, rules).with, "");
    EXPECT_EQ(RouteToStrings("ab\r\ncd", "b\r\nc", false, rules).with, "");
    EXPECT_EQ(RouteToStrings("ab\ncd", "b\nc", false, rules).without, Lines({"ab", "cd"}));
    // A needle that runs past the end of the content.
    EXPECT_EQ(RouteToStrings("xab", "abc", false, rules).with, "");
}

TEST(RouteLines, IgnoreCaseFindsLowerCaseLettersOfAnUpperCaseNeedle)
{
    const TextRules rules = AsciiRules();
    const std::string source = "an error\r\nAn Error\r\nnothing\r\n";
    Routed folded = RouteToStrings(source, "ERROR", true, rules);
    EXPECT_EQ(folded.with, Lines({"an error", "An Error"}));
    Routed exact = RouteToStrings(source, "ERROR", false, rules);
    EXPECT_EQ(exact.with, "");
    EXPECT_EQ(exact.without, source);
}

TEST(RouteLines, HighBytesBelongToTheLine)
{
    const TextRules rules = AsciiRules();
    std::string high;
    for (int c = 0x80; c <= 0xFF; ++c) {
        high.push_back(static_cast<char>(c));
    }
    Routed routed = RouteToStrings(high + "\r\n" + high + "x", "x", false, rules);
    EXPECT_EQ(routed.with, high + "x\r\n");
    EXPECT_EQ(routed.without, high + "\r\n");
}

TEST(RouteLines, CutsUtf16SourcesAtEachZeroByte)
{
    const TextRules rules = AsciiRules();
    const std::string utf16("h\0i\0\r\0\n\0", 8);
    Routed routed = RouteToStrings(utf16, "i", false, rules);
    EXPECT_EQ(routed.without, Lines({"h", "", "", ""}));
    EXPECT_EQ(routed.with, Lines({"i"}));
}

// In a double-byte code page the search walks characters: a trail byte
// that looks like the needle is not a match.
TEST(RouteLines, DoubleByteTrailBytesDoNotMatch)
{
    const TextRules big5 = DoubleByteRules();
    const std::string kung = "\xA5\x5C";   // one character whose trail byte is a backslash
    EXPECT_EQ(RouteToStrings(kung + "\r\n", "\\", false, big5).with, "");
    EXPECT_EQ(RouteToStrings(kung + "\\\r\n", "\\", false, big5).with, kung + "\\\r\n");
    EXPECT_EQ(RouteToStrings("a" + kung + "\r\n", "\\", false, AsciiRules()).with, "a" + kung + "\r\n");
    // A lead byte just before the line end stands alone.
    EXPECT_EQ(RouteToStrings("\xA5\r\n", "\xA5", false, big5).with, "\xA5\r\n");
    // A hit past a rejected one, in the same line.
    EXPECT_EQ(RouteToStrings(kung + "x\\\r\n", "\\", false, big5).with, kung + "x\\\r\n");
}

// The character boundaries of a line are walked once, whatever the number
// of places the needle's bytes stand at: this line holds 2 Mi trail bytes
// that look like the needle (it took minutes when each was walked to from
// the line's start).
TEST(RouteLines, ALongLineOfDoubleByteCharactersIsWalkedOnce)
{
    const TextRules big5 = DoubleByteRules();
    std::string line;
    for (int i = 0; i < (1 << 21); ++i) {
        line += "\xA4\x41";
    }
    Routed none = RouteToStrings("x\r\n" + line + "\r\n", "A", false, big5);
    EXPECT_EQ(none.with, "");
    Routed last = RouteToStrings(line + "xA\r\nA\r\n", "A", false, big5);
    EXPECT_TRUE(last.with == line + "xA\r\nA\r\n");

    // A needle of pairs whose bytes stand one byte off at every other place
    // of a line of pairs: past a budget of such places, the rest of the line
    // goes by the needle's borders, character by character.
    std::string pairs;
    std::string needle;
    for (int i = 0; i < 5000; ++i) {
        pairs += "\xA4\xA5";
    }
    for (int i = 0; i < 100; ++i) {
        needle += "\xA5\xA4";
    }
    for (const std::string& after : {std::string(), "x" + needle, "x\xA4" + needle, needle + "x" + needle}) {
        const std::string source = "y\r\n" + pairs + after + "\r\nz\r\n";
        EXPECT_EQ(RouteToStrings(source, needle, false, big5), ReferenceRoute(source, needle, false, big5))
            << after.size();
    }
}

// A line of plain characters and chains of pairs that block the needle
// or are short is judged 64 bytes a step; any other, or one the step is not
// sure of, by the walk over its spans. Under random rules of a double-byte
// code page, and a stand-in collation that reads some bytes as the needle's
// letters (so that an open span the walk asks about may hold it), both judge
// made-up log lines alike, from any place in a text.
TEST(RouteLinesProperty, ALineJudgedAtOnceIsJudgedAsTheWalkJudgesIt)
{
    StandInCollation collation({{0xA4, 'r'}, {0x80, 'o'}, {0xE9, 'E'}});
    std::mt19937 rng(950);
    const std::vector<std::string> pieces = {
        "error", "ERR", "r", "o", "?", " ", "\t", "\x80", "\xFF", "\x01", "\xE9\x8C\xAF", "\xE8\xAA\xA4",
        "\xC3\xA9", "\xF0\x9F\x98\x80", "\xBF\xF9", "\xA4\x40", "\xA1\x41", "\x81", "\xFE", "\xA1", "\x40",
        "2026-12-09 00:00:00 "};
    const std::vector<std::string> words = {"\xE9\x8C\xAF\xE8\xAA\xA4", "\xE7\xB6\xB2", "\xE8\xB7\xAF\xE9\x80\xA3",
                                            " ", " ", "queue ", "\xE4\xBD\xBF\xE7\x94\xA8\xE8\x80\x85"};
    TextRules rules = PrintablePlainRules();
    rules.hasLeadBytes = true;
    rules.hasBarriers = true;
    int judgedAtOnce = 0;
    int linesPassed = 0;
    for (int round = 0; round < 60; ++round) {
        const int first = 0x81 + static_cast<int>(rng() % 32);
        const int last = 0xE0 + static_cast<int>(rng() % 32);
        for (int c = 0; c < 256; ++c) {
            rules.leadByte[c] = c >= first && c <= last;
            rules.narrowByte[c] = !rules.leadByte[c] && rng() % 8 != 0;
            rules.shortLoneLead[c] = rules.leadByte[c] && (round % 4 != 0 || rng() % 16 != 0);
            rules.loneLeadPlain[c] = rules.leadByte[c] ? '?' : 0;
        }
        for (int i = 0; i < 8192; ++i) {
            rules.shortPair[i] = static_cast<unsigned char>(rng() & rng());
            // Every other round nearly every pair is a barrier: a line of
            // many pairs is then mostly judged at once, but for a few.
            rules.barrierPair[i] = static_cast<unsigned char>(round % 2 == 1 && rng() % 64 != 0 ? 0xFF : rng() | rng());
            rules.ideographPair[i] = static_cast<unsigned char>(rules.barrierPair[i] & rng());
        }
        for (const char* needle : {"error", "rro", "err?", "\xBF\xF9\xBB\x7E"}) {
            const SearchNeedles needles = CodePageNeedles(needle, round % 2 == 0);
            LineMatcher atOnce;
            LineMatcherInit(&atOnce, &needles, &rules);
            LineMatcher walked = atOnce;
            walked.settlesAtOnce = false;
            judgedAtOnce += atOnce.settlesAtOnce ? 1 : 0;
            std::string stretch;   // the lines one after another
            for (int n = 0; n < 400; ++n) {
                std::string text(rng() % 24, '\xA4');
                const size_t start = text.size();
                // Every other line Chinese words in UTF-8 (read as pairs
                // that start anywhere in a character) and a few ASCII ones.
                const bool chinese = n % 2 == 0;
                for (int parts = static_cast<int>(rng() % 96); parts > 0; --parts) {
                    text += chinese  ? words[rng() % words.size()]
                            : rng() % 6 == 0 ? std::string(1, static_cast<char>(rng() % 255 + 1))
                                             : pieces[rng() % pieces.size()];
                }
                for (size_t i = start; i < text.size(); ++i) {
                    text[i] = text[i] == '\r' || text[i] == '\n' ? 'x' : text[i];
                }
                const size_t end = text.size();
                stretch += text.substr(start, end - start) + std::string("\r\n\0\r\n", 5).substr(rng() % 4, 1 + n % 2);
                text += std::string("\r\n\0\0", 4);
                // A line judged at once is one the walk judges without
                // asking: both ask the platform just as often.
                std::string copy = text;
                const int before = PosixLineSearches();
                const bool holds = OpenSpansHoldNeedle(&atOnce, &text[0], start, end);
                const int between = PosixLineSearches();
                ASSERT_EQ(holds, OpenSpansHoldNeedle(&walked, &copy[0], start, end));
                ASSERT_EQ(between - before, PosixLineSearches() - between)
                    << "round " << round << ", needle " << testing::PrintToString(std::string(needle)) << ", line "
                    << testing::PrintToString(text.substr(start, end - start));
            }
            // A line that ends in a lead byte alone after a plain one is
            // asked about by the walk, right before the next 64 bytes too.
            const std::string edge = std::string(62, 'a') + "x\xA1\n" + std::string(66, 'a');
            EXPECT_TRUE(!atOnce.settlesAtOnce || SettledLinesEnd(&atOnce, edge.data(), 0, edge.size()) == 0);
            // Lines judged at once many a step, from the line after each
            // it was not sure of: each passed over is one the walk judges
            // as not holding the needle, without asking.
            for (uint64_t from = 0; atOnce.settlesAtOnce && from < stretch.size();) {
                const uint64_t passed = SettledLinesEnd(&atOnce, stretch.data(), from, stretch.size());
                ASSERT_TRUE(passed == from || IsLineEnd(stretch[passed - 1]));
                for (uint64_t line = from; line < passed; line = NextLineStart(stretch.data(), FindLineEnd(stretch.data(), stretch.size(), line))) {
                    const int before = PosixLineSearches();
                    ASSERT_FALSE(OpenSpansHoldNeedle(&walked, &stretch[0], line, FindLineEnd(stretch.data(), stretch.size(), line)));
                    ASSERT_EQ(before, PosixLineSearches());
                    ++linesPassed;
                }
                from = NextLineStart(stretch.data(), FindLineEnd(stretch.data(), stretch.size(), passed));
            }
        }
    }
    EXPECT_GT(judgedAtOnce, 60);   // most rules and needles may be judged at once
    EXPECT_GT(linesPassed, 10000);
    // A narrow byte ends the 64 bytes after a pair, and the byte after them
    // leads none: its line is not passed over.
    for (int c = 0; c < 256; ++c) {
        rules.leadByte[c] = c >= 0xA1 && c <= 0xFE;
        rules.narrowByte[c] = c == 0x80 || c == 0xA0 || c == 0x01;
        rules.shortLoneLead[c] = rules.leadByte[c];
        rules.loneLeadPlain[c] = rules.leadByte[c] ? '?' : 0;
    }
    for (int i = 0; i < 8192; ++i) {
        rules.shortPair[i] = 0;
        rules.barrierPair[i] = (i & 0x1F) == (0x41 >> 3) ? static_cast<unsigned char>(~(1u << (0x41 & 7))) : 0xFF;
        rules.ideographPair[i] = 0;
    }
    const SearchNeedles error = CodePageNeedles("error", false);
    LineMatcher matcher;
    LineMatcherInit(&matcher, &error, &rules);
    ASSERT_TRUE(matcher.settlesAtOnce);
    const std::string edge = std::string(61, 'a') + "\xA4" "a\xA0" "aaaaa\n" + std::string(59, 'a');
    EXPECT_EQ(0u, SettledLinesEnd(&matcher, edge.data(), 0, edge.size()));
}

// In a code page without lead bytes, the segments of many lines are told at
// once for a search text made of letters: over lines of long plain stretches,
// bytes that are not plain, and a byte that may join an unrelated letter
// before it (0x80, also read as 'r'), at every place of a 64-byte step, they
// find the lines the walk over each line's spans finds, asking the platform
// about every span the walk asks about (and maybe about more).
TEST(RouteLinesProperty, SegmentsToldOverManyLinesFindTheLinesTheWalkFinds)
{
    StandInCollation collation({{0x80, 'r'}, {0xE9, 'E'}});
    TextRules rules = PrintablePlainRules();
    rules.joinsPrevious[0x80] = 1;
    std::mt19937 rng(1252);
    const std::vector<std::string> pieces = {"x\x80", "\x80", "\xE9", "e", "r", "o", " ", "x", "err",
                                             "\xE9rr\x80", std::string(70, 'e'), std::string(66, 'x'), "\t"};
    int asked = 0;
    for (const char* needle : {"error", "rro", "er"}) {
        for (bool ignoreCase : {false, true}) {
            const SearchNeedles needles = CodePageNeedles(needle, ignoreCase);
            LineMatcher atOnce;
            LineMatcherInit(&atOnce, &needles, &rules);
            ASSERT_TRUE(atOnce.segmentsAtOnce);
            LineMatcher walked = atOnce;
            walked.segmentsAtOnce = false;
            for (int round = 0; round < 150; ++round) {
                std::string text;
                for (int parts = static_cast<int>(rng() % 200); parts > 0; --parts) {
                    text += rng() % 8 == 0 ? std::string(1, "\r\n"[rng() % 2]) : pieces[rng() % pieces.size()];
                }
                std::vector<uint64_t> found[2];
                int asks[2];
                LineMatcher* matchers[2] = {&atOnce, &walked};
                for (int k = 0; k < 2; ++k) {
                    std::string buffer = text + std::string(80, '\0');
                    LineScan scan;
                    LineScanStart(&scan, matchers[k], &buffer[0], text.size());
                    const int before = PosixLineSearches();
                    uint64_t start;
                    uint64_t end;
                    for (uint64_t from = 0; from < text.size() &&
                                            NextLineHoldingNeedle(matchers[k], &scan, from, &start, &end);) {
                        found[k].push_back(start);
                        from = NextLineStart(buffer.data(), end);
                    }
                    asks[k] = PosixLineSearches() - before;
                }
                ASSERT_EQ(found[0], found[1]) << testing::PrintToString(text);
                ASSERT_GE(asks[0], asks[1]) << testing::PrintToString(text);
                asked += asks[1];
            }
        }
    }
    EXPECT_GT(asked, 1000);   // the walk asked about many spans
}

// Where the platform's search compares by a collation, a line with bytes
// that are not plain is judged by the platform: the byte search alone finds
// none of the lines below. The stand-in collation takes 0x88 as '^' and
// 0x80 as '\\', and so makes both bytes not plain.
TEST(RouteLines, LinesWithOtherBytesAreJudgedByThePlatform)
{
    StandInCollation collation({{0x88, '^'}, {0x80, '\\'}});
    const TextRules ascii = AsciiRules();
    const TextRules big5 = DoubleByteRules();
    const TextRules printable = PrintablePlainRules();
    struct Case {
        const char* what;
        const TextRules* rules;
        std::string source;
        std::string needle;
        bool ignoreCase;
        std::string with;
    };
    const std::vector<Case> cases = {
        {"a line with no needle's bytes", &ascii, "one\r\nx\x88y\r\ntwo", "x^y", false, "x\x88y\r\n"},
        {"before and after a hit", &ascii, "x\x88y\r\nx^y\r\nx\x88z\r\nx\x88y", "x^y", false,
         "x\x88y\r\nx^y\r\nx\x88y\r\n"},
        {"ignoring case", &ascii, "A\x88" "B\r\nab\r\n", "a^b", true, "A\x88" "B\r\n"},
        {"printable-plain rules, high bytes", &printable, "plain\r\nh\xE9 ab\r\nab\r\n\x01" "ab\r\nq\xE9\r\nend",
         "ab", false, "h\xE9 ab\r\nab\r\n\x01" "ab\r\n"},
        {"printable-plain rules, a high needle", &printable, "h\xE9 ab\r\nab\r\nq\xE9\r\n", "\xE9", false,
         "h\xE9 ab\r\nq\xE9\r\n"},
        {"a needle with such bytes", &ascii, "x^y\r\nx\x88y\r\nxy\r\n", "x\x88y", false, "x^y\r\nx\x88y\r\n"},
        // The line's byte hit is a trail byte; the platform finds the needle further on.
        {"a line whose byte hit fails", &big5, "\xA5\\q \x80q\r\n\xA5\\q\r\n", "\\q", false,
         "\xA5\\q \x80q\r\n"},
    };
    for (const Case& c : cases) {
        Routed routed = RouteToStrings(c.source, c.needle, c.ignoreCase, *c.rules);
        EXPECT_EQ(routed.with, c.with) << c.what;
        EXPECT_EQ(routed, ReferenceRoute(c.source, c.needle, c.ignoreCase, *c.rules)) << c.what;
    }
}

// The platform's verdict on a window's bytes is asked once and then taken
// from the cache, for lines that hold the needle and lines that do not.
// "z\x88z" is not asked at all: its span ends in a z, which the needle is not
// made of.
TEST(RouteLines, ThePlatformIsAskedOnceAboutTheSameBytes)
{
    StandInCollation collation({{0x88, '^'}});
    std::string source;
    for (int i = 0; i < 500; ++i) {
        source += "x\x88y\r\nz\x88z\r\n";
    }
    *PosixFaultPlan() = PosixFaults();
    Routed routed = RouteToStrings(source, "x^y", false, AsciiRules());
    EXPECT_EQ(PosixLineSearches(), 1);
    EXPECT_EQ(routed, ReferenceRoute(source, "x^y", false, AsciiRules()));
}

TEST(RouteLines, OutputDoesNotDependOnTheSinkBufferSize)
{
    const TextRules rules = AsciiRules();
    std::string source;
    for (int i = 0; i < 400; ++i) {
        source += (i % 7 == 0 ? "line with needle " : "plain line ") + std::to_string(i) +
                  (i % 13 == 0 ? "\n" : "\r\n");
    }
    const Routed expected = ReferenceRoute(source, "needle", false, rules);
    for (uint32_t capacity : {1u, 2u, 3u, 17u, 64u, 1000u, 1u << 16}) {
        EXPECT_EQ(RouteToStrings(source, "needle", false, rules, capacity), expected)
            << "sink capacity " << capacity;
    }
}

// Generates sources where the pass's shortcuts are most likely wrong: line
// ends of every kind, long plain CR LF stretches, needle pieces and whole
// needles at every offset, bytes 0x80-0xFF.
class SourceGenerator : public Picker {
public:
    explicit SourceGenerator(uint32_t seed) : Picker(seed) {}

    std::string Needle()
    {
        static const char letters[] = "abAB\\\xA5\xE9\xC9 -";
        size_t length = Pick(10) < 8 ? 1 + Pick(6) : 1 + Pick(256);
        std::string needle;
        for (size_t i = 0; i < length; ++i) {
            needle.push_back(letters[Pick(sizeof letters - 1)]);
        }
        return needle;
    }

    std::string Source(const std::string& needle)
    {
        std::string s;
        size_t pieces = Pick(60);
        bool plain = Pick(3) == 0;   // mostly CR LF, as a Windows log is
        for (size_t i = 0; i < pieces; ++i) {
            switch (Pick(plain ? 4 : 12)) {
            case 0: s += needle; break;
            case 1: s += needle.substr(0, Pick(needle.size() + 1)); break;
            case 2: s += std::string(Pick(40), 'x'); break;
            case 3: s += "\r\n"; break;
            case 4: s.push_back('\r'); break;
            case 5: s.push_back('\n'); break;
            case 6: s.push_back('\0'); break;
            case 7: s += std::string(1 + Pick(4), '\n'); break;
            case 8: s.push_back(static_cast<char>(0x80 + Pick(128))); break;
            case 9: s += "\xA5\x5C"; break;
            case 10: s.push_back(static_cast<char>("aAbB"[Pick(4)])); break;
            default: s += "\r\n\r\n"; break;
            }
        }
        return s;
    }
};

TEST(RouteLinesProperty, AgreesWithTheReferenceModel)
{
    SourceGenerator gen(20261208);
    const TextRules ascii = AsciiRules();
    const TextRules big5 = DoubleByteRules();
    const TextRules printable = PrintablePlainRules();
    for (int round = 0; round < 3000; ++round) {
        std::string needle = gen.Needle();
        std::string source = gen.Source(needle);
        bool ignoreCase = gen.Pick(3) == 0;
        size_t kind = gen.Pick(5);
        const TextRules& rules = kind == 0 ? big5 : kind == 1 ? printable : ascii;
        uint32_t capacity = gen.Pick(2) == 0 ? 1 + static_cast<uint32_t>(gen.Pick(64)) : 1 << 16;
        // Windows from one byte up put every kind of line end on an edge.
        uint64_t window = gen.Pick(3) == 0 ? 1 << 16 : 1 + gen.Pick(gen.Pick(2) == 0 ? 8 : 300);
        Routed expected = ReferenceRoute(source, needle, ignoreCase, rules);
        // An export that is off still counts the lines it would have had.
        const bool withoutOn = gen.Pick(4) != 0;
        const bool withOn = !withoutOn || gen.Pick(4) != 0;
        expected.without = withoutOn ? expected.without : "";
        expected.with = withOn ? expected.with : "";
        WindowRun run = RouteThroughWindow(source, source.size(), needle, ignoreCase, rules, capacity, withoutOn,
                                           withOn, window);
        ASSERT_TRUE(run.read);
        ASSERT_EQ(run.routed, expected) << "round " << round << "\nsource: " << testing::PrintToString(source)
                                        << "\nneedle: " << testing::PrintToString(needle)
                                        << "\nignore case: " << ignoreCase << ", rules: " << kind
                                        << ", window: " << window;
        ASSERT_LE(run.capacity, WindowBound(source, window)) << "round " << round;
    }
}

// The lines the platform must judge, under the stand-in collation: 0x88
// searched as 'a' (half the source's 'a' bytes become 0x88), 0xE9 as '-'.
TEST(RouteLinesProperty, ThePlatformsJudgementAgreesWithTheReferenceModel)
{
    StandInCollation collation({{0x88, 'a'}, {0xE9, '-'}});
    SourceGenerator gen(15);
    const TextRules rules = AsciiRules();
    for (int round = 0; round < 1500; ++round) {
        std::string needle = gen.Needle();
        std::string source = gen.Source(needle);
        for (char& c : source) {
            if (c == 'a' && gen.Pick(2) == 0) {
                c = '\x88';
            }
        }
        bool ignoreCase = gen.Pick(3) == 0;
        uint64_t window = gen.Pick(2) == 0 ? 1 << 16 : 1 + gen.Pick(100);
        ASSERT_EQ(RouteToStrings(source, needle, ignoreCase, rules, 1 << 16, true, true, window),
                  ReferenceRoute(source, needle, ignoreCase, rules))
            << "round " << round << "\nsource: " << testing::PrintToString(source)
            << "\nneedle: " << testing::PrintToString(needle) << "\nignore case: " << ignoreCase;
    }
}

// Long plain stretches with hits placed around the 16-byte blocks of the
// vector scans and the edges of the content.
TEST(RouteLinesProperty, HitsAtBlockEdgesAgreeWithTheReferenceModel)
{
    SourceGenerator gen(7);
    const TextRules ascii = AsciiRules();
    for (int round = 0; round < 600; ++round) {
        std::string needle = gen.Needle().substr(0, 1 + gen.Pick(20));
        size_t length = 16 + gen.Pick(200);
        std::string source;
        while (source.size() < length) {
            source += std::string(gen.Pick(33), 'q') + "\r\n";
        }
        for (size_t hits = gen.Pick(4); hits > 0; --hits) {
            size_t at = gen.Pick(source.size() + 1);
            source.insert(at, needle);
        }
        if (gen.Pick(2) == 0) {
            source += needle;   // at the very end, with no line end
        }
        Routed expected = ReferenceRoute(source, needle, false, ascii);
        uint64_t window = 16 + gen.Pick(100);
        ASSERT_EQ(RouteToStrings(source, needle, false, ascii, 1 << 16, true, true, window), expected)
            << "source: " << testing::PrintToString(source) << "\nneedle: " << testing::PrintToString(needle);
    }
}

}  // namespace
