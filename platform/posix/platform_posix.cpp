// The platform on POSIX systems, for native tests and benchmarks: POSIX
// files, UTF-8 as the ANSI code page, a byte-exact substring search (or, in
// tests, one with a stand-in collation) and ASCII case folding, and a form
// that is a plain struct.

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/posix_form.h"

namespace {

thread_local PosixFaults g_faults;
thread_local long long g_bytesWritten = 0;
thread_local int g_readCalls = 0;
thread_local int g_allocations = 0;
thread_local int g_replaces = 0;
thread_local int g_flushes = 0;
thread_local int g_claims = 0;
thread_local int g_steps = 0;
thread_local std::string g_stateFolder;
thread_local std::string g_trashFolder;

// Files of the run's record: their reads, writes and flushes are steps a
// kill may fall on, but the faults planned for the run's own files (and
// their counts) leave them alone.
thread_local std::vector<int> g_recordFds;

bool IsRecordFd(int fd)
{
    for (int held : g_recordFds) {
        if (held == fd) {
            return true;
        }
    }
    return false;
}

// One step of the kind a kill may fall on.
void Step()
{
    ++g_steps;
    if (g_faults.killAtStep != 0 && g_steps == g_faults.killAtStep) {
        _exit(86);
    }
}
// Files written to since they were opened, for failCloseAfterWrite.
thread_local std::set<int> g_writtenFiles;
// Exports claimed to append (not sharing writes), for failAppendedClose.
thread_local std::set<int> g_appendClaims;

// An injected fault fails the call the way the system would, with a reason.
bool Injected(int error)
{
    errno = error;
    return false;
}

void RaiseStopIf(int at, int count)
{
    if (g_faults.stop != nullptr && at == count) {
        RaiseStop(g_faults.stop);
    }
}

void HookIf(int at, int count)
{
    if (g_faults.hook != nullptr && at == count) {
        g_faults.hook(g_faults.hookArg);
    }
}
thread_local int g_lineSearches = 0;
thread_local int g_wideLineSearches = 0;
thread_local PosixCollation g_collation;
thread_local PosixCodePage g_codePage;

inline int Fd(FileHandle file)
{
    return static_cast<int>(reinterpret_cast<intptr_t>(file)) - 1;
}

inline FileHandle Handle(int fd)
{
    return reinterpret_cast<FileHandle>(static_cast<intptr_t>(fd) + 1);
}

std::string NativePath(const FormChar* path)
{
    return Utf16ToUtf8(path);
}

char AsciiUpper(char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool CollationInForce()
{
    return g_collation.alike[0].from != 0;
}

// The byte the substring search takes c as.
char SearchKey(char c, bool ignoreCase)
{
    for (const PosixCollation::Alike& alike : g_collation.alike) {
        if (alike.from == 0) {
            break;
        }
        if (static_cast<unsigned char>(c) == alike.from) {
            c = static_cast<char>(alike.as);
            break;
        }
    }
    return ignoreCase ? AsciiUpper(c) : c;
}

// Blocks of this size or more are mapped directly. (Huge pages were tried:
// they make the later writes to the page cache several times slower.)
const size_t kMapThreshold = 1u << 20;
// Mapped blocks carry their length in front, one page's worth of header.
const size_t kHeader = 4096;

uint64_t WriteTimeOf(const struct stat& st)
{
    return static_cast<uint64_t>(st.st_mtim.tv_sec) * 1000000000ull + static_cast<uint64_t>(st.st_mtim.tv_nsec);
}

// Reads count bytes of fd from offset, handing each piece to use(bytes, n);
// false when a read fails or the file ends first.
const size_t kCopyChunk = 1u << 16;

template <typename Use>
bool ReadRange(int fd, uint64_t offset, uint64_t count, char* buffer, Use use)
{
    while (count > 0) {
        size_t want = count < kCopyChunk ? static_cast<size_t>(count) : kCopyChunk;
        ssize_t n = pread(fd, buffer, want, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0 || !use(buffer, static_cast<size_t>(n))) {
            return false;
        }
        offset += static_cast<uint64_t>(n);
        count -= static_cast<uint64_t>(n);
    }
    return true;
}

bool WriteAll(int fd, const char* bytes, size_t count)
{
    while (count > 0) {
        ssize_t n = write(fd, bytes, count);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        bytes += n;
        count -= static_cast<size_t>(n);
    }
    return true;
}

// Adds the bytes of fd from, from offset to end (a line's end), at the end
// of the file named to. Each write ends at a line's end, so that a record
// another program appends meanwhile comes between two whole lines.
bool AppendTail(int from, uint64_t offset, uint64_t end, const std::string& to, uint32_t unit)
{
    int out = open(to.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (out < 0) {
        return false;
    }
    std::string buffer(kCopyChunk, '\0');
    std::string carry;
    bool ok = ReadRange(from, offset, end - offset, &buffer[0], [&](const char* bytes, size_t n) {
        carry.append(bytes, n);
        size_t cut = LineEndCut(reinterpret_cast<const unsigned char*>(carry.data()),
                                static_cast<uint32_t>(carry.size()), unit);
        if (cut == 0 && carry.size() < kCopyChunk) {
            return true;
        }
        if (cut == 0) {
            cut = carry.size() - carry.size() % LineUnitBytes(unit);
        }
        if (!WriteAll(out, carry.data(), cut)) {
            return false;
        }
        carry.erase(0, cut);
        return true;
    });
    ok = ok && WriteAll(out, carry.data(), carry.size());
    ok = fsync(out) == 0 && ok;
    return close(out) == 0 && ok;
}

// The sum of fd's first count bytes, as the run sums what it reads.
bool SumOfFirst(int fd, uint64_t count, uint64_t* value)
{
    std::string buffer(kCopyChunk, '\0');
    ContentSum sum;
    SumInit(&sum);
    bool read = ReadRange(fd, 0, count, &buffer[0], [&](const char* bytes, size_t n) {
        SumAdd(&sum, bytes, n);
        return true;
    });
    *value = SumValue(&sum);
    return read;
}

// True when the unit that ends at size is a line end, by the source's own
// line ends.
bool EndsALine(int fd, uint64_t size, uint32_t unit)
{
    uint32_t width = LineUnitBytes(unit);
    unsigned char last[2] = {0, 0};
    return size >= width && pread(fd, last, width, static_cast<off_t>(size - width)) == static_cast<ssize_t>(width) &&
           IsLineEndUnit(last, unit);
}

// Reads until count bytes have come after *got or the file ends: from where
// the file stands, or with fromStart from its first byte on, leaving where
// it stands alone. False when a read fails.
bool ReadUpTo(int fd, void* buffer, uint32_t count, uint32_t* got, bool fromStart)
{
    char* to = static_cast<char*>(buffer);
    while (*got < count) {
        ssize_t n = fromStart ? pread(fd, to + *got, count - *got, static_cast<off_t>(*got))
                              : read(fd, to + *got, count - *got);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (n == 0) {
            break;
        }
        *got += static_cast<uint32_t>(n);
    }
    return true;
}

// Makes a rename in the folder of path durable.
void SyncFolderOf(const std::string& path)
{
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? std::string(".") : slash == 0 ? std::string("/") : path.substr(0, slash);
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

bool SameInode(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// How long a half-written last record of another program's is waited for.
const int kTailWaitMs = 1500;
const int kTailPollMs = 10;
// How many times what keeps coming in is copied before the old file is kept.
const int kTailCopies = 16;

}  // namespace

PosixFaults* PosixFaultPlan()
{
    g_bytesWritten = 0;
    g_readCalls = 0;
    g_allocations = 0;
    g_replaces = 0;
    g_flushes = 0;
    g_claims = 0;
    g_steps = 0;
    g_lineSearches = 0;
    g_wideLineSearches = 0;
    return &g_faults;
}

PosixCollation* PosixCollationPlan()
{
    return &g_collation;
}

PosixCodePage* PosixCodePagePlan()
{
    return &g_codePage;
}

int PosixLineSearches()
{
    return g_lineSearches;
}

int PosixSteps()
{
    return g_steps;
}

void PosixSetStateFolder(const std::string& folder)
{
    g_stateFolder = folder;
}

void PosixSetTrashFolder(const std::string& folder)
{
    g_trashFolder = folder;
}

int PosixWideLineSearches()
{
    return g_wideLineSearches;
}

int PosixReadCalls()
{
    return g_readCalls;
}

int PosixAllocations()
{
    return g_allocations;
}

std::u16string Utf8ToUtf16(const std::string& utf8)
{
    std::u16string out;
    size_t i = 0;
    while (i < utf8.size()) {
        unsigned char c = static_cast<unsigned char>(utf8[i]);
        uint32_t cp;
        size_t extra;
        if (c < 0x80) { cp = c; extra = 0; }
        else if ((c >> 5) == 6) { cp = c & 0x1F; extra = 1; }
        else if ((c >> 4) == 14) { cp = c & 0x0F; extra = 2; }
        else { cp = c & 0x07; extra = 3; }
        ++i;
        for (size_t k = 0; k < extra && i < utf8.size(); ++k, ++i) {
            cp = (cp << 6) | (static_cast<unsigned char>(utf8[i]) & 0x3F);
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

std::string Utf16ToUtf8(const char16_t* text)
{
    std::string out;
    for (size_t i = 0; text[i] != 0; ++i) {
        uint32_t cp = text[i];
        if (cp >= 0xD800 && cp < 0xDC00 && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

uint32_t PlatformLastError()
{
    return static_cast<uint32_t>(errno);
}

void PosixForm::SetText(int id, const std::string& utf8)
{
    text[id] = Utf8ToUtf16(utf8);
}

uint32_t PlatformReadField(FormHandle form, int id, FormChar* buffer, uint32_t limit)
{
    const std::u16string& text = static_cast<PosixForm*>(form)->text[id];
    if (limit == 0) {
        return 0;
    }
    uint32_t n = static_cast<uint32_t>(text.size());
    if (n > limit - 1) {
        n = limit - 1;
    }
    for (uint32_t i = 0; i < n; ++i) {
        buffer[i] = text[i];
    }
    buffer[n] = 0;
    return n;
}

uint32_t PlatformFieldLength(FormHandle form, int id)
{
    return static_cast<uint32_t>(static_cast<PosixForm*>(form)->text[id].size());
}

bool PlatformIsChecked(FormHandle form, int id)
{
    return static_cast<PosixForm*>(form)->checked[id];
}

void PlatformUpperCase(FormChar* text)
{
    for (; *text != 0; ++text) {
        if (*text >= u'a' && *text <= u'z') {
            *text = static_cast<FormChar>(*text - u'a' + u'A');
        }
    }
}

bool PlatformToAnsi(const FormChar* text, char* out, uint32_t outCapacity, bool* held)
{
    // UTF-8 holds every character but a lone surrogate; the stand-in code
    // page of ASCII alone holds no other. What it cannot hold becomes '?',
    // the default character, as on Windows.
    std::string converted;
    *held = true;
    for (size_t i = 0; text[i] != 0; ++i) {
        char16_t unit = text[i];
        bool pair = unit >= 0xD800 && unit < 0xDC00 && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000;
        bool lone = !pair && unit >= 0xD800 && unit < 0xE000;
        if (lone || (g_codePage.asciiOnly && unit >= 0x80)) {
            *held = false;
            converted.push_back('?');
            i += pair ? 1 : 0;
            continue;
        }
        char16_t piece[3] = {unit, pair ? text[i + 1] : u'\0', 0};
        converted += Utf16ToUtf8(piece);
        i += pair ? 1 : 0;
    }
    if (converted.size() + 1 > outCapacity) {
        return false;
    }
    memcpy(out, converted.c_str(), converted.size() + 1);
    return true;
}

bool PlatformLineContains(const char* line, const char* needle, bool ignoreCase)
{
    ++g_lineSearches;
    RaiseStopIf(g_faults.stopAtSearch, g_lineSearches + g_wideLineSearches);
    if (*needle == 0) {
        return false;
    }
    if (!ignoreCase && !CollationInForce()) {
        return strstr(line, needle) != nullptr;
    }
    for (; *line != 0; ++line) {
        size_t k = 0;
        while (needle[k] != 0 && line[k] != 0 &&
               SearchKey(line[k], ignoreCase) == SearchKey(needle[k], ignoreCase)) {
            ++k;
        }
        if (needle[k] == 0) {
            return true;
        }
    }
    return false;
}

namespace {

// The stand-in for the platform's case folding of UTF-16 text: ASCII and
// the Latin-1 letters, and the Kelvin sign as K, so that tests see folding
// the ASCII fast path cannot do itself, of an ASCII needle too.
char16_t WideUpper(char16_t c)
{
    if (c == 0x212A) {
        return u'K';
    }
    if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7)) {
        return static_cast<char16_t>(c - 0x20);
    }
    return c;
}

}  // namespace

bool PlatformWideLineContains(const FormChar* line, const FormChar* needle, bool ignoreCase)
{
    ++g_wideLineSearches;
    RaiseStopIf(g_faults.stopAtSearch, g_lineSearches + g_wideLineSearches);
    if (*needle == 0) {
        return false;
    }
    for (; *line != 0; ++line) {
        size_t k = 0;
        while (needle[k] != 0 && line[k] != 0 &&
               (ignoreCase ? WideUpper(line[k]) == WideUpper(needle[k]) : line[k] == needle[k])) {
            ++k;
        }
        if (needle[k] == 0) {
            return true;
        }
    }
    return false;
}

void PlatformGetTextRules(TextRules* rules)
{
    for (int c = 0; c < 256; ++c) {
        rules->leadByte[c] = 0;
        rules->plain[c] = 1;
        rules->fold[c] = static_cast<unsigned char>(AsciiUpper(static_cast<char>(c)));
    }
    rules->hasLeadBytes = false;
    rules->allPlain = true;
    rules->utf8CodePage = !g_codePage.asciiOnly;
    rules->hasBarriers = false;
    for (unsigned char& bits : rules->barrierPair) {
        bits = 0;
    }
    for (unsigned char& bits : rules->ideographPair) {
        bits = 0;
    }
    for (const PosixCollation::Alike& alike : g_collation.alike) {
        if (alike.from == 0) {
            break;
        }
        rules->plain[alike.from] = 0;
        rules->allPlain = false;
    }
}

void* PlatformAllocZeroed(uint64_t size)
{
    ++g_allocations;
    if (g_faults.failAllocation || g_faults.failAllocationAt == g_allocations) {
        errno = ENOMEM;
        return nullptr;
    }
    if (size >= kMapThreshold) {
        size_t total = static_cast<size_t>(size) + kHeader;
        void* map = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (map == MAP_FAILED) {
            return nullptr;
        }
        *static_cast<size_t*>(map) = total;
        return static_cast<char*>(map) + kHeader;
    }
    void* block = calloc(1, static_cast<size_t>(size) + kHeader);
    if (block == nullptr) {
        return nullptr;
    }
    *static_cast<size_t*>(block) = 0;
    return static_cast<char*>(block) + kHeader;
}

void PlatformFree(void* block)
{
    if (block == nullptr) {
        return;
    }
    char* base = static_cast<char*>(block) - kHeader;
    size_t mapped = *reinterpret_cast<size_t*>(base);
    if (mapped != 0) {
        munmap(base, mapped);
    } else {
        free(base);
    }
}

FileHandle PlatformOpenSource(const FormChar* path)
{
    int fd = open(NativePath(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        int error = S_ISDIR(st.st_mode) ? EISDIR : errno;
        close(fd);
        errno = error;
        return nullptr;
    }
    return Handle(fd);
}

bool PlatformFileSize(FileHandle file, uint64_t* size)
{
    struct stat st;
    if (fstat(Fd(file), &st) != 0) {
        return false;
    }
    *size = static_cast<uint64_t>(st.st_size);
    return true;
}

bool PlatformRead(FileHandle file, void* buffer, uint32_t count, uint32_t* got)
{
    *got = 0;
    Step();
    if (IsRecordFd(Fd(file))) {
        ssize_t n = read(Fd(file), buffer, count);
        *got = n > 0 ? static_cast<uint32_t>(n) : 0;
        return n >= 0;
    }
    ++g_readCalls;
    RaiseStopIf(g_faults.stopAtRead, g_readCalls);
    HookIf(g_faults.hookAtRead, g_readCalls);
    if (g_faults.failReadCall || g_faults.failReadAt == g_readCalls) {
        return Injected(EIO);
    }
    if ((g_faults.shortRead || g_faults.shortReadAt == g_readCalls) && count > 0) {
        count -= 1;
    }
    // One call as the caller sees it; read() itself may return less at a time.
    return ReadUpTo(Fd(file), buffer, count, got, false);
}

FileHandle PlatformClaimTarget(const FormChar* path, bool* created, const StopFlag*, bool shareWrites)
{
    std::string native = NativePath(path);
    *created = false;
    Step();
    if (g_faults.failClaimAt == ++g_claims) {
        errno = EBUSY;
        return nullptr;
    }
    int fd = open(native.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
        fd = open(native.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        *created = fd >= 0;
    }
    if (fd < 0) {
        return nullptr;
    }
    // No sharing: a second claim of the same file fails, as on Windows.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int error = errno;
        close(fd);
        if (*created) {
            unlink(native.c_str());
        }
        errno = error;
        return nullptr;
    }
    if (!shareWrites) {
        g_appendClaims.insert(fd);
    }
    return Handle(fd);
}

bool PlatformSameFile(FileHandle claim, const FormChar* path)
{
    struct stat named;
    struct stat held;
    return stat(NativePath(path).c_str(), &named) == 0 && fstat(Fd(claim), &held) == 0 &&
           named.st_dev == held.st_dev && named.st_ino == held.st_ino;
}

bool PlatformStamp(const FormChar* path, FileStamp* stamp)
{
    struct stat st;
    if (stat(NativePath(path).c_str(), &st) != 0) {
        return false;
    }
    stamp->size = static_cast<uint64_t>(st.st_size);
    stamp->writeTime = WriteTimeOf(st);
    return true;
}

bool PlatformClaimedPath(FileHandle claim, FormChar* path, uint32_t capacity)
{
    if (g_faults.failClaimedPath) {
        return Injected(ENAMETOOLONG);
    }
    char* real = realpath(NativePath(path).c_str(), nullptr);
    if (real == nullptr) {
        return false;
    }
    std::u16string wide = Utf8ToUtf16(real);
    // The path must still lead to the claimed file.
    struct stat named;
    struct stat held;
    bool same = stat(real, &named) == 0 && fstat(Fd(claim), &held) == 0 && named.st_dev == held.st_dev &&
                named.st_ino == held.st_ino;
    free(real);
    if (!same || wide.size() + 1 > capacity) {
        return false;
    }
    for (size_t i = 0; i <= wide.size(); ++i) {
        path[i] = wide.c_str()[i];
    }
    return true;
}

bool PlatformReadHead(FileHandle file, void* buffer, uint32_t count, uint32_t* got)
{
    *got = 0;
    if (g_faults.failReadHead) {
        return Injected(EIO);
    }
    return ReadUpTo(Fd(file), buffer, count, got, true);
}

bool PlatformSeekEnd(FileHandle file)
{
    return lseek(Fd(file), 0, SEEK_END) >= 0;
}

bool PlatformWrite(FileHandle file, const void* bytes, uint32_t count)
{
    const char* from = static_cast<const char*>(bytes);
    uint32_t left = count;
    Step();
    bool record = IsRecordFd(Fd(file));
    if (g_faults.failWriteAfter >= 0 && !record) {
        long long room = g_faults.failWriteAfter - g_bytesWritten;
        if (room < static_cast<long long>(count)) {
            left = room > 0 ? static_cast<uint32_t>(room) : 0;
            errno = ENOSPC;
        }
    }
    uint32_t done = 0;
    while (done < left) {
        ssize_t n = write(Fd(file), from + done, left - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<uint32_t>(n);
        if (!record) {
            g_bytesWritten += n;
        }
    }
    if (count > 0) {
        g_writtenFiles.insert(Fd(file));
    }
    return done == count;
}

bool PlatformTruncate(FileHandle file, uint64_t size)
{
    Step();
    return ftruncate(Fd(file), static_cast<off_t>(size)) == 0;
}

bool PlatformFlush(FileHandle file)
{
    Step();
    if (IsRecordFd(Fd(file))) {
        return fsync(Fd(file)) == 0;
    }
    RaiseStopIf(g_faults.stopAtFlush, ++g_flushes);
    if (g_faults.failFlush || g_faults.failFlushAt == g_flushes) {
        return Injected(EIO);
    }
    return fsync(Fd(file)) == 0;
}

bool PlatformClose(FileHandle file)
{
    if (file == nullptr) {
        return true;
    }
    for (size_t i = 0; i < g_recordFds.size(); ++i) {
        if (g_recordFds[i] == Fd(file)) {
            g_recordFds.erase(g_recordFds.begin() + static_cast<long>(i));
            break;
        }
    }
    bool written = g_writtenFiles.erase(Fd(file)) > 0;
    if (close(Fd(file)) != 0) {
        return false;
    }
    bool appended = g_appendClaims.erase(Fd(file)) > 0;
    if (written && (g_faults.failCloseAfterWrite || (appended && g_faults.failAppendedClose))) {
        return Injected(EIO);
    }
    return true;
}

FileHandle PlatformCreateTempBeside(const FormChar* target, FormChar* tempPath, const StopFlag*)
{
    Step();
    if (g_faults.failTempCreate) {
        errno = EACCES;
        return nullptr;
    }
    if (tempPath[0] != 0) {
        int fd = open(NativePath(tempPath).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        return fd < 0 ? nullptr : Handle(fd);
    }
    std::string native = NativePath(target);
    size_t slash = native.rfind('/');
    std::string dir = slash == std::string::npos ? std::string(".") : native.substr(0, slash);
    std::string pattern = dir + "/.quorvane-XXXXXX";
    std::u16string wide = Utf8ToUtf16(pattern);
    if (wide.size() + 1 > kTempPathCapacity) {
        return nullptr;
    }
    int fd = mkostemp(&pattern[0], O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    wide = Utf8ToUtf16(pattern);
    for (size_t i = 0; i < wide.size(); ++i) {
        tempPath[i] = wide[i];
    }
    tempPath[wide.size()] = 0;
    return Handle(fd);
}

namespace {

// The caller is told the old file's name (kTempPathCapacity characters).
void NameTheBackup(const std::string& old, FormChar* backup)
{
    std::u16string wide = Utf8ToUtf16(old);
    if (wide.size() + 1 <= kTempPathCapacity) {
        for (size_t k = 0; k <= wide.size(); ++k) {
            backup[k] = wide.c_str()[k];
        }
    }
}

// The new file is in the target's place, the old one under the name old.
// Puts the old file back in its place, unless the new one changed since the
// move (newStamp): a record another program added to it then would go with
// it. Both are kept then, the old file's name in backup.
ReplaceResult PutOldBack(const std::string& to, const std::string& old, const struct stat& newStamp,
                         FormChar* backup)
{
    struct stat now;
    if (stat(to.c_str(), &now) == 0 && SameInode(now, newStamp) && now.st_size == newStamp.st_size &&
        WriteTimeOf(now) == WriteTimeOf(newStamp) && rename(old.c_str(), to.c_str()) == 0) {
        SyncFolderOf(to);
        return kReplaceFoundChanged;
    }
    NameTheBackup(old, backup);
    return kReplaceKeptBoth;
}

// What another program added to the old file (held by fd), from the size
// the run read on, goes to the end of the new file, in whole lines: a last
// line still being written is waited for, a little, and what comes in
// while the tail is copied follows it. False when the tail never ended a
// line, or never stopped growing; *copied tells how far it got.
bool CopyWhatCameIn(int fd, const std::string& to, uint64_t from, uint64_t* copied, uint32_t unit)
{
    *copied = from;
    int copies = 0;
    for (int waited = 0;;) {
        struct stat st;
        if (fstat(fd, &st) != 0) {
            return false;
        }
        uint64_t size = static_cast<uint64_t>(st.st_size);
        if (size == *copied) {
            return true;
        }
        if (size > *copied && (size - *copied) % LineUnitBytes(unit) == 0 && EndsALine(fd, size, unit)) {
            // A program that keeps on writing to the old file is not
            // followed for ever: the old file is then kept.
            if (++copies > kTailCopies || !AppendTail(fd, *copied, size, to, unit)) {
                return false;
            }
            *copied = size;
            continue;
        }
        if (size < *copied || waited >= kTailWaitMs) {
            return false;
        }
        struct timespec pause = {0, kTailPollMs * 1000000L};
        nanosleep(&pause, nullptr);
        waited += kTailPollMs;
    }
}

// Where a file cannot have a second name: the old file moves to the name
// old, then the new one into its place; if that fails, the old one goes
// back. False when the target holds its old file.
bool MoveOldAside(const std::string& to, const std::string& from, const std::string& old, const struct stat& oldFile)
{
    struct stat there;
    if (renameat2(AT_FDCWD, to.c_str(), AT_FDCWD, old.c_str(), RENAME_NOREPLACE) != 0) {
        return false;
    }
    if (lstat(old.c_str(), &there) != 0 || !SameInode(there, oldFile) || rename(from.c_str(), to.c_str()) != 0) {
        renameat2(AT_FDCWD, old.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE);
        return false;
    }
    SyncFolderOf(to);
    return true;
}

// The replace is done: the old file's second name goes, or stays for the
// caller (its path in backup).
ReplaceResult OldDone(const std::string& old, FormChar* backup, bool keepOld)
{
    if (!keepOld) {
        unlink(old.c_str());
        return kReplaced;
    }
    NameTheBackup(old, backup);
    return kReplaced;
}

}  // namespace

namespace {

// Whether the old file, held by fd, only had whole lines added at its end
// since the run read it (expected); then they go to the end of the new file
// at to, which another program may be writing to by now. False when it was
// changed otherwise, or its last line was never finished.
bool CarryWhatCameIn(int fd, const std::string& to, const SourceAsRead* expected)
{
    struct stat was;
    if (fstat(fd, &was) != 0) {
        return false;
    }
    const uint64_t size = static_cast<uint64_t>(was.st_size);
    // What the run read must end a line too: else a line was half written
    // when the run took the size, and the new file ends it already.
    const uint64_t read = expected->stamp.size;
    const uint32_t unit = expected->unit;
    const uint32_t width = LineUnitBytes(unit);
    uint64_t sum = 0;
    if (!(size > read && (read == 0 || EndsALine(fd, read, unit)) && SumOfFirst(fd, read, &sum) &&
          sum == expected->sum)) {
        return false;
    }
    // A CR LF cut between the read and the tail: the new file ends that
    // line already, the LF is not a line of its own.
    unsigned char around[4];
    uint64_t tail = read;
    if (read >= width &&
        pread(fd, around, 2 * width, static_cast<off_t>(read - width)) == static_cast<ssize_t>(2 * width) &&
        !IsLineFeedUnit(around, unit) && IsLineFeedUnit(around + width, unit)) {
        tail += width;
    }
    uint64_t copied = 0;
    return CopyWhatCameIn(fd, to, tail, &copied, unit);
}

// The new file in the old one's place: swapped when the replace need not be
// durable and keeps no second name of the old file (then the old file,
// under the temporary name, goes), renamed over it otherwise. False when
// the target still holds its old file.
bool MoveIntoPlace(const std::string& from, const std::string& to, const struct stat& oldFile, bool swap)
{
    // Renamed over a file, ext4 first writes the new file out
    // (auto_da_alloc), which would make the run wait on the disk for what
    // it chose not to flush: a swap of the two names does not.
    bool swapped = swap && renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_EXCHANGE) == 0;
    if (!swapped && rename(from.c_str(), to.c_str()) != 0) {
        return false;
    }
    struct stat left;
    if (swapped && lstat(from.c_str(), &left) == 0 && SameInode(left, oldFile)) {
        unlink(from.c_str());
    }
    return true;
}

// Gives the old file (oldFile, under to) the second name old.
enum OldLink { kOldLinked, kNoSecondNames, kTargetTaken };
OldLink LinkOld(const std::string& to, const std::string& old, const struct stat& oldFile)
{
    struct stat linked;
    if (g_faults.failLink || link(to.c_str(), old.c_str()) != 0) {
        return kNoSecondNames;
    }
    if (stat(old.c_str(), &linked) != 0 || !SameInode(linked, oldFile)) {
        // Another file took the target's name since it was looked at.
        unlink(old.c_str());
        errno = EBUSY;
        return kTargetTaken;
    }
    return kOldLinked;
}

}  // namespace

// The old file keeps a second name beside the target (a hard link) while
// the new one is renamed into its place, so that what another program wrote
// to it meanwhile can be seen, and the old file put back. Which file is
// which is told by inode, taken before anything moves.
ReplaceResult PlatformReplace(const FormChar* target, const FormChar* temp, const SourceAsRead* expected,
                              FormChar* backup, bool durable, bool keepOld)
{
    std::string given = backup[0] != 0 ? NativePath(backup) : std::string();
    backup[0] = 0;
    Step();
    ++g_replaces;
    RaiseStopIf(g_faults.stopAtReplace, g_replaces);
    if (g_faults.failReplace || g_faults.failReplaceAt == g_replaces) {
        errno = EBUSY;
        return kReplaceKeptOld;
    }
    HookIf(g_faults.hookAtReplace, g_replaces);
    std::string to = NativePath(target);
    std::string from = NativePath(temp);
    struct stat oldFile;
    struct stat newFile;
    if (stat(to.c_str(), &oldFile) != 0 || stat(from.c_str(), &newFile) != 0) {
        return kReplaceKeptOld;
    }
    // Keep the target's permissions, as the replace on Windows keeps its attributes.
    chmod(from.c_str(), oldFile.st_mode & 07777);
    std::string old;
    if (expected != nullptr || keepOld) {
        old = given.empty() ? from + ".old" : given;
        switch (LinkOld(to, old, oldFile)) {
        case kTargetTaken:
            return kReplaceKeptOld;
        case kNoSecondNames:
            // A volume without second names: two moves, for an export only
            // (the source's needs the old file's second name to see what a
            // logger adds in that moment).
            if (expected != nullptr || !MoveOldAside(to, from, old, oldFile)) {
                return kReplaceKeptOld;
            }
            return OldDone(old, backup, keepOld);
        case kOldLinked:
            break;
        }
        Step();
    }
    if (!MoveIntoPlace(from, to, oldFile, !durable && old.empty())) {
        int error = errno;
        if (!old.empty()) {
            unlink(old.c_str());
        }
        errno = error;
        return kReplaceKeptOld;
    }
    if (durable) {
        SyncFolderOf(to);
    }
    if (g_faults.afterMove != nullptr && g_faults.afterMoveAt == g_replaces) {
        g_faults.afterMove(g_faults.hookArg);
    }
    if (old.empty()) {
        return kReplaced;
    }
    Step();
    struct stat moved;
    int fd = open(old.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || stat(to.c_str(), &moved) != 0 || !SameInode(moved, newFile)) {
        if (fd >= 0) {
            close(fd);
        }
        return PutOldBack(to, old, newFile, backup);
    }
    struct stat was;
    bool unchanged = expected == nullptr || (fstat(fd, &was) == 0 && static_cast<uint64_t>(was.st_size) == expected->stamp.size &&
                                             WriteTimeOf(was) == expected->stamp.writeTime);
    // Another program wrote to the old file in the moment between the
    // caller's last look and the replace: what it only added at the end
    // goes to the new file; changed otherwise, or its last line never
    // finished, the old file goes back in the new one's place (unless part
    // of the tail went to the new file, or another program added to it:
    // both are kept).
    bool carried = !unchanged && CarryWhatCameIn(fd, to, expected);
    close(fd);
    return unchanged || carried ? OldDone(old, backup, keepOld) : PutOldBack(to, old, newFile, backup);
}

void PlatformDelete(const FormChar* path)
{
    Step();
    unlink(NativePath(path).c_str());
}

bool PlatformIdentity(FileHandle file, FileIdentity* identity)
{
    struct stat st;
    if (fstat(Fd(file), &st) != 0) {
        return false;
    }
    identity->volume = static_cast<uint64_t>(st.st_dev);
    identity->index = static_cast<uint64_t>(st.st_ino);
    return true;
}

bool PlatformIdentityAt(const FormChar* path, FileIdentity* identity)
{
    struct stat st;
    if (stat(NativePath(path).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return false;
    }
    identity->volume = static_cast<uint64_t>(st.st_dev);
    identity->index = static_cast<uint64_t>(st.st_ino);
    return true;
}

bool PlatformSetWriteTime(FileHandle file, uint64_t writeTime)
{
    Step();
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = static_cast<time_t>(writeTime / 1000000000ull);
    times[1].tv_nsec = static_cast<long>(writeTime % 1000000000ull);
    return futimens(Fd(file), times) == 0;
}

bool PlatformSeekTo(FileHandle file, uint64_t offset)
{
    return lseek(Fd(file), static_cast<off_t>(offset), SEEK_SET) >= 0;
}

namespace {

// The folder part of a path, its last '/' included; "./" when it has none.
std::string FolderOf(const std::string& path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
}

bool CopyOut(const std::string& native, FormChar* out, uint32_t capacity)
{
    std::u16string wide = Utf8ToUtf16(native);
    if (wide.size() + 1 > capacity) {
        return false;
    }
    for (size_t i = 0; i <= wide.size(); ++i) {
        out[i] = wide.c_str()[i];
    }
    return true;
}

bool IsOurName(const char* name, char kind)
{
    // "qz" kind, four hex digits, ".tmp"
    if (strlen(name) != 11 || name[0] != 'q' || name[1] != 'z' || name[2] != kind || strcmp(name + 7, ".tmp") != 0) {
        return false;
    }
    for (int i = 3; i < 7; ++i) {
        if (strchr("0123456789ABCDEF", name[i]) == nullptr) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool PlatformNameBeside(const FormChar* target, FormChar kind, uint32_t slot, FormChar* name)
{
    std::string folder = FolderOf(NativePath(target));
    unsigned first = static_cast<unsigned>(getpid()) * 7919u + static_cast<unsigned>(time(nullptr)) + (slot << 12);
    for (unsigned i = 0; i < 0x10000; ++i) {
        char leaf[16];
        snprintf(leaf, sizeof leaf, "qz%c%04X.tmp", static_cast<char>(kind), (first + i) & 0xFFFF);
        std::string candidate = folder + leaf;
        struct stat st;
        if (lstat(candidate.c_str(), &st) != 0) {
            return errno == ENOENT && CopyOut(candidate, name, kTempPathCapacity);
        }
    }
    return false;
}

FileHandle PlatformOpenFile(const FormChar* path, OpenMode mode)
{
    Step();
    std::string native = NativePath(path);
    int flags = O_RDWR | O_CLOEXEC | O_NOFOLLOW | (mode == kOpenRecordNew ? O_CREAT | O_EXCL : 0);
    int fd = open(native.c_str(), flags, 0600);
    if (fd < 0) {
        return nullptr;
    }
    // Held: a record that another open description locks belongs to a run
    // going on (in this process or another).
    if (mode != kOpenToMend && flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int error = errno;
        close(fd);
        errno = error;
        return nullptr;
    }
    if (mode != kOpenToMend) {
        g_recordFds.push_back(fd);
    }
    return Handle(fd);
}

bool PlatformRenameToFree(const FormChar* from, const FormChar* to)
{
    Step();
    // A second name first, then the first one goes: no file under the new
    // name is ever replaced.
    std::string a = NativePath(from);
    std::string b = NativePath(to);
    if (link(a.c_str(), b.c_str()) != 0) {
        return false;
    }
    unlink(a.c_str());
    return true;
}

bool PlatformLinkBeside(const FormChar* existing, const FormChar* to)
{
    Step();
    if (g_faults.failLink) {
        return Injected(EPERM);
    }
    return link(NativePath(existing).c_str(), NativePath(to).c_str()) == 0;
}

uint32_t PlatformNameCount(const FormChar* path)
{
    struct stat st;
    return lstat(NativePath(path).c_str(), &st) == 0 ? static_cast<uint32_t>(st.st_nlink) : 0;
}

namespace {

std::string TrashFolder()
{
    if (!g_trashFolder.empty()) {
        return g_trashFolder;
    }
    const char* data = getenv("XDG_DATA_HOME");
    if (data != nullptr && data[0] == '/') {
        return std::string(data) + "/Trash";
    }
    const char* home = getenv("HOME");
    return home == nullptr ? std::string() : std::string(home) + "/.local/share/Trash";
}

// Characters a trash's Path= line must not hold as they are.
std::string TrashInfoPath(const std::string& path)
{
    std::string out;
    for (unsigned char c : path) {
        if (c <= ' ' || c == '%' || c >= 0x7F) {
            char hex[4];
            snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

}  // namespace

namespace {

// The trash's two folders, made if missing (private to the user).
void MakeTrash(const std::string& trash)
{
    for (size_t at = 1; at <= trash.size(); ++at) {
        if (at == trash.size() || trash[at] == '/') {
            mkdir(trash.substr(0, at).c_str(), 0700);
        }
    }
    mkdir((trash + "/files").c_str(), 0700);
    mkdir((trash + "/info").c_str(), 0700);
}

// What a trash keeps of a file it holds: where it came from, and when.
std::string TrashInfo(const char* full)
{
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    char when[32];
    strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%S", &local);
    return "[Trash Info]\nPath=" + TrashInfoPath(full) + "\nDeletionDate=" + when + "\n";
}

}  // namespace

// The desktop's trash: the file goes to files/ under a free name, its
// folder and the time to info/<name>.trashinfo, written first. Only a move
// within the volume: a file is never copied away and removed.
bool PlatformRecycle(const FormChar* path)
{
    Step();
    std::string from = NativePath(path);
    if (g_faults.failRecycle) {
        return Injected(EXDEV);
    }
    if (g_faults.recycleRemoves) {
        return unlink(from.c_str()) == 0;
    }
    std::string trash = TrashFolder();
    char full[4096];
    if (trash.empty() || realpath(from.c_str(), full) == nullptr) {
        return Injected(ENOENT);
    }
    MakeTrash(trash);
    size_t slash = from.rfind('/');
    std::string name = slash == std::string::npos ? from : from.substr(slash + 1);
    const std::string info = TrashInfo(full);
    for (int n = 1; n < 1000; ++n) {
        std::string entry = n == 1 ? name : name + "." + std::to_string(n);
        std::string infoPath = trash + "/info/" + entry + ".trashinfo";
        int fd = open(infoPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST) {
                continue;
            }
            return false;
        }
        bool written = write(fd, info.data(), info.size()) == static_cast<ssize_t>(info.size()) && fsync(fd) == 0;
        close(fd);
        std::string to = trash + "/files/" + entry;
        if (written && renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
            SyncFolderOf(to);
            return true;
        }
        int error = errno;
        unlink(infoPath.c_str());
        if (written && error == EEXIST) {
            // A file of that name with no info of its own: the next name.
            continue;
        }
        errno = error;
        return false;
    }
    return false;
}

bool PlatformStateFolder(FormChar* folder, uint32_t capacity)
{
    std::string native = g_stateFolder;
    if (native.empty()) {
        const char* tmp = getenv("TMPDIR");
        native = std::string(tmp != nullptr && *tmp != 0 ? tmp : "/tmp") + "/quorvane-" +
                 std::to_string(static_cast<unsigned>(getuid())) + "/";
    }
    if (mkdir(native.c_str(), 0700) != 0 && errno != EEXIST) {
        return false;
    }
    // This user's own, and no one else may put files in it: a folder another
    // user made first under the name, or a link, is refused.
    int fd = open(native.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    bool own = fd >= 0 && fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == getuid() &&
               (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
    if (fd >= 0) {
        close(fd);
    }
    if (!own) {
        errno = EACCES;
        return false;
    }
    return CopyOut(native, folder, capacity);
}

void PlatformRandom(void* bytes, uint32_t count)
{
    unsigned char* to = static_cast<unsigned char*>(bytes);
    uint32_t have = 0;
    int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    while (fd >= 0 && have < count) {
        ssize_t n = read(fd, to + have, count - have);
        if (n <= 0) {
            break;
        }
        have += static_cast<uint32_t>(n);
    }
    if (fd >= 0) {
        close(fd);
    }
    // Without the system's source: the clock and the process, which at least
    // differ from run to run.
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    uint64_t mix = static_cast<uint64_t>(now.tv_nsec) ^ (static_cast<uint64_t>(now.tv_sec) << 32) ^
                   (static_cast<uint64_t>(getpid()) << 16);
    for (uint32_t i = have; i < count; ++i) {
        mix = mix * 6364136223846793005ull + 1442695040888963407ull;
        to[i] = static_cast<unsigned char>(mix >> 56);
    }
}

void PlatformListBeside(const FormChar* target, FormChar kind, uint32_t limit, FoundFile found, void* arg)
{
    std::string folder = FolderOf(NativePath(target));
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) {
        return;
    }
    std::vector<std::string> names;
    for (struct dirent* entry; (entry = readdir(dir)) != nullptr && names.size() < limit;) {
        if (IsOurName(entry->d_name, static_cast<char>(kind))) {
            names.push_back(folder + entry->d_name);
        }
    }
    closedir(dir);
    for (const std::string& name : names) {
        std::u16string wide = Utf8ToUtf16(name);
        found(arg, wide.c_str());
    }
}
