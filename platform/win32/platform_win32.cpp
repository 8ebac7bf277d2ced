// The platform on Windows: the dialog's controls, kernel32 files and
// memory, the ANSI code page, and shlwapi's line search.

#include <windows.h>
#include <shlwapi.h>

#include "platform/platform.h"
#include "platform/win32/final_path.h"
#include "platform/win32/replace_step.h"

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

// "<folder><prefix><number in four hex digits>.tmp" into out, which holds
// kTempPathCapacity characters. False when it does not fit.
bool NameBeside(const FormChar* path, uint32_t folder, const FormChar* prefix, DWORD number, FormChar* out)
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

// Where the numbers of a run's names beside a target start, so that two
// runs at once seldom try the same ones.
DWORD FirstNumber()
{
    return GetTickCount() ^ (GetCurrentProcessId() << 4);
}

// Virus scanners, indexers and backup tools open a new or changed file for a
// moment, sharing reading and writing but not deletion; meanwhile the file
// cannot be replaced, renamed or removed, and these are the errors.
bool HeldForAMoment(DWORD error)
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
bool PauseUnlessStopped(DWORD ms, const StopFlag* stop)
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
bool Retried(Operation operation, const StopFlag* stop = nullptr)
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

bool IsFile(const FormChar* path)
{
    DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// A name beside the target that no file holds, for the replace's backup of
// the old file.
bool FreeNameBeside(const FormChar* target, FormChar* name)
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
bool MoveToFreeName(const FormChar* from, const FormChar* to)
{
    return Retried([&] { return MoveFileExW(from, to, 0) != FALSE; });
}

void RemoveFile(const FormChar* path)
{
    Retried([&] { return DeleteFileW(path) != FALSE; });
}

// Windows keeps the replaced file's attributes; say them again for systems
// whose replace does not, and for a file moved into the target's place.
void KeepAttributes(const FormChar* target, DWORD attributes)
{
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        SetFileAttributesW(target, attributes);
    }
}

// Which file a name holds, whoever holds it open: the volume and the file's
// index. False when the name holds no file that can be asked.
struct FileIdentity {
    DWORD volume;
    DWORD high;
    DWORD low;
};

