// Text files in the encodings a Windows user meets, split through the real
// dialog (MainDialogProc, the form filled by messages, the strip button
// pressed) in code page 950: UTF-8 with and without a byte order mark,
// UTF-16 LE as Windows PowerShell writes it, UTF-16 BE, and Big5.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <string>

#include "app/app.h"
#include "resources/resource_ids.h"
#include "tests/win/win_test_support.h"

namespace {

const std::string kUtf8Bom = "\xEF\xBB\xBF";

// What Python's "utf-16" codec reads from a file (the mark tells the byte
// order; a broken unit or a second mark is an error), as UTF-8, or
// "<python: reason>". Python runs as a Unix program beside Wine and says it
// is done by renaming its answer into place.
std::string ReadByPythonUtf16(const ScratchDir& dir, const std::wstring& file)
{
    const std::wstring script = dir.File(L"read_utf16.py");
    const std::wstring answer = dir.File(L"python-answer.txt");
    DeleteFileW(answer.c_str());
    WriteWholeFile(script,
                   "import os, sys\n"
                   "try:\n"
                   "    text = open(sys.argv[1], 'rb').read().decode('utf-16')\n"
                   "    if '\\ufeff' in text:\n"
                   "        raise ValueError('a second byte order mark')\n"
                   "    out = text.encode('utf-8')\n"
                   "except Exception as e:\n"
                   "    out = ('<python: %s>' % e).encode('utf-8')\n"
                   "open(sys.argv[2] + '.part', 'wb').write(out)\n"
                   "os.replace(sys.argv[2] + '.part', sys.argv[2])\n");
    std::string command = "Z:\\usr\\bin\\python3 \"" + UnixName(script) + "\" \"" + UnixName(file) + "\" \"" +
                          UnixName(answer) + "\"";
    std::wstring wide(command.begin(), command.end());
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(L"Z:\\usr\\bin\\python3", &wide[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        return "<python not started>";
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    if (!PumpUntil([&] { return FileExists(answer); }, 30000)) {
        return "<python gave no answer>";
    }
    return ReadWholeFile(answer);
}

class EncodingRunTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(GetACP(), 950u) << "these cases are about code page 950 (LANG=zh_TW.UTF-8)";
        InitCommonControls();
        dialog_ = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_MAIN), nullptr,
                                     MainDialogProc, 0);
        ASSERT_NE(dialog_, nullptr) << "error " << GetLastError();
    }
    void TearDown() override
    {
        if (dialog_ != nullptr) {
            DestroyWindow(dialog_);
        }
    }

    void SetText(int id, const std::wstring& text) const
    {
        SendDlgItemMessageW(dialog_, id, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
    }
    void SetCheck(int id, bool on) const
    {
        SendDlgItemMessageW(dialog_, id, BM_SETCHECK, on ? BST_CHECKED : BST_UNCHECKED, 0);
    }

    // One run of the form: source log.txt with the given bytes; each export
    // by name (empty: the source itself; "-": switched off). Returns once
    // the run is over.
    void Split(const std::string& source, const std::wstring& search, const std::wstring& without,
               const std::wstring& with, bool ignoreCase = false)
    {
        WriteWholeFile(Source(), source);
        SetText(IDC_SEARCH_TEXT, search);
        SetText(IDC_SOURCE_PATH, Source());
        SetCheck(IDC_EXPORT_WITHOUT, without != L"-");
        SetText(IDC_WITHOUT_PATH, without == L"-" || without.empty() ? L"" : dir_.File(without));
        SetCheck(IDC_EXPORT_WITH, with != L"-");
        SetText(IDC_WITH_PATH, with == L"-" || with.empty() ? L"" : dir_.File(with));
        SetCheck(IDC_IGNORE_CASE, ignoreCase);
        SendMessageW(dialog_, WM_COMMAND, MAKEWPARAM(IDC_STRIP, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(dialog_, IDC_STRIP)));
        EXPECT_TRUE(WaitForStripRunEnd(dialog_));
    }
    std::wstring Source() const { return dir_.File(L"log.txt"); }
    std::string Bytes(const std::wstring& name) const { return ReadWholeFile(dir_.File(name)); }

    ScratchDir dir_;
    HWND dialog_ = nullptr;
};

// A UTF-8 log without a mark, as Notepad saves it: a Chinese search text
// matches the lines that show it, and an ASCII one right after a Chinese
// character (whose last byte and the next letter make one Big5 character).
TEST_F(EncodingRunTest, AUtf8LogWithoutAMarkMatchesWhatItsUserReads)
{
    const std::string log = Narrow(L"開始\r\n中ERROR 連線逾時\r\n連線成功\r\nERROR 重新嘗試\r\nok\r\n");
    Split(log, L"連線", L"rest.txt", L"found.txt");
    EXPECT_EQ(Bytes(L"found.txt"), Narrow(L"中ERROR 連線逾時\r\n連線成功\r\n"));
    EXPECT_EQ(Bytes(L"rest.txt"), Narrow(L"開始\r\nERROR 重新嘗試\r\nok\r\n"));

    Split(log, L"ERROR", L"", L"errors.txt");
    EXPECT_EQ(Bytes(L"errors.txt"), Narrow(L"中ERROR 連線逾時\r\nERROR 重新嘗試\r\n"));
    EXPECT_EQ(Bytes(L"log.txt"), Narrow(L"開始\r\n連線成功\r\nok\r\n"));
}

