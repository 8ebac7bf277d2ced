// The strip run: the line filter as the program and the tests use it.
#ifndef QUORVANE_FILTER_H
#define QUORVANE_FILTER_H

#include "filter/run/run_driver.h"
#include "filter/form/run_outcome.h"
#include "filter/form/run_request.h"
#include "platform/platform.h"

// Reads the form into a request and runs it on the calling thread, with
// nothing to stop it: every line of the source goes to the with-string or
// the without-string export. The program reads the request on the dialog's
// thread and drives the run on a thread of its own instead.
RunOutcome RunStrip(FormHandle dialog);

#endif
