// The About box and the choosers with a satellite beside the program: its
// strings are used, the icon stays the program's, and a string the satellite
// lacks comes from the program.
#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "resources/resource_ids.h"
#include "tests/win_dialogs/dialog_driver.h"

namespace {

using SatelliteStringsTest = SatelliteFormTest;

TEST_F(SatelliteStringsTest, EnglishSatelliteSuppliesTheAboutTextsButNotTheIcon)
{
    std::wstring title = SatelliteString(QUORVANE_TEST_SATELLITE_EN, IDS_ABOUT_TITLE);
    std::wstring text = SatelliteString(QUORVANE_TEST_SATELLITE_EN, IDS_ABOUT_TEXT);
    ASSERT_FALSE(title.empty());
    ASSERT_NE(title, LoadTableString(GetModuleHandleW(nullptr), IDS_ABOUT_TITLE))
        << "the satellite must differ from the program for this test to tell them apart";
    UseSatellite(QUORVANE_TEST_SATELLITE_EN);

    AboutSeen seen = DriveAbout(dialog_);

    ASSERT_TRUE(seen.shown);
    EXPECT_EQ(seen.caption, title);
    EXPECT_EQ(seen.text, text);
    EXPECT_TRUE(seen.hasIcon) << "the icon comes from the program, which the satellite is not";
    EXPECT_TRUE(IsWindowEnabled(dialog_));
}

TEST_F(SatelliteStringsTest, EnglishSatelliteSuppliesTheChooserFilter)
{
    std::vector<std::wstring> types =
        FilterDescriptions(SatelliteString(QUORVANE_TEST_SATELLITE_EN, IDS_FILE_FILTER));
    ASSERT_EQ(types.size(), 2u);
    ASSERT_NE(types, FilterDescriptions(LoadTableString(GetModuleHandleW(nullptr), IDS_FILE_FILTER)));
    UseSatellite(QUORVANE_TEST_SATELLITE_EN);

    for (int button : {IDC_BROWSE_SOURCE, IDC_BROWSE_WITH}) {
        ChooserSeen seen = DriveChooser(dialog_, button, L"");
        ASSERT_TRUE(seen.shown) << "button " << button;
        EXPECT_EQ(seen.types, types) << "button " << button;
        EXPECT_EQ(seen.selectedType, 0) << "button " << button;
    }
}

// A satellite holding only the About title: the text and the filter it lacks
// come from the program.
TEST_F(SatelliteStringsTest, StringsMissingFromTheSatelliteComeFromTheProgram)
{
    HMODULE program = GetModuleHandleW(nullptr);
    ASSERT_EQ(SatelliteString(QUORVANE_TEST_SATELLITE_TITLE_ONLY, IDS_ABOUT_TEXT), L"");
    ASSERT_EQ(SatelliteString(QUORVANE_TEST_SATELLITE_TITLE_ONLY, IDS_FILE_FILTER), L"");
    UseSatellite(QUORVANE_TEST_SATELLITE_TITLE_ONLY);

    AboutSeen about = DriveAbout(dialog_);
    ASSERT_TRUE(about.shown);
    EXPECT_EQ(about.caption, SatelliteString(QUORVANE_TEST_SATELLITE_TITLE_ONLY, IDS_ABOUT_TITLE));
    EXPECT_EQ(about.text, LoadTableString(program, IDS_ABOUT_TEXT));
    EXPECT_TRUE(about.hasIcon);

    ChooserSeen chooser = DriveChooser(dialog_, IDC_BROWSE_WITHOUT, L"");
    ASSERT_TRUE(chooser.shown);
    EXPECT_EQ(chooser.types, FilterDescriptions(LoadTableString(program, IDS_FILE_FILTER)));
}

// A filter without the closing bar still ends the list: one entry, nothing
// read past it.
TEST_F(SatelliteStringsTest, FilterWithoutClosingBarListsItsOneEntry)
{
    ASSERT_EQ(SatelliteString(QUORVANE_TEST_SATELLITE_OPEN_FILTER, IDS_FILE_FILTER), L"Logs (*.log)|*.log");
    UseSatellite(QUORVANE_TEST_SATELLITE_OPEN_FILTER);

    ChooserSeen seen = DriveChooser(dialog_, IDC_BROWSE_SOURCE, L"");
    ASSERT_TRUE(seen.shown);
    EXPECT_EQ(seen.types, std::vector<std::wstring>{L"Logs (*.log)"});
}

}  // namespace
