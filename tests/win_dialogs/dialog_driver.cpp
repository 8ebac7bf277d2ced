#include "tests/win_dialogs/dialog_driver.h"

#include <psapi.h>

#include "app/app.h"
#include "resources/resource_ids.h"

std::wstring ClassName(HWND window)
{
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    return name;
}

namespace {

struct OwnedSearch {
    HWND owner;
    HWND keep;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectDialogs(HWND window, LPARAM param)
{
    OwnedSearch* search = reinterpret_cast<OwnedSearch*>(param);
    if (ClassName(window) == L"#32770" && IsWindowVisible(window) && window != search->keep &&
        (search->owner == nullptr || GetWindow(window, GW_OWNER) == search->owner)) {
        search->found.push_back(window);
    }
    return TRUE;
}

BOOL CALLBACK FindIconChild(HWND window, LPARAM param)
{
    LONG style = GetWindowLongW(window, GWL_STYLE);
    if (ClassName(window) == L"Static" && (style & SS_TYPEMASK) == SS_ICON) {
        *reinterpret_cast<HWND*>(param) = window;
        return FALSE;
    }
    return TRUE;
}

}  // namespace

HWND WaitForOwnedDialog(DWORD thread, HWND owner, int tries)
{
    for (int i = 0; i < tries; ++i) {
        OwnedSearch search{owner, nullptr, {}};
        EnumThreadWindows(thread, CollectDialogs, reinterpret_cast<LPARAM>(&search));
        if (!search.found.empty()) {
            return search.found.front();
        }
        Sleep(kWaitStepMs);
    }
    return nullptr;
}

bool StillShownAfter(HWND window, int ms)
{
    for (int waited = 0; waited < ms; waited += kWaitStepMs) {
        if (!IsWindow(window) || !IsWindowVisible(window)) {
            return false;
        }
        Sleep(kWaitStepMs);
    }
    return IsWindow(window) && IsWindowVisible(window);
}

void PostClick(HWND window, int button)
{
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(window, button)));
}

void DismissStrayDialogs(DWORD thread, HWND keep)
{
    for (int round = 0; round < 50; ++round) {
        OwnedSearch search{nullptr, keep, {}};
        EnumThreadWindows(thread, CollectDialogs, reinterpret_cast<LPARAM>(&search));
        if (search.found.empty()) {
            return;
        }
        for (HWND window : search.found) {
            PostClick(window, IDNO);
            PostClick(window, IDCANCEL);
            PostClick(window, IDOK);
        }
        Sleep(200);
    }
}

std::vector<std::wstring> ComboItems(HWND combo)
{
    std::vector<std::wstring> items;
    LRESULT count = SendMessageW(combo, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        LRESULT length = SendMessageW(combo, CB_GETLBTEXTLEN, i, 0);
        std::vector<wchar_t> text(length + 1);
        SendMessageW(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text.data()));
        items.emplace_back(text.data());
    }
    return items;
}

std::wstring ChooserName(HWND chooser)
{
    return WindowText(GetDlgItem(chooser, kChooserNameField));
}

void SetChooserName(HWND chooser, const std::wstring& name)
{
    SendMessageW(GetDlgItem(chooser, kChooserNameField), WM_SETTEXT, 0,
                 reinterpret_cast<LPARAM>(name.c_str()));
}

HWND FindIconStatic(HWND dialog)
{
    HWND icon = nullptr;
    EnumChildWindows(dialog, FindIconChild, reinterpret_cast<LPARAM>(&icon));
    return icon;
}

std::vector<std::wstring> FilterDescriptions(const std::wstring& filter)
{
    std::vector<std::wstring> parts;
    std::wstring part;
    for (wchar_t c : filter) {
        if (c == L'|') {
            parts.push_back(part);
            part.clear();
        } else {
            part += c;
        }
    }
    if (!part.empty()) {
        parts.push_back(part);
    }
    std::vector<std::wstring> descriptions;
    for (size_t i = 0; i < parts.size(); i += 2) {
        descriptions.push_back(parts[i]);
    }
    return descriptions;
}

std::wstring LoadTableString(HMODULE module, UINT id)
{
    wchar_t text[512] = {};
    int length = LoadStringW(module, id, text, 512);
    return std::wstring(text, length > 0 ? length : 0);
}

std::wstring SatelliteString(const wchar_t* path, UINT id)
{
    HMODULE satellite = LoadLibraryExW(path, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (satellite == nullptr) {
        return L"<satellite missing>";
    }
    std::wstring text = LoadTableString(satellite, id);
    FreeLibrary(satellite);
    return text;
}

ModalDriver::ModalDriver(HWND form, std::function<void(DWORD uiThread)> script)
{
    DWORD uiThread = GetCurrentThreadId();
    thread_ = std::thread([uiThread, form, script] {
        script(uiThread);
        // Whatever the script left open is closed after a grace period, so a
        // failed step ends the test instead of leaving the form's thread in a
        // modal loop.
        for (int i = 0; i < 40; ++i) {
            OwnedSearch search{nullptr, form, {}};
            EnumThreadWindows(uiThread, CollectDialogs, reinterpret_cast<LPARAM>(&search));
            if (search.found.empty()) {
                return;
            }
            Sleep(kWaitStepMs);
        }
        DismissStrayDialogs(uiThread, form);
    });
}

ModalDriver::~ModalDriver()
{
    Finish();
}

void ModalDriver::Finish()
{
    if (!thread_.joinable()) {
        return;
    }
    thread_.join();
}

namespace {

void PressFormButton(HWND form, int id)
{
    SendMessageW(form, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(form, id)));
}

}  // namespace

