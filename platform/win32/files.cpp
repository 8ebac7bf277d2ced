// Files on Windows: kernel32 memory and files, claims, which file a name
// holds, our names beside a file, the Recycle Bin, the state folder, and
// keys no one can foresee.

#include "platform/win32/win32_shared.h"

using namespace win32_platform;

namespace {

// A run's big blocks (its window and buffers, its tables of verdicts) are
// kept when it frees them and handed to the next run zeroed: a block given
// back to the system costs the next run a fault on each of its pages, some
// 400 to 900 a run (about 10 µs each under Wine on a virtual machine). The
// last few freed are kept, each for a request of its size; a window grown
// for a long line (more than kKeptMost) goes back to the system.
const SIZE_T kKeptLeast = 64u << 10;
const SIZE_T kKeptMost = 4u << 20;
void* volatile g_kept[4];
volatile LONG g_evict;

void* TakeKept(SIZE_T size)
{
    for (void* volatile& slot : g_kept) {
        void* block = InterlockedExchangePointer(const_cast<void**>(&slot), nullptr);
        if (block == nullptr) {
            continue;
        }
        const SIZE_T have = GlobalSize(static_cast<HGLOBAL>(block));
        if (have >= size && have - size < 4096) {
            __builtin_memset(block, 0, size);
            return block;
        }
        void* other = InterlockedExchangePointer(const_cast<void**>(&slot), block);
        if (other != nullptr) {
            GlobalFree(static_cast<HGLOBAL>(other));
        }
    }
    return nullptr;
}

bool Keep(void* block)
{
    const SIZE_T size = GlobalSize(static_cast<HGLOBAL>(block));
    if (size < kKeptLeast || size > kKeptMost) {
        return false;
    }
    for (void* volatile& slot : g_kept) {
        if (InterlockedCompareExchangePointer(const_cast<void**>(&slot), block, nullptr) == nullptr) {
            return true;
        }
    }
    // All taken: one goes back instead, each slot in turn.
    const LONG slot = InterlockedIncrement(&g_evict) & 3;
    void* oldest = InterlockedExchangePointer(const_cast<void**>(&g_kept[slot]), block);
    if (oldest != nullptr) {
        GlobalFree(static_cast<HGLOBAL>(oldest));
    }
    return true;
}

}  // namespace

void* PlatformAllocZeroed(uint64_t size)
{
    if (size >= kKeptLeast && size <= kKeptMost) {
        if (void* kept = TakeKept(static_cast<SIZE_T>(size))) {
            return kept;
        }
    }
    return GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, static_cast<SIZE_T>(size));
}

void PlatformFree(void* block)
{
    if (block != nullptr && !Keep(block)) {
        GlobalFree(static_cast<HGLOBAL>(block));
    }
}

