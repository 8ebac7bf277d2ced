// The Windows program: entry, main dialog, choosers, About box, path fields.
#ifndef QUORVANE_APP_H
#define QUORVANE_APP_H

#include <windows.h>

// The module the dialog template and the strings come from: a satellite
// "<exe path>.mui" beside the executable when one loads, else the executable.
HMODULE GetResourceModule();

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
