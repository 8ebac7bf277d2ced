// Whatever fails midway, a run leaves every file as it was, removes its
// temporary files, and removes an export file only it created.
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

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

    // The run as the program drives it: the request read first, then the
    // driver with a control another thread could raise.
    RunOutcome Drive(RunControl* control)
    {
        RunRequest request;
        RunOutcome outcome;
        OutcomeInit(&outcome);
        if (ReadRunRequest(&form_, &request)) {
            DriveRun(&request, control, &outcome);
        }
        return outcome;
    }

    // The log without its matching lines, as a removal in place leaves it.
    std::string LogWithoutMatches() const
    {
        std::string rest;
        for (size_t at = 0; at < log_.size();) {
            size_t end = log_.find("\r\n", at);
            end = end == std::string::npos ? log_.size() : end + 2;
            std::string line = log_.substr(at, end - at);
            if (line.find("ERROR") == std::string::npos) {
                rest += line;
            }
            at = end;
        }
        return rest;
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

// Every failure is told: what failed, the file it is about and the system's
// reason; and whatever the step, every file is as it was. (The in-place
// rewrite is the without-string export, errors.txt the with-string one.)
TEST_F(FaultTest, EveryFailureIsToldWithItsFileAndReasonAndChangesNoFile)
{
    struct Case {
        const char* what;
        std::function<void(PosixFaults*, PosixForm*)> arrange;
        RunFailure failure;
        RunFile file;
        int error;
    };
    const std::string dir = dir_.path();
    const Case cases[] = {
        {"missing source", [&](PosixFaults*, PosixForm* f) { f->SetText(IDC_SOURCE_PATH, dir + "/gone.txt"); },
         kRunSourceUnopened, kSourceFile, ENOENT},
        {"folder as source", [&](PosixFaults*, PosixForm* f) { f->SetText(IDC_SOURCE_PATH, dir); },
         kRunSourceUnopened, kSourceFile, EISDIR},
        {"no memory", [](PosixFaults* p, PosixForm*) { p->failAllocation = 1; }, kRunNoMemory, kNoFile, ENOMEM},
        {"read fails", [](PosixFaults* p, PosixForm*) { p->failReadAt = 2; }, kRunSourceUnread, kSourceFile, EIO},
        {"source shorter than its size", [](PosixFaults* p, PosixForm*) { p->shortReadAt = 2; },
         kRunSourceChanged, kSourceFile, 0},
        {"no temporary file", [](PosixFaults* p, PosixForm*) { p->failTempCreate = 1; }, kRunExportUnclaimed,
         kWithoutExport, EACCES},
        {"no real name", [](PosixFaults* p, PosixForm*) { p->failClaimedPath = 1; }, kRunExportUnclaimed,
         kWithoutExport, ENAMETOOLONG},
        // The identities asked: the record's, then the claims' in turn.
        {"no identity of a held export", [](PosixFaults* p, PosixForm*) { p->failIdentityAt = 3; },
         kRunExportUnclaimed, kWithExport, EIO},
        {"export in a missing folder",
         [&](PosixFaults*, PosixForm* f) { f->SetText(IDC_WITH_PATH, dir + "/no/such/errors.txt"); },
         kRunExportUnclaimed, kWithExport, ENOENT},
        {"disk full", [](PosixFaults* p, PosixForm*) { p->failWriteAfter = 1 << 20; }, kRunExportUnwritten,
         kWithoutExport, ENOSPC},
        {"flush fails", [](PosixFaults* p, PosixForm*) { p->failFlush = 1; }, kRunExportUnwritten,
         kWithoutExport, EIO},
        {"replace fails", [](PosixFaults* p, PosixForm*) { p->failReplaceAt = 1; }, kRunExportUnreplaced,
         kWithExport, EBUSY},
        {"search text too long", [](PosixFaults*, PosixForm* f) { f->SetText(IDC_SEARCH_TEXT, std::string(256, 'E')); },
         kRunSearchTooLong, kNoFile, 0},
        {"path too long", [&](PosixFaults*, PosixForm* f) { f->SetText(IDC_WITH_PATH, dir + "/" + std::string(300, 'n')); },
         kRunPathTooLong, kWithExport, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RemoveInPlaceAndExportTo(dir_.File("errors.txt"));
        form_.SetText(IDC_SEARCH_TEXT, "ERROR");
        form_.SetText(IDC_SOURCE_PATH, dir_.File("log.txt"));
        *PosixFaultPlan() = PosixFaults();
        c.arrange(PosixFaultPlan(), &form_);
        RunOutcome outcome = RunStrip(&form_);
        EXPECT_EQ(outcome.failure, c.failure);
        EXPECT_EQ(outcome.file, c.file);
        EXPECT_EQ(outcome.systemError, static_cast<uint32_t>(c.error));
        EXPECT_TRUE(OutcomeIsTold(&outcome));
        EXPECT_NE(outcome.without, kExportWritten);
        EXPECT_NE(outcome.with, kExportWritten);
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
    // How many reads of the source a whole run takes (an appended export's
    // waiting lines are read back too, at the commit: not counted here).
    RemoveInPlaceAndExportTo(dir_.File("errors.txt"));
    form_.SetCheck(IDC_EXPORT_WITHOUT, false);
    form_.SetCheck(IDC_APPEND_WITH, false);
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

// Escape during a run: at the first, a middle or the last read, or once
// every line is written but before any export takes its place, the run
// stops and every file is as it was, appended exports cut back and new ones
// removed. Once the exports have begun to take their places, the run
// finishes instead.
TEST_F(FaultTest, AStoppedRunChangesNoFileUntilTheExportsTakeTheirPlaces)
{
    RemoveInPlaceAndExportTo(dir_.File("errors.txt"));
    PosixFaultPlan();
    RunStrip(&form_);
    const int reads = PosixReadCalls();
    ASSERT_GE(reads, 4) << "the source should take several windows";
    WriteFile(dir_.File("log.txt"), log_);
    std::remove(dir_.File("errors.txt").c_str());

    const std::string old = "kept\r\n";
    struct Moment {
        const char* what;
        int PosixFaults::*at;
        int number;
    };
    const Moment moments[] = {{"before the first read", &PosixFaults::stopAtRead, 1},
                              {"at a middle read", &PosixFaults::stopAtRead, reads / 2},
                              {"at the last read", &PosixFaults::stopAtRead, reads},
                              {"at the flush before the replaces", &PosixFaults::stopAtFlush, 1}};
    for (const Moment& m : moments) {
        for (bool append : {false, true}) {
            SCOPED_TRACE(std::string(m.what) + (append ? ", appending to an old export" : ", into a new export"));
            RemoveInPlaceAndExportTo(dir_.File("errors.txt"));
            form_.SetCheck(IDC_APPEND_WITH, append);
            if (append) {
                WriteFile(dir_.File("errors.txt"), old);
            }
            RunControl control;
            RunControlInit(&control);
            *PosixFaultPlan() = PosixFaults();
            PosixFaultPlan()->stop = &control.stop;
            PosixFaultPlan()->*m.at = m.number;
            RunOutcome outcome = Drive(&control);
            EXPECT_EQ(outcome.failure, kRunStopped);
            EXPECT_FALSE(OutcomeIsTold(&outcome));
            if (append) {
                EXPECT_EQ(ReadFile(dir_.File("errors.txt")), old);
                std::remove(dir_.File("errors.txt").c_str());
            }
            ExpectUntouched();
        }
    }

    // Stopped during the first replace: both exports take their places.
    form_.SetCheck(IDC_APPEND_WITH, false);
    RunControl control;
    RunControlInit(&control);
    *PosixFaultPlan() = PosixFaults();
    PosixFaultPlan()->stop = &control.stop;
    PosixFaultPlan()->stopAtReplace = 1;
    RunOutcome outcome = Drive(&control);
    EXPECT_EQ(outcome.failure, kRunSucceeded);
    EXPECT_TRUE(ReadFile(dir_.File("errors.txt")) == matching_);
    EXPECT_TRUE(ReadFile(dir_.File("log.txt")) == LogWithoutMatches());
}

// An export that cannot be had gets no line, and so takes none away from
// the source: when the other export rewrites the source, nothing changes.
// When the other export is a file of its own it is written, and the outcome
// says which was and which was not. Both exports naming one file is how the
// form keeps one half in place: not a failure.
TEST_F(FaultTest, AnExportThatCannotBeHadTakesNoLineFromTheSource)
{
    // Another program holds the file: the claim's lock is taken.
    auto hold = [](const std::string& path) {
        int fd = open(path.c_str(), O_RDWR | O_CREAT, 0666);
        EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
        return fd;
    };
    struct Case {
        const char* what;
        bool withoutOn;
        const char* withoutPath;   // "" for the source
        bool withOn;
        const char* withPath;
        const char* held;
        RunFile failed;
        ExportFate without;
        ExportFate with;
    };
    const Case cases[] = {
        {"removed in place, their export held", true, "", true, "errors.txt", "errors.txt", kWithExport,
         kExportUnchanged, kExportUnchanged},
        {"kept in place, the rest's export held", true, "rest.txt", true, "", "rest.txt", kWithoutExport,
         kExportUnchanged, kExportUnchanged},
        {"two files of their own, one held", true, "rest.txt", true, "errors.txt", "errors.txt", kWithExport,
         kExportWritten, kExportUnchanged},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto path = [&](const char* name) { return *name ? dir_.File(name) : std::string(); };
        form_.SetCheck(IDC_EXPORT_WITHOUT, c.withoutOn);
        form_.SetText(IDC_WITHOUT_PATH, path(c.withoutPath));
        form_.SetCheck(IDC_EXPORT_WITH, c.withOn);
        form_.SetText(IDC_WITH_PATH, path(c.withPath));
        int fd = hold(dir_.File(c.held));
        RunOutcome outcome = RunStrip(&form_);
        close(fd);
        EXPECT_EQ(outcome.failure, kRunExportUnclaimed);
        EXPECT_EQ(outcome.file, c.failed);
        EXPECT_EQ(outcome.systemError, static_cast<uint32_t>(EWOULDBLOCK));
        EXPECT_EQ(outcome.without, c.without);
        EXPECT_EQ(outcome.with, c.with);
        EXPECT_TRUE(ReadFile(dir_.File("log.txt")) == log_) << "the source changed";
        EXPECT_EQ(ReadFile(dir_.File(c.held)), "");
        if (c.without == kExportWritten) {
            EXPECT_TRUE(ReadFile(dir_.File(c.withoutPath)) == LogWithoutMatches());
        }
        std::remove(dir_.File("rest.txt").c_str());
        std::remove(dir_.File("errors.txt").c_str());
        ExpectUntouched();
    }

    // Both on the source: the second gets nothing, and nothing is told.
    form_.SetCheck(IDC_EXPORT_WITHOUT, true);
    form_.SetText(IDC_WITHOUT_PATH, "");
    form_.SetCheck(IDC_EXPORT_WITH, true);
    form_.SetText(IDC_WITH_PATH, "");
    RunOutcome outcome = RunStrip(&form_);
    EXPECT_EQ(outcome.failure, kRunSucceeded);
    EXPECT_EQ(outcome.with, kExportOff);
    EXPECT_TRUE(ReadFile(dir_.File("log.txt")) == LogWithoutMatches());
}

const char kRecord[] = "2026-12-09 record from another program\n";
const char kHalfRecord[] = "2026-12-09 record from anoth";
const char kRewritten[] = "2026-12-09 the log as an editor saved it, longer than before\r\n";

void AppendBytes(const char* path, const char* bytes)
{
    int fd = open(path, O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, bytes, strlen(bytes)), static_cast<ssize_t>(strlen(bytes)));
    close(fd);
}

void AppendRecord(void* path)
{
    AppendBytes(static_cast<const char*>(path), kRecord);
}

void CutShort(void* path)
{
    ASSERT_EQ(truncate(static_cast<const char*>(path), 10), 0);
}

// An editor's save, or a rotation, that leaves the log longer than the run
// read it: its old bytes are gone.
void RewriteLonger(void* path)
{
    std::string log = ReadFile(static_cast<const char*>(path));
    WriteFile(static_cast<const char*>(path), kRewritten + log);
}

// One byte of what the run read changed, and a record added: longer, yet no
// append.
void ChangeAByteAndAppend(void* path)
{
    int fd = open(static_cast<const char*>(path), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, "X", 1, 1000), 1);
    close(fd);
    AppendRecord(path);
}

// A record begun and never finished.
void AppendHalfARecord(void* path)
{
    AppendBytes(static_cast<const char*>(path), kHalfRecord);
}

// A record begun through a file the writer keeps open, finished 100 ms
// later through the same file.
void AppendARecordInTwoWrites(void* path)
{
    int fd = open(static_cast<const char*>(path), O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, kHalfRecord, strlen(kHalfRecord)), static_cast<ssize_t>(strlen(kHalfRecord)));
    std::thread([fd] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const char* rest = kRecord + strlen(kHalfRecord);
        EXPECT_EQ(write(fd, rest, strlen(rest)), static_cast<ssize_t>(strlen(rest)));
        close(fd);
    }).detach();
}

