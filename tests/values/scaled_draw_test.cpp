// The scaling of the key draws: the integer form equals Round(k / 2^20 * m) for every draw.
#include <gtest/gtest.h>
#include <stdint.h>

#include "runtime/values/numbers.h"
#include "runtime/values/numbers_internal.h"

namespace {

TEST(ScaledDraws, IntegerFormMatchesRoundForEveryDraw) {
  // Every 20-bit draw, for the scalings key creation uses and for the edges of the
  // integer form (the 32-bit shortcut ends at 2047; large and negative factors).
  const int32_t factors[] = {255, 50, 19, 100, 10, 99, 0, 1, 2, 2047, 2048, 65535,
                             -1, -255, INT32_MAX, INT32_MIN};
  for (int32_t m : factors) {
    int32_t halves = 0;
    for (uint32_t k = 0; k < (1u << 20); k++) {
      double x = static_cast<double>(k) / 1048576.0 * m;
      int32_t want = RuntimeCvtReal64ToSInt32(RuntimeRound(x));
      ASSERT_EQ(MVScaledDraw(k, m), want) << "k " << k << ", m " << m;
      if (x - static_cast<double>(static_cast<int64_t>(x)) == 0.5) halves++;
    }
    // The halfway draws are among them wherever the factor makes them possible.
    if (m == 255 || m == 19 || m == 99) {
      EXPECT_GT(halves, 0) << "m " << m;
    }
  }
}

}  // namespace
