// Helpers of the dialog tests: the main form made from the real template, and
// a driver that works the platform's modal windows (choosers, message boxes)
// from a second thread while the form's thread sits in their modal loop.
#ifndef QUORVANE_WIN_DIALOGS_DIALOG_DRIVER_H
#define QUORVANE_WIN_DIALOGS_DIALOG_DRIVER_H

#include <windows.h>

#include "tests/win/win_test_support.h"

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

// Control identifiers inside the platform's file chooser and message box.
enum : int {
    kChooserNameField = 0x47C,   // cmb13: the file name (an edit inside a combo box)
    kChooserTypeList = 0x470,    // cmb1: the file-type list
    kMessageBoxText = 0xFFFF,    // the static text of a message box
};

// How long the driver waits for a window to appear before it gives up.
enum : int { kWaitTries = 300, kWaitStepMs = 50 };

std::wstring ClassName(HWND window);

// The visible top-level dialog box (class #32770) of `thread` whose owner is
// `owner`; null if none shows within the bounded wait (`tries` of 50 ms).
HWND WaitForOwnedDialog(DWORD thread, HWND owner, int tries = kWaitTries);

// Whether `window` still exists after a short wait (a dialog that is closing).
bool StillShownAfter(HWND window, int ms);

// Clicks `button` of a modal window without waiting for the click's outcome:
// the click may open a further modal window on the form's thread.
void PostClick(HWND window, int button);

// Closes any dialog box of `thread` other than `keep`, so that a test whose
// driver lost track of a window ends instead of hanging in a modal loop.
void DismissStrayDialogs(DWORD thread, HWND keep);

// The entries of a combo box.
std::vector<std::wstring> ComboItems(HWND combo);

// The file name text shown by a file chooser.
std::wstring ChooserName(HWND chooser);
// Types a name into a file chooser's name field.
void SetChooserName(HWND chooser, const std::wstring& name);

// The first icon-style static control of a dialog, or null.
HWND FindIconStatic(HWND dialog);

// The "desc|pattern|..." filter turned into its descriptions, for comparing
// with a chooser's file-type list.
std::vector<std::wstring> FilterDescriptions(const std::wstring& filter);

// A string of the string table of `module`; empty when missing.
std::wstring LoadTableString(HMODULE module, UINT id);

// A string of the string table of a satellite file, loaded as data.
std::wstring SatelliteString(const wchar_t* path, UINT id);

// Runs `script` on a second thread while the form's thread shows a modal
// window; Finish() waits for it. If the script failed to close what it
// opened, stray dialogs are dismissed so the form's thread returns.
class ModalDriver {
public:
    ModalDriver(HWND form, std::function<void(DWORD uiThread)> script);
    ~ModalDriver();
    void Finish();

private:
    std::thread thread_;
};

// What a driver saw of one file chooser.
struct ChooserSeen {
    bool shown = false;
    std::wstring name;                  // the name field as the chooser opened
    std::vector<std::wstring> types;    // the file-type list
    LRESULT selectedType = -1;
    bool prompted = false;              // a question (the overwrite prompt) appeared
    std::wstring prompt;
    bool stayedOpenAfterNo = false;
};

// Presses `button` of the form, notes what its chooser shows, then either
// types `name` and presses OK (answering a question with Yes) or, for an
// empty `name`, presses Cancel. Returns when the command's handling ends.
ChooserSeen DriveChooser(HWND form, int button, const std::wstring& name);

// What a driver saw of the About box.
struct AboutSeen {
    bool shown = false;
    std::wstring caption;
    std::wstring text;
    bool hasIcon = false;       // its icon control holds an icon
    bool hasOk = false;
    bool hasCancel = false;
    bool formDisabled = false;  // the box is modal to the form
};

// Presses the form's About button, notes what the box shows, closes it.
AboutSeen DriveAbout(HWND form);

// The main form, created modeless from the template in this program's own
// resources, with the real dialog procedure. Holds a scratch folder for
// chooser tests. A satellite left beside the program by an aborted run is
// removed first, so every test starts from the program's own strings.
class FormTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    std::wstring Text(int id) const;
    void SetText(int id, const std::wstring& text) const;
    // Presses a button of the form the way the platform does: a command with
    // notification code 0. Returns when the command's handling ends.
    void Click(int id) const;

    // A file in the scratch folder, optionally created with some content.
    std::wstring ScratchFile(const wchar_t* name, bool create = false);

    HWND dialog_ = nullptr;
    std::wstring scratch_;
};

// The path Windows gives the program, with ".mui" appended: where a satellite
// takes effect.
std::wstring SatellitePathBesideProgram();

// FormTest with a satellite copied beside the program for the test's length.
class SatelliteFormTest : public FormTest {
protected:
    void UseSatellite(const wchar_t* builtSatellite);
    void TearDown() override;

private:
    bool copied_ = false;
};

#endif
