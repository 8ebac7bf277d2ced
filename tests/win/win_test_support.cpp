#include "tests/win/win_test_support.h"

#include <algorithm>

ScratchDir::ScratchDir()
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    wchar_t name[MAX_PATH];
    GetTempFileNameW(temp, L"qzv", 0, name);   // makes a file: turn it into a folder
    DeleteFileW(name);
    CreateDirectoryW(name, nullptr);
    path_ = name;
}

ScratchDir::~ScratchDir()
{
    for (const std::wstring& name : Entries()) {
        std::wstring full = File(name);
        SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (!DeleteFileW(full.c_str())) {
            RemoveDirectoryW(full.c_str());
        }
    }
    RemoveDirectoryW(path_.c_str());
}

std::wstring ScratchDir::File(const std::wstring& name) const
{
    return path_ + L"\\" + name;
}

std::vector<std::wstring> ScratchDir::Entries() const
{
    return FolderEntries(path_);
}

std::vector<std::wstring> FolderEntries(const std::wstring& folder)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return names;
    }
    do {
        std::wstring name = found.cFileName;
        if (name != L"." && name != L"..") {
            names.push_back(name);
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
    std::sort(names.begin(), names.end());
    return names;
}

std::string Narrow(const std::wstring& text)
{
    int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string bytes(size > 0 ? size - 1 : 0, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &bytes[0], size, nullptr, nullptr);
    return bytes;
}

void WriteWholeFile(const std::wstring& path, const std::string& bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
}

std::string ReadWholeFile(const std::wstring& path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return "<missing>";
    }
    std::string bytes;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) {
        bytes.append(chunk, got);
    }
    CloseHandle(file);
    return bytes;
}

bool FileExists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring OwnExePath()
{
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::wstring(path, length);
}

std::wstring WindowText(HWND window)
{
    int length = static_cast<int>(SendMessageW(window, WM_GETTEXTLENGTH, 0, 0));
    std::vector<wchar_t> text(length + 1);
    SendMessageW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
    return std::wstring(text.data());
}

bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    while (!done()) {
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= timeoutMs) {
            return false;
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, timeoutMs - elapsed < 20 ? timeoutMs - elapsed : 20,
                                  QS_ALLINPUT);
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    return true;
}

bool WaitForStripRunEnd(HWND dialog)
{
    const int kStripButton = 23;
    HWND button = GetDlgItem(dialog, kStripButton);
    return PumpUntil([&] { return IsWindowEnabled(button) != FALSE; }, 30000);
}

std::string UnixName(const std::wstring& path)
{
    typedef char*(CDECL * ToUnix)(const wchar_t*);
    ToUnix toUnix = reinterpret_cast<ToUnix>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    char* name = toUnix != nullptr ? toUnix(path.c_str()) : nullptr;
    std::string result = name != nullptr ? name : "";
    if (name != nullptr) {
        HeapFree(GetProcessHeap(), 0, name);
    }
    return result;
}

namespace {

// The trash's folder as Windows names it; empty when XDG_DATA_HOME is not set.
std::wstring TrashFolder()
{
    wchar_t data[1024];
    DWORD n = GetEnvironmentVariableW(L"XDG_DATA_HOME", data, 1024);
    if (n == 0 || n >= 1024) {
        return L"";
    }
    std::wstring folder = L"Z:" + std::wstring(data, n) + L"/Trash";
    std::replace(folder.begin(), folder.end(), L'/', L'\\');
    return folder;
}

std::string Unescaped(const std::string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            out.push_back(static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16)));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

}  // namespace

std::vector<Trashed> TrashedFiles()
{
    std::vector<Trashed> files;
    const std::wstring trash = TrashFolder();
    if (trash.empty()) {
        return files;
    }
    for (const std::wstring& name : FolderEntries(trash + L"\\info")) {
        const std::wstring suffix = L".trashinfo";
        if (name.size() <= suffix.size() || name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
            continue;
        }
        std::string info = ReadWholeFile(trash + L"\\info\\" + name);
        size_t at = info.find("\nPath=");
        size_t end = info.find('\n', at + 1);
        Trashed file;
        file.from = at == std::string::npos ? "" : Unescaped(info.substr(at + 6, end - at - 6));
        file.bytes = ReadWholeFile(trash + L"\\files\\" + name.substr(0, name.size() - suffix.size()));
        files.push_back(file);
    }
    return files;
}

void EmptyTrash()
{
    const std::wstring trash = TrashFolder();
    for (const wchar_t* sub : {L"\\info\\", L"\\files\\"}) {
        for (const std::wstring& name : FolderEntries(trash + sub)) {
            DeleteFileW((trash + sub + name).c_str());
        }
    }
}

std::string Utf16WithMark(bool bigEndian, const std::wstring& text)
{
    std::string out = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
    for (wchar_t c : text) {
        const char low = static_cast<char>(c & 0xFF);
        const char high = static_cast<char>(c >> 8);
        out += bigEndian ? high : low;
        out += bigEndian ? low : high;
    }
    return out;
}
