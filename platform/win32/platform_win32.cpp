// The platform on Windows: the dialog's controls, kernel32 files and
// memory, the ANSI code page, and shlwapi's line search.

#include <windows.h>
#include <shellapi.h>
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

// True when name is exactly "qz<kind>XXXX.tmp", four upper-case hex digits,
// as NameBeside makes them: a user's file of another shape (or one found
// only through its short 8.3 name) is none of ours.
bool IsOurName(const FormChar* name, FormChar kind)
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

// Which file a name holds, whoever holds it open. False when the name holds
// no file that can be asked.
bool IdentityOf(const FormChar* path, FileIdentity* id)
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

NameHolds WhatNameHolds(const FormChar* path, const FileIdentity& oldFile, const FileIdentity& newFile)
{
    FileIdentity now;
    if (IdentityOf(path, &now)) {
        return SameIdentity(now, oldFile) ? kNameHoldsOld : SameIdentity(now, newFile) ? kNameHoldsNew : kNameHoldsOther;
    }
    return GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES && GetLastError() == ERROR_FILE_NOT_FOUND
               ? kNameFree
               : kNameHoldsOther;
}

uint64_t WriteTimeOf(const FILETIME& time)
{
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

bool StampOfHandle(HANDLE file, FileStamp* stamp)
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

// Reads count bytes from offset through the buffer, handing each piece to
// use(bytes, n); false when a read fails or the file ends first.
const DWORD kCopyChunk = 1u << 16;

template <typename Use>
bool ReadRange(HANDLE file, uint64_t offset, uint64_t count, char* buffer, Use use)
{
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(file, at, nullptr, FILE_BEGIN)) {
        return false;
    }
    while (count > 0) {
        DWORD want = count < kCopyChunk ? static_cast<DWORD>(count) : kCopyChunk;
        DWORD got = 0;
        if (!ReadFile(file, buffer, want, &got, nullptr) || got != want || !use(buffer, got)) {
            return false;
        }
        count -= got;
    }
    return true;
}

// Adds the bytes of file from, from offset to its end (which is a line's
// end), at the end of the file named to. Each write ends at a line's end, so
// that a record another program appends meanwhile comes between two whole
// lines, never inside one.
bool AppendTail(HANDLE from, uint64_t offset, uint64_t end, const FormChar* to, char* buffer, uint32_t unit)
{
    HANDLE out = CreateFileW(to, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE) {
        return false;
    }
    // Bytes read and not yet written gather after the read buffer, in room
    // for two pieces.
    char* carry = buffer + kCopyChunk;
    DWORD carried = 0;
    bool ok = ReadRange(from, offset, end - offset, buffer, [&](const char* bytes, DWORD n) {
        __builtin_memcpy(carry + carried, bytes, n);
        carried += n;
        DWORD cut = LineEndCut(reinterpret_cast<const unsigned char*>(carry), carried, unit);
        if (cut == 0) {
            if (carried < kCopyChunk) {
                return true;   // the line goes on in the next piece
            }
            // A line longer than the room: written as it comes, in whole units.
            cut = carried - carried % LineUnitBytes(unit);
        }
        DWORD put = 0;
        if (!WriteFile(out, carry, cut, &put, nullptr) || put != cut) {
            return false;
        }
        __builtin_memmove(carry, carry + cut, carried - cut);
        carried -= cut;
        return true;
    });
    DWORD put = 0;
    ok = ok && (carried == 0 || (WriteFile(out, carry, carried, &put, nullptr) && put == carried));
    ok = FlushFileBuffers(out) && ok;
    return CloseHandle(out) && ok;
}

// True when the old file, held by file, only grew since the run read it:
// its first expected->stamp.size bytes sum as the run's read did, and both
// they and the file end a line, by the source's own line ends (else a
// record was half written when the run took the size, and the new file
// ends it already, or it is half written now). *tail receives where what
// came in starts: after an LF that ends a CR LF cut between the two, since
// the new file ends that line.
bool OnlyAppendedTo(HANDLE file, const FileStamp& now, const SourceAsRead* expected, char* buffer, uint64_t* tail)
{
    const uint64_t read = expected->stamp.size;
    const uint32_t unit = expected->unit;
    const uint32_t width = LineUnitBytes(unit);
    if (now.size <= read || (now.size - read) % width != 0) {
        return false;
    }
    // The last unit read and the first that came in; a line feed stands in
    // for the one before the file's first.
    unsigned char around[4] = {'\n', 0, '\n', 0};
    if (unit == kLineUnitUtf16Be) {
        around[0] = around[2] = 0;
        around[1] = around[3] = '\n';
    }
    unsigned char last[2] = {0, 0};
    uint64_t from = read >= width ? read - width : read;
    bool ends = ReadRange(file, from, read + width - from, buffer, [&](const char* bytes, DWORD n) {
        __builtin_memcpy(around + (2 * width - n), bytes, n);
        return true;
    }) && ReadRange(file, now.size - width, width, buffer, [&](const char* bytes, DWORD n) {
        __builtin_memcpy(last, bytes, n);
        return true;
    });
    if (!ends || !IsLineEndUnit(around, unit) || !IsLineEndUnit(last, unit)) {
        return false;
    }
    bool crThenLf = read > 0 && !IsLineFeedUnit(around, unit) && IsLineFeedUnit(around + width, unit);
    *tail = read + (crThenLf ? width : 0);
    ContentSum sum;
    SumInit(&sum);
    bool summed = ReadRange(file, 0, read, buffer, [&](const char* bytes, DWORD n) {
        SumAdd(&sum, bytes, n);
        return true;
    });
    return summed && SumValue(&sum) == expected->sum;
}

