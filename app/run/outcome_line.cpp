// The line in the dialog that tells what a run did: how many lines went to
// each export, which files were written, and where each file's previous
// version went; or that the run was stopped. The user looks at the dialog
// when a run ends, so the outcome is told there, not in a box (a failure
// still is: it asks for attention).
//
// The line is a static control added when the dialog opens, in the band
// between the export rows and the option boxes of whatever template was
// loaded (a satellite's too). A band too low for two lines of text is made
// so: the controls below it move down and the dialog grows.
#include "app/app.h"
#include "app/run/strip_run.h"
#include "app/run/text_builder.h"

#include "resources/resource_ids.h"

namespace {

// The line's room, in dialog units: two lines of the dialog's font (eight
// units a line) and a little space above and below.
const int kLineRoomDlu = 19;
const int kLineGapDlu = 2;

RECT RectOf(HWND dialog, int id)
{
    RECT r = {0, 0, 0, 0};
    HWND control = GetDlgItem(dialog, id);
    if (control != nullptr) {
        GetWindowRect(control, &r);
        MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&r), 2);
    }
    return r;
}

int DluToPixels(HWND dialog, int dlu)
{
    RECT r = {0, 0, 0, dlu};
    MapDialogRect(dialog, &r);
    return r.bottom;
}

struct MoveDown {
    int from;
    int by;
};

BOOL CALLBACK MoveChildDown(HWND child, LPARAM parameter)
{
    const MoveDown* move = reinterpret_cast<const MoveDown*>(parameter);
    RECT r;
    GetWindowRect(child, &r);
    MapWindowPoints(nullptr, GetParent(child), reinterpret_cast<POINT*>(&r), 2);
    if (r.top >= move->from) {
        SetWindowPos(child, nullptr, r.left, r.top + move->by, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    return TRUE;
}

// The count and its word: "1,234 行 → ", or the lines that went nowhere.
void AppendLines(TextBuilder* b, uint64_t lines, bool written)
{
    AppendGrouped(b, lines);
    AppendString(b, written ? (lines == 1 ? IDS_OUTCOME_LINE : IDS_OUTCOME_LINES)
                            : (lines == 1 ? IDS_OUTCOME_NOWHERE_ONE : IDS_OUTCOME_NOWHERE));
}

void AppendClauseBreak(TextBuilder* b)
{
    if (b->length > 0) {
        AppendString(b, IDS_OUTCOME_AND);
    }
}

}  // namespace

void AddOutcomeLine(HWND dialog)
{
    // The band: below the export rows, above the options, as wide as the rows.
    const int above[] = {IDC_EXPORT_WITHOUT, IDC_WITHOUT_PATH, IDC_BROWSE_WITHOUT,
                         IDC_EXPORT_WITH,    IDC_WITH_PATH,    IDC_BROWSE_WITH};
    const int below[] = {IDC_APPEND_WITHOUT, IDC_APPEND_WITH, IDC_IGNORE_CASE, IDC_ABOUT, IDC_STRIP};
    int top = 0;
    int right = 0;
    for (int id : above) {
        RECT r = RectOf(dialog, id);
        top = r.bottom > top ? r.bottom : top;
        right = r.right > right ? r.right : right;
    }
    int bottom = 0x7FFFFFFF;
    for (int id : below) {
        RECT r = RectOf(dialog, id);
        if (r.bottom > r.top && r.top < bottom) {
            bottom = r.top;
        }
    }
    RECT first = RectOf(dialog, IDC_EXPORT_WITHOUT);
    if (bottom == 0x7FFFFFFF || bottom < top || right <= first.left) {
        return;
    }
    const int room = DluToPixels(dialog, kLineRoomDlu);
    if (bottom - top < room) {
        MoveDown move = {bottom, room - (bottom - top)};
        EnumChildWindows(dialog, MoveChildDown, reinterpret_cast<LPARAM>(&move));
        RECT window;
        GetWindowRect(dialog, &window);
        SetWindowPos(dialog, nullptr, 0, 0, window.right - window.left, window.bottom - window.top + move.by,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
        bottom += move.by;
    }
    const int gap = DluToPixels(dialog, kLineGapDlu);
    HWND line = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX, first.left,
                                top + gap, right - first.left, bottom - top - 2 * gap, dialog,
                                reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_OUTCOME_LINE)),
                                GetModuleHandleW(nullptr), nullptr);
    SendMessageW(line, WM_SETFONT, SendMessageW(dialog, WM_GETFONT, 0, 0), FALSE);
}

int FormatOutcomeLine(const RunRequest* r, const RunOutcome* o, WCHAR* text, int capacity)
{
    TextBuilder b = {text, capacity, 0};
    text[0] = 0;
    if (o->failure == kRunStopped) {
        AppendString(&b, IDS_OUTCOME_STOPPED);
        return b.length;
    }
    if (o->failure != kRunSucceeded) {
        return 0;
    }
    if (o->withReport.lines == 0) {
        AppendString(&b, IDS_OUTCOME_NO_MATCH);
        Append(&b, r->search);
        AppendString(&b, IDS_OUTCOME_NO_MATCH_END);
    }
    // The with-string export first: what the user searched for.
    const ExportRequest* requests[2] = {&r->with, &r->without};
    const ExportReport* reports[2] = {&o->withReport, &o->withoutReport};
    const ExportFate fates[2] = {o->with, o->without};
    const UINT labels[2] = {IDS_OUTCOME_WITH, IDS_OUTCOME_WITHOUT};
    for (int i = 0; i < 2; ++i) {
        const bool written = fates[i] == kExportWritten;
        if (i == 0 && reports[i]->lines == 0) {
            continue;   // told already: no line held the text
        }
        AppendClauseBreak(&b);
        AppendString(&b, labels[i]);
        AppendLines(&b, reports[i]->lines, written);
        if (written) {
            AppendFileName(&b, requests[i]->path);
            if (reports[i]->inPlace) {
                AppendString(&b, IDS_OUTCOME_IN_PLACE);
            } else if (requests[i]->append) {
                AppendString(&b, IDS_OUTCOME_APPENDED);
            }
        }
    }
    bool recycledTold = false;
    for (const ExportReport* report : reports) {
        if (report->previous == kPreviousRecycled && !recycledTold) {
            AppendClauseBreak(&b);
            AppendString(&b, IDS_OUTCOME_RECYCLED);
            recycledTold = true;
        } else if (report->previous == kPreviousBeside || report->previous == kPreviousUnderOurs) {
            AppendClauseBreak(&b);
            AppendString(&b, IDS_OUTCOME_KEPT);
            AppendFileName(&b, report->previousKept);
        }
    }
    AppendString(&b, IDS_OUTCOME_END);
    return b.length;
}

void ShowOutcomeLine(HWND dialog, const RunRequest* request, const RunOutcome* outcome)
{
    WCHAR text[1024];
    FormatOutcomeLine(request, outcome, text, 1024);
    SetDlgItemTextW(dialog, IDC_OUTCOME_LINE, text);
}

void ClearOutcomeLine(HWND dialog)
{
    HWND line = GetDlgItem(dialog, IDC_OUTCOME_LINE);
    if (line != nullptr && GetWindowTextLengthW(line) > 0) {
        SetWindowTextW(line, L"");
    }
}