bool IdentityOf(const FormChar* path, FileIdentity* id)
{
    HANDLE probe = CreateFileW(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (probe == INVALID_HANDLE_VALUE) {
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info;
    bool ok = GetFileInformationByHandle(probe, &info) != FALSE;
    CloseHandle(probe);
    if (ok) {
        id->volume = info.dwVolumeSerialNumber;
        id->high = info.nFileIndexHigh;
        id->low = info.nFileIndexLow;
    }
    return ok;
}

bool SameIdentity(const FileIdentity& a, const FileIdentity& b)
{
    return a.volume == b.volume && a.high == b.high && a.low == b.low;
}

// After a failed replace step, whatever it left: the target under its own
// name with its old bytes or its new ones. ReplaceFileW documents three
// states besides "nothing changed":
//   ERROR_UNABLE_TO_REMOVE_REPLACED (1175): both files keep their names;
//   ERROR_UNABLE_TO_MOVE_REPLACEMENT (1176): with a backup name, both keep
//     their names; without one, the old file is gone and the new content is
//     only in the temporary file;
//   ERROR_UNABLE_TO_MOVE_REPLACEMENT_2 (1177): the old file lives on under
//     the backup name, the new one under the temporary name.
// The files themselves say which state this is, whatever the error code:
// which file the target's name holds, and whether the temporary one is
// still there.
ReplaceResult RecoverFromFailedReplace(const FormChar* target, const FormChar* temp, const FormChar* backup,
                                       DWORD attributes, const FileIdentity* newFile)
{
    DWORD error = GetLastError();
    if (IsFile(target)) {
        FileIdentity now;
        bool known = IdentityOf(target, &now);
        if (known && newFile != nullptr && SameIdentity(now, *newFile)) {
            // The new file made it in after all.
            KeepAttributes(target, attributes);
            RemoveFile(backup);
            return kReplaced;
        }
        if (IsFile(temp)) {
            // The new file is still beside: the target holds the old one.
            RemoveFile(backup);
            SetLastError(error);
            return kReplaceKeptOld;
        }
        // Neither the new file nor its temporary name: keep what there is.
        SetLastError(error);
        return kReplaceKeptBoth;
    }
    // The target's name is free: the old file back under it, else the new.
    if (IsFile(backup) && MoveToFreeName(backup, target)) {
        SetLastError(error);
        return kReplaceKeptOld;
    }
    if (MoveToFreeName(temp, target)) {
        KeepAttributes(target, attributes);
        RemoveFile(backup);
        return kReplaced;
    }
    // Neither could go back: whatever holds the name, the new content stays
    // in the temporary file and the old in the backup, both kept.
    SetLastError(error);
    return kReplaceKeptBoth;
}

uint64_t WriteTimeOf(const FILETIME& time)
{
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// Adds the bytes of file from, from offset on, at the end of file to.
bool AppendTail(const FormChar* from, const FormChar* to, uint64_t offset)
{
    const DWORD kChunk = 1u << 16;
    HANDLE in = CreateFileW(from, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    HANDLE out = CreateFileW(to, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    void* buffer = GlobalAlloc(GMEM_FIXED, kChunk);
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    bool ok = in != INVALID_HANDLE_VALUE && out != INVALID_HANDLE_VALUE && buffer != nullptr &&
              SetFilePointerEx(in, at, nullptr, FILE_BEGIN);
    while (ok) {
        DWORD got = 0;
        DWORD put = 0;
        ok = ReadFile(in, buffer, kChunk, &got, nullptr) != FALSE;
        if (!ok || got == 0) {
            break;
        }
        ok = WriteFile(out, buffer, got, &put, nullptr) && put == got;
    }
    if (buffer != nullptr) {
        GlobalFree(buffer);
    }
    if (in != INVALID_HANDLE_VALUE) {
        CloseHandle(in);
    }
    if (out != INVALID_HANDLE_VALUE) {
        CloseHandle(out);
    }
    return ok;
}

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

bool PlatformToAnsi(const FormChar* text, char* out, uint32_t outCapacity, bool* held)
{
    if (GetACP() == CP_UTF8) {
        // UTF-8 holds every character; only a lone surrogate has no form.
        // This code page takes neither best-fit flags nor the used-default
        // flag.
        int n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, -1, out, static_cast<int>(outCapacity),
                                    nullptr, nullptr);
        if (n > 0) {
            *held = true;
            return true;
        }
        if (GetLastError() == ERROR_NO_UNICODE_TRANSLATION && outCapacity > 0) {
            out[0] = 0;
            *held = false;
            return true;
        }
        *held = false;
        return false;
    }
    // No best fit: a character the code page lacks becomes the default
    // character, which the flag then tells, instead of a look-alike.
    BOOL usedDefault = FALSE;
    int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text, -1, out, static_cast<int>(outCapacity), nullptr,
                                &usedDefault);
    *held = n > 0 && !usedDefault;
    return n > 0;
}

bool PlatformLineContains(const char* line, const char* needle, bool ignoreCase)
{
    return (ignoreCase ? StrStrIA(line, needle) : StrStrA(line, needle)) != nullptr;
}

bool PlatformWideLineContains(const FormChar* line, const FormChar* needle, bool ignoreCase)
{
    return (ignoreCase ? StrStrIW(line, needle) : StrStrW(line, needle)) != nullptr;
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
    rules->utf8CodePage = GetACP() == CP_UTF8;
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
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
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

FileHandle PlatformClaimTarget(const FormChar* path, bool* created, const StopFlag* stop)
{
    // Shared for reading only: a second claim wants write access and fails.
    // Read access too, for the file's first bytes (its encoding).
    HANDLE file = INVALID_HANDLE_VALUE;
    Retried(
        [&] {
            file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
            return file != INVALID_HANDLE_VALUE;
        },
        stop);
    if (file == INVALID_HANDLE_VALUE) {
        *created = false;
        return nullptr;
    }
    *created = GetLastError() != ERROR_ALREADY_EXISTS;
    return file;
}

bool PlatformReadHead(FileHandle file, void* buffer, uint32_t count, uint32_t* got)
{
    *got = 0;
    LARGE_INTEGER start;
    start.QuadPart = 0;
    if (!SetFilePointerEx(Win(file), start, nullptr, FILE_BEGIN)) {
        return false;
    }
    while (*got < count) {
        DWORD read = 0;
        if (!ReadFile(Win(file), static_cast<char*>(buffer) + *got, count - *got, &read, nullptr)) {
            return false;
        }
        if (read == 0) {
            break;
        }
        *got += read;
    }
    return true;
}

bool PlatformSeekEnd(FileHandle file)
{
    // 64 bits: an export of 4 GiB or more is appended to at its real end.
    LARGE_INTEGER none;
    none.QuadPart = 0;
    return SetFilePointerEx(Win(file), none, nullptr, FILE_END) != FALSE;
}

bool PlatformWrite(FileHandle file, const void* bytes, uint32_t count)
{
    DWORD written = 0;
    return WriteFile(Win(file), bytes, count, &written, nullptr) && written == count;
}

bool PlatformTruncate(FileHandle file, uint64_t size)
{
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(size);
    return SetFilePointerEx(Win(file), at, nullptr, FILE_BEGIN) && SetEndOfFile(Win(file));
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

FileHandle PlatformCreateTempBeside(const FormChar* target, FormChar* tempPath, const StopFlag* stop)
{
    FormChar full[kTempPathCapacity];
    if (!FullPath(target, full, kTempPathCapacity)) {
        return nullptr;
    }
    uint32_t folder = FolderLength(full);
    DWORD first = FirstNumber();
    for (DWORD i = 0; folder > 0 && i < 0x10000; ++i) {
        if (!NameBeside(full, folder, L"qzv", first + i, tempPath)) {
            return nullptr;
        }
        HANDLE file = INVALID_HANDLE_VALUE;
        Retried(
            [&] {
                file = CreateFileW(tempPath, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
                return file != INVALID_HANDLE_VALUE;
            },
            stop);
        if (file != INVALID_HANDLE_VALUE) {
            return file;
        }
        DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
            return nullptr;
        }
    }
    return nullptr;
}

ReplaceResult PlatformReplace(const FormChar* target, const FormChar* temp, const FileStamp* expected,
                              FormChar* backup)
{
    FormChar full[kTempPathCapacity];
    backup[0] = 0;
    if (!FullPath(target, full, kTempPathCapacity) || !FreeNameBeside(full, backup)) {
        return kReplaceKeptOld;
    }
    DWORD attributes = GetFileAttributesW(full);
    FileIdentity newFile;
    bool newKnown = IdentityOf(temp, &newFile);
    if (!Retried([&] { return PlatformReplaceStep(full, temp, backup); })) {
        return RecoverFromFailedReplace(full, temp, backup, attributes, newKnown ? &newFile : nullptr);
    }
    KeepAttributes(full, attributes);
    FileStamp old;
    if (expected != nullptr && PlatformStamp(backup, &old) && !SameStamp(old, *expected)) {
        // The old file, now under the backup name, shows that another
        // program wrote to it between the caller's last look and the replace.
        // What it added goes to the end of the new file, which it may be
        // writing to by now; a file changed otherwise goes back.
        if (old.size > expected->size && AppendTail(backup, full, expected->size)) {
            RemoveFile(backup);
            return kReplaced;
        }
        if (Retried([&] { return MoveFileExW(backup, full, MOVEFILE_REPLACE_EXISTING) != FALSE; })) {
            return kReplaceFoundChanged;
        }
        return kReplaceKeptBoth;
    }
    RemoveFile(backup);
    return kReplaced;
}

void PlatformDelete(const FormChar* path)
{
    RemoveFile(path);
}

uint32_t PlatformLastError()
{
    return GetLastError();
}

bool PlatformSameFile(FileHandle claim, const FormChar* path)
{
    HANDLE probe = CreateFileW(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (probe == INVALID_HANDLE_VALUE) {
        return false;
    }
    FormChar held[kLongPathCapacity];
    FormChar named[kLongPathCapacity];
    bool same = PlatformClaimedPath(claim, held, kLongPathCapacity) &&
                PlatformClaimedPath(probe, named, kLongPathCapacity);
    CloseHandle(probe);
    for (uint32_t i = 0; same; ++i) {
        if (held[i] != named[i]) {
            same = false;
        } else if (held[i] == 0) {
            break;
        }
    }
    return same;
}

bool PlatformStamp(const FormChar* path, FileStamp* stamp)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path, GetFileExInfoStandard, &data)) {
        return false;
    }
    stamp->size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    stamp->writeTime = WriteTimeOf(data.ftLastWriteTime);
    return true;
}