// The new file is in the target's place and the old one under the backup
// name. Puts the old file back in its place, unless the new one grew since
// it was written (newSize, its size before the move): a record another
// program added to it since would go with it. Both are kept then.
ReplaceResult PutOldBack(const FormChar* target, const FormChar* backup, uint64_t newSize)
{
    FileStamp now;
    if (PlatformStamp(target, &now) && now.size == newSize &&
        Retried([&] { return MoveFileExW(backup, target, MOVEFILE_REPLACE_EXISTING) != FALSE; })) {
        return kReplaceFoundChanged;
    }
    return kReplaceKeptBoth;
}

// The replace is done: the old file under the backup name goes, or stays
// for the caller.
ReplaceResult OldDone(const FormChar* backup, bool keepOld)
{
    if (!keepOld) {
        RemoveFile(backup);
    }
    return kReplaced;
}

// After the move: the target's name holds the new file. The backup goes,
// unless the old file (expected: the source as the run read it) shows that
// another program wrote to it meanwhile. What it only added at the end, in
// whole lines, goes to the end of the new file; the old file is held
// unshared meanwhile, so that nothing more can be written to it unseen,
// and a program that keeps it open (sharing its deletion) is seen: the old
// file then goes back in its place, as it does when it was changed
// otherwise.
ReplaceResult AfterTheMove(const FormChar* target, const FormChar* backup, const SourceAsRead* expected,
                           const FileIdentity& oldFile, const FileIdentity& newFile, uint64_t newSize, bool keepOld)
{
    if (WhatNameHolds(target, oldFile, newFile) != kNameHoldsNew) {
        // Taken by another program already: keep everything.
        return kReplaceKeptBoth;
    }
    if (WhatNameHolds(backup, oldFile, newFile) == kNameFree) {
        // The replace left no old file to look at.
        return kReplaced;
    }
    if (expected == nullptr) {
        return OldDone(backup, keepOld);
    }
    HANDLE old = INVALID_HANDLE_VALUE;
    Retried([&] {
        old = CreateFileW(backup, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        return old != INVALID_HANDLE_VALUE;
    });
    if (old == INVALID_HANDLE_VALUE) {
        // Another program keeps the old file open (sharing its deletion, or
        // the move would have failed): what it writes next would go to a
        // file about to be removed. The old file goes back; when that
        // program has not written to it yet, the replace is what failed.
        FileStamp seen;
        bool unwritten = PlatformStamp(backup, &seen) && SameStamp(seen, expected->stamp);
        ReplaceResult back = PutOldBack(target, backup, newSize);
        if (back == kReplaceFoundChanged && unwritten) {
            SetLastError(ERROR_SHARING_VIOLATION);
            return kReplaceKeptOld;
        }
        return back;
    }
    FileStamp oldStamp;
    bool known = StampOfHandle(old, &oldStamp);
    if (known && SameStamp(oldStamp, expected->stamp)) {
        CloseHandle(old);
        return OldDone(backup, keepOld);
    }
    char* buffer = static_cast<char*>(GlobalAlloc(GMEM_FIXED, 3 * kCopyChunk));
    uint64_t tail = 0;
    bool appended = known && buffer != nullptr && OnlyAppendedTo(old, oldStamp, expected, buffer, &tail) &&
                    (tail == oldStamp.size || AppendTail(old, tail, oldStamp.size, target, buffer, expected->unit));
    if (buffer != nullptr) {
        GlobalFree(buffer);
    }
    CloseHandle(old);
    if (appended) {
        return OldDone(backup, keepOld);
    }
    return PutOldBack(target, backup, newSize);
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
// Which state this is, whatever the error code, is told by which file each
// name holds, by identity: in that last state another program may have made
// a file of its own under the target's name meanwhile (a logger that opens
// the log for each record), which is neither of ours.
ReplaceResult RecoverFromFailedReplace(const FormChar* target, const FormChar* temp, const FormChar* backup,
                                       DWORD attributes, const FileIdentity& oldFile, const FileIdentity& newFile,
                                       uint64_t newSize, const SourceAsRead* expected, bool keepOld)
{
    DWORD error = GetLastError();
    switch (WhatNameHolds(target, oldFile, newFile)) {
    case kNameHoldsNew:
        // The new file made it in after all.
        KeepAttributes(target, attributes);
        return AfterTheMove(target, backup, expected, oldFile, newFile, newSize, keepOld);
    case kNameHoldsOld:
        // Whatever the backup name holds is a copy the replace made.
        if (WhatNameHolds(backup, oldFile, newFile) == kNameHoldsOther) {
            RemoveFile(backup);
        }
        SetLastError(error);
        return kReplaceKeptOld;
    case kNameFree:
        // The old file back under its name; when the replace left none, the
        // new one is all there is.
        if (WhatNameHolds(backup, oldFile, newFile) == kNameHoldsOld) {
            if (MoveToFreeName(backup, target)) {
                SetLastError(error);
                return kReplaceKeptOld;
            }
        } else if (WhatNameHolds(temp, oldFile, newFile) == kNameHoldsNew && MoveToFreeName(temp, target)) {
            KeepAttributes(target, attributes);
            return AfterTheMove(target, backup, expected, oldFile, newFile, newSize, keepOld);
        }
        break;
    case kNameHoldsOther:
        break;
    }
    // Another program's file under the target's name, or neither file could
    // go back: the new content stays in the temporary file and the old in
    // the backup, both kept, and the other program's file is not touched.
    SetLastError(error);
    return kReplaceKeptBoth;
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
    rules->hasBarriers = false;
    for (unsigned char& bits : rules->barrierPair) {
        bits = 0;
    }
    for (unsigned char& bits : rules->ideographPair) {
        bits = 0;
    }
    CPINFO info;
    if (GetCPInfo(CP_ACP, &info) && info.MaxCharSize > 1) {
        for (int r = 0; r + 1 < MAX_LEADBYTES && info.LeadByte[r] != 0; r += 2) {
            for (int c = info.LeadByte[r]; c <= info.LeadByte[r + 1]; ++c) {
                rules->leadByte[c] = 1;
                rules->hasLeadBytes = true;
            }
        }
    }
    // Which double-byte characters are barriers: each pair turned into its
    // one UTF-16 unit, once a run.
    for (int lead = 0x81; rules->hasLeadBytes && lead <= 0xFE; ++lead) {
        if (!rules->leadByte[lead]) {
            continue;
        }
        for (int trail = 0x40; trail <= 0xFE; ++trail) {
            char pair[2] = {static_cast<char>(lead), static_cast<char>(trail)};
            wchar_t unit[2];
            if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, pair, 2, unit, 2) == 1 &&
                IsBarrierCharacter(static_cast<uint32_t>(unit[0]))) {
                unsigned index = static_cast<unsigned>(lead) << 8 | static_cast<unsigned>(trail);
                rules->barrierPair[index >> 3] = static_cast<unsigned char>(rules->barrierPair[index >> 3] | 1u << (index & 7));
                rules->hasBarriers = true;
                if (IsUnifiedIdeograph(static_cast<uint32_t>(unit[0]))) {
                    rules->ideographPair[index >> 3] =
                        static_cast<unsigned char>(rules->ideographPair[index >> 3] | 1u << (index & 7));
                }
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
    if (tempPath[0] != 0) {
        // The name chosen ahead, which no file may hold.
        HANDLE file = INVALID_HANDLE_VALUE;
        Retried(
            [&] {
                file = CreateFileW(tempPath, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
                return file != INVALID_HANDLE_VALUE;
            },
            stop);
        return file == INVALID_HANDLE_VALUE ? nullptr : file;
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

ReplaceResult PlatformReplace(const FormChar* target, const FormChar* temp, const SourceAsRead* expected,
                              FormChar* backup, bool, bool keepOld)
{
    FormChar full[kTempPathCapacity];
    if (!FullPath(target, full, kTempPathCapacity) || (backup[0] == 0 && !FreeNameBeside(full, backup))) {
        backup[0] = 0;
        return kReplaceKeptOld;
    }
    DWORD attributes = GetFileAttributesW(full);
    // Which file is which, taken before anything moves: every decision
    // after the step goes by these.
    FileIdentity oldFile;
    FileIdentity newFile;
    FileStamp written;
    if (!IdentityOf(full, &oldFile) || !IdentityOf(temp, &newFile) || !PlatformStamp(temp, &written)) {
        return kReplaceKeptOld;
    }
    if (!Retried([&] { return PlatformReplaceStep(full, temp, backup); })) {
        return RecoverFromFailedReplace(full, temp, backup, attributes, oldFile, newFile, written.size, expected,
                                        keepOld);
    }
    KeepAttributes(full, attributes);
    return AfterTheMove(full, backup, expected, oldFile, newFile, written.size, keepOld);
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
    // still holds it, and no one else can open it meanwhile.
    DWORD share = mode == kOpenToMend ? FILE_SHARE_READ | FILE_SHARE_WRITE : FILE_SHARE_DELETE;
    DWORD disposition = mode == kOpenRecordNew ? CREATE_NEW : OPEN_EXISTING;
    HANDLE file = INVALID_HANDLE_VALUE;
    Retried([&] {
        file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
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
    BY_HANDLE_FILE_INFORMATION info;
    uint32_t count = GetFileInformationByHandle(file, &info) ? info.nNumberOfLinks : 0;
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
