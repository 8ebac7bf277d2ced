// Path fields: accept a file dropped from the shell.
#include "app/app.h"

#include <shellapi.h>

#include "platform/platform.h"

LRESULT CALLBACK PathFieldProc(HWND field, UINT message, WPARAM wParam, LPARAM lParam)
{
    WNDPROC previous = reinterpret_cast<WNDPROC>(GetWindowLongPtrW(field, GWLP_USERDATA));
    if (message != WM_DROPFILES) {
        return CallWindowProcW(previous, field, message, wParam, lParam);
    }

    // Only the first dropped item counts. A name too long for a path buffer
    // is refused whole rather than cut: a shortened path could name another,
    // existing file that a later run would overwrite. A drop without a name
    // leaves the field as it was.
    HDROP drop = reinterpret_cast<HDROP>(wParam);
    UINT length = DragQueryFileW(drop, 0, nullptr, 0);
    if (length > 0 && length < kPathCapacity) {
        wchar_t name[kPathCapacity];
        UINT copied = DragQueryFileW(drop, 0, name, kPathCapacity);
        if (copied > 0 && copied < kPathCapacity) {
            SendMessageW(field, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(name));
        }
    }
    DragFinish(drop);
    return 0;
}
