// The test program's replace step: instead of ReplaceFileW, a stand-in that
// fails the way ReplaceFileW's documentation says it can, leaving the files
// as it says they are then left, for a planned number of calls.
#ifndef QUORVANE_REPLACE_STAND_IN_H
#define QUORVANE_REPLACE_STAND_IN_H

#include <windows.h>

struct ReplaceStandIn {
    // How a failing call leaves the files.
    enum Leaves {
        // Both files keep their names: ERROR_UNABLE_TO_REMOVE_REPLACED (1175),
        // ERROR_UNABLE_TO_MOVE_REPLACEMENT (1176) given a backup name, and
        // any failure that changes nothing.
        kNothingMoved,
        // As kNothingMoved, with a copy of the old file under the backup name.
        kBackupCopied,
        // The old file is gone and the new content is only in the replacement
        // (1176 as documented without a backup name).
        kOldFileRemoved,
        // The old file lives on under the backup name; the replacement keeps
        // its name, with the old file's attributes (1177).
        kOldFileAsBackup,
        // As kOldFileAsBackup, and then another program makes a file of its
        // own under the target's name, as a logger that opens the log for
        // each record (OPEN_ALWAYS) does, and writes a record to it
        // (kLoggerRecord).
        kOldFileAsBackupNameTaken,
        // The replace was done (the old file under the backup name, the new
        // one under the target's), and the call still reports a failure.
        kReplacedButFailed,
    };
    DWORD error = 0;            // the error a failing call reports
    Leaves leaves = kNothingMoved;
    int failures = 0;           // calls that fail; later ones run ReplaceFileW itself
    int calls = 0;              // calls so far
    bool stagingFailed = false; // the stand-in could not arrange the files as planned
    // Another program at work in the moment of the replace: called with the
    // target's path at the start of each call, before anything moves.
    void (*before)(const wchar_t* target) = nullptr;
    // And just after a call that ran ReplaceFileW itself and succeeded.
    void (*after)(const wchar_t* target) = nullptr;
};

// What the logger of kOldFileAsBackupNameTaken writes.
extern const char kLoggerRecord[];

// The plan in force: reset with *StandIn() = ReplaceStandIn().
ReplaceStandIn* StandIn();

#endif
