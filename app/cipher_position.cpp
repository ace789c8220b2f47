// Direct computation of slot states and filler positions.
#include "app/cipher_position.h"

namespace cipher {

namespace {

// The move of one step in a direction (as StepSlot gives it).
inline uint32_t MoveOf(const Slot& s, int32_t direction) {
  if (s.shift < 1 || s.shift >= kTableSize) return 0;
  return direction < 1 ? static_cast<uint32_t>(-s.shift) : static_cast<uint32_t>(s.shift);
}

// Steps spent in a phase before the flip: a period below 1 flips after every step.
inline uint64_t PhaseLength(const Slot& s, int32_t phase) {
  int32_t p = phase == 0 ? s.period0 : s.period1;
  return p < 1 ? 1 : static_cast<uint64_t>(p);
}

// Offsets are taken mod 256: a product of 64-bit counts needs only their low bytes.
inline uint8_t Times(uint64_t count, uint32_t move) {
  return static_cast<uint8_t>(static_cast<uint32_t>(count & 0xFF) * move);
}

}  // namespace

Slot SlotAt(const Slot& start, uint64_t j, uint8_t* offset) {
  Slot s = start;
  uint32_t m0 = MoveOf(s, s.direction);
  // A phase other than 0 and 1 never flips.
  if (s.phase != 0 && s.phase != 1) {
    s.counter = static_cast<int32_t>(static_cast<uint32_t>(s.counter) + static_cast<uint32_t>(j));
    *offset = Times(j, m0);
    return s;
  }
  // Lead-in: the steps up to and including the first flip.
  int32_t limit = s.phase == 0 ? s.period0 : s.period1;
  int64_t rest = static_cast<int64_t>(limit) - s.counter;
  uint64_t lead = rest < 1 ? 1 : static_cast<uint64_t>(rest);
  if (j < lead) {
    s.counter = static_cast<int32_t>(static_cast<uint32_t>(s.counter) + static_cast<uint32_t>(j));
    *offset = Times(j, m0);
    return s;
  }
  uint8_t off = Times(lead, m0);
  s.phase = s.phase == 0 ? 1 : 0;
  s.direction = s.direction == 0 ? 1 : 0;
  s.counter = 0;
  // Whole cycles of both phases, then what is left of one.
  uint64_t first = PhaseLength(s, s.phase);
  uint64_t second = PhaseLength(s, 1 - s.phase);
  uint32_t mFirst = MoveOf(s, s.direction), mSecond = MoveOf(s, 1 - s.direction);
  uint64_t left = j - lead;
  uint64_t cycles = left / (first + second);
  uint64_t r = left % (first + second);
  off = static_cast<uint8_t>(off + Times(cycles, Times(first, mFirst) + Times(second, mSecond)));
  if (r < first) {
    off = static_cast<uint8_t>(off + Times(r, mFirst));
    s.counter = static_cast<int32_t>(r);
  } else {
    off = static_cast<uint8_t>(off + Times(first, mFirst) + Times(r - first, mSecond));
    s.phase = 1 - s.phase;
    s.direction = 1 - s.direction;
    s.counter = static_cast<int32_t>(r - first);
  }
  *offset = off;
  return s;
}

void FillerPrefix::Build(const Key& key) {
  sum_[0] = 0;
  most_ = 0;
  for (int32_t p = 1; p <= kFillerCycle; p++) {
    uint32_t e = static_cast<uint32_t>(key.expansion[p]);
    sum_[p] = sum_[p - 1] + e;
    if (e > most_) most_ = e;
  }
}

uint64_t FillerPrefix::CipherBytesBefore(uint64_t offset) const {
  // Whole cycles of output, then the first position p of the last cycle whose byte
  // lies at or past what is left: offsets p + sum_[p] grow with p.
  uint64_t cycle = kFillerCycle + sum_[kFillerCycle];
  uint64_t whole = offset / cycle, rest = offset % cycle;
  uint32_t lo = 0, hi = kFillerCycle;
  while (lo < hi) {
    uint32_t mid = lo + (hi - lo) / 2;
    if (mid + sum_[mid] < rest)
      lo = mid + 1;
    else
      hi = mid;
  }
  return whole * kFillerCycle + lo;
}

uint64_t FillerPrefix::FillersBefore(uint64_t i) const {
  return (i / kFillerCycle) * sum_[kFillerCycle] + sum_[i % kFillerCycle];
}

}  // namespace cipher
