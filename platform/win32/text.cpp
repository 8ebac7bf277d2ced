// Text on Windows: the dialog's controls, the ANSI code page, and shlwapi's
// line search.

#include "platform/win32/win32_shared.h"

using namespace win32_platform;

uint32_t PlatformReadField(FormHandle form, int id, FormChar* buffer, uint32_t limit)
{
    buffer[0] = 0;
    return static_cast<uint32_t>(
        SendDlgItemMessageW(static_cast<HWND>(form), id, WM_GETTEXT, limit, reinterpret_cast<LPARAM>(buffer)));
}

uint32_t PlatformFieldLength(FormHandle form, int id)
{
    return static_cast<uint32_t>(SendDlgItemMessageW(static_cast<HWND>(form), id, WM_GETTEXTLENGTH, 0, 0));
}

bool PlatformIsChecked(FormHandle form, int id)
{
    return SendDlgItemMessageW(static_cast<HWND>(form), id, BM_GETCHECK, 0, 0) != 0;
}

void PlatformUpperCase(FormChar* text)
{
    CharUpperW(text);
}

bool PlatformToAnsi(const FormChar* text, char* out, uint32_t outCapacity, bool* held)
{
    if (GetACP() == CP_UTF8) {
        // UTF-8 holds every character; only a lone surrogate has no form.
        // This code page takes neither best-fit flags nor the used-default
        // flag.
        int n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, -1, out, static_cast<int>(outCapacity),
                                    nullptr, nullptr);
        if (n > 0) {
            *held = true;
            return true;
        }
        if (GetLastError() == ERROR_NO_UNICODE_TRANSLATION && outCapacity > 0) {
            out[0] = 0;
            *held = false;
            return true;
        }
        *held = false;
        return false;
    }
    // No best fit: a character the code page lacks becomes the default
    // character, which the flag then tells, instead of a look-alike.
    BOOL usedDefault = FALSE;
    int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text, -1, out, static_cast<int>(outCapacity), nullptr,
                                &usedDefault);
    *held = n > 0 && !usedDefault;
    return n > 0;
}

bool PlatformLineContains(const char* line, const char* needle, bool ignoreCase)
{
    return (ignoreCase ? StrStrIA(line, needle) : StrStrA(line, needle)) != nullptr;
}

bool PlatformWideLineContains(const FormChar* line, const FormChar* needle, bool ignoreCase)
{
    return (ignoreCase ? StrStrIW(line, needle) : StrStrW(line, needle)) != nullptr;
}

namespace {

// A plain character, or a control or private-use one, which stands for no
// letters.
bool IsShortUnit(const TextRules* rules, wchar_t unit)
{
    return (unit < 0x80 && rules->plain[unit]) || unit < 0x20 || (unit >= 0x7F && unit <= 0x9F) ||
           (unit >= 0xE000 && unit <= 0xF8FF);
}

// What each byte that leads no pair reads as alone.
void ReadSingleBytes(TextRules* rules)
{
    for (int c = 1; c < 256; ++c) {
        char alone = static_cast<char>(c);
        wchar_t read;
        const bool one = !rules->leadByte[c] && MultiByteToWideChar(CP_ACP, 0, &alone, 1, &read, 1) == 1;
        rules->narrowByte[c] = one && IsShortUnit(rules, read);
        const FormChar base = one && !rules->plain[c] ? PlatformBaseLetter(read) : 0;
        rules->baseLetter[c] = static_cast<unsigned char>(base < 0x80 ? base : 0);
        rules->joinsPrevious[c] = rules->leadByte[c] || !one || MayJoinPrevious(read);
    }
}

inline void SetPairBit(unsigned char* bits, unsigned index)
{
    bits[index >> 3] = static_cast<unsigned char>(bits[index >> 3] | 1u << (index & 7));
}

// Which double-byte characters are barriers, and which are short: each
// pair turned into UTF-16 as the search turns it (the program does it
// once, for its first run).
void ReadPairs(TextRules* rules)
{
    for (int lead = 0x81; rules->hasLeadBytes && lead <= 0xFE; ++lead) {
        if (!rules->leadByte[lead]) {
            continue;
        }
        char alone = static_cast<char>(lead);
        wchar_t read;
        const bool one = MultiByteToWideChar(CP_ACP, 0, &alone, 1, &read, 1) == 1;
        rules->shortLoneLead[lead] = one && IsShortUnit(rules, read);
        rules->loneLeadPlain[lead] = static_cast<unsigned char>(one && read < 0x80 && rules->plain[read] ? read : 0);
        for (int trail = 1; trail <= 0xFF; ++trail) {
            char pair[2] = {static_cast<char>(lead), static_cast<char>(trail)};
            wchar_t unit[2];
            unsigned index = static_cast<unsigned>(lead) << 8 | static_cast<unsigned>(trail);
            if (MultiByteToWideChar(CP_ACP, 0, pair, 2, unit, 2) == 1 && IsShortUnit(rules, unit[0])) {
                SetPairBit(rules->shortPair, index);
            }
            if (trail >= 0x40 && trail <= 0xFE && MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, pair, 2, unit, 2) == 1 &&
                IsBarrierCharacter(static_cast<uint32_t>(unit[0]))) {
                SetPairBit(rules->barrierPair, index);
                rules->hasBarriers = true;
                if (IsUnifiedIdeograph(static_cast<uint32_t>(unit[0]))) {
                    SetPairBit(rules->ideographPair, index);
                }
            }
        }
    }
}

