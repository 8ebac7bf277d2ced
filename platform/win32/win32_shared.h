// What the Win32 platform's files share: full paths and our names beside
// a file, calls tried again while another program holds a file for a
// moment, and which file a name holds. For the platform's own files only.
#ifndef QUORVANE_WIN32_SHARED_H
#define QUORVANE_WIN32_SHARED_H

#include <windows.h>
#include <shellapi.h>
#include <shlwapi.h>

#include "platform/platform.h"
#include "platform/win32/final_path.h"
#include "platform/win32/replace_step.h"

namespace win32_platform {

inline HANDLE Win(FileHandle file)
{
    return static_cast<HANDLE>(file);
}

// Full path of a file, so that ReplaceFileW and the temporary file's
// folder never depend on how the form spelled it. False when it does not fit.
inline bool FullPath(const FormChar* path, FormChar* out, DWORD capacity)
{
    DWORD n = GetFullPathNameW(path, capacity, out, nullptr);
    return n > 0 && n < capacity;
}

inline bool StartsWith(const FormChar* text, const FormChar* start)
{
    for (; *start != 0; ++text, ++start) {
        if (*text != *start) {
            return false;
        }
    }
    return true;
}

// Length of a path's folder part, its last separator included; 0 when none.
inline uint32_t FolderLength(const FormChar* path)
{
    uint32_t folder = 0;
    for (uint32_t i = 0; path[i] != 0; ++i) {
        if (path[i] == L'\\' || path[i] == L'/') {
            folder = i + 1;
        }
    }
    return folder;
}

// Names made beside a target: three letters, four hex digits, ".tmp".
const uint32_t kNameBesideLength = 3 + 4 + 4;

// "<folder><prefix><number in four hex digits>.tmp" into out, which holds
// kTempPathCapacity characters. False when it does not fit.
inline bool NameBeside(const FormChar* path, uint32_t folder, const FormChar* prefix, DWORD number, FormChar* out)
{
    if (folder + kNameBesideLength + 1 > kTempPathCapacity) {
        return false;
    }
    uint32_t n = 0;
    for (; n < folder; ++n) {
        out[n] = path[n];
    }
    for (const FormChar* p = prefix; *p != 0; ++p) {
        out[n++] = *p;
    }
    for (int shift = 12; shift >= 0; shift -= 4) {
        out[n++] = L"0123456789ABCDEF"[(number >> shift) & 0xF];
    }
    for (const FormChar* p = L".tmp"; *p != 0; ++p) {
        out[n++] = *p;
    }
    out[n] = 0;
    return true;
}

// True when name is exactly "qz<kind>XXXX.tmp", four upper-case hex digits,
// as NameBeside makes them: a user's file of another shape (or one found
// only through its short 8.3 name) is none of ours.
inline bool IsOurName(const FormChar* name, FormChar kind)
{
    const FormChar* tail = L".tmp";
    if (name[0] != L'q' || name[1] != L'z' || name[2] != kind) {
        return false;
    }
    for (int i = 3; i < 7; ++i) {
        bool hex = (name[i] >= L'0' && name[i] <= L'9') || (name[i] >= L'A' && name[i] <= L'F');
        if (!hex) {
            return false;
        }
    }
    for (int i = 0; i < 5; ++i) {
        if (name[7 + i] != tail[i]) {
            return false;
        }
    }
    return true;
}

// Where the numbers of a run's names beside a target start, so that two
// runs at once seldom try the same ones.
inline DWORD FirstNumber()
{
    return GetTickCount() ^ (GetCurrentProcessId() << 4);
}

// Virus scanners, indexers and backup tools open a new or changed file for a
// moment, sharing reading and writing but not deletion; meanwhile the file
// cannot be replaced, renamed or removed, and these are the errors.
inline bool HeldForAMoment(DWORD error)
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED || error == ERROR_LOCK_VIOLATION;
}

// Tries after the first of an operation that failed that way, with a pause of
// kRetryPause ms times the try's number before each: about 1.4 s in all.
const DWORD kRetries = 10;
const DWORD kRetryPause = 25;

