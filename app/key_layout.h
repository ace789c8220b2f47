// The layout of the key files' lines: field widths, counts and value ranges. Plain
// constants and types only, so that the cipher core and its tests outside the image can
// share them; the rest of the key-file module (names, reading, writing, the lock) is
// app/keyfiles.h.
#pragma once
#include <stdint.h>

namespace keyfile {

// A value range, both ends included.
struct Range {
  int32_t min, max;
};

// Component 1 entry file "K1<n>.bin": 20 lines, each one substitution table of 256
// fields, a permutation of 0..255.
constexpr int kTableLines = 20;
constexpr int kTableFields = 256;
constexpr int kTableWidth = 3;
constexpr Range kTableValue{0, 255};

// "k2.dat", one line per entry: the slot map (field r names the table line that goes
// into slot r; the 20 fields are a permutation of 1..20), then 20 numbers 0..100 that
// the cipher does not use.
constexpr int kSlots = 20;
constexpr int kK2Width = 7;
constexpr Range kSlotLine{1, kTableLines};
constexpr int kK2SpareFields = 20;
constexpr Range kK2Spare{0, 100};

// "k3.bin", one line per entry: 20 direction flags, 20 phase-0 periods, 20 phase-1
// periods, 20 shifts, 10 expansion seeds, and a final number the cipher does not use.
constexpr int kK3Width = 3;
constexpr int kSeeds = 10;
constexpr Range kDirection{0, 1};
constexpr Range kPeriod{1, 11};
constexpr Range kShift{1, 11};
constexpr Range kSeed{0, 100};
constexpr Range kK3Final{1, 101};

constexpr int kTableLineLength = kTableFields * kTableWidth;
constexpr int kK2LineLength = (kSlots + kK2SpareFields) * kK2Width;
constexpr int kK3LineLength = (4 * kSlots + kSeeds + 1) * kK3Width;

// One entry of "k3.bin". `final` is written by createsys and never read.
struct StepEntry {
  int32_t direction[kSlots];
  int32_t period0[kSlots];
  int32_t period1[kSlots];
  int32_t shift[kSlots];
  int32_t seed[kSeeds];
  int32_t final;
};

// Characters of one entry file "K1<n>.bin", line ends not counted: what sysdat reports
// as the size of one entry of component 1.
constexpr int64_t kEntryFileChars = static_cast<int64_t>(kTableLines) * kTableLineLength;

}  // namespace keyfile
