// The strip run as one call: the request read from the form, then driven.

#include "filter/filter.h"

RunOutcome RunStrip(FormHandle dialog)
{
    RunOutcome outcome;
    RunRequest request;
    if (!ReadRunRequest(dialog, &request)) {
        OutcomeInit(&outcome);
        outcome.failure = kRunNothingAsked;
        return outcome;
    }
    RunControl control;
    RunControlInit(&control);
    DriveRun(&request, &control, &outcome);
    return outcome;
}
