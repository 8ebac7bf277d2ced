// Times a strip run on Windows (or under Wine) the way the program runs it:
// the real dialog, made from the real template but hidden, with the real
// MainDialogProc, the form filled in by messages, and the default button's
// command sent to it. Next to it, CopyFileW of the same source, the floor.
//
//   quorvane_win_bench SOURCE NEEDLE WITHOUT_PATH WITH_PATH COPY_PATH [RUNS [--ignore-case]]
//
// Both exports are on, in rewrite mode, into fresh files (removed before
// every run, outside the timing). One warm-up run of each, then RUNS timed
// runs (default 5); prints the medians and their ratio, and leaves the last
// run's exports in place for the caller to check.
#include <windows.h>
#include <commctrl.h>
#include <psapi.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <vector>

#include "app/app.h"
#include "resources/resource_ids.h"

namespace {

double Seconds(const LARGE_INTEGER& from, const LARGE_INTEGER& to)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// The main dialog from its template, with WS_VISIBLE taken out of a copy of
// the template so that the window never shows.
HWND CreateHiddenMainDialog()
{
    HMODULE module = GetResourceModule();
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(IDD_MAIN), reinterpret_cast<LPCWSTR>(RT_DIALOG));
    if (!found) return nullptr;
    HGLOBAL loaded = LoadResource(module, found);
    const DWORD size = SizeofResource(module, found);
    const BYTE* original = static_cast<const BYTE*>(LockResource(loaded));
    if (!original || size < 12) return nullptr;
    std::vector<BYTE> copy(original, original + size);
    // DLGTEMPLATEEX: dlgVer, signature 0xFFFF, helpID, exStyle, style.
    // DLGTEMPLATE: style first.
    const bool extended = copy[2] == 0xFF && copy[3] == 0xFF;
    DWORD* style = reinterpret_cast<DWORD*>(copy.data() + (extended ? 12 : 0));
    *style &= ~static_cast<DWORD>(WS_VISIBLE);
    return CreateDialogIndirectParamW(module, reinterpret_cast<LPCDLGTEMPLATEW>(copy.data()),
                                      nullptr, MainDialogProc, 0);
}

void SetField(HWND dialog, int id, const wchar_t* text)
{
    SendDlgItemMessageW(dialog, id, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
}

void SetCheck(HWND dialog, int id, bool on)
{
    SendDlgItemMessageW(dialog, id, BM_SETCHECK, on ? BST_CHECKED : BST_UNCHECKED, 0);
}

bool FileSize(const wchar_t* path, unsigned long long* size)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path, GetFileExInfoStandard, &data)) return false;
    *size = (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return true;
}

// A run that fails tells so in a message box, which waits for a press that
// never comes here: a watcher closes it, and the bench stops with its text.
struct BoxWatch {
    HWND dialog;
    volatile LONG stop;
    volatile LONG closed;
};

// The box's words: the text of its static controls.
BOOL CALLBACK AppendStaticText(HWND child, LPARAM parameter)
{
    wchar_t kind[16] = {};
    wchar_t* text = reinterpret_cast<wchar_t*>(parameter);
    const size_t used = std::wcslen(text);
    if (GetClassNameW(child, kind, 16) && _wcsicmp(kind, L"Static") == 0 && used + 2 < 1024) {
        GetWindowTextW(child, text + used, static_cast<int>(1024 - used - 1));
    }
    return TRUE;
}

BOOL CALLBACK CloseRunBox(HWND window, LPARAM parameter)
{
    BoxWatch* watch = reinterpret_cast<BoxWatch*>(parameter);
    wchar_t kind[16] = {};
    if (GetWindow(window, GW_OWNER) != watch->dialog || !IsWindowVisible(window) ||
        !GetClassNameW(window, kind, 16) || std::wcscmp(kind, L"#32770") != 0) {
        return TRUE;
    }
    wchar_t text[1024] = {};
    EnumChildWindows(window, AppendStaticText, reinterpret_cast<LPARAM>(text));
    char utf8[4096] = {};
    WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, nullptr, nullptr);
    std::fprintf(stderr, "quorvane_win_bench: the run failed:\n%s\n", utf8);
    InterlockedExchange(&watch->closed, 1);
    PostMessageW(window, WM_COMMAND, IDOK, 0);
    return FALSE;
}

DWORD WINAPI WatchForRunBox(void* parameter)
{
    BoxWatch* watch = static_cast<BoxWatch*>(parameter);
    while (!watch->stop) {
        EnumWindows(CloseRunBox, reinterpret_cast<LPARAM>(watch));
        Sleep(50);
    }
    return 0;
}

// Handles the dialog's messages until the strip button is enabled again.
void WaitForRunEnd(HWND button)
{
    while (!IsWindowEnabled(button)) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
}

}  // namespace