// A character two pairs stand for (in 950, A2 CC and A4 51 are both U+5341)
// is no barrier: a search text's bytes do not find it where the other pair
// stands, and each compares equal to the other.
void DropCharactersOfTwoPairs(TextRules* rules)
{
    static const unsigned kPairs = 65536;
    unsigned char seen[8192] = {};
    unsigned char twice[8192] = {};
    auto unitOf = [](unsigned index) {
        char pair[2] = {static_cast<char>(index >> 8), static_cast<char>(index & 0xFF)};
        wchar_t unit[2] = {0, 0};
        MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, pair, 2, unit, 2);
        return static_cast<unsigned>(unit[0]);
    };
    for (unsigned index = 0; index < kPairs; ++index) {
        if (rules->barrierPair[index >> 3] >> (index & 7) & 1) {
            const unsigned unit = unitOf(index);
            if (seen[unit >> 3] >> (unit & 7) & 1) {
                SetPairBit(twice, unit);
            }
            SetPairBit(seen, unit);
        }
    }
    for (unsigned index = 0; index < kPairs; ++index) {
        if (!(rules->barrierPair[index >> 3] >> (index & 7) & 1)) {
            continue;
        }
        const unsigned unit = unitOf(index);
        if (twice[unit >> 3] >> (unit & 7) & 1) {
            const unsigned char keep = static_cast<unsigned char>(~(1u << (index & 7)));
            rules->barrierPair[index >> 3] = static_cast<unsigned char>(rules->barrierPair[index >> 3] & keep);
            rules->ideographPair[index >> 3] = static_cast<unsigned char>(rules->ideographPair[index >> 3] & keep);
        }
    }
}

}  // namespace

FormChar PlatformBaseLetter(FormChar unit)
{
    wchar_t parts[8];
    int n = FoldStringW(MAP_COMPOSITE, &unit, 1, parts, 8);
    if (n < 2 || !((parts[0] | 0x20) >= 'a' && (parts[0] | 0x20) <= 'z')) {
        return 0;
    }
    for (int k = 1; k < n; ++k) {
        if (parts[k] < 0x0300 || parts[k] > 0x036F) {
            return 0;
        }
    }
    return parts[0];
}

void PlatformGetTextRules(TextRules* rules)
{
    // StrStrA and StrStrIA compare with the locale's collation (through
    // CompareStringA): bytes outside printable ASCII can compare equal to
    // others (in code page 950 every broken double-byte sequence equals
    // '?', in 1252 0x88 equals '^'). Printable ASCII and the tab compare
    // as themselves, and ignoring case as ASCII letters fold.
    *rules = TextRules{};   // no lead bytes, barriers or pairs until read below
    for (int c = 0; c < 256; ++c) {
        rules->plain[c] = (c == '\t' || (c >= 0x20 && c <= 0x7E)) ? 1 : 0;
        rules->fold[c] = static_cast<unsigned char>((c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c);
    }
    rules->utf8CodePage = GetACP() == CP_UTF8;
    CPINFO info;
    if (GetCPInfo(CP_ACP, &info) && info.MaxCharSize > 1) {
        for (int r = 0; r + 1 < MAX_LEADBYTES && info.LeadByte[r] != 0; r += 2) {
            for (int c = info.LeadByte[r]; c <= info.LeadByte[r + 1]; ++c) {
                rules->leadByte[c] = 1;
                rules->hasLeadBytes = true;
            }
        }
    }
    ReadSingleBytes(rules);
    ReadPairs(rules);
    DropCharactersOfTwoPairs(rules);
}
