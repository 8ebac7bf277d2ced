// The plain form of a path as GetFinalPathNameByHandleW gives it, apart so
// that the Windows-side tests can try it on any path.
#ifndef QUORVANE_FINAL_PATH_H
#define QUORVANE_FINAL_PATH_H

#include <stdint.h>

#include "platform/platform.h"

// Turns "\\?\X:\..." into "X:\..." and "\\?\UNC\server\share\..." into
// "\\server\share\...", in place, where the plain form and any temporary or
// backup name made beside it fit the classic limit (MAX_PATH characters
// with the terminator); other paths stay as they are. Takes and returns the
// path's length.
uint32_t PlainFormWhereItFits(FormChar* path, uint32_t length);

#endif
