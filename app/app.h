// The Windows program: entry, main dialog, choosers, About box, path fields.
#ifndef QUORVANE_APP_H
#define QUORVANE_APP_H

#include <windows.h>

// The module the dialog template and the strings come from: a satellite
// "<exe path>.mui" beside the executable when one loads, else the executable.
HMODULE GetResourceModule();
// The satellite's path for a module: "<module's full path>.mui" in path,
// which holds capacity characters. False when the module's path, with the
// four characters and the terminator, does not fit.
bool SatellitePath(HMODULE module, WCHAR* path, DWORD capacity);
// Loads string id into buffer (chars characters): from the resource module,
// or from the executable when a satellite lacks it; empty when neither has
// it, so that a buffer that was never filled is never shown.
void LoadUiString(UINT id, wchar_t* buffer, int chars);

// The main dialog's procedure.
INT_PTR CALLBACK MainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Commands 14, 15, 16: an open or save chooser that fills the path field
// three identifiers below the command.
void ShowFileChooser(HWND dialog, int command);

// Command 22: the About box.
void ShowAbout(HWND dialog);

// Window procedure of the three path fields: takes dropped files, passes
// everything else to the field's previous procedure (kept in GWLP_USERDATA).
LRESULT CALLBACK PathFieldProc(HWND field, UINT message, WPARAM wParam, LPARAM lParam);

#endif
