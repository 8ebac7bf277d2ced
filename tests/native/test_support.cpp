#include "tests/native/test_support.h"

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

namespace {

void RemoveTree(const std::string& path)
{
    DIR* dir = opendir(path.c_str());
    if (dir != nullptr) {
        while (dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name == "." || name == "..") {
                continue;
            }
            std::string child = path + "/" + name;
            struct stat st;
            if (lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
                RemoveTree(child);
            } else {
                unlink(child.c_str());
            }
        }
        closedir(dir);
    }
    rmdir(path.c_str());
}

}  // namespace

ScratchDir::ScratchDir()
{
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/quorvane-test-XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
}

ScratchDir::~ScratchDir()
{
    RemoveTree(path_);
}

// A trash of the tests' own: a run's previous versions never reach the
// user's.
const ScratchDir& TestTrash()
{
    static ScratchDir trash;
    PosixSetTrashFolder(trash.path());
    return trash;
}

namespace {
const bool kTrashSet = (TestTrash(), true);
}

void EmptyTrash()
{
    for (const char* sub : {"/files/", "/info/"}) {
        for (const std::string& name : FolderEntries(TestTrash().path() + sub)) {
            unlink((TestTrash().path() + sub + name).c_str());
        }
    }
}

std::vector<std::string> TrashedFiles()
{
    std::vector<std::string> paths;
    for (const std::string& name : FolderEntries(TestTrash().path() + "/files")) {
        paths.push_back(TestTrash().path() + "/files/" + name);
    }
    return paths;
}

std::vector<std::string> ScratchDir::Entries() const
{
    return FolderEntries(path_);
}

