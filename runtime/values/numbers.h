// Numbers and the random generator.
#pragma once
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

double rnd(void);
double RuntimeRound(double x);
int32_t RuntimeCvtReal64ToSInt32(double x);
double RuntimeCvtSInt32ToReal64(int32_t n);
// Siblings of the same family (not used by the application).
double RuntimeCeil(double x);
double RuntimeFloor(double x);
double RuntimeAbs(double x);
int32_t RuntimeSign(double x);
double RuntimeMax(double a, double b);
double RuntimeMin(double a, double b);

// --- Runtime-internal: not declared for the code image and plug-ins (MV_EXPORTS_ONLY),
// which reach the runtime through exported names only.
#ifndef MV_EXPORTS_ONLY
// One Park-Miller step by Schrage's method (exposed for tests of the generator).
int32_t MVParkMillerStep(int32_t state);
#endif  // MV_EXPORTS_ONLY

#ifdef __cplusplus
}
#endif
