// Whatever fails midway, a run leaves every file as it was, removes its
// temporary files, and removes an export file only it created.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "filter/filter.h"
#include "tests/native/test_support.h"

namespace {

// Big enough that the exports fill their buffers several times, and the
// source takes several read windows. *matching receives its ERROR lines.
std::string BigLog(std::string* matching)
{
    std::string log;
    for (int i = 0; log.size() < (5u << 20); ++i) {
        std::string line = "2026-12-08 line " + std::to_string(i) + (i % 10 == 0 ? " ERROR disk\r\n" : " ok\r\n");
        log += line;
        if (i % 10 == 0) {
            *matching += line;
        }
    }
    return log;
}

class FaultTest : public testing::Test {
protected:
    void SetUp() override
    {
        *PosixFaultPlan() = PosixFaults();
        log_ = BigLog(&matching_);
        WriteFile(dir_.File("log.txt"), log_);
        form_.SetText(IDC_SEARCH_TEXT, "ERROR");
        form_.SetText(IDC_SOURCE_PATH, dir_.File("log.txt"));
    }
    void TearDown() override { *PosixFaultPlan() = PosixFaults(); }

    // Remove matching lines in place, and put them into a new file.
    void RemoveInPlaceAndExportTo(const std::string& path)
    {
        form_.SetCheck(IDC_EXPORT_WITHOUT, true);
        form_.SetCheck(IDC_EXPORT_WITH, true);
        form_.SetText(IDC_WITH_PATH, path);
    }

    void ExpectUntouched()
    {
        EXPECT_TRUE(ReadFile(dir_.File("log.txt")) == log_) << "the source changed";
        EXPECT_EQ(dir_.Entries(), std::vector<std::string>{"log.txt"});
    }

