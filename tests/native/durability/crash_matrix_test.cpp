// A run killed at any step, then the repair the next start makes: every file
// is as it was before the run or as the finished run leaves it, never in
// between; no line leaves the source unless it is in its export; and no
// file of ours (temporary files, backups, the record and its pointer) is
// left, but for a kill in the instant before the pointer that names the
// record is whole: nothing was done yet, and the record stays, never acted on. The run goes on in a forked child that ends itself (_exit, nothing
// closed or flushed by the run) as it is about to take its Nth step, for
// every N from the first step to the last.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "filter/filter.h"
#include "filter/durability/run_record.h"
#include "filter/durability/run_repair.h"
#include "tests/native/test_support.h"

namespace {

// More than one read window (1 MiB) of source, and more than one output
// buffer (256 KiB) for each export.
std::string CrashLog()
{
    std::string log;
    for (int i = 0; log.size() < 1300000; ++i) {
        log += "2026-12-09 " + std::to_string(i) + (i % 4 == 0 ? " ERROR disk full\r\n" : " INFO served\r\n");
    }
    return log;
}

std::string Lines(const std::string& log, bool withError)
{
    std::string out;
    for (size_t at = 0; at < log.size();) {
        size_t end = log.find("\r\n", at) + 2;
        std::string line = log.substr(at, end - at);
        if ((line.find("ERROR") != std::string::npos) == withError) {
            out += line;
        }
        at = end;
    }
    return out;
}

struct Shape {
    const char* what;
    std::string withoutPath;   // "" for the source itself
    std::string withPath;
    bool appendWith;
    bool errorsExist;          // errors.txt is there before the run
};

// The last-write time given to the files before each run: a kill leaves
// none of them with another one unless it leaves them as the run did.
const struct timespec kOldTime = {1600000000, 123456789};

uint64_t WriteTime(const std::string& path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        return 0;
    }
    return static_cast<uint64_t>(st.st_mtim.tv_sec) * 1000000000ull + static_cast<uint64_t>(st.st_mtim.tv_nsec);
}

void SetOldTime(const std::string& path)
{
    struct timespec times[2] = {kOldTime, kOldTime};
    utimensat(AT_FDCWD, path.c_str(), times, 0);
}

// A file's content, or "<none>" when there is none.
std::string Content(const std::string& path)
{
    return FileExists(path) ? ReadFile(path) : std::string("<none>");
}

class CrashMatrix : public testing::TestWithParam<Shape> {
protected:
    void SetUp() override
    {
        *PosixFaultPlan() = PosixFaults();
        PosixSetStateFolder(state_.path() + "/");
        log_ = CrashLog();
        const Shape& s = GetParam();
        form_.SetText(IDC_SEARCH_TEXT, "ERROR");
        form_.SetText(IDC_SOURCE_PATH, Source());
        form_.SetCheck(IDC_EXPORT_WITHOUT, true);
        form_.SetText(IDC_WITHOUT_PATH, s.withoutPath.empty() ? "" : dir_.File(s.withoutPath));
        form_.SetCheck(IDC_EXPORT_WITH, true);
        form_.SetText(IDC_WITH_PATH, dir_.File(s.withPath));
        form_.SetCheck(IDC_APPEND_WITH, s.appendWith);
    }
    void TearDown() override
    {
        *PosixFaultPlan() = PosixFaults();
        PosixSetStateFolder("");
    }

    std::string Source() const { return dir_.File("log.txt"); }

    // The files as they are before each run.
    void Lay()
    {
        const Shape& s = GetParam();
        for (const std::string& name : dir_.Entries()) {
            unlink(dir_.File(name).c_str());
        }
        for (const std::string& name : state_.Entries()) {
            unlink(state_.File(name).c_str());
        }
        EmptyTrash();
        WriteFile(Source(), log_);
        SetOldTime(Source());
        if (s.errorsExist) {
            WriteFile(dir_.File(s.withPath), earlier_);
            SetOldTime(dir_.File(s.withPath));
        }
    }

    // Each file the run touches: its path, what it holds before and after.
    struct Expected {
        std::string path;
        std::string before;
        std::string after;
    };
    std::vector<Expected> Files() const
    {
        const Shape& s = GetParam();
        std::string errorsAfter = Lines(log_, true);
        if (s.appendWith) {
            errorsAfter = earlier_ + errorsAfter;
        }
        std::vector<Expected> files;
        std::string sourceAfter = s.withoutPath.empty() ? Lines(log_, false) : log_;
        files.push_back({Source(), log_, sourceAfter});
        if (!s.withoutPath.empty()) {
            files.push_back({dir_.File(s.withoutPath), "<none>", Lines(log_, false)});
        }
        files.push_back({dir_.File(s.withPath), s.errorsExist ? earlier_ : "<none>", errorsAfter});
        return files;
    }

