// The strip run: reads the form, streams the source through the line pass
// into the exports, and puts each export in place only when the whole run
// succeeded.
//
// Every switched-on export is claimed first: opened for writing, sharing
// only reading, so that the open source does not stand in the way while the
// same file cannot be claimed twice in one run, whatever spelling names it.
// An export in rewrite mode is never truncated in place: its lines go to a
// temporary file beside it, which replaces it once every line of the run was
// read and written. Until then the export, which may be the source itself,
// keeps its old bytes. An export in append mode receives its lines while the
// source is still being read; when the run fails it is cut back to the
// length it had, so a run is all or nothing for every export.

#include "filter/filter.h"
#include "filter/line_sink.h"
#include "filter/read_window.h"
#include "filter/route_lines.h"
#include "resources/resource_ids.h"

namespace {

// Search text as read from the form: up to 255 UTF-16 units.
const uint32_t kSearchCapacity = 256;
// Its ANSI form: up to three bytes a unit, and the terminator.
const uint32_t kNeedleCapacity = (kSearchCapacity - 1) * 3 + 1;
// Each export's output buffer.
const uint32_t kSinkCapacity = 1u << 18;
// The read window; it grows only for a line longer than itself.
const uint64_t kWindowCapacity = 1u << 20;

struct Export {
    FileHandle claim;     // the export file itself, held for the whole run
    FileHandle output;    // where lines go: the claim (append) or a temporary file
    bool created;         // the claim created the file
    bool append;
    bool hadContent;
    uint64_t oldSize;     // the file's length when claimed
    FormChar path[kLongPathCapacity];   // as typed, then as the file system names the claimed file
    FormChar tempPath[kTempPathCapacity];
};

// Reads a path field. False when it is empty or longer than a path may be:
// a path cut at the limit could name another, existing file.
bool ReadPath(FormHandle form, int id, FormChar* path)
{
    if (PlatformFieldLength(form, id) >= kPathCapacity) {
        return false;
    }
    return PlatformReadField(form, id, path, kPathCapacity) > 0;
}

bool PathTooLong(FormHandle form, int id)
{
    return PlatformFieldLength(form, id) >= kPathCapacity;
}

// Lets go of a claim that is of no use, removing the file it created.
void CloseClaim(Export* e)
{
    PlatformClose(e->claim);
    if (e->created) {
        PlatformDelete(e->path);
    }
    e->claim = nullptr;
    e->created = false;
}

// Claims a switched-on export. On return, output is none when nothing is
// to be written there; claim may still be held so that the other export
// cannot take the same file.
void OpenExport(FormHandle form, int switchId, int pathId, int appendId, Export* e)
{
    e->claim = nullptr;
    e->output = nullptr;
    e->created = false;
    e->append = false;
    e->hadContent = false;
    e->oldSize = 0;
    if (!PlatformIsChecked(form, switchId)) {
        return;
    }
    e->path[0] = 0;
    if (PlatformReadField(form, pathId, e->path, kPathCapacity) == 0 &&
        PlatformReadField(form, IDC_SOURCE_PATH, e->path, kPathCapacity) == 0) {
        return;
    }
    e->append = PlatformIsChecked(form, appendId);
    e->claim = PlatformClaimTarget(e->path, &e->created);
    if (e->claim == nullptr) {
        return;
    }
    if (!PlatformFileSize(e->claim, &e->oldSize)) {
        // Without its length an appended export could not be cut back.
        CloseClaim(e);
        return;
    }
    e->hadContent = e->oldSize > 0;
    if (e->append) {
        e->output = PlatformSeekEnd(e->claim) ? e->claim : nullptr;
        return;
    }
    // The file the claim holds, under its own name, is the one replaced: not
    // a new file named as typed (other letter case, a short name, a link).
    if (PlatformClaimedPath(e->claim, e->path, kLongPathCapacity)) {
        e->output = PlatformCreateTempBeside(e->path, e->tempPath);
    }
}

// Whether an export holds everything meant for it: all its writes went
// through, and a file that is to replace one with content is on the disk.
bool ExportComplete(const Export* e, bool written)
{
    if (e->claim == nullptr) {
        return written;
    }
    if (e->append) {
        return e->output != nullptr && written;
    }
    return e->output != nullptr && written && (!e->hadContent || PlatformFlush(e->output));
}

// Ends a rewritten export: its temporary file replaces the file when the
// run is complete so far; otherwise the temporary file goes, and so does
// the file the claim created. False when the export is not in place.
bool FinishRewrite(Export* e, bool commit)
{
    PlatformClose(e->output);
    PlatformClose(e->claim);
    if (commit && e->output != nullptr && PlatformReplace(e->path, e->tempPath)) {
        return true;
    }
    if (e->output != nullptr) {
        PlatformDelete(e->tempPath);
    }
    if (e->created) {
        PlatformDelete(e->path);
    }
    return false;
}

// Ends an appended export: kept when the run is complete, otherwise cut
// back to its old length (removed when the claim created it).
void FinishAppend(Export* e, bool commit)
{
    if (!commit) {
        PlatformTruncate(e->claim, e->oldSize);
    }
    PlatformClose(e->claim);
    if (!commit && e->created) {
        PlatformDelete(e->path);
    }
}

bool SamePath(const FormChar* a, const FormChar* b)
{
    while (*a != 0 && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

// Ends every export. The rewritten ones go first, and of them the source
// last: lines moved out of the source into another export must have landed
// there before the source loses them (should the source's own replace then
// fail, they are in both). If any cannot replace its file, the ones after
// it keep theirs and the appended ones are cut back too.
void FinishExports(Export* without, Export* with, const FormChar* source, bool complete)
{
    Export* exports[2] = {without, with};
    for (int sourcePass = 0; sourcePass < 2; ++sourcePass) {
        for (Export* e : exports) {
            if (e->claim != nullptr && !e->append && SamePath(e->path, source) == (sourcePass == 1)) {
                complete = FinishRewrite(e, complete) && complete;
            }
        }
    }
    for (Export* e : exports) {
        if (e->claim != nullptr && e->append) {
            FinishAppend(e, complete);
        }
    }
}

}  // namespace

void RunStrip(FormHandle dialog)
{
    FormChar search[kSearchCapacity];
    if (PlatformFieldLength(dialog, IDC_SEARCH_TEXT) >= kSearchCapacity ||
        PlatformReadField(dialog, IDC_SEARCH_TEXT, search, kSearchCapacity) == 0) {
        return;
    }

    FormChar path[kPathCapacity];
    path[0] = 0;
    if (!ReadPath(dialog, IDC_SOURCE_PATH, path)) {
        return;
    }
    FileHandle source = PlatformOpenSource(path);
    if (source == nullptr) {
        return;
    }
    // The source as the file system names it, to know it among the exports.
    FormChar sourceName[kLongPathCapacity];
    for (uint32_t i = 0; i < kPathCapacity; ++i) {
        sourceName[i] = path[i];
    }
    PlatformClaimedPath(source, sourceName, kLongPathCapacity);

    bool ignoreCase = PlatformIsChecked(dialog, IDC_IGNORE_CASE);
    if (ignoreCase) {
        PlatformUpperCase(search);
    }
    char needle[kNeedleCapacity];
    // The size taken now is all of the source the run reads: what is added
    // to the file meanwhile (an export appending to it) is not read again.
    uint64_t size = 0;
    // A path that does not fit its buffer stops the run before any export
    // is claimed.
    if (!PlatformToAnsi(search, needle, kNeedleCapacity) || needle[0] == 0 ||
        !PlatformFileSize(source, &size) ||
        (PlatformIsChecked(dialog, IDC_EXPORT_WITHOUT) && PathTooLong(dialog, IDC_WITHOUT_PATH)) ||
        (PlatformIsChecked(dialog, IDC_EXPORT_WITH) && PathTooLong(dialog, IDC_WITH_PATH))) {
        PlatformClose(source);
        return;
    }

    // One block: the two output buffers, then the read window.
    char* block = static_cast<char*>(PlatformAllocZeroed(2ull * kSinkCapacity + kWindowCapacity + kWindowPadding));
    if (block == nullptr) {
        PlatformClose(source);
        return;
    }

    Export without;
    Export with;
    OpenExport(dialog, IDC_EXPORT_WITHOUT, IDC_WITHOUT_PATH, IDC_APPEND_WITHOUT, &without);
    OpenExport(dialog, IDC_EXPORT_WITH, IDC_WITH_PATH, IDC_APPEND_WITH, &with);

    bool complete = false;
    if (without.output != nullptr || with.output != nullptr) {
        LineSink withoutSink;
        LineSink withSink;
        SinkInit(&withoutSink, without.output, block, kSinkCapacity);
        SinkInit(&withSink, with.output, block + kSinkCapacity, kSinkCapacity);
        ReadWindow window;
        WindowInit(&window, source, size, block + 2 * kSinkCapacity, kWindowCapacity);

        TextRules rules;
        PlatformGetTextRules(&rules);
        bool read = RouteLines(&window, ignoreCase, needle, &rules, &withoutSink, &withSink);
        WindowRelease(&window);

        bool withoutWritten = SinkFlush(&withoutSink);
        bool withWritten = SinkFlush(&withSink);
        // One export failing keeps the other from replacing its file too:
        // when lines are moved out of the source into an export, the source
        // must not lose them unless the export has them.
        complete = read && ExportComplete(&without, withoutWritten) && ExportComplete(&with, withWritten);
    }
    // The source is closed before any export takes its place: it may be
    // one of them.
    PlatformClose(source);
    PlatformFree(block);
    FinishExports(&without, &with, sourceName, complete);
}
