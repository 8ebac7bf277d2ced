// Texts as the form and the file system hold them (UTF-16, zero-ended):
// copied into a buffer of a given size, and compared unit by unit.
#ifndef QUORVANE_FORM_TEXT_H
#define QUORVANE_FORM_TEXT_H

#include "platform/platform.h"

// Copies from into to, which holds capacity units with the terminator; a
// longer text is cut at the end.
inline void CopyText(const FormChar* from, FormChar* to, uint32_t capacity)
{
    uint32_t i = 0;
    for (; from[i] != 0 && i + 1 < capacity; ++i) {
        to[i] = from[i];
    }
    to[i] = 0;
}

// True when both texts hold the same units.
inline bool SameText(const FormChar* a, const FormChar* b)
{
    while (*a != 0 && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

#endif
