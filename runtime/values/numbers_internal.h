// Internals of the random generator, for the runtime and its tests.
#pragma once
#include "runtime/runtime_only.h"
#include <stdint.h>
#include <time.h>

// The generator state (0 while unseeded).
extern int32_t gMVRandomState;
inline int32_t MVRandomState() { return gMVRandomState; }
inline void MVSetRandomState(int32_t state) { gMVRandomState = state; }
// The state a clock reading of `seconds` seeds: its low 31 bits, 0 and 2^31 - 1 becoming
// 1 (before the discarded warm-up steps).
int32_t MVRandomSeedFromClock(int64_t seconds);
// Round(k / 2^20 * m) as an integer, for a 20-bit draw k: the scaled key draws.
extern "C" int32_t MVScaledDraw(uint32_t k, int32_t m);
