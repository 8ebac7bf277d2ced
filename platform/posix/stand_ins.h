// What the POSIX platform stands in for, set by the tests and the benchmark:
// the form (a plain struct where the dialog stands on Windows; pass its
// address as FormHandle), the faults a test plans, a locale's collation and
// a code page that cannot hold every character.
#ifndef QUORVANE_POSIX_STAND_INS_H
#define QUORVANE_POSIX_STAND_INS_H

#include <string>

#include "platform/platform.h"
#include "resources/resource_ids.h"

struct PosixForm {
    static const int kSlots = 32;          // control identifiers 0..31
    std::u16string text[kSlots];           // edit fields, UTF-16
    bool checked[kSlots] = {};             // check boxes

    // Sets a field from UTF-8 text.
    void SetText(int id, const std::string& utf8);
    void SetCheck(int id, bool on) { checked[id] = on; }
};

// Faults the POSIX platform can be told to inject, for tests of the promise
// that a failing run leaves every file as it was. Each field's default means
// "no fault": zero, or -1 for failWriteAfter.
struct PosixFaults {
    int failAllocation = 0;       // every allocation fails
    int failAllocationAt = 0;     // the allocation of this number (from 1) fails
    int shortRead = 0;            // reads return fewer bytes than asked
    int failReadCall = 0;         // read calls fail
    int failReadAt = 0;           // the read call of this number (from 1) fails
    int shortReadAt = 0;          // the read call of this number (from 1) comes up one byte short
    long long failWriteAfter = -1;// writes fail once this many bytes were written in total
    int failTempCreate = 0;       // no temporary file can be made
    int failReplace = 0;          // every replace fails
    int failReplaceAt = 0;        // the replace of this number (from 1) fails
    int failFlush = 0;            // flush fails
    int failFlushAt = 0;          // the flush of this number (from 1) fails
    int failClaimedPath = 0;      // the claimed file's real path cannot be had
    int failIdentityAt = 0;       // the identity of a held file asked of this number (from 1) cannot be had
    int failClaimAt = 0;          // the claim of this number (from 1) fails, as a file held by another program
    int failCloseAfterWrite = 0;  // closing a file written to fails (EIO), as a delayed write that did not land
    int failAppendedClose = 0;    // closing an export claimed to append, once written to, fails so
    int failReadHead = 0;         // reading a claimed file's first bytes fails
    int failSeekAt = 0;           // the move of this number (from 1) to an offset in a file fails
    int failLink = 0;             // no file can have a second name (a volume without hard links)
    int failRecycle = 0;          // the trash refuses the file, which stays
    int recycleRemoves = 0;       // the trash removes the file instead, as a bin too small for it

    // Stands for the user pressing Escape at a given moment: stop is raised
    // at the read call, the flush or the replace of the given number.
    StopFlag* stop = nullptr;
    int stopAtRead = 0;
    int stopAtFlush = 0;
    int stopAtReplace = 0;
    // ... or at the platform's line search (PlatformLineContains or
    // PlatformWideLineContains, counted together) of the given number.
    int stopAtSearch = 0;

    // Stands for another program at work meanwhile: hook(hookArg) is called
    // at the read call of the given number, at the move to an offset of the
    // given number, and inside the replace of the given number, after its
    // checks and before the file is moved.
    void (*hook)(void*) = nullptr;
    void* hookArg = nullptr;
    int hookAtRead = 0;
    int hookAtSeek = 0;
    int hookAtReplace = 0;
    // ... and at the platform's wait of the given number (PlatformSleep: a
    // half-written line another program is still writing, waited for).
    int hookAtSleep = 0;
    // Called with hookArg inside the replace of number afterMoveAt, once
    // the new file has the target's name and the old one its backup name
    // (where files have no second names: once the old one has left the
    // target's name, before the new one takes it).
    void (*afterMove)(void*) = nullptr;
    int afterMoveAt = 0;

    // Stands for the process being killed or the power failing: the process
    // ends at once (_exit, nothing flushed or closed by the run) when it is
    // about to take the step of this number (from 1). A step is each call
    // that reads, writes, flushes, creates, renames, cuts back or removes a
    // file, and each move inside a replace.
    int killAtStep = 0;
};
// The faults in force for the calling thread; reset with *PosixFaultPlan() = {}.
// Also restarts the counts of bytes written, reads and allocations.
PosixFaults* PosixFaultPlan();
// Read calls, allocations and substring searches (PlatformLineContains)
// made since the last PosixFaultPlan().
int PosixReadCalls();
int PosixAllocations();
int PosixLineSearches();
// Steps (see killAtStep) taken since the last PosixFaultPlan().
int PosixSteps();
// The folder PlatformStateFolder gives on this thread, ended with '/'
// (tests give each run a folder of its own); empty for the default.
void PosixSetStateFolder(const std::string& folder);
// The trash PlatformRecycle moves files to on this thread (tests give each
// run one of their own); empty for the desktop's ($XDG_DATA_HOME/Trash).
void PosixSetTrashFolder(const std::string& folder);
// Wide substring searches (PlatformWideLineContains) made since then.
int PosixWideLineSearches();

// A stand-in for a locale's collation, so that the lines the platform must
// judge are judged natively too: while set for the calling thread, the
// substring search takes each byte `from` as the byte `as` (then folds case
// when ignoring it), and PlatformGetTextRules marks every `from` byte not
// plain. The `as` bytes stay plain: among plain bytes the search still
// compares byte by byte. Neither byte may be zero. Off with
// *PosixCollationPlan() = {}.
struct PosixCollation {
    struct Alike {
        unsigned char from;
        unsigned char as;
    };
    Alike alike[4] = {};   // a zero `from` ends the list
};
PosixCollation* PosixCollationPlan();

// A stand-in for a code page that cannot hold every character: while
// asciiOnly is set for the calling thread, PlatformToAnsi holds ASCII only
// and reports any other character as not held (the code page's own text,
// the bytes of a source, stays UTF-8). Off with *PosixCodePagePlan() = {}.
struct PosixCodePage {
    bool asciiOnly = false;
};
PosixCodePage* PosixCodePagePlan();

// UTF-8 <-> UTF-16 helpers shared by the POSIX side and the tests.
std::u16string Utf8ToUtf16(const std::string& utf8);
std::string Utf16ToUtf8(const char16_t* text);

#endif