// A record begun through a file the writer keeps open, and finished
// through it when the run next waits.
int g_keptOpen = -1;
void BeginARecordKeepingTheFile(void* path)
{
    g_keptOpen = open(static_cast<const char*>(path), O_WRONLY | O_APPEND);
    ASSERT_GE(g_keptOpen, 0);
    ASSERT_EQ(write(g_keptOpen, kHalfRecord, strlen(kHalfRecord)), static_cast<ssize_t>(strlen(kHalfRecord)));
}
void FinishTheRecordThroughTheFile(void*)
{
    const char* rest = kRecord + strlen(kHalfRecord);
    EXPECT_EQ(write(g_keptOpen, rest, strlen(rest)), static_cast<ssize_t>(strlen(rest)));
    close(g_keptOpen);
}

// The rest of the record kHalfRecord begins.
void FinishTheRecord(void* path)
{
    AppendBytes(static_cast<const char*>(path), kRecord + strlen(kHalfRecord));
}

// The LF of a CR LF whose CR the run read, then a record.
void EndTheLineAndAppend(void* path)
{
    AppendBytes(static_cast<const char*>(path), "\n");
    AppendRecord(path);
}

// A byte of the source changed in place, its size and time kept, as
// another program might: at g_changeAt.
off_t g_changeAt = 0;
void ChangeAByteKeepingTime(void* path)
{
    struct stat before;
    ASSERT_EQ(stat(static_cast<const char*>(path), &before), 0);
    int fd = open(static_cast<const char*>(path), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, "X", 1, g_changeAt), 1);
    const struct timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(futimens(fd, times), 0);
    close(fd);
}

