#include <gtest/gtest.h>
#include <stdint.h>

#include <vector>

#include "runtime/values/numbers.h"
#include "runtime/values/numbers_internal.h"

namespace {

// What the application's filler loop would draw: CInt(rnd() * 255 + 1) - 1, truncating.
std::vector<uint8_t> Drawn(int32_t n) {
  std::vector<uint8_t> v;
  for (int32_t i = 0; i < n; i++)
    v.push_back(static_cast<uint8_t>(RuntimeCvtReal64ToSInt32(rnd() * 255 + 1) - 1));
  return v;
}

std::vector<uint8_t> Filled(int32_t n) {
  std::vector<uint8_t> v(n > 0 ? n : 0);
  RuntimeRandomFillers(v.data(), n);
  return v;
}

TEST(RandomFillers, EqualSuccessiveDrawsAndLeaveTheSameState) {
  // Lengths around the sixteen-draw batches, and a long run.
  const int32_t lengths[] = {1, 2, 15, 16, 17, 31, 32, 33, 100, 4097, 100000};
  const int32_t starts[] = {1, 16807, 2147483646, 1043618065, 123456789};
  for (int32_t start : starts) {
    for (int32_t n : lengths) {
      MVSetRandomState(start);
      std::vector<uint8_t> want = Drawn(n);
      int32_t after = MVRandomState();
      MVSetRandomState(start);
      ASSERT_EQ(Filled(n), want) << "state " << start << ", " << n << " bytes";
      ASSERT_EQ(MVRandomState(), after) << "state " << start << ", " << n << " bytes";
    }
  }
}

TEST(RandomFillers, CoverZeroTo254AndContinueTheSequence) {
  MVSetRandomState(42);
  std::vector<uint8_t> a = Filled(50000);
  std::vector<uint8_t> b = Filled(37);  // carries on where the first call stopped
  MVSetRandomState(42);
  std::vector<uint8_t> want = Drawn(50037);
  a.insert(a.end(), b.begin(), b.end());
  EXPECT_EQ(a, want);
  int seen[256] = {};
  for (uint8_t x : a) seen[x]++;
  EXPECT_GT(seen[0], 0);
  EXPECT_GT(seen[254], 0);
  EXPECT_EQ(seen[255], 0);
}

TEST(RandomFillers, UnseededStartSeedsLikeRnd) {
  // Both seed from the clock; a second boundary between the two runs could differ, so
  // the comparison is retried.
  bool same = false;
  for (int attempt = 0; attempt < 3 && !same; attempt++) {
    MVSetRandomState(0);
    std::vector<uint8_t> want = Drawn(40);
    int32_t after = MVRandomState();
    MVSetRandomState(0);
    std::vector<uint8_t> got = Filled(40);
    same = got == want && MVRandomState() == after;
  }
  EXPECT_TRUE(same);
  EXPECT_NE(MVRandomState(), 0);
}

TEST(RandomFillers, NothingToDoLeavesTheStateAlone) {
  MVSetRandomState(777);
  RuntimeRandomFillers(nullptr, 5);
  uint8_t b = 99;
  RuntimeRandomFillers(&b, 0);
  RuntimeRandomFillers(&b, -3);
  EXPECT_EQ(MVRandomState(), 777);
  EXPECT_EQ(b, 99);
}

}  // namespace