// A UTF-8 source with a mark split in place: the first line, right after
// the mark, is found, and both files start with the mark.
TEST_F(EncodingRunTest, AUtf8SourceWithAMarkSplitInPlaceKeepsItsMark)
{
    Split(kUtf8Bom + Narrow(L"ERROR 第一行\r\n資訊\r\nERROR 最後"), L"ERROR", L"", L"errors.txt");
    EXPECT_EQ(Bytes(L"log.txt"), kUtf8Bom + Narrow(L"資訊\r\n"));
    EXPECT_EQ(Bytes(L"errors.txt"), kUtf8Bom + Narrow(L"ERROR 第一行\r\nERROR 最後\r\n"));
}

// Windows PowerShell's `>` writes UTF-16 LE after FF FE. Split into new
// exports and in place, every file is UTF-16 LE with one mark, as Python
// reads it, holding whole lines.
TEST_F(EncodingRunTest, APowerShellUtf16LogIsSplitInItsOwnEncoding)
{
    const std::wstring text = L"PS 開始\r\nERROR: 找不到檔案 C:\\a.txt\r\n\r\n完成\r\nERROR: 連線逾時";
    const std::string log = Utf16WithMark(false, text);
    Split(log, L"ERROR", L"rest.txt", L"errors.txt");
    EXPECT_EQ(Bytes(L"errors.txt"), Utf16WithMark(false, L"ERROR: 找不到檔案 C:\\a.txt\r\nERROR: 連線逾時\r\n"));
    EXPECT_EQ(Bytes(L"rest.txt"), Utf16WithMark(false, L"PS 開始\r\n\r\n完成\r\n"));
    EXPECT_EQ(Bytes(L"log.txt"), log);
    EXPECT_EQ(ReadByPythonUtf16(dir_, dir_.File(L"errors.txt")),
              Narrow(L"ERROR: 找不到檔案 C:\\a.txt\r\nERROR: 連線逾時\r\n"));
    EXPECT_EQ(ReadByPythonUtf16(dir_, dir_.File(L"rest.txt")), Narrow(L"PS 開始\r\n\r\n完成\r\n"));

    // Chinese search text, in place.
    Split(log, L"連線", L"", L"-");
    EXPECT_EQ(Bytes(L"log.txt"), Utf16WithMark(false, L"PS 開始\r\nERROR: 找不到檔案 C:\\a.txt\r\n\r\n完成\r\n"));
    EXPECT_EQ(ReadByPythonUtf16(dir_, Source()), Narrow(L"PS 開始\r\nERROR: 找不到檔案 C:\\a.txt\r\n\r\n完成\r\n"));
}

TEST_F(EncodingRunTest, AUtf16BigEndianLogIsSplitInItsByteOrder)
{
    Split(Utf16WithMark(true, L"資訊 一\r\nERROR 二\r\n資訊 三\r\n"), L"資訊", L"rest.txt", L"");
    EXPECT_EQ(Bytes(L"log.txt"), Utf16WithMark(true, L"資訊 一\r\n資訊 三\r\n"));
    EXPECT_EQ(Bytes(L"rest.txt"), Utf16WithMark(true, L"ERROR 二\r\n"));
    EXPECT_EQ(ReadByPythonUtf16(dir_, Source()), Narrow(L"資訊 一\r\n資訊 三\r\n"));
}

// Ignoring case means the same in UTF-16 as elsewhere: what the platform's
// wide search gives, ASCII and beyond.
TEST_F(EncodingRunTest, IgnoringCaseInUtf16)
{
    Split(Utf16WithMark(false, L"Error: 一\r\nerror: 二\r\nÉCOLE error\r\nwarn\r\n"), L"ERROR", L"rest.txt", L"errors.txt",
          true);
    EXPECT_EQ(Bytes(L"errors.txt"), Utf16WithMark(false, L"Error: 一\r\nerror: 二\r\nÉCOLE error\r\n"));
    EXPECT_EQ(Bytes(L"rest.txt"), Utf16WithMark(false, L"warn\r\n"));
    Split(Utf16WithMark(false, L"école\r\nÉCOLE\r\nschool\r\n"), L"école", L"rest.txt", L"found.txt", true);
    EXPECT_EQ(Bytes(L"found.txt"), Utf16WithMark(false, L"école\r\nÉCOLE\r\n"));
    EXPECT_EQ(Bytes(L"rest.txt"), Utf16WithMark(false, L"school\r\n"));
}

// A Big5 file, the code page's own text, gives what it gave before: matched
// in the code page character by character, written byte for byte.
TEST_F(EncodingRunTest, ABig5FileGivesTodaysResult)
{
    // 中文 ERROR / 功能 (A5 5C: its second byte is a backslash) / 中文 / ok
    const std::string log = "\xA4\xA4\xA4\xE5 ERROR\r\n\xA5\x5C\xAF\xE0\r\n\xA4\xA4\xA4\xE5\nok\r\n";
    Split(log, L"中文", L"rest.txt", L"found.txt");
    EXPECT_EQ(Bytes(L"found.txt"), "\xA4\xA4\xA4\xE5 ERROR\r\n\xA4\xA4\xA4\xE5\r\n");
    EXPECT_EQ(Bytes(L"rest.txt"), "\xA5\x5C\xAF\xE0\r\nok\r\n");
    // A backslash inside a double-byte character is no backslash.
    Split(log, L"\\", L"rest.txt", L"found.txt");
    EXPECT_EQ(Bytes(L"found.txt"), "");
    EXPECT_EQ(Bytes(L"rest.txt"), "\xA4\xA4\xA4\xE5 ERROR\r\n\xA5\x5C\xAF\xE0\r\n\xA4\xA4\xA4\xE5\r\nok\r\n");
}

}  // namespace
