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

// Bulk draws of the shared generator. Each gives exactly what the same number of
// successive rnd() calls would give (seeding it from the clock first if no draw was made
// yet) and leaves the generator where those calls would leave it; n <= 0 or a NULL
// array does nothing.
// n filler bytes: CInt(rnd() * 255 + 1) - 1 each (0..254).
void RuntimeRandomFillers(uint8_t* out, int32_t n);
// One scaled draw: CInt(Round(rnd() * m)), Round halving away from zero (0..m for m >= 0,
// -m..0 for m < 0).
int32_t RuntimeRandomScaled(int32_t m);
// n scaled draws, as n calls of RuntimeRandomScaled(m).
void RuntimeRandomScaledFill(int32_t* out, int32_t n, int32_t m);
// The same as bytes: the low 8 bits of each value (the value itself for 0 <= m <= 255).
void RuntimeRandomScaledBytes(uint8_t* out, int32_t n, int32_t m);
// n raw draws k = rnd() * 2^20 (0 .. 2^20 - 1), for the scalings that are not a Round:
// rnd() * m < c is k * m < c * 2^20, CInt(rnd() * m) is (k * m) >> 20 for m >= 0.
void RuntimeRandomDraws(int32_t* out, int32_t n);

// --- Runtime-internal: not declared for the code image and plug-ins (MV_EXPORTS_ONLY),
// which reach the runtime through exported names only.
#ifndef MV_EXPORTS_ONLY
// One Park-Miller step by Schrage's method (exposed for tests of the generator).
int32_t MVParkMillerStep(int32_t state);
#endif  // MV_EXPORTS_ONLY

#ifdef __cplusplus
}
#endif
