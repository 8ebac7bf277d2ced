// libFuzzer target: the line pass against the reference model.
// Input: one flag byte (bit 0 ignore case, bit 1 double-byte code page),
// one byte of needle length, the needle, then the source.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <string>

#include "tests/native/test_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3) {
        return 0;
    }
    bool ignoreCase = (data[0] & 1) != 0;
    bool doubleByte = (data[0] & 2) != 0;
    size_t needleLength = 1 + data[1] % 255;
    if (size < 2 + needleLength) {
        return 0;
    }
    std::string needle(reinterpret_cast<const char*>(data + 2), needleLength);
    if (needle.find('\0') != std::string::npos) {
        return 0;   // a needle is a zero-terminated text
    }
    std::string source(reinterpret_cast<const char*>(data + 2 + needleLength), size - 2 - needleLength);
    TextRules rules = doubleByte ? DoubleByteRules() : AsciiRules();
    uint32_t capacity = 1 + data[0] % 64;
    if (!(RouteToStrings(source, needle, ignoreCase, rules, capacity) ==
          ReferenceRoute(source, needle, ignoreCase, rules))) {
        abort();
    }
    return 0;
}
