// The line pass over Unicode text: UTF-16 sources of either byte order, and
// the UTF-8 lines of any other source, against a reference model that cuts
// and judges one line at a time.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "filter/filter.h"
#include "filter/judge/wide_judge.h"
#include "filter/match/utf8_lines.h"
#include "filter/search/avx2.h"
#include "filter/utf16/utf16_matcher.h"
#include "tests/native/test_support.h"

namespace {

std::u16string Lines16(std::initializer_list<const char16_t*> lines)
{
    std::u16string out;
    for (const char16_t* line : lines) {
        out += line;
        out += u"\r\n";
    }
    return out;
}

SearchNeedles Utf16Needles(const std::u16string& needle, bool ignoreCase)
{
    return AllNeedles("", Utf16ToUtf8(needle.c_str()), needle, ignoreCase, false);
}

WindowRun RouteUtf16(const std::string& bytes, const std::u16string& needle, bool ignoreCase, bool bigEndian,
                     uint64_t window = 1 << 16, uint32_t sinkCapacity = 1 << 16, bool withoutOn = true,
                     bool withOn = true)
{
    return RouteThroughWindow(bytes, bigEndian ? kEncodingUtf16Be : kEncodingUtf16Le,
                              Utf16Needles(needle, ignoreCase), AsciiRules(), sinkCapacity, withoutOn, withOn, window);
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
        // Lines of plain units are folded without asking the platform; of
        // the others, only "\u00C9rror" and "\u00E9rror" (the segments
        // between units the needle is not made of), once each however often
        // the lines come.
        EXPECT_EQ(PosixWideLineSearches(), 2);
        std::u16string often;
        for (int i = 0; i < 200; ++i) {
            often += log;
        }
        *PosixFaultPlan() = PosixFaults();
        RouteUtf16(Encode(often, bigEndian), u"ERROR", true, bigEndian, 4096);
        EXPECT_EQ(PosixWideLineSearches(), 2);
        // The stand-in platform folds \u00E9 to \u00C9: the lines with it are its to judge.
        Routed latin = RouteUtf16(Encode(log, bigEndian), u"\u00C9RROR", true, bigEndian).routed;
        EXPECT_EQ(latin.with, Encode(Lines16({u"An \u00C9rror", u"an \u00E9rror"}), bigEndian));
        Routed exact = RouteUtf16(Encode(log, bigEndian), u"\u00C9rror", false, bigEndian).routed;
        EXPECT_EQ(exact.with, Encode(Lines16({u"An \u00C9rror"}), bigEndian));
        // Where the needle's letters stand as typed but for the case of its
        // ASCII ones, the line holds it without asking.
        *PosixFaultPlan() = PosixFaults();
        Routed typed = RouteUtf16(Encode(log, bigEndian), u"\u00C9RRor", true, bigEndian).routed;
        EXPECT_EQ(typed.with, latin.with);
        EXPECT_EQ(PosixWideLineSearches(), 1);   // the line with \u00E9 alone
        // Nor is a segment asked about that starts past the line the
        // needle's bytes stand in, even where the text ends with it.
        const std::u16string last = u"ab " + std::u16string(58, u'\u00E9');
        *PosixFaultPlan() = PosixFaults();
        EXPECT_EQ(RouteUtf16(Encode(u"\u00E9\r\n" + last, bigEndian), u"ab", true, bigEndian).routed.with,
                  Encode(last + u"\r\n", bigEndian));
        EXPECT_EQ(PosixWideLineSearches(), 0);
    }
}

