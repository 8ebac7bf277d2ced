// The platform on Windows: the dialog's controls, kernel32 files and
// memory, the ANSI code page, and shlwapi's line search.

#include <windows.h>
#include <shlwapi.h>

#include "platform/platform.h"
#include "platform/win32/final_path.h"

namespace {

inline HANDLE Win(FileHandle file)
{
    return static_cast<HANDLE>(file);
}

// Full path of a file, so that ReplaceFileW and the temporary file's
// folder never depend on how the form spelled it. False when it does not fit.
bool FullPath(const FormChar* path, FormChar* out, DWORD capacity)
{
    DWORD n = GetFullPathNameW(path, capacity, out, nullptr);
    return n > 0 && n < capacity;
}

bool StartsWith(const FormChar* text, const FormChar* start)
{
    for (; *start != 0; ++text, ++start) {
        if (*text != *start) {
            return false;
        }
    }
    return true;
}

// Length of a path's folder part, its last separator included; 0 when none.
uint32_t FolderLength(const FormChar* path)
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

}  // namespace

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

bool PlatformToAnsi(const FormChar* text, char* out, uint32_t outCapacity)
{
    return WideCharToMultiByte(CP_ACP, 0, text, -1, out, static_cast<int>(outCapacity), nullptr, nullptr) > 0;
}

bool PlatformLineContains(const char* line, const char* needle, bool ignoreCase)
{
    return (ignoreCase ? StrStrIA(line, needle) : StrStrA(line, needle)) != nullptr;
}

void PlatformGetTextRules(TextRules* rules)
{
    // StrStrA and StrStrIA compare with the locale's collation (through
    // CompareStringA): bytes outside printable ASCII can compare equal to
    // others (in code page 950 every broken double-byte sequence equals
    // '?', in 1252 0x88 equals '^'). Printable ASCII and the tab compare
    // as themselves, and ignoring case as ASCII letters fold.
    for (int c = 0; c < 256; ++c) {
        rules->leadByte[c] = 0;
        rules->plain[c] = (c == '\t' || (c >= 0x20 && c <= 0x7E)) ? 1 : 0;
        rules->fold[c] = static_cast<unsigned char>((c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c);
    }
    rules->hasLeadBytes = false;
    rules->allPlain = false;
    CPINFO info;
    if (GetCPInfo(CP_ACP, &info) && info.MaxCharSize > 1) {
        for (int r = 0; r + 1 < MAX_LEADBYTES && info.LeadByte[r] != 0; r += 2) {
            for (int c = info.LeadByte[r]; c <= info.LeadByte[r + 1]; ++c) {
                rules->leadByte[c] = 1;
                rules->hasLeadBytes = true;
            }
        }
    }
}

void* PlatformAllocZeroed(uint64_t size)
{
    return GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, static_cast<SIZE_T>(size));
}

void PlatformFree(void* block)
{
    GlobalFree(static_cast<HGLOBAL>(block));
}

FileHandle PlatformOpenSource(const FormChar* path)
{
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    return file == INVALID_HANDLE_VALUE ? nullptr : file;
}

bool PlatformFileSize(FileHandle file, uint64_t* size)
{
    LARGE_INTEGER value;
    if (!GetFileSizeEx(Win(file), &value)) {
        return false;
    }
    *size = static_cast<uint64_t>(value.QuadPart);
    return true;
}

bool PlatformRead(FileHandle file, void* buffer, uint32_t count, uint32_t* got)
{
    DWORD read = 0;
    BOOL ok = ReadFile(Win(file), buffer, count, &read, nullptr);
    *got = read;
    return ok != FALSE;
}

FileHandle PlatformClaimTarget(const FormChar* path, bool* created)
{
    // Shared for reading only: a second claim wants write access and fails.
    HANDLE file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *created = false;
        return nullptr;
    }
    *created = GetLastError() != ERROR_ALREADY_EXISTS;
    return file;
}

bool PlatformSeekEnd(FileHandle file)
{
    DWORD low = SetFilePointer(Win(file), 0, nullptr, FILE_END);
    return low != INVALID_SET_FILE_POINTER || GetLastError() == NO_ERROR;
}

bool PlatformWrite(FileHandle file, const void* bytes, uint32_t count)
{
    DWORD written = 0;
    return WriteFile(Win(file), bytes, count, &written, nullptr) && written == count;
}

bool PlatformFlush(FileHandle file)
{
    return FlushFileBuffers(Win(file)) != FALSE;
}

void PlatformClose(FileHandle file)
{
    if (file != nullptr) {
        CloseHandle(Win(file));
    }
}

uint32_t PlainFormWhereItFits(FormChar* path, uint32_t length)
{
    uint32_t drop = 0;
    uint32_t lead = 0;   // the "\\" that starts a plain network path
    if (StartsWith(path, L"\\\\?\\UNC\\")) {
        drop = 8;
        lead = 2;
    } else if (StartsWith(path, L"\\\\?\\") && path[4] != 0 && path[5] == L':') {
        drop = 4;
    }
    uint32_t plainLength = length - drop + lead;
    uint32_t plainFolder = FolderLength(path) - drop + lead;
    if (drop == 0 || plainLength >= MAX_PATH || plainFolder + kNameBesideLength >= MAX_PATH) {
        return length;
    }
    // A plain network path starts "\\" as the long form does: only what
    // follows the dropped part moves.
    for (uint32_t i = drop; i <= length; ++i) {
        path[i - drop + lead] = path[i];
    }
    return plainLength;
}

bool PlatformClaimedPath(FileHandle claim, FormChar* path, uint32_t capacity)
{
    FormChar named[kLongPathCapacity];
    DWORD n = GetFinalPathNameByHandleW(Win(claim), named, kLongPathCapacity,
                                        FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0 || n >= kLongPathCapacity) {
        return false;
    }
    uint32_t length = PlainFormWhereItFits(named, n);
    if (length + 1 > capacity) {
        return false;
    }
    for (uint32_t i = 0; i <= length; ++i) {
        path[i] = named[i];
    }
    return true;
}

FileHandle PlatformCreateTempBeside(const FormChar* target, FormChar* tempPath)
{
    FormChar folder[kTempPathCapacity];
    if (!FullPath(target, folder, kTempPathCapacity)) {
        return nullptr;
    }
    int cut = -1;
    for (int i = 0; folder[i] != 0; ++i) {
        if (folder[i] == L'\\' || folder[i] == L'/') {
            cut = i;
        }
    }
    if (cut < 0) {
        return nullptr;
    }
    folder[cut + 1] = 0;
    // Creates a new, uniquely named, empty file.
    if (GetTempFileNameW(folder, L"qzv", 0, tempPath) == 0) {
        return nullptr;
    }
    HANDLE file = CreateFileW(tempPath, GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        DeleteFileW(tempPath);
        return nullptr;
    }
    return file;
}

bool PlatformReplace(const FormChar* target, const FormChar* temp)
{
    FormChar full[kTempPathCapacity];
    if (!FullPath(target, full, kTempPathCapacity)) {
        return false;
    }
    DWORD attributes = GetFileAttributesW(full);
    if (!ReplaceFileW(full, temp, nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)) {
        return false;
    }
    // Windows keeps the replaced file's attributes; say them again for
    // systems whose replace does not.
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        SetFileAttributesW(full, attributes);
    }
    return true;
}

void PlatformDelete(const FormChar* path)
{
    DeleteFileW(path);
}
