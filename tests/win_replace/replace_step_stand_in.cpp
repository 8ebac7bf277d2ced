// The replace step of the failure-state tests, in place of the real one:
// see replace_stand_in.h. Linked into that test program only.
#include "platform/win32/replace_step.h"
#include "tests/win_replace/replace_stand_in.h"

ReplaceStandIn* StandIn()
{
    static ReplaceStandIn plan;
    return &plan;
}

bool PlatformReplaceStep(const wchar_t* target, const wchar_t* replacement, const wchar_t* backup)
{
    ReplaceStandIn* plan = StandIn();
    if (++plan->calls > plan->failures) {
        return ReplaceFileW(target, replacement, backup, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) != FALSE;
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
                 (plan->leaves == ReplaceStandIn::kOldFileAsBackup || CreateDirectoryW(target, nullptr));
        break;
    case ReplaceStandIn::kReplacedButFailed:
        staged = ReplaceFileW(target, replacement, backup, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) != FALSE;
        break;
    }
    plan->stagingFailed = plan->stagingFailed || !staged;
    SetLastError(plan->error);
    return false;
}
