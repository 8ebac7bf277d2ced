// The platform on POSIX systems, for native tests and benchmarks: POSIX
// files, UTF-8 as the ANSI code page, a byte-exact substring search (or, in
// tests, one with a stand-in collation) and ASCII case folding, and a form
// that is a plain struct.

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

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

// Adds the bytes of file from, from offset on, at the end of file to.
bool AppendTail(const std::string& from, const std::string& to, uint64_t offset)
{
    int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
    int out = open(to.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    bool ok = in >= 0 && out >= 0 && lseek(in, static_cast<off_t>(offset), SEEK_SET) >= 0;
    char buffer[1 << 16];
    while (ok) {
        ssize_t n = read(in, buffer, sizeof buffer);
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        ok = write(out, buffer, static_cast<size_t>(n)) == n;
    }
    if (in >= 0) {
        close(in);
    }
    if (out >= 0) {
        close(out);
    }
    return ok;
}

}  // namespace

PosixFaults* PosixFaultPlan()
{
    g_bytesWritten = 0;
    g_readCalls = 0;
    g_allocations = 0;
    g_replaces = 0;
    g_flushes = 0;
    g_claims = 0;
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
    char* to = static_cast<char*>(buffer);
    while (*got < count) {
        ssize_t n = read(Fd(file), to + *got, count - *got);
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

FileHandle PlatformClaimTarget(const FormChar* path, bool* created, const StopFlag*)
{
    std::string native = NativePath(path);
    *created = false;
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
    char* to = static_cast<char*>(buffer);
    while (*got < count) {
        ssize_t n = pread(Fd(file), to + *got, count - *got, static_cast<off_t>(*got));
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

bool PlatformSeekEnd(FileHandle file)
{
    return lseek(Fd(file), 0, SEEK_END) >= 0;
}

bool PlatformWrite(FileHandle file, const void* bytes, uint32_t count)
{
    const char* from = static_cast<const char*>(bytes);
    uint32_t left = count;
    if (g_faults.failWriteAfter >= 0) {
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
        g_bytesWritten += n;
    }
    return done == count;
}

bool PlatformTruncate(FileHandle file, uint64_t size)
{
    return ftruncate(Fd(file), static_cast<off_t>(size)) == 0;
}

bool PlatformFlush(FileHandle file)
{
    RaiseStopIf(g_faults.stopAtFlush, ++g_flushes);
    if (g_faults.failFlush) {
        return Injected(EIO);
    }
    return fsync(Fd(file)) == 0;
}

void PlatformClose(FileHandle file)
{
    if (file != nullptr) {
        close(Fd(file));
    }
}

FileHandle PlatformCreateTempBeside(const FormChar* target, FormChar* tempPath, const StopFlag*)
{
    if (g_faults.failTempCreate) {
        errno = EACCES;
        return nullptr;
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

// The old file keeps a second name beside the target (a hard link) while
// the new one is renamed into its place, so that what another program wrote
// to it meanwhile can be seen, and the old file put back.
ReplaceResult PlatformReplace(const FormChar* target, const FormChar* temp, const FileStamp* expected,
                              FormChar* backup)
{
    backup[0] = 0;
    ++g_replaces;
    RaiseStopIf(g_faults.stopAtReplace, g_replaces);
    if (g_faults.failReplace || g_faults.failReplaceAt == g_replaces) {
        errno = EBUSY;
        return kReplaceKeptOld;
    }
    HookIf(g_faults.hookAtReplace, g_replaces);
    std::string to = NativePath(target);
    std::string from = NativePath(temp);
    // Keep the target's permissions, as the replace on Windows keeps its attributes.
    struct stat st;
    if (stat(to.c_str(), &st) == 0) {
        chmod(from.c_str(), st.st_mode & 07777);
    }
    std::string old;
    if (expected != nullptr) {
        old = from + ".old";
        if (link(to.c_str(), old.c_str()) != 0) {
            return kReplaceKeptOld;
        }
    }
    if (rename(from.c_str(), to.c_str()) != 0) {
        int error = errno;
        if (!old.empty()) {
            unlink(old.c_str());
        }
        errno = error;
        return kReplaceKeptOld;
    }
    if (old.empty()) {
        return kReplaced;
    }
    struct stat was;
    if (stat(old.c_str(), &was) != 0) {
        return kReplaced;
    }
    uint64_t size = static_cast<uint64_t>(was.st_size);
    if (size == expected->size && WriteTimeOf(was) == expected->writeTime) {
        unlink(old.c_str());
        return kReplaced;
    }
    // Another program added to the old file in the moment between the
    // caller's last look and the replace: what it added goes to the end of
    // the new file, which it may be writing to by now.
    if (size > expected->size && AppendTail(old, to, expected->size)) {
        unlink(old.c_str());
        return kReplaced;
    }
    // Changed otherwise: the old file goes back in the new one's place.
    if (rename(old.c_str(), to.c_str()) == 0) {
        return kReplaceFoundChanged;
    }
    std::u16string wide = Utf8ToUtf16(old);
    if (wide.size() + 1 <= kTempPathCapacity) {
        for (size_t k = 0; k <= wide.size(); ++k) {
            backup[k] = wide.c_str()[k];
        }
    }
    return kReplaceKeptBoth;
}

void PlatformDelete(const FormChar* path)
{
    unlink(NativePath(path).c_str());
}
