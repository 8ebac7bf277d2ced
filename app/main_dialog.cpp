// The main dialog's procedure: sets up the form, dispatches the buttons, and
// runs a strip on a thread of its own when the default button (or Enter) is
// pressed, so that the window stays alive, shows progress and can stop it.
#include "app/app.h"
#include "app/strip_run.h"
#include "filter/run/run_request.h"
#include "resources/resource_ids.h"

namespace {

// Progress is looked at this often while a run lasts.
const UINT_PTR kProgressTimer = 1;
const UINT kProgressEveryMs = 250;
// At the end of the session Windows gives a window about five seconds to
// answer before it tells the user that the program holds up the shutdown:
// the run is given a little less to stop and put its files back. What a
// run still had half done when the process ended is put right at the next
// start.
const DWORD kEndSessionWaitMs = 4000;
// A dialog destroyed from outside waits as long for its worker.
const DWORD kDestroyWaitMs = 4000;

void InitMainDialog(HWND dialog, StripRun* run)
{
    // The window icon always comes from the executable, whichever module the
    // template came from. Only the big icon is set; the system derives the
    // caption's small one from it.
    HICON icon = LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_APP));
    SendMessageW(dialog, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));

    SendDlgItemMessageW(dialog, IDC_SEARCH_TEXT, EM_LIMITTEXT, kSearchFieldLimit, 0);
    SendDlgItemMessageW(dialog, IDC_EXPORT_WITH, BM_SETCHECK, BST_CHECKED, 0);

    // The path fields take dropped files through PathFieldProc, which finds
    // each field's own procedure in the field's user data.
    const int pathFields[] = {IDC_SOURCE_PATH, IDC_WITHOUT_PATH, IDC_WITH_PATH};
    for (int id : pathFields) {
        HWND field = GetDlgItem(dialog, id);
        SetWindowLongPtrW(field, GWLP_USERDATA, GetWindowLongPtrW(field, GWLP_WNDPROC));
        SetWindowLongPtrW(field, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(PathFieldProc));
    }

    AddOutcomeLine(dialog);

    if (run != nullptr) {
        run->dialog = dialog;
        run->worker = nullptr;
    }
    SetWindowLongPtrW(dialog, DWLP_USER, reinterpret_cast<LONG_PTR>(run));
}

StripRun* RunOf(HWND dialog)
{
    return reinterpret_cast<StripRun*>(GetWindowLongPtrW(dialog, DWLP_USER));
}

void Strip(HWND dialog, StripRun* run)
{
    if (run == nullptr) {
        return;
    }
    ClearOutcomeLine(dialog);
    StartStripRun(run);
    if (StripRunning(run)) {
        SetTimer(dialog, kProgressTimer, kProgressEveryMs, nullptr);
    }
}

void Finish(HWND dialog, StripRun* run)
{
    // A worker that is not over after all keeps the timer, which finds it
    // done later.
    if (FinishStripRun(run)) {
        KillTimer(dialog, kProgressTimer);
    }
}

// Escape, the close box, the end of the session: a run going on is stopped
// first, and the dialog ends once the worker has put every file back.
void Close(HWND dialog, StripRun* run, bool endDialog)
{
    if (run == nullptr || !StripRunning(run)) {
        if (endDialog) {
            EndDialog(dialog, 0);
        }
        return;
    }
    StopStripRun(run);
    run->endWhenDone = run->endWhenDone || endDialog;
}

// The dialog's result for a message it handled itself.
INT_PTR Handled(HWND dialog, LONG_PTR result)
{
    SetWindowLongPtrW(dialog, DWLP_MSGRESULT, result);
    return TRUE;
}

}  // namespace

