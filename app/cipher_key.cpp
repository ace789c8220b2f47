// The cipher's definition on a key value: the expansion table and the stepping of the
// slots, one byte at a time.
#include "app/cipher_key.h"

namespace cipher {

void ClearCipherState(Key* key) {
  for (int r = 0; r < kSlots; r++) {
    key->slot[r] = Slot{0, 0, 0, 0, 0, 0};
    key->line[r] = 0;
    for (int k = 0; k < kTableSize; k++) key->table[r][k] = 0;
  }
  for (int i = 0; i <= kFillerCycle; i++) key->expansion[i] = 0;
  key->expansionOn = false;
}

namespace {

void Swap(int32_t* e, int a, int b) {
  int32_t t = e[a];
  e[a] = e[b];
  e[b] = t;
}

void Reverse10(int32_t* e) {
  for (int i = 1; i <= 5; i++) Swap(e, i, 11 - i);
}

int32_t Sum10(const int32_t* e) {
  int32_t s = 0;
  for (int i = 1; i <= 10; i++) s += e[i];
  return s;
}

// CInt(Round(x / 2)): halves away from zero.
int32_t RoundHalf(int32_t x) { return x >= 0 ? (x + 1) / 2 : -((1 - x) / 2); }

void ExtendTable(int32_t* e) {
  // E(41..60) from fixed sources plus constants.
  // Sources 2, 4, ..., 20, then 19 down to 10; constants 2 4 6 8 10 8 6 4 2 1 3 5 7 5 3 1
  // 5 4 2 1 (built in code: the image carries no initialised tables).
  int src[20], add[20];
  for (int i = 0; i < 20; i++) src[i] = i < 10 ? 2 * (i + 1) : 29 - i;
  int c = 0;
  add[c++] = 2, add[c++] = 4, add[c++] = 6, add[c++] = 8, add[c++] = 10;
  add[c++] = 8, add[c++] = 6, add[c++] = 4, add[c++] = 2, add[c++] = 1;
  add[c++] = 3, add[c++] = 5, add[c++] = 7, add[c++] = 5, add[c++] = 3;
  add[c++] = 1, add[c++] = 5, add[c++] = 4, add[c++] = 2, add[c++] = 1;
  for (int i = 0; i < 20; i++) e[41 + i] = e[src[i]] + add[i];

  // Then block after block, each reading values already final.
  int t = 61;
  for (int k = 0; k < 40; k++) e[t++] = e[1 + k] + e[10 + k];
  for (int k = 0; k < 100; k++) e[t++] = e[100 - k];
  for (int k = 0; k < 100; k++) e[t++] = e[1 + 2 * k];
  for (int k = 0; k < 100; k++) e[t++] = e[199 - 2 * k];
  for (int k = 0; k < 100; k++) e[t++] = e[1 + 3 * k] + 2;
  for (int k = 0; k < 500; k++) e[t++] = RoundHalf(e[500 - k]);
  for (int k = 0; k < 250; k++) e[t++] = e[1 + 2 * k];
  for (int k = 0; k < 250; k++) e[t++] = e[500 - 2 * k];
  for (int k = 0; k < 250; k++) e[t++] = e[1 + 4 * k] + 1;
  for (int k = 0; k < 200; k++) e[t++] = e[1000 - 5 * k] + 3;
  for (int k = 0; k < 151; k++) e[t++] = e[1500 - 2 * k] + 2;
  for (int k = 0; k < 1001; k++) e[t++] = e[1000 + k] + 2;
  for (int k = 0; k < 334; k++) e[t++] = e[1 + 3 * k] + 2;
  for (int k = 0; k < 334; k++) e[t++] = e[1000 - 3 * k] + 2;
  for (int k = 0; k < 100; k++) e[t++] = e[1 + 10 * k] + 1;
  for (int k = 0; k < 100; k++) e[t++] = e[1001 + 10 * k] + 2;
  for (int k = 0; k < 100; k++) e[t++] = e[2001 + 10 * k] + 3;
  for (int k = 0; k < 100; k++) e[t++] = e[3001 + 10 * k] + 2;
  for (int k = 0; k < 101; k++) e[t++] = e[2000 - 10 * k] - 2;
  for (int k = 0; k < 101; k++) e[t++] = e[3000 - 10 * k] + 3;
  for (int k = 0; k < 101; k++) e[t++] = e[4001 - 10 * k] + 2;
  for (int k = 0; k < 40; k++) e[t++] = e[100 * (k + 1)] + 2;
  for (int k = 0; k < 39; k++) e[t++] = e[3900 - 100 * k] + 3;
  for (int k = 0; k < 444; k++) e[t++] = e[10 * (k + 1)] + 2;
  // t is now 4997, which stays 0.

  e[4998] = e[1] + e[100] + e[66];
  e[4999] = e[5] + e[1000] + e[660];
  e[5000] = e[10] + e[2100] + e[2660];
  for (int i = 1; i <= 5000; i++) {
    if (e[i] < 0) e[i] = -e[i];
    if (e[i] == 0) e[i] = 15;
  }
  for (int k = 0; k <= 2499; k++) e[5001 + k] = e[1 + 2 * k];
  for (int k = 0; k <= 2499; k++) e[7501 + k] = e[5000 - 2 * k];
  e[10000] = e[1] + e[5000];
  for (int k = 0; k <= 9999; k++) e[10001 + k] = e[10000 - k] + 1;
}

}  // namespace

void BuildExpansionTable(Key* key) {
  int32_t* e = key->expansion;
  for (int i = 11; i <= kFillerCycle; i++) e[i] = 0;
  key->expansionOn = false;
  if (Sum10(e) != 0) {
    key->expansionOn = true;
    Swap(e, 1, 3);
    Swap(e, 6, 8);
    int32_t t = (e[1] + e[2] + e[3]) / 3;
    e[1] += t, e[3] += t, e[5] += t, e[4] -= t, e[7] -= t, e[9] -= t;
    Swap(e, 5, 10);
    Swap(e, 7, 9);
    t = (e[4] + e[5] + e[6]) / 3;
    e[2] += t, e[6] += t, e[8] += t, e[10] -= t, e[7] -= t, e[1] -= t;
    Reverse10(e);
    t = Sum10(e) / 10;
    for (int i = 1; i <= 9; i += 2) e[i] += t;
    for (int i = 2; i <= 8; i += 2) e[i] -= t;
    for (int i = 1; i <= 10; i++) e[10 + i] = e[i];
    Reverse10(e);
    t = Sum10(e) / 10;
    for (int i = 1; i <= 9; i += 2) e[i] -= t;
    for (int i = 2; i <= 8; i += 2) e[i] += t;
    for (int i = 1; i <= 10; i++) e[20 + i] = e[i];
    e[21] += 2, e[22] -= 3, e[23] += 4, e[24] -= 2, e[25] += 3;
    e[26] -= 4, e[27] += 2, e[28] -= 3, e[29] += 4, e[30] -= 2;
    for (int k = 0; k <= 9; k++) e[31 + k] = e[1 + 3 * k];
    for (int i = 1; i <= 40; i++) {
      if (e[i] >= 0 && e[i] < 2) e[i] = 2;
      if (e[i] < 0) e[i] = -e[i];
    }
    ExtendTable(e);
  }
}

int32_t StepSlot(Slot* s) {
  s->counter++;
  // A 256-byte table rotated by a multiple of 256 stays as it is.
  int32_t move = 0;
  if (s->shift >= 1 && s->shift < kTableSize) move = s->direction < 1 ? -s->shift : s->shift;
  if ((s->phase == 0 && s->counter >= s->period0) || (s->phase == 1 && s->counter >= s->period1)) {
    s->phase = s->phase == 0 ? 1 : 0;
    s->direction = s->direction == 0 ? 1 : 0;
    s->counter = 0;
  }
  return move;
}

void StepSlots(Key* key) {
  for (int r = 0; r < kSlots; r++) {
    int32_t move = StepSlot(&key->slot[r]);
    uint8_t* t = key->table[r];
    uint8_t was[kTableSize];
    for (int k = 0; k < kTableSize; k++) was[k] = t[k];
    for (int k = 0; k < kTableSize; k++) t[k] = was[static_cast<uint8_t>(k + move)];
  }
}

uint8_t ForwardByte(const Key& key, uint8_t b) {
  for (int r = 0; r < kSlots; r++) b = key.table[r][b];
  return b;
}

uint8_t InverseByte(const Key& key, uint8_t c) {
  for (int r = kSlots - 1; r >= 0; r--) {
    int k = 0;
    while (k < kTableSize && key.table[r][k] != c) k++;
    if (k == kTableSize) return 0;
    c = static_cast<uint8_t>(k);
  }
  return c;
}

}  // namespace cipher