// A line longer than the window is judged on its first read and copied on
// its second: changed between the two (a byte of it, or the line end after
// it), it fails the run as a changed source, in place or into new files,
// in bytes or in UTF-16, and no export keeps what was copied.
TEST_F(FaultTest, ALongLineChangedBetweenItsTwoReadsFailsTheRun)
{
    const std::string source = dir_.File("log.txt");
    const std::string text = std::string(1500000, 'q') + "ERROR" + std::string(1500000, 'q') + "\r\nlast ok\r\n";
    // Ignoring case, a byte or unit the pieces cannot judge (0x80 here, é in
    // UTF-16) leaves the line's rest, from a little before it, to be judged
    // as one.
    StandInCollation collation({{0x80, 'e'}});
    form_.SetCheck(IDC_IGNORE_CASE, true);
    const off_t other = 1400000;
    for (bool utf16 : {false, true}) for (bool inPlace : {true, false}) for (off_t line : {off_t(100), off_t(3000005)})
    for (bool rest : {false, true}) {
        SCOPED_TRACE(std::string(utf16 ? "UTF-16, " : "") + (inPlace ? "in place, " : "into new files, ") +
                     std::to_string(line) + (rest ? ", its rest judged" : ""));
        std::string log = utf16 ? "\xFF\xFE" + AsciiToUtf16Le(text) : text;
        if (rest) {
            log[utf16 ? 2 + 2 * other : other] = utf16 ? '\xE9' : '\x80';
        }
        const off_t at = utf16 ? 2 + 2 * line : line;
        g_changeAt = at;
        std::string changed = log;
        changed[at] = 'X';
        WriteFile(source, log);
        RemoveInPlaceAndExportTo(dir_.File("errors.txt"));
        form_.SetText(IDC_WITHOUT_PATH, inPlace ? "" : dir_.File("rest.txt"));
        *PosixFaultPlan() = PosixFaults();
        PosixFaultPlan()->hook = ChangeAByteKeepingTime;
        PosixFaultPlan()->hookArg = const_cast<char*>(source.c_str());
        PosixFaultPlan()->hookAtSeek = 1;   // the move back to the line's start
        RunOutcome outcome = RunStrip(&form_);
        *PosixFaultPlan() = PosixFaults();
        EXPECT_EQ(outcome.failure, kRunSourceChanged);
        EXPECT_EQ(outcome.file, kSourceFile);
        EXPECT_TRUE(ReadFile(source) == changed) << "the source as the other program left it";
        EXPECT_EQ(dir_.Entries(), std::vector<std::string>{"log.txt"});
    }
}