    ScratchDir dir_;
    PosixForm form_;
    std::string log_;
    std::string matching_;
};

TEST_F(FaultTest, AWriteFailureLeavesTheSourceAndRemovesTheNewExport)
{
    // Fail at the first write, in the middle of the run, and near its end.
    for (long long after : {0LL, 1LL << 20, static_cast<long long>(log_.size()) - 100}) {
        RemoveInPlaceAndExportTo(dir_.File("errors.txt"));
        PosixFaultPlan()->failWriteAfter = after;
        RunStrip(&form_);
        SCOPED_TRACE(after);
        ExpectUntouched();
    }
}

TEST_F(FaultTest, FailuresBeforeTheFirstWriteTouchNothing)
{
    RemoveInPlaceAndExportTo(dir_.File("errors.txt"));
    PosixFaults faults[5];
    faults[0].failAllocation = 1;
    faults[1].shortRead = 1;
    faults[2].failReadCall = 1;
    faults[3].failTempCreate = 1;
    faults[4].failReplace = 1;
    for (const PosixFaults& fault : faults) {
        *PosixFaultPlan() = fault;
        RunStrip(&form_);
        ExpectUntouched();
    }
}

TEST_F(FaultTest, AFailedFlushKeepsTheOldFile)
{
    RemoveInPlaceAndExportTo(dir_.File("errors.txt"));
    PosixFaultPlan()->failFlush = 1;
    RunStrip(&form_);
    ExpectUntouched();
}

TEST_F(FaultTest, AFailedAppendIsCutBackToItsOldContent)
{
    const std::string old = "kept\r\n";
    WriteFile(dir_.File("errors.txt"), old);
    form_.SetCheck(IDC_EXPORT_WITH, true);
    form_.SetText(IDC_WITH_PATH, dir_.File("errors.txt"));
    form_.SetCheck(IDC_APPEND_WITH, true);
    // Fail after the export has received some of its lines.
    PosixFaultPlan()->failWriteAfter = 1 << 19;
    RunStrip(&form_);
    EXPECT_EQ(ReadFile(dir_.File("errors.txt")), old);
    EXPECT_EQ(ReadFile(dir_.File("log.txt")), log_);
}

// The source is read a window at a time while the exports are written. A
// read that fails or comes up short, at the first, a middle or the last
// read of the run, leaves every file as it was: the in-place rewrite and a
// new export (removed), an existing export in append mode (cut back) and a
// new one (removed).
TEST_F(FaultTest, AReadFailureAtAnyPointOfTheRunChangesNoFile)
{
    // How many reads a whole run takes.
    RemoveInPlaceAndExportTo(dir_.File("errors.txt"));
    form_.SetCheck(IDC_EXPORT_WITHOUT, false);
    form_.SetCheck(IDC_APPEND_WITH, true);
    PosixFaultPlan();
    RunStrip(&form_);
    const int reads = PosixReadCalls();
    ASSERT_GE(reads, 4) << "the source should take several windows";
    std::remove(dir_.File("errors.txt").c_str());
    ExpectUntouched();

    const std::string old = "kept\r\n";
    for (int at : {1, reads / 2, reads}) {
        for (bool shortRead : {false, true}) {
            SCOPED_TRACE("read " + std::to_string(at) + (shortRead ? " short" : " failed"));
            auto runFailingThatRead = [&] {
                *PosixFaultPlan() = PosixFaults();
                (shortRead ? PosixFaultPlan()->shortReadAt : PosixFaultPlan()->failReadAt) = at;
                RunStrip(&form_);
            };
            // In place and into a new file.
            RemoveInPlaceAndExportTo(dir_.File("errors.txt"));
            form_.SetCheck(IDC_APPEND_WITH, false);
            runFailingThatRead();
            ExpectUntouched();

            // Appending to an existing file and to a new one.
            WriteFile(dir_.File("old.txt"), old);
            form_.SetCheck(IDC_EXPORT_WITHOUT, true);
            form_.SetText(IDC_WITHOUT_PATH, dir_.File("new.txt"));
            form_.SetCheck(IDC_APPEND_WITHOUT, true);
            form_.SetText(IDC_WITH_PATH, dir_.File("old.txt"));
            form_.SetCheck(IDC_APPEND_WITH, true);
            runFailingThatRead();
            EXPECT_EQ(ReadFile(dir_.File("old.txt")), old);
            EXPECT_FALSE(FileExists(dir_.File("new.txt")));
            std::remove(dir_.File("old.txt").c_str());
            form_.SetCheck(IDC_APPEND_WITHOUT, false);
            form_.SetText(IDC_WITHOUT_PATH, "");
            ExpectUntouched();
        }
    }
}

// Lines moved out of the source land in their export before the source
// loses them: whichever of the two replaces fails, no line is lost.
TEST_F(FaultTest, TheSourceIsReplacedLastSoAFailedReplaceLosesNoLine)
{
    RemoveInPlaceAndExportTo(dir_.File("errors.txt"));
    // The export's replace fails: nothing changes.
    PosixFaultPlan()->failReplaceAt = 1;
    RunStrip(&form_);
    ExpectUntouched();

    // The source's replace fails after the export landed: the moved lines
    // are in both, none is gone.
    *PosixFaultPlan() = PosixFaults();
    PosixFaultPlan()->failReplaceAt = 2;
    RunStrip(&form_);
    EXPECT_TRUE(ReadFile(dir_.File("log.txt")) == log_) << "the source changed";
    EXPECT_TRUE(ReadFile(dir_.File("errors.txt")) == matching_);
}

// A run is all or nothing for appended exports too: when the rewritten
// export cannot take its file's place, the lines appended meanwhile go.
TEST_F(FaultTest, AFailedReplaceCutsBackTheAppendedExport)
{
    const std::string old = "kept\r\n";
    WriteFile(dir_.File("errors.txt"), old);
    RemoveInPlaceAndExportTo(dir_.File("errors.txt"));
    form_.SetCheck(IDC_APPEND_WITH, true);
    PosixFaultPlan()->failReplace = 1;
    RunStrip(&form_);
    EXPECT_EQ(ReadFile(dir_.File("errors.txt")), old);
    std::remove(dir_.File("errors.txt").c_str());
    ExpectUntouched();

    // Without the fault the same run moves the lines.
    WriteFile(dir_.File("errors.txt"), old);
    *PosixFaultPlan() = PosixFaults();
    RunStrip(&form_);
    EXPECT_GT(ReadFile(dir_.File("errors.txt")).size(), old.size());
    EXPECT_LT(ReadFile(dir_.File("log.txt")).size(), log_.size());
}

// A real write failure from the system: the file size limit, hit while the
// in-place rewrite is under way, in a child process.
TEST_F(FaultTest, FileSizeLimitDuringAnInPlaceRewriteLeavesTheSource)
{
    form_.SetCheck(IDC_EXPORT_WITH, false);
    form_.SetCheck(IDC_EXPORT_WITHOUT, true);   // rewrite the source without the matching lines
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {1u << 20, 1u << 20};
        setrlimit(RLIMIT_FSIZE, &limit);
        RunStrip(&form_);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ExpectUntouched();

    // The same run without the limit does rewrite it.
    RunStrip(&form_);
    EXPECT_LT(ReadFile(dir_.File("log.txt")).size(), log_.size());
}

}  // namespace
