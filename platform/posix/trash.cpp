// The desktop's trash on POSIX (the freedesktop layout, as Wine keeps
// the Recycle Bin): where a run's previous versions go.

#include "platform/posix/posix_shared.h"

using namespace posix_platform;

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
    if (int error = FaultAt(kCallRecycle)) {
        return Injected(error);
    }
    if (FaultAt(kCallRecycleRemoves) != 0) {
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

