// A Windows logger: appends "record <i>" lines (CR LF) to a log, opening it
// for each record with FILE_APPEND_DATA and the sharing loggers use (reading
// and writing), OPEN_ALWAYS, a few milliseconds apart.
//
//   win_appender <path> <records> <milliseconds between records>
//
// A record the log cannot be opened for because another program holds it
// (a sharing violation) is tried again a moment later, as a careful logger
// does; the exit code is the number of such retries (at most 10000), or
// 20000 when an open or a write failed otherwise, or the log stayed held
// for two seconds.
#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 4) {
        return 20000;
    }
    int records = static_cast<int>(std::wcstoul(argv[2], nullptr, 10));
    DWORD pause = static_cast<DWORD>(std::wcstoul(argv[3], nullptr, 10));
    int retries = 0;
    for (int i = 1; i <= records; ++i) {
        char record[64];
        int length = std::snprintf(record, sizeof record, "record %d\r\n", i);
        HANDLE log = INVALID_HANDLE_VALUE;
        for (DWORD waited = 0;; waited += 5) {
            log = CreateFileW(argv[1], FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
            if (log != INVALID_HANDLE_VALUE) {
                break;
            }
            if (GetLastError() != ERROR_SHARING_VIOLATION || waited >= 2000) {
                return 20000;
            }
            ++retries;
            Sleep(5);
        }
        DWORD put = 0;
        bool ok = WriteFile(log, record, static_cast<DWORD>(length), &put, nullptr) && put == static_cast<DWORD>(length);
        CloseHandle(log);
        if (!ok) {
            return 20000;
        }
        Sleep(pause);
    }
    return retries < 10000 ? retries : 10000;
}
