// Helpers of the Windows-side dialog tests: scratch folders and whole files.
#ifndef QUORVANE_WIN_APP_TEST_UTIL_H
#define QUORVANE_WIN_APP_TEST_UTIL_H

#include <windows.h>

#include <string>

// A fresh folder under the temporary directory, removed with its files.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    // Full path of a file in the folder.
    std::wstring File(const wchar_t* name) const;

private:
    std::wstring path_;
};

void WriteWholeFile(const std::wstring& path, const std::string& bytes);
// The file's bytes; "<missing>" when it cannot be opened.
std::string ReadWholeFile(const std::wstring& path);
bool FileExists(const std::wstring& path);

// The running test program's own full path.
std::wstring OwnExePath();

// A window's text.
std::wstring WindowText(HWND window);

#endif
