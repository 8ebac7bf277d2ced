// The one call that puts a new file in an old one's place. It has a source
// file of its own so that a test program can link, instead, a stand-in that
// fails the way ReplaceFileW documents it can fail half way, leaving the
// files as it says; the program links the real call.
#ifndef QUORVANE_REPLACE_STEP_H
#define QUORVANE_REPLACE_STEP_H

#include <windows.h>

// ReplaceFileW(target, replacement, backup) ignoring merge errors: the old
// file goes to the backup name, the replacement takes the target's name and
// attributes. False with the error in GetLastError.
bool PlatformReplaceStep(const wchar_t* target, const wchar_t* replacement, const wchar_t* backup);

#endif
