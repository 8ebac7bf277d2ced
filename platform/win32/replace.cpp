// The replace on Windows: ReplaceFileW, and whatever state it leaves when
// it fails half way.

#include "platform/win32/win32_shared.h"

using namespace win32_platform;

namespace {

// After the move: the target's name holds the new file, the backup name the
// old one, which goes unless the caller keeps it.
ReplaceResult AfterTheMove(const FormChar* target, FormChar* backup, const FileIdentity& oldFile,
                           const FileIdentity& newFile, bool keepOld)
{
    if (WhatNameHolds(target, oldFile, newFile) != kNameHoldsNew) {
        // Taken by another program already: keep everything.
        return kReplaceKeptBoth;
    }
    switch (WhatNameHolds(backup, oldFile, newFile)) {
    case kNameFree:
        // The replace left no old file.
        backup[0] = 0;
        return kReplaced;
    case kNameHoldsOld:
        if (!keepOld) {
            RemoveFile(backup);
        }
        return kReplaced;
    default:
        // Another file under the backup name: not ours to touch.
        return kReplaced;
    }
}

// After a failed replace step, whatever it left: the target under its own
// name with its old bytes or its new ones. ReplaceFileW documents three
// states besides "nothing changed":
//   ERROR_UNABLE_TO_REMOVE_REPLACED (1175): both files keep their names;
//   ERROR_UNABLE_TO_MOVE_REPLACEMENT (1176): with a backup name, both keep
//     their names; without one, the old file is gone and the new content is
//     only in the temporary file;
//   ERROR_UNABLE_TO_MOVE_REPLACEMENT_2 (1177): the old file lives on under
//     the backup name, the new one under the temporary name.
// Which state this is, whatever the error code, is told by which file each
// name holds, by identity: in that last state another program may have made
// a file of its own under the target's name meanwhile (a logger that opens
// the log for each line it adds), which is neither of ours.
ReplaceResult RecoverFromFailedReplace(const FormChar* target, const FormChar* temp, FormChar* backup,
                                       DWORD attributes, const FileIdentity& oldFile, const FileIdentity& newFile,
                                       bool keepOld)
{
    DWORD error = GetLastError();
    switch (WhatNameHolds(target, oldFile, newFile)) {
    case kNameHoldsNew:
        // The new file made it in after all.
        KeepAttributes(target, attributes);
        return AfterTheMove(target, backup, oldFile, newFile, keepOld);
    case kNameHoldsOld:
        // Whatever the backup name holds is a copy the replace made.
        if (WhatNameHolds(backup, oldFile, newFile) == kNameHoldsOther) {
            RemoveFile(backup);
        }
        SetLastError(error);
        return kReplaceKeptOld;
    case kNameFree:
        // The old file back under its name; when the replace left none, the
        // new one is all there is.
        if (WhatNameHolds(backup, oldFile, newFile) == kNameHoldsOld) {
            if (MoveToFreeName(backup, target)) {
                SetLastError(error);
                return kReplaceKeptOld;
            }
        } else if (WhatNameHolds(temp, oldFile, newFile) == kNameHoldsNew && MoveToFreeName(temp, target)) {
            KeepAttributes(target, attributes);
            return AfterTheMove(target, backup, oldFile, newFile, keepOld);
        }
        break;
    case kNameHoldsOther:
        break;
    }
    // Another program's file under the target's name, or neither file could
    // go back: the new content stays in the temporary file and the old in
    // the backup, both kept, and the other program's file is not touched.
    SetLastError(error);
    return kReplaceKeptBoth;
}


}  // namespace

ReplaceResult PlatformReplace(const FormChar* target, const FormChar* temp, FormChar* backup, uint32_t how,
                              FileIdentity* replaced)
{
    *replaced = FileIdentity{0, 0};
    FormChar full[kTempPathCapacity];
    if (!FullPath(target, full, kTempPathCapacity) || (backup[0] == 0 && !FreeNameBeside(full, backup))) {
        backup[0] = 0;
        return kReplaceKeptOld;
    }
    DWORD attributes = GetFileAttributesW(full);
    // Which file is which, taken before anything moves: every decision
    // after the step goes by these.
    FileIdentity oldFile;
    FileIdentity newFile;
    if (!IdentityOf(full, &oldFile) || !IdentityOf(temp, &newFile)) {
        return kReplaceKeptOld;
    }
    *replaced = oldFile;
    const bool keepOld = (how & kReplaceKeepOld) != 0;
    if (!Retried([&] { return PlatformReplaceStep(full, temp, backup); })) {
        return RecoverFromFailedReplace(full, temp, backup, attributes, oldFile, newFile, keepOld);
    }
    KeepAttributes(full, attributes);
    return AfterTheMove(full, backup, oldFile, newFile, keepOld);
}

bool PlatformRenameOver(const FormChar* from, const FormChar* to)
{
    return Retried([&] { return MoveFileExW(from, to, MOVEFILE_REPLACE_EXISTING) != FALSE; });
}

void PlatformSleep(uint32_t milliseconds)
{
    Sleep(milliseconds);
}

bool PlatformReadAloneExcludesWriters()
{
    return true;
}
