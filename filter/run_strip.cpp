// The strip run: reads the form and the source, routes the lines, and puts
// each export in place only when all of it was written.
//
// An export in rewrite mode is never truncated in place: its file is claimed
// (shared for reading only, so the same file cannot be claimed twice in a run,
// whatever spelling names it), the lines go to a temporary file beside it, and
// the temporary file replaces it once every write succeeded. Until then the
// export, which may be the source itself, keeps its old bytes. An export in
// append mode is written directly: its old content is never at risk.

#include "filter/filter.h"
#include "filter/route_lines.h"
#include "resources/resource_ids.h"

namespace {

// Search text as read from the form: up to 255 UTF-16 units.
const uint32_t kSearchCapacity = 256;
// Its ANSI form: up to three bytes a unit, and the terminator.
const uint32_t kNeedleCapacity = (kSearchCapacity - 1) * 3 + 1;
// Each export's output buffer.
const uint32_t kSinkCapacity = 1u << 18;
// Zero bytes after the content: the pass reads up to two past it.
const uint64_t kPadding = 16;
// Largest single read.
const uint32_t kReadChunk = 1u << 30;

struct Export {
    FileHandle claim;     // the export file itself, held for the whole run
    FileHandle output;    // where lines go: the claim (append) or a temporary file
    bool created;         // the claim created the file
    bool append;
    bool hadContent;
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
    uint64_t oldSize = 0;
    e->hadContent = PlatformFileSize(e->claim, &oldSize) && oldSize > 0;
    if (e->append) {
        e->output = e->claim;
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
    if (e->claim == nullptr || e->append) {
        return written;
    }
    return e->output != nullptr && written && (!e->hadContent || PlatformFlush(e->output));
}

// Ends an export. An appended export is closed. A rewritten one replaces
// its file only when the whole run is complete; otherwise its temporary file
// goes, and so does the file the claim created.
void CloseExport(Export* e, bool commit)
{
    if (e->claim == nullptr) {
        return;
    }
    if (e->append) {
        PlatformClose(e->claim);
        return;
    }
    PlatformClose(e->output);
    PlatformClose(e->claim);
    if (commit && e->output != nullptr && PlatformReplace(e->path, e->tempPath)) {
        return;
    }
    if (e->output != nullptr) {
        PlatformDelete(e->tempPath);
    }
    if (e->created) {
        PlatformDelete(e->path);
    }
}

bool ReadWhole(FileHandle file, char* block, uint64_t size)
{
    uint64_t done = 0;
    while (done < size) {
        uint64_t left = size - done;
        uint32_t chunk = left > kReadChunk ? kReadChunk : static_cast<uint32_t>(left);
        uint32_t got = 0;
        if (!PlatformRead(file, block + done, chunk, &got) || got != chunk) {
            return false;
        }
        done += chunk;
    }
    return true;
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

    bool ignoreCase = PlatformIsChecked(dialog, IDC_IGNORE_CASE);
    if (ignoreCase) {
        PlatformUpperCase(search);
    }
    char needle[kNeedleCapacity];
    if (!PlatformToAnsi(search, needle, kNeedleCapacity) || needle[0] == 0) {
        PlatformClose(source);
        return;
    }

    uint64_t size = 0;
    const uint64_t extra = kPadding + 2ull * kSinkCapacity;
    if (!PlatformFileSize(source, &size) || size > ~0ull - extra) {
        PlatformClose(source);
        return;
    }
    // One block: the content, its zero padding, then the two output buffers.
    char* block = static_cast<char*>(PlatformAllocZeroed(size + extra));
    if (block == nullptr) {
        PlatformClose(source);
        return;
    }
    if (!ReadWhole(source, block, size)) {
        PlatformFree(block);
        PlatformClose(source);
        return;
    }
    PlatformClose(source);

    // A path that does not fit its buffer stops the run before any export
    // is claimed.
    if ((PlatformIsChecked(dialog, IDC_EXPORT_WITHOUT) && PathTooLong(dialog, IDC_WITHOUT_PATH)) ||
        (PlatformIsChecked(dialog, IDC_EXPORT_WITH) && PathTooLong(dialog, IDC_WITH_PATH))) {
        PlatformFree(block);
        return;
    }

    Export without;
    Export with;
    OpenExport(dialog, IDC_EXPORT_WITHOUT, IDC_WITHOUT_PATH, IDC_APPEND_WITHOUT, &without);
    OpenExport(dialog, IDC_EXPORT_WITH, IDC_WITH_PATH, IDC_APPEND_WITH, &with);

    bool withoutWritten = false;
    bool withWritten = false;
    if (without.output != nullptr || with.output != nullptr) {
        if (without.output != nullptr) {
            PlatformSeekEnd(without.output);
        }
        if (with.output != nullptr) {
            PlatformSeekEnd(with.output);
        }
        char* buffers = block + size + kPadding;
        LineSink withoutSink;
        LineSink withSink;
        SinkInit(&withoutSink, without.output, buffers, kSinkCapacity);
        SinkInit(&withSink, with.output, buffers + kSinkCapacity, kSinkCapacity);

        TextRules rules;
        PlatformGetTextRules(&rules);
        RouteLines(block, size, ignoreCase, needle, &rules, &withoutSink, &withSink);

        withoutWritten = SinkFlush(&withoutSink);
        withWritten = SinkFlush(&withSink);
    }

    // One export failing keeps the other from replacing its file too: when
    // lines are moved out of the source into an export, the source must not
    // lose them unless the export has them.
    bool complete = ExportComplete(&without, withoutWritten) && ExportComplete(&with, withWritten);
    PlatformFree(block);
    CloseExport(&without, complete);
    CloseExport(&with, complete);
}
