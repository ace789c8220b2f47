// A progress line for long commands, shown only when standard error is a terminal: done
// and total, percent, rate and time left, refreshed at most ten times a second and erased
// when the command ends or before the next line on standard output. Nothing is written
// anywhere when standard error is not a terminal.
#pragma once
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// What is counted.
enum { kMVProgressBytes = 0, kMVProgressKeyFiles = 1 };

// --- Exported entry points.
// A command starts work of `total` units.
void RuntimeProgressBegin(int64_t total, int32_t unit);
// `done` units of the work are done; cheap when nothing is to be shown.
void RuntimeProgressStep(int64_t done);
// The work is over (complete or not): the line is erased.
void RuntimeProgressEnd(void);

// --- Runtime-internal: not declared for the code image and plug-ins (MV_EXPORTS_ONLY),
// which reach the runtime through exported names only.
#ifndef MV_EXPORTS_ONLY
// Erases a shown progress line (it is drawn again at the next step).
void MVProgressErase(void);
#endif  // MV_EXPORTS_ONLY

#ifdef __cplusplus
}
#endif
