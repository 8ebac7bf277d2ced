// What a run shows: its progress in the dialog's title while it lasts, and
// the message of a run that failed.
#include "app/app.h"
#include "app/run/strip_run.h"
#include "app/run/text_builder.h"

#include "resources/resource_ids.h"

namespace {

// A run shorter than this shows nothing: no flicker of the title for the
// runs that are over at once.
const DWORD kQuietMs = 500;

// The system's own words for an error, its trailing line end trimmed; the
// code in hex when it has none.
void AppendSystemReason(TextBuilder* b, DWORD error)
{
    WCHAR reason[512];
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                             reason, 512, nullptr);
    while (n > 0 && (reason[n - 1] == L'\r' || reason[n - 1] == L'\n' || reason[n - 1] == L' ')) {
        --n;
    }
    AppendString(b, IDS_REASON);
    if (n == 0) {
        AppendString(b, IDS_REASON_CODE);
        AppendHex(b, error);
        return;
    }
    reason[n] = 0;
    Append(b, reason);
}

UINT HeadlineOf(RunFailure failure, RunFile file)
{
    switch (failure) {
    case kRunSearchTooLong: return IDS_FAIL_SEARCH_TOO_LONG;
    case kRunPathTooLong: return IDS_FAIL_PATH_TOO_LONG;
    case kRunSourceUnopened: return IDS_FAIL_SOURCE_UNOPENED;
    case kRunNoMemory: return IDS_FAIL_NO_MEMORY;
    case kRunSourceUnread: return IDS_FAIL_SOURCE_UNREAD;
    case kRunSourceChanged: return IDS_FAIL_SOURCE_CHANGED;
    case kRunNameTaken: return file == kSourceFile ? IDS_FAIL_SOURCE_CHANGED : IDS_FAIL_EXPORT_UNREPLACED;
    case kRunExportUnclaimed: return IDS_FAIL_EXPORT_UNCLAIMED;
    case kRunExportUnwritten: return IDS_FAIL_EXPORT_UNWRITTEN;
    case kRunMixedEncodings: return IDS_FAIL_MIXED_ENCODINGS;
    case kRunSearchNotHeld: return IDS_FAIL_SEARCH_NOT_HELD;
    default: return IDS_FAIL_EXPORT_UNREPLACED;
    }
}

UINT EncodingName(SourceEncoding encoding)
{
    switch (encoding) {
    case kEncodingUtf8: return IDS_ENCODING_UTF8;
    case kEncodingUtf16Le: return IDS_ENCODING_UTF16LE;
    case kEncodingUtf16Be: return IDS_ENCODING_UTF16BE;
    default: return IDS_ENCODING_ANSI;
    }
}

// A file as the user typed it. A path too long to be taken into the
// request is read from its field, which shows it still.
void AppendFile(TextBuilder* b, HWND dialog, const RunRequest* r, RunFile file, bool tooLong)
{
    const int fields[] = {0, IDC_SOURCE_PATH, IDC_WITHOUT_PATH, IDC_WITH_PATH};
    if (tooLong) {
        WCHAR typed[1024];
        typed[0] = 0;
        GetDlgItemTextW(dialog, fields[file], typed, 1024);
        Append(b, typed);
        return;
    }
    Append(b, file == kSourceFile ? r->source : file == kWithoutExport ? r->without.path : r->with.path);
}

// What became of each switched-on export.
void AppendFates(TextBuilder* b, const RunRequest* r, const RunOutcome* o)
{
    const ExportFate fates[2] = {o->without, o->with};
    const WCHAR* paths[2] = {r->without.path, r->with.path};
    bool changed = false;
    for (ExportFate fate : fates) {
        changed = changed || fate == kExportWritten || fate == kExportNotCutBack || fate == kExportKeptBoth;
    }
    if (!changed) {
        AppendString(b, IDS_NO_FILE_CHANGED);
        return;
    }
    for (int i = 0; i < 2; ++i) {
        if (fates[i] == kExportOff) {
            continue;
        }
        if (fates[i] == kExportKeptBoth) {
            AppendString(b, IDS_KEPT_NEW);
            Append(b, o->keptNew);
            Append(b, L"\n");
            AppendString(b, IDS_KEPT_OLD);
            Append(b, o->keptOld);
            if (o->keptNameTaken) {
                Append(b, L"\n");
                AppendString(b, IDS_NAME_TAKEN);
                Append(b, paths[i]);
            }
        } else {
            AppendString(b, fates[i] == kExportWritten     ? IDS_EXPORT_WRITTEN
                            : fates[i] == kExportUnchanged ? IDS_EXPORT_UNCHANGED
                                                           : IDS_EXPORT_NOT_CUT_BACK);
            Append(b, paths[i]);
            // Where its previous version went: the run can be taken back.
            const ExportReport* report = i == 0 ? &o->withoutReport : &o->withReport;
            if (report->previous != kPreviousNone) {
                Append(b, L"\n");
                if (report->previous == kPreviousRecycled) {
                    AppendString(b, IDS_OUTCOME_RECYCLED);
                } else {
                    AppendString(b, IDS_OUTCOME_KEPT);
                    Append(b, report->previousKept);
                }
                AppendString(b, IDS_OUTCOME_END);
            }
        }
        Append(b, L"\n");
    }
    // No line end after the last line.
    if (b->length > 0 && b->text[b->length - 1] == L'\n') {
        b->text[--b->length] = 0;
    }
}

}  // namespace

