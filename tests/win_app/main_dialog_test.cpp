// The main dialog, made from the real template with the real dialog
// procedure, driven by window messages as the user's input would arrive.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/app.h"
#include "app/run/strip_run.h"
#include "resources/resource_ids.h"
#include "tests/win/win_test_support.h"

namespace {

class MainDialogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        InitCommonControls();
        dialog_ = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_MAIN),
                                     nullptr, MainDialogProc, 0);
        ASSERT_NE(dialog_, nullptr) << "error " << GetLastError();
    }

    void TearDown() override
    {
        if (dialog_ != nullptr) {
            DestroyWindow(dialog_);
        }
    }

    HWND Item(int id) const { return GetDlgItem(dialog_, id); }

    bool Checked(int id) const
    {
        return SendDlgItemMessageW(dialog_, id, BM_GETCHECK, 0, 0) == BST_CHECKED;
    }

    void SetText(int id, const std::wstring& text) const
    {
        SendDlgItemMessageW(dialog_, id, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
    }

    void SetCheck(int id, bool on) const
    {
        SendDlgItemMessageW(dialog_, id, BM_SETCHECK, on ? BST_CHECKED : BST_UNCHECKED, 0);
    }

    void Type(int id, const std::wstring& text) const
    {
        for (wchar_t c : text) {
            SendDlgItemMessageW(dialog_, id, WM_CHAR, c, 1);
        }
    }

    // The strip button's click, as the button itself reports it; returns
    // once the run it started is over.
    LRESULT PressStrip() const
    {
        LRESULT result = SendMessageW(dialog_, WM_COMMAND, MAKEWPARAM(IDC_STRIP, BN_CLICKED),
                                      reinterpret_cast<LPARAM>(Item(IDC_STRIP)));
        EXPECT_TRUE(WaitForStripRunEnd(dialog_));
        return result;
    }

    // Writes source.txt in the scratch folder and puts it and the search
    // text into the form; returns the source's path.
    std::wstring UseSource(const std::string& bytes, const std::wstring& search)
    {
        std::wstring source = dir_.File(L"source.txt");
        WriteWholeFile(source, bytes);
        SetText(IDC_SEARCH_TEXT, search);
        SetText(IDC_SOURCE_PATH, source);
        return source;
    }

    ScratchDir dir_;
    HWND dialog_ = nullptr;
};

TEST_F(MainDialogTest, OpensWithOnlyTheWithStringExportOnAndEmptyFields)
{
    EXPECT_TRUE(Checked(IDC_EXPORT_WITH));
    EXPECT_FALSE(Checked(IDC_EXPORT_WITHOUT));
    EXPECT_FALSE(Checked(IDC_APPEND_WITHOUT));
    EXPECT_FALSE(Checked(IDC_APPEND_WITH));
    EXPECT_FALSE(Checked(IDC_IGNORE_CASE));
    for (int id : {IDC_SEARCH_TEXT, IDC_SOURCE_PATH, IDC_WITHOUT_PATH, IDC_WITH_PATH}) {
        EXPECT_EQ(GetWindowTextLengthW(Item(id)), 0) << "control " << id;
    }
}

TEST_F(MainDialogTest, WindowIconIsTheExecutablesBigIconOnly)
{
    HICON big = reinterpret_cast<HICON>(SendMessageW(dialog_, WM_GETICON, ICON_BIG, 0));
    EXPECT_NE(big, nullptr);
    EXPECT_EQ(big, LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_APP)));
    EXPECT_EQ(SendMessageW(dialog_, WM_GETICON, ICON_SMALL, 0), 0);
}

TEST_F(MainDialogTest, SearchFieldRefusesThe129thTypedCharacter)
{
    Type(IDC_SEARCH_TEXT, std::wstring(128, L'x'));
    EXPECT_EQ(WindowText(Item(IDC_SEARCH_TEXT)), std::wstring(128, L'x'));
    Type(IDC_SEARCH_TEXT, L"y");
    EXPECT_EQ(WindowText(Item(IDC_SEARCH_TEXT)), std::wstring(128, L'x'));
}

