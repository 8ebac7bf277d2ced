// The browse buttons, driven through the platform's real file choosers.
#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "resources/resource_ids.h"
#include "tests/win_dialogs/dialog_driver.h"

namespace {

using FileChooserTest = FormTest;

std::vector<std::wstring> ExpectedTypes()
{
    return FilterDescriptions(LoadTableString(GetModuleHandleW(nullptr), IDS_FILE_FILTER));
}

const int kBrowseButtons[] = {IDC_BROWSE_SOURCE, IDC_BROWSE_WITHOUT, IDC_BROWSE_WITH};

// Every chooser opens with no name (not the field's path), lists the two
// entries of the filter with the plain-text one selected, and leaves the
// form as it was when cancelled.
TEST_F(FileChooserTest, EveryChooserOpensEmptyWithTheFilterAndCancelChangesNothing)
{
    std::vector<std::wstring> expectedTypes = ExpectedTypes();
    ASSERT_EQ(expectedTypes.size(), 2u);
    for (int button : kBrowseButtons) {
        SetText(IDC_SOURCE_PATH, L"C:\\before\\source.txt");
        SetText(IDC_WITHOUT_PATH, L"C:\\before\\without.txt");
        SetText(IDC_WITH_PATH, L"C:\\before\\with.txt");

        ChooserSeen seen = DriveChooser(dialog_, button, L"");

        ASSERT_TRUE(seen.shown) << "no chooser for button " << button;
        EXPECT_EQ(seen.name, L"") << "button " << button;
        EXPECT_EQ(seen.types, expectedTypes) << "button " << button;
        EXPECT_EQ(seen.selectedType, 0) << "button " << button;
        EXPECT_EQ(Text(IDC_SOURCE_PATH), L"C:\\before\\source.txt");
        EXPECT_EQ(Text(IDC_WITHOUT_PATH), L"C:\\before\\without.txt");
        EXPECT_EQ(Text(IDC_WITH_PATH), L"C:\\before\\with.txt");
        EXPECT_TRUE(IsWindowEnabled(dialog_));
    }
}

// The source button opens the open chooser: an existing file is taken as it
// is, without a question.
TEST_F(FileChooserTest, SourceButtonTakesAnExistingFile)
{
    std::wstring source = ScratchFile(L"source.txt", true);
    ChooserSeen seen = DriveChooser(dialog_, IDC_BROWSE_SOURCE, source);
    ASSERT_TRUE(seen.shown);
    EXPECT_FALSE(seen.prompted) << "question: " << testing::PrintToString(seen.prompt);
    EXPECT_EQ(Text(IDC_SOURCE_PATH), source);
    EXPECT_EQ(Text(IDC_WITHOUT_PATH), L"");
    EXPECT_EQ(Text(IDC_WITH_PATH), L"");
}

// The export buttons open save choosers: a new name is accepted and lands in
// the button's own field only.
TEST_F(FileChooserTest, ExportButtonsFillTheirOwnFields)
{
    std::wstring without = ScratchFile(L"without.txt");
    ChooserSeen seen = DriveChooser(dialog_, IDC_BROWSE_WITHOUT, without);
    ASSERT_TRUE(seen.shown);
    EXPECT_FALSE(seen.prompted);
    EXPECT_EQ(Text(IDC_WITHOUT_PATH), without);
    EXPECT_EQ(Text(IDC_WITH_PATH), L"");

    std::wstring with = ScratchFile(L"with.txt");
    seen = DriveChooser(dialog_, IDC_BROWSE_WITH, with);
    ASSERT_TRUE(seen.shown);
    EXPECT_FALSE(seen.prompted);
    EXPECT_EQ(Text(IDC_WITH_PATH), with);
    EXPECT_EQ(Text(IDC_WITHOUT_PATH), without);
    EXPECT_EQ(Text(IDC_SOURCE_PATH), L"");
}

TEST_F(FileChooserTest, SaveChooserAddsTxtToANameWithoutExtension)
{
    std::wstring bare = ScratchFile(L"report");
    ChooserSeen seen = DriveChooser(dialog_, IDC_BROWSE_WITH, bare);
    ASSERT_TRUE(seen.shown);
    EXPECT_EQ(Text(IDC_WITH_PATH), bare + L".txt");

    seen = DriveChooser(dialog_, IDC_BROWSE_WITHOUT, bare);
    ASSERT_TRUE(seen.shown);
    EXPECT_EQ(Text(IDC_WITHOUT_PATH), bare + L".txt");
}

// Choosing an existing file for an export asks first; No keeps the chooser
// open and the field unchanged, Yes takes the file.
TEST_F(FileChooserTest, SaveChooserAsksBeforeTakingAnExistingFile)
{
    std::wstring existing = ScratchFile(L"existing.txt", true);
    for (int button : {IDC_BROWSE_WITHOUT, IDC_BROWSE_WITH}) {
        int field = button - 3;
        SetText(field, L"C:\\before.txt");

        ChooserSeen refused;
        HWND form = dialog_;
        ModalDriver driver(form, [&refused, form, existing](DWORD ui) {
            HWND chooser = WaitForOwnedDialog(ui, form);
            if (chooser == nullptr) {
                return;
            }
            refused.shown = true;
            SetChooserName(chooser, existing);
            PostClick(chooser, IDOK);
            HWND question = WaitForOwnedDialog(ui, chooser);
            if (question == nullptr) {
                return;
            }
            refused.prompted = true;
            refused.prompt = WindowText(GetDlgItem(question, kMessageBoxText));
            PostClick(question, IDNO);
            refused.stayedOpenAfterNo = StillShownAfter(chooser, 500);
            PostClick(chooser, IDCANCEL);
        });
        Click(button);
        driver.Finish();
        ASSERT_TRUE(refused.shown) << "button " << button;
        EXPECT_TRUE(refused.prompted) << "button " << button;
        EXPECT_FALSE(refused.prompt.empty());
        EXPECT_TRUE(refused.stayedOpenAfterNo) << "button " << button;
        EXPECT_EQ(Text(field), L"C:\\before.txt") << "button " << button;

        ChooserSeen accepted = DriveChooser(dialog_, button, existing);
        ASSERT_TRUE(accepted.shown);
        EXPECT_TRUE(accepted.prompted) << "button " << button;
        EXPECT_EQ(Text(field), existing) << "button " << button;
    }
}

}  // namespace