// A log another program writes to while it is rewritten in place keeps all
// it wrote: a run that finds the source changed leaves it and says so; what
// comes in the very moment of the source's replace (the second, after
// errors.txt took its place) is added at the end of the rewritten source
// when it is whole records added at the end, the old bytes unchanged. Any
// other change in that moment (a rewrite longer than before, a byte
// changed, a record never finished) leaves the source as the other program
// left it, told; a record another program adds to the new file meanwhile
// stays too, with the old file kept beside it.
TEST_F(FaultTest, WhatAnotherProgramWritesToTheSourceMeanwhileIsKept)
{
    const std::string source = dir_.File("log.txt");
    std::string changedByte = log_;
    changedByte[1000] = 'X';
    const std::string asRewritten = kRewritten + log_;
    struct Case {
        const char* what;
        void (*program)(void*);
        int PosixFaults::*at;
        void (*afterMove)(void*);
        RunFailure failure;
        std::string sourceAfter;
        std::string keptBeside;   // what a file kept beside the source holds, if one is
        std::string lastRead = "";  // what the log ends with when the run takes its size
    };
    const Case cases[] = {
        {"appended while the source is read", AppendRecord, &PosixFaults::hookAtRead, nullptr, kRunSourceChanged,
         log_ + kRecord, ""},
        {"appended as the source is replaced", AppendRecord, &PosixFaults::hookAtReplace, nullptr, kRunSucceeded,
         LogWithoutMatches() + kRecord, ""},
        {"appended to the new file as the source is replaced", nullptr, &PosixFaults::hookAtReplace, AppendRecord,
         kRunSucceeded, LogWithoutMatches() + kRecord, ""},
        {"appended to both as the source is replaced", AppendRecord, &PosixFaults::hookAtReplace, AppendRecord,
         kRunSucceeded, LogWithoutMatches() + kRecord + kRecord, ""},
        {"cut short as the source is replaced", CutShort, &PosixFaults::hookAtReplace, nullptr, kRunSourceChanged,
         log_.substr(0, 10), ""},
        {"rewritten longer as the source is replaced", RewriteLonger, &PosixFaults::hookAtReplace, nullptr,
         kRunSourceChanged, asRewritten, ""},
        {"a byte changed and a record added as the source is replaced", ChangeAByteAndAppend,
         &PosixFaults::hookAtReplace, nullptr, kRunSourceChanged, changedByte + kRecord, ""},
        {"half a record added as the source is replaced, never finished", AppendHalfARecord,
         &PosixFaults::hookAtReplace, nullptr, kRunSourceChanged, log_ + kHalfRecord, ""},
        {"half a record added as the source is replaced, finished a moment later", AppendARecordInTwoWrites,
         &PosixFaults::hookAtReplace, nullptr, kRunSucceeded, LogWithoutMatches() + kRecord, ""},
        {"rewritten longer, and a record added to the new file", RewriteLonger, &PosixFaults::hookAtReplace,
         AppendRecord, kRunExportUnreplaced, LogWithoutMatches() + kRecord, asRewritten},
        // The run read half a record and wrote it as a line: the rest is not
        // a line of its own.
        {"half a record when the size was taken, finished as the source is replaced", FinishTheRecord,
         &PosixFaults::hookAtReplace, nullptr, kRunSourceChanged, log_ + kRecord, "", kHalfRecord},
        {"a CR LF cut between what was read and what came in", EndTheLineAndAppend, &PosixFaults::hookAtReplace,
         nullptr, kRunSucceeded, LogWithoutMatches() + "last ok\r\n" + kRecord, "", "last ok\r"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WriteFile(source, log_ + c.lastRead);
        std::remove(dir_.File("errors.txt").c_str());
        RemoveInPlaceAndExportTo(dir_.File("errors.txt"));
        *PosixFaultPlan() = PosixFaults();
        PosixFaultPlan()->hook = c.program != nullptr ? c.program : [](void*) {};
        PosixFaultPlan()->hookArg = const_cast<char*>(source.c_str());
        PosixFaultPlan()->*c.at = 2;
        PosixFaultPlan()->afterMove = c.afterMove;
        PosixFaultPlan()->afterMoveAt = 2;
        RunOutcome outcome = RunStrip(&form_);
        EXPECT_EQ(outcome.failure, c.failure);
        EXPECT_TRUE(ReadFile(source) == c.sourceAfter) << ReadFile(source).size() << " bytes";
        const bool exported = c.at == &PosixFaults::hookAtReplace;
        if (exported) {
            EXPECT_TRUE(ReadFile(dir_.File("errors.txt")) == matching_);
        } else {
            EXPECT_EQ(outcome.file, kSourceFile);
        }
        std::vector<std::string> entries = {"log.txt"};
        if (exported) {
            entries.insert(entries.begin(), "errors.txt");
        }
        if (!c.keptBeside.empty()) {
            // Both kept, and the message says where: the new content (and
            // the record) under the source's name, the old beside it.
            EXPECT_EQ(outcome.without, kExportKeptBoth);
            EXPECT_EQ(Utf16ToUtf8(outcome.keptNew), source);
            std::string old = Utf16ToUtf8(outcome.keptOld);
            EXPECT_TRUE(ReadFile(old) == c.keptBeside);
            std::remove(old.c_str());
        } else if (c.failure == kRunSourceChanged) {
            EXPECT_EQ(outcome.without, kExportUnchanged);
        }
        EXPECT_EQ(dir_.Entries(), entries);
    }
}

// An editor's save: a file of its own, as long as the one it replaces and
// with its last-write time, renamed over the name.
void SaveOverKeepingSizeAndTime(void* path)
{
    const std::string to = static_cast<const char*>(path);
    struct stat before;
    ASSERT_EQ(stat(to.c_str(), &before), 0);
    std::string bytes = ReadFile(to);
    bytes.replace(0, strlen("saved"), "saved");
    WriteFile(to + ".saving", bytes);
    const struct timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, (to + ".saving").c_str(), times, 0), 0);
    ASSERT_EQ(rename((to + ".saving").c_str(), to.c_str()), 0);
}

