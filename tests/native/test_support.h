// Shared helpers of the native suites: a scratch folder, file access, the
// line pass run into strings, and a reference model of the line pass.
#ifndef QUORVANE_TEST_SUPPORT_H
#define QUORVANE_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <ostream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "filter/pass/read_window.h"
#include "filter/run/route_lines.h"
#include "platform/posix/stand_ins.h"

// A fresh folder, removed with its content when the object goes.
// Random choices from a fixed seed, the same on every machine, for the
// generators of the property tests.
class Picker {
public:
    explicit Picker(uint32_t seed) : rng_(seed) {}
    // A number in [0, n), 0 when n is 0.
    size_t Pick(size_t n) { return n == 0 ? 0 : std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }

private:
    std::mt19937 rng_;
};

class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    const std::string& path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }
    // Names of the entries in the folder, sorted.
    std::vector<std::string> Entries() const;

private:
    std::string path_;
};

// The trash PlatformRecycle moves files to in the tests (on the main
// thread): a scratch folder of its own.
const ScratchDir& TestTrash();
// Empties the test trash: its files and their notes.
void EmptyTrash();
// The paths of the files in the test trash, sorted.
std::vector<std::string> TrashedFiles();

// Names of the entries in a folder, sorted.
std::vector<std::string> FolderEntries(const std::string& path);

std::string ReadFile(const std::string& path);
// ASCII text as UTF-16 LE bytes.
std::string AsciiToUtf16Le(const std::string& ascii);
void WriteFile(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);

// The two exports of one pass.
struct Routed {
    std::string without;
    std::string with;
};
inline bool operator==(const Routed& a, const Routed& b)
{
    return a.without == b.without && a.with == b.with;
}

inline void PrintTo(const Routed& r, std::ostream* os)
{
    *os << "{without: " << testing::PrintToString(r.without) << ", with: " << testing::PrintToString(r.with) << "}";
}

// The POSIX platform's stand-in collation in force for as long as the object
// lives: each byte `from` is searched as the byte `as`.
class StandInCollation {
public:
    StandInCollation(std::initializer_list<PosixCollation::Alike> alike);
    ~StandInCollation() { *PosixCollationPlan() = PosixCollation(); }
};

// Text rules of the POSIX platform (no lead bytes, ASCII folding, UTF-8 as
// the code page).
TextRules AsciiRules();
// Rules of a double-byte code page whose lead bytes are 0x81..0xFE.
TextRules DoubleByteRules();
// Rules where only printable ASCII and the tab are plain, as on Windows:
// lines with other bytes are judged by PlatformLineContains. Not UTF-8.
TextRules PrintablePlainRules();

// Search text forms for a needle given as code-page bytes only: it has no
// UTF-8 form, so lines are judged by the code page's rules alone.
SearchNeedles CodePageNeedles(const std::string& ansi, bool ignoreCase);
// Every form given: the code page's bytes (held unless ansiHeld is false),
// UTF-8 and UTF-16.
SearchNeedles AllNeedles(const std::string& ansi, const std::string& utf8, const std::u16string& utf16,
                         bool ignoreCase, bool ansiHeld = true);

// Runs RouteLines over source, written to a real file and read through a
// window of the given capacity, into real files, with output buffers of the
// given capacity. Either export can be left out.
Routed RouteToStrings(const std::string& source, const std::string& needle, bool ignoreCase,
                      const TextRules& rules, uint32_t sinkCapacity = 1 << 16, bool withoutOn = true,
                      bool withOn = true, uint64_t windowCapacity = 1 << 16);

// The same through a window of the given capacity, reading size bytes of
// the source (a file written with all of source), and what became of the
// window.
struct WindowRun {
    bool read = false;      // RouteLines read the source whole
    bool grew = false;
    uint64_t capacity = 0;  // the window's capacity at the end
    Routed routed;
    // The lines each sink counted, written or (its export off) not.
    uint64_t withoutLines = 0;
    uint64_t withLines = 0;
};
WindowRun RouteThroughWindow(const std::string& source, uint64_t size, const std::string& needle,
                             bool ignoreCase, const TextRules& rules, uint32_t sinkCapacity,
                             bool withoutOn, bool withOn, uint64_t windowCapacity);
// The same for a source in the given encoding (source holds no byte order
// mark: the window starts after it) and search text in all its forms.
WindowRun RouteThroughWindow(const std::string& source, SourceEncoding encoding, const SearchNeedles& needles,
                             const TextRules& rules, uint32_t sinkCapacity, bool withoutOn, bool withOn,
                             uint64_t windowCapacity);

// The most a window that starts at firstWindow bytes may grow to on this
// source: its longest line rounded up to the next doubling of firstWindow
// (a window grows only when one line fills it).
uint64_t WindowBound(const std::string& source, uint64_t firstWindow);

// What the line pass must produce, computed the plain way: cut one line at
// a time, search it the way the platform does (character by character,
// through the stand-in collation in force, ASCII folding when ignoring
// case), write it with CR LF.
Routed ReferenceRoute(const std::string& source, const std::string& needle, bool ignoreCase,
                      const TextRules& rules);

// A UTF-16 text's bytes in either byte order.
std::string Encode(const std::u16string& units, bool bigEndian);

// What a UTF-16 source (its bytes after the mark) must give: lines cut at
// units as the bytes of any other source are, each judged whole by the
// platform's wide search, written with CR LF units; an odd last byte after
// the last line.
Routed ReferenceRouteUtf16(const std::string& bytes, const std::u16string& needle, bool ignoreCase, bool bigEndian);

// The most a window may grow to on a UTF-16 source: it grows only while one
// line, and half a unit after it, fill it whole.
uint64_t Utf16WindowBound(const std::string& bytes, bool bigEndian, uint64_t firstWindow);

// What a code-page source must give with the search text in all its forms:
// a line holds it by the code page's rules, or, being well-formed UTF-8
// with a byte above 0x7F (and the code page not UTF-8), by its UTF-8 form;
// ignoring case, by the platform's wide search over its characters.
Routed ReferenceRouteUtf8(const std::string& source, const SearchNeedles& needles, const TextRules& rules);

#endif