// A wait between tries is cut into slices this long, so that a raised stop
// flag ends it soon.
const DWORD kStopSlice = 20;

// Waits ms milliseconds; false as soon as stop is raised.
inline bool PauseUnlessStopped(DWORD ms, const StopFlag* stop)
{
    while (ms > 0) {
        if (StopRaised(stop)) {
            return false;
        }
        DWORD slice = ms < kStopSlice ? ms : kStopSlice;
        Sleep(slice);
        ms -= slice;
    }
    return !StopRaised(stop);
}

// Runs operation() until it succeeds, fails with an error other than those
// of HeldForAMoment, has been tried kRetries more times, or stop is raised
// during a wait. The last error is then the last try's.
template <typename Operation>
inline bool Retried(Operation operation, const StopFlag* stop = nullptr)
{
    for (DWORD retry = 1;; ++retry) {
        if (operation()) {
            return true;
        }
        DWORD error = GetLastError();
        if (!HeldForAMoment(error) || retry > kRetries || !PauseUnlessStopped(kRetryPause * retry, stop)) {
            SetLastError(error);
            return false;
        }
    }
}

// A name beside the target that no file holds, for the replace's backup of
// the old file.
inline bool FreeNameBeside(const FormChar* target, FormChar* name)
{
    uint32_t folder = FolderLength(target);
    DWORD first = FirstNumber();
    for (DWORD i = 0; folder > 0 && i < 0x10000; ++i) {
        if (!NameBeside(target, folder, L"qzb", first + i, name)) {
            return false;
        }
        if (GetFileAttributesW(name) == INVALID_FILE_ATTRIBUTES) {
            return GetLastError() == ERROR_FILE_NOT_FOUND;
        }
    }
    return false;
}

// Moves a file to a name no file holds.
inline bool MoveToFreeName(const FormChar* from, const FormChar* to)
{
    return Retried([&] { return MoveFileExW(from, to, 0) != FALSE; });
}

inline void RemoveFile(const FormChar* path)
{
    Retried([&] { return DeleteFileW(path) != FALSE; });
}

// Windows keeps the replaced file's attributes; say them again for systems
// whose replace does not, and for a file moved into the target's place.
inline void KeepAttributes(const FormChar* target, DWORD attributes)
{
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        SetFileAttributesW(target, attributes);
    }
}

// Which file a name holds, whoever holds it open. False when the name holds
// no file that can be asked.
inline bool IdentityOf(const FormChar* path, FileIdentity* id)
{
    HANDLE probe = CreateFileW(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (probe == INVALID_HANDLE_VALUE) {
        return false;
    }
    bool ok = PlatformIdentity(probe, id);
    CloseHandle(probe);
    return ok;
}

// What a name holds, told by identity: nothing, the old file, the new one,
// or something else (another program's file, a folder, a copy).
enum NameHolds {
    kNameFree,
    kNameHoldsOld,
    kNameHoldsNew,
    kNameHoldsOther,
};

inline NameHolds WhatNameHolds(const FormChar* path, const FileIdentity& oldFile, const FileIdentity& newFile)
{
    FileIdentity now;
    if (IdentityOf(path, &now)) {
        return SameIdentity(now, oldFile) ? kNameHoldsOld : SameIdentity(now, newFile) ? kNameHoldsNew : kNameHoldsOther;
    }
    return GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES && GetLastError() == ERROR_FILE_NOT_FOUND
               ? kNameFree
               : kNameHoldsOther;
}

inline uint64_t WriteTimeOf(const FILETIME& time)
{
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

inline bool StampOfHandle(HANDLE file, FileStamp* stamp)
{
    LARGE_INTEGER size;
    FILETIME written;
    if (!GetFileSizeEx(file, &size) || !GetFileTime(file, nullptr, nullptr, &written)) {
        return false;
    }
    stamp->size = static_cast<uint64_t>(size.QuadPart);
    stamp->writeTime = WriteTimeOf(written);
    return true;
}


}  // namespace win32_platform

#endif