// Another program writes to an export the run made or found empty, or puts
// a file of its own under an export's name or the source's, while the
// source is read: whether the run lands, is stopped or fails, nothing that
// program wrote is removed. Added to the export, it is the export's previous
// version; a file of its own stays under its name, and the run says so.
// (The exports are extractions, the source untouched; the source's own case
// removes in place.)
TEST_F(FaultTest, WhatAnotherProgramWritesToAnExportMeanwhileIsKept)
{
    const std::string errors = dir_.File("errors.txt");
    const std::string source = dir_.File("log.txt");
    const std::string saved = "saved" + log_.substr(5);
    struct Case {
        const char* what;
        const char* before;   // the export's bytes before the run; none: no file
        void (*program)(void*);
        bool atSource;        // the program works on the source, not the export
        int stopAtRead;
        int failReplace;
        RunFailure failure;
        std::string errorsAfter;
        std::string sourceAfter;
        std::string trashed;  // what the export's previous version holds, if it has one
    };
    const Case cases[] = {
        {"added to a new export, the run lands", nullptr, AppendRecord, false, 0, 0, kRunSucceeded, matching_, log_,
         kRecord},
        {"added to an empty export, the run lands", "", AppendRecord, false, 0, 0, kRunSucceeded, matching_, log_,
         kRecord},
        {"added to a new export, the run stopped", nullptr, AppendRecord, false, 4, 0, kRunStopped, kRecord, log_,
         ""},
        {"added to an empty export, the run stopped", "", AppendRecord, false, 4, 0, kRunStopped, kRecord, log_, ""},
        {"added to a new export, its replace fails", nullptr, AppendRecord, false, 0, 1, kRunExportUnreplaced,
         kRecord, log_, ""},
        {"saved over a new export", nullptr, SaveOverKeepingSizeAndTime, false, 0, 0, kRunNameTaken, "saved",
         log_, ""},
        {"saved over an export with content", "older", SaveOverKeepingSizeAndTime, false, 0, 0, kRunNameTaken,
         "saved", log_, ""},
        {"saved over the source, as long and as old", nullptr, SaveOverKeepingSizeAndTime, true, 0, 0,
         kRunNameTaken, "", saved, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WriteFile(source, log_);
        std::remove(errors.c_str());
        if (c.before != nullptr) {
            WriteFile(errors, c.before);
        }
        EmptyTrash();
        RemoveInPlaceAndExportTo(errors);
        form_.SetCheck(IDC_EXPORT_WITHOUT, c.atSource);
        RunControl control;
        RunControlInit(&control);
        *PosixFaultPlan() = PosixFaults();
        PosixFaultPlan()->hook = c.program;
        PosixFaultPlan()->hookArg = const_cast<char*>((c.atSource ? source : errors).c_str());
        PosixFaultPlan()->hookAtRead = 2;
        PosixFaultPlan()->stop = &control.stop;
        PosixFaultPlan()->stopAtRead = c.stopAtRead;
        PosixFaultPlan()->failReplace = c.failReplace;
        RunOutcome outcome = Drive(&control);
        *PosixFaultPlan() = PosixFaults();
        EXPECT_EQ(outcome.failure, c.failure);
        if (c.failure == kRunNameTaken) {
            EXPECT_EQ(outcome.file, c.atSource ? kSourceFile : kWithExport);
        }
        EXPECT_TRUE(ReadFile(source) == c.sourceAfter) << ReadFile(source).size() << " bytes";
        if (c.atSource) {
            EXPECT_EQ(dir_.Entries(), std::vector<std::string>{"log.txt"});
        } else {
            EXPECT_TRUE(ReadFile(errors) == c.errorsAfter) << ReadFile(errors).size() << " bytes";
            EXPECT_EQ(dir_.Entries(), (std::vector<std::string>{"errors.txt", "log.txt"}));
        }
        std::string trashed;
        for (const std::string& file : TrashedFiles()) {
            trashed += ReadFile(file);
        }
        EXPECT_TRUE(c.atSource || trashed == c.trashed) << trashed.size() << " bytes in the trash";
    }
}

// On a volume without second names the old file moves aside before the new
// one takes the export's name: a logger that makes the file anew by name in
// that moment keeps it, and the run's new and old files stay beside it,
// named in the message.
TEST_F(FaultTest, ALoggerThatMakesTheExportAnewBetweenTheTwoMovesKeepsIt)
{
    const std::string errors = dir_.File("errors.txt");
    form_.SetCheck(IDC_EXPORT_WITH, true);
    form_.SetText(IDC_WITH_PATH, errors);
    PosixFaultPlan()->failLink = 1;
    PosixFaultPlan()->afterMove = [](void* path) {
        int fd = open(static_cast<const char*>(path), O_WRONLY | O_APPEND | O_CREAT, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, kRecord, strlen(kRecord)), static_cast<ssize_t>(strlen(kRecord)));
        close(fd);
    };
    PosixFaultPlan()->hookArg = const_cast<char*>(errors.c_str());
    PosixFaultPlan()->afterMoveAt = 1;
    RunOutcome outcome = RunStrip(&form_);
    EXPECT_EQ(outcome.failure, kRunExportUnreplaced);
    EXPECT_EQ(outcome.with, kExportKeptBoth);
    EXPECT_TRUE(outcome.keptNameTaken);
    EXPECT_EQ(ReadFile(errors), kRecord);
    EXPECT_TRUE(ReadFile(Utf16ToUtf8(outcome.keptNew)) == matching_);
    EXPECT_TRUE(FileExists(Utf16ToUtf8(outcome.keptOld)));
    EXPECT_TRUE(ReadFile(dir_.File("log.txt")) == log_);
    EXPECT_EQ(dir_.Entries().size(), 4u);
}

