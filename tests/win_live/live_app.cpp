#include "tests/win_live/live_app.h"

#include <cwchar>
#include <vector>

#include "resources/resource_ids.h"

namespace {

const DWORD kSendTimeoutMs = 5000;

struct Search {
    DWORD processId;
    HWND exclude;
    bool wantForm;
    HWND found;
};

BOOL CALLBACK MatchWindow(HWND window, LPARAM parameter)
{
    Search* search = reinterpret_cast<Search*>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    wchar_t className[16] = L"";
    GetClassNameW(window, className, 16);
    if (owner != search->processId || window == search->exclude || !IsWindowVisible(window) ||
        wcscmp(className, L"#32770") != 0) {
        return TRUE;
    }
    if ((GetDlgItem(window, IDC_STRIP) != nullptr) != search->wantForm) {
        return TRUE;
    }
    search->found = window;
    return FALSE;
}

HWND WaitForWindow(Search search, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        search.found = nullptr;
        EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&search));
        if (search.found != nullptr || GetTickCount() - start >= timeoutMs) {
            return search.found;
        }
        Sleep(20);
    }
}

}  // namespace

LiveApp::LiveApp() : process_(), dialog_(nullptr)
{
    std::wstring command = L"\"" QUORVANE_EXE L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    if (!CreateProcessW(QUORVANE_EXE, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process_)) {
        process_ = PROCESS_INFORMATION();
        return;
    }
    dialog_ = WaitForWindow({process_.dwProcessId, nullptr, true, nullptr}, 20000);
    // The dialog is made visible before its initialisation is over.
    WaitForInputIdle(process_.hProcess, 5000);
}

LiveApp::~LiveApp()
{
    if (process_.hProcess == nullptr) {
        return;
    }
    if (WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT) {
        TerminateProcess(process_.hProcess, 99);
        WaitForSingleObject(process_.hProcess, 10000);
    }
    CloseHandle(process_.hThread);
    CloseHandle(process_.hProcess);
}

void LiveApp::Text(int id, const std::wstring& text) const
{
    DWORD_PTR result = 0;
    SendMessageTimeoutW(GetDlgItem(dialog_, id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()),
                        SMTO_NORMAL, kSendTimeoutMs, &result);
}

void LiveApp::Check(int id, bool on) const
{
    DWORD_PTR result = 0;
    SendMessageTimeoutW(GetDlgItem(dialog_, id), BM_SETCHECK, on ? BST_CHECKED : BST_UNCHECKED, 0, SMTO_NORMAL,
                        kSendTimeoutMs, &result);
}

void LiveApp::PressStrip() const
{
    // Sent rather than posted: once it returns, the run has started (or
    // there was nothing to run), so that Running() says what it means.
    DWORD_PTR result = 0;
    SendMessageTimeoutW(dialog_, WM_COMMAND, MAKEWPARAM(IDC_STRIP, BN_CLICKED),
                        reinterpret_cast<LPARAM>(GetDlgItem(dialog_, IDC_STRIP)), SMTO_NORMAL, kSendTimeoutMs,
                        &result);
}

bool LiveApp::Running() const
{
    return IsWindowEnabled(GetDlgItem(dialog_, IDC_STRIP)) == FALSE;
}

bool LiveApp::WaitForRunEnd(DWORD timeoutMs) const
{
    DWORD start = GetTickCount();
    while (Running()) {
        if (GetTickCount() - start >= timeoutMs) {
            return false;
        }
        Sleep(10);
    }
    // The form is given back just before a failure is told: once the dialog
    // answers again, a message box it shows exists.
    WmNullAnswerMs(dialog_);
    return true;
}

HWND LiveApp::WaitForMessageBox(DWORD timeoutMs) const
{
    return WaitForWindow({process_.dwProcessId, dialog_, false, nullptr}, timeoutMs);
}

bool LiveApp::WaitForExit(DWORD timeoutMs, DWORD* exitCode) const
{
    if (WaitForSingleObject(process_.hProcess, timeoutMs) != WAIT_OBJECT_0) {
        return false;
    }
    GetExitCodeProcess(process_.hProcess, exitCode);
    return true;
}

uint32_t WmNullAnswerMs(HWND window)
{
    LARGE_INTEGER frequency, before, after;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&before);
    DWORD_PTR result = 0;
    if (SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, kSendTimeoutMs, &result) == 0) {
        return UINT32_MAX;
    }
    QueryPerformanceCounter(&after);
    return static_cast<uint32_t>((after.QuadPart - before.QuadPart) * 1000 / frequency.QuadPart);
}

std::wstring MessageBoxText(HWND box)
{
    std::wstring text;
    for (HWND child = GetWindow(box, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t className[16] = L"";
        GetClassNameW(child, className, 16);
        if (wcscmp(className, L"Static") != 0) {
            continue;
        }
        int length = GetWindowTextLengthW(child);
        std::vector<wchar_t> piece(length + 1);
        GetWindowTextW(child, piece.data(), length + 1);
        if (piece[0] != 0) {
            text += piece.data();
            text += L"\n";
        }
    }
    return text;
}

void PressEscapeAt(HWND dialog)
{
    SetForegroundWindow(dialog);
    INPUT keys[2] = {};
    for (INPUT& key : keys) {
        key.type = INPUT_KEYBOARD;
        key.ki.wVk = VK_ESCAPE;
    }
    keys[1].ki.dwFlags = KEYEVENTF_KEYUP;
    SendInput(2, keys, sizeof(INPUT));
}
