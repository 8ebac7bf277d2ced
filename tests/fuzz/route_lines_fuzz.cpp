// libFuzzer target: the line pass against the reference model, and the
// window within its longest line rounded up to the next doubling.
// Input: one flag byte (bit 0 ignore case, bit 1 double-byte code page, the
// rest the output buffer's size), one byte for the read window's size, one
// byte of needle length, the needle, then the source.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <string>

#include "tests/native/test_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const size_t kHeader = 3;
    if (size < kHeader + 1) {
        return 0;
    }
    bool ignoreCase = (data[0] & 1) != 0;
    bool doubleByte = (data[0] & 2) != 0;
    uint32_t capacity = 1 + (data[0] >> 2) % 64;
    // Windows of 1 to 128 bytes put every kind of line end on an edge; the
    // others are larger than most inputs.
    uint64_t window = (data[1] & 0x80) ? 1 + (data[1] & 0x7F) : 129 + 31u * data[1];
    size_t needleLength = 1 + data[2] % 255;
    if (size < kHeader + needleLength) {
        return 0;
    }
    std::string needle(reinterpret_cast<const char*>(data + kHeader), needleLength);
    if (needle.find('\0') != std::string::npos) {
        return 0;   // a needle is a zero-terminated text
    }
    std::string source(reinterpret_cast<const char*>(data + kHeader + needleLength),
                       size - kHeader - needleLength);
    TextRules rules = doubleByte ? DoubleByteRules() : AsciiRules();
    WindowRun run = RouteThroughWindow(source, source.size(), needle, ignoreCase, rules, capacity, true, true,
                                       window);
    if (!run.read || !(run.routed == ReferenceRoute(source, needle, ignoreCase, rules)) ||
        run.capacity > WindowBound(source, window)) {
        abort();
    }
    return 0;
}
