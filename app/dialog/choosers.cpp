// File choosers of the three browse buttons.
#include "app/app.h"

#include <commdlg.h>

#include "platform/platform.h"
#include "resources/resource_ids.h"

namespace {

// Room for a 127-character filter, its terminator and one more zero, so the
// list always ends with two zero characters even when the loaded text does
// not end with a bar or had to be cut short.
enum { kFilterChars = 129, kFilterLoadLimit = 128 };

// Loads the file-type filter: from the resource module, or from the
// executable when the resource module (a satellite) lacks it. Every bar
// becomes a zero, turning "desc|pattern|..." into the double-zero-terminated
// list the chooser expects. The buffer is zeroed first, so text that was
// never loaded reads as an empty list and the scan always meets a zero.
void LoadFilter(wchar_t* filter)
{
    for (int i = 0; i < kFilterChars; ++i) {
        filter[i] = 0;
    }
    LoadUiString(IDS_FILE_FILTER, filter, kFilterLoadLimit);
    for (wchar_t* c = filter; *c != 0; ++c) {
        if (*c == L'|') {
            *c = 0;
        }
    }
}

}  // namespace

void ShowFileChooser(HWND dialog, int command)
{
    OPENFILENAMEW chooser;
    unsigned char* bytes = reinterpret_cast<unsigned char*>(&chooser);
    for (unsigned i = 0; i < sizeof chooser; ++i) {
        bytes[i] = 0;
    }

    wchar_t filter[kFilterChars];
    wchar_t path[kPathCapacity];
    path[0] = 0;  // the chooser opens with no name, whatever the field holds

    chooser.lStructSize = sizeof chooser;
    chooser.hwndOwner = dialog;
    chooser.lpstrFilter = filter;
    chooser.nFilterIndex = 1;
    chooser.lpstrFile = path;
    chooser.nMaxFile = kPathCapacity;
    chooser.lpstrDefExt = L"txt";
    chooser.Flags = OFN_OVERWRITEPROMPT | OFN_HIDEREADONLY | OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST |
                    OFN_NONETWORKBUTTON;

    LoadFilter(filter);

    BOOL chosen = command == IDC_BROWSE_SOURCE ? GetOpenFileNameW(&chooser) : GetSaveFileNameW(&chooser);
    if (chosen) {
        // Each browse button sits three identifiers above its path field.
        SendDlgItemMessageW(dialog, command - 3, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path));
    }
}
