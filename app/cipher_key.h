// The key of one enc or dec command as a plain value: the 20 slot tables, the stepping
// state of each slot and the expansion table. The loaders (app/cipher.h) fill it from the
// key files; the engine (app/cipher_engine.h) runs it over data. The operations here are
// the cipher's definition, one byte at a time; they need nothing of the runtime.
#pragma once
#include <stdint.h>

#include "app/key_layout.h"

namespace cipher {

constexpr int kSlots = keyfile::kSlots;
constexpr int kTableSize = keyfile::kTableFields;
// The filler counts repeat after this many cipher bytes.
constexpr int32_t kFillerCycle = 20000;

// The stepping state of one slot.
struct Slot {
  int32_t direction;  // 0 or 1: rotation toward higher (0) or lower (1) positions
  int32_t phase;      // 0 or 1
  int32_t counter;    // steps since the last flip
  int32_t shift;      // bytes rotated per step
  int32_t period0;    // steps of phase 0 before a flip
  int32_t period1;    // steps of phase 1 before a flip
};

struct Key {
  // table[r][k]: the output of slot r (0-based) for the input byte k.
  uint8_t table[kSlots][kTableSize];
  Slot slot[kSlots];
  // Line of the K1 entry file loaded into each slot (1..20).
  int32_t line[kSlots];
  // expansion[1..kFillerCycle]: filler count of each cipher byte position, cyclic;
  // expansion[1..10] hold the ten seeds until BuildExpansionTable. Index 0 is unused.
  int32_t expansion[kFillerCycle + 1];
  bool expansionOn;
};

// Every slot, table and count to 0.
void ClearCipherState(Key* key);
// expansionOn and expansion[11..kFillerCycle] from the ten seeds in expansion[1..10].
void BuildExpansionTable(Key* key);

// One step of one slot's state. Returns how the slot's table moves: its table after the
// step is the table before it read from position (k + result) mod 256.
int32_t StepSlot(Slot* s);
// One step of all 20 slots: state and tables.
void StepSlots(Key* key);
// The forward substitution of a byte through slots 1..20, and the inverse through slots
// 20..1 (the first position of the byte in each table; a byte that a table does not hold
// gives 0).
uint8_t ForwardByte(const Key& key, uint8_t b);
uint8_t InverseByte(const Key& key, uint8_t c);

}  // namespace cipher
