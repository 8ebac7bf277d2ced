// The main dialog's procedure: sets up the form, dispatches the buttons and
// runs a strip when the default button (or Enter) is pressed.
#include "app/app.h"
#include "filter/filter.h"
#include "resources/resource_ids.h"

namespace {

enum { kSearchTextLimit = 128 };

void InitMainDialog(HWND dialog)
{
    // The window icon always comes from the executable, whichever module the
    // template came from. Only the big icon is set; the system derives the
    // caption's small one from it.
    HICON icon = LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_APP));
    SendMessageW(dialog, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));

    SendDlgItemMessageW(dialog, IDC_SEARCH_TEXT, EM_LIMITTEXT, kSearchTextLimit, 0);
    SendDlgItemMessageW(dialog, IDC_EXPORT_WITH, BM_SETCHECK, BST_CHECKED, 0);

    // The path fields take dropped files through PathFieldProc, which finds
    // each field's own procedure in the field's user data.
    const int pathFields[] = {IDC_SOURCE_PATH, IDC_WITHOUT_PATH, IDC_WITH_PATH};
    for (int id : pathFields) {
        HWND field = GetDlgItem(dialog, id);
        SetWindowLongPtrW(field, GWLP_USERDATA, GetWindowLongPtrW(field, GWLP_WNDPROC));
        SetWindowLongPtrW(field, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(PathFieldProc));
    }
}

// A strip run holds the dialog's thread until it ends: the button that
// started it stays disabled and the wait cursor shows meanwhile.
void StripWithBusyButton(HWND dialog, HWND button)
{
    HCURSOR previous = SetCursor(LoadCursorW(nullptr, IDC_WAIT));
    EnableWindow(button, FALSE);
    RunStrip(dialog);
    EnableWindow(button, TRUE);
    SetCursor(previous);
}

}  // namespace

INT_PTR CALLBACK MainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        InitMainDialog(dialog);
        break;
    case WM_COMMAND:
        // The whole wParam: a click, Enter or Escape carries notification
        // code 0; an edit field's change notifications match nothing here.
        switch (wParam) {
        case IDCANCEL:
            EndDialog(dialog, 0);
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
            StripWithBusyButton(dialog, reinterpret_cast<HWND>(lParam));
            break;
        }
        break;
    }
    // Always 0: no initial focus is set, and the platform's default dialog
    // handling applies to every message.
    return 0;
}
