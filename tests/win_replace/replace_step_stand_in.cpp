// The replace step of the failure-state tests, in place of the real one:
// see replace_stand_in.h. Linked into that test program only.
#include "platform/win32/replace_step.h"
#include "tests/win_replace/replace_stand_in.h"

const char kLoggerRecord[] = "2026-12-09 a logger's record\r\n";

namespace {

// A logger's way with its log: opened for each record, made if missing.
bool LogARecord(const wchar_t* path)
{
    HANDLE log = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (log == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD put = 0;
    DWORD length = static_cast<DWORD>(sizeof kLoggerRecord - 1);
    bool ok = WriteFile(log, kLoggerRecord, length, &put, nullptr) && put == length;
    return CloseHandle(log) && ok;
}

}  // namespace

ReplaceStandIn* StandIn()
{
    static ReplaceStandIn plan;
    return &plan;
}

bool PlatformReplaceStep(const wchar_t* target, const wchar_t* replacement, const wchar_t* backup)
{
    ReplaceStandIn* plan = StandIn();
    if (plan->before != nullptr) {
        plan->before(target);
    }
    if (++plan->calls > plan->failures) {
        bool replaced =
            ReplaceFileW(target, replacement, backup, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) != FALSE;
        if (replaced && plan->after != nullptr) {
            plan->after(target);
        }
        return replaced;
    }
    bool staged = true;
    switch (plan->leaves) {
    case ReplaceStandIn::kNothingMoved:
        break;
    case ReplaceStandIn::kBackupCopied:
        staged = CopyFileW(target, backup, TRUE) != FALSE;
        break;
    case ReplaceStandIn::kOldFileRemoved:
        staged = DeleteFileW(target) != FALSE;
        break;
    case ReplaceStandIn::kOldFileAsBackup:
    case ReplaceStandIn::kOldFileAsBackupNameTaken:
        staged = SetFileAttributesW(replacement, GetFileAttributesW(target)) &&
                 MoveFileExW(target, backup, 0) &&
                 (plan->leaves == ReplaceStandIn::kOldFileAsBackup || LogARecord(target));
        break;
    case ReplaceStandIn::kReplacedButFailed:
        staged = ReplaceFileW(target, replacement, backup, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) != FALSE;
        break;
    }
    plan->stagingFailed = plan->stagingFailed || !staged;
    SetLastError(plan->error);
    return false;
}
