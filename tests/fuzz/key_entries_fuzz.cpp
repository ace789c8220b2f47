// The key-entry validation: a line of a key file checked against its layout (a
// substitution table, a slot map, a step entry) and an entry file's name. Byte 0 picks
// the check; the rest is the line. A line that passes holds values in their ranges, and
// writing them out again gives a line that passes with the same values.
#include <stdint.h>
#include <string.h>

#include "app/keyfiles.h"

namespace {

Str Line(const uint8_t* p, size_t n) {
  return Str(MVStringFromBytes(p, static_cast<uint32_t>(n), kEncodingUTF8));
}

Str Written(const char* text, int length) {
  return Str(MVStringFromBytes(text, static_cast<uint32_t>(length), kEncodingUTF8));
}

bool InRange(const int32_t* v, int n, keyfile::Range r) {
  for (int i = 0; i < n; i++)
    if (v[i] < r.min || v[i] > r.max) return false;
  return true;
}

void Table(const Str& line) {
  uint8_t values[keyfile::kTableFields];
  if (!keyfile::ParseTable(line, values)) return;
  bool seen[256] = {false};
  for (uint8_t v : values) {
    if (seen[v]) __builtin_trap();  // not a permutation
    seen[v] = true;
  }
  char out[keyfile::kTableLineLength];
  uint8_t again[keyfile::kTableFields];
  if (!keyfile::ParseTable(Written(out, keyfile::FormatTable(out, values)), again) ||
      memcmp(values, again, sizeof values) != 0)
    __builtin_trap();
}

void SlotMap(const Str& line) {
  int32_t map[keyfile::kSlots];
  if (!keyfile::ParseSlotMap(line, map)) return;
  bool seen[keyfile::kSlots + 1] = {false};
  for (int32_t v : map) {
    if (v < 1 || v > keyfile::kSlots || seen[v]) __builtin_trap();
    seen[v] = true;
  }
  int32_t spare[keyfile::kK2SpareFields] = {0};
  char out[keyfile::kK2LineLength];
  int32_t again[keyfile::kSlots];
  if (!keyfile::ParseSlotMap(Written(out, keyfile::FormatSlotEntry(out, map, spare)), again) ||
      memcmp(map, again, sizeof map) != 0)
    __builtin_trap();
}

void Step(const Str& line) {
  keyfile::StepEntry e;
  if (!keyfile::ParseStepEntry(line, &e)) return;
  if (!InRange(e.direction, keyfile::kSlots, keyfile::kDirection) ||
      !InRange(e.period0, keyfile::kSlots, keyfile::kPeriod) ||
      !InRange(e.period1, keyfile::kSlots, keyfile::kPeriod) ||
      !InRange(e.shift, keyfile::kSlots, keyfile::kShift) ||
      !InRange(e.seed, keyfile::kSeeds, keyfile::kSeed))
    __builtin_trap();
  e.final = 1;
  char out[keyfile::kK3LineLength];
  keyfile::StepEntry again;
  if (!keyfile::ParseStepEntry(Written(out, keyfile::FormatStepEntry(out, e)), &again) ||
      memcmp(e.direction, again.direction, sizeof e.direction) != 0 ||
      memcmp(e.seed, again.seed, sizeof e.seed) != 0)
    __builtin_trap();
}

void EntryName(const Str& name) {
  int32_t n = keyfile::EntryNumberOf(name.get());
  if (n < 0) __builtin_trap();
  if (n > 0 && RuntimeStringCompare(keyfile::EntryFileName(n).get(), name.get()) != 0)
    __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  Str line = Line(data + 1, size - 1);
  switch (data[0] % 4) {
    case 0: Table(line); break;
    case 1: SlotMap(line); break;
    case 2: Step(line); break;
    default: EntryName(line); break;
  }
  return 0;
}
