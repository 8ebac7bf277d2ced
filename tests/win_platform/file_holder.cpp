// Holds a file open for a while, as a virus scanner, an indexer or a backup
// tool does with a new or changed file: reading, sharing reading and writing,
// not deletion.
//
//   file_holder <path> <milliseconds> <event name> [exclusive]
//
// With "exclusive" it shares nothing, as a program that locks the file does.
// Sets the named event once the file is open, closes the file after the
// given time, and exits 0; exits 1 when the file cannot be opened.
#include <windows.h>

#include <cwchar>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 4 && argc != 5) {
        return 2;
    }
    DWORD sharing = argc == 5 && std::wcscmp(argv[4], L"exclusive") == 0 ? 0 : FILE_SHARE_READ | FILE_SHARE_WRITE;
    HANDLE file = CreateFileW(argv[1], GENERIC_READ, sharing, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return 1;
    }
    HANDLE held = OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[3]);
    if (held != nullptr) {
        SetEvent(held);
        CloseHandle(held);
    }
    Sleep(static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10)));
    CloseHandle(file);
    return 0;
}