TEST_F(MainDialogTest, ControlsComeInTemplateOrder)
{
    std::vector<int> ids;
    for (HWND child = GetWindow(dialog_, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
        ids.push_back(static_cast<short>(GetDlgCtrlID(child)));
    }
    const std::vector<int> expected = {
        IDC_SEARCH_TEXT,    IDC_SOURCE_PATH, IDC_BROWSE_SOURCE, IDC_EXPORT_WITHOUT,
        IDC_WITHOUT_PATH,   IDC_BROWSE_WITHOUT, IDC_EXPORT_WITH, IDC_WITH_PATH,
        IDC_BROWSE_WITH,    IDC_APPEND_WITHOUT, IDC_APPEND_WITH, IDC_IGNORE_CASE,
        IDC_ABOUT,          IDC_STRIP,       -1,                -1,
        // Added when the dialog opens, after the template's: no tab stop.
        IDC_OUTCOME_LINE};
    EXPECT_EQ(ids, expected);
}

TEST_F(MainDialogTest, PathFieldsAreReadOnlyUntabbedAndSubclassed)
{
    for (int id : {IDC_SOURCE_PATH, IDC_WITHOUT_PATH, IDC_WITH_PATH}) {
        HWND field = Item(id);
        LONG style = GetWindowLongW(field, GWL_STYLE);
        EXPECT_TRUE(style & ES_READONLY) << "control " << id;
        EXPECT_FALSE(style & WS_TABSTOP) << "control " << id;
        EXPECT_EQ(GetWindowLongPtrW(field, GWLP_WNDPROC), reinterpret_cast<LONG_PTR>(PathFieldProc))
            << "control " << id;
        EXPECT_NE(GetWindowLongPtrW(field, GWLP_USERDATA), 0) << "control " << id;

        // The field's own behaviour still runs behind the subclass: it keeps
        // text set by a message and ignores typing.
        SendMessageW(field, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"C:\\a.txt"));
        Type(id, L"zz");
        EXPECT_EQ(WindowText(field), L"C:\\a.txt") << "control " << id;
    }
    EXPECT_NE(GetWindowLongPtrW(Item(IDC_SEARCH_TEXT), GWLP_WNDPROC),
              reinterpret_cast<LONG_PTR>(PathFieldProc));
}

TEST_F(MainDialogTest, EscapeEndsTheDialogAndEveryMessageGetsZero)
{
    EXPECT_EQ(MainDialogProc(dialog_, WM_COMMAND, IDOK, 0), 0);
    EXPECT_TRUE(IsWindowVisible(dialog_));
    // A notification code other than 0 with the cancel identifier is not Escape.
    EXPECT_EQ(MainDialogProc(dialog_, WM_COMMAND, MAKEWPARAM(IDCANCEL, 1), 0), 0);
    EXPECT_TRUE(IsWindowVisible(dialog_));
    EXPECT_EQ(MainDialogProc(dialog_, WM_COMMAND, IDCANCEL, 0), 0);
    // A modeless dialog that ends is hidden, not destroyed.
    EXPECT_FALSE(IsWindowVisible(dialog_));
}

// What the strip button saw of the run: for every WM_ENABLE, the new state,
// the export file's bytes at that moment and the cursor.
struct EnableEvent {
    bool enabled;
    std::string exportBytes;
    HCURSOR cursor;
};

struct ButtonSpy {
    WNDPROC previous;
    std::wstring exportPath;
    std::vector<EnableEvent> events;
};

const wchar_t kSpyProperty[] = L"QuorvaneTestSpy";

LRESULT CALLBACK SpyButtonProc(HWND button, UINT message, WPARAM wParam, LPARAM lParam)
{
    ButtonSpy* spy = static_cast<ButtonSpy*>(GetPropW(button, kSpyProperty));
    if (message == WM_ENABLE) {
        spy->events.push_back({wParam != 0, ReadWholeFile(spy->exportPath), GetCursor()});
    }
    return CallWindowProcW(spy->previous, button, message, wParam, lParam);
}

void Spy(HWND button, ButtonSpy* spy)
{
    SetPropW(button, kSpyProperty, spy);
    spy->previous = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(button, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(SpyButtonProc)));
}

