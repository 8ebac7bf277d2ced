// The choice of the module that supplies the dialog template and strings:
// "<this program's path>.mui" when it loads as a module, else the program.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "app/app.h"
#include "resources/resource_ids.h"
#include "tests/win/win_test_support.h"

namespace {

// Whatever the tests place beside the test program is gone before and after
// each of them.
class ResourceModuleTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Remove();
        ASSERT_FALSE(FileExists(satellite_));
    }

    void TearDown() override
    {
        if (dialog_ != nullptr) {
            DestroyWindow(dialog_);
        }
        if (loaded_ != nullptr && loaded_ != GetModuleHandleW(nullptr)) {
            FreeLibrary(loaded_);
        }
        Remove();
        EXPECT_FALSE(FileExists(satellite_)) << "left beside the test program";
    }

    void Remove() const
    {
        SetFileAttributesW(satellite_.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(satellite_.c_str());
        RemoveDirectoryW(satellite_.c_str());
    }

    std::wstring DialogCaption(HMODULE module)
    {
        dialog_ = CreateDialogParamW(module, MAKEINTRESOURCEW(IDD_MAIN), nullptr,
                                     MainDialogProc, 0);
        EXPECT_NE(dialog_, nullptr);
        return dialog_ != nullptr ? WindowText(dialog_) : L"<no dialog>";
    }

    const std::wstring satellite_ = OwnExePath() + L".mui";
    HWND dialog_ = nullptr;
    HMODULE loaded_ = nullptr;
};

TEST_F(ResourceModuleTest, WithoutSatelliteTheProgramItself)
{
    EXPECT_EQ(GetResourceModule(), GetModuleHandleW(nullptr));
    EXPECT_EQ(DialogCaption(GetResourceModule()), L"Quorvane 1.0 \x7248\x672C");
}

TEST_F(ResourceModuleTest, SatelliteSuppliesTheEnglishDialogButNotTheIcon)
{
    ASSERT_TRUE(CopyFileW(QUORVANE_TEST_SATELLITE, satellite_.c_str(), FALSE))
        << "error " << GetLastError() << " copying the built satellite";

    loaded_ = GetResourceModule();
    ASSERT_NE(loaded_, nullptr);
    EXPECT_NE(loaded_, GetModuleHandleW(nullptr));
    EXPECT_NE(FindResourceW(loaded_, MAKEINTRESOURCEW(IDD_MAIN), RT_DIALOG), nullptr);
    EXPECT_EQ(DialogCaption(loaded_), L"Quorvane 1.0");

    // The window icon still comes from the program.
    EXPECT_EQ(reinterpret_cast<HICON>(SendMessageW(dialog_, WM_GETICON, ICON_BIG, 0)),
              LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_APP)));
}

TEST_F(ResourceModuleTest, FolderWithTheSatellitesNameIsIgnored)
{
    ASSERT_TRUE(CreateDirectoryW(satellite_.c_str(), nullptr));
    EXPECT_EQ(GetResourceModule(), GetModuleHandleW(nullptr));
}

TEST_F(ResourceModuleTest, SatelliteThatIsNoModuleIsIgnored)
{
    WriteWholeFile(satellite_, "not a module\r\n");
    ASSERT_TRUE(FileExists(satellite_));
    loaded_ = GetResourceModule();
    EXPECT_EQ(loaded_, GetModuleHandleW(nullptr));
}

}  // namespace
