// The About box, read from the platform's real message box.
#include <windows.h>

#include <algorithm>
#include <string>

#include <gtest/gtest.h>

#include "resources/resource_ids.h"
#include "tests/win_dialogs/dialog_driver.h"

namespace {

using AboutBoxTest = FormTest;

TEST_F(AboutBoxTest, ShowsTheStringTableTextsWithTheIconAndReturnsToTheForm)
{
    HMODULE program = GetModuleHandleW(nullptr);
    std::wstring title = LoadTableString(program, IDS_ABOUT_TITLE);
    std::wstring text = LoadTableString(program, IDS_ABOUT_TEXT);
    ASSERT_FALSE(title.empty());
    ASSERT_EQ(std::count(text.begin(), text.end(), L'\n'), 1) << "two lines joined by one LF";

    SetText(IDC_SEARCH_TEXT, L"kept");
    AboutSeen seen = DriveAbout(dialog_);

    ASSERT_TRUE(seen.shown);
    EXPECT_EQ(seen.caption, title);
    EXPECT_EQ(seen.text, text);
    EXPECT_TRUE(seen.hasIcon);
    EXPECT_TRUE(seen.hasOk);
    EXPECT_FALSE(seen.hasCancel);
    EXPECT_TRUE(seen.formDisabled);

    // Closed, the box gives the form back as it was.
    EXPECT_TRUE(IsWindow(dialog_));
    EXPECT_TRUE(IsWindowEnabled(dialog_));
    EXPECT_EQ(Text(IDC_SEARCH_TEXT), L"kept");
}

}  // namespace