// What came into the source in the moment of its replace cannot always be
// carried to the new file: a disk that fills part way through leaves the
// source as the other program left it (what was carried cut back, the old
// file back under its name), and the message gives the system's reason. A
// line half written then is waited for, and carried once it ends.
TEST_F(FaultTest, WhatCameInAsTheSourceWasReplacedIsCarriedWholeOrNotAtAll)
{
    const std::string source = dir_.File("log.txt");
    const std::string errors = dir_.File("errors.txt");
    struct Case {
        const char* what;
        void (*atReplace)(void*);
        void (*atSleep)(void*);
        long long carriedBytes;   // of what came in, before the disk is full; -1: room enough
        RunFailure failure;
        uint32_t systemError;
        std::string sourceAfter;
    };
    const Case cases[] = {
        {"the disk fills part way through", AppendRecord, nullptr, 5, kRunExportUnreplaced, ENOSPC,
         log_ + kRecord},
        {"the disk fills at once", AppendRecord, nullptr, 0, kRunExportUnreplaced, ENOSPC, log_ + kRecord},
        {"half a line, finished while it is waited for", BeginARecordKeepingTheFile, FinishTheRecordThroughTheFile,
         -1, kRunSucceeded, 0, LogWithoutMatches() + kRecord},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WriteFile(source, log_);
        std::remove(errors.c_str());
        RemoveInPlaceAndExportTo(errors);
        *PosixFaultPlan() = PosixFaults();
        PosixFaultPlan()->hookArg = const_cast<char*>(source.c_str());
        PosixFaultPlan()->hookAtReplace = 2;
        PosixFaultPlan()->hook = c.atReplace;
        if (c.atSleep != nullptr) {
            // The first wait finishes the line (the hook is called at the
            // replace and at that wait).
            static void (*atSleep)(void*);
            atSleep = c.atSleep;
            static void (*atReplace)(void*);
            atReplace = c.atReplace;
            static int calls;
            calls = 0;
            PosixFaultPlan()->hook = [](void* path) { (calls++ == 0 ? atReplace : atSleep)(path); };
            PosixFaultPlan()->hookAtSleep = 1;
        }
        if (c.carriedBytes >= 0) {
            PosixFaultPlan()->failWriteAfter =
                static_cast<long long>(matching_.size() + LogWithoutMatches().size()) + c.carriedBytes;
        }
        RunOutcome outcome = RunStrip(&form_);
        *PosixFaultPlan() = PosixFaults();
        EXPECT_EQ(outcome.failure, c.failure);
        EXPECT_EQ(outcome.systemError, c.systemError);
        EXPECT_TRUE(ReadFile(source) == c.sourceAfter) << ReadFile(source).size() << " bytes";
        // The lines that went to the export stay there: none is lost.
        EXPECT_TRUE(ReadFile(errors) == matching_);
        EXPECT_EQ(dir_.Entries(), (std::vector<std::string>{"errors.txt", "log.txt"}));
    }
}

