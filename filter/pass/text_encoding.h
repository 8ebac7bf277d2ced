// The source's encoding, as its byte order mark tells it, and the marks
// themselves: a file that starts with one is Unicode text of that kind; a
// file without one is text in the ANSI code page (with its well-formed UTF-8
// lines also read as UTF-8).
#ifndef QUORVANE_TEXT_ENCODING_H
#define QUORVANE_TEXT_ENCODING_H

#include "platform/platform.h"

enum SourceEncoding {
    kEncodingAnsi,     // no mark: the code page, and UTF-8 where a line is well-formed UTF-8
    kEncodingUtf8,     // EF BB BF
    kEncodingUtf16Le,  // FF FE
    kEncodingUtf16Be,  // FE FF
};

// Longest mark, in bytes.
enum { kMaxBomLength = 3 };

// Length of the encoding's mark in bytes: 0 for the code page.
inline uint32_t BomLength(SourceEncoding encoding)
{
    switch (encoding) {
    case kEncodingUtf8:
        return 3;
    case kEncodingUtf16Le:
    case kEncodingUtf16Be:
        return 2;
    default:
        return 0;
    }
}

// The encoding's mark, BomLength(encoding) bytes (none for the code page).
inline const unsigned char* BomBytes(SourceEncoding encoding)
{
    switch (encoding) {
    case kEncodingUtf8:
        return reinterpret_cast<const unsigned char*>("\xEF\xBB\xBF");
    case kEncodingUtf16Le:
        return reinterpret_cast<const unsigned char*>("\xFF\xFE");
    case kEncodingUtf16Be:
        return reinterpret_cast<const unsigned char*>("\xFE\xFF");
    default:
        return reinterpret_cast<const unsigned char*>("");
    }
}

// The encoding a file's first count bytes announce (count may be less than
// kMaxBomLength for a short file): kEncodingAnsi when they hold no mark.
inline SourceEncoding EncodingOfMark(const void* first, uint64_t count)
{
    const unsigned char* b = static_cast<const unsigned char*>(first);
    if (count >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) {
        return kEncodingUtf8;
    }
    if (count >= 2 && b[0] == 0xFF && b[1] == 0xFE) {
        return kEncodingUtf16Le;
    }
    if (count >= 2 && b[0] == 0xFE && b[1] == 0xFF) {
        return kEncodingUtf16Be;
    }
    return kEncodingAnsi;
}

// True for the encodings whose lines are made of 16-bit units.
inline bool IsUtf16(SourceEncoding encoding)
{
    return encoding == kEncodingUtf16Le || encoding == kEncodingUtf16Be;
}

#endif
