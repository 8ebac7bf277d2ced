// The About box.
#include "app/app.h"

#include "resources/resource_ids.h"

namespace {

// Loads string `id` into `buffer`: from the resource module, or from the
// executable when the resource module (a satellite) lacks it; empty when
// neither has it, so the box never shows a buffer that was not filled.
void LoadText(HMODULE resources, HMODULE executable, UINT id, wchar_t* buffer, int chars)
{
    buffer[0] = 0;
    if (LoadStringW(resources, id, buffer, chars) > 0) {
        return;
    }
    buffer[0] = 0;
    if (LoadStringW(executable, id, buffer, chars) > 0) {
        return;
    }
    buffer[0] = 0;
}

}  // namespace

void ShowAbout(HWND dialog)
{
    HMODULE executable = GetModuleHandleW(nullptr);
    HMODULE resources = GetResourceModule();

    wchar_t title[128];
    wchar_t text[384];
    LoadText(resources, executable, IDS_ABOUT_TITLE, title, 128);
    LoadText(resources, executable, IDS_ABOUT_TEXT, text, 384);

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