// Ignoring case, a text of plain units may stand in a line by units the
// platform folds to ASCII (the stand-in folds the Kelvin sign to K): only
// the stretches around such units are asked of it, and a match at either
// edge of one, or across two close together, is still found.
TEST(Utf16Lines, IgnoringCaseThePlatformJudgesTheStretchesAroundOtherUnits)
{
    const std::u16string pad(40, u'-');
    const std::u16string longNeedle = std::u16string(150, u'O') + u"K";
    struct Case {
        std::u16string line;
        const char16_t* needle;
        bool holds;
    };
    const std::vector<Case> cases = {
        {pad + u"ab\u212A" + pad, u"ABK", true},
        {pad + u"\u212Acd" + pad, u"KCD", true},
        {u"ab\u212A", u"ABK", true},
        {u"\u212Acd", u"KCD", true},
        {pad + u"\u212Axyz\u212A" + pad, u"KXYZK", true},
        {pad + u"\u212Axyz\u212A" + pad, u"XYZK-", true},
        {pad + u"\u212Axyz\u212A" + pad, u"-KXYY", false},
        {pad + u"ab\u212A" + pad, u"ABKK", false},
        {pad + u"\u4E2D" + pad + u"\u212Aq" + pad, u"KQ--", true},
        // A text with an accented letter: only the segments between plain
        // units it is not made of are asked. The Kelvin sign is no letter
        // with a mark, so a text that holds it has the whole line asked.
        {pad + u"x caf\u00E9 y" + pad, u"CAF\u00C9", true},
        {pad + u"x cafe\u00E9 y" + pad, u"CAF\u00C9", false},
        {pad + u"\u00E9K" + pad, u"\u00C9\u212A", true},
        // The segments are told 64 units at a time, the plain units and
        // ideographs far before another unit passed over: a segment begun
        // far before is asked whole; a needle of many letters.
        {u"\u212A " + std::u16string(200, u'o') + u"\u212A", longNeedle.c_str(), true},
        {std::u16string(100, u'\u4E2D') + u"abcdefghij\u212A", u"ABCDEFGHIJK", true},
        {std::u16string(100, u'\u4E2D') + u"abcdefghij\u212A", u"ABCDEFGHIJKL", false},
        // A text of ideographs and no letter (the stand-in folds full-width
        // digits): the line is asked when it holds a unit that is neither
        // plain nor an ideograph, after a run of either or at its start.
        {std::u16string(20, u'\u4E2D') + u"\uFF112" + pad, u"\u4E2D12", true},
        {u"\u4E2D\uFF11\uFF12" + pad, u"\u4E2D12", true},
        {u"\uFF11\uFF12" + std::u16string(20, u'\u4E2D'), u"\u4E2D12", false},
    };
    for (bool bigEndian : {false, true}) {
        for (const Case& c : cases) {
            const std::string bytes = Encode(u"x\r\n" + c.line + u"\r\n", bigEndian);
            Routed routed = RouteUtf16(bytes, c.needle, true, bigEndian).routed;
            EXPECT_EQ(routed.with, c.holds ? Encode(c.line + u"\r\n", bigEndian) : "")
                << testing::PrintToString(Utf16ToUtf8(c.line.c_str()));
        }
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
class Utf16Generator : public Picker {
public:
    explicit Utf16Generator(uint32_t seed) : Picker(seed) {}

    std::u16string Needle()
    {
        static const char16_t letters[] = u"abAB \u00E9\u00C9\u4E2D\u0D00\u000A\u0A0D\t\x01kK";
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
            case 10: s.push_back(u"aAbB\u00E9\u00C9k\u212A"[Pick(8)]); break;
            case 11: s.push_back(static_cast<char16_t>(0x80 + Pick(0xFF00))); break;
            default: s += u"\r\n\r\n"; break;
            }
        }
        return s;
    }
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
        // An export that is off still counts the lines it would have had.
        const bool withoutOn = gen.Pick(4) != 0;
        const bool withOn = !withoutOn || gen.Pick(4) != 0;
        Routed expected = ReferenceRouteUtf16(bytes, needle, ignoreCase, bigEndian);
        expected.without = withoutOn ? expected.without : "";
        expected.with = withOn ? expected.with : "";
        WindowRun run = RouteUtf16(bytes, needle, ignoreCase, bigEndian, window, capacity, withoutOn, withOn);
        ASSERT_TRUE(run.read);
        ASSERT_EQ(run.routed, expected)
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

// A line longer than the window is judged by its pieces as it is read, in
// either byte order, the needle at every place around the pieces' edges:
// by its units where case counts (whatever units it holds), by its plain
// units ignoring case. Only a unit that is not plain, ignoring case, has it
// read again and held whole.
TEST(Utf16Lines, ALineJudgedByItsUnitsNeverGrowsTheWindow)
{
    const std::u16string needle = u"aBc";
    for (bool bigEndian : {false, true}) {
        for (const std::u16string& end : {std::u16string(), std::u16string(u"\r\n\n"), std::u16string(u"\0")}) {
            for (size_t at = 90; at <= 140; at += 7) {
                for (bool other : {false, true}) {
                    std::u16string line = std::u16string(at, u'q') + u"aBc" + std::u16string(150, u'q');
                    line[other ? 40 : 0] = other ? u'\u4E2D' : u'q';
                    std::string bytes = Encode(u"x\r\n" + line + end + (end.empty() ? u"" : u"abc\nq"), bigEndian);
                    bytes += end.empty() ? "\x7F" : "";   // half a unit after the last line
                    for (bool ignoreCase : {false, true}) {
                        WindowRun run = RouteUtf16(bytes, needle, ignoreCase, bigEndian, 64);
                        ASSERT_TRUE(run.read);
                        ASSERT_EQ(run.grew, ignoreCase && other) << "at " << at << ", big endian " << bigEndian;
                        ASSERT_EQ(run.routed, ReferenceRouteUtf16(bytes, needle, ignoreCase, bigEndian))
                            << "at " << at << ", big endian " << bigEndian << ", ignoring case " << ignoreCase;
                    }
                }
            }
        }
        // A needle not made of letters whose unit the platform folds to a
        // plain one (the Kelvin sign, to K): plain pieces cannot rule it out.
        const std::string kelvin = Encode(std::u16string(12, u'q') + u"k " + std::u16string(80, u'q') + u"\r\nx\r\n", bigEndian);
        EXPECT_EQ(RouteUtf16(kelvin, u"\u212A", true, bigEndian, 8).routed,
                  ReferenceRouteUtf16(kelvin, u"\u212A", true, bigEndian));
    }
}

// ---- UTF-8 lines of a source read in the code page ----------------------

// A piece of search text in its three forms; the code page (a Big5
// stand-in) may lack it.
struct TextPiece {
    std::u16string utf16;
    const char* ansi;   // nullptr: the code page lacks it
};

const std::vector<TextPiece>& Pieces()
{
    static const std::vector<TextPiece> pieces = {
        {u"E", "E"},
        {u"r", "r"},
        {u"\\", "\\"},
        {u"\u4E2D", "\xA4\xA4"},          // 中
        {u"\u529F", "\xA5\x5C"},          // 功, its Big5 trail byte a backslash
        {u"\u932F", "\xBF\xF9"},          // 錯
        {u"\u9519", nullptr},             // 错, Simplified
        {u"\u00E9", nullptr},             // é
        {u"\u00C9", nullptr},             // É
        {u"\U0001F600", nullptr},         // an emoji
        {u"k", "k"},                      // the stand-in platform folds the Kelvin sign to K
    };
    return pieces;
}

SearchNeedles NeedlesOf(const std::vector<size_t>& picks, bool ignoreCase)
{
    std::u16string utf16;
    std::string ansi;
    bool held = true;
    for (size_t k : picks) {
        const TextPiece& piece = Pieces()[k];
        std::u16string unit = piece.utf16;
        if (ignoreCase) {
            for (char16_t& c : unit) {
                c = (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c;
            }
        }
        utf16 += unit;
        held = held && piece.ansi != nullptr;
        std::string bytes = piece.ansi != nullptr ? piece.ansi : "?";
        if (ignoreCase && (bytes == "r" || bytes == "k")) {
            bytes[0] = static_cast<char>(bytes[0] - 32);
        }
        ansi += bytes;
    }
    return AllNeedles(ansi, Utf16ToUtf8(utf16.c_str()), utf16, ignoreCase, held);
}

Routed RouteUtf8(const std::string& source, const SearchNeedles& needles, const TextRules& rules,
                 uint64_t window = 1 << 16, uint32_t sinkCapacity = 1 << 16)
{
    WindowRun run = RouteThroughWindow(source, kEncodingAnsi, needles, rules, sinkCapacity, true, true, window);
    EXPECT_TRUE(run.read);
    return run.routed;
}

TEST(Utf8Lines, AChineseTextMatchesTheUtf8LinesThatShowIt)
{
    const TextRules big5 = DoubleByteRules();
    const SearchNeedles cuo = NeedlesOf({5}, false);   // 錯: BF F9 in Big5, E9 8C AF in UTF-8
    const std::string source = "\xE9\x8C\xAF x\r\nok\r\n\xBF\xF9 big5\r\n";
    Routed routed = RouteUtf8(source, cuo, big5);
    EXPECT_EQ(routed.with, "\xE9\x8C\xAF x\r\n\xBF\xF9 big5\r\n");
    EXPECT_EQ(routed.without, "ok\r\n");
}

// In the code page, 中's last UTF-8 byte (AD) and the E after it are one
// double-byte character; read as UTF-8 the line holds ERROR.
TEST(Utf8Lines, AnAsciiTextRightAfterAChineseCharacterMatches)
{
    const TextRules big5 = DoubleByteRules();
    for (bool ignoreCase : {false, true}) {
        SearchNeedles error = AllNeedles("ERROR", "ERROR", u"ERROR", ignoreCase);
        const std::string source = "\xE4\xB8\xAD" "ERROR x\r\n\xE4\xB8\xAD" "error y\r\nok\r\n";
        Routed routed = RouteUtf8(source, error, big5);
        EXPECT_EQ(routed.with, ignoreCase ? "\xE4\xB8\xAD" "ERROR x\r\n\xE4\xB8\xAD" "error y\r\n"
                                          : "\xE4\xB8\xAD" "ERROR x\r\n")
            << "ignore case " << ignoreCase;
        // A source with a UTF-8 mark is read the same way after it.
        WindowRun run = RouteThroughWindow(source, kEncodingUtf8, error, big5, 64, true, true, 5);
        EXPECT_EQ(run.routed, routed);
    }
}

// Lines that are not UTF-8 are judged as the code page judges them, so a
// Big5 file gives what it always gave.
TEST(Utf8Lines, LinesThatAreNotUtf8AreJudgedByTheCodePageAlone)
{
    const TextRules big5 = DoubleByteRules();
    SearchNeedles backslash = NeedlesOf({2}, false);
    // 功 (A5 5C) holds a backslash byte, not a backslash; so does E4 5C,
    // which is no UTF-8. In the code page 中's AD pairs with the backslash
    // after it; read as UTF-8 the line holds one.
    const std::string source = "\xA5\x5C\r\n\xA5\x5C\\\r\n\xE4\xB8\xAD\\\r\n\xE4\\\r\n";
    Routed routed = RouteUtf8(source, backslash, big5);
    EXPECT_EQ(routed.with, "\xA5\x5C\\\r\n\xE4\xB8\xAD\\\r\n");
    EXPECT_EQ(routed, ReferenceRouteUtf8(source, backslash, big5));
}

// A text the code page cannot hold is in no line read in the code page,
// however the code page's default character would match; UTF-8 lines are
// searched for it as UTF-8.
TEST(Utf8Lines, ATextTheCodePageCannotHoldMatchesOnlyUtf8Lines)
{
    const TextRules big5 = DoubleByteRules();
    SearchNeedles simplified = NeedlesOf({6, 0}, false);   // 错E
    ASSERT_FALSE(simplified.ansiHeld);
    const std::string source = "?E ascii\r\n\xE9\x94\x99" "E utf-8\r\n\xBF\xF9 big5\r\n";
    EXPECT_EQ(RouteUtf8(source, simplified, big5).with, "\xE9\x94\x99" "E utf-8\r\n");
}

// Through the whole run: the search text is converted without best fit,
// and a stand-in code page of ASCII alone cannot hold 错误.
TEST(Utf8Lines, TheRunNeverSearchesForADefaultCharacter)
{
    ScratchDir dir;
    WriteFile(dir.File("log.txt"), "?? default\r\n\xE9\x94\x99\xE8\xAF\xAF utf-8\r\nok\r\n");
    PosixForm form;
    form.SetText(IDC_SEARCH_TEXT, "\xE9\x94\x99\xE8\xAF\xAF");
    form.SetText(IDC_SOURCE_PATH, dir.File("log.txt"));
    form.SetCheck(IDC_EXPORT_WITH, true);
    form.SetText(IDC_WITH_PATH, dir.File("hits.txt"));
    PosixCodePagePlan()->asciiOnly = true;
    RunOutcome outcome = RunStrip(&form);
    *PosixCodePagePlan() = PosixCodePage();
    EXPECT_EQ(outcome.failure, kRunSucceeded);
    EXPECT_EQ(ReadFile(dir.File("hits.txt")), "\xE9\x94\x99\xE8\xAF\xAF utf-8\r\n");

    SearchNeedles needles;
    PosixCodePagePlan()->asciiOnly = true;
    ASSERT_TRUE(MakeSearchNeedles(u"\u9519x", false, &needles));
    *PosixCodePagePlan() = PosixCodePage();
    EXPECT_FALSE(needles.ansiHeld);
    EXPECT_STREQ(needles.ansi, "");
    EXPECT_STREQ(needles.utf8, "\xE9\x94\x99x");
    // A lone surrogate has no UTF-8 form.
    ASSERT_TRUE(MakeSearchNeedles(u"a\xD800", false, &needles));
    EXPECT_FALSE(needles.utf8Held);
    EXPECT_FALSE(needles.ansiHeld);
}

// With UTF-8 as the code page (the POSIX platform, or code page 65001 on
// Windows) the code page's search already is the UTF-8 one.
TEST(Utf8Lines, AUtf8CodePageGivesTheSameLines)
{
    const TextRules utf8 = AsciiRules();
    const std::string source = "\xE4\xB8\xAD" "ERROR\r\n\xE4\xB8\xAD x\r\n\xA4\xA4 big5\r\n";
    SearchNeedles zhong = AllNeedles("\xE4\xB8\xAD", "\xE4\xB8\xAD", u"\u4E2D", false);
    EXPECT_EQ(RouteUtf8(source, zhong, utf8).with, "\xE4\xB8\xAD" "ERROR\r\n\xE4\xB8\xAD x\r\n");
    SearchNeedles error = AllNeedles("ERROR", "ERROR", u"ERROR", true);
    EXPECT_EQ(RouteUtf8(source, error, utf8).with, "\xE4\xB8\xAD" "ERROR\r\n");
}

// Ignoring case, an ASCII text may stand in a UTF-8 line by characters the
// platform folds to ASCII (here the Kelvin sign, E2 84 AA, as K): only the
// stretches around such characters are asked of it, and a match at either
// edge of one, or across two close together, is still found.
TEST(Utf8Lines, IgnoringCaseThePlatformJudgesTheStretchesAroundOtherCharacters)
{
    const TextRules big5 = DoubleByteRules();
    const std::string kelvin = "\xE2\x84\xAA";
    const std::string pad(40, '-');
    std::string ideographs;
    for (int i = 0; i < 27; ++i) {   // the last one cut by a 16-byte edge
        ideographs += "\xE4\xB8\xAD";
    }
    const std::u16string longNeedle = std::u16string(150, u'O') + u"K";
    struct Case {
        std::string line;
        const char16_t* needle;
        bool holds;
    };
    const std::vector<Case> cases = {
        {pad + "ab" + kelvin + pad, u"ABK", true},
        {pad + kelvin + "cd" + pad, u"KCD", true},
        {"ab" + kelvin, u"ABK", true},
        {kelvin + "cd", u"KCD", true},
        {pad + "ab" + kelvin + "x" + kelvin + "cd" + pad, u"BKXKC", true},
        {pad + kelvin + "xyz" + kelvin + pad, u"KXYZK", true},
        {pad + kelvin + "xyz" + kelvin + pad, u"XYZK-", true},
        {pad + kelvin + "xyz" + kelvin + pad, u"-KXYY", false},
        {pad + "ab" + kelvin + pad, u"ABKK", false},
        {pad + "\xC3\xA9" + pad + kelvin + "q" + pad, u"KQ--", true},
        // Passed over 16 bytes at a time up to the first character that is
        // no ideograph, the walk goes on from the last ideograph's start;
        // a segment begun far before is measured whole.
        {ideographs + "o" + kelvin, u"OK", true},
        {kelvin + " " + std::string(200, 'o') + kelvin, longNeedle.c_str(), true},
    };
    for (const Case& c : cases) {
        SearchNeedles needles = AllNeedles(Utf16ToUtf8(c.needle), Utf16ToUtf8(c.needle), c.needle, true);
        Routed routed = RouteUtf8("x\r\n" + c.line + "\r\n", needles, big5);
        EXPECT_EQ(routed.with, c.holds ? c.line + "\r\n" : "") << testing::PrintToString(c.line);
        EXPECT_EQ(routed, ReferenceRouteUtf8("x\r\n" + c.line + "\r\n", needles, big5));
    }
}

// Ignoring case, a needle of letters is searched with the letters of
// Latin-1 folded, byte by byte: what that finds that is no case of the
// needle (\u00DF for \u00FF in UTF-8, \u0141 for \u0161 in both) the
// platform judges, and what it misses (the Kelvin sign for K, to the
// stand-in) the segments' walk finds.
TEST(UnicodeLines, IgnoringCaseWhatTheLatinFoldFindsThePlatformJudges)
{
    for (bool bigEndian : {false, true}) {
        const std::string log =
            Encode(Lines16({u"x \u00C9KO y", u"x \u00E9\u212Ao y", u"\u00C9KA", u"ok", u"\u00E9ko"}), bigEndian);
        EXPECT_EQ(RouteUtf16(log, u"\u00E9ko", true, bigEndian).routed.with,
                  Encode(Lines16({u"x \u00C9KO y", u"x \u00E9\u212Ao y", u"\u00E9ko"}), bigEndian));
        const std::string caron = Encode(Lines16({u"\u0141ko", u"\u0160KO", u"\u0161ko"}), bigEndian);
        EXPECT_EQ(RouteUtf16(caron, u"\u0161ko", true, bigEndian).routed.with,
                  Encode(Lines16({u"\u0160KO", u"\u0161ko"}), bigEndian));
    }
    const std::string source = "\xC3\x9F" "EK\r\n\xC3\xBF" "e\xE2\x84\xAA x\r\nthe \xC3\xBF" "ek\r\n\xC3\x9F" "ek\r\n"
                               "\xC5\x81" "ko\r\n\xC5\xA0KO\r\n";
    const SearchNeedles needles = AllNeedles("\xC3\xBF" "ek", "\xC3\xBF" "ek", u"\u00FFek", true);
    const Routed routed = RouteUtf8(source, needles, DoubleByteRules());
    EXPECT_EQ(routed.with, "\xC3\xBF" "e\xE2\x84\xAA x\r\nthe \xC3\xBF" "ek\r\n");
    EXPECT_EQ(routed, ReferenceRouteUtf8(source, needles, DoubleByteRules()));
    const SearchNeedles caron = AllNeedles("?ko", "\xC5\xA1ko", u"\u0161ko", true, false);
    EXPECT_EQ(RouteUtf8(source, caron, DoubleByteRules()).with, "\xC5\xA0KO\r\n");
}

// Ignoring case, a segment still open where the walk's 64 bytes end is
// walked to its end, past where the walk was asked to stop: a line whose
// end falls right after a block is judged whole (a Kelvin sign for K at the
// end of lines of 50 to 140 bytes). And a place the Latin fold finds is
// confirmed by the one span there, not by the whole line of ideographs
// around it.
TEST(Utf8Lines, IgnoringCaseTheLastSegmentBeforeABlockEdgeIsAsked)
{
    const std::string kelvin = "\xE2\x84\xAA";
    for (const std::u16string& needle : {std::u16string(u"OK"), std::u16string(u"\u00C9K")}) {
        const std::string last = needle == u"OK" ? "o" : "\xC3\xA9";
        const SearchNeedles n = AllNeedles(Utf16ToUtf8(needle.c_str()), Utf16ToUtf8(needle.c_str()), needle, true);
        std::string source;
        for (size_t length = 50; length <= 140; ++length) {
            source += std::string(length - kelvin.size() - last.size() - 1, 'x') + last + kelvin + "\ny\n";
        }
        EXPECT_EQ(RouteUtf8(source, n, DoubleByteRules()), ReferenceRouteUtf8(source, n, DoubleByteRules()))
            << Utf16ToUtf8(needle.c_str());
    }
    std::u16string ideographs;
    for (char16_t c = 0x4E00; c < 0x4E00 + 2000; ++c) {
        ideographs.push_back(c);
    }
    const std::u16string line = ideographs + u"\u00C9KO" + ideographs;
    const SearchNeedles n = AllNeedles(Utf16ToUtf8(u"\u00E9ko"), Utf16ToUtf8(u"\u00E9ko"), u"\u00E9ko", true);
    *PosixFaultPlan() = PosixFaults();
    EXPECT_EQ(RouteUtf8(Utf16ToUtf8(line.c_str()) + "\r\n", n, DoubleByteRules()).with, Utf16ToUtf8(line.c_str()) + "\r\n");
    EXPECT_LE(PosixWideLineSearches(), 2);
    *PosixFaultPlan() = PosixFaults();
    EXPECT_EQ(RouteUtf16(Encode(line + u"\r\n", false), u"\u00E9ko", true, false).routed.with, Encode(line + u"\r\n", false));
    EXPECT_LE(PosixWideLineSearches(), 2);
}

// Ignoring case, no segment runs across a line end: not into a joining
// mark or joiner after it, not out of an ideograph's lead byte the line end
// cuts; and what such a lead leaves does not spoil the segment far after it.
TEST(Utf8Lines, IgnoringCaseNoSegmentRunsAcrossALineEnd)
{
    struct Case {
        std::string source;
        const char16_t* needle;
    };
    const std::vector<Case> cases = {
        {"\xE4\xB8\xAD\n\xCC\x81ok\n", u"OK"},
        {"\xE4\xB8\xAD\r\xE2\x80\x8Dok\r\n", u"OK"},
        {std::string("\xE4\xB8\xAD") + '\0' + "\xEF\xB8\x8Fok\n", u"OK"},
        {"x\xE5\n\xC3\x89\r\n", u"\u00C9"},
        {"x\xE9\r\xC3\x89\r\n", u"\u00C9"},
        {std::string(62, 'x') + "\xE5" "a\n" + std::string(100, 'x') + "\xC3\x89\r\n", u"\u00C9"},
    };
    for (const Case& c : cases) {
        const SearchNeedles needles = AllNeedles(Utf16ToUtf8(c.needle), Utf16ToUtf8(c.needle), c.needle, true);
        for (const TextRules& rules : {PrintablePlainRules(), DoubleByteRules()}) {
            Routed routed = RouteUtf8(c.source, needles, rules);
            EXPECT_NE(routed.with, "") << testing::PrintToString(c.source);
            EXPECT_EQ(routed, ReferenceRouteUtf8(c.source, needles, rules)) << testing::PrintToString(c.source);
        }
    }
}

// Ignoring case, the platform's verdict on a window of a UTF-8 line is
// asked once and then taken from the cache; "z\u212Az" is not asked at
// all: a window that takes in a z, which the needle is not made of, cannot
// match. Nor is a needle of letters where its bytes stand but for the case
// of ASCII letters.
TEST(Utf8Lines, IgnoringCaseThePlatformIsAskedOnceAboutTheSameCharacters)
{
    std::string source;
    for (int i = 0; i < 500; ++i) {
        source += "x\xE2\x84\xAAy\r\nz\xE2\x84\xAAz\r\n";
    }
    SearchNeedles needles = AllNeedles("XKY", "XKY", u"XKY", true);
    *PosixFaultPlan() = PosixFaults();
    Routed routed = RouteUtf8(source, needles, DoubleByteRules(), 1000);
    EXPECT_EQ(PosixWideLineSearches(), 1);
    EXPECT_EQ(routed, ReferenceRouteUtf8(source, needles, DoubleByteRules()));

    const std::string cafe = "Caf\xC3\xA9 \r\nx\r\ncAF\xC3\xA9\r\n";
    const SearchNeedles letters = AllNeedles("caf?", "caf\xC3\xA9", u"caf\u00E9", true, false);
    *PosixFaultPlan() = PosixFaults();
    EXPECT_EQ(RouteUtf8(cafe, letters, DoubleByteRules()).with, "Caf\xC3\xA9 \r\ncAF\xC3\xA9\r\n");
    EXPECT_EQ(PosixWideLineSearches(), 0);
}

TEST(Utf8LinesProperty, AgreesWithTheReferenceModel)
{
    std::mt19937 rng(65001);
    auto pick = [&rng](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
    const TextRules ascii = AsciiRules();
    const TextRules big5 = DoubleByteRules();
    const TextRules printable = PrintablePlainRules();
    const std::vector<std::string> bits = {
        "\r\n", "\n", "\r", std::string(1, '\0'), "\n\n", "x", "e", "E", "r", "R", "\\", " ",
        "\xE4\xB8\xAD", "\xE4\xB8", "\xB8", "\xA4\xA4", "\xA5\x5C", "\xBF\xF9", "\xE9\x8C\xAF", "\xE9\x94\x99",
        "\xC3\xA9", "\xC3\x89", "\xF0\x9F\x98\x80", "\xED\xA0\x80", "\xC0\xAF", "\xFF",
        "\xE2\x84\xAA", "k", "K", "\t", "\x01", "\xCC\x81",
    };
    for (int round = 0; round < 1500; ++round) {
        bool ignoreCase = pick(3) == 0;
        std::vector<size_t> picks(1 + pick(3));
        for (size_t& k : picks) {
            k = pick(Pieces().size());
        }
        SearchNeedles needles = NeedlesOf(picks, ignoreCase);
        std::string source;
        // Some lines longer than the 64 bytes the segment walk looks at at once.
        for (size_t n = pick(4) == 0 ? pick(240) : pick(60); n > 0; --n) {
            source += pick(8) == 0 ? std::string(needles.utf8) : pick(10) == 0 ? std::string(needles.ansi)
                                                                               : bits[pick(bits.size())];
        }
        size_t kind = pick(3);
        const TextRules& rules = kind == 0 ? big5 : kind == 1 ? printable : ascii;
        // Windows from one byte up split UTF-8 sequences at an edge.
        uint64_t window = pick(3) == 0 ? 1 << 16 : 1 + pick(pick(2) == 0 ? 8 : 200);
        uint32_t capacity = pick(2) == 0 ? 1 + static_cast<uint32_t>(pick(64)) : 1 << 16;
        ASSERT_EQ(RouteUtf8(source, needles, rules, window, capacity), ReferenceRouteUtf8(source, needles, rules))
            << "round " << round << "\nsource: " << testing::PrintToString(source)
            << "\nneedle: " << testing::PrintToString(std::string(needles.utf8)) << " / "
            << testing::PrintToString(std::string(needles.ansi)) << "\nignore case: " << ignoreCase
            << ", rules: " << kind << ", window: " << window;
    }
}

// Ignoring case, the segments of a UTF-8 line around the characters only
// the platform may match are told 64 bytes at a time: a Kelvin sign (K to
// the stand-in platform) put among the needle's letters, other letters,
// kana, Hangul, ideographs, a combining mark and long runs of one letter,
// in lines over several blocks; needles of a few letters and of more than
// the walk compares at once.
TEST(Utf8LinesProperty, SegmentsOverBlockEdgesAgreeWithTheReferenceModel)
{
    std::mt19937 rng(6464);
    auto pick = [&rng](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
    const std::string kelvin = "\xE2\x84\xAA";
    const std::vector<std::string> pieces = {"o", "O", "k", "x", " ", "-", "abcdefghij", "abcdefghij" + kelvin,
                                             "\xE3\x81\x82",
                                             "\xEA\xB0\x80", "\xE4\xB8\xAD", "\xCC\x81", "\xC3\xA9",
                                             "\xF0\x9F\x98\x80", std::string(70, 'o'), std::string(70, 'x'),
                                             "\n", "\r", "\xE5", "\xE2\x80\x8D"};
    const char16_t* needles[] = {u"OK", u"KO", u"OKO", u"K-K", u"ABCDEFGHIJK", u"OOOOOOOOOOOOOOOOOOOOOOOOOOOOOOK"};
    const TextRules rules[] = {DoubleByteRules(), PrintablePlainRules()};
    for (int round = 0; round < 400; ++round) {
        std::string source;
        for (size_t line = 1 + pick(3); line > 0; --line) {
            std::string text;
            for (size_t length = pick(300); text.size() < length;) {
                text += pieces[pick(pieces.size())];
            }
            for (size_t k = pick(3); k > 0; --k) {
                size_t at = pick(text.size() + 1);
                while (at > 0 && at < text.size() && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) {
                    --at;
                }
                text.insert(at, kelvin);
            }
            source += text + "\r\n";
        }
        const char16_t* needle = needles[pick(6)];
        const SearchNeedles n = AllNeedles(Utf16ToUtf8(needle), Utf16ToUtf8(needle), needle, true);
        const TextRules& rule = rules[pick(2)];
        ASSERT_EQ(RouteUtf8(source, n, rule), ReferenceRouteUtf8(source, n, rule))
            << "round " << round << "\nsource: " << testing::PrintToString(source);
    }
}

// Lines of ASCII and CJK ideographs, the bulk of a Chinese log, are read
// 16 bytes at a time: each byte that makes a line anything else (a symbol
// that is no ideograph though led by E4, a control character, DEL, a
// character cut by the line's end or by another, kana, Hangul, an accented
// letter, an emoji) is put at every place of lines of 14 to 70 bytes, so
// that it falls on each byte of a block and on the blocks' edges.
TEST(Utf8LinesProperty, LinesOfIdeographsAgreeWithTheReferenceModelWhateverSpoilsThem)
{
    std::mt19937 rng(950);
    auto pick = [&rng](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
    const std::vector<std::string> plain = {"\xE4\xB8\xAD", "\xE9\x8C\xAF", "\xE8\xAA\xA4", "\xE4\xB6\xB5",
                                            "\xE4\xB8\x80", " ", "x", "e", "ERROR", "error", "\t", "7"};
    const std::vector<std::string> spoilers = {"\xE4\xB7\x80", "\x01", "\x7F", "\xE9\x8C", "\x8C",
                                               "\xE3\x80\x81", "\xEA\xB0\x80", "\xC3\xA9", "\xF0\x9F\x98\x80",
                                               "\xE4\xB7\xBF", "\xE9", "\xFF", "\xC3", "o\xE2\x84\xAA"};
    // "o" and the Kelvin sign hold "ok" to the stand-in platform alone.
    const SearchNeedles needles[] = {AllNeedles("error", "error", u"error", true),
                                     AllNeedles("?", "\xE9\x8C\xAF", u"\u932F", true),
                                     AllNeedles("ok", "ok", u"ok", true)};
    const TextRules rules[] = {DoubleByteRules(), PrintablePlainRules()};
    for (int round = 0; round < 600; ++round) {
        std::string source;
        for (int line = 0; line < 6; ++line) {
            std::string text;
            const size_t length = 14 + pick(57);
            while (text.size() < length) {
                text += plain[pick(plain.size())];
            }
            if (pick(3) != 0) {
                const std::string& spoiler = spoilers[pick(spoilers.size())];
                size_t at = pick(text.size() + 1);
                while (at > 0 && at < text.size() && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) {
                    --at;   // at a character's start, so that only the spoiler spoils
                }
                text.insert(at, spoiler);
            }
            source += text + (pick(2) == 0 ? "\r\n" : "\n");
        }
        const SearchNeedles& needle = needles[pick(3)];
        const TextRules& rule = rules[pick(2)];
        ASSERT_EQ(RouteUtf8(source, needle, rule), ReferenceRouteUtf8(source, needle, rule))
            << "round " << round << "\nsource: " << testing::PrintToString(source);
    }
    // And a byte that makes a line no UTF-8 at every place of lines of
    // every length over four blocks, the blocks' edges among them: "ok"
    // right after an ideograph is no text of the code page's (its last byte
    // leads a pair there), so only a line taken for UTF-8 would hold it.
    std::string source;
    for (size_t length = 18; length <= 70; ++length) {
        for (size_t at = 5; at < length; ++at) {
            source += "\xE4\xB8\xADok" + std::string(at - 5, 'x') + "\xFF" + std::string(length - at - 1, 'x') + "\r\n";
        }
    }
    EXPECT_EQ(RouteUtf8(source, needles[2], rules[0]), ReferenceRouteUtf8(source, needles[2], rules[0]));
}

}  // namespace

namespace {

// On a UTF-8 code page the code page's own search folds ASCII letters
// only: ignoring case, a UTF-8 line's other letters fold as the wide search
// folds them, with or without a mark, as in UTF-16. And the line a far
// character sits in is walked back over once, however many lines the code
// page's rules find before it.
TEST(Utf8Lines, IgnoringCaseOnAUtf8CodePageFoldsEveryLetter)
{
    TextRules utf8CodePage;
    PlatformGetTextRules(&utf8CodePage);
    ASSERT_TRUE(utf8CodePage.utf8CodePage);
    SearchNeedles needles = AllNeedles("caf\xC3\xA9", "caf\xC3\xA9", u"caf\u00E9", true);
    const std::string source = "x\r\nCAF\xC3\x89 au lait\r\ncafe\r\n";
    Routed routed = RouteUtf8(source, needles, utf8CodePage);
    EXPECT_EQ(routed.with, "CAF\xC3\x89 au lait\r\n");
    EXPECT_EQ(routed, ReferenceRouteUtf8(source, needles, utf8CodePage));

    std::string many;
    for (int i = 0; i < 3000; ++i) {
        many += "ok\r\nERROR\r\n";
    }
    many += std::string(20000, 'x') + "\xC3\xA9\r\n";
    SearchNeedles error = AllNeedles("error", "error", u"error", true);
    *PosixFaultPlan() = PosixFaults();
    EXPECT_EQ(RouteUtf8(many, error, DoubleByteRules(), 1 << 20), ReferenceRouteUtf8(many, error, DoubleByteRules()));
}

}  // namespace

namespace {

// Ignoring case, the segments are told 64 bytes or units at a time with
// either vector width: where the processor has the wider one, both find
// the same lines of accented letters, emoji, Greek, kana, ideographs,
// combining marks and joiners, in either form.
TEST(UnicodeSegments, EveryVectorWidthFindsTheSameLines)
{
    if (!ProcessorHasAvx2()) {
        GTEST_SKIP() << "the processor has one width";
    }
    std::mt19937 rng(3232);
    auto pick = [&rng](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
    const std::vector<std::u16string> pieces = {u"caf\u00E9", u"CAF\u00C9", u"cafe\u0301", u"na\u00EFve", u"\u00C6r\u00F8",
                                                u"Stra\u00DFe", u"\U0001F44D\U0001F3FD", u"\u03A9\u03BC\u03AD", u"\u3042",
                                                u"\u4E2D", u"\u200D", u" ", u"ok", u"C", u"\r\n", u"\n"};
    const char16_t* needles[] = {u"caf\u00E9", u"OK", u"NA\u00CFVE", u"\u00E6R"};
    const TextRules rules = DoubleByteRules();
    size_t lines[2] = {};
    for (int round = 0; round < 300; ++round) {
        std::u16string text;
        for (size_t length = pick(400); text.size() < length;) {
            text += pieces[pick(pieces.size())];
        }
        const std::u16string needle = needles[pick(4)];
        const SearchNeedles n = AllNeedles(Utf16ToUtf8(needle.c_str()), Utf16ToUtf8(needle.c_str()), needle, true);
        // Each text as the window holds it: zero units after its end.
        const std::string utf16 = Encode(text, false) + std::string(4, '\0');
        const std::string utf8 = Utf16ToUtf8(text.c_str()) + std::string(4, '\0');
        const uint64_t size16 = utf16.size() - 4;
        const uint64_t size8 = utf8.size() - 4;
        std::vector<uint64_t> found[2][2];
        for (int wide = 0; wide < 2; ++wide) {
            Utf16Matcher m16;
            Utf16MatcherInit(&m16, &n, false, nullptr);
            m16.avx2 = wide == 1;
            Utf16Scan scan16;
            Utf16ScanStart(&scan16, utf16.data(), size16);
            for (uint64_t at = NextMatch(&m16, &scan16, 0); at < size16;) {
                found[0][wide].push_back(at);
                const uint64_t end = utf16.find('\n', at) >= size16 ? size16 : utf16.find('\n', at);
                at = end >= size16 ? size16 : NextMatch(&m16, &scan16, end + (end % 2 == 0 ? 2 : 1));
            }
            Utf8Matcher m8;
            Utf8MatcherInit(&m8, &n, &rules, nullptr);
            m8.exact.avx2 = wide == 1;
            Utf8Scan scan8;
            Utf8ScanStart(&scan8, &m8, utf8.c_str(), size8);
            uint64_t start = 0;
            uint64_t end = 0;
            for (uint64_t from = 0; from < size8 && NextUtf8LineHoldingNeedle(&m8, &scan8, from, size8, &start, &end);) {
                found[1][wide].push_back(start);
                from = end + (utf8[end] == '\r' && utf8[end + 1] == '\n' ? 2 : 1);
            }
        }
        ASSERT_EQ(found[0][0], found[0][1]) << "UTF-16, round " << round;
        ASSERT_EQ(found[1][0], found[1][1]) << "UTF-8, round " << round;
        lines[0] += found[0][0].size();
        lines[1] += found[1][0].size();
    }
    EXPECT_GT(lines[0], 300u);
    EXPECT_GT(lines[1], 300u);
}

}  // namespace
