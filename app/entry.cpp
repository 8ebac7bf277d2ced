// The program's entry point. No C runtime starts in front of it: the linker
// points the image's entry here (-e ProgramEntry), so it must end the process
// itself.
#include "app/app.h"
#include "filter/durability/run_repair.h"
#include "resources/resource_ids.h"

#include <commctrl.h>

extern "C" void ProgramEntry()
{
    InitCommonControls();
    HMODULE resources = GetResourceModule();
    // What a run that was killed (or cut short by a power failure) left half
    // done is put back before the dialog shows: a bounded walk over the
    // records the pointers in the user's folder name, each a few file
    // operations. The dialog tells what it put back.
    RepairReport* repaired = static_cast<RepairReport*>(GlobalAlloc(GPTR, sizeof(RepairReport)));
    if (repaired != nullptr) {
        RepairInit(repaired);
        RepairFromPointers(repaired);
    }
    // The modal loop is the program's only loop. Its result, including the
    // failure to load the template, changes nothing: the exit code is 0.
    DialogBoxParamW(resources, MAKEINTRESOURCEW(IDD_MAIN), nullptr, MainDialogProc,
                    reinterpret_cast<LPARAM>(repaired));
    ExitProcess(0);
}