    // The steps of a whole run, counted on a run that is not killed; the
    // files checked as it leaves them.
    int CountSteps(const std::vector<Expected>& files)
    {
        Lay();
        *PosixFaultPlan() = PosixFaults();
        RunOutcome finished = RunStrip(&form_);
        EXPECT_EQ(finished.failure, kRunSucceeded);
        for (const Expected& f : files) {
            EXPECT_EQ(Content(f.path), f.after) << f.path;
        }
        return PosixSteps();
    }

    // Runs body in a forked child that ends itself as it is about to take
    // its step number at (0: never); the child's exit code, 86 for a kill.
    template <typename Body>
    int InChildKilledAt(int at, Body body)
    {
        pid_t child = fork();
        if (child == 0) {
            *PosixFaultPlan() = PosixFaults();
            PosixFaultPlan()->killAtStep = at;
            _exit(body());
        }
        int status = 0;
        EXPECT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status));
        return WEXITSTATUS(status);
    }
    int KillRunAt(int at)
    {
        return InChildKilledAt(at, [&] {
            RunStrip(&form_);
            return 0;
        });
    }

    // Whether a whole pointer is in the user's folder: before it is, the
    // record it will name is all a kill can leave.
    bool RecordUnnamed()
    {
        bool left = !state_.Entries().empty();
        for (const std::string& name : dir_.Entries()) {
            left = left || name.compare(0, 3, "qzr") == 0;
        }
        return left && !PointerWhole();
    }
    bool PointerWhole()
    {
        for (const std::string& name : state_.Entries()) {
            std::string bytes = ReadFile(state_.File(name));
            RecordPointer pointer;
            if (PointerParse(reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<uint32_t>(bytes.size()),
                             &pointer) == kRecordRead) {
                return true;
            }
        }
        return false;
    }

    // After the repair: every file as before or as finished, the old
    // last-write time with the old bytes (or, for a file the repair cut
    // back, a time of now: never another old one), no line lost, none of
    // our files left. *allBefore tells whether every file is as before.
    // unnamed: the kill fell before the pointer was whole.
    // repairKilled: a repair before this one was killed, and may have cut
    // a file back without living to tell it.
    void ExpectSettled(const std::vector<Expected>& files, bool* allBefore, const RepairReport& report,
                       bool unnamed, bool repairKilled = false)
    {
        bool sourceAfter = false;
        bool errorsAfter = false;
        *allBefore = true;
        for (const Expected& f : files) {
            std::string now = Content(f.path);
            bool before = now == f.before;
            bool after = now == f.after;
            EXPECT_TRUE(before || after) << f.path << " is neither as before nor as finished: " << now.size()
                                         << " bytes";
            const uint64_t oldNs = static_cast<uint64_t>(kOldTime.tv_sec) * 1000000000ull +
                                   static_cast<uint64_t>(kOldTime.tv_nsec);
            if (before && f.before != "<none>") {
                bool cutBack = false;
                for (uint32_t i = 0; i < report.putBack && i < kRepairMostTold; ++i) {
                    cutBack = cutBack || Utf16ToUtf8(report.putBackPaths[i]) == f.path;
                }
                uint64_t time = WriteTime(f.path);
                EXPECT_TRUE(time == oldNs || ((cutBack || repairKilled) && time > oldNs + 1000000000ull))
                    << f.path << " has its old bytes but neither its old last-write time nor a new one";
            }
            *allBefore = *allBefore && before;
            // A file that had content and was rewritten (not added to)
            // keeps its previous version in the trash.
            if (after && !before && f.before != "<none>" && f.after.compare(0, f.before.size(), f.before) != 0) {
                bool kept = false;
                for (const std::string& trashed : TrashedFiles()) {
                    kept = kept || Content(trashed) == f.before;
                }
                EXPECT_TRUE(kept) << f.path << ": its previous version is not in the trash";
            }
            if (f.path == Source()) {
                sourceAfter = after && !before;
            } else if (f.path == files.back().path) {
                errorsAfter = after;
            }
        }
        // Lines moved out of the source are in their export.
        if (sourceAfter) {
            EXPECT_TRUE(errorsAfter) << "the source lost lines that its export does not hold";
        }
        // Appended lines stay only with the rewrite they belong to, as a run
        // whose replace failed leaves them: else the next run appends them again.
        if (GetParam().appendWith && GetParam().withoutPath.empty() && errorsAfter) {
            EXPECT_TRUE(sourceAfter) << "the appended lines stayed while the source kept them too";
        }
        // Only the files the run names are there; none of ours is left.
        std::vector<std::string> names;
        for (const Expected& f : files) {
            if (FileExists(f.path)) {
                names.push_back(f.path.substr(dir_.path().size() + 1));
            }
        }
        if (unnamed) {
            EXPECT_TRUE(*allBefore) << "a file changed before the record was named";
            for (const std::string& name : dir_.Entries()) {
                if (name.compare(0, 3, "qzr") == 0) {
                    names.push_back(name);
                }
            }
            EXPECT_LE(state_.Entries().size(), 1u);
        }
        std::sort(names.begin(), names.end());
        EXPECT_EQ(dir_.Entries(), names);
        if (!unnamed) {
            EXPECT_EQ(state_.Entries(), std::vector<std::string>{}) << "a pointer is left";
        }
    }

    ScratchDir dir_;
    ScratchDir state_;
    PosixForm form_;
    std::string log_;
    const std::string earlier_ = "2024-04-30 ERROR earlier run\r\n";
};

