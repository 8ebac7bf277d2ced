// The program's entry point. No C runtime starts in front of it: the linker
// points the image's entry here (-e ProgramEntry), so it must end the process
// itself.
#include "app/app.h"
#include "resources/resource_ids.h"

#include <commctrl.h>

extern "C" void ProgramEntry()
{
    InitCommonControls();
    HMODULE resources = GetResourceModule();
    // The modal loop is the program's only loop. Its result, including the
    // failure to load the template, changes nothing: the exit code is 0.
    DialogBoxParamW(resources, MAKEINTRESOURCEW(IDD_MAIN), nullptr, MainDialogProc, 0);
    ExitProcess(0);
}