// The source's new content took its name while its old file had to be kept
// beside it (another program rewrote it and then added a record to the new
// one): the lines that left the source stay in the export they were
// appended to, not only in the old file under a temporary name.
TEST_F(FaultTest, LinesThatLeftTheSourceStayAppendedWhenItsOldFileIsKeptBeside)
{
    const std::string source = dir_.File("log.txt");
    const std::string errors = dir_.File("errors.txt");
    WriteFile(source, log_);
    WriteFile(errors, "kept\r\n");
    RemoveInPlaceAndExportTo(errors);
    form_.SetCheck(IDC_APPEND_WITH, true);
    *PosixFaultPlan() = PosixFaults();
    PosixFaultPlan()->hook = RewriteLonger;
    PosixFaultPlan()->hookArg = const_cast<char*>(source.c_str());
    PosixFaultPlan()->hookAtReplace = 1;
    PosixFaultPlan()->afterMove = AppendRecord;
    PosixFaultPlan()->afterMoveAt = 1;
    RunOutcome outcome = RunStrip(&form_);
    *PosixFaultPlan() = PosixFaults();
    EXPECT_EQ(outcome.failure, kRunExportUnreplaced);
    EXPECT_EQ(outcome.without, kExportKeptBoth);
    EXPECT_TRUE(ReadFile(source) == LogWithoutMatches() + kRecord);
    EXPECT_TRUE(ReadFile(errors) == "kept\r\n" + matching_) << "the moved lines were cut from their export";
    EXPECT_EQ(outcome.with, kExportWritten);
    std::remove(Utf16ToUtf8(outcome.keptOld).c_str());
}

// Every export that receives lines is on the disk before any file takes
// its place, and a flush or a close that fails is told, with every file as
// it was: a new export, an appended one, the source's rewrite.
TEST_F(FaultTest, AnExportThatCannotBeMadeDurableFailsTheRunAndChangesNoFile)
{
    const std::string old = "kept\r\n";
    struct Case {
        const char* what;
        bool inPlace;        // the source rewritten without its matches
        bool append;         // errors.txt appended to, not made new
        int PosixFaults::*fault;
        RunFile failed;
        int at = 1;          // which call of its kind fails
    };
    const Case cases[] = {
        // The source's rewrite is flushed first, then the new export.
        {"flush of a new export, the source rewritten", true, false, &PosixFaults::failFlushAt, kWithExport, 2},
        {"flush of an appended export", false, true, &PosixFaults::failFlush, kWithExport},
        {"flush of the source's rewrite", true, true, &PosixFaults::failFlush, kWithoutExport},
        {"close of a new export", false, false, &PosixFaults::failCloseAfterWrite, kWithExport},
        {"close of the source's rewrite, errors.txt new", true, false, &PosixFaults::failCloseAfterWrite,
         kWithoutExport},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RemoveInPlaceAndExportTo(dir_.File("errors.txt"));
        form_.SetCheck(IDC_EXPORT_WITHOUT, c.inPlace);
        form_.SetCheck(IDC_APPEND_WITH, c.append);
        if (c.append) {
            WriteFile(dir_.File("errors.txt"), old);
        }
        *PosixFaultPlan() = PosixFaults();
        PosixFaultPlan()->*c.fault = c.at;
        RunOutcome outcome = RunStrip(&form_);
        EXPECT_EQ(outcome.failure, kRunExportUnwritten);
        EXPECT_EQ(outcome.file, c.failed);
        EXPECT_EQ(outcome.systemError, static_cast<uint32_t>(EIO));
        EXPECT_NE(outcome.without, kExportWritten);
        EXPECT_NE(outcome.with, kExportWritten);
        if (c.append) {
            EXPECT_EQ(ReadFile(dir_.File("errors.txt")), old);
            std::remove(dir_.File("errors.txt").c_str());
        }
        ExpectUntouched();
    }
}

// An appended export is flushed before any file takes its place, and kept
// open until the end, so that a failed run can cut it back: a close that
// fails once the source was replaced is told, with what became of each file.
TEST_F(FaultTest, AFailedCloseAfterTheReplacesIsToldWithWhatBecameOfEachFile)
{
    const std::string old = "kept\r\n";
    WriteFile(dir_.File("errors.txt"), old);
    RemoveInPlaceAndExportTo(dir_.File("errors.txt"));
    form_.SetCheck(IDC_APPEND_WITH, true);
    PosixFaultPlan()->failAppendedClose = 1;
    RunOutcome outcome = RunStrip(&form_);
    EXPECT_EQ(outcome.failure, kRunExportUnwritten);
    EXPECT_EQ(outcome.file, kWithExport);
    EXPECT_EQ(outcome.systemError, static_cast<uint32_t>(EIO));
    EXPECT_TRUE(OutcomeIsTold(&outcome));
    EXPECT_EQ(outcome.without, kExportWritten);
    EXPECT_EQ(outcome.with, kExportWritten);
    EXPECT_TRUE(ReadFile(dir_.File("log.txt")) == LogWithoutMatches());
    EXPECT_TRUE(ReadFile(dir_.File("errors.txt")) == old + matching_);
    EXPECT_EQ(dir_.Entries(), (std::vector<std::string>{"errors.txt", "log.txt"}));
}

