// The About box.
#include "app/app.h"

#include "resources/resource_ids.h"

void ShowAbout(HWND dialog)
{
    HMODULE executable = GetModuleHandleW(nullptr);

    wchar_t title[128];
    wchar_t text[384];
    LoadUiString(IDS_ABOUT_TITLE, title, 128);
    LoadUiString(IDS_ABOUT_TEXT, text, 384);

    MSGBOXPARAMSW box;
    unsigned char* bytes = reinterpret_cast<unsigned char*>(&box);
    for (unsigned i = 0; i < sizeof box; ++i) {
        bytes[i] = 0;
    }
    box.cbSize = sizeof box;
    box.hwndOwner = dialog;
    box.hInstance = executable;  // the icon always comes from the executable
    box.lpszText = text;
    box.lpszCaption = title;
    box.dwStyle = MB_USERICON;
    box.lpszIcon = MAKEINTRESOURCEW(IDI_APP);
    MessageBoxIndirectW(&box);
}
