// The filter on the Win32 platform layer, under Wine, on a real file system.
#include <windows.h>
#include <shlwapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "filter/filter.h"
#include "filter/pass/read_window.h"
#include "filter/run/route_lines.h"
#include "resources/resource_ids.h"
#include "tests/win/strip_form.h"
#include "tests/win/win_test_support.h"

namespace {

class WinStrip : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(form_.window(), nullptr);
        WriteWholeFile(folder_.File(L"log.txt"), kLog);
        form_.Text(IDC_SEARCH_TEXT, L"ERROR");
        form_.Text(IDC_SOURCE_PATH, folder_.File(L"log.txt"));
    }
    static constexpr const char* kLog = "start\r\nERROR one\nok\r\nERROR two";
    ScratchDir folder_;
    StripForm form_;
};

// Wine takes the ANSI code page from the locale the suite is started in.
TEST(WinPlatform, RunsInTheCodePageOfItsLocale)
{
    const char* lang = std::getenv("LANG");
    ASSERT_NE(lang, nullptr);
    std::string locale = lang;
    UINT expected = locale.rfind("zh_TW", 0) == 0 || locale.rfind("zh_HK", 0) == 0 ? 950 : 1252;
    EXPECT_EQ(GetACP(), expected) << "LANG=" << locale;
}

TEST_F(WinStrip, SplitsTheSourceIntoTwoNewFiles)
{
    form_.Check(IDC_EXPORT_WITHOUT, true);
    form_.Text(IDC_WITHOUT_PATH, folder_.File(L"rest.txt"));
    form_.Text(IDC_WITH_PATH, folder_.File(L"errors.txt"));
    form_.Run();
    EXPECT_EQ(ReadWholeFile(folder_.File(L"errors.txt")), "ERROR one\r\nERROR two\r\n");
    EXPECT_EQ(ReadWholeFile(folder_.File(L"rest.txt")), "start\r\nok\r\n");
    EXPECT_EQ(ReadWholeFile(folder_.File(L"log.txt")), kLog);
    EXPECT_EQ(folder_.Entries().size(), 3u);   // no temporary file left
}

TEST_F(WinStrip, ReplacesTheSourceInPlaceKeepingItsAttributes)
{
    SetFileAttributesW(folder_.File(L"log.txt").c_str(), FILE_ATTRIBUTE_HIDDEN);
    form_.Check(IDC_EXPORT_WITH, false);
    form_.Check(IDC_EXPORT_WITHOUT, true);
    form_.Run();
    EXPECT_EQ(ReadWholeFile(folder_.File(L"log.txt")), "start\r\nok\r\n");
    DWORD attributes = GetFileAttributesW(folder_.File(L"log.txt").c_str());
    EXPECT_NE(attributes & FILE_ATTRIBUTE_HIDDEN, 0u);
    EXPECT_EQ(folder_.Entries().size(), 1u);
}

// Both exports on one file, however it is spelled: the without-string export
// claims it first and the with-string export gets nothing.
TEST_F(WinStrip, BothExportsOnOneFileByAnySpelling)
{
    CreateDirectoryW(folder_.File(L"sub").c_str(), nullptr);
    SetCurrentDirectoryW(folder_.path().c_str());
    std::wstring upper = folder_.File(L"LOG.TXT");
    const std::wstring spellings[][2] = {
        {L"", L""},
        {L"", upper},
        {L".\\log.txt", L""},
        {folder_.File(L"sub\\..\\log.txt"), folder_.File(L"log.txt")},
        {L"log.txt", L".\\LOG.txt"},
    };
    for (const auto& spelling : spellings) {
        WriteWholeFile(folder_.File(L"log.txt"), kLog);
        form_.Check(IDC_EXPORT_WITHOUT, true);
        form_.Text(IDC_WITHOUT_PATH, spelling[0]);
        form_.Text(IDC_WITH_PATH, spelling[1]);
        form_.Run();
        EXPECT_EQ(ReadWholeFile(folder_.File(L"log.txt")), "start\r\nok\r\n")
            << "without '" << std::string(spelling[0].begin(), spelling[0].end()) << "', with '"
            << std::string(spelling[1].begin(), spelling[1].end()) << "'";
        EXPECT_EQ(folder_.Entries().size(), 2u);   // log.txt and sub
    }
    SetCurrentDirectoryW(L"C:\\");
}

// The source stays open while the exports are claimed: an export naming it,
// by any spelling, still gets it, to append to as to rewrite.
TEST_F(WinStrip, AnExportNamingTheOpenSourceIsClaimedByAnySpelling)
{
    CreateDirectoryW(folder_.File(L"sub").c_str(), nullptr);
    SetCurrentDirectoryW(folder_.path().c_str());
    for (const std::wstring& spelling :
         {std::wstring(), std::wstring(L".\\log.txt"), folder_.File(L"sub\\..\\log.txt"), std::wstring(L"log.txt")}) {
        const std::string name(spelling.begin(), spelling.end());
        WriteWholeFile(folder_.File(L"log.txt"), kLog);
        form_.Text(IDC_WITH_PATH, spelling);
        form_.Check(IDC_APPEND_WITH, true);
        form_.Run();
        EXPECT_EQ(ReadWholeFile(folder_.File(L"log.txt")), std::string(kLog) + "ERROR one\r\nERROR two\r\n")
            << "append to '" << name << "'";
        WriteWholeFile(folder_.File(L"log.txt"), kLog);
        form_.Check(IDC_APPEND_WITH, false);
        form_.Run();
        EXPECT_EQ(ReadWholeFile(folder_.File(L"log.txt")), "ERROR one\r\nERROR two\r\n")
            << "rewrite '" << name << "'";
        EXPECT_EQ(folder_.Entries().size(), 2u);   // log.txt and sub
    }
    SetCurrentDirectoryW(L"C:\\");
}

