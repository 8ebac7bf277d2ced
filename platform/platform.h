// The few operations the line filter needs from the system it runs on.
//
// Two implementations exist: platform/win32/ (the real program) and
// platform/posix/ (native tests and benchmarks). The filter calls nothing else,
// so this header is also the whole list of what it can do to the outside world.
#ifndef QUORVANE_PLATFORM_H
#define QUORVANE_PLATFORM_H

#include <stddef.h>
#include <stdint.h>

#include "platform/content_sum.h"

#if defined(_WIN32)
typedef wchar_t FormChar;     // UTF-16, as the dialog's controls hold it
#else
typedef char16_t FormChar;    // UTF-16, as the plain-struct form holds it
#endif

// The form a run reads: the dialog window on Windows, a PosixForm* on POSIX.
typedef void* FormHandle;
// An open file; nullptr means none.
typedef void* FileHandle;

// Longest path a form field may hold, terminator included.
enum { kPathCapacity = 260 };
// Room for a path as the file system names it (PlatformClaimedPath): longer
// than a typed one, since short names grow to long ones and a name too long
// for the classic limit keeps the "\\?\" prefix, terminator included.
enum { kLongPathCapacity = 1024 };
// Room for a temporary file's path made beside a target of up to
// kLongPathCapacity characters.
enum { kTempPathCapacity = kLongPathCapacity + 16 };

// Raised by another thread to ask a run to stop. A run reads it between its
// steps and while it waits for a file that is held for a moment.
typedef volatile uint32_t StopFlag;
inline bool StopRaised(const StopFlag* stop)
{
    return stop != nullptr && __atomic_load_n(stop, __ATOMIC_ACQUIRE) != 0;
}
inline void RaiseStop(StopFlag* stop)
{
    __atomic_store_n(stop, 1u, __ATOMIC_RELEASE);
}

// ---- Errors --------------------------------------------------------------
// The system's code for why the calling thread's last failed operation
// failed (GetLastError on Windows, errno on POSIX); 0 when it gave none.
// Read it right after the failure: later calls may change it.
uint32_t PlatformLastError();

// ---- Form ----------------------------------------------------------------
// Reads a control's text (WM_GETTEXT): at most limit - 1 characters and a
// terminator. Returns the number of characters copied.
uint32_t PlatformReadField(FormHandle form, int id, FormChar* buffer, uint32_t limit);
// Length of a control's whole text (WM_GETTEXTLENGTH), to tell a field that
// would be cut by the read limit.
uint32_t PlatformFieldLength(FormHandle form, int id);
// True when a check box is checked (BM_GETCHECK non-zero).
bool PlatformIsChecked(FormHandle form, int id);

// ---- Text ----------------------------------------------------------------
// Upper-cases a zero-terminated text in place (CharUpperW).
void PlatformUpperCase(FormChar* text);
// Converts a zero-terminated text, terminator included, to the ANSI code
// page (WideCharToMultiByte, CP_ACP, with no best-fit look-alikes). False
// when it does not fit or fails. *held is false when the code page cannot
// hold some character of the text: the default character stood in for it,
// and out holds no text worth searching for.
bool PlatformToAnsi(const FormChar* text, char* out, uint32_t outCapacity, bool* held);
// The platform's own line test (StrStrA / StrStrIA): true when the
// zero-terminated line contains the zero-terminated needle.
bool PlatformLineContains(const char* line, const char* needle, bool ignoreCase);
// The same for UTF-16 text (StrStrW / StrStrIW): true when the
// zero-terminated line contains the zero-terminated needle, compared unit by
// unit, or ignoring case by the platform's rules.
bool PlatformWideLineContains(const FormChar* line, const FormChar* needle, bool ignoreCase);
// The plain letter a precomposed one is made of (U+00E9 'é': 'e'), when its
// canonical decomposition is that letter and combining marks alone
// (FoldStringW, MAP_COMPOSITE); 0 for any other unit.
FormChar PlatformBaseLetter(FormChar unit);

