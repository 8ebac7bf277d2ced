// The strip run and the line pass at its heart.
#ifndef QUORVANE_FILTER_H
#define QUORVANE_FILTER_H

#include "platform/platform.h"

// Reads the form, reads the source whole, routes every line to the
// with-string or the without-string export. Tells nothing; every failure
// ends the run with no file changed.
void RunStrip(FormHandle dialog);

#endif
