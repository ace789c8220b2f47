// Numbers: the Park-Miller random generator, rounding and the integer/double
// conversions that compiled code calls.
#include "runtime/values/numbers.h"

#include <math.h>
#include <time.h>

#include "runtime/values/numbers_internal.h"

namespace {

constexpr int32_t kModulus = 2147483647;  // 2^31 - 1
constexpr int32_t kMultiplier = 16807;
constexpr int32_t kQuotient = 127773;     // kModulus / kMultiplier
constexpr int32_t kRemainder = 2836;      // kModulus % kMultiplier
constexpr int kWarmUpSteps = 7;

}  // namespace

int32_t gMVRandomState = 0;  // 0: not yet seeded

int32_t MVRandomSeedFromClock(int64_t seconds) {
  int32_t seed = static_cast<int32_t>(static_cast<uint64_t>(seconds) & 0x7FFFFFFFu);
  // 2^31 - 1 is the modulus itself, which the step maps onto itself for ever; like 0
  // it is no valid state.
  return (seed == 0 || seed == kModulus) ? 1 : seed;
}

extern "C" int32_t MVParkMillerStep(int32_t state) {
  int32_t hi = state / kQuotient;
  int32_t lo = state % kQuotient;
  int32_t t = kMultiplier * lo - kRemainder * hi;
  if (t <= 0) t += kModulus;
  return t;
}

extern "C" double rnd(void) {
  if (gMVRandomState == 0) {
    gMVRandomState = MVRandomSeedFromClock(time(nullptr));
    for (int i = 0; i < kWarmUpSteps; i++) gMVRandomState = MVParkMillerStep(gMVRandomState);
  }
  gMVRandomState = MVParkMillerStep(gMVRandomState);
  return static_cast<double>(gMVRandomState & 0xFFFFF) * (1.0 / 1048576.0);
}

extern "C" double RuntimeRound(double x) { return round(x); }

extern "C" int32_t RuntimeCvtReal64ToSInt32(double x) {
  // Anything whose truncation does not fit (and NaN, which fails both comparisons)
  // gives the integer-indefinite value.
  if (!(x > -2147483649.0 && x < 2147483648.0)) return INT32_MIN;
  return static_cast<int32_t>(x);
}

extern "C" double RuntimeCvtSInt32ToReal64(int32_t n) { return static_cast<double>(n); }

extern "C" double RuntimeCeil(double x) { return ceil(x); }
extern "C" double RuntimeFloor(double x) { return floor(x); }
extern "C" double RuntimeAbs(double x) { return fabs(x); }
extern "C" int32_t RuntimeSign(double x) { return x > 0 ? 1 : (x < 0 ? -1 : 0); }
extern "C" double RuntimeMax(double a, double b) { return a >= b ? a : b; }
extern "C" double RuntimeMin(double a, double b) { return a <= b ? a : b; }