int main()
{
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv || argc < 6 || argc > 8) {
        std::fprintf(stderr, "usage: quorvane_win_bench SOURCE NEEDLE WITHOUT_PATH WITH_PATH COPY_PATH "
                             "[RUNS [--ignore-case]]\n");
        return 2;
    }
    const wchar_t* source = argv[1];
    const wchar_t* needle = argv[2];
    const wchar_t* withoutPath = argv[3];
    const wchar_t* withPath = argv[4];
    const wchar_t* copyPath = argv[5];
    const int runs = argc >= 7 ? _wtoi(argv[6]) : 5;
    const bool ignoreCase = argc == 8 && std::wcscmp(argv[7], L"--ignore-case") == 0;
    if (runs < 1) return 2;

    unsigned long long sourceSize = 0;
    if (!FileSize(source, &sourceSize)) {
        std::fprintf(stderr, "quorvane_win_bench: cannot find the source (error %lu)\n", GetLastError());
        return 1;
    }

    InitCommonControls();
    HWND dialog = CreateHiddenMainDialog();
    if (!dialog) {
        std::fprintf(stderr, "quorvane_win_bench: cannot create the main dialog (error %lu)\n",
                     GetLastError());
        return 1;
    }
    SetField(dialog, IDC_SEARCH_TEXT, needle);
    SetField(dialog, IDC_SOURCE_PATH, source);
    SetField(dialog, IDC_WITHOUT_PATH, withoutPath);
    SetField(dialog, IDC_WITH_PATH, withPath);
    SetCheck(dialog, IDC_EXPORT_WITHOUT, true);
    SetCheck(dialog, IDC_EXPORT_WITH, true);
    SetCheck(dialog, IDC_APPEND_WITHOUT, false);
    SetCheck(dialog, IDC_APPEND_WITH, false);
    SetCheck(dialog, IDC_IGNORE_CASE, ignoreCase);
    HWND button = GetDlgItem(dialog, IDC_STRIP);
    BoxWatch watch = {dialog, 0, 0};
    HANDLE watcher = CreateThread(nullptr, 0, WatchForRunBox, &watch, 0, nullptr);

    std::vector<double> strip, copy;
    for (int run = 0; run <= runs; ++run) {
        DeleteFileW(withoutPath);
        DeleteFileW(withPath);
        LARGE_INTEGER start, end;
        QueryPerformanceCounter(&start);
        SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDC_STRIP, BN_CLICKED),
                     reinterpret_cast<LPARAM>(button));
        // The run goes on on its own thread; it is over when the dialog
        // gives the button back.
        WaitForRunEnd(button);
        QueryPerformanceCounter(&end);
        if (watch.closed) {
            break;
        }
        if (run > 0) strip.push_back(Seconds(start, end));

        DeleteFileW(copyPath);
        QueryPerformanceCounter(&start);
        const BOOL copied = CopyFileW(source, copyPath, FALSE);
        QueryPerformanceCounter(&end);
        if (!copied) {
            std::fprintf(stderr, "quorvane_win_bench: CopyFileW failed (error %lu)\n", GetLastError());
            return 1;
        }
        if (run > 0) copy.push_back(Seconds(start, end));
    }
    InterlockedExchange(&watch.stop, 1);
    if (watcher) {
        WaitForSingleObject(watcher, INFINITE);
        CloseHandle(watcher);
    }
    DeleteFileW(copyPath);
    DestroyWindow(dialog);
    if (watch.closed) {
        return 1;
    }

    // Every source line reaches one export, so a source whose lines all end
    // with CR LF comes out with as many bytes as it has.
    unsigned long long withoutSize = 0, withSize = 0;
    if (!FileSize(withoutPath, &withoutSize) || !FileSize(withPath, &withSize)) {
        std::fprintf(stderr, "quorvane_win_bench: the strip run left no exports\n");
        return 1;
    }

    const double stripMedian = Median(strip);
    const double copyMedian = Median(copy);
    std::printf("Wine strip run (MainDialogProc -> worker -> DriveRun), runs:");
    for (double s : strip) std::printf(" %.3f", s);
    std::printf("\nWine CopyFileW, runs:");
    for (double s : copy) std::printf(" %.3f", s);
    std::printf("\nWine exports: %llu + %llu bytes of %llu source bytes\n", withoutSize, withSize,
                sourceSize);
    // The process's peak resident memory (under Wine, the peak the host
    // system measured), the dialog and the runs together.
    PROCESS_MEMORY_COUNTERS memory = {};
    memory.cb = sizeof memory;
    const double peakMiB = GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory)
                               ? static_cast<double>(memory.PeakWorkingSetSize) / (1 << 20)
                               : 0.0;
    std::printf("RESULT strip_s=%.4f copy_s=%.4f ratio=%.2f runs=%d peak_mib=%.1f\n", stripMedian,
                copyMedian, stripMedian / copyMedian, runs, peakMiB);
    LocalFree(argv);
    return 0;
}
