// The runtime error report: internal consistency failures are printed on standard
// output and the caller carries on.
#pragma once
#include "runtime/runtime_only.h"
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// kind: 1..8 (texts in report.cpp); file like "../Common/loaderX86"; extra may be NULL.
void MVRuntimeErrorReport(int32_t kind, const char* file, int32_t line, const char* condition,
                          const char* extra);

#ifdef __cplusplus
}
#endif
