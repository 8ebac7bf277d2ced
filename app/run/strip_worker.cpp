// The run's worker thread, and the form locked while it works.
//
// The worker reads only the request and writes only the outcome and the
// control's counters; it never sends the dialog a message (it posts one, when
// it is done), so nothing it waits for can wait for the dialog. The dialog
// never ends while a run goes on, and ends the worker before its memory goes.
#include "app/app.h"
#include "app/run/strip_run.h"

#include "resources/resource_ids.h"

namespace {

// How long the dialog waits for a worker that said it is done.
const DWORD kFinishWaitMs = 1000;

// Every control a user could change the run's inputs with.
const int kLockedControls[] = {
    IDC_SEARCH_TEXT,    IDC_SOURCE_PATH,    IDC_BROWSE_SOURCE, IDC_EXPORT_WITHOUT,
    IDC_WITHOUT_PATH,   IDC_BROWSE_WITHOUT, IDC_EXPORT_WITH,   IDC_WITH_PATH,
    IDC_BROWSE_WITH,    IDC_APPEND_WITHOUT, IDC_APPEND_WITH,   IDC_IGNORE_CASE,
    IDC_STRIP,
};

void LockForm(HWND dialog, bool locked)
{
    for (int id : kLockedControls) {
        EnableWindow(GetDlgItem(dialog, id), locked ? FALSE : TRUE);
    }
    if (locked) {
        // Keyboard input goes to the dialog itself meanwhile, so that
        // Escape still reaches it: disabling the control that had the focus
        // left no window with it, and keys then arrive as system keys that
        // the dialog does not take for Escape. The dialog keeps the focus
        // (see its WM_SETFOCUS) instead of handing it to a locked control.
        SetFocus(dialog);
    } else {
        SendMessageW(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(dialog, IDC_STRIP)), TRUE);
    }
}

DWORD WINAPI StripWorker(LPVOID parameter)
{
    StripRun* run = static_cast<StripRun*>(parameter);
    for (;;) {
        WaitForSingleObject(run->go, INFINITE);
        if (run->quit) {
            return 0;
        }
        if (!run->rulesRead) {
            PlatformGetTextRules(&run->rules);
            run->rulesRead = true;
        }
        run->control.rules = &run->rules;
        DriveRun(&run->request, &run->control, &run->outcome);
        PostMessageW(run->dialog, WM_STRIP_RUN_DONE, run->number, 0);
        SetEvent(run->ended);
    }
}

void CloseWorkerHandles(StripRun* run)
{
    HANDLE* handles[] = {&run->worker, &run->go, &run->ended};
    for (HANDLE* h : handles) {
        if (*h != nullptr) {
            CloseHandle(*h);
            *h = nullptr;
        }
    }
}

// The worker, made the first time; false when it cannot be made.
bool HaveWorker(StripRun* run)
{
    if (run->worker != nullptr) {
        return true;
    }
    run->quit = 0;
    run->go = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (run->go != nullptr) {
        run->ended = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    }
    if (run->go != nullptr && run->ended != nullptr) {
        run->worker = CreateThread(nullptr, 0, StripWorker, run, 0, nullptr);
    }
    if (run->worker == nullptr) {
        const DWORD error = GetLastError();
        CloseWorkerHandles(run);
        SetLastError(error);
        return false;
    }
    return true;
}

}  // namespace

void StartStripRun(StripRun* run)
{
    if (StripRunning(run) || !ReadRunRequest(run->dialog, &run->request)) {
        return;
    }
    // The previous version's note in the user's language.
    WCHAR note[kNoteCapacity];
    LoadUiString(IDS_PREVIOUS_NOTE, note, kNoteCapacity);
    if (note[0] != 0) {
        for (int i = 0; i < kNoteCapacity; ++i) {
            run->request.previousNote[i] = note[i];
        }
    }
    RunControlInit(&run->control);
    RepairInit(&run->repaired);
    run->control.repaired = &run->repaired;
    OutcomeInit(&run->outcome);
    run->showingProgress = false;
    run->endWhenDone = false;
    run->lastPercent = -1;
    run->caption[0] = 0;
    GetWindowTextW(run->dialog, run->caption, 128);
    if (!HaveWorker(run)) {
        OutcomeFail(&run->outcome, kRunNoMemory, kNoFile, GetLastError());
        ShowRunFailure(run->dialog, &run->request, &run->outcome);
        return;
    }
    ResetEvent(run->ended);
    ++run->number;
    run->running = true;
    LockForm(run->dialog, true);
    run->startTick = GetTickCount();
    SetEvent(run->go);
}

void StopStripRun(StripRun* run)
{
    RaiseStop(&run->control.stop);
}

bool WaitForStripRun(StripRun* run, DWORD timeoutMs)
{
    return !StripRunning(run) || WaitForSingleObject(run->ended, timeoutMs) == WAIT_OBJECT_0;
}

bool EndStripWorker(StripRun* run, DWORD timeoutMs)
{
    if (run->worker == nullptr) {
        return true;
    }
    // Raised while a run still goes on too: the worker ends once it is over.
    InterlockedExchange(&run->quit, 1);
    SetEvent(run->go);
    if (WaitForSingleObject(run->ended, 0) != WAIT_OBJECT_0 ||
        WaitForSingleObject(run->worker, timeoutMs) != WAIT_OBJECT_0) {
        // It keeps its signals and its memory for as long as it lives.
        CloseHandle(run->worker);
        run->worker = nullptr;
        return false;
    }
    CloseWorkerHandles(run);
    return true;
}

bool FinishStripRun(StripRun* run)
{
    if (!StripRunning(run)) {
        return true;
    }
    // The worker posts its message, then tells that the run ended; should
    // it be held up after all, the dialog stays alive and the timer looks
    // again.
    if (!WaitForStripRun(run, kFinishWaitMs)) {
        return false;
    }
    run->running = false;
    SetWindowTextW(run->dialog, run->caption);
    run->showingProgress = false;
    LockForm(run->dialog, false);
    // What was put back of a killed run first: the run's own message, if
    // any, follows it.
    ShowRepairReport(run->dialog, &run->repaired);
    ShowOutcomeLine(run->dialog, &run->request, &run->outcome);
    if (OutcomeIsTold(&run->outcome)) {
        ShowRunFailure(run->dialog, &run->request, &run->outcome);
    }
    if (run->endWhenDone) {
        EndDialog(run->dialog, 0);
    }
    return true;
}
