// The run's outcome.

#include "filter/form/run_outcome.h"

void OutcomeInit(RunOutcome* o)
{
    o->failure = kRunSucceeded;
    o->file = kNoFile;
    o->systemError = 0;
    o->without = kExportOff;
    o->with = kExportOff;
    o->keptNew[0] = 0;
    o->keptOld[0] = 0;
    o->keptNameTaken = false;
    o->exportEncoding = kEncodingAnsi;
    o->sourceEncoding = kEncodingAnsi;
    ExportReport* reports[2] = {&o->withoutReport, &o->withReport};
    for (ExportReport* r : reports) {
        r->lines = 0;
        r->inPlace = false;
        r->previous = kPreviousNone;
        r->previousKept[0] = 0;
    }
}

void OutcomeFail(RunOutcome* o, RunFailure failure, RunFile file, uint32_t systemError)
{
    if (o->failure != kRunSucceeded) {
        return;
    }
    o->failure = failure;
    o->file = file;
    o->systemError = systemError;
}

bool OutcomeIsTold(const RunOutcome* o)
{
    return o->failure != kRunSucceeded && o->failure != kRunNothingAsked && o->failure != kRunStopped;
}