TEST_F(WinStrip, AppendAddsAfterTheOldContent)
{
    WriteWholeFile(folder_.File(L"errors.txt"), "old\r\n");
    form_.Text(IDC_WITH_PATH, folder_.File(L"errors.txt"));
    form_.Check(IDC_APPEND_WITH, true);
    form_.Run();
    EXPECT_EQ(ReadWholeFile(folder_.File(L"errors.txt")), "old\r\nERROR one\r\nERROR two\r\n");
}

TEST_F(WinStrip, AnExportHeldElsewhereIsLeftAloneAndTheOtherStillRuns)
{
    WriteWholeFile(folder_.File(L"errors.txt"), "held\r\n");
    HANDLE held = CreateFileW(folder_.File(L"errors.txt").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    form_.Check(IDC_EXPORT_WITHOUT, true);
    form_.Text(IDC_WITHOUT_PATH, folder_.File(L"rest.txt"));
    form_.Text(IDC_WITH_PATH, folder_.File(L"errors.txt"));
    form_.Run();
    CloseHandle(held);
    EXPECT_EQ(ReadWholeFile(folder_.File(L"errors.txt")), "held\r\n");
    EXPECT_EQ(ReadWholeFile(folder_.File(L"rest.txt")), "start\r\nok\r\n");
}

TEST_F(WinStrip, OverlongPathOrMissingSourceTouchesNothing)
{
    form_.Text(IDC_WITH_PATH, folder_.File(std::wstring(280, L'n')));
    form_.Run();
    form_.Text(IDC_WITH_PATH, L"");
    form_.Text(IDC_SOURCE_PATH, folder_.File(L"missing.txt"));
    form_.Run();
    form_.Text(IDC_SOURCE_PATH, folder_.path());   // a folder
    form_.Run();
    EXPECT_EQ(ReadWholeFile(folder_.File(L"log.txt")), kLog);
    EXPECT_EQ(folder_.Entries().size(), 1u);
}

// Each failure carries the system's own reason, and the file it is about.
TEST_F(WinStrip, FailuresCarryTheSystemsErrorAndTheirFile)
{
    struct Case {
        const char* what;
        std::wstring source;
        std::wstring with;
        RunFailure failure;
        RunFile file;
        DWORD error;
    };
    const std::wstring log = folder_.File(L"log.txt");
    const Case cases[] = {
        {"missing source", folder_.File(L"missing.txt"), L"", kRunSourceUnopened, kSourceFile, ERROR_FILE_NOT_FOUND},
        {"source in a missing folder", folder_.File(L"no\\log.txt"), L"", kRunSourceUnopened, kSourceFile,
         ERROR_PATH_NOT_FOUND},
        {"export in a missing folder", log, folder_.File(L"no\\errors.txt"), kRunExportUnclaimed, kWithExport,
         ERROR_PATH_NOT_FOUND},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        form_.Text(IDC_SOURCE_PATH, c.source);
        form_.Text(IDC_WITH_PATH, c.with);
        RunOutcome outcome = form_.Run();
        EXPECT_EQ(outcome.failure, c.failure);
        EXPECT_EQ(outcome.file, c.file);
        EXPECT_EQ(outcome.systemError, c.error);
    }
    // Held by another program without sharing.
    form_.Text(IDC_SOURCE_PATH, log);
    form_.Text(IDC_WITH_PATH, folder_.File(L"errors.txt"));
    WriteWholeFile(folder_.File(L"errors.txt"), "held\r\n");
    HANDLE held = CreateFileW(folder_.File(L"errors.txt").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    RunOutcome outcome = form_.Run();
    CloseHandle(held);
    EXPECT_EQ(outcome.failure, kRunExportUnclaimed);
    EXPECT_EQ(outcome.systemError, static_cast<uint32_t>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(ReadWholeFile(log), kLog);
}

// A run's big blocks are kept when freed and handed to the next run of
// their size, zero-filled again; a block of another size is a new one. (A
// size far from the run's own blocks, about 1 MiB and 1.5 MiB.)
TEST(WinPlatform, ABigBlockFreedIsHandedOutAgainZeroFilled)
{
    const uint64_t size = (3u << 20) + 4321;
    unsigned char* first = static_cast<unsigned char*>(PlatformAllocZeroed(size));
    ASSERT_NE(first, nullptr);
    std::fill(first, first + size, 0x5A);
    PlatformFree(first);
    unsigned char* other = static_cast<unsigned char*>(PlatformAllocZeroed(size + (1u << 16)));
    unsigned char* again = static_cast<unsigned char*>(PlatformAllocZeroed(size));
    ASSERT_NE(other, nullptr);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again, first);
    EXPECT_NE(other, first);
    EXPECT_EQ(std::count(again, again + size, 0), static_cast<std::ptrdiff_t>(size));
    EXPECT_EQ(std::count(other, other + size + (1u << 16), 0), static_cast<std::ptrdiff_t>(size + (1u << 16)));
    PlatformFree(again);
    PlatformFree(other);
}

// A file is removed as empty only when it is the file of that identity, it
// is empty, and no program holds it open to write (that program could add
// to it between the look and the removal).
TEST(WinPlatform, AFileGoesAsEmptyOnlyWhenItIsThatFileEmptyAndUnwritten)
{
    ScratchDir folder;
    const std::wstring path = folder.File(L"errors.txt");
    // Of that identity, or (no identity given) whatever file the name holds.
    for (bool anyFile : {false, true}) {
        SCOPED_TRACE(anyFile ? "any file" : "that file");
        WriteWholeFile(path, "a line\r\n");
        FileIdentity id = {0, 0};
        ASSERT_TRUE(PlatformIdentityAt(path.c_str(), &id));
        const FileIdentity* which = anyFile ? nullptr : &id;
        FileIdentity other = id;
        other.index += 1;
        EXPECT_FALSE(PlatformDeleteIfEmpty(path.c_str(), which));
        WriteWholeFile(path, "");
        EXPECT_FALSE(PlatformDeleteIfEmpty(path.c_str(), &other));
        HANDLE writer = CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(writer, INVALID_HANDLE_VALUE);
        EXPECT_FALSE(PlatformDeleteIfEmpty(path.c_str(), which));
        CloseHandle(writer);
        EXPECT_EQ(folder.Entries(), std::vector<std::wstring>{L"errors.txt"});
        EXPECT_TRUE(PlatformDeleteIfEmpty(path.c_str(), which));
        EXPECT_TRUE(folder.Entries().empty());
    }
}

// An export of 4 GiB or more is appended to at its end (a sparse file).
TEST(WinPlatform, AppendsAtTheEndOfAFileOfMoreThan4GiB)
{
    ScratchDir folder;
    const std::wstring path = folder.File(L"big.txt");
    const LONGLONG kSize = (1LL << 32) + 5;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    LARGE_INTEGER at;
    at.QuadPart = kSize;
    ASSERT_TRUE(SetFilePointerEx(file, at, nullptr, FILE_BEGIN) && SetEndOfFile(file));
    CloseHandle(file);

    bool created = true;
    FileHandle claim = PlatformClaimTarget(path.c_str(), &created);
    ASSERT_NE(claim, nullptr);
    EXPECT_FALSE(created);
    EXPECT_TRUE(PlatformSeekEnd(claim));
    EXPECT_TRUE(PlatformWrite(claim, "tail", 4));
    PlatformClose(claim);

    WIN32_FILE_ATTRIBUTE_DATA data;
    ASSERT_TRUE(GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data));
    EXPECT_EQ((static_cast<LONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow, kSize + 4);
    file = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    char tail[5] = {};
    DWORD got = 0;
    at.QuadPart = kSize;
    ASSERT_TRUE(SetFilePointerEx(file, at, nullptr, FILE_BEGIN));
    EXPECT_TRUE(ReadFile(file, tail, 4, &got, nullptr));
    CloseHandle(file);
    EXPECT_STREQ(tail, "tail");
    DeleteFileW(path.c_str());
}

// Code page 950: a Big5 character whose trail byte is a backslash.
class CodePage950 : public WinStrip {
protected:
    void SetUp() override
    {
        if (GetACP() != 950) {
            GTEST_SKIP() << "needs code page 950";
        }
        WinStrip::SetUp();
    }
};

TEST_F(CodePage950, ATrailByteIsNotABackslash)
{
    WriteWholeFile(folder_.File(L"big5.txt"), "\xA5\x5C\r\nC:\\dir\r\n\xA5\x5C\\\r\n");
    form_.Text(IDC_SOURCE_PATH, folder_.File(L"big5.txt"));
    form_.Text(IDC_WITH_PATH, folder_.File(L"hits.txt"));
    form_.Text(IDC_SEARCH_TEXT, L"\\");
    form_.Run();
    EXPECT_EQ(ReadWholeFile(folder_.File(L"hits.txt")), "C:\\dir\r\n\xA5\x5C\\\r\n");
    // The character itself, U+529F, is A5 5C in this code page.
    form_.Text(IDC_SEARCH_TEXT, L"\u529F");
    form_.Run();
    EXPECT_EQ(ReadWholeFile(folder_.File(L"hits.txt")), "\xA5\x5C\r\n\xA5\x5C\\\r\n");
}

TEST_F(CodePage950, TheLongestChineseSearchTextWorks)
{
    // 128 characters need 256 bytes and a terminator in code page 950.
    std::wstring text(128, L'\u529F');
    std::string ansi;
    for (int i = 0; i < 128; ++i) {
        ansi += "\xA5\x5C";
    }
    WriteWholeFile(folder_.File(L"big5.txt"), "x" + ansi + "\r\n" + ansi.substr(2) + "\r\n");
    form_.Text(IDC_SOURCE_PATH, folder_.File(L"big5.txt"));
    form_.Text(IDC_WITH_PATH, folder_.File(L"hits.txt"));
    form_.Text(IDC_SEARCH_TEXT, text);
    form_.Run();
    EXPECT_EQ(ReadWholeFile(folder_.File(L"hits.txt")), "x" + ansi + "\r\n");
}

// A character the code page lacks is told, never replaced by a look-alike
// or the default character that other text would then match.
TEST(WinPlatform, TellsATextTheCodePageCannotHold)
{
    struct Case {
        const wchar_t* text;
        bool held950;
        bool held1252;
    };
    const Case cases[] = {
        {L"ERROR ?", true, true},
        {L"\u529F", true, false},            // Traditional, in Big5
        {L"\u9519\u8BEF", false, false},     // Simplified, not in Big5
        {L"\uD55C", false, false},           // Hangul
        {L"x\U0001F600", false, false},      // an emoji
        {L"\u00E9", false, true},            // in 1252 only
        {L"\u0100", false, false},           // best fit would give 'A' in 1252
        {L"\u00AD", false, true},            // soft hyphen
    };
    const bool cp950 = GetACP() == 950;
    for (const Case& c : cases) {
        char out[64] = {};
        bool held = true;
        ASSERT_TRUE(PlatformToAnsi(c.text, out, sizeof out, &held)) << testing::PrintToString(std::wstring(c.text));
        EXPECT_EQ(held, cp950 ? c.held950 : c.held1252) << testing::PrintToString(std::wstring(c.text));
    }
    char big5[8] = {};
    bool held = false;
    if (cp950) {
        ASSERT_TRUE(PlatformToAnsi(L"\u529F", big5, sizeof big5, &held));
        EXPECT_EQ(std::string(big5), "\xA5\x5C");
    }
    // Too long for the buffer is a failure, not a text cut short.
    EXPECT_FALSE(PlatformToAnsi(L"abcdef", big5, 4, &held));
}

// The premise of the byte search: plain bytes compare, in the platform's
// own search, as themselves (and ignoring case, as ASCII letters fold).
TEST(SearchEquality, PlainBytesCompareAsThemselves)
{
    TextRules rules;
    PlatformGetTextRules(&rules);
    for (int a = 1; a < 256; ++a) {
        for (int b = 1; b < 256; ++b) {
            if (!rules.plain[a] || !rules.plain[b]) {
                continue;
            }
            const char line[2] = {static_cast<char>(a), 0};
            const char needle[2] = {static_cast<char>(b), 0};
            ASSERT_EQ(PlatformLineContains(line, needle, false), a == b) << a << " " << b;
            ASSERT_EQ(PlatformLineContains(line, needle, true), rules.fold[a] == rules.fold[b]) << a << " " << b;
        }
    }
}

// The line pass searches the whole block itself instead of calling StrStrA
// per line; here it must agree with StrStrA (and StrStrIA) on lines made to
// trip it up: bytes 0x80-0xFF, both cases, 0x5C trail bytes.
// Routes source, written to a file of folder, through the line pass read
// through a window of windowCapacity bytes into two new files through small
// sinks, and gives back what each received.
void RouteThroughFiles(ScratchDir& folder, const std::string& source, SourceEncoding encoding,
                       const SearchNeedles& needles, const TextRules& rules, uint64_t windowCapacity,
                       std::string* withBytes, std::string* withoutBytes)
{
    std::wstring sourcePath = folder.File(L"source.txt");
    std::wstring withPath = folder.File(L"with.txt");
    std::wstring withoutPath = folder.File(L"without.txt");
    WriteWholeFile(sourcePath, source);
    DeleteFileW(withPath.c_str());
    DeleteFileW(withoutPath.c_str());
    bool created = false;
    FileHandle sourceFile = PlatformOpenSource(sourcePath.c_str());
    FileHandle withFile = PlatformClaimTarget(withPath.c_str(), &created);
    FileHandle withoutFile = PlatformClaimTarget(withoutPath.c_str(), &created);
    ASSERT_NE(sourceFile, nullptr);
    std::vector<char> block(windowCapacity + kWindowPadding);
    std::vector<char> buffers(2 * 64);
    LineSink with;
    LineSink without;
    SinkInit(&without, withoutFile, buffers.data(), 64);
    SinkInit(&with, withFile, buffers.data() + 64, 64);
    ReadWindow window;
    WindowInit(&window, sourceFile, source.size(), block.data(), windowCapacity);
    EXPECT_TRUE(RouteLines(&window, encoding, &needles, &rules, &without, &with));
    WindowRelease(&window);
    SinkFlush(&without);
    SinkFlush(&with);
    PlatformClose(sourceFile);
    PlatformClose(withFile);
    PlatformClose(withoutFile);
    *withBytes = ReadWholeFile(withPath);
    *withoutBytes = ReadWholeFile(withoutPath);
}

// Routes a code-page source with the needle's code-page form alone (StrStrA's
// verdict is the one to meet) through a window of the given capacity, and
// expects the exports given.
void ExpectCodePageRouting(ScratchDir& folder, const std::string& source, const std::string& needle, bool ignoreCase,
                           const TextRules& rules, uint64_t windowCapacity, const std::string& expectedWith,
                           const std::string& expectedWithout, int round)
{
    SearchNeedles needles = {};
    needles.ignoreCase = ignoreCase;
    needles.ansiHeld = true;
    needles.utf8Held = false;
    needle.copy(needles.ansi, needle.size());
    std::string with;
    std::string without;
    RouteThroughFiles(folder, source, kEncodingAnsi, needles, rules, windowCapacity, &with, &without);
    ASSERT_EQ(with, expectedWith) << "round " << round << " needle " << testing::PrintToString(needle)
                                  << " ignore case " << ignoreCase;
    ASSERT_EQ(without, expectedWithout) << "round " << round;
}

TEST(SearchEquality, LinePassAgreesWithThePlatformSearch)
{
    ScratchDir folder;
    std::mt19937 rng(950);
    auto pick = [&rng](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
    const std::string alphabet = "aAbBeE\\\x5C\xA5\xE9\xC9\x81\xFE\x80\xFF \x40\x7E^?\t\x01\x7F\x88";
    TextRules rules;
    PlatformGetTextRules(&rules);
    int matches = 0;
    for (int round = 0; round < 400; ++round) {
        // Short lines dense with high bytes, or long ones where they stand
        // apart (the platform is then asked about the stretches around them).
        bool sparse = pick(2) == 0;
        std::vector<std::string> lines(1 + pick(30));
        for (std::string& line : lines) {
            for (size_t n = pick(sparse ? 120 : 24); n > 0; --n) {
                bool high = pick(sparse ? 25 : 3) == 0;
                line.push_back(high ? static_cast<char>(0x80 + pick(128))
                                    : sparse ? "abAB \\xyz"[pick(9)] : alphabet[pick(alphabet.size())]);
            }
        }
        const std::string& from = lines[pick(lines.size())];
        std::string needle;
        if (!from.empty() && pick(4) != 0) {
            size_t at = pick(from.size());
            needle = from.substr(at, 1 + pick(std::min<size_t>(6, from.size() - at)));
        } else {
            needle = alphabet.substr(pick(alphabet.size() - 1), 1);
        }
        bool ignoreCase = pick(3) == 0;

        std::string source;
        std::string expectedWith;
        std::string expectedWithout;
        for (const std::string& line : lines) {
            // An empty line must end in CR LF: after a bare LF it would vanish.
            source += line + (!line.empty() && pick(4) == 0 ? "\n" : "\r\n");
            bool match = !line.empty() && PlatformLineContains(line.c_str(), needle.c_str(), ignoreCase);
            (match ? expectedWith : expectedWithout) += line + "\r\n";
            matches += match;
        }

        // Small windows, so that lines the platform judges lie across edges.
        ASSERT_NO_FATAL_FAILURE(ExpectCodePageRouting(folder, source, needle, ignoreCase, rules, 1 + pick(300),
                                                      expectedWith, expectedWithout, round));
    }
    EXPECT_GT(matches, 100);   // the rounds did exercise matching lines
}

// Lines longer than the window: a plain one is searched piece by piece and
// then read again from the source into its export (the handle moved back
// and read on); one with a character only the whole line can be judged with
// (here a double-byte or accented one) is read again to be held whole. Each
// lands where the platform's own search says.
TEST(SearchEquality, LinesLongerThanTheWindowLandWhereThePlatformSearchSays)
{
    ScratchDir folder;
    TextRules rules;
    PlatformGetTextRules(&rules);
    std::mt19937 rng(65001);
    auto pick = [&rng](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
    const char* const others[] = {"\xA5\x40", "\xE9", "\x01"};
    for (int round = 0; round < 60; ++round) {
        const bool ignoreCase = pick(2) == 0;
        std::string source;
        std::string expectedWith;
        std::string expectedWithout;
        for (size_t n = 1 + pick(6); n > 0; --n) {
            std::string line(1 + pick(3000), 'q');
            if (pick(2) == 0) {
                line.insert(pick(line.size() + 1), pick(2) == 0 ? "needle" : "NEEDLE");
            }
            if (pick(3) == 0) {
                line.insert(pick(line.size() + 1), others[pick(3)]);
            }
            source += line + (pick(3) == 0 ? "\n" : "\r\n");
            const bool match = PlatformLineContains(line.c_str(), "needle", ignoreCase);
            (match ? expectedWith : expectedWithout) += line + "\r\n";
        }
        ASSERT_NO_FATAL_FAILURE(ExpectCodePageRouting(folder, source, "needle", ignoreCase, rules, 64 + pick(400),
                                                      expectedWith, expectedWithout, round));
    }
}

// A needle of plain bytes, short or as long as the field takes, over text of
// the code page's double-byte characters: ideographs (some with a trail
// byte that is a backslash or a letter), and beside them characters that
// are no barrier (full-width letters, Greek, symbols, a broken pair, which
// the platform reads as '?'), with ASCII words between. Windows that hold an ideograph are not asked of the
// platform, yet the lines found are the ones StrStrA / StrStrIA find. And
// a needle of such characters itself, found by its bytes in lines of
// barrier and plain characters.
TEST(SearchEquality, PlainNeedlesOverDoubleByteTextAgreeWithThePlatformSearch)
{
    ScratchDir folder;
    std::mt19937 rng(5109);
    auto pick = [&rng](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
    TextRules rules;
    PlatformGetTextRules(&rules);
    std::vector<std::string> characters;
    for (const wchar_t* c : {L"\u4E2D", L"\u529F", L"\u932F", L"\u8AA4", L"\u8A31", L"\u9910", L"\uFF21",
                             L"\uFF41", L"\u03A9", L"\u3002", L"\u3001", L"\u300C", L"\u2605"}) {
        char bytes[8] = {};
        BOOL lost = FALSE;
        int n = WideCharToMultiByte(CP_ACP, 0, c, 1, bytes, sizeof bytes, nullptr, &lost);
        if (n > 0 && !lost) {
            characters.push_back(std::string(bytes, static_cast<size_t>(n)));
        }
    }
    characters.push_back("\xA5");   // a lead byte without its trail
    const std::string words = "abkKse -'?\\";
    int matches = 0;
    // A window that cuts a character in two at its end: the platform reads
    // the lead byte alone as '?', so a needle ending in '?' matches a line
    // of whole ideographs that its bytes do not.
    if (characters.size() > 3) {
        const std::string line = characters[2] + characters[3];
        for (const std::string& needle : {characters[2] + "?", "x" + characters[2] + "?"}) {
            for (bool ignoreCase : {false, true}) {
                SearchNeedles needles = {};
                needles.ignoreCase = ignoreCase;
                needles.ansiHeld = true;
                needle.copy(needles.ansi, needle.size());
                std::string with;
                std::string without;
                RouteThroughFiles(folder, "x" + line + "\r\n", kEncodingAnsi, needles, rules, 64, &with, &without);
                bool holds = PlatformLineContains(("x" + line).c_str(), needle.c_str(), ignoreCase);
                EXPECT_EQ(with, holds ? "x" + line + "\r\n" : "") << testing::PrintToString(needle);
            }
        }
    }
    for (int round = 0; round < 200; ++round) {
        std::vector<std::string> lines(1 + pick(10));
        for (std::string& line : lines) {
            for (size_t n = pick(pick(4) == 0 ? 200 : 30); n > 0; --n) {
                line += pick(2) == 0 ? characters[pick(characters.size())] : std::string(1, words[pick(words.size())]);
            }
        }
        std::string needle;
        if (pick(2) == 0) {
            for (size_t n = 1 + pick(pick(3) == 0 ? 60 : 5); n > 0; --n) {
                needle.push_back(words[pick(words.size())]);
            }
        } else {
            // Double-byte characters and plain ones that are no letters: a
            // line of barriers and plain characters only is settled by the
            // needle's bytes; one with others is asked.
            for (size_t n = 1 + pick(4); n > 0; --n) {
                needle += pick(3) == 0 ? std::string(1, " -'?\\"[pick(5)]) : characters[pick(characters.size() - 1)];
            }
        }
        bool ignoreCase = pick(4) != 0;
        std::string source;
        std::string expectedWith;
        std::string expectedWithout;
        for (const std::string& line : lines) {
            source += line + "\r\n";
            bool match = !line.empty() && PlatformLineContains(line.c_str(), needle.c_str(), ignoreCase);
            (match ? expectedWith : expectedWithout) += line + "\r\n";
            matches += match;
        }
        // Small windows, so that lines the platform judges lie across edges.
        ASSERT_NO_FATAL_FAILURE(ExpectCodePageRouting(folder, source, needle, ignoreCase, rules, 1 + pick(300),
                                                      expectedWith, expectedWithout, round));
    }
    EXPECT_GT(matches, 50);
}

// Unicode lines: a UTF-16 source's lines must be routed as StrStrW and
// StrStrIW judge them, and a code-page source's lines as StrStrA/StrStrIA
// judge their bytes or, for well-formed UTF-8 lines with a byte above 0x7F,
// as StrStrW/StrStrIW judge their characters. Lines of letters the platform
// folds (or not) in either code page: ASCII, Latin-1, the Kelvin sign, the
// long s, dotless i, full-width letters, Chinese, control units, a
// surrogate pair.
std::string Utf8Of(const std::wstring& text)
{
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
    return out;
}

bool WellFormedUtf8WithHighByte(const std::string& line)
{
    bool high = false;
    for (char c : line) {
        high = high || static_cast<unsigned char>(c) >= 0x80;
    }
    return high && MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, line.data(), static_cast<int>(line.size()),
                                       nullptr, 0) > 0;
}

// Lines of random characters from alphabet (a third of them; the rest from
// common), routed in UTF-16 of both orders and as UTF-8 lines of the code
// page, against the platform's own search line by line. Needles come from
// the lines, or, when needleLetters is given, are made of its characters
// only (as long as the field takes, at times), searched ignoring case three
// times in four.
void ExpectAgreement(const std::wstring& alphabet, const std::wstring& common, const std::wstring& needleLetters,
                     unsigned seed)
{
    ScratchDir folder;
    std::mt19937 rng(seed);
    auto pick = [&rng](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
    TextRules rules;
    PlatformGetTextRules(&rules);
    int matches[3] = {0, 0, 0};
    for (int round = 0; round < 300; ++round) {
        std::vector<std::wstring> lines(1 + pick(12));
        for (std::wstring& line : lines) {
            for (size_t n = pick(pick(4) == 0 ? 300 : 30); n > 0; --n) {
                if (pick(40) == 0) {
                    line += L"\U0001F600";
                } else {
                    line.push_back(pick(3) == 0 ? alphabet[pick(alphabet.size())] : common[pick(common.size())]);
                }
            }
        }
        const std::wstring& from = lines[pick(lines.size())];
        std::wstring search;
        if (!needleLetters.empty() && pick(3) == 0) {
            // Most of them from the lines, that they be found.
            for (size_t n = 1 + pick(pick(3) == 0 ? 60 : 6); n > 0; --n) {
                search.push_back(needleLetters[pick(needleLetters.size())]);
            }
        } else if (from.size() > 1 && pick(4) != 0) {
            size_t at = pick(from.size() - 1);
            search = from.substr(at, 1 + pick(std::min<size_t>(5, from.size() - at)));
        } else {
            search = alphabet.substr(pick(alphabet.size() - 1), 1 + pick(2));
        }
        bool ignoreCase = needleLetters.empty() ? pick(2) == 0 : pick(4) != 0;
        SearchNeedles needles;
        ASSERT_TRUE(MakeSearchNeedles(search.c_str(), ignoreCase, &needles));
        const std::wstring needle = needles.utf16;

        for (int form = 0; form < 3; ++form) {   // UTF-16 LE, UTF-16 BE, the code page with UTF-8 lines
            std::string source;
            std::string expectedWith;
            std::string expectedWithout;
            for (const std::wstring& line : lines) {
                bool holds;
                std::string bytes;
                std::string lineEnd;
                if (form < 2) {
                    holds = !line.empty() && needle.find(L'\r') == std::wstring::npos &&
                            (ignoreCase ? StrStrIW(line.c_str(), needle.c_str()) : StrStrW(line.c_str(), needle.c_str()));
                    for (wchar_t u : line + L"\r\n") {
                        char low = static_cast<char>(u & 0xFF);
                        char high = static_cast<char>(u >> 8);
                        bytes.push_back(form == 0 ? low : high);
                        bytes.push_back(form == 0 ? high : low);
                    }
                } else {
                    std::string text = Utf8Of(line);
                    bool byCodePage = needles.ansiHeld && !text.empty() &&
                                      PlatformLineContains(text.c_str(), needles.ansi, ignoreCase);
                    bool byUtf8 = needles.utf8Held && WellFormedUtf8WithHighByte(text) &&
                                  (ignoreCase ? StrStrIW(line.c_str(), needle.c_str()) != nullptr
                                              : text.find(needles.utf8) != std::string::npos);
                    holds = byCodePage || byUtf8;
                    bytes = text + "\r\n";
                }
                source += bytes;
                (holds ? expectedWith : expectedWithout) += bytes;
                matches[form] += holds;
            }
            const SourceEncoding encoding = form == 0 ? kEncodingUtf16Le : form == 1 ? kEncodingUtf16Be : kEncodingAnsi;
            std::string with;
            std::string without;
            RouteThroughFiles(folder, source, encoding, needles, rules, 1 + pick(400), &with, &without);
            ASSERT_EQ(with, expectedWith)
                << "round " << round << " form " << form << " needle " << testing::PrintToString(Utf8Of(needle))
                << " ignore case " << ignoreCase;
            ASSERT_EQ(without, expectedWithout) << "round " << round << " form " << form;
        }
    }
    for (int form = 0; form < 3; ++form) {
        EXPECT_GT(matches[form], 100) << "form " << form;
    }
}

TEST(SearchEquality, UnicodeLinesAgreeWithTheWideSearch)
{
    ExpectAgreement(L"aAbBkKsSiIe \t\x01\x7F-\u00E9\u00C9\u00DF\u212A\u017F\u0131\u0130"
                    L"\uFF21\uFF41\u4E2D\u529F\u00AD\u0301\u1AB0\u1DC0\u200D\u20D0\uFE0F\uFE20",
                    L"abkse -", L"", 1252);
}

// Needles of plain characters, ideographs, kana and Hangul syllables,
// ignoring case, over Chinese, Japanese and Korean text: the stretches
// between such characters are judged by themselves, and lines of nothing
// else by their units, and what is found is what the platform finds, with
// the characters at the edges of those ranges, and those next to them that
// are no such barrier (the prolonged sound mark, the ideographic space,
// full-width letters, a compatibility ideograph, a Kangxi radical, a soft
// hyphen, a combining accent, the hexagrams right after the ideographs of
// U+3400, control characters), beside them. Question marks too: the code
// page reads UTF-8 bytes as broken pairs or a lead byte alone, which
// compare equal to one, and as end-user-defined characters.
TEST(SearchEquality, PlainNeedlesOverIdeographsAgreeWithTheWideSearch)
{
    const std::wstring barriers = L"\u4E00\u9FFF\u3400\u4DBF\u3041\u3096\u30A1\u30FA\uAC00\uD7A3\u4E2D"
                                  L"\u529F\u8C48\u3001\u3002\u300C\u300F";
    ExpectAgreement(barriers + L"\u30FC\u30FB\u3000\u3099\uFF21\uFF41\uFF0C\u00AD\u0301\u212A\u00E9\u9FA5"
                               L"\uF900\u2F00\u3003\u300B\u4DC0\u4DFF\x01\x7F",
                    L"abkKse -'?\u4E00\u529F", L"abkKse -'?" + barriers, 950);
}

// UTF-8 text read in code page 950: a lead byte cut off by the end of the
// bytes compared reads as '?', and so does a lead byte with a byte that
// trails none of its characters; "abc" and the first byte of an ideograph
// is "abc?" to the platform's search. Lines where that is all that matches,
// at the line's start and after other stretches, beside end-user-defined
// characters and a 0x80 byte alone, each needle against the platform's
// verdict on the whole line. The same for Chinese search texts over Big5
// lines with broken pairs.
TEST(SearchEquality, ALeadByteReadAloneComparesAsWhatThePlatformReadsItAs)
{
    if (GetACP() != 950) {
        GTEST_SKIP() << "needs code page 950";
    }
    ScratchDir folder;
    TextRules rules;
    PlatformGetTextRules(&rules);
    const std::vector<std::wstring> lines = {
        L"abc\u932F\u8AA4", L"xabc\u932F", L"abc \u932F", L"\u932Fabc\u932F", L"ab\u932F", L"abc\u4E00 x",
        L"\u4E00abc\u4E00", L"abcd\u932F", L"abc", L"abc?", L"\u932F\u8AA4 abc", L"aBc\u4E00\u4E00abc\u932F",
        L"\u0080abc\u932F", L"12 abc\u9AD4",
    };
    // And Big5 lines: U+529F (A5 5C) beside broken pairs, a 0x80 byte and
    // a lead byte with a byte that trails nothing, for caseless needles.
    const std::vector<std::string> big5 = {"\x80\xA5\x5C\x81\x30", "x\xA5\x5C\xE9\x8C-", "\x80-\xA5\x5C\xFE",
                                           "\xA5\x5C?\xA5\x5C\xC6\x20"};
    std::string source;
    std::vector<std::string> texts;
    for (const std::wstring& line : lines) {
        texts.push_back(Utf8Of(line));
    }
    texts.insert(texts.end(), big5.begin(), big5.end());
    for (const std::string& text : texts) {
        source += text + "\r\n";
    }
    for (const wchar_t* search : {L"abc?", L"ABC?", L"bc?", L"c?", L"abc??", L"abc?x", L"?ab", L"abc",
                                  L"\u529F?", L"?\u529F", L"-\u529F?", L"\u529F?-"}) {
        for (bool ignoreCase : {false, true}) {
            SearchNeedles needles;
            ASSERT_TRUE(MakeSearchNeedles(search, ignoreCase, &needles));
            std::string expectedWith;
            std::string expectedWithout;
            for (size_t i = 0; i < texts.size(); ++i) {
                const std::string& text = texts[i];
                bool holds = PlatformLineContains(text.c_str(), needles.ansi, ignoreCase) ||
                             (i < lines.size() && WellFormedUtf8WithHighByte(text) &&
                              (ignoreCase ? StrStrIW(lines[i].c_str(), needles.utf16) != nullptr
                                          : text.find(needles.utf8) != std::string::npos));
                (holds ? expectedWith : expectedWithout) += text + "\r\n";
            }
            std::string with;
            std::string without;
            RouteThroughFiles(folder, source, kEncodingAnsi, needles, rules, 4096, &with, &without);
            EXPECT_EQ(with, expectedWith) << testing::PrintToString(std::wstring(search)) << " " << ignoreCase;
            EXPECT_EQ(without, expectedWithout);
        }
    }
    // That the lines above show what they are for.
    EXPECT_TRUE(PlatformLineContains(Utf8Of(L"xabc\u932F").c_str(), "abc?", false));
    EXPECT_TRUE(PlatformLineContains("\x80\xA5\x5C\x81\x30", "\xA5\x5C?", true));
}

// Code page 950 reads two pairs as one ideograph: A2 CC and A4 51 are both
// U+5341, A2 CE and A4 CA both U+5345. A search text of one, a line of the
// other: the line's pair is no other ideograph, and holds the text.
TEST(SearchEquality, TwoPairsOfOneIdeographCompareEqual)
{
    if (GetACP() != 950) {
        GTEST_SKIP() << "needs code page 950";
    }
    ScratchDir folder;
    TextRules rules;
    PlatformGetTextRules(&rules);
    const std::pair<const wchar_t*, std::string> cases[] = {{L"\u5341", "\xA2\xCC"}, {L"\u5341", "x\xA2\xCCy"},
                                                            {L"-\u5341", "-\xA2\xCC"}, {L"\u5345", "\xA2\xCE"},
                                                            {L"\u5341\u5341", "\xA4\x51\xA2\xCC"}};
    int held = 0;
    for (const auto& [search, line] : cases) {
        for (bool ignoreCase : {false, true}) {
            SearchNeedles needles;
            ASSERT_TRUE(MakeSearchNeedles(search, ignoreCase, &needles));
            const bool holds = PlatformLineContains(line.c_str(), needles.ansi, ignoreCase);
            held += holds;
            std::string with;
            std::string without;
            RouteThroughFiles(folder, line + "\r\n", kEncodingAnsi, needles, rules, 4096, &with, &without);
            EXPECT_EQ(with, holds ? line + "\r\n" : "") << testing::PrintToString(line) << " " << ignoreCase;
        }
    }
    EXPECT_GT(held, 0);
}

// Ignoring case, a line holds the text as typed by the platform's own
// search. The platform's case table gives some letters capitals its
// comparison weighs apart from them, or not at all (under Wine: Georgian,
// Cherokee and some phonetic letters): the text is not upper-cased to those,
// so a letter finds itself, and not a line of ignorable characters. A
// letter beyond Latin-1 is no case of the one whose units it shares but
// for the bit of case of a byte (\u0142 of \u0162). In UTF-16, and as UTF-8
// lines of the code page.
TEST(SearchEquality, IgnoringCaseATextFindsWhatThePlatformFindsForItAsTyped)
{
    ScratchDir folder;
    TextRules rules;
    PlatformGetTextRules(&rules);
    const wchar_t* searches[] = {L"\u10D0", L"\u0252", L"\uAB70", L"ab\u10D0", L"\u00E9", L"\u00E6\u10D0", L"\u0163ka"};
    const wchar_t* lines[] = {L"\u10D0",  L"x\u0252y",  L"\uAB70", L"\u13A0",       L"x\u00AD",  L"\u200D",
                              L"ab\u00AD", L"AB\u10D0", L"\u1C90", L"\u00C9t\u00E9", L"Ae\u30FC", L"\u00C6\u10D0",
                              L"\u0142ka", L"x \u0162KA", L"\u0163ka"};
    int held = 0;
    for (const wchar_t* search : searches) {
        SearchNeedles needles;
        ASSERT_TRUE(MakeSearchNeedles(search, true, &needles));
        std::string source16, expected16, source8, expected8;
        for (const wchar_t* line : lines) {
            const bool holds = StrStrIW(line, search) != nullptr;
            held += holds;
            std::string bytes;
            for (wchar_t u : std::wstring(line) + L"\r\n") {
                bytes.push_back(static_cast<char>(u & 0xFF));
                bytes.push_back(static_cast<char>(u >> 8));
            }
            source16 += bytes;
            expected16 += holds ? bytes : "";
            const std::string text = Utf8Of(line);
            const bool byCodePage = needles.ansiHeld && PlatformLineContains(text.c_str(), needles.ansi, true);
            source8 += text + "\r\n";
            expected8 += byCodePage || (WellFormedUtf8WithHighByte(text) && holds) ? text + "\r\n" : "";
        }
        std::string with;
        std::string without;
        RouteThroughFiles(folder, source16, kEncodingUtf16Le, needles, rules, 4096, &with, &without);
        EXPECT_EQ(with, expected16) << "UTF-16, search " << Utf8Of(search);
        RouteThroughFiles(folder, source8, kEncodingAnsi, needles, rules, 4096, &with, &without);
        EXPECT_EQ(with, expected8) << "UTF-8 lines, search " << Utf8Of(search);
    }
    EXPECT_GT(held, 5);
}

// Ideographs a platform's tables are too old to weigh are ignored by its
// search (Wine: U+4DB6 to U+4DBF, U+9FCC to U+9FFF), and so are no barrier:
// beside an expansion (ß is "ss", æ "ae", ﬁ "fi") a span of the text's
// length compares equal to it, and two of them compare equal to each other.
// Ignoring case, in UTF-16 and as UTF-8 lines of the code page.
TEST(SearchEquality, IdeographsThePlatformIgnoresAreNoBarriers)
{
    ScratchDir folder;
    TextRules rules;
    PlatformGetTextRules(&rules);
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"ss", L"\u00DF\u4DBF"},      {L"aeb", L"\u00E6\u9FE1b"},           {L"fix", L"x\uFB01\u4DBFxy"},
        {L"\u00E9aeb", L"\u00E9\u00E6\u9FE1b"}, {L"\u9FCC", L"\u4DB6"}, {L"-\u9FCC-", L"-\u4DB6-"}};
    int held = 0;
    for (const auto& [search, line] : cases) {
        SearchNeedles needles;
        ASSERT_TRUE(MakeSearchNeedles(search, true, &needles));
        const bool holds = StrStrIW(line, needles.utf16) != nullptr;
        held += holds;
        std::string bytes;
        for (wchar_t u : std::wstring(line) + L"\r\n") {
            bytes.push_back(static_cast<char>(u & 0xFF));
            bytes.push_back(static_cast<char>(u >> 8));
        }
        std::string with;
        std::string without;
        RouteThroughFiles(folder, bytes, kEncodingUtf16Le, needles, rules, 4096, &with, &without);
        EXPECT_EQ(with, holds ? bytes : "") << "UTF-16: " << Utf8Of(line);
        const std::string text = Utf8Of(line);
        RouteThroughFiles(folder, text + "\r\n", kEncodingAnsi, needles, rules, 4096, &with, &without);
        EXPECT_EQ(with, holds ? text + "\r\n" : "") << "UTF-8: " << text;
    }
    EXPECT_GT(held, 0);
}

}  // namespace
