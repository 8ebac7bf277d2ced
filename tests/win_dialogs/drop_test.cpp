// Files dropped on the form's fields, as the shell hands them over: a real
// HDROP with wide names, sent to the field in this process.
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "resources/resource_ids.h"
#include "tests/win_dialogs/dialog_driver.h"

namespace {

// A drop handle holding `names` (none for a drop without names): DROPFILES,
// then each name with its zero, then one more zero.
HDROP MakeDrop(const std::vector<std::wstring>& names)
{
    size_t chars = 1;
    for (const std::wstring& name : names) {
        chars += name.size() + 1;
    }
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, sizeof(DROPFILES) + chars * sizeof(wchar_t));
    DROPFILES* header = static_cast<DROPFILES*>(GlobalLock(memory));
    header->pFiles = sizeof(DROPFILES);
    header->fWide = TRUE;
    wchar_t* out = reinterpret_cast<wchar_t*>(header + 1);
    for (const std::wstring& name : names) {
        for (wchar_t c : name) {
            *out++ = c;
        }
        *out++ = 0;
    }
    *out = 0;
    GlobalUnlock(memory);
    return static_cast<HDROP>(memory);
}

// Whether the drop's memory has been given back (DragFinish frees it).
bool Released(HDROP drop)
{
    return GlobalFlags(drop) == GMEM_INVALID_HANDLE;
}

// A path of exactly `length` characters: a folder, then a long file name.
std::wstring PathOfLength(size_t length)
{
    std::wstring path = L"C:\\quorvane-drop\\";
    while (path.size() < length - 4) {
        path += L'n';
    }
    return path + L".txt";
}

class PathFieldDropTest : public FormTest {
protected:
    // Sends the drop to the control `id`; returns the message's result.
    LRESULT Drop(int id, HDROP drop)
    {
        return SendDlgItemMessageW(dialog_, id, WM_DROPFILES, reinterpret_cast<WPARAM>(drop), 0);
    }
};

const int kPathFields[] = {IDC_SOURCE_PATH, IDC_WITHOUT_PATH, IDC_WITH_PATH};

TEST_F(PathFieldDropTest, DroppedNameLandsInTheFieldItFallsOnOnly)
{
    const std::wstring names[] = {L"C:\\data\\source.log", L"C:\\data\\without.txt", L"D:\\out\\with.txt"};
    for (int i = 0; i < 3; ++i) {
        HDROP drop = MakeDrop({names[i]});
        EXPECT_EQ(Drop(kPathFields[i], drop), 0);
        EXPECT_TRUE(Released(drop)) << "drop on field " << kPathFields[i] << " not finished";

        for (int j = 0; j < 3; ++j) {
            std::wstring expected = j <= i ? names[j] : L"";
            EXPECT_EQ(Text(kPathFields[j]), expected) << "after a drop on field " << kPathFields[i];
        }
    }
    EXPECT_EQ(Text(IDC_SEARCH_TEXT), L"");
}

TEST_F(PathFieldDropTest, OnlyTheFirstOfSeveralNamesLands)
{
    HDROP drop = MakeDrop({L"C:\\first.txt", L"C:\\second.txt", L"C:\\third.txt"});
    Drop(IDC_SOURCE_PATH, drop);
    EXPECT_EQ(Text(IDC_SOURCE_PATH), L"C:\\first.txt");
    EXPECT_EQ(Text(IDC_WITHOUT_PATH), L"");
    EXPECT_EQ(Text(IDC_WITH_PATH), L"");
    EXPECT_TRUE(Released(drop));
}

TEST_F(PathFieldDropTest, FolderIsTakenLikeAFile)
{
    wchar_t windows[MAX_PATH];
    ASSERT_GT(GetWindowsDirectoryW(windows, MAX_PATH), 0u);
    ASSERT_TRUE(GetFileAttributesW(windows) & FILE_ATTRIBUTE_DIRECTORY);
    HDROP drop = MakeDrop({windows});
    Drop(IDC_WITHOUT_PATH, drop);
    EXPECT_EQ(Text(IDC_WITHOUT_PATH), windows);
}

TEST_F(PathFieldDropTest, LongestPathThatFitsLandsWhole)
{
    std::wstring longest = PathOfLength(259);
    HDROP drop = MakeDrop({longest});
    Drop(IDC_SOURCE_PATH, drop);
    EXPECT_EQ(Text(IDC_SOURCE_PATH), longest);
}

// A name cut to fit could name another, existing file that a later run would
// overwrite: the field keeps what it had.
TEST_F(PathFieldDropTest, NameTooLongForAPathKeepsTheOldText)
{
    for (size_t length : {size_t(260), size_t(261), size_t(400)}) {
        SetText(IDC_WITH_PATH, L"C:\\kept.txt");
        HDROP drop = MakeDrop({PathOfLength(length)});
        EXPECT_EQ(Drop(IDC_WITH_PATH, drop), 0);
        EXPECT_EQ(Text(IDC_WITH_PATH), L"C:\\kept.txt") << "name of " << length << " characters";
        EXPECT_TRUE(Released(drop)) << "name of " << length << " characters";
    }
}

TEST_F(PathFieldDropTest, TooLongFirstNameIsNotReplacedByALaterOne)
{
    SetText(IDC_SOURCE_PATH, L"C:\\kept.txt");
    HDROP drop = MakeDrop({PathOfLength(300), L"C:\\short.txt"});
    Drop(IDC_SOURCE_PATH, drop);
    EXPECT_EQ(Text(IDC_SOURCE_PATH), L"C:\\kept.txt");
}

TEST_F(PathFieldDropTest, DropWithoutNamesKeepsTheOldText)
{
    SetText(IDC_SOURCE_PATH, L"C:\\kept.txt");
    HDROP drop = MakeDrop({});
    EXPECT_EQ(Drop(IDC_SOURCE_PATH, drop), 0);
    EXPECT_EQ(Text(IDC_SOURCE_PATH), L"C:\\kept.txt");
    EXPECT_TRUE(Released(drop));
}

TEST_F(PathFieldDropTest, DropOnTheSearchFieldChangesNothing)
{
    SetText(IDC_SEARCH_TEXT, L"needle");
    HDROP drop = MakeDrop({L"C:\\dropped.txt"});
    Drop(IDC_SEARCH_TEXT, drop);
    EXPECT_EQ(Text(IDC_SEARCH_TEXT), L"needle");
    for (int id : kPathFields) {
        EXPECT_EQ(Text(id), L"");
    }
    // The search field does not take drops, so the handle is still ours.
    ASSERT_FALSE(Released(drop));
    GlobalFree(drop);
}

// Apart from drops, a path field stays the platform's read-only edit field.
TEST_F(PathFieldDropTest, PathFieldOtherwiseBehavesAsAReadOnlyEdit)
{
    HWND field = GetDlgItem(dialog_, IDC_WITHOUT_PATH);
    SetText(IDC_WITHOUT_PATH, L"C:\\some\\path.txt");
    EXPECT_EQ(Text(IDC_WITHOUT_PATH), L"C:\\some\\path.txt");

    SendMessageW(field, EM_SETSEL, 3, 7);
    DWORD start = 0;
    DWORD end = 0;
    SendMessageW(field, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
    EXPECT_EQ(start, 3u);
    EXPECT_EQ(end, 7u);

    SendMessageW(field, WM_CHAR, L'x', 0);
    EXPECT_EQ(Text(IDC_WITHOUT_PATH), L"C:\\some\\path.txt");
}

}  // namespace
