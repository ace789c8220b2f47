// The directly computed slot state and filler positions against stepping.
#include <gtest/gtest.h>

#include <memory>
#include <random>

#include "app/cipher_key.h"
#include "app/cipher_position.h"

namespace {

using cipher::Slot;

bool SameSlot(const Slot& a, const Slot& b) {
  return a.direction == b.direction && a.phase == b.phase && a.counter == b.counter &&
         a.shift == b.shift && a.period0 == b.period0 && a.period1 == b.period1;
}

// Stepping the counters only: StepSlot's rule applied a whole phase at a time, which
// reaches positions past 2^32 for slots with long phases.
Slot CountTo(Slot s, uint64_t j, uint8_t* offset) {
  uint32_t off = 0;
  auto move = [&](const Slot& x) -> uint32_t {
    if (x.shift < 1 || x.shift >= 256) return 0;
    return x.direction < 1 ? static_cast<uint32_t>(-x.shift) : static_cast<uint32_t>(x.shift);
  };
  while (j > 0) {
    int32_t limit = s.phase == 0 ? s.period0 : s.period1;
    bool flips = s.phase == 0 || s.phase == 1;
    int64_t toFlip = static_cast<int64_t>(limit) - s.counter;
    uint64_t k = toFlip < 1 ? 1 : static_cast<uint64_t>(toFlip);
    if (!flips || j < k) {
      off += static_cast<uint32_t>(j % 256) * move(s);
      s.counter = static_cast<int32_t>(static_cast<uint32_t>(s.counter) + static_cast<uint32_t>(j));
      break;
    }
    off += static_cast<uint32_t>(k % 256) * move(s);
    s.phase = s.phase == 0 ? 1 : 0;
    s.direction = s.direction == 0 ? 1 : 0;
    s.counter = 0;
    j -= k;
  }
  *offset = static_cast<uint8_t>(off);
  return s;
}

TEST(CipherPosition, SlotStateMatchesStepping) {
  // Every state on the way, for the key files' ranges and for odd states: periods below
  // 1, a counter past its period, a direction other than 0 and 1, shifts outside 1..255,
  // a phase that never flips.
  const Slot odd[] = {{0, 0, 0, 3, 1, 1},   {1, 0, 0, 11, 11, 1}, {0, 1, 7, 5, 3, 4},
                      {5, 0, 0, 7, 0, -3},  {0, 0, 40, 2, 9, 9},  {1, 0, 0, 256, 4, 6},
                      {0, 0, 0, 300, 2, 2}, {0, 2, 0, 9, 3, 3},   {1, 1, 0, 0, 5, 8}};
  std::mt19937 rng(7);
  std::vector<Slot> slots(std::begin(odd), std::end(odd));
  for (int i = 0; i < 20; i++)
    slots.push_back(Slot{static_cast<int32_t>(rng() % 2), 0, 0, 1 + static_cast<int32_t>(rng() % 11),
                         1 + static_cast<int32_t>(rng() % 11), 1 + static_cast<int32_t>(rng() % 11)});
  for (const Slot& start : slots) {
    Slot s = start;
    uint8_t off = 0;
    for (uint32_t j = 0; j < 3000; j++) {
      uint8_t got;
      Slot at = cipher::SlotAt(start, j, &got);
      ASSERT_TRUE(SameSlot(at, s)) << "step " << j << " of slot with shift " << start.shift;
      ASSERT_EQ(got, off) << "step " << j;
      off = static_cast<uint8_t>(off + cipher::StepSlot(&s));
    }
  }
}

TEST(CipherPosition, SlotStateBeyondFourGigabytes) {
  const Slot slots[] = {{0, 0, 0, 7, 300000007, 299999989},
                        {1, 0, 0, 255, 1000003, 999983},
                        {0, 0, 5, 3, 123456789, 1},
                        {1, 1, 0, 11, 2147483647, 2147483646}};
  const uint64_t positions[] = {(1ull << 32) - 1, 1ull << 32, (1ull << 32) + 1,
                                (1ull << 33) + 12345, 3ull << 34, 1ull << 40};
  for (const Slot& start : slots) {
    for (uint64_t j : positions) {
      if (j > (1ull << 36) && start.period0 < 10000000) continue;  // phase stepping too long
      uint8_t want, got;
      Slot counted = CountTo(start, j, &want);
      Slot at = cipher::SlotAt(start, j, &got);
      EXPECT_TRUE(SameSlot(at, counted)) << "position " << j << ", period " << start.period0;
      EXPECT_EQ(got, want) << "position " << j << ", period " << start.period0;
    }
  }
}

TEST(CipherPosition, FillerPrefixGivesOutputOffsets) {
  auto key = std::make_unique<cipher::Key>();
  cipher::ClearCipherState(key.get());
  const int32_t seeds[10] = {4, 9, 1, 1, 50, 22, 3, 8, 8, 1};
  for (int j = 0; j < 10; j++) key->expansion[1 + j] = seeds[j];
  cipher::BuildExpansionTable(key.get());
  static cipher::FillerPrefix prefix;
  prefix.Build(*key);
  uint64_t cycle = 0;
  for (int p = 1; p <= cipher::kFillerCycle; p++) cycle += static_cast<uint32_t>(key->expansion[p]);
  // Stepped through two and a half cycles.
  // Every offset from the cipher byte's own to the last filler before the next counts
  // the cipher bytes below it.
  uint64_t out = 0;
  int32_t p = 0;
  uint32_t most = 0;
  for (uint64_t i = 0; i < 50001; i++) {
    ASSERT_EQ(prefix.OutputOffset(i), out) << "cipher byte " << i;
    p = p == cipher::kFillerCycle ? 1 : p + 1;
    uint32_t e = static_cast<uint32_t>(key->expansion[p]);
    if (e > most) most = e;
    for (uint64_t o = out; o <= out + e; o++)
      ASSERT_EQ(prefix.CipherBytesBefore(o + 1), i + 1) << "offset " << o + 1;
    ASSERT_EQ(prefix.CipherBytesBefore(out), i) << "offset " << out;
    out += 1 + e;
  }
  EXPECT_EQ(prefix.MostFillers(), most);
  // Far out, a whole cycle further adds one cycle's bytes.
  for (uint64_t i : {(1ull << 32) + 3, (1ull << 40) + 19999}) {
    EXPECT_EQ(prefix.OutputOffset(i + cipher::kFillerCycle) - prefix.OutputOffset(i),
              cipher::kFillerCycle + cycle);
    EXPECT_EQ(prefix.FillersBefore(i), (i / 20000) * cycle + prefix.FillersBefore(i % 20000));
    EXPECT_EQ(prefix.CipherBytesBefore(prefix.OutputOffset(i)), i);
    EXPECT_EQ(prefix.CipherBytesBefore(prefix.OutputOffset(i) + 1), i + 1);
  }
}

}  // namespace
