// Text on POSIX: UTF-8 as the ANSI code page, a byte-exact substring
// search (or, in tests, one with a stand-in collation) and ASCII case
// folding, and a form that is a plain struct.

#include "platform/posix/posix_shared.h"

using namespace posix_platform;

namespace {

char AsciiUpper(char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool CollationInForce()
{
    return g_collation.alike[0].from != 0;
}

// The byte the substring search takes c as.
char SearchKey(char c, bool ignoreCase)
{
    for (const PosixCollation::Alike& alike : g_collation.alike) {
        if (alike.from == 0) {
            break;
        }
        if (static_cast<unsigned char>(c) == alike.from) {
            c = static_cast<char>(alike.as);
            break;
        }
    }
    return ignoreCase ? AsciiUpper(c) : c;
}

}  // namespace

std::u16string Utf8ToUtf16(const std::string& utf8)
{
    std::u16string out;
    size_t i = 0;
    while (i < utf8.size()) {
        unsigned char c = static_cast<unsigned char>(utf8[i]);
        uint32_t cp;
        size_t extra;
        if (c < 0x80) { cp = c; extra = 0; }
        else if ((c >> 5) == 6) { cp = c & 0x1F; extra = 1; }
        else if ((c >> 4) == 14) { cp = c & 0x0F; extra = 2; }
        else { cp = c & 0x07; extra = 3; }
        ++i;
        for (size_t k = 0; k < extra && i < utf8.size(); ++k, ++i) {
            cp = (cp << 6) | (static_cast<unsigned char>(utf8[i]) & 0x3F);
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

std::string Utf16ToUtf8(const char16_t* text)
{
    std::string out;
    for (size_t i = 0; text[i] != 0; ++i) {
        uint32_t cp = text[i];
        if (cp >= 0xD800 && cp < 0xDC00 && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

void PosixForm::SetText(int id, const std::string& utf8)
{
    text[id] = Utf8ToUtf16(utf8);
}

uint32_t PlatformReadField(FormHandle form, int id, FormChar* buffer, uint32_t limit)
{
    const std::u16string& text = static_cast<PosixForm*>(form)->text[id];
    if (limit == 0) {
        return 0;
    }
    uint32_t n = static_cast<uint32_t>(text.size());
    if (n > limit - 1) {
        n = limit - 1;
    }
    for (uint32_t i = 0; i < n; ++i) {
        buffer[i] = text[i];
    }
    buffer[n] = 0;
    return n;
}

uint32_t PlatformFieldLength(FormHandle form, int id)
{
    return static_cast<uint32_t>(static_cast<PosixForm*>(form)->text[id].size());
}

bool PlatformIsChecked(FormHandle form, int id)
{
    return static_cast<PosixForm*>(form)->checked[id];
}

void PlatformUpperCase(FormChar* text)
{
    for (; *text != 0; ++text) {
        if (*text >= u'a' && *text <= u'z') {
            *text = static_cast<FormChar>(*text - u'a' + u'A');
        }
    }
}

bool PlatformToAnsi(const FormChar* text, char* out, uint32_t outCapacity, bool* held)
{
    // UTF-8 holds every character but a lone surrogate; the stand-in code
    // page of ASCII alone holds no other. What it cannot hold becomes '?',
    // the default character, as on Windows.
    std::string converted;
    *held = true;
    for (size_t i = 0; text[i] != 0; ++i) {
        char16_t unit = text[i];
        bool pair = unit >= 0xD800 && unit < 0xDC00 && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000;
        bool lone = !pair && unit >= 0xD800 && unit < 0xE000;
        if (lone || (g_codePage.asciiOnly && unit >= 0x80)) {
            *held = false;
            converted.push_back('?');
            i += pair ? 1 : 0;
            continue;
        }
        char16_t piece[3] = {unit, pair ? text[i + 1] : u'\0', 0};
        converted += Utf16ToUtf8(piece);
        i += pair ? 1 : 0;
    }
    if (converted.size() + 1 > outCapacity) {
        return false;
    }
    memcpy(out, converted.c_str(), converted.size() + 1);
    return true;
}

bool PlatformLineContains(const char* line, const char* needle, bool ignoreCase)
{
    FaultAt(kCallLineSearch);
    if (*needle == 0) {
        return false;
    }
    if (!ignoreCase && !CollationInForce()) {
        return strstr(line, needle) != nullptr;
    }
    for (; *line != 0; ++line) {
        size_t k = 0;
        while (needle[k] != 0 && line[k] != 0 &&
               SearchKey(line[k], ignoreCase) == SearchKey(needle[k], ignoreCase)) {
            ++k;
        }
        if (needle[k] == 0) {
            return true;
        }
    }
    return false;
}

namespace {

// The stand-in for the platform's case folding of UTF-16 text: ASCII and
// the Latin-1 letters and š, the Kelvin sign as K and the full-width digits
// as digits, so that tests see folding the ASCII fast path cannot do
// itself, of an ASCII needle too, and of one with no letter at all; and a
// letter whose bytes fold as another's (š, 61 01 or C5 A1, as Ł, 41 01 or
// C5 81).
char16_t WideUpper(char16_t c)
{
    if (c == 0x212A) {
        return u'K';
    }
    if (c >= 0xFF10 && c <= 0xFF19) {
        return static_cast<char16_t>(c - 0xFF10 + u'0');
    }
    if (c == 0x0161) {
        return 0x0160;   // š, a letter beyond Latin-1
    }
    if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7)) {
        return static_cast<char16_t>(c - 0x20);
    }
    return c;
}

}  // namespace

FormChar PlatformBaseLetter(FormChar unit)
{
    // The stand-in knows the Latin-1 letters with marks, as Windows
    // decomposes them, and š.
    static const char kBases[] = "AAAAAA CEEEEIIII NOOOOO  UUUUY  aaaaaa ceeeeiiii nooooo  uuuuy y";
    if (unit == 0x0160 || unit == 0x0161) {
        return unit == 0x0160 ? 'S' : 's';   // and one beyond it: Š, š
    }
    if (unit < 0xC0 || unit > 0xFF || kBases[unit - 0xC0] == ' ') {
        return 0;
    }
    return static_cast<FormChar>(kBases[unit - 0xC0]);
}

bool PlatformWideLineContains(const FormChar* line, const FormChar* needle, bool ignoreCase)
{
    FaultAt(kCallWideLineSearch);
    if (*needle == 0) {
        return false;
    }
    for (; *line != 0; ++line) {
        size_t k = 0;
        while (needle[k] != 0 && line[k] != 0 &&
               (ignoreCase ? WideUpper(line[k]) == WideUpper(needle[k]) : line[k] == needle[k])) {
            ++k;
        }
        if (needle[k] == 0) {
            return true;
        }
    }
    return false;
}

void PlatformGetTextRules(TextRules* rules)
{
    *rules = TextRules{};   // no lead bytes, barriers or pairs
    for (int c = 0; c < 256; ++c) {
        rules->plain[c] = 1;
        rules->fold[c] = static_cast<unsigned char>(AsciiUpper(static_cast<char>(c)));
    }
    rules->allPlain = true;
    rules->utf8CodePage = !g_codePage.asciiOnly;
    for (const PosixCollation::Alike& alike : g_collation.alike) {
        if (alike.from == 0) {
            break;
        }
        rules->plain[alike.from] = 0;
        rules->joinsPrevious[alike.from] = 1;   // the stand-in says nothing of what they are
        rules->allPlain = false;
    }
}

