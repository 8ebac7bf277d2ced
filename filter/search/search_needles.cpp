// The search text's forms.

#include "filter/search/search_needles.h"

bool Utf16ToUtf8Text(const FormChar* text, char* out, uint32_t capacity)
{
    uint32_t n = 0;
    bool fits = true;
    bool wellFormed = true;
    for (uint32_t i = 0; text[i] != 0 && fits && wellFormed; ++i) {
        uint32_t cp = static_cast<uint16_t>(text[i]);
        if (cp >= 0xD800 && cp < 0xE000) {
            uint32_t next = static_cast<uint16_t>(text[i + 1]);
            if (cp >= 0xDC00 || next < 0xDC00 || next >= 0xE000) {
                wellFormed = false;
                break;
            }
            cp = 0x10000 + ((cp - 0xD800) << 10) + (next - 0xDC00);
            ++i;
        }
        unsigned char bytes[4];
        uint32_t count;
        if (cp < 0x80) {
            bytes[0] = static_cast<unsigned char>(cp);
            count = 1;
        } else if (cp < 0x800) {
            bytes[0] = static_cast<unsigned char>(0xC0 | (cp >> 6));
            bytes[1] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
            count = 2;
        } else if (cp < 0x10000) {
            bytes[0] = static_cast<unsigned char>(0xE0 | (cp >> 12));
            bytes[1] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
            bytes[2] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
            count = 3;
        } else {
            bytes[0] = static_cast<unsigned char>(0xF0 | (cp >> 18));
            bytes[1] = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
            bytes[2] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
            bytes[3] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
            count = 4;
        }
        if (n + count + 1 > capacity) {
            fits = false;
            break;
        }
        for (uint32_t k = 0; k < count; ++k) {
            out[n++] = static_cast<char>(bytes[k]);
        }
    }
    if (!fits || !wellFormed) {
        if (capacity > 0) {
            out[0] = 0;
        }
        return false;
    }
    out[n] = 0;
    return true;
}

namespace {

// Upper-cases the text in place, each character to the capital the
// platform's case table gives, where the platform's own search, ignoring
// case, takes the two for the same character. Its table has capitals its
// comparison weighs apart from their small letters, or not at all (under
// Wine, Georgian and Cherokee letters and some phonetic ones): such a
// capital would find other lines than the letter typed, and not the letter
// itself, so the letter stays as typed.
void UpperCaseAsSearched(FormChar* text, uint32_t length)
{
    FormChar upper[kSearchCapacity];
    for (uint32_t k = 0; k <= length; ++k) {
        upper[k] = text[k];
    }
    PlatformUpperCase(upper);
    for (uint32_t k = 0; k < length; ++k) {
        if (upper[k] == text[k]) {
            continue;
        }
        const FormChar typed[2] = {text[k], 0};
        const FormChar capital[2] = {upper[k], 0};
        if (PlatformWideLineContains(typed, capital, true) && PlatformWideLineContains(capital, typed, true)) {
            text[k] = upper[k];
        }
    }
}

}  // namespace

bool MakeSearchNeedles(const FormChar* search, bool ignoreCase, SearchNeedles* needles)
{
    needles->ignoreCase = ignoreCase;
    uint32_t length = 0;
    while (length + 1 < kSearchCapacity && search[length] != 0) {
        needles->utf16[length] = search[length];
        ++length;
    }
    if (search[length] != 0 || length == 0) {
        return false;
    }
    needles->utf16[length] = 0;
    if (ignoreCase) {
        UpperCaseAsSearched(needles->utf16, length);
    }
    // A text the code page cannot hold is never guessed at: a default
    // character or a look-alike would match other text.
    bool held = false;
    if (!PlatformToAnsi(needles->utf16, needles->ansi, kNeedleCapacity, &held)) {
        return false;
    }
    needles->ansiHeld = held && needles->ansi[0] != 0;
    if (!needles->ansiHeld) {
        needles->ansi[0] = 0;
    }
    // Every UTF-16 text of this length fits the UTF-8 buffer; only a lone
    // surrogate keeps it from having a UTF-8 form.
    needles->utf8Held = Utf16ToUtf8Text(needles->utf16, needles->utf8, kNeedleCapacity);
    return true;
}
