#include <gtest/gtest.h>
#include <stdint.h>

#include <string>
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

// Runs a check with the bulk draws limited to each lane width the processor has.
template <typename F>
void AtEveryWidth(F check) {
  int last = -1;
  for (int width = 0; width <= 2; width++) {
    int used = MVLimitRandomLanes(width);
    if (used == last) continue;  // the processor has nothing wider
    last = used;
    SCOPED_TRACE("lane width " + std::to_string(used));
    check();
  }
  MVLimitRandomLanes(2);
}

TEST(RandomFillers, EqualSuccessiveDrawsAndLeaveTheSameState) {
  // Lengths around the batches of 4, 8, 16 and 32 lanes, and a long run.
  const int32_t lengths[] = {1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 32, 33, 63, 64, 65, 100, 4097, 100000};
  const int32_t starts[] = {1, 16807, 2147483646, 1043618065, 123456789};
  AtEveryWidth([&] {
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
  });
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


// --- Scaled and raw draws.

int32_t RoundedDraw(int32_t m) {
  return RuntimeCvtReal64ToSInt32(RuntimeRound(rnd() * m));
}

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

TEST(ScaledDraws, BulkEqualsRoundedRndAndLeavesTheSameState) {
  const int32_t factors[] = {255, 50, 19, 100, 10, 99, 3000, -7, INT32_MIN};
  const int32_t lengths[] = {1, 5, 8, 15, 16, 17, 31, 33, 1000, 4097};
  const int32_t starts[] = {1, 2147483646, 1043618065, 987654321};
  AtEveryWidth([&] {
  for (int32_t start : starts) {
    for (int32_t m : factors) {
      for (int32_t n : lengths) {
        MVSetRandomState(start);
        std::vector<int32_t> want;
        for (int32_t i = 0; i < n; i++) want.push_back(RoundedDraw(m));
        int32_t after = MVRandomState();

        MVSetRandomState(start);
        std::vector<int32_t> got(n);
        RuntimeRandomScaledFill(got.data(), n, m);
        ASSERT_EQ(got, want) << "state " << start << ", m " << m << ", n " << n;
        ASSERT_EQ(MVRandomState(), after);

        MVSetRandomState(start);
        std::vector<uint8_t> bytes(n);
        RuntimeRandomScaledBytes(bytes.data(), n, m);
        for (int32_t i = 0; i < n; i++)
          ASSERT_EQ(bytes[i], static_cast<uint8_t>(want[i])) << "m " << m << ", draw " << i;
        ASSERT_EQ(MVRandomState(), after);

        MVSetRandomState(start);
        std::vector<int32_t> raw(n);
        RuntimeRandomDraws(raw.data(), n);
        ASSERT_EQ(MVRandomState(), after);
        MVSetRandomState(start);
        for (int32_t i = 0; i < n; i++) ASSERT_EQ(raw[i], static_cast<int32_t>(rnd() * 1048576.0));
      }
    }
  }
  });
}

TEST(ScaledDraws, MixedWithRndInAnyOrder) {
  // Key creation's pattern (a thousand swaps' draws, then one rotation count), with
  // single draws, raw draws, fillers and plain rnd() calls in between: every value and
  // the final state as if everything had been rnd().
  for (int32_t start : {1, 424242, 2000000000}) {
    MVSetRandomState(start);
    std::vector<int64_t> want;
    for (int round = 0; round < 30; round++) {
      for (int i = 0; i < 1000; i++) want.push_back(RoundedDraw(255));
      want.push_back(RoundedDraw(50));
      want.push_back(static_cast<int64_t>(rnd() * 1048576.0));  // a plain rnd()
      for (int i = 0; i < 3; i++) want.push_back(static_cast<int64_t>(rnd() * 1048576.0));
      for (int i = 0; i < 5; i++)
        want.push_back(RuntimeCvtReal64ToSInt32(rnd() * 255 + 1) - 1);
      want.push_back(RoundedDraw(19));
    }
    int32_t after = MVRandomState();

    MVSetRandomState(start);
    std::vector<int64_t> got;
    for (int round = 0; round < 30; round++) {
      int32_t swaps[1000];
      RuntimeRandomScaledFill(swaps, 1000, 255);
      got.insert(got.end(), swaps, swaps + 1000);
      got.push_back(RuntimeRandomScaled(50));
      got.push_back(static_cast<int64_t>(rnd() * 1048576.0));
      int32_t raw[3];
      RuntimeRandomDraws(raw, 3);
      got.insert(got.end(), raw, raw + 3);
      uint8_t fill[5];
      RuntimeRandomFillers(fill, 5);
      got.insert(got.end(), fill, fill + 5);
      got.push_back(RuntimeRandomScaled(19));
    }
    ASSERT_EQ(got, want) << "state " << start;
    EXPECT_EQ(MVRandomState(), after);
  }
}

TEST(ScaledDraws, UnseededStartSeedsLikeRnd) {
  bool same = false;
  for (int attempt = 0; attempt < 3 && !same; attempt++) {
    MVSetRandomState(0);
    std::vector<int32_t> want;
    for (int i = 0; i < 40; i++) want.push_back(RoundedDraw(99));
    int32_t after = MVRandomState();
    MVSetRandomState(0);
    std::vector<int32_t> got(40);
    RuntimeRandomScaledFill(got.data(), 40, 99);
    same = got == want && MVRandomState() == after;
  }
  EXPECT_TRUE(same);
}

TEST(ScaledDraws, NothingToDoLeavesTheStateAlone) {
  MVSetRandomState(31337);
  int32_t v = 5;
  uint8_t b = 6;
  RuntimeRandomScaledFill(nullptr, 4, 10);
  RuntimeRandomScaledFill(&v, 0, 10);
  RuntimeRandomScaledBytes(&b, -1, 10);
  RuntimeRandomDraws(&v, 0);
  EXPECT_EQ(MVRandomState(), 31337);
  EXPECT_EQ(v, 5);
  EXPECT_EQ(b, 6);
}

}  // namespace
