// The message of a failed run, as the dialog's box shows it, for the states
// a replace leaves that the real program cannot be made to show on demand.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "app/strip_run.h"
#include "filter/filter.h"

namespace {

void Copy(const wchar_t* from, FormChar* to)
{
    while ((*to++ = *from++) != 0) {
    }
}

// Both files kept beside a name that another program's file took (a logger
// that made the log anew for its next record): the message says where the
// new and the old content are, and that the file under the log's name is
// not the log; without that, it says nothing of the name.
TEST(RunReport, BothKeptBesideANameAnotherProgramTookIsSaidSo)
{
    RunRequest request = {};
    Copy(L"Z:\\logs\\app.log", request.source);
    Copy(L"Z:\\logs\\app.log", request.without.path);
    request.without.on = true;
    for (bool taken : {false, true}) {
        SCOPED_TRACE(taken ? "name taken" : "name free");
        RunOutcome outcome;
        OutcomeInit(&outcome);
        OutcomeFail(&outcome, kRunExportUnreplaced, kWithoutExport, ERROR_UNABLE_TO_MOVE_REPLACEMENT_2);
        outcome.without = kExportKeptBoth;
        outcome.with = kExportOff;
        Copy(L"Z:\\logs\\qzv1234.tmp", outcome.keptNew);
        Copy(L"Z:\\logs\\qzb1234.tmp", outcome.keptOld);
        outcome.keptNameTaken = taken;
        wchar_t text[4096];
        FormatRunFailure(nullptr, &request, &outcome, text, 4096);
        const std::wstring message = text;
        const std::wstring kept = L"新內容保存在︰Z:\\logs\\qzv1234.tmp\n原內容保存在︰Z:\\logs\\qzb1234.tmp";
        const std::wstring name = L"\n原名稱現在是另一個程式建立的檔案，未予變動︰Z:\\logs\\app.log";
        ASSERT_GE(message.size(), kept.size());
        const std::wstring head = L"無法以新內容取代匯出檔︰\nZ:\\logs\\app.log\n\n原因︰";
        EXPECT_EQ(message.compare(0, head.size(), head), 0);
        const std::wstring tail = taken ? kept + name : kept;
        EXPECT_EQ(message.substr(message.size() - tail.size()), tail);
    }
}

}  // namespace
