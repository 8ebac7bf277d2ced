// Helpers shared by the Windows-side suites: scratch folders, whole files,
// window texts.
#ifndef QUORVANE_WIN_TEST_SUPPORT_H
#define QUORVANE_WIN_TEST_SUPPORT_H

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

// Names of the entries in a folder (files and folders), sorted.
std::vector<std::wstring> FolderEntries(const std::wstring& folder);

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
    // Names of the entries in the folder, sorted.
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

// UTF-8 of a wide text, for test messages.
std::string Narrow(const std::wstring& text);
// A wide text as UTF-16 bytes in either byte order, after its byte order mark.
std::string Utf16WithMark(bool bigEndian, const std::wstring& text);

// Handles this thread's messages until done() holds or timeoutMs have
// passed; false on the timeout.
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs);
// After a press of the strip button: handles messages until the run the
// press started is over (the button is enabled again), for at most 30 s.
bool WaitForStripRunEnd(HWND dialog);

// The Unix name of a file under Wine, for a program that is not a Windows one.
std::string UnixName(const std::wstring& path);

// A file in the Recycle Bin, which Wine keeps as the desktop's trash
// ($XDG_DATA_HOME/Trash): the Unix path it came from, as its info records
// it (escapes decoded), and its bytes.
struct Trashed {
    std::string from;
    std::string bytes;
};
std::vector<Trashed> TrashedFiles();
// Empties that trash.
void EmptyTrash();

#endif
