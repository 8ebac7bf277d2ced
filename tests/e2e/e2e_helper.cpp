// A small Windows program the end-to-end script drives the real Quorvane.exe
// with, from inside Wine:
//   e2e_helper set <control id> <text>   puts text into a control of the form
//   e2e_helper get <control id>          prints a control's text (UTF-8)
//   e2e_helper plain <caption> <seconds> shows a window with no icon at all
//                                        for that many seconds
// The form is the visible top-level dialog with a strip button whose caption
// contains "Quorvane". set and get wait up to 10 seconds for it.
#include <windows.h>
#include <shellapi.h>

#include <cwchar>
#include <string>

#include "resources/resource_ids.h"

namespace {

BOOL CALLBACK MatchForm(HWND window, LPARAM result)
{
    wchar_t className[64] = L"";
    wchar_t caption[256] = L"";
    GetClassNameW(window, className, 64);
    GetWindowTextW(window, caption, 256);
    if (wcscmp(className, L"#32770") == 0 && IsWindowVisible(window) &&
        wcsstr(caption, L"Quorvane") != nullptr && GetDlgItem(window, IDC_STRIP) != nullptr) {
        *reinterpret_cast<HWND*>(result) = window;
        return FALSE;
    }
    return TRUE;
}

HWND FindForm()
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        HWND form = nullptr;
        EnumWindows(MatchForm, reinterpret_cast<LPARAM>(&form));
        if (form != nullptr) {
            return form;
        }
        Sleep(100);
    }
    return nullptr;
}

void PrintUtf8(const std::wstring& text)
{
    int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string bytes(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &bytes[0], size, nullptr, nullptr);
    bytes.back() = '\n';
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()),
              &written, nullptr);
}

LRESULT CALLBACK PlainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_TIMER) {
        DestroyWindow(window);
        return 0;
    }
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

int ShowPlainWindow(const wchar_t* caption, int seconds)
{
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = PlainWindowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = L"QuorvaneE2EPlain";
    RegisterClassW(&windowClass);
    HWND window = CreateWindowW(L"QuorvaneE2EPlain", caption, WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                                100, 100, 300, 200, nullptr, nullptr, windowClass.hInstance,
                                nullptr);
    if (window == nullptr) {
        return 1;
    }
    SetTimer(window, 1, static_cast<UINT>(seconds) * 1000, nullptr);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc == 4 && wcscmp(argv[1], L"plain") == 0) {
        return ShowPlainWindow(argv[2], _wtoi(argv[3]));
    }
    if (argc < 3) {
        return 2;
    }
    HWND form = FindForm();
    if (form == nullptr) {
        return 3;
    }
    HWND control = GetDlgItem(form, _wtoi(argv[2]));
    if (control == nullptr) {
        return 4;
    }
    if (argc == 4 && wcscmp(argv[1], L"set") == 0) {
        SendMessageW(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(argv[3]));
        return 0;
    }
    if (argc == 3 && wcscmp(argv[1], L"get") == 0) {
        wchar_t text[1024] = L"";
        SendMessageW(control, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text));
        PrintUtf8(text);
        return 0;
    }
    return 2;
}