TEST_F(MainDialogTest, StripRunSplitsTheSourceWithTheButtonDisabledMeanwhile)
{
    const std::wstring source = UseSource("alpha one\r\nbeta\nALPHA two\r\n\r\nalphabet", L"alpha");
    const std::wstring without = dir_.File(L"without.txt");
    const std::wstring with = dir_.File(L"with.txt");
    SetCheck(IDC_EXPORT_WITHOUT, true);
    SetText(IDC_WITHOUT_PATH, without);
    SetText(IDC_WITH_PATH, with);

    ButtonSpy spy{};
    spy.exportPath = with;
    Spy(Item(IDC_STRIP), &spy);
    HCURSOR arrow = LoadCursorW(nullptr, IDC_ARROW);
    SetCursor(arrow);

    ULONGLONG pressed = GetTickCount64();
    EXPECT_EQ(PressStrip(), 0);
    ULONGLONG took = GetTickCount64() - pressed;

    EXPECT_EQ(ReadWholeFile(with), "alpha one\r\nalphabet\r\n");
    EXPECT_EQ(ReadWholeFile(without), "beta\r\nALPHA two\r\n\r\n");
    EXPECT_EQ(ReadWholeFile(source), "alpha one\r\nbeta\nALPHA two\r\n\r\nalphabet");

    ASSERT_EQ(spy.events.size(), 2u);
    EXPECT_FALSE(spy.events[0].enabled);
    EXPECT_EQ(spy.events[0].exportBytes, "<missing>") << "disabled only after the run began";
    EXPECT_TRUE(spy.events[1].enabled);
    EXPECT_EQ(spy.events[1].exportBytes, "alpha one\r\nalphabet\r\n") << "enabled before the run ended";
    // A run that is over at once (well inside the half second after which
    // a run shows that it works; a machine loaded by other work may take
    // longer, and then the busy cursor is right) changes neither the
    // cursor nor the title; whatever it took, both are as before after it.
    if (took < 300) {
        EXPECT_EQ(spy.events[0].cursor, arrow);
        EXPECT_EQ(spy.events[1].cursor, arrow);
    }
    EXPECT_EQ(GetCursor(), arrow);
    EXPECT_EQ(WindowText(dialog_), L"Quorvane 1.0 版本");
    EXPECT_TRUE(IsWindowEnabled(Item(IDC_STRIP)));
}

TEST_F(MainDialogTest, DefaultFormKeepsOnlyMatchingLinesInTheSource)
{
    const std::wstring source = UseSource("Keep me\nDROP\nkeep too\r\n", L"KEEP");
    SetCheck(IDC_IGNORE_CASE, true);
    PressStrip();

    EXPECT_EQ(ReadWholeFile(source), "Keep me\r\nkeep too\r\n");

    // The worker the first run made drives the next one too, and ends with
    // the dialog.
    StripRun* run = reinterpret_cast<StripRun*>(GetWindowLongPtrW(dialog_, DWLP_USER));
    HANDLE worker = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), run->worker, GetCurrentProcess(), &worker, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    WriteWholeFile(source, "DROP\nkeep\n");
    PressStrip();
    EXPECT_EQ(ReadWholeFile(source), "keep\r\n");
    EXPECT_EQ(WaitForSingleObject(worker, 0), WAIT_TIMEOUT);
    DestroyWindow(dialog_);
    dialog_ = nullptr;
    EXPECT_EQ(WaitForSingleObject(worker, 5000), WAIT_OBJECT_0);
    CloseHandle(worker);
}

TEST_F(MainDialogTest, CommandsOtherThanAClickStartNoRun)
{
    UseSource("a\nb\n", L"a");
    const std::wstring with = dir_.File(L"with.txt");
    SetText(IDC_WITH_PATH, with);

    HWND button = Item(IDC_STRIP);
    SendMessageW(dialog_, WM_COMMAND, MAKEWPARAM(IDC_STRIP, BN_SETFOCUS),
                 reinterpret_cast<LPARAM>(button));
    SendMessageW(dialog_, WM_COMMAND, IDOK, reinterpret_cast<LPARAM>(button));
    EXPECT_FALSE(FileExists(with));
    EXPECT_TRUE(IsWindowEnabled(button));

    PressStrip();
    EXPECT_EQ(ReadWholeFile(with), "a\r\n");
}

TEST_F(MainDialogTest, EmptySearchTextTouchesNoFileAndReenablesTheButton)
{
    const std::wstring source = UseSource("a\nb\n", L"");

    PressStrip();

    EXPECT_EQ(ReadWholeFile(source), "a\nb\n");
    EXPECT_TRUE(IsWindowEnabled(Item(IDC_STRIP)));
}

