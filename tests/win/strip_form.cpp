#include "tests/win/strip_form.h"

#include "resources/resource_ids.h"

StripForm::StripForm()
{
    HINSTANCE self = GetModuleHandleW(nullptr);
    window_ = CreateWindowExW(0, L"STATIC", L"form", WS_POPUP, 0, 0, 200, 200, nullptr, nullptr, self, nullptr);
    for (int id : {IDC_SEARCH_TEXT, IDC_SOURCE_PATH, IDC_WITHOUT_PATH, IDC_WITH_PATH}) {
        CreateWindowExW(0, L"EDIT", L"", WS_CHILD | ES_AUTOHSCROLL, 0, 0, 100, 20, window_,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), self, nullptr);
    }
    for (int id : {IDC_EXPORT_WITHOUT, IDC_EXPORT_WITH, IDC_APPEND_WITHOUT, IDC_APPEND_WITH, IDC_IGNORE_CASE}) {
        CreateWindowExW(0, L"BUTTON", L"", WS_CHILD | BS_AUTOCHECKBOX, 0, 0, 100, 20, window_,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), self, nullptr);
    }
    SendDlgItemMessageW(window_, IDC_SEARCH_TEXT, EM_LIMITTEXT, 0, 0);
    Check(IDC_EXPORT_WITH, true);
}

StripForm::~StripForm()
{
    DestroyWindow(window_);
}

void StripForm::Text(int id, const std::wstring& text)
{
    SetDlgItemTextW(window_, id, text.c_str());
}

void StripForm::Check(int id, bool on)
{
    CheckDlgButton(window_, id, on ? BST_CHECKED : BST_UNCHECKED);
}
