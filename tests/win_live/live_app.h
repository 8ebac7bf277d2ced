// The real Quorvane.exe, started and driven from this process as another
// program (or the user) would: its dialog found among the desktop's windows,
// its form filled through window messages, its message boxes read back.
#ifndef QUORVANE_LIVE_APP_H
#define QUORVANE_LIVE_APP_H

#include <windows.h>

#include <cstdint>
#include <string>

class LiveApp {
public:
    // Starts the program and waits (up to 20 s) for its dialog.
    LiveApp();
    // Ends the program if it still runs.
    ~LiveApp();
    LiveApp(const LiveApp&) = delete;
    LiveApp& operator=(const LiveApp&) = delete;

    HWND dialog() const { return dialog_; }
    HANDLE process() const { return process_.hProcess; }

    void Text(int id, const std::wstring& text) const;
    void Check(int id, bool on) const;
    // Clicks the strip button; returns once the dialog has handled the click
    // (the run, if any, goes on in the program).
    void PressStrip() const;
    // True while the strip button is disabled: a run is going on.
    bool Running() const;
    // Waits up to timeoutMs for the run to be over; false on the timeout.
    bool WaitForRunEnd(DWORD timeoutMs) const;
    // A message box of the program (a visible #32770 window other than the
    // dialog) that appears within timeoutMs; null when none does.
    HWND WaitForMessageBox(DWORD timeoutMs) const;
    // Waits up to timeoutMs for the program to end; false on the timeout.
    bool WaitForExit(DWORD timeoutMs, DWORD* exitCode) const;

private:
    PROCESS_INFORMATION process_;
    HWND dialog_;
};

// The time the dialog takes to answer WM_NULL sent from this thread, in
// milliseconds; UINT32_MAX when it does not within 5 s.
uint32_t WmNullAnswerMs(HWND window);

// The text of a message box: its Static children's texts, one a line.
std::wstring MessageBoxText(HWND box);

// Presses and lets go of Escape as the keyboard would, at the foreground
// window, which is first made the dialog.
void PressEscapeAt(HWND dialog);

#endif
