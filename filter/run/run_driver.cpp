// The run's driver.

#include "filter/run/run_driver.h"

#include "filter/durability/export_transaction.h"
#include "filter/emit/line_sink.h"
#include "filter/pass/read_window.h"
#include "filter/run/route_lines.h"
#include "filter/durability/run_record.h"
#include "filter/durability/run_repair.h"
#include "filter/search/search_needles.h"

namespace {

// Each export's output buffer.
const uint32_t kSinkCapacity = 1u << 18;
// The read window; it grows only for a line longer than itself.
const uint64_t kWindowCapacity = 1u << 20;

// A path field too long to be read whole stops the run before any file is
// opened.
bool RefuseTooLong(const RunRequest* r, RunOutcome* outcome)
{
    if (r->searchTooLong) {
        OutcomeFail(outcome, kRunSearchTooLong, kNoFile, 0);
    } else if (r->sourceTooLong) {
        OutcomeFail(outcome, kRunPathTooLong, kSourceFile, 0);
    } else if (r->without.on && r->without.pathTooLong) {
        OutcomeFail(outcome, kRunPathTooLong, kWithoutExport, 0);
    } else if (r->with.on && r->with.pathTooLong) {
        OutcomeFail(outcome, kRunPathTooLong, kWithExport, 0);
    } else {
        return false;
    }
    return true;
}

// A switched-on export that cannot be had. The other export still runs,
// unless it rewrites the source: the lines meant for this one would leave
// the source and land nowhere. False when the run is to end here.
bool GoOnWithoutUnclaimed(const ExportTransaction* t, RunOutcome* outcome)
{
    const Export* exports[2] = {&t->without, &t->with};
    for (int i = 0; i < 2; ++i) {
        const Export* e = exports[i];
        if (e->state != kExportUnclaimed) {
            continue;
        }
        OutcomeFail(outcome, kRunExportUnclaimed, e->which, e->error);
        if (RewrittenInPlace(exports[1 - i])) {
            return false;
        }
    }
    return ExportOpen(&t->without) || ExportOpen(&t->with);
}

// Why the source could not be read to its end.
void FailUnread(const ReadWindow* w, RunOutcome* outcome)
{
    if (w->stopped) {
        OutcomeFail(outcome, kRunStopped, kNoFile, 0);
    } else if (w->shortened || w->changed) {
        OutcomeFail(outcome, kRunSourceChanged, kSourceFile, 0);
    } else if (w->outOfMemory) {
        OutcomeFail(outcome, kRunNoMemory, kSourceFile, w->error);
    } else {
        OutcomeFail(outcome, kRunSourceUnread, kSourceFile, w->error);
    }
}

// The run goes on without its record.
void HeldRecordEnd(ExportTransaction* t)
{
    if (t->heldRecord != nullptr) {
        RecordEnd(&t->heldRecord->file);
        t->heldRecord = nullptr;
    }
}

// What runs before this one left half done (another copy of the program
// may have been killed meanwhile) is put back first.
void RepairBeforeRun(RunControl* control)
{
    RepairReport local;
    RepairReport* report = control->repaired != nullptr ? control->repaired : &local;
    RepairInit(&local);
    RepairFromPointers(report);
}

// The source's encoding, read off its first bytes through the window: a
// byte order mark is dropped from the window, so that it is part of no line
// (the progress still counts its bytes). False when the first read fails.
bool ReadSourceMark(ReadWindow* w, SourceEncoding* encoding)
{
    if (!WindowFill(w)) {
        return false;
    }
    *encoding = EncodingOfMark(w->data, w->valid);
    WindowDrop(w, BomLength(*encoding));
    return true;
}

// An append that would put the source's lines into a file of another
// encoding: the run is refused, naming the export and both encodings.
bool RefuseMixedEncodings(ExportTransaction* t, RunOutcome* outcome)
{
    const Export* e = MixedExport(t);
    if (e == nullptr) {
        return false;
    }
    OutcomeFail(outcome, kRunMixedEncodings, e->which, 0);
    outcome->exportEncoding = e->encoding;
    outcome->sourceEncoding = t->encoding;
    return true;
}

// Every file the run starts begins with the source's byte order mark.
void PutMark(const Export* e, SourceEncoding encoding, LineSink* sink)
{
    if (ExportOpen(e) && ExportStartsFile(e)) {
        SinkPut(sink, reinterpret_cast<const char*>(BomBytes(encoding)), BomLength(encoding));
    }
}

// Ends the transaction once the source was read (or could not be): every
// export takes its place, or every file stays as it was.
void Finish(RunControl* control, const SearchNeedles* needles, bool read, LineSink* withoutSink, LineSink* withSink,
            ExportTransaction* t, RunOutcome* outcome)
{
    // A search text the code page cannot hold is in no line of code-page
    // text; a source without a mark none of whose UTF-8 lines held it
    // either is told instead of changed (in place, every line would have
    // stayed or gone as though the text were never there).
    bool found = withSink->lines > 0;
    bool notHeld = read && t->encoding == kEncodingAnsi && !needles->ansiHeld && !found;
    if (notHeld) {
        OutcomeFail(outcome, kRunSearchNotHeld, kSourceFile, 0);
    }
    // One export failing keeps the other from taking its place too: when
    // lines move out of the source into an export, the source must not
    // lose them unless the export has them.
    bool ready = read && !notHeld && PrepareCommit(t, withoutSink, withSink, outcome);
    if (ready && StopRaised(&control->stop)) {
        OutcomeFail(outcome, kRunStopped, kNoFile, 0);
        ready = false;
    }
    if (ready && (t->recordLost || !TellRecord(t, kRecordReplacing))) {
        // A run whose record can no longer say what it does does not begin
        // to put files in place: a kill meanwhile could not be repaired.
        OutcomeFail(outcome, kRunExportUnwritten, ExportOpen(&t->without) ? kWithoutExport : kWithExport,
                    PlatformLastError());
        ready = false;
    }
    if (ready) {
        CommitExports(t, outcome);
    } else {
        RollBackExports(t, outcome);
    }
}

// Streams the source into the claimed exports and ends the transaction.
void RouteAndFinish(RunControl* control, FileHandle source, uint64_t size, const SearchNeedles* needles,
                    char* block, ExportTransaction* t, RunOutcome* outcome)
{
    LineSink withoutSink;
    LineSink withSink;
    SinkInit(&withoutSink, ExportOpen(&t->without) ? t->without.output : nullptr, block, kSinkCapacity);
    SinkInit(&withSink, ExportOpen(&t->with) ? t->with.output : nullptr, block + kSinkCapacity, kSinkCapacity);
    ReadWindow window;
    WindowInit(&window, source, size, block + 2 * kSinkCapacity, kWindowCapacity);
    WindowWatch(&window, &control->stop, &control->sourceRead);
    // A rewrite of the source sums what it reads, to know an append by
    // another program in the moment of the replace from any other change.
    ContentSum sum;
    SumInit(&sum);
    if (RewrittenInPlace(&t->without) || RewrittenInPlace(&t->with)) {
        WindowSum(&window, &sum);
    }

    // The source's first bytes decide its encoding before any line is
    // written anywhere.
    t->encoding = kEncodingAnsi;
    bool begun = ReadSourceMark(&window, &t->encoding);
    if (!begun) {
        FailUnread(&window, outcome);
    }
    if (!begun || RefuseMixedEncodings(t, outcome)) {
        WindowRelease(&window);
        PlatformClose(source);
        RollBackExports(t, outcome);
        return;
    }
    PutMark(&t->without, t->encoding, &withoutSink);
    PutMark(&t->with, t->encoding, &withSink);

    TextRules ownRules;
    const TextRules* rules = control->rules;
    if (rules == nullptr) {
        PlatformGetTextRules(&ownRules);
        rules = &ownRules;
    }
    bool read = RouteLines(&window, t->encoding, needles, rules, &withoutSink, &withSink);
    WindowRelease(&window);
    outcome->withoutReport.lines = withoutSink.lines;
    outcome->withReport.lines = withSink.lines;
    t->sourceSum = SumValue(&sum);
    // The window's room is free now: the commit copies appended lines through it.
    t->scratch = block + 2 * kSinkCapacity;
    t->scratchSize = static_cast<uint32_t>(kWindowCapacity);
    // The source is closed before any export takes its place: it may be
    // one of them.
    PlatformClose(source);

    if (!read) {
        FailUnread(&window, outcome);
    }
    Finish(control, needles, read, &withoutSink, &withSink, t, outcome);
}

// Claims the exports and makes their temporary files, the record told of
// each: which files the temporary ones are, so that a repair removes no
// other file that took one of their names.
void ClaimAndOpen(ExportTransaction* t, const RunRequest* r, const StopFlag* stop)
{
    ClaimExports(t, r, stop);
    if (StopRaised(stop)) {
        return;
    }
    if (!TellRecord(t, kRecordWriting)) {
        t->recordLost = true;
    }
    OpenOutputs(t, stop);
    if (!t->recordLost && !TellRecord(t, kRecordWriting)) {
        t->recordLost = true;
    }
}

// A transaction for the source under sourceName, not begun.
void TransactionInit(ExportTransaction* t, const FormChar* sourceName, const FormChar* previousNote)
{
    *t = ExportTransaction{};
    t->sourceName = sourceName;
    t->previousNote = previousNote;
    t->encoding = kEncodingAnsi;
}

// Opens the source, and names it as the file system does, to know it among
// the exports. Null, with the failure told, when it cannot be opened.
FileHandle OpenSourceNamed(const RunRequest* r, FormChar* sourceName, RunOutcome* outcome)
{
    FileHandle source = PlatformOpenSource(r->source);
    if (source == nullptr) {
        OutcomeFail(outcome, kRunSourceUnopened, kSourceFile, PlatformLastError());
        return nullptr;
    }
    for (uint32_t i = 0; i < kPathCapacity; ++i) {
        sourceName[i] = r->source[i];
    }
    PlatformClaimedPath(source, sourceName, kLongPathCapacity);
    return source;
}

}  // namespace

