// The real Quorvane.exe under Wine in code page 950, driven from this
// process: a run it refuses for its files' encodings is told in one box
// that names the file and why, and changes no file.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "resources/resource_ids.h"
#include "tests/win/win_test_support.h"
#include "tests/win_live/live_app.h"

namespace {

const wchar_t kCaption[] = L"Quorvane 1.0 版本";
const DWORD kRunTimeoutMs = 60000;

class LiveEncoding : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(app_.dialog(), nullptr) << "no dialog from " << Narrow(QUORVANE_EXE);
    }

    // Presses the button with the form as set and reads the box that tells
    // the failure; closes it. Empty when no box came.
    std::wstring RunAndReadTheBox()
    {
        app_.PressStrip();
        EXPECT_TRUE(app_.WaitForRunEnd(kRunTimeoutMs));
        HWND box = app_.WaitForMessageBox(5000);
        if (box == nullptr) {
            return L"";
        }
        wchar_t title[128] = L"";
        GetWindowTextW(box, title, 128);
        EXPECT_STREQ(title, kCaption);
        std::wstring text = MessageBoxText(box);
        PostMessageW(box, WM_COMMAND, IDOK, 0);
        PumpUntil([&] { return !IsWindow(box); }, 5000);
        return text;
    }

    ScratchDir folder_;
    LiveApp app_;
};

// Lines of a log without a mark appended to a UTF-16 export: refused before
// a byte is written, the box naming the export and both encodings. And a
// UTF-16 log appended to an export without a mark, the other way round.
TEST_F(LiveEncoding, AnAppendIntoAnotherEncodingIsToldAndChangesNoFile)
{
    const std::wstring source = folder_.File(L"app.log");
    const std::wstring errors = folder_.File(L"errors.txt");
    const std::string log = "start\r\nERROR one\r\nok\r\n";
    const std::string old = Utf16WithMark(false, L"ERROR 舊的\r\n");
    WriteWholeFile(source, log);
    WriteWholeFile(errors, old);
    app_.Text(IDC_SEARCH_TEXT, L"ERROR");
    app_.Text(IDC_SOURCE_PATH, source);
    app_.Check(IDC_EXPORT_WITHOUT, true);     // the source rewritten in place
    app_.Text(IDC_WITHOUT_PATH, L"");
    app_.Check(IDC_EXPORT_WITH, true);
    app_.Text(IDC_WITH_PATH, errors);
    app_.Check(IDC_APPEND_WITH, true);
    EXPECT_EQ(RunAndReadTheBox(), L"匯出檔的編碼與來源檔案不同，附加到檔尾會讓一個檔案含有兩種編碼︰\n" + errors +
                                      L"\n\n匯出檔的編碼︰UTF-16 LE (有 BOM)\n來源檔案的編碼︰沒有 BOM (系統字碼頁或 UTF-8)"
                                      L"\n\n沒有變更任何檔案。\n");
    EXPECT_EQ(ReadWholeFile(source), log);
    EXPECT_EQ(ReadWholeFile(errors), old);

    const std::string wideLog = Utf16WithMark(false, L"start\r\nERROR one\r\n");
    WriteWholeFile(source, wideLog);
    WriteWholeFile(errors, "ERROR old\r\n");
    EXPECT_EQ(RunAndReadTheBox(), L"匯出檔的編碼與來源檔案不同，附加到檔尾會讓一個檔案含有兩種編碼︰\n" + errors +
                                      L"\n\n匯出檔的編碼︰沒有 BOM (系統字碼頁或 UTF-8)\n來源檔案的編碼︰UTF-16 LE (有 BOM)"
                                      L"\n\n沒有變更任何檔案。\n");
    EXPECT_EQ(ReadWholeFile(source), wideLog);
    EXPECT_EQ(ReadWholeFile(errors), "ERROR old\r\n");
    EXPECT_EQ(folder_.Entries(), (std::vector<std::wstring>{L"app.log", L"errors.txt"}));
}

// A simplified 错误, which code page 950 cannot hold, is never turned into
// "??" or a look-alike: on a Big5 log (no line of which can hold it) the run
// is told instead of emptying the source in place.
TEST_F(LiveEncoding, ASearchTextTheCodePageCannotHoldIsToldNotGuessed)
{
    const std::wstring source = folder_.File(L"app.log");
    const std::string log = "\xBF\xF9\xBB\x7E ??\r\nok\r\n";   // 錯誤 ??
    WriteWholeFile(source, log);
    app_.Text(IDC_SEARCH_TEXT, L"错误");
    app_.Text(IDC_SOURCE_PATH, source);
    app_.Check(IDC_EXPORT_WITHOUT, false);
    app_.Check(IDC_EXPORT_WITH, true);        // the default form: keep the lines holding it
    app_.Text(IDC_WITH_PATH, L"");
    EXPECT_EQ(RunAndReadTheBox(), L"系統字碼頁無法表示搜尋字串中的某些字元，來源檔案中沒有任何一行含有這個字串︰\n" +
                                      source +
                                      L"\n\n這個檔案沒有 BOM，以系統字碼頁寫成的行列不可能含有這些字元，而其中的 UTF-8 "
                                      L"行列也都不含這個字串。\n\n沒有變更任何檔案。\n");
    EXPECT_EQ(ReadWholeFile(source), log);
}

}  // namespace