TEST_P(CrashMatrix, EveryFileIsAsBeforeOrAsFinishedAfterTheRepair)
{
    const std::vector<Expected> files = Files();
    const int steps = CountSteps(files);
    ASSERT_GT(steps, 15) << "the run takes too few steps to prove anything";

    int killedBefore = 0;
    int killedAfter = 0;
    for (int at = 1; at <= steps + 1; ++at) {
        SCOPED_TRACE("killed at step " + std::to_string(at) + " of " + std::to_string(steps));
        Lay();
        EXPECT_EQ(KillRunAt(at), at <= steps ? 86 : 0) << "the kill did not fall where it was planned";

        // What the kill left: something to put back when a file is in
        // between or a temporary file of ours is there.
        bool leftSomething = false;
        bool allAfter = true;
        for (const Expected& f : files) {
            std::string now = Content(f.path);
            leftSomething = leftSomething || (now != f.before && now != f.after);
            allAfter = allAfter && now == f.after;
        }
        for (const std::string& name : dir_.Entries()) {
            // A temporary file: an export that did not take its place. (A
            // record alone, a backup beside the new file that took the
            // place, or an appended export's waiting lines once every file
            // is finished, changes none of the user's files.)
            leftSomething = leftSomething || (name.compare(0, 3, "qzv") == 0 && !allAfter);
        }

        // The next start.
        const bool unnamed = RecordUnnamed();
        *PosixFaultPlan() = PosixFaults();
        RepairReport report;
        RepairInit(&report);
        RepairFromPointers(&report);
        EXPECT_EQ(report.kept, 0u);
        bool allBefore = true;
        ExpectSettled(files, &allBefore, report, unnamed);
        // Told when there was something to put back; silent after a run
        // that finished.
        if (leftSomething) {
            EXPECT_TRUE(RepairDidSomething(&report)) << "the repair put files back without saying so";
        }
        if (at > steps) {
            EXPECT_FALSE(RepairDidSomething(&report)) << "nothing was left to put back, yet something is told";
        }
        (allBefore ? killedBefore : killedAfter) += 1;
    }
    printf("%s: %d steps; %d kills left every file as before, %d some as finished\n", GetParam().what, steps,
           killedBefore, killedAfter);
    EXPECT_GT(killedBefore, 0);
    EXPECT_GT(killedAfter, 0);
}

// The start that repairs is killed too, at each of its own steps: the start
// after it finishes the repair.
TEST_P(CrashMatrix, ARepairThatIsKilledIsFinishedByTheNextStart)
{
    const std::vector<Expected> files = Files();
    const int steps = CountSteps(files);
    int pairs = 0;
    std::set<std::string> seen;
    for (int at = 1; at <= steps; ++at) {
        Lay();
        KillRunAt(at);
        // Kills that leave the same kinds of files in the same states leave
        // the repair the same work: one of them is enough.
        std::string left;
        for (const std::string& name : dir_.Entries()) {
            left += name.compare(0, 2, "qz") == 0 ? name.substr(0, 3) : name;
            left += ' ';
        }
        for (const Expected& f : files) {
            std::string now = Content(f.path);
            left += now == f.before ? 'b' : now == f.after ? 'a' : now == "" ? 'e' : 'x';
        }
        if (!seen.insert(left).second) {
            continue;
        }
        // The repair's own steps, counted in a child of their own.
        int repairSteps = InChildKilledAt(0, [] {
            RepairReport report;
            RepairInit(&report);
            RepairFromPointers(&report);
            return PosixSteps() < 200 ? PosixSteps() : 200;
        });
        for (int k = 1; k < repairSteps; ++k) {
            SCOPED_TRACE("run killed at step " + std::to_string(at) + ", its repair at step " + std::to_string(k) +
                         " of " + std::to_string(repairSteps));
            Lay();
            KillRunAt(at);
            EXPECT_EQ(InChildKilledAt(k,
                                      [] {
                                          RepairReport report;
                                          RepairInit(&report);
                                          RepairFromPointers(&report);
                                          return 0;
                                      }),
                      86);
            *PosixFaultPlan() = PosixFaults();
            const bool unnamed = RecordUnnamed();
            RepairReport report;
            RepairInit(&report);
            RepairFromPointers(&report);
            bool allBefore = true;
            ExpectSettled(files, &allBefore, report, unnamed, true);
            ++pairs;
        }
    }
    printf("%s: %zu states a kill left, %d kills of their repairs\n", GetParam().what, seen.size(), pairs);
    EXPECT_GE(seen.size(), 4u);
    EXPECT_GT(pairs, 2 * static_cast<int>(seen.size()));
}