std::vector<std::string> FolderEntries(const std::string& path)
{
    std::vector<std::string> names;
    DIR* dir = opendir(path.c_str());
    while (dir != nullptr) {
        dirent* entry = readdir(dir);
        if (entry == nullptr) {
            break;
        }
        std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    if (dir != nullptr) {
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string AsciiToUtf16Le(const std::string& ascii)
{
    std::string out;
    for (char c : ascii) {
        out += c;
        out += '\0';
    }
    return out;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteFile(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool FileExists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

StandInCollation::StandInCollation(std::initializer_list<PosixCollation::Alike> alike)
{
    PosixCollation plan;
    size_t n = 0;
    for (const PosixCollation::Alike& pair : alike) {
        if (n < sizeof plan.alike / sizeof plan.alike[0]) {
            plan.alike[n++] = pair;
        }
    }
    *PosixCollationPlan() = plan;
}

TextRules AsciiRules()
{
    TextRules rules;
    PlatformGetTextRules(&rules);
    return rules;
}

TextRules DoubleByteRules()
{
    TextRules rules = AsciiRules();
    for (int c = 0x81; c <= 0xFE; ++c) {
        rules.leadByte[c] = 1;
    }
    rules.hasLeadBytes = true;
    rules.utf8CodePage = false;
    return rules;
}

TextRules PrintablePlainRules()
{
    TextRules rules = AsciiRules();
    for (int c = 0; c < 256; ++c) {
        rules.plain[c] = (c == '\t' || (c >= 0x20 && c <= 0x7E)) ? 1 : 0;
    }
    rules.allPlain = false;
    rules.utf8CodePage = false;
    return rules;
}

namespace {

void CopyText(const std::string& from, char* to, size_t capacity)
{
    size_t n = std::min(from.size(), capacity - 1);
    std::memcpy(to, from.data(), n);
    to[n] = 0;
}

}  // namespace

SearchNeedles CodePageNeedles(const std::string& ansi, bool ignoreCase)
{
    SearchNeedles needles = AllNeedles(ansi, "", u"", ignoreCase);
    needles.utf8Held = false;
    return needles;
}

SearchNeedles AllNeedles(const std::string& ansi, const std::string& utf8, const std::u16string& utf16,
                         bool ignoreCase, bool ansiHeld)
{
    SearchNeedles needles;
    std::memset(&needles, 0, sizeof needles);
    needles.ignoreCase = ignoreCase;
    needles.ansiHeld = ansiHeld && !ansi.empty();
    CopyText(needles.ansiHeld ? ansi : std::string(), needles.ansi, kNeedleCapacity);
    needles.utf8Held = !utf8.empty();
    CopyText(utf8, needles.utf8, kNeedleCapacity);
    size_t n = std::min(utf16.size(), static_cast<size_t>(kSearchCapacity - 1));
    for (size_t i = 0; i < n; ++i) {
        needles.utf16[i] = utf16[i];
    }
    needles.utf16[n] = 0;
    return needles;
}

namespace {

// The lines an export holds: each ends with CR LF in its encoding's units,
// and no line holds a CR or an LF of its own.
uint64_t LinesWritten(const std::string& output, SourceEncoding encoding)
{
    const std::string lineEnd = encoding == kEncodingUtf16Le   ? std::string("\r\0\n\0", 4)
                                : encoding == kEncodingUtf16Be ? std::string("\0\r\0\n", 4)
                                                               : std::string("\r\n");
    const size_t step = lineEnd.size() == 4 ? 2 : 1;
    uint64_t lines = 0;
    for (size_t i = 0; i + lineEnd.size() <= output.size(); i += step) {
        lines += output.compare(i, lineEnd.size(), lineEnd) == 0 ? 1 : 0;
    }
    return lines;
}

// Routes the first size bytes of a file that holds all of source.
WindowRun RouteFileThroughWindow(const std::string& source, uint64_t size, SourceEncoding encoding,
                                 const SearchNeedles& needles, const TextRules& rules, uint32_t sinkCapacity,
                                 bool withoutOn, bool withOn, uint64_t windowCapacity)
{
    ScratchDir dir;
    WriteFile(dir.File("source"), source);
    std::u16string sourcePath = Utf8ToUtf16(dir.File("source"));
    std::u16string withoutPath = Utf8ToUtf16(dir.File("without"));
    std::u16string withPath = Utf8ToUtf16(dir.File("with"));
    bool created = false;
    FileHandle sourceFile = PlatformOpenSource(sourcePath.c_str());
    EXPECT_NE(sourceFile, nullptr);
    FileHandle withoutFile = withoutOn ? PlatformClaimTarget(withoutPath.c_str(), &created) : nullptr;
    FileHandle withFile = withOn ? PlatformClaimTarget(withPath.c_str(), &created) : nullptr;

    // The window holds exactly two zero bytes after its valid data; in the
    // sanitizer build, reading further is a fault it reports.
    std::vector<char> block(windowCapacity + kWindowPadding);
    std::vector<char> buffers(2 * static_cast<size_t>(sinkCapacity));

    LineSink without;
    LineSink with;
    SinkInit(&without, withoutFile, buffers.data(), sinkCapacity);
    SinkInit(&with, withFile, buffers.data() + sinkCapacity, sinkCapacity);
    ReadWindow window;
    WindowInit(&window, sourceFile, size, block.data(), windowCapacity);
    ContentSum sum;
    SumInit(&sum);
    WindowSum(&window, &sum);
    volatile uint64_t progress = 0;
    WindowWatch(&window, nullptr, &progress);
    WindowRun run;
    run.read = RouteLines(&window, encoding, &needles, &rules, &without, &with);
    if (run.read) {
        // However often a byte was read, it was summed and counted once.
        ContentSum once;
        SumInit(&once);
        SumAdd(&once, source.data(), size);
        EXPECT_EQ(SumValue(&sum), SumValue(&once)) << "the sum of what was read";
        EXPECT_EQ(progress, size) << "bytes read, as told";
    }
    run.grew = window.grown != nullptr;
    run.capacity = window.capacity;
    WindowRelease(&window);
    SinkFlush(&without);
    SinkFlush(&with);
    PlatformClose(sourceFile);
    PlatformClose(withoutFile);
    PlatformClose(withFile);

    run.routed.without = withoutOn ? ReadFile(dir.File("without")) : "";
    run.routed.with = withOn ? ReadFile(dir.File("with")) : "";
    run.withoutLines = without.lines;
    run.withLines = with.lines;

    // Every run checks the counts: a sink counts the lines it writes, and
    // an export that is off counts what it would have written.
    const SourceEncoding kinds[2] = {encoding, encoding};
    WindowRun whole = withoutOn && withOn ? run
                                          : RouteFileThroughWindow(source, size, kinds[0], needles, rules,
                                                                   sinkCapacity, true, true, windowCapacity);
    EXPECT_EQ(run.withoutLines, LinesWritten(whole.routed.without, encoding)) << "without-string lines counted";
    EXPECT_EQ(run.withLines, LinesWritten(whole.routed.with, encoding)) << "with-string lines counted";
    return run;
}

}  // namespace

WindowRun RouteThroughWindow(const std::string& source, uint64_t size, const std::string& needle,
                             bool ignoreCase, const TextRules& rules, uint32_t sinkCapacity,
                             bool withoutOn, bool withOn, uint64_t windowCapacity)
{
    return RouteFileThroughWindow(source, size, kEncodingAnsi, CodePageNeedles(needle, ignoreCase), rules,
                                  sinkCapacity, withoutOn, withOn, windowCapacity);
}

WindowRun RouteThroughWindow(const std::string& source, SourceEncoding encoding, const SearchNeedles& needles,
                             const TextRules& rules, uint32_t sinkCapacity, bool withoutOn, bool withOn,
                             uint64_t windowCapacity)
{
    return RouteFileThroughWindow(source, source.size(), encoding, needles, rules, sinkCapacity, withoutOn, withOn,
                                  windowCapacity);
}

Routed RouteToStrings(const std::string& source, const std::string& needle, bool ignoreCase,
                      const TextRules& rules, uint32_t sinkCapacity, bool withoutOn, bool withOn,
                      uint64_t windowCapacity)
{
    WindowRun run = RouteThroughWindow(source, source.size(), needle, ignoreCase, rules, sinkCapacity,
                                       withoutOn, withOn, windowCapacity);
    EXPECT_TRUE(run.read);
    return run.routed;
}

namespace {

char Upper(char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
}

// What the platform's search compares c as: the stand-in collation's byte
// for it, if any, then folded when ignoring case.
char Collated(char c, bool ignoreCase)
{
    for (const PosixCollation::Alike& alike : PosixCollationPlan()->alike) {
        if (alike.from != 0 && static_cast<unsigned char>(c) == alike.from) {
            c = static_cast<char>(alike.as);
        }
    }
    return ignoreCase ? Upper(c) : c;
}

// The platform's search: try the needle at each character start.
bool LineContains(const std::string& line, const std::string& needle, bool ignoreCase,
                  const TextRules& rules)
{
    size_t i = 0;
    while (i + needle.size() <= line.size()) {
        bool same = true;
        for (size_t k = 0; k < needle.size() && same; ++k) {
            same = Collated(line[i + k], ignoreCase) == Collated(needle[k], ignoreCase);
        }
        if (same) {
            return true;
        }
        bool lead = rules.leadByte[static_cast<unsigned char>(line[i])] != 0;
        i += (lead && i + 1 < line.size()) ? 2 : 1;
    }
    return false;
}

// The lines of source, cut one at a time: a line ends at CR, LF or NUL, the
// LF bytes right after a line's end are skipped, an empty source is one
// empty line.
std::vector<std::string> ReferenceLines(const std::string& source)
{
    std::string b = source + std::string(2, '\0');
    auto isEnd = [](char c) { return c == '\r' || c == '\n' || c == '\0'; };
    std::vector<std::string> lines;
    size_t i = 0;
    do {
        size_t start = i;
        while (!isEnd(b[i])) {
            ++i;
        }
        lines.push_back(b.substr(start, i - start));
        ++i;
        while (b[i] == '\n') {
            ++i;
        }
    } while (i < source.size());
    return lines;
}

}  // namespace

uint64_t WindowBound(const std::string& source, uint64_t firstWindow)
{
    size_t longest = 0;
    for (const std::string& line : ReferenceLines(source)) {
        longest = std::max(longest, line.size());
    }
    uint64_t bound = firstWindow;
    while (bound <= longest) {
        bound *= 2;
    }
    return bound;
}

Routed ReferenceRoute(const std::string& source, const std::string& needle, bool ignoreCase,
                      const TextRules& rules)
{
    Routed out;
    for (const std::string& line : ReferenceLines(source)) {
        (LineContains(line, needle, ignoreCase, rules) ? out.with : out.without) += line + "\r\n";
    }
    return out;
}

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

namespace {

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

// Well-formed UTF-8, checked the long way: each sequence decoded, its
// continuation bytes counted, overlong forms, surrogates and code points
// past U+10FFFF refused.
bool ReferenceIsUtf8(const std::string& line)
{
    size_t i = 0;
    while (i < line.size()) {
        unsigned char c = static_cast<unsigned char>(line[i]);
        size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (n == 0 || i + n > line.size()) {
            return false;
        }
        uint32_t cp = n == 1 ? c : c & (0x7F >> n);
        for (size_t k = 1; k < n; ++k) {
            unsigned char t = static_cast<unsigned char>(line[i + k]);
            if ((t & 0xC0) != 0x80) {
                return false;
            }
            cp = (cp << 6) | (t & 0x3F);
        }
        const uint32_t least[5] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < least[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000)) {
            return false;
        }
        i += n;
    }
    return true;
}

bool HasHighByte(const std::string& line)
{
    for (char c : line) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            return true;
        }
    }
    return false;
}

// The reference of a code-page source: a line holds the text by the code
// page's rules (when it holds the text at all), or, being well-formed UTF-8
// with a byte above 0x7F, by its UTF-8 form; ignoring case, by the
// platform's wide search over the line's characters (on a UTF-8 code page
// too: the code page's search folds only ASCII letters).
bool ReferenceHolds(const std::string& line, const SearchNeedles& needles, const TextRules& rules)
{
    if (needles.ansiHeld && ReferenceRoute(line, needles.ansi, needles.ignoreCase, rules).with.size() > 0 &&
        !line.empty()) {
        return true;
    }
    if ((rules.utf8CodePage && !needles.ignoreCase) || !needles.utf8Held || !HasHighByte(line) || !ReferenceIsUtf8(line)) {
        return false;
    }
    if (!needles.ignoreCase) {
        return line.find(needles.utf8) != std::string::npos;
    }
    std::u16string units = Utf8ToUtf16(line);
    return PlatformWideLineContains(units.c_str(), needles.utf16, true);
}

}  // namespace

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

// The lines of a code-page source as ReferenceRoute cuts them: one line at
// a time through the reference, each judged by ReferenceHolds.
Routed ReferenceRouteUtf8(const std::string& source, const SearchNeedles& needles, const TextRules& rules)
{
    Routed out;
    for (const std::string& line : ReferenceLines(source)) {
        (ReferenceHolds(line, needles, rules) ? out.with : out.without) += line + "\r\n";
    }
    return out;
}

