// The message of a failed run, as the dialog's box shows it, for the states
// a replace leaves that the real program cannot be made to show on demand.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "app/run/strip_run.h"
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

// A file of another program's under the source's name or an export's (an
// editor's save during the run): the message names the file and says the
// other program's file was left as it is.
TEST(RunReport, AFileAnotherProgramPutUnderANameIsSaidSo)
{
    RunRequest request = {};
    Copy(L"Z:\\logs\\app.log", request.source);
    Copy(L"Z:\\logs\\errors.txt", request.with.path);
    request.with.on = true;
    const std::wstring reason = L"\n\n處理期間，另一個程式把它自己的檔案放到這個名稱下，該檔案未予變動。";
    struct Case {
        RunFile file;
        std::wstring head;
    };
    const Case cases[] = {
        {kSourceFile, L"來源檔案在處理期間被其他程式變更︰\nZ:\\logs\\app.log" + reason},
        {kWithExport, L"無法以新內容取代匯出檔︰\nZ:\\logs\\errors.txt" + reason},
    };
    for (const Case& c : cases) {
        RunOutcome outcome;
        OutcomeInit(&outcome);
        OutcomeFail(&outcome, kRunNameTaken, c.file, 0);
        outcome.with = kExportUnchanged;
        wchar_t text[4096];
        FormatRunFailure(nullptr, &request, &outcome, text, 4096);
        EXPECT_EQ(std::wstring(text).compare(0, c.head.size(), c.head), 0) << c.file;
    }
}

// The line that tells what a run did, for the outcomes the live suite does
// not reach: a run stopped, an append, one line, a previous version kept
// beside the file (no Recycle Bin on its volume), a failure (told in its
// box, not in the line).
TEST(RunReport, TheOutcomeLineTellsEachKindOfOutcome)
{
    RunRequest request = {};
    Copy(L"ERROR", request.search);
    Copy(L"Z:\\logs\\app.log", request.source);
    Copy(L"Z:\\logs\\app.log", request.without.path);
    Copy(L"Z:\\logs\\errors.txt", request.with.path);
    request.without.on = request.with.on = request.with.append = true;
    RunOutcome outcome;
    OutcomeInit(&outcome);
    outcome.without = outcome.with = kExportWritten;
    outcome.withReport.lines = 1;
    outcome.withoutReport.lines = 1234567;
    outcome.withoutReport.inPlace = true;
    outcome.withoutReport.previous = kPreviousBeside;
    Copy(L"Z:\\logs\\app (移除行列前 2).log", outcome.withoutReport.previousKept);
    wchar_t text[1024];
    FormatOutcomeLine(&request, &outcome, text, 1024);
    EXPECT_EQ(std::wstring(text), L"含字串 1 行 → errors.txt（加在檔尾）；不含字串 1,234,567 行 → app.log（原處）；"
                                  L"舊版本保留為 app (移除行列前 2).log。");

    RunOutcome stopped;
    OutcomeInit(&stopped);
    OutcomeFail(&stopped, kRunStopped, kNoFile, 0);
    FormatOutcomeLine(&request, &stopped, text, 1024);
    EXPECT_EQ(std::wstring(text), L"已停止，沒有變更任何檔案。");

    RunOutcome failed = outcome;
    OutcomeFail(&failed, kRunExportUnreplaced, kWithExport, ERROR_ACCESS_DENIED);
    EXPECT_EQ(FormatOutcomeLine(&request, &failed, text, 1024), 0);
}

// What the start's repair did: the files put back, then those kept, each
// list cut at kRepairMostTold with a count of the rest, and nothing of a
// list that is empty.
TEST(RunReport, TheRepairNamesWhatItPutBackAndWhatItKept)
{
    RepairReport report;
    RepairInit(&report);
    Copy(L"Z:\\logs\\app.log", report.putBackPaths[0]);
    report.putBack = 1;
    wchar_t text[8192];
    FormatRepairReport(&report, text, 8192);
    const std::wstring putBack = std::wstring(L"上次的處理未能完成（程式被結束或電腦斷電），下列檔案已恢復為處理前的內容︰") +
                                 L"\nZ:\\logs\\app.log";
    EXPECT_EQ(std::wstring(text), putBack);
    std::wstring kept = L"\n\n下列檔案無法放回原處，已保留︰";
    for (uint32_t i = 0; i < kRepairMostTold; ++i) {
        std::wstring path = L"Z:\\logs\\qzb" + std::to_wstring(i) + L".tmp";
        Copy(path.c_str(), report.keptPaths[i]);
        kept += L"\n" + path;
    }
    report.kept = kRepairMostTold + 3;
    FormatRepairReport(&report, text, 8192);
    EXPECT_EQ(std::wstring(text), putBack + kept + L"\n其他檔案︰3");
    report.putBack = 0;
    FormatRepairReport(&report, text, 8192);
    EXPECT_EQ(std::wstring(text), kept.substr(2) + L"\n其他檔案︰3");
}

}  // namespace
