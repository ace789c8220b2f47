#include <gtest/gtest.h>
#include <math.h>
#include <time.h>

#include "runtime/values/numbers.h"
#include "runtime/values/numbers_internal.h"

namespace {

TEST(ParkMiller, MinimalStandardSequence) {
  EXPECT_EQ(MVParkMillerStep(1), 16807);
  EXPECT_EQ(MVParkMillerStep(16807), 282475249);
  int32_t s = 1;
  for (int i = 0; i < 10000; i++) s = MVParkMillerStep(s);
  EXPECT_EQ(s, 1043618065);
  // The largest state stays in range (no 32-bit overflow in the step).
  int32_t top = MVParkMillerStep(2147483646);
  EXPECT_GE(top, 1);
  EXPECT_LE(top, 2147483646);
  EXPECT_EQ(top, 2147466840);  // 16807 * (m - 1) mod m = m - 16807
}

TEST(Rnd, FromKnownState) {
  MVSetRandomState(16807);
  EXPECT_DOUBLE_EQ(rnd(), 408305.0 / 1048576.0);
  EXPECT_EQ(MVRandomState(), 282475249);
  // Every result is a multiple of 2^-20 in [0, 1).
  for (int i = 0; i < 1000; i++) {
    double r = rnd();
    ASSERT_GE(r, 0.0);
    ASSERT_LT(r, 1.0);
    double scaled = r * 1048576.0;
    ASSERT_EQ(scaled, floor(scaled));
    ASSERT_EQ(static_cast<int32_t>(scaled), MVRandomState() & 0xFFFFF);
  }
}

TEST(Rnd, SeedsFromClockOnFirstCall) {
  EXPECT_EQ(MVRandomSeedFromClock(0), 1);
  EXPECT_EQ(MVRandomSeedFromClock(INT64_C(0x80000000)), 1);
  EXPECT_EQ(MVRandomSeedFromClock(INT64_C(0x80000005)), 5);
  EXPECT_EQ(MVRandomSeedFromClock(1700000000), 1700000000);
  // The low 31 bits all set would be the modulus: a state the step never leaves.
  EXPECT_EQ(MVParkMillerStep(2147483647), 2147483647);
  EXPECT_EQ(MVRandomSeedFromClock(INT64_C(0x7FFFFFFF)), 1);
  EXPECT_EQ(MVRandomSeedFromClock(INT64_C(0xFFFFFFFF)), 1);
  EXPECT_EQ(MVRandomSeedFromClock(INT64_C(0x7FFFFFFE)), 2147483646);

  // Unseeded: the clock value, then 7 discarded steps, then the step that is returned.
  MVSetRandomState(0);
  int64_t before = time(nullptr);
  rnd();
  int64_t after = time(nullptr);
  bool matched = false;
  for (int64_t t = before; t <= after; t++) {
    int32_t s = MVRandomSeedFromClock(t);
    for (int i = 0; i < 8; i++) s = MVParkMillerStep(s);
    matched = matched || s == MVRandomState();
  }
  EXPECT_TRUE(matched);
}

TEST(Rnd, ScaledTruncationStaysBelowLimit) {
  MVSetRandomState(123456789);
  for (int i = 0; i < 2000; i++) {
    int32_t v = RuntimeCvtReal64ToSInt32(rnd() * 256.0);
    ASSERT_GE(v, 0);
    ASSERT_LE(v, 255);
  }
}

TEST(Round, HalvesAwayFromZero) {
  EXPECT_EQ(RuntimeRound(2.5), 3.0);
  EXPECT_EQ(RuntimeRound(-2.5), -3.0);
  EXPECT_EQ(RuntimeRound(0.5), 1.0);
  EXPECT_EQ(RuntimeRound(-0.5), -1.0);
  EXPECT_EQ(RuntimeRound(1.4999), 1.0);
  EXPECT_EQ(RuntimeRound(-1.4999), -1.0);
  EXPECT_TRUE(isnan(RuntimeRound(NAN)));
  EXPECT_EQ(RuntimeRound(INFINITY), INFINITY);
  EXPECT_EQ(RuntimeRound(-INFINITY), -INFINITY);
}

TEST(Conversion, TruncatesTowardZero) {
  EXPECT_EQ(RuntimeCvtReal64ToSInt32(3.99), 3);
  EXPECT_EQ(RuntimeCvtReal64ToSInt32(-3.99), -3);
  EXPECT_EQ(RuntimeCvtReal64ToSInt32(-0.9), 0);
  EXPECT_EQ(RuntimeCvtReal64ToSInt32(2147483647.0), INT32_MAX);
  EXPECT_EQ(RuntimeCvtReal64ToSInt32(2147483647.9), INT32_MAX);
  EXPECT_EQ(RuntimeCvtReal64ToSInt32(-2147483648.0), INT32_MIN);
  EXPECT_EQ(RuntimeCvtReal64ToSInt32(-2147483648.9), INT32_MIN);
}

TEST(Conversion, OutOfRangeGivesIndefinite) {
  EXPECT_EQ(RuntimeCvtReal64ToSInt32(2147483648.0), INT32_MIN);
  EXPECT_EQ(RuntimeCvtReal64ToSInt32(-2147483649.0), INT32_MIN);
  EXPECT_EQ(RuntimeCvtReal64ToSInt32(1e300), INT32_MIN);
  EXPECT_EQ(RuntimeCvtReal64ToSInt32(INFINITY), INT32_MIN);
  EXPECT_EQ(RuntimeCvtReal64ToSInt32(-INFINITY), INT32_MIN);
  EXPECT_EQ(RuntimeCvtReal64ToSInt32(NAN), INT32_MIN);
  EXPECT_EQ(RuntimeCvtSInt32ToReal64(INT32_MIN), -2147483648.0);
  EXPECT_EQ(RuntimeCvtSInt32ToReal64(INT32_MAX), 2147483647.0);
}

}  // namespace
