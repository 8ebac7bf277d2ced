// The replace step of the real program: ReplaceFileW itself.
#include "platform/win32/replace_step.h"

bool PlatformReplaceStep(const wchar_t* target, const wchar_t* replacement, const wchar_t* backup)
{
    return ReplaceFileW(target, replacement, backup, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) != FALSE;
}
