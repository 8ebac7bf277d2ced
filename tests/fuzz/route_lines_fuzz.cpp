// libFuzzer target: the line pass against the reference models, and the
// window within its longest line rounded up to the next doubling.
// Input: one flag byte (bit 0 ignore case, bit 1 double-byte code page,
// bits 2-5 the output buffer's size, bits 6-7 the source's kind: a code
// page with the needle in that form alone, a code page with the needle in
// all its forms (its bytes as UTF-8), UTF-16 LE, UTF-16 BE), one byte for
// the read window's size, one byte of needle length, the needle (UTF-16 LE
// units for a UTF-16 source), one byte for the code page's rules (below 86
// as the flag says; else only printable ASCII and the tab plain, bytes 0x80
// and 0xE9 read as 'e' and 'o', and from 171 on 0x80 joining the character
// before it), then the source.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "tests/native/test_support.h"

namespace {

// The UTF-16 form of well-formed UTF-8 bytes, or false.
bool DecodeUtf8(const std::string& bytes, std::u16string* units)
{
    std::u16string decoded = Utf8ToUtf16(bytes);
    if (Utf16ToUtf8(decoded.c_str()) != bytes) {
        return false;
    }
    *units = decoded;
    return true;
}

// Says which promise the input broke before the fuzzer reports it, so
// that a log cut short still tells a failed read from a wrong export or a
// window grown too far.
void Broken(const char* promise, const WindowRun& run, uint64_t bound)
{
    fprintf(stderr, "route_lines_fuzz: %s (read %d, window %llu, bound %llu)\n", promise, run.read ? 1 : 0,
            static_cast<unsigned long long>(run.capacity), static_cast<unsigned long long>(bound));
    abort();
}

void Check(const WindowRun& run, const Routed& expected, uint64_t bound)
{
    if (!run.read) {
        Broken("the source could not be read through the window", run, bound);
    }
    if (!(run.routed == expected)) {
        Broken("the exports differ from the reference model's", run, bound);
    }
    if (run.capacity > bound) {
        Broken("the window grew past its longest line's doubling", run, bound);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const size_t kHeader = 4;
    if (size < kHeader + 1) {
        return 0;
    }
    bool ignoreCase = (data[0] & 1) != 0;
    bool doubleByte = (data[0] & 2) != 0;
    uint32_t capacity = 1 + ((data[0] >> 2) & 0xF) * 4;
    int kind = data[0] >> 6;
    // Windows of 1 to 128 bytes put every kind of line end, and split units
    // and sequences, on an edge; the others are larger than most inputs.
    uint64_t window = (data[1] & 0x80) ? 1 + (data[1] & 0x7F) : 129 + 31u * data[1];
    size_t needleLength = 1 + data[2] % 255;
    if (size < kHeader + needleLength) {
        return 0;
    }
    std::string needle(reinterpret_cast<const char*>(data + kHeader), needleLength);
    std::string source(reinterpret_cast<const char*>(data + kHeader + needleLength),
                       size - kHeader - needleLength);
    TextRules rules = doubleByte ? DoubleByteRules() : AsciiRules();
    // Where bytes are not plain, the lines with them are judged by the
    // platform: the walk over their spans, or their segments.
    StandInCollation collation({{0x80, 'e'}, {0xE9, 'o'}});
    if (data[3] >= 86) {
        rules = PrintablePlainRules();
        rules.joinsPrevious[0x80] = data[3] >= 171;
    } else if (data[3] >= 43 && !doubleByte) {
        // Taken with the collation in force: the bytes above ASCII it reads
        // as letters are not plain, the others are.
        rules = AsciiRules();
    } else {
        *PosixCollationPlan() = PosixCollation();
    }
    if (kind >= 2) {
        // A UTF-16 source: the needle's units, little-endian.
        std::u16string units;
        for (size_t i = 0; i + 1 < needle.size(); i += 2) {
            units.push_back(static_cast<char16_t>(static_cast<uint8_t>(needle[i]) |
                                                  (static_cast<uint8_t>(needle[i + 1]) << 8)));
        }
        if (units.empty() || units.find(u'\0') != std::u16string::npos) {
            return 0;
        }
        bool bigEndian = kind == 3;
        SearchNeedles needles = AllNeedles("", Utf16ToUtf8(units.c_str()), units, ignoreCase, false);
        WindowRun run = RouteThroughWindow(source, bigEndian ? kEncodingUtf16Be : kEncodingUtf16Le, needles, rules,
                                           capacity, true, true, window);
        Check(run, ReferenceRouteUtf16(source, units, ignoreCase, bigEndian), Utf16WindowBound(source, bigEndian, window));
        return 0;
    }
    if (needle.find('\0') != std::string::npos) {
        return 0;   // a needle is a zero-terminated text
    }
    if (kind == 1) {
        std::u16string units;
        if (!DecodeUtf8(needle, &units)) {
            return 0;
        }
        rules.utf8CodePage = false;
        SearchNeedles needles = AllNeedles(needle, needle, units, ignoreCase);
        WindowRun run = RouteThroughWindow(source, kEncodingAnsi, needles, rules, capacity, true, true, window);
        Check(run, ReferenceRouteUtf8(source, needles, rules), WindowBound(source, window));
        return 0;
    }
    WindowRun run = RouteThroughWindow(source, source.size(), needle, ignoreCase, rules, capacity, true, true,
                                       window);
    Check(run, ReferenceRoute(source, needle, ignoreCase, rules), WindowBound(source, window));
    return 0;
}