INT_PTR CALLBACK MainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    StripRun* run = message == WM_INITDIALOG ? nullptr : RunOf(dialog);
    switch (message) {
    case WM_INITDIALOG:
        InitMainDialog(dialog, static_cast<StripRun*>(GlobalAlloc(GPTR, sizeof(StripRun))));
        // What the start put back of a run that was killed, told once the
        // dialog shows.
        if (lParam != 0 && RepairDidSomething(reinterpret_cast<const RepairReport*>(lParam))) {
            PostMessageW(dialog, WM_SHOW_REPAIRED, 0, lParam);
        }
        break;
    case WM_SHOW_REPAIRED:
        ShowRepairReport(dialog, reinterpret_cast<const RepairReport*>(lParam));
        break;
    case WM_COMMAND:
        // What the last run did is told until the form changes.
        if ((HIWORD(wParam) == EN_CHANGE && LOWORD(wParam) >= IDC_SEARCH_TEXT && LOWORD(wParam) <= IDC_WITH_PATH) ||
            (HIWORD(wParam) == BN_CLICKED && LOWORD(wParam) >= IDC_EXPORT_WITHOUT &&
             LOWORD(wParam) <= IDC_IGNORE_CASE)) {
            ClearOutcomeLine(dialog);
        }
        // The whole wParam: a click, Enter or Escape carries notification
        // code 0; an edit field's change notifications match nothing here.
        switch (wParam) {
        case IDCANCEL:
            // Escape during a run stops the run and keeps the window.
            if (run != nullptr && StripRunning(run)) {
                StopStripRun(run);
            } else {
                EndDialog(dialog, 0);
            }
            break;
        case IDC_BROWSE_SOURCE:
        case IDC_BROWSE_WITHOUT:
        case IDC_BROWSE_WITH:
            ShowFileChooser(dialog, static_cast<int>(wParam));
            break;
        case IDC_ABOUT:
            ShowAbout(dialog);
            break;
        case IDC_STRIP:
            Strip(dialog, run);
            break;
        }
        break;
    case WM_CLOSE:
        // The close box (and SC_CLOSE) end the program, after stopping a run.
        Close(dialog, run, true);
        return Handled(dialog, 0);
    case WM_TIMER:
        if (wParam == kProgressTimer && run != nullptr) {
            // A worker whose message was lost is found done all the same.
            if (StripRunning(run) && WaitForSingleObject(run->worker, 0) == WAIT_OBJECT_0) {
                Finish(dialog, run);
            } else {
                ShowStripProgress(run);
            }
        }
        break;
    case WM_STRIP_RUN_DONE:
        if (run != nullptr) {
            Finish(dialog, run);
        }
        break;
    case WM_SETFOCUS:
        // While the form is locked for a run the dialog keeps the focus
        // itself: the default would hand it to the control that had it last,
        // which is disabled.
        if (IsWindowEnabled(GetDlgItem(dialog, IDC_STRIP)) == FALSE) {
            return TRUE;
        }
        break;
    case WM_SETCURSOR:
        if (run != nullptr && StripRunning(run) && run->showingProgress) {
            SetCursor(LoadCursorW(nullptr, IDC_APPSTARTING));
            return Handled(dialog, TRUE);
        }
        break;
    case WM_ENDSESSION:
        // The process may end as soon as this returns: the run stops and
        // its files are put back first.
        if (wParam != FALSE && run != nullptr && StripRunning(run)) {
            StopStripRun(run);
            WaitForStripRun(run, kEndSessionWaitMs);
        }
        break;
    case WM_DESTROY:
        // Nothing ends the dialog while a worker lives, but a window can be
        // destroyed from outside: the worker is stopped and waited for
        // before its memory goes. A worker still not over keeps its memory
        // for as long as it lives.
        if (run != nullptr) {
            StopStripRun(run);
            bool ended = WaitForStripRun(run, kDestroyWaitMs);
            if (StripRunning(run)) {
                CloseHandle(run->worker);
            }
            KillTimer(dialog, kProgressTimer);
            SetWindowLongPtrW(dialog, DWLP_USER, 0);
            if (ended) {
                GlobalFree(run);
            }
        }
        break;
    }
    // 0 for everything else: no initial focus is set, and the platform's
    // default dialog handling applies.
    return 0;
}