int FormatRunFailure(HWND dialog, const RunRequest* r, const RunOutcome* o, WCHAR* text, int capacity)
{
    TextBuilder b = {text, capacity, 0};
    text[0] = 0;
    AppendString(&b, HeadlineOf(o->failure, o->file));
    if (o->file != kNoFile) {
        Append(&b, L"\n");
        AppendFile(&b, dialog, r, o->file, o->failure == kRunPathTooLong);
    }
    if (o->failure == kRunSourceChanged || o->failure == kRunNameTaken) {
        Append(&b, L"\n\n");
        AppendString(&b, o->failure == kRunNameTaken ? IDS_REASON_NAME_TAKEN : IDS_REASON_SOURCE_CHANGED);
    } else if (o->failure == kRunMixedEncodings) {
        Append(&b, L"\n\n");
        AppendString(&b, IDS_EXPORT_ENCODING);
        AppendString(&b, EncodingName(o->exportEncoding));
        Append(&b, L"\n");
        AppendString(&b, IDS_SOURCE_ENCODING);
        AppendString(&b, EncodingName(o->sourceEncoding));
    } else if (o->failure == kRunSearchNotHeld) {
        Append(&b, L"\n\n");
        AppendString(&b, IDS_REASON_SEARCH_NOT_HELD);
    } else if (o->systemError != 0) {
        Append(&b, L"\n\n");
        AppendSystemReason(&b, o->systemError);
    }
    Append(&b, L"\n\n");
    AppendFates(&b, r, o);
    return b.length;
}

void ShowRunFailure(HWND dialog, const RunRequest* request, const RunOutcome* outcome)
{
    WCHAR text[4096];
    FormatRunFailure(dialog, request, outcome, text, 4096);
    WCHAR caption[128];
    caption[0] = 0;
    GetWindowTextW(dialog, caption, 128);
    MessageBoxW(dialog, text, caption, MB_OK | MB_ICONERROR);
}

namespace {

// A heading, then the paths it is about, a line each, up to kRepairMostTold.
template <uint32_t N>
void AppendPaths(TextBuilder* b, UINT heading, uint32_t count, const FormChar (*paths)[N])
{
    if (count == 0) {
        return;
    }
    if (b->length > 0) {
        Append(b, L"\n\n");
    }
    AppendString(b, heading);
    for (uint32_t i = 0; i < count && i < kRepairMostTold; ++i) {
        Append(b, L"\n");
        Append(b, paths[i]);
    }
    if (count > kRepairMostTold) {
        Append(b, L"\n");
        AppendString(b, IDS_REPAIR_MORE);
        AppendNumber(b, count - kRepairMostTold);
    }
}

}  // namespace

int FormatRepairReport(const RepairReport* report, WCHAR* text, int capacity)
{
    TextBuilder b = {text, capacity, 0};
    text[0] = 0;
    AppendPaths(&b, IDS_REPAIR_PUT_BACK, report->putBack, report->putBackPaths);
    AppendPaths(&b, IDS_REPAIR_KEPT, report->kept, report->keptPaths);
    return b.length;
}

void ShowRepairReport(HWND dialog, const RepairReport* report)
{
    if (!RepairDidSomething(report)) {
        return;
    }
    WCHAR text[8192];
    FormatRepairReport(report, text, 8192);
    WCHAR caption[128];
    caption[0] = 0;
    GetWindowTextW(dialog, caption, 128);
    MessageBoxW(dialog, text, caption, MB_OK | (report->kept > 0 ? MB_ICONWARNING : MB_ICONINFORMATION));
}

void ShowStripProgress(StripRun* run)
{
    if (!StripRunning(run) || GetTickCount() - run->startTick < kQuietMs) {
        return;
    }
    uint64_t size = __atomic_load_n(&run->control.sourceSize, __ATOMIC_RELAXED);
    uint64_t read = __atomic_load_n(&run->control.sourceRead, __ATOMIC_RELAXED);
    int percent = size == 0 ? 0 : static_cast<int>(read * 100 / size);
    if (!run->showingProgress) {
        run->showingProgress = true;
        // The cursor changes now if it is over the dialog, and from then on
        // whenever it moves there (WM_SETCURSOR).
        POINT at;
        if (GetCursorPos(&at)) {
            HWND under = WindowFromPoint(at);
            if (under == run->dialog || IsChild(run->dialog, under)) {
                SetCursor(LoadCursorW(nullptr, IDC_APPSTARTING));
            }
        }
    }
    if (percent == run->lastPercent) {
        return;
    }
    run->lastPercent = percent;
    WCHAR title[160];
    TextBuilder b = {title, 160, 0};
    AppendNumber(&b, static_cast<unsigned>(percent));
    Append(&b, L"% - ");
    Append(&b, run->caption);
    SetWindowTextW(run->dialog, title);
}