ChooserSeen DriveChooser(HWND form, int button, const std::wstring& name)
{
    ChooserSeen seen;
    ModalDriver driver(form, [&seen, form, name](DWORD ui) {
        HWND chooser = WaitForOwnedDialog(ui, form);
        if (chooser == nullptr) {
            return;
        }
        seen.shown = true;
        seen.name = ChooserName(chooser);
        HWND types = GetDlgItem(chooser, kChooserTypeList);
        seen.types = ComboItems(types);
        seen.selectedType = SendMessageW(types, CB_GETCURSEL, 0, 0);
        if (name.empty()) {
            PostClick(chooser, IDCANCEL);
            return;
        }
        SetChooserName(chooser, name);
        PostClick(chooser, IDOK);
        HWND question = WaitForOwnedDialog(ui, chooser, 20);
        if (question != nullptr) {
            seen.prompted = true;
            seen.prompt = WindowText(GetDlgItem(question, kMessageBoxText));
            PostClick(question, IDYES);
        }
    });
    PressFormButton(form, button);
    driver.Finish();
    return seen;
}

AboutSeen DriveAbout(HWND form)
{
    AboutSeen seen;
    ModalDriver driver(form, [&seen, form](DWORD ui) {
        HWND box = WaitForOwnedDialog(ui, form);
        if (box == nullptr) {
            return;
        }
        seen.shown = true;
        seen.caption = WindowText(box);
        seen.text = WindowText(GetDlgItem(box, kMessageBoxText));
        HWND icon = FindIconStatic(box);
        seen.hasIcon = icon != nullptr && SendMessageW(icon, STM_GETICON, 0, 0) != 0;
        seen.hasOk = GetDlgItem(box, IDOK) != nullptr;
        seen.hasCancel = GetDlgItem(box, IDCANCEL) != nullptr;
        seen.formDisabled = !IsWindowEnabled(form);
        PostClick(box, IDOK);
    });
    PressFormButton(form, IDC_ABOUT);
    driver.Finish();
    return seen;
}

void FormTest::SetUp()
{
    DeleteFileW(SatellitePathBesideProgram().c_str());

    dialog_ = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_MAIN), nullptr,
                                 MainDialogProc, 0);
    ASSERT_NE(dialog_, nullptr) << "the main form did not open, error " << GetLastError();

    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    wchar_t name[MAX_PATH];
    GetTempFileNameW(temp, L"qzd", 0, name);  // makes a file: turn it into a folder
    DeleteFileW(name);
    ASSERT_TRUE(CreateDirectoryW(name, nullptr));
    scratch_ = name;
}

void FormTest::TearDown()
{
    if (dialog_ != nullptr) {
        DestroyWindow(dialog_);
    }
    if (scratch_.empty()) {
        return;
    }
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((scratch_ + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
                DeleteFileW((scratch_ + L"\\" + found.cFileName).c_str());
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(scratch_.c_str());
}

std::wstring FormTest::Text(int id) const
{
    return WindowText(GetDlgItem(dialog_, id));
}

void FormTest::SetText(int id, const std::wstring& text) const
{
    SendDlgItemMessageW(dialog_, id, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

void FormTest::Click(int id) const
{
    PressFormButton(dialog_, id);
}

std::wstring FormTest::ScratchFile(const wchar_t* name, bool create)
{
    std::wstring path = scratch_ + L"\\" + name;
    if (create) {
        HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_NE(file, INVALID_HANDLE_VALUE);
        DWORD written = 0;
        WriteFile(file, "old line\r\n", 10, &written, nullptr);
        CloseHandle(file);
    }
    return path;
}

std::wstring SatellitePathBesideProgram()
{
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::wstring(path, length) + L".mui";
}

void SatelliteFormTest::UseSatellite(const wchar_t* builtSatellite)
{
    ASSERT_NE(GetFileAttributesW(builtSatellite), INVALID_FILE_ATTRIBUTES)
        << "satellite not built: " << testing::PrintToString(std::wstring(builtSatellite));
    ASSERT_TRUE(CopyFileW(builtSatellite, SatellitePathBesideProgram().c_str(), FALSE));
    copied_ = true;
}

namespace {

// The program keeps every satellite it loads mapped until the process ends,
// and a mapped file cannot be replaced or really removed. So that the next
// test in this process starts without it, the views of `path` are unmapped
// here.
int UnmapViewsOf(const std::wstring& path)
{
    std::wstring name = path.substr(path.find_last_of(L'\\') + 1);
    int unmapped = 0;
    MEMORY_BASIC_INFORMATION region;
    const char* address = nullptr;
    while (VirtualQuery(address, &region, sizeof region) == sizeof region) {
        const char* next = static_cast<const char*>(region.BaseAddress) + region.RegionSize;
        if (region.Type == MEM_MAPPED && region.BaseAddress == region.AllocationBase) {
            wchar_t mapped[MAX_PATH * 2] = {};
            DWORD length = GetMappedFileNameW(GetCurrentProcess(), region.BaseAddress, mapped, MAX_PATH * 2);
            std::wstring file(mapped, length);
            if (file.size() >= name.size() &&
                lstrcmpiW(file.c_str() + file.size() - name.size(), name.c_str()) == 0 &&
                UnmapViewOfFile(region.BaseAddress)) {
                ++unmapped;
            }
        }
        if (next <= address) {
            break;
        }
        address = next;
    }
    return unmapped;
}

}  // namespace

void SatelliteFormTest::TearDown()
{
    if (copied_) {
        UnmapViewsOf(SatellitePathBesideProgram());
        EXPECT_TRUE(DeleteFileW(SatellitePathBesideProgram().c_str()));
        EXPECT_EQ(GetFileAttributesW(SatellitePathBesideProgram().c_str()), INVALID_FILE_ATTRIBUTES)
            << "the satellite would stay in effect for the next test";
    }
    FormTest::TearDown();
}
