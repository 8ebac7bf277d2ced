// Helpers shared by the Windows-side suites: scratch folders, whole files,
// window texts.
#ifndef QUORVANE_WIN_TEST_SUPPORT_H
#define QUORVANE_WIN_TEST_SUPPORT_H

#include <windows.h>

#include <string>
#include <vector>

// A fresh folder under the temporary directory, removed with its files.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    // Full path of a file in the folder.
    std::wstring File(const std::wstring& name) const;
    const std::wstring& path() const { return path_; }
    // Names of the entries in the folder.
    std::vector<std::wstring> Entries() const;

private:
    std::wstring path_;
};

void WriteWholeFile(const std::wstring& path, const std::string& bytes);
// The file's bytes; "<missing>" when it cannot be opened.
std::string ReadWholeFile(const std::wstring& path);
bool FileExists(const std::wstring& path);

// The running test program's own full path.
std::wstring OwnExePath();

// A window's text (WM_GETTEXT, so from any thread of the process).
std::wstring WindowText(HWND window);

#endif