// A real writer, another process that opens the log for each record it
// adds, every millisecond, while the log is rewritten in place again and
// again: afterwards every record is in the log exactly once.
TEST_F(FaultTest, ALiveWriterLosesNoRecordToInPlaceRewrites)
{
    form_.SetCheck(IDC_EXPORT_WITHOUT, true);
    form_.SetCheck(IDC_EXPORT_WITH, false);
    const std::string source = dir_.File("log.txt");
    const int kRecords = 300;
    pid_t writer = fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        for (int i = 0; i < kRecords; ++i) {
            std::string record = "record " + std::to_string(i) + " ok\r\n";
            int fd = open(source.c_str(), O_WRONLY | O_APPEND);
            if (fd < 0 || write(fd, record.data(), record.size()) != static_cast<ssize_t>(record.size())) {
                _exit(1);
            }
            close(fd);
            struct timespec pause = {0, 1000000};
            nanosleep(&pause, nullptr);
        }
        _exit(0);
    }
    int runs = 0;
    int refused = 0;
    int status = 0;
    while (waitpid(writer, &status, WNOHANG) == 0) {
        RunOutcome outcome = RunStrip(&form_);
        EXPECT_TRUE(outcome.failure == kRunSucceeded || outcome.failure == kRunSourceChanged);
        refused += outcome.failure == kRunSourceChanged;
        ++runs;
    }
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    RunStrip(&form_);
    const std::string after = ReadFile(source);
    for (int i = 0; i < kRecords; ++i) {
        std::string record = "record " + std::to_string(i) + " ok\r\n";
        size_t at = after.find(record);
        EXPECT_NE(at, std::string::npos) << record;
        EXPECT_EQ(after.find(record, at + 1), std::string::npos) << record;
    }
    EXPECT_TRUE(after.find("ERROR") == std::string::npos);
    RecordProperty("runs", runs);
    RecordProperty("refused", refused);
    std::printf("%d runs during the writer's records, %d refused\n", runs, refused);
}

// Escape is seen inside one long line too: while the platform is asked
// about its stretches one after another, not only between read windows.
TEST(StopInsideALine, AStopRaisedWhileALongLineIsJudgedEndsTheRun)
{
    ScratchDir dir;
    struct Case {
        const char* what;
        std::string source;
        const char* search;
        bool ignoreCase;
    };
    // A code-page line whose every other byte the platform must judge (the
    // stand-in collation makes 0x88 not plain), each window another.
    std::string odd = "start\r\n";
    for (int i = 0; odd.size() < 600000; ++i) {
        odd += "\x88" + std::to_string(100000 + i);
    }
    odd += "\r\nend\r\n";
    const Case cases[] = {{"code page", odd, "zz", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        StandInCollation collation({{0x88, '^'}});
        WriteFile(dir.File("log.txt"), c.source);
        PosixForm form;
        form.SetText(IDC_SEARCH_TEXT, c.search);
        form.SetText(IDC_SOURCE_PATH, dir.File("log.txt"));
        form.SetCheck(IDC_EXPORT_WITHOUT, true);
        form.SetCheck(IDC_IGNORE_CASE, c.ignoreCase);
        RunRequest request;
        ASSERT_TRUE(ReadRunRequest(&form, &request));
        RunControl control;
        RunControlInit(&control);
        *PosixFaultPlan() = PosixFaults();
        PosixFaultPlan()->stop = &control.stop;
        PosixFaultPlan()->stopAtSearch = 5;
        RunOutcome outcome;
        DriveRun(&request, &control, &outcome);
        const int searches = PosixLineSearches() + PosixWideLineSearches();
        *PosixFaultPlan() = PosixFaults();
        EXPECT_EQ(outcome.failure, kRunStopped);
        EXPECT_LT(searches, 10) << "the line would take thousands";
        EXPECT_TRUE(ReadFile(dir.File("log.txt")) == c.source);
        EXPECT_EQ(dir.Entries(), std::vector<std::string>{"log.txt"});
    }
}

// The same in a UTF-16 line asked of the platform's wide search in pieces.
TEST(StopInsideALine, AStopRaisedWhileAUtf16LineIsJudgedEndsThePass)
{
    ScratchDir dir;
    std::string line;
    for (int i = 0; i < 400000; ++i) {
        line += "\xE9";
        line.push_back(static_cast<char>(i % 26 + 1));
    }
    WriteFile(dir.File("log.txt"), line);
    std::u16string path = Utf8ToUtf16(dir.File("log.txt"));
    FileHandle source = PlatformOpenSource(path.c_str());
    ASSERT_NE(source, nullptr);
    std::vector<char> block((1 << 20) + kWindowPadding);
    std::vector<char> buffer(1 << 16);
    LineSink without;
    LineSink with;
    SinkInit(&without, nullptr, buffer.data(), 1 << 16);
    SinkInit(&with, nullptr, buffer.data(), 1 << 16);
    ReadWindow window;
    WindowInit(&window, source, line.size(), block.data(), 1 << 20);
    StopFlag stop = 0;
    WindowWatch(&window, &stop, nullptr);
    SearchNeedles needles;
    ASSERT_TRUE(MakeSearchNeedles(u"\u00C9q", true, &needles));
    const TextRules rules = AsciiRules();
    *PosixFaultPlan() = PosixFaults();
    PosixFaultPlan()->stop = &stop;
    PosixFaultPlan()->stopAtSearch = 5;
    EXPECT_FALSE(RouteLines(&window, kEncodingUtf16Le, &needles, &rules, &without, &with));
    const int searches = PosixWideLineSearches();
    *PosixFaultPlan() = PosixFaults();
    EXPECT_TRUE(window.stopped);
    EXPECT_LT(searches, 10) << "the line takes hundreds of pieces";
    WindowRelease(&window);
    PlatformClose(source);
}

}  // namespace
