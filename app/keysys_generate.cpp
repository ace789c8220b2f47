// Generation of the key components of a new key system (createsys).
#include "app/keysys.h"

namespace keysys {

namespace {

constexpr int kTable = keyfile::kTableFields;

// Every draw of the generation comes from the command's stream of the system's random
// source: a 20-bit k standing for the value k / 2^20.

// One substitution table of component 1: positions 1..kTable of t. The draws of a
// pass come in two calls: its 1,000 swap positions Round(k / 2^20 x 255) (x, y, x, y,
// ...), then its rotation Round(k / 2^20 x 50).
void GenerateTable(uint8_t* t) {
  constexpr int32_t kSwaps = 500;
  uint8_t picks[2 * kSwaps];
  for (int k = 1; k <= kTable; k++) t[k] = static_cast<uint8_t>(k - 1);
  for (int pass = 0; pass < 3; pass++) {
    RuntimeSecureRandomScaledBytes(picks, 2 * kSwaps, 255);
    for (int s = 0; s < kSwaps; s++) {
      int32_t x = picks[2 * s], y = picks[2 * s + 1];
      if (x == 0) x = 1;
      if (y == 0) y = 255;
      uint8_t v = t[x];
      t[x] = t[y];
      t[y] = v;
    }
    int32_t turns = RuntimeSecureRandomScaled(50) + 15;
    uint8_t rotated[kTable + 1];
    for (int k = 1; k <= kTable; k++) rotated[k] = t[(k - 1 + turns) % kTable + 1];
    for (int k = 1; k <= kTable; k++) t[k] = rotated[k];
  }
}

}  // namespace


bool GenerateComponent1(int32_t n1, int32_t* written) {
  uint8_t table[kTable + 1];
  char line[keyfile::kTableLineLength];
  for (int32_t n = 1; n <= n1; n++) {
    if (Stopped()) return false;
    Str name = EntryFileName(n);
    KeyFile file(name.get());
    if (!file.ok()) {
      ReportNotCreated(name.get(), false);
      return false;
    }
    for (int r = 0; r < keyfile::kTableLines; r++) {
      GenerateTable(table);
      file.WriteLine(line, keyfile::FormatTable(line, table + 1));
    }
    if (!file.Close()) {
      ReportNotCreated(name.get(), true);
      return false;
    }
    *written = n;
    RuntimeProgressStep(n);
  }
  return true;
}

bool GenerateComponent2(int32_t n2) {
  KeyFile file(keyfile::SlotMapFile());
  if (!file.ok()) {
    ReportNotCreated(keyfile::SlotMapFile(), false);
    return false;
  }
  int32_t p[keyfile::kSlots + 1], q[keyfile::kSlots + 1];
  char line[keyfile::kK2LineLength];
  int32_t picks[2 * 500];
  for (int32_t e = 1; e <= n2; e++) {
    // Q(r) takes a second draw only when the first is below 50: one draw at a time.
    for (int r = 1; r <= keyfile::kSlots; r++) {
      p[r] = r;
      q[r] = RuntimeSecureRandomScaled(100) < 50 ? RuntimeSecureRandomScaled(100) : 0;
    }
    RuntimeSecureRandomScaledFill(picks, 2 * 500, 19);
    for (int s = 0; s < 500; s++) {
      int32_t x = picks[2 * s] + 1;
      int32_t y = picks[2 * s + 1] + 1;
      int32_t v = p[x];
      p[x] = p[y];
      p[y] = v;
    }
    for (int turn = 0; turn < 5; turn++) {
      int32_t first = p[1];
      for (int r = 1; r < keyfile::kSlots; r++) p[r] = p[r + 1];
      p[keyfile::kSlots] = first;
    }
    file.WriteLine(line, keyfile::FormatSlotEntry(line, p + 1, q + 1));
    if (Stopped()) return false;
  }
  if (!file.Close()) {
    ReportNotCreated(keyfile::SlotMapFile(), true);
    return false;
  }
  return true;
}

namespace {

// Round((max - min) x k / 2^20) + min: a value of the range.
int32_t Draw(keyfile::Range range) { return RuntimeSecureRandomScaled(range.max - range.min) + range.min; }

}  // namespace

bool GenerateComponent3(int32_t n3, int32_t limit) {
  KeyFile file(keyfile::StepFile());
  if (!file.ok()) {
    ReportNotCreated(keyfile::StepFile(), false);
    return false;
  }
  // Direction flags, periods, shifts and seeds are kept from entry to entry: a flag once
  // set stays set in every later entry.
  keyfile::StepEntry e = {};
  char line[keyfile::kK3LineLength];
  for (int32_t n = 1; n <= n3; n++) {
    // k / 2^20 x 50 < 25 is k x 50 < 25 x 2^20.
    int32_t k[keyfile::kSlots];
    RuntimeSecureRandomDraws(k, keyfile::kSlots);
    for (int r = 0; r < keyfile::kSlots; r++)
      if (static_cast<int64_t>(k[r]) * 50 < int64_t{25} << 20) e.direction[r] = 1;
    for (int r = 0; r < keyfile::kSlots; r++) {
      e.period0[r] = Draw(keyfile::kPeriod);
      e.period1[r] = Draw(keyfile::kPeriod);
      e.shift[r] = Draw(keyfile::kShift);
    }
    if (limit != 0)
      for (int j = 0; j < keyfile::kSeeds; j++) e.seed[j] = Draw(keyfile::Range{1, limit + 1});
    e.final = RuntimeSecureRandomScaled(100) + 1;
    file.WriteLine(line, keyfile::FormatStepEntry(line, e));
    if (Stopped()) return false;
  }
  if (!file.Close()) {
    ReportNotCreated(keyfile::StepFile(), true);
    return false;
  }
  return true;
}

}  // namespace keysys