// A character that no part of a text holding it can match a needle of
// plain units at (a tab or printable ASCII), by the platform's search,
// ignoring case or not: its weight
// is that of no plain unit, it is not ignored, and it does not stand for
// more than one character. CJK ideographs, kana letters and Hangul
// syllables: the bulk of Chinese, Japanese and Korean text. Only the
// ideographs of Unicode 3.0 (U+4E00 to U+9FA5, U+3400 to U+4DB5): a
// platform whose tables are older than a later one ignores it (Wine gives
// U+9FCC to U+9FFF and U+4DB6 to U+4DBF no weight). The parts of a line
// between such characters are judged by themselves, so a needle
// of any length costs no more than the characters around it.
// Also the ideographic comma and full stop and the corner brackets, the
// punctuation of that text.
inline bool IsBarrierCharacter(uint32_t c)
{
    if (c < 0x3001) {
        return false;   // letters and marks of the alphabets: one test
    }
    return (c >= 0x4E00 && c <= 0x9FA5) || (c >= 0x3400 && c <= 0x4DB5) || (c >= 0x3041 && c <= 0x3096) ||
           (c >= 0x30A1 && c <= 0x30FA) || (c >= 0xAC00 && c <= 0xD7A3) || c == 0x3001 || c == 0x3002 ||
           (c >= 0x300C && c <= 0x300F);
}

// A character (or UTF-16 unit) that may join the one before it: a
// combining mark, a variation selector, a zero-width joiner, or a tag or
// supplementary variation selector (U+E0000 to U+E0FFF, whose UTF-16 form
// starts with 0xDB40 to 0xDB43). A plain character with none of them after
// it stands alone.
inline bool MayJoinPrevious(uint32_t c)
{
    if (c < 0x0300) {
        return false;   // most text: one test
    }
    return (c >= 0x0300 && c <= 0x036F) || (c >= 0x1AB0 && c <= 0x1AFF) || (c >= 0x1DC0 && c <= 0x1DFF) ||
           (c >= 0x200C && c <= 0x200D) || (c >= 0x20D0 && c <= 0x20FF) || (c >= 0xFE00 && c <= 0xFE0F) ||
           (c >= 0xFE20 && c <= 0xFE2F) || (c >= 0xDB40 && c <= 0xDB43) || (c >= 0xE0000 && c <= 0xE0FFF);
}

// How the ANSI code page's text is walked and compared, so the filter can
// search a whole block at once and still agree with PlatformLineContains.
//
// The platform's search may compare text by the locale's rules rather than
// byte by byte (on Windows, different bytes can compare equal). A byte is
// "plain" when it compares equal to itself only, and, ignoring case, to the
// bytes of the same fold value only: on a line made of plain bytes, with a
// needle made of plain bytes, a byte search on character boundaries gives
// exactly the platform's answer. Lines with other bytes go to the platform.
struct TextRules {
    // Non-zero where a byte starts a double-byte character.
    unsigned char leadByte[256];
    // Non-zero where a byte is plain.
    unsigned char plain[256];
    // Case folding for the ignore-case search, valid on plain bytes.
    unsigned char fold[256];
    bool hasLeadBytes;
    // True when every byte is plain: the platform is never asked.
    bool allPlain;
    // The code page is UTF-8 (65001): its search already reads every line
    // as UTF-8.
    bool utf8CodePage;
    // Double-byte characters that stand for a CJK ideograph, a kana letter
    // or a Hangul syllable (one bit a lead and trail byte pair, lead * 256 +
    // trail): no part of a text holding one matches a needle of plain
    // bytes by the platform's search, ignoring case or not. hasBarriers is
    // false where the code page has none.
    unsigned char barrierPair[8192];
    bool hasBarriers;
    // Of those, the ones that stand for a unified CJK ideograph: a
    // character no other compares equal to but itself (the needle holding
    // none of the compatibility ideographs that may).
    unsigned char ideographPair[8192];
    // Double-byte sequences the search reads as one character that stands
    // for at most one plain one: a plain character (in code page 950 a lead
    // byte with a byte that trails none of its characters reads as '?') or
    // a private-use one (the code page's end-user-defined characters),
    // which stands for no letters. A span of a line holding one whole, and
    // beside it plain characters alone, compares as fewer characters than
    // it has bytes: never equal to a needle of as many plain bytes.
    unsigned char shortPair[8192];
    // Non-zero where a lead byte alone, the last byte of what the search
    // compares, reads as one character that stands for at most one plain
    // one (in code page 950 it reads as '?').
    unsigned char shortLoneLead[256];
    // The plain byte a lead byte alone reads as there, 0 when it is none.
    unsigned char loneLeadPlain[256];
    // Non-zero where a byte that leads no pair reads as one character that
    // stands for at most one plain one (a plain, control or private-use
    // character).
    unsigned char narrowByte[256];
    // For a byte that leads no pair: the plain letter it is made of, when
    // it reads as a letter with marks (PlatformBaseLetter; 0xE9, 'é' in
    // 1252: 'e'), else 0; and whether it reads as a character that may join
    // the one before it (a combining mark, in 1258 say).
    unsigned char baseLetter[256];
    unsigned char joinsPrevious[256];
};
inline bool IsIdeographPair(const TextRules* rules, unsigned char lead, unsigned char trail)
{
    unsigned pair = static_cast<unsigned>(lead) << 8 | trail;
    return rules->hasBarriers && (rules->ideographPair[pair >> 3] >> (pair & 7) & 1) != 0;
}
inline bool IsUnifiedIdeograph(uint32_t c)
{
    return (c >= 0x4E00 && c <= 0x9FA5) || (c >= 0x3400 && c <= 0x4DB5);
}
inline bool IsBarrierPair(const TextRules* rules, unsigned char lead, unsigned char trail)
{
    unsigned pair = static_cast<unsigned>(lead) << 8 | trail;
    return rules->hasBarriers && (rules->barrierPair[pair >> 3] >> (pair & 7) & 1) != 0;
}
void PlatformGetTextRules(TextRules* rules);