// A logger adds a line to errors.txt while the run reads the source (to a
// file the run made, found empty, rewrites or appends to), and the run is
// killed at each step: after the repair the line is in errors.txt, in the
// trash, or in a file the repair names; nothing of ours is left unnamed.
const char kLoggersLine[] = "2026-12-09 a logger's line\n";
std::string g_loggerRan;   // a file the logger leaves, to say it wrote
void LoggerAppends(void* path)
{
    WriteFile(g_loggerRan, "");
    int fd = open(static_cast<const char*>(path), O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, kLoggersLine, strlen(kLoggersLine)), static_cast<ssize_t>(strlen(kLoggersLine)));
    close(fd);
}

TEST_P(CrashMatrix, ALoggersLineInTheExportIsKeptAndToldAtAnyKill)
{
    ScratchDir marks;
    g_loggerRan = marks.File("ran");
    const std::string errors = dir_.File(GetParam().withPath);
    auto planLogger = [&] {
        PosixFaultPlan()->hook = LoggerAppends;
        PosixFaultPlan()->hookArg = const_cast<char*>(errors.c_str());
        PosixFaultPlan()->hookAtRead = 2;
    };
    Lay();
    *PosixFaultPlan() = PosixFaults();
    planLogger();
    ASSERT_EQ(RunStrip(&form_).failure, kRunSucceeded);
    const int steps = PosixSteps();
    for (int at = 1; at <= steps; ++at) {
        SCOPED_TRACE("killed at step " + std::to_string(at) + " of " + std::to_string(steps));
        Lay();
        unlink(g_loggerRan.c_str());
        InChildKilledAt(at, [&] {
            planLogger();
            RunStrip(&form_);
            return 0;
        });
        if (!FileExists(g_loggerRan)) {
            continue;   // killed before the logger wrote
        }
        *PosixFaultPlan() = PosixFaults();
        RepairReport report;
        RepairInit(&report);
        RepairFromPointers(&report);
        std::vector<std::string> places = {errors};
        for (uint32_t i = 0; i < report.kept && i < kRepairMostTold; ++i) {
            places.push_back(Utf16ToUtf8(report.keptPaths[i]));
        }
        for (const std::string& trashed : TrashedFiles()) {
            places.push_back(trashed);
        }
        bool kept = false;
        for (const std::string& place : places) {
            kept = kept || Content(place).find(kLoggersLine) != std::string::npos;
        }
        EXPECT_TRUE(kept) << "the logger's line is gone";
        for (const std::string& name : dir_.Entries()) {
            const bool ours = name != "log.txt" && name != GetParam().withPath && name != GetParam().withoutPath;
            EXPECT_TRUE(!ours || std::find(places.begin(), places.end(), dir_.File(name)) != places.end())
                << name << " is left without a word";
        }
    }
}

const Shape kShapes[] = {
    {"in place, errors to a new file", "", "errors.txt", false, false},
    {"in place, errors appended", "", "errors.txt", true, true},
    {"in place, errors file rewritten", "", "errors.txt", false, true},
    {"two new files", "rest.txt", "errors.txt", false, false},
};

std::string ShapeName(const testing::TestParamInfo<Shape>& info)
{
    const char* names[] = {"InPlaceAndNewExport", "InPlaceAndAppendedExport", "InPlaceAndRewrittenExport",
                           "TwoNewExports"};
    return names[info.index];
}

INSTANTIATE_TEST_SUITE_P(Shapes, CrashMatrix, testing::ValuesIn(kShapes), ShapeName);

}  // namespace
