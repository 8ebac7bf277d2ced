// The main dialog's procedure: sets up the form, dispatches the buttons, and
// runs a strip on a thread of its own when the default button (or Enter) is
// pressed, so that the dialog stays alive, shows progress and can stop it.
#include "app/app.h"
#include "app/run/strip_run.h"
#include "filter/form/run_request.h"
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

void EndTheRun(HWND dialog, StripRun* run)
{
    // A run that is not over after all keeps the timer, which finds it
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

// ---- The messages, one handler each ------------------------------------------
// Each returns what MainDialogProc returns: 0 (the platform's default
// handling) unless it says otherwise.

INT_PTR OnInitDialog(HWND dialog, LPARAM repaired)
{
    InitMainDialog(dialog, static_cast<StripRun*>(GlobalAlloc(GPTR, sizeof(StripRun))));
    // What the start put back of a run that was killed, told once the
    // dialog shows.
    if (repaired != 0 && RepairDidSomething(reinterpret_cast<const RepairReport*>(repaired))) {
        PostMessageW(dialog, WM_SHOW_REPAIRED, 0, repaired);
    }
    return 0;
}

INT_PTR OnShowRepaired(HWND dialog, LPARAM repaired)
{
    ShowRepairReport(dialog, reinterpret_cast<const RepairReport*>(repaired));
    return 0;
}

INT_PTR OnCommand(HWND dialog, StripRun* run, WPARAM command)
{
    // What the last run did is told until the form changes.
    const WORD id = LOWORD(command);
    const WORD code = HIWORD(command);
    if ((code == EN_CHANGE && id >= IDC_SEARCH_TEXT && id <= IDC_WITH_PATH) ||
        (code == BN_CLICKED && id >= IDC_EXPORT_WITHOUT && id <= IDC_IGNORE_CASE)) {
        ClearOutcomeLine(dialog);
    }
    // The whole wParam: a click, Enter or Escape carries notification
    // code 0; an edit field's change notifications match nothing here.
    switch (command) {
    case IDCANCEL:
        // Escape during a run stops the run and keeps the dialog.
        if (run != nullptr && StripRunning(run)) {
            StopStripRun(run);
        } else {
            EndDialog(dialog, 0);
        }
        break;
    case IDC_BROWSE_SOURCE:
    case IDC_BROWSE_WITHOUT:
    case IDC_BROWSE_WITH:
        ShowFileChooser(dialog, static_cast<int>(command));
        break;
    case IDC_ABOUT:
        ShowAbout(dialog);
        break;
    case IDC_STRIP:
        Strip(dialog, run);
        break;
    }
    return 0;
}

// The close box (and SC_CLOSE) end the program, after stopping a run.
INT_PTR OnClose(HWND dialog, StripRun* run)
{
    Close(dialog, run, true);
    return Handled(dialog, 0);
}

INT_PTR OnTimer(HWND dialog, StripRun* run, WPARAM timer)
{
    if (timer == kProgressTimer && run != nullptr) {
        // A worker whose message was lost is found done all the same.
        if (StripRunning(run) && WaitForStripRun(run, 0)) {
            EndTheRun(dialog, run);
        } else {
            ShowStripProgress(run);
        }
    }
    return 0;
}

INT_PTR OnRunDone(HWND dialog, StripRun* run, WPARAM number)
{
    if (run != nullptr && number == run->number) {
        EndTheRun(dialog, run);
    }
    return 0;
}

// While the form is locked for a run the dialog keeps the focus itself:
// the default would hand it to the control that had it last, which is
// disabled.
INT_PTR OnSetFocus(HWND dialog)
{
    return IsWindowEnabled(GetDlgItem(dialog, IDC_STRIP)) == FALSE ? TRUE : 0;
}

INT_PTR OnSetCursor(HWND dialog, StripRun* run)
{
    if (run != nullptr && StripRunning(run) && run->showingProgress) {
        SetCursor(LoadCursorW(nullptr, IDC_APPSTARTING));
        return Handled(dialog, TRUE);
    }
    return 0;
}

// The process may end as soon as this returns: the run stops and its files
// are put back first.
INT_PTR OnEndSession(StripRun* run, WPARAM ending)
{
    if (ending != FALSE && run != nullptr && StripRunning(run)) {
        StopStripRun(run);
        WaitForStripRun(run, kEndSessionWaitMs);
    }
    return 0;
}

// Nothing ends the dialog while a run goes on, but a window can be
// destroyed from outside: the run is stopped and waited for, and the worker
// ended, before their memory goes. A worker still not over keeps its memory
// for as long as it lives.
INT_PTR OnDestroy(HWND dialog, StripRun* run)
{
    if (run != nullptr) {
        StopStripRun(run);
        const bool runEnded = WaitForStripRun(run, kDestroyWaitMs);
        const bool ended = EndStripWorker(run, kDestroyWaitMs) && runEnded;
        KillTimer(dialog, kProgressTimer);
        SetWindowLongPtrW(dialog, DWLP_USER, 0);
        if (ended) {
            GlobalFree(run);
        }
    }
    return 0;
}

}  // namespace

// 0 for every message it does not handle itself: no initial focus is set,
// and the platform's default dialog handling applies.
INT_PTR CALLBACK MainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    StripRun* run = message == WM_INITDIALOG ? nullptr : RunOf(dialog);
    switch (message) {
    case WM_INITDIALOG:     return OnInitDialog(dialog, lParam);
    case WM_SHOW_REPAIRED:  return OnShowRepaired(dialog, lParam);
    case WM_COMMAND:        return OnCommand(dialog, run, wParam);
    case WM_CLOSE:          return OnClose(dialog, run);
    case WM_TIMER:          return OnTimer(dialog, run, wParam);
    case WM_STRIP_RUN_DONE: return OnRunDone(dialog, run, wParam);
    case WM_SETFOCUS:       return OnSetFocus(dialog);
    case WM_SETCURSOR:      return OnSetCursor(dialog, run);
    case WM_ENDSESSION:     return OnEndSession(run, wParam);
    case WM_DESTROY:        return OnDestroy(dialog, run);
    default:                return 0;
    }
}
