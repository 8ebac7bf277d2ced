// Files on POSIX: memory, reading and writing, claims, which file a name
// holds, our names beside a file, the state folder.

#include "platform/posix/posix_shared.h"

using namespace posix_platform;

namespace {

// Blocks of this size or more are mapped directly. (Huge pages were tried:
// they make the later writes to the page cache several times slower.)
const size_t kMapThreshold = 1u << 20;
// Mapped blocks carry their length in front, one page's worth of header.
const size_t kHeader = 4096;

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

}  // namespace

uint32_t PlatformLastError()
{
    return static_cast<uint32_t>(errno);
}

void* PlatformAllocZeroed(uint64_t size)
{
    if (int error = FaultAt(kCallAllocate)) {
        errno = error;
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

void* PlatformGrow(void* block, uint64_t keep, uint64_t size)
{
    char* base = static_cast<char*>(block) - kHeader;
    size_t mapped = *reinterpret_cast<size_t*>(base);
    if (mapped == 0 || size < kMapThreshold) {
        void* grown = PlatformAllocZeroed(size);
        if (grown != nullptr) {
            memcpy(grown, block, static_cast<size_t>(keep));
            PlatformFree(block);
        }
        return grown;
    }
    if (int error = FaultAt(kCallAllocate)) {
        errno = error;
        return nullptr;
    }
    size_t total = static_cast<size_t>(size) + kHeader;
    void* map = mremap(base, mapped, total, MREMAP_MAYMOVE);
    if (map == MAP_FAILED) {
        return nullptr;
    }
    // A block grown for a long line is filled by reads page by page: large
    // pages, where the system gives them, fault in 512 times less often.
    madvise(map, total, MADV_HUGEPAGE);
    *static_cast<size_t*>(map) = total;
    return static_cast<char*>(map) + kHeader;
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
    if (int error = FaultAt(kCallRead, Fd(file), &count)) {
        return Injected(error);
    }
    // One call as the caller sees it; read() itself may return less at a time.
    return ReadUpTo(Fd(file), buffer, count, got, false);
}

FileHandle PlatformClaimTarget(const FormChar* path, bool* created, const StopFlag*, bool shareWrites)
{
    std::string native = NativePath(path);
    *created = false;
    Step();
    if (int error = FaultAt(kCallClaim)) {
        errno = error;
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
        FaultAt(kCallClaimedToAppend, fd);
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

bool PlatformStampOf(FileHandle file, FileStamp* stamp)
{
    struct stat st;
    if (fstat(Fd(file), &st) != 0) {
        return false;
    }
    stamp->size = static_cast<uint64_t>(st.st_size);
    stamp->writeTime = WriteTimeOf(st);
    return true;
}

bool PlatformFullPath(FormChar* path, uint32_t capacity)
{
    if (path[0] == '/') {
        return true;
    }
    char folder[4096];
    if (getcwd(folder, sizeof folder) == nullptr) {
        return false;
    }
    const std::u16string full = Utf8ToUtf16(std::string(folder) + "/") + path;
    if (full.size() >= capacity) {
        return false;
    }
    for (size_t i = 0; i <= full.size(); ++i) {
        path[i] = full.c_str()[i];
    }
    return true;
}

bool PlatformClaimedPath(FileHandle claim, FormChar* path, uint32_t capacity)
{
    if (int error = FaultAt(kCallClaimedPath)) {
        return Injected(error);
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
    if (int error = FaultAt(kCallReadHead)) {
        return Injected(error);
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
    const int error = FaultAt(kCallWrite, Fd(file), &left);
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
    }
    return done == count || Injected(error);
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
    if (int error = FaultAt(kCallFlush, Fd(file))) {
        return Injected(error);
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
    if (close(Fd(file)) != 0) {
        FaultAt(kCallClose, Fd(file));
        return false;
    }
    int error = FaultAt(kCallClose, Fd(file));
    return error == 0 || Injected(error);
}

FileHandle PlatformCreateTempBeside(const FormChar* target, FormChar* tempPath, const StopFlag*)
{
    Step();
    if (int error = FaultAt(kCallCreateTemp)) {
        errno = error;
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

void PlatformDelete(const FormChar* path)
{
    Step();
    unlink(NativePath(path).c_str());
}

bool PlatformDeleteIfEmpty(const FormChar* path, const FileIdentity* identity)
{
    // Files have no share modes here: the look and the removal are two calls.
    const std::string name = NativePath(path);
    struct stat st;
    if (lstat(name.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size != 0 ||
        (identity != nullptr &&
         (static_cast<uint64_t>(st.st_dev) != identity->volume || static_cast<uint64_t>(st.st_ino) != identity->index))) {
        return false;
    }
    Step();
    return unlink(name.c_str()) == 0;
}

bool PlatformIdentity(FileHandle file, FileIdentity* identity)
{
    if (int error = FaultAt(kCallIdentity)) {
        return Injected(error);
    }
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
    if (int error = FaultAt(kCallSeek, Fd(file))) {
        errno = error;
        return false;
    }
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
    const bool record = mode == kOpenRecordNew || mode == kOpenRecordExisting;
    int flags = mode == kOpenToReadAlone ? O_RDONLY : O_RDWR;
    flags |= O_CLOEXEC | O_NOFOLLOW | (mode == kOpenRecordNew ? O_CREAT | O_EXCL : 0) |
             (mode == kOpenToAppend ? O_APPEND : 0);
    int fd = open(native.c_str(), flags, 0600);
    if (fd < 0) {
        return nullptr;
    }
    // Held: a record that another open description locks belongs to a run
    // going on (in this process or another).
    if (record && flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int error = errno;
        close(fd);
        errno = error;
        return nullptr;
    }
    if (record) {
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
    if (int error = FaultAt(kCallLink)) {
        return Injected(error);
    }
    return link(NativePath(existing).c_str(), NativePath(to).c_str()) == 0;
}

uint32_t PlatformNameCount(const FormChar* path)
{
    struct stat st;
    return lstat(NativePath(path).c_str(), &st) == 0 ? static_cast<uint32_t>(st.st_nlink) : 0;
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
