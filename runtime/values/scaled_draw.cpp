// The scaling of a draw k / 2^20 (20-bit k) as the key values take it: Round(rnd * m) is
// (k * m + 2^19) >> 20 for m >= 0 (k * m / 2^20 is exact in a double, and rounding half
// up is rounding half away from zero there); a negative m gives the negated result for -m.
#include <stdint.h>

#include "runtime/values/numbers_internal.h"

extern "C" int32_t MVScaledDraw(uint32_t k, int32_t m) {
  constexpr uint32_t kHalf = 1u << 19;
  k &= 0xFFFFFu;
  if (m >= 0) return static_cast<int32_t>((static_cast<uint64_t>(k) * static_cast<uint32_t>(m) + kHalf) >> 20);
  uint64_t magnitude = static_cast<uint64_t>(-static_cast<int64_t>(m));
  return static_cast<int32_t>(-static_cast<int64_t>((k * magnitude + kHalf) >> 20));
}