// ---- Memory --------------------------------------------------------------
// A zero-filled block, or nullptr.
void* PlatformAllocZeroed(uint64_t size);
void PlatformFree(void* block);
// A block of size bytes that begins with the first keep bytes of block (one
// PlatformAllocZeroed or PlatformGrow gave), the rest unspecified; block is
// gone then. On POSIX a large block grows where it lies, its pages moved,
// not copied. nullptr when no memory is to be had: block stays as it was.
void* PlatformGrow(void* block, uint64_t keep, uint64_t size);

// ---- Files ---------------------------------------------------------------
// Opens an existing file to read from start to end, sharing read and write.
FileHandle PlatformOpenSource(const FormChar* path);
// The file's whole size, 64 bits.
bool PlatformFileSize(FileHandle file, uint64_t* size);
// One read call of at most count bytes; *got receives what was read.
bool PlatformRead(FileHandle file, void* buffer, uint32_t count, uint32_t* got);
// Claims an export without truncating it: read and write access (its first
// bytes tell its encoding), shared for reading only, so that the open source does not block it (nor a program that only
// reads it, a virus scanner say) while a second claim of the same file, by
// any spelling, fails, since both want write access; the file created if
// missing. *created tells whether this call created it. On Windows a file
// held open for a moment by another program is tried again, as in
// PlatformCreateTempBeside.
//
// A claim with shareWrites (an export that is rewritten, not appended to:
// its lines go to a temporary file) shares writing too, so that a program
// that adds lines to the file meanwhile, a logger, goes on doing so; the
// replace then sees what it wrote. Two such claims of one file do not
// exclude each other: the caller asks PlatformSameFile first.
FileHandle PlatformClaimTarget(const FormChar* path, bool* created, const StopFlag* stop = nullptr,
                               bool shareWrites = false);
