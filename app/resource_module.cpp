// Which module the dialog template and the strings come from.
#include "app/app.h"

bool SatellitePath(HMODULE module, WCHAR* path, DWORD capacity)
{
    // The module's path must leave room for ".mui" and the terminator. A
    // path that fills the room it is given was cut short (the call then
    // returns the room itself): the satellite of a cut name is not ours.
    const DWORD kSuffix = 4;
    if (capacity <= kSuffix + 1) {
        return false;
    }
    DWORD room = capacity - kSuffix;
    DWORD length = GetModuleFileNameW(module, path, room);
    if (length == 0 || length >= room) {
        return false;
    }
    lstrcatW(path, L".mui");
    return true;
}

HMODULE GetResourceModule()
{
    HMODULE executable = GetModuleHandleW(nullptr);

    // "<full path of the exe>.mui": 259 characters of path at most, the four
    // appended ones and the terminator.
    WCHAR path[MAX_PATH + 4];
    if (!SatellitePath(executable, path, MAX_PATH + 4)) {
        return executable;
    }

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

void LoadUiString(UINT id, wchar_t* buffer, int chars)
{
    buffer[0] = 0;
    if (LoadStringW(GetResourceModule(), id, buffer, chars) > 0) {
        return;
    }
    buffer[0] = 0;
    if (LoadStringW(GetModuleHandleW(nullptr), id, buffer, chars) > 0) {
        return;
    }
    buffer[0] = 0;
}
