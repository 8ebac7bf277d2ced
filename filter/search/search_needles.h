// The search text in every form a line may hold it in: the ANSI code page's
// bytes, UTF-8 and UTF-16. Which one a line is searched for depends on the
// source's encoding and on the line itself.
#ifndef QUORVANE_SEARCH_NEEDLES_H
#define QUORVANE_SEARCH_NEEDLES_H

#include "platform/platform.h"

// The search text as read from the form: up to 255 UTF-16 units and the
// terminator.
enum { kSearchCapacity = 256 };

// Room for the text's byte forms: up to three bytes a UTF-16 unit (a
// surrogate pair takes four for its two), and the terminator.
enum { kNeedleCapacity = (kSearchCapacity - 1) * 3 + 1 };

struct SearchNeedles {
    // Case is ignored: every form below is of the upper-cased text.
    bool ignoreCase;
    // The code page holds every character of the text (no default character
    // and no look-alike had to stand in). When it does not, ansi is empty
    // and no line read in the code page can hold the text.
    bool ansiHeld;
    // The text is well-formed UTF-16 (no lone surrogate), so it has a UTF-8
    // form; when it is not, utf8 is empty and no UTF-8 line can hold it.
    bool utf8Held;
    char ansi[kNeedleCapacity];        // zero-terminated
    char utf8[kNeedleCapacity];        // zero-terminated
    FormChar utf16[kSearchCapacity];   // zero-terminated, the machine's byte order
};

// Makes every form of the zero-terminated, non-empty search text, upper-cased
// first when case is ignored. False when a form does not fit its buffer.
bool MakeSearchNeedles(const FormChar* search, bool ignoreCase, SearchNeedles* needles);

// The UTF-8 form of a zero-terminated UTF-16 text, terminator included, in
// at most capacity bytes. False when it does not fit or holds a lone
// surrogate (out then holds an empty text, when there is room for it).
bool Utf16ToUtf8Text(const FormChar* text, char* out, uint32_t capacity);

#endif