// Makes path (of capacity characters) full, as the system resolves it
// against the current folder, links not followed. False when the full path
// does not fit (path unchanged).
bool PlatformFullPath(FormChar* path, uint32_t capacity);
// Replaces path, which named the claimed file when it was claimed, with the
// path of the file the claim holds, named as the file system names it: the
// stored letter case and long names (not the short 8.3 ones) on Windows, the
// real path behind any symbolic link on POSIX. A rewrite must replace that
// file, so that the user's file keeps its own name and a link stays a link.
// Up to capacity characters with the terminator; false leaves path as it was.
// Any open file will do: the run also names its source this way.
bool PlatformClaimedPath(FileHandle claim, FormChar* path, uint32_t capacity);
// True when path names the very file that claim holds, whatever its
// spelling: the other export of the run holds it.
bool PlatformSameFile(FileHandle claim, const FormChar* path);
// What tells that another program wrote a file: its size and the time of
// its last write.
struct FileStamp {
    uint64_t size;
    uint64_t writeTime;
};
bool PlatformStamp(const FormChar* path, FileStamp* stamp);
// The same of an open file.
bool PlatformStampOf(FileHandle file, FileStamp* stamp);
inline bool SameStamp(const FileStamp& a, const FileStamp& b)
{
    return a.size == b.size && a.writeTime == b.writeTime;
}
// Which file a name or a handle holds, whatever its spelling and whoever
// holds it open: the volume and the file's index (GetFileInformationByHandle
// on Windows, st_dev and st_ino on POSIX).
struct FileIdentity {
    uint64_t volume;
    uint64_t index;
};
inline bool SameIdentity(const FileIdentity& a, const FileIdentity& b)
{
    return a.volume == b.volume && a.index == b.index;
}
// Reads up to count bytes from the start of a file opened with read access
// (a claim), whatever its position; *got receives how many. The position
// afterwards is unspecified.
bool PlatformReadHead(FileHandle file, void* buffer, uint32_t count, uint32_t* got);
// Moves to the end of the file, 64 bits.
bool PlatformSeekEnd(FileHandle file);
// Writes all count bytes; false when any part of the write fails.
bool PlatformWrite(FileHandle file, const void* bytes, uint32_t count);
// Cuts the file back to size bytes.
bool PlatformTruncate(FileHandle file, uint64_t size);
// Flushes written data to the disk.
bool PlatformFlush(FileHandle file);
// Closes a file (none is fine). False when the system reports a failure:
// data it had still to write (a network share, a removable disk) did not
// reach the file.
bool PlatformClose(FileHandle file);
// Creates a new, empty, unshared file in the same directory as target and
// returns it; its path goes to tempPath (kTempPathCapacity characters), or,
// when tempPath is not empty on entry, it is created under that name, which
// no file may hold (PlatformNameBeside). On
// Windows a file held open for a moment by another program (a sharing or
// lock violation, or access denied) is tried again, a little over a second
// in all, unless stop is raised meanwhile.
FileHandle PlatformCreateTempBeside(const FormChar* target, FormChar* tempPath, const StopFlag* stop);
// What a replace did.
enum ReplaceResult {
    // The temporary file is the target now; with kReplaceKeepOld, the old
    // file is under the backup name (given back in backup).
    kReplaced,
    // The target holds its old bytes under its own name; the temporary file
    // is still there, for the caller to remove.
    kReplaceKeptOld,
    // Neither file could be put back under the target's name (or another
    // program's file took it): the new bytes are in the temporary file (or
    // under the target's name, when they got there), the old ones in the
    // backup (its path in backup), both kept for the user.
    kReplaceKeptBoth,
};
// How a replace is asked for (flags).
enum ReplaceHow {
    // The new name is on the disk when the call returns (where the system
    // needs a step of its own for it); spared where a lost rename loses
    // nothing.
    kReplaceDurable = 1,
    // The old file stays under the backup name when the replace is done, for
    // the caller to look at and put away.
    kReplaceKeepOld = 2,
    // Another program may be writing to the target by its name (a logger):
    // the name is not left free for a moment, so that what it writes lands
    // in the old file or the new one, never in a third. (On POSIX the old
    // file keeps a second name meanwhile, and a volume without second names
    // refuses the replace; on Windows ReplaceFileW moves both in one call,
    // and only a call that fails half way leaves the name free, when
    // another program's file under it is then kept, never replaced.)
    kReplaceWatched = 4,
};
// Puts the temporary file in the target's place, keeping the target's
// attributes. Both must be closed. The old file is moved to a backup beside
// the target first; every decision after that is taken by which file each
// name holds (the old file's and the new file's identities, taken before
// the move), never by what some file under the name looks like.
//
// On Windows the replace may fail half way; whatever state it leaves, the
// target ends under its own name with its old bytes or its new ones, and a
// temporary or backup file is removed only then; the one exception is
// kReplaceKeptBoth. A target held open for a moment by another program is
// tried again, as in PlatformCreateTempBeside. backup holds
// kTempPathCapacity characters; when it is not empty on entry, it is the
// backup's name, chosen ahead (PlatformNameBeside) so that a record can name
// it before the replace. how is a set of ReplaceHow flags. *old receives
// which file the target held when it was moved (it may no longer be the one
// the caller claimed: another program may have put a file of its own there).
ReplaceResult PlatformReplace(const FormChar* target, const FormChar* temp, FormChar* backup, uint32_t how,
                              FileIdentity* old);
