// Which module the dialog template and the strings come from.
#include "app/app.h"

HMODULE GetResourceModule()
{
    HMODULE executable = GetModuleHandleW(nullptr);

    // "<full path of the exe>.mui": 259 characters of path at most, the four
    // appended ones and the terminator.
    WCHAR path[MAX_PATH + 4];
    if (GetModuleFileNameW(executable, path, MAX_PATH) == 0) {
        return executable;
    }
    lstrcatW(path, L".mui");

    if (GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES) {
        return executable;
    }
    HMODULE loaded = GetModuleHandleW(path);
    if (loaded != nullptr) {
        return loaded;
    }
    // Mapped as data only: nothing in it runs. It stays loaded until the
    // process ends, since the dialog and the strings may be loaded from it at
    // any time.
    loaded = LoadLibraryExW(path, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    return loaded != nullptr ? loaded : executable;
}
