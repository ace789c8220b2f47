// Process start-up, the code image loader and the exports of the runtime's main module.
#pragma once
#include <stdint.h>
#include "runtime/values/string.h"

#ifdef __cplusplus
extern "C" {
#endif

// --- Exported entry points.
void RuntimeInit(void);
void RuntimeSetApplicationPath(MVString* path);
void RuntimeStackCheck(void);

#ifdef __cplusplus
}
#endif
