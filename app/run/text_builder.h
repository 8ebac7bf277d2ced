// Text built piece by piece into a fixed buffer, cut at its end: the
// program's messages and the line that tells what a run did.
#ifndef QUORVANE_TEXT_BUILDER_H
#define QUORVANE_TEXT_BUILDER_H

#include <windows.h>

#include <stdint.h>

struct TextBuilder {
    WCHAR* text;
    int capacity;
    int length;
};

void Append(TextBuilder* b, const WCHAR* piece);
// A string of the resource module (app.h, LoadUiString).
void AppendString(TextBuilder* b, UINT id);
void AppendNumber(TextBuilder* b, uint64_t value);
// With a comma between each group of three digits: 1,234,567.
void AppendGrouped(TextBuilder* b, uint64_t value);
void AppendHex(TextBuilder* b, DWORD value);
// The last part of a path: its file's name.
void AppendFileName(TextBuilder* b, const WCHAR* path);

#endif