void RunControlInit(RunControl* control)
{
    control->stop = 0;
    control->sourceSize = 0;
    control->sourceRead = 0;
    control->repaired = nullptr;
    control->rules = nullptr;
}

void DriveRun(const RunRequest* r, RunControl* control, RunOutcome* outcome)
{
    OutcomeInit(outcome);
    if (RefuseTooLong(r, outcome)) {
        return;
    }
    RepairBeforeRun(control);
    FormChar sourceName[kLongPathCapacity];
    FileHandle source = OpenSourceNamed(r, sourceName, outcome);
    if (source == nullptr) {
        return;
    }
    SearchNeedles needles;
    if (!MakeSearchNeedles(r->search, r->ignoreCase, &needles)) {
        PlatformClose(source);
        OutcomeFail(outcome, kRunSearchTooLong, kNoFile, 0);
        return;
    }
    // The size taken now is all of the source the run reads: what another
    // program adds meanwhile is not read, and a rewrite of the source then
    // refuses to take its place.
    ExportTransaction t;
    TransactionInit(&t, sourceName, r->previousNote);
    uint64_t size = 0;
    if (!PlatformFileSize(source, &size) || !PlatformStamp(sourceName, &t.sourceStamp)) {
        OutcomeFail(outcome, kRunSourceUnread, kSourceFile, PlatformLastError());
        PlatformClose(source);
        return;
    }
    // What was read is what must be there when the source is replaced.
    t.sourceStamp.size = size;
    __atomic_store_n(&control->sourceSize, size, __ATOMIC_RELAXED);

    // One block: the two output buffers, then the read window.
    char* block = static_cast<char*>(PlatformAllocZeroed(2ull * kSinkCapacity + kWindowCapacity + kWindowPadding));
    if (block == nullptr) {
        OutcomeFail(outcome, kRunNoMemory, kNoFile, PlatformLastError());
        PlatformClose(source);
        return;
    }

    // The record first: the claims may create files.
    HeldRecord heldRecord;
    t.heldRecord = HeldRecordBegin(&heldRecord, r, size) ? &heldRecord : nullptr;
    ClaimAndOpen(&t, r, &control->stop);
    if (StopRaised(&control->stop)) {
        OutcomeFail(outcome, kRunStopped, kNoFile, 0);
        RollBackExports(&t, outcome);
    } else if (!GoOnWithoutUnclaimed(&t, outcome)) {
        RollBackExports(&t, outcome);
    } else {
        RouteAndFinish(control, source, size, &needles, block, &t, outcome);
        source = nullptr;
    }
    // Every file is as the run leaves it: the record has nothing more to say.
    HeldRecordEnd(&t);
    PlatformClose(source);
    PlatformFree(block);
}