// A run over a log of 32 MiB, removing its ERROR lines in place, whose
// worker is suspended in the middle of its line pass (past the first window:
// no lock of the process is held there). Returns the run, or null.
StripRun* StartStuckRun(HWND dialog, const std::wstring& source, std::string* bytes)
{
    for (int i = 0; bytes->size() < (32u << 20); ++i) {
        *bytes += (i % 10 == 0 ? "12:00:00 ERROR request failed " : "12:00:00 INFO request served ");
        *bytes += std::to_string(i) + "\r\n";
    }
    WriteWholeFile(source, *bytes);
    SendDlgItemMessageW(dialog, IDC_SEARCH_TEXT, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"ERROR"));
    SendDlgItemMessageW(dialog, IDC_SOURCE_PATH, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(source.c_str()));
    SendDlgItemMessageW(dialog, IDC_EXPORT_WITHOUT, BM_SETCHECK, BST_CHECKED, 0);
    SendDlgItemMessageW(dialog, IDC_EXPORT_WITH, BM_SETCHECK, BST_UNCHECKED, 0);
    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDC_STRIP, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDC_STRIP)));
    StripRun* run = reinterpret_cast<StripRun*>(GetWindowLongPtrW(dialog, DWLP_USER));
    if (run == nullptr || !StripRunning(run)) {
        return nullptr;
    }
    DWORD start = GetTickCount();
    while (__atomic_load_n(&run->control.sourceRead, __ATOMIC_RELAXED) <= (1u << 20) &&
           !WaitForStripRun(run, 0) && GetTickCount() - start < 10000) {
        Sleep(1);
    }
    return SuspendThread(run->worker) == static_cast<DWORD>(-1) ? nullptr : run;
}

// A worker that cannot go on holds up the end of the session and the done
// message only for a bounded moment; once it can go on, it sees the stop and
// puts the source back as it was.
TEST_F(MainDialogTest, EndOfSessionWaitsForAStuckRunOnlyForAMoment)
{
    const std::wstring source = dir_.File(L"source.txt");
    std::string bytes;
    StripRun* run = StartStuckRun(dialog_, source, &bytes);
    ASSERT_NE(run, nullptr);

    DWORD start = GetTickCount();
    SendMessageW(dialog_, WM_ENDSESSION, TRUE, 0);
    DWORD endSession = GetTickCount() - start;
    start = GetTickCount();
    SendMessageW(dialog_, WM_STRIP_RUN_DONE, run->number - 1, 0);
    DWORD leftOver = GetTickCount() - start;
    start = GetTickCount();
    SendMessageW(dialog_, WM_STRIP_RUN_DONE, run->number, 0);
    DWORD doneMessage = GetTickCount() - start;
    bool lockedMeanwhile = IsWindowEnabled(Item(IDC_STRIP)) == FALSE;
    ResumeThread(run->worker);

    EXPECT_GE(endSession, 3000u) << "the worker is given a moment to put the files back";
    EXPECT_LT(endSession, 5000u) << "within the time Windows gives a window at the end of the session";
    EXPECT_LT(leftOver, 500u) << "an earlier run's done message waits for nothing";
    EXPECT_LT(doneMessage, 2000u);
    EXPECT_TRUE(lockedMeanwhile) << "the form is given back only when the worker is over";
    EXPECT_TRUE(WaitForStripRunEnd(dialog_));
    EXPECT_EQ(ReadWholeFile(source), bytes);
}

// A dialog destroyed from outside while its worker cannot go on waits as
// long, then goes without taking the run's memory from the worker, which
// ends on its own once it can and leaves the source as it was.
TEST_F(MainDialogTest, ADialogDestroyedDuringAStuckRunLeavesTheWorkerItsMemory)
{
    const std::wstring source = dir_.File(L"source.txt");
    std::string bytes;
    StripRun* run = StartStuckRun(dialog_, source, &bytes);
    ASSERT_NE(run, nullptr);
    HANDLE worker = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), run->worker, GetCurrentProcess(), &worker, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));

    DWORD start = GetTickCount();
    DestroyWindow(dialog_);
    dialog_ = nullptr;
    DWORD destroyed = GetTickCount() - start;
    ResumeThread(worker);

    EXPECT_GE(destroyed, 3000u);
    EXPECT_LT(destroyed, 5000u);
    EXPECT_EQ(WaitForSingleObject(worker, 30000), WAIT_OBJECT_0);
    CloseHandle(worker);
    EXPECT_EQ(ReadWholeFile(source), bytes);
}

}  // namespace