void* PlatformGrow(void* block, uint64_t keep, uint64_t size)
{
    void* grown = PlatformAllocZeroed(size);
    if (grown != nullptr) {
        __builtin_memcpy(grown, block, static_cast<SIZE_T>(keep));
        PlatformFree(block);
    }
    return grown;
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

FileHandle PlatformClaimTarget(const FormChar* path, bool* created, const StopFlag* stop, bool shareWrites)
{
    // Shared for reading only: a second claim wants write access and fails.
    // A rewritten export shares writing too, so that a logger can go on
    // adding to it; write access is still asked, so that a file that cannot
    // be written is told now, before any line is. Read access too, for the
    // file's first bytes (its encoding).
    DWORD share = shareWrites ? FILE_SHARE_READ | FILE_SHARE_WRITE : FILE_SHARE_READ;
    HANDLE file = INVALID_HANDLE_VALUE;
    Retried(
        [&] {
            file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_ALWAYS,
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

bool PlatformClose(FileHandle file)
{
    return file == nullptr || CloseHandle(Win(file)) != FALSE;
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

bool PlatformFullPath(FormChar* path, uint32_t capacity)
{
    FormChar full[kLongPathCapacity];
    if (!FullPath(path, full, kLongPathCapacity)) {
        return false;
    }
    uint32_t length = 0;
    while (full[length] != 0) {
        ++length;
    }
    if (length >= capacity) {
        return false;
    }
    for (uint32_t i = 0; i <= length; ++i) {
        path[i] = full[i];
    }
    return true;
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

namespace {

// A new, unshared file under path, which no file may hold; tried again
// while another program holds it for a moment.
HANDLE CreateNew(const FormChar* path, const StopFlag* stop)
{
    HANDLE file = INVALID_HANDLE_VALUE;
    Retried(
        [&] {
            file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
            return file != INVALID_HANDLE_VALUE;
        },
        stop);
    return file;
}

}  // namespace

FileHandle PlatformCreateTempBeside(const FormChar* target, FormChar* tempPath, const StopFlag* stop)
{
    FormChar full[kTempPathCapacity];
    if (!FullPath(target, full, kTempPathCapacity)) {
        return nullptr;
    }
    if (tempPath[0] != 0) {
        // The name chosen ahead, which no file may hold.
        HANDLE file = CreateNew(tempPath, stop);
        return file == INVALID_HANDLE_VALUE ? nullptr : file;
    }
    uint32_t folder = FolderLength(full);
    DWORD first = FirstNumber();
    for (DWORD i = 0; folder > 0 && i < 0x10000; ++i) {
        if (!NameBeside(full, folder, L"qzv", first + i, tempPath)) {
            return nullptr;
        }
        HANDLE file = CreateNew(tempPath, stop);
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


void PlatformDelete(const FormChar* path)
{
    RemoveFile(path);
}

bool PlatformDeleteIfEmpty(const FormChar* path, const FileIdentity* identity)
{
    bool removed = false;
    Retried([&] {
        HANDLE file = CreateFileW(path, DELETE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            return false;
        }
        BY_HANDLE_FILE_INFORMATION info;
        FILE_DISPOSITION_INFO dispose;
        dispose.DeleteFile = TRUE;
        auto isThatFile = [&] {
            const uint64_t index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
            return identity == nullptr || (info.dwVolumeSerialNumber == identity->volume && index == identity->index);
        };
        // A link or a folder under the name is no file of ours.
        const DWORD notAFile = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY;
        removed = GetFileInformationByHandle(file, &info) && (info.dwFileAttributes & notAFile) == 0 && isThatFile() &&
                  info.nFileSizeHigh == 0 && info.nFileSizeLow == 0 &&
                  SetFileInformationByHandle(file, FileDispositionInfo, &dispose, sizeof dispose);
        CloseHandle(file);
        return true;
    });
    return removed;
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

bool PlatformStampOf(FileHandle file, FileStamp* stamp)
{
    return StampOfHandle(Win(file), stamp);
}

bool PlatformIdentity(FileHandle file, FileIdentity* identity)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(Win(file), &info)) {
        return false;
    }
    identity->volume = info.dwVolumeSerialNumber;
    identity->index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
}

bool PlatformIdentityAt(const FormChar* path, FileIdentity* identity)
{
    DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
           IdentityOf(path, identity);
}

bool PlatformSetWriteTime(FileHandle file, uint64_t writeTime)
{
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(writeTime);
    time.dwHighDateTime = static_cast<DWORD>(writeTime >> 32);
    return SetFileTime(Win(file), nullptr, nullptr, &time) != FALSE;
}

bool PlatformSeekTo(FileHandle file, uint64_t offset)
{
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    return SetFilePointerEx(Win(file), at, nullptr, FILE_BEGIN) != FALSE;
}

bool PlatformNameBeside(const FormChar* target, FormChar kind, uint32_t slot, FormChar* name)
{
    FormChar full[kTempPathCapacity];
    if (!FullPath(target, full, kTempPathCapacity)) {
        return false;
    }
    FormChar prefix[4] = {L'q', L'z', kind, 0};
    uint32_t folder = FolderLength(full);
    DWORD first = FirstNumber() + (slot << 12);
    for (DWORD i = 0; folder > 0 && i < 0x10000; ++i) {
        if (!NameBeside(full, folder, prefix, first + i, name)) {
            return false;
        }
        if (GetFileAttributesW(name) == INVALID_FILE_ATTRIBUTES) {
            return GetLastError() == ERROR_FILE_NOT_FOUND;
        }
    }
    return false;
}

FileHandle PlatformOpenFile(const FormChar* path, OpenMode mode)
{
    // A record is shared for deletion only: its run removes it while it
    // still holds it, and no one else can open it meanwhile. A file read
    // alone is not shared at all.
    DWORD access = GENERIC_READ | GENERIC_WRITE;
    DWORD share = FILE_SHARE_DELETE;
    if (mode == kOpenToMend || mode == kOpenToAppend) {
        share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    }
    if (mode == kOpenToAppend) {
        access = GENERIC_READ | FILE_APPEND_DATA;
    } else if (mode == kOpenToReadAlone) {
        access = GENERIC_READ;
        share = 0;
    }
    DWORD disposition = mode == kOpenRecordNew ? CREATE_NEW : OPEN_EXISTING;
    HANDLE file = INVALID_HANDLE_VALUE;
    Retried([&] {
        file = CreateFileW(path, access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
        // A record held by a run going on is not waited for.
        return file != INVALID_HANDLE_VALUE || (mode == kOpenRecordExisting && GetLastError() == ERROR_SHARING_VIOLATION);
    });
    return file == INVALID_HANDLE_VALUE ? nullptr : file;
}

bool PlatformRenameToFree(const FormChar* from, const FormChar* to)
{
    return MoveToFreeName(from, to);
}

bool PlatformLinkBeside(const FormChar* existing, const FormChar* to)
{
    return CreateHardLinkW(to, existing, nullptr) != FALSE;
}

uint32_t PlatformNameCount(const FormChar* path)
{
    HANDLE file = CreateFileW(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return 0;
    }
    // The standard information holds the count alone: the full one asks the
    // volume too, which some systems answer slowly.
    FILE_STANDARD_INFO info;
    uint32_t count = GetFileInformationByHandleEx(file, FileStandardInfo, &info, sizeof info) ? info.NumberOfLinks : 0;
    CloseHandle(file);
    return count;
}

// The shell's own move to the Recycle Bin, asked to show nothing: no
// confirmation, no progress, no error box. (Where it cannot recycle it
// removes the file without asking; the caller holds a second name.) The
// shell takes plain paths only: a longer one, or one in the "\\?\" form
// (whose '?' it would read as a wildcard), is not handed to it.
bool PlatformRecycle(const FormChar* path)
{
    // A full path, ended with two terminators.
    FormChar from[kTempPathCapacity + 1];
    if (!FullPath(path, from, kTempPathCapacity)) {
        return false;
    }
    DWORD n = 0;
    while (from[n] != 0) {
        ++n;
    }
    if (n >= MAX_PATH || (n >= 4 && from[0] == L'\\' && from[1] == L'\\' && (from[2] == L'?' || from[2] == L'.'))) {
        return false;
    }
    from[n + 1] = 0;
    SHFILEOPSTRUCTW operation = {};
    operation.wFunc = FO_DELETE;
    operation.pFrom = from;
    operation.fFlags = FOF_ALLOWUNDO | FOF_NOCONFIRMATION | FOF_NOERRORUI | FOF_SILENT;
    return SHFileOperationW(&operation) == 0 && !operation.fAnyOperationsAborted;
}

bool PlatformStateFolder(FormChar* folder, uint32_t capacity)
{
    const DWORD room = kLongPathCapacity - 16;
    DWORD n = GetEnvironmentVariableW(L"LOCALAPPDATA", folder, capacity < room ? capacity : room);
    if (n == 0 || n >= room || n + 12 >= capacity) {
        n = GetTempPathW(capacity < room ? capacity : room, folder);
        if (n == 0 || n >= room || n + 12 >= capacity) {
            return false;
        }
    }
    if (folder[n - 1] != L'\\' && folder[n - 1] != L'/') {
        folder[n++] = L'\\';
    }
    for (const FormChar* p = L"Quorvane\\"; *p != 0; ++p) {
        folder[n++] = *p;
    }
    folder[n] = 0;
    if (!CreateDirectoryW(folder, nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        return false;
    }
    // A folder, and not a link to somewhere else.
    DWORD attributes = GetFileAttributesW(folder);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    return true;
}

void PlatformListBeside(const FormChar* target, FormChar kind, uint32_t limit, FoundFile found, void* arg)
{
    FormChar pattern[kTempPathCapacity];
    if (!FullPath(target, pattern, kTempPathCapacity)) {
        return;
    }
    uint32_t folder = FolderLength(pattern);
    FormChar prefix[4] = {L'q', L'z', kind, 0};
    if (folder == 0 || folder + kNameBesideLength + 1 > kTempPathCapacity) {
        return;
    }
    uint32_t n = folder;
    for (const FormChar* p = prefix; *p != 0; ++p) {
        pattern[n++] = *p;
    }
    for (const FormChar* p = L"????.tmp"; *p != 0; ++p) {
        pattern[n++] = *p;
    }
    pattern[n] = 0;
    WIN32_FIND_DATAW data;
    HANDLE search = FindFirstFileW(pattern, &data);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    // The names first, then the calls: a call may remove files.
    const uint32_t kMost = 64;
    FormChar* names = static_cast<FormChar*>(GlobalAlloc(GMEM_FIXED, sizeof(FormChar) * kTempPathCapacity * kMost));
    uint32_t count = 0;
    do {
        uint32_t length = 0;
        while (data.cFileName[length] != 0) {
            ++length;
        }
        if (names == nullptr || length != kNameBesideLength || !IsOurName(data.cFileName, kind) ||
            (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
            continue;
        }
        FormChar* name = names + count * kTempPathCapacity;
        for (uint32_t i = 0; i < folder; ++i) {
            name[i] = pattern[i];
        }
        for (uint32_t i = 0; i <= length; ++i) {
            name[folder + i] = data.cFileName[i];
        }
        ++count;
    } while (count < kMost && count < limit && FindNextFileW(search, &data));
    FindClose(search);
    for (uint32_t i = 0; i < count; ++i) {
        found(arg, names + i * kTempPathCapacity);
    }
    if (names != nullptr) {
        GlobalFree(names);
    }
}

namespace {

uint64_t Mixed(uint64_t x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// The processor's own random numbers, where it has them (RDRAND).
__attribute__((target("rdrnd"))) bool HardwareRandom(uint64_t* value)
{
    unsigned long long v = 0;
    for (int tries = 0; tries < 10; ++tries) {
        if (__builtin_ia32_rdrand64_step(&v)) {
            *value = v;
            return true;
        }
    }
    return false;
}

bool HasHardwareRandom()
{
    int info[4] = {0, 0, 0, 0};
    __asm__ __volatile__("cpuid" : "=a"(info[0]), "=b"(info[1]), "=c"(info[2]), "=d"(info[3]) : "a"(1), "c"(0));
    return (info[2] & (1 << 30)) != 0;
}

}  // namespace

void PlatformRandom(void* bytes, uint32_t count)
{
    // The processor's random numbers, mixed with what differs from run to
    // run: the high-resolution counter, the clock, the process and thread,
    // and where the stack lies.
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    uint64_t state = Mixed(static_cast<uint64_t>(counter.QuadPart)) ^
                     Mixed((static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime) ^
                     Mixed((static_cast<uint64_t>(GetCurrentProcessId()) << 32) | GetCurrentThreadId()) ^
                     Mixed(reinterpret_cast<uintptr_t>(&counter));
    bool hardware = HasHardwareRandom();
    unsigned char* to = static_cast<unsigned char*>(bytes);
    for (uint32_t i = 0; i < count; i += 8) {
        uint64_t drawn = 0;
        if (hardware && HardwareRandom(&drawn)) {
            state ^= drawn;
        }
        QueryPerformanceCounter(&counter);
        state = Mixed(state ^ static_cast<uint64_t>(counter.QuadPart));
        for (uint32_t b = 0; b < 8 && i + b < count; ++b) {
            to[i + b] = static_cast<unsigned char>(state >> (8 * b));
        }
    }
}