// Renames a file over another, which it replaces (the old file put back in
// its place). On Windows a file held open for a moment is tried again.
bool PlatformRenameOver(const FormChar* from, const FormChar* to);
// Waits a moment, for another program to finish what it writes.
void PlatformSleep(uint32_t milliseconds);
// True where a file opened kOpenToReadAlone can be written by no other
// program while it is so held (Windows): what it holds then is all it will.
bool PlatformReadAloneExcludesWriters();
// Removes a file. On Windows a file held open for a moment is tried again,
// as in PlatformCreateTempBeside.
void PlatformDelete(const FormChar* path);
// Removes the file path names when it is empty and (unless identity is
// null) the file of that identity, with no other program's write between
// the look and the removal (on Windows it is held sharing reading alone
// meanwhile: a program that holds it open to write keeps it). True when it
// was removed.
bool PlatformDeleteIfEmpty(const FormChar* path, const FileIdentity* identity);

// ---- What a run leaves for the next start ----------------------------------
bool PlatformIdentity(FileHandle file, FileIdentity* identity);
// False when the name holds no file that can be asked.
bool PlatformIdentityAt(const FormChar* path, FileIdentity* identity);
// Sets the file's last-write time to one PlatformStamp gave.
bool PlatformSetWriteTime(FileHandle file, uint64_t writeTime);
// Moves to the given offset from the start, 64 bits.
bool PlatformSeekTo(FileHandle file, uint64_t offset);
// A name beside target (in its folder) that no file holds now:
// "qz<kind><four hex digits>.tmp" (kTempPathCapacity characters). kind is
// 'v' for a new content, 'b' for a backup of an old one, 'r' for a run's
// record. A target that ends with a separator is a folder: the name goes in
// it. PlatformCreateTempBeside creates a temporary file under such a name
// when tempPath is not empty, and PlatformReplace takes a backup's name
// given that way.
// Names chosen for one run but not made yet are told apart by slot (0 to
// 15): each slot starts its search at its own sixteenth of the numbers.
bool PlatformNameBeside(const FormChar* target, FormChar kind, uint32_t slot, FormChar* name);
// Opens a file for reading and writing: kOpenRecordNew creates it (it must
// not exist) and kOpenRecordExisting opens it, both held so that no other
// program or thread can open it meanwhile (the run's record: one that is
// held belongs to a run going on); kOpenToMend opens an existing file,
// sharing it, to cut it back; kOpenToAppend opens an existing file, sharing
// it, so that every write lands at its end, whoever else writes there;
// kOpenToReadAlone opens an existing file to read, on Windows held so that
// no other program can write to it meanwhile (one that holds it open
// already makes the open fail).
enum OpenMode { kOpenRecordNew, kOpenRecordExisting, kOpenToMend, kOpenToAppend, kOpenToReadAlone };
FileHandle PlatformOpenFile(const FormChar* path, OpenMode mode);
// Renames a file to a name no file holds; false when the name is taken.
bool PlatformRenameToFree(const FormChar* from, const FormChar* to);
// Gives a file a second name in its folder (a hard link); false where the
// volume has no such names (FAT) or the name is taken.
bool PlatformLinkBeside(const FormChar* existing, const FormChar* to);
// How many names the file under path has; 0 when it cannot be asked.
uint32_t PlatformNameCount(const FormChar* path);
// Moves a file to its volume's Recycle Bin (on POSIX the user's trash,
// as the desktop keeps it), from where the user can put it back in its
// folder; no dialog of the system's is shown. True when the system said it
// did. Where the volume has no bin, or the file is too big for it, the
// system may remove the file instead: the caller keeps a second name.
bool PlatformRecycle(const FormChar* path);
// The folder of this user's own where a run leaves the pointer to its
// record, ended with a separator and created if missing
// (%LOCALAPPDATA%\Quorvane\ on Windows; on POSIX quorvane-<uid> in the
// temporary folder, made private, and refused when another user owns it or
// others may write to it).
bool PlatformStateFolder(FormChar* folder, uint32_t capacity);
// Calls found(arg, path) for each file named exactly "qz<kind>XXXX.tmp",
// four upper-case hex digits, beside target (in its folder, or in it when it
// ends with a separator), at most limit of them.
typedef void (*FoundFile)(void* arg, const FormChar* path);
void PlatformListBeside(const FormChar* target, FormChar kind, uint32_t limit, FoundFile found, void* arg);
// Fills count bytes with values no one else can foresee (a key).
void PlatformRandom(void* bytes, uint32_t count);

#endif
