// Text built piece by piece.
#include "app/run/text_builder.h"

#include "app/app.h"

void Append(TextBuilder* b, const WCHAR* piece)
{
    for (; *piece != 0 && b->length + 1 < b->capacity; ++piece) {
        b->text[b->length++] = *piece;
    }
    b->text[b->length] = 0;
}

void AppendString(TextBuilder* b, UINT id)
{
    WCHAR piece[256];
    LoadUiString(id, piece, 256);
    Append(b, piece);
}

void AppendNumber(TextBuilder* b, uint64_t value)
{
    WCHAR digits[24];
    int n = 23;
    digits[n] = 0;
    do {
        digits[--n] = static_cast<WCHAR>(L'0' + value % 10);
        value /= 10;
    } while (value != 0);
    Append(b, digits + n);
}

void AppendGrouped(TextBuilder* b, uint64_t value)
{
    WCHAR digits[32];
    int n = 31;
    digits[n] = 0;
    for (int put = 0;; ++put) {
        if (put > 0 && put % 3 == 0) {
            digits[--n] = L',';
        }
        digits[--n] = static_cast<WCHAR>(L'0' + value % 10);
        value /= 10;
        if (value == 0) {
            break;
        }
    }
    Append(b, digits + n);
}

void AppendHex(TextBuilder* b, DWORD value)
{
    WCHAR digits[11] = L"0x";
    for (int i = 0; i < 8; ++i) {
        digits[2 + i] = L"0123456789ABCDEF"[(value >> (28 - 4 * i)) & 0xF];
    }
    digits[10] = 0;
    Append(b, digits);
}

void AppendFileName(TextBuilder* b, const WCHAR* path)
{
    const WCHAR* name = path;
    for (const WCHAR* p = path; *p != 0; ++p) {
        if (*p == L'\\' || *p == L'/' || *p == L':') {
            name = p + 1;
        }
    }
    Append(b, name);
}
