// The engine's portable substitution routines.
#include "app/cipher_paths.h"

namespace cipher {

namespace {

inline uint32_t Load32(const uint8_t* p) {
  uint32_t v;
  __builtin_memcpy(&v, p, 4);
  return v;
}

}  // namespace

// Four bytes at a time: their offsets are added bytewise in one word.
void ForwardPortable(const TableBytes* tables, const uint8_t* s, uint8_t* d, uint32_t n,
                     const uint8_t* const* offs) {
  for (int r = 0; r < kSlots; r++) {
    const uint8_t* t = tables[r];
    const uint8_t* o = offs[r];
    uint32_t j = 0;
    for (; j + 4 <= n; j += 4) {
      uint32_t w = Load32(s + j), q = Load32(o + j);
      uint32_t x = ((w & 0x7F7F7F7Fu) + (q & 0x7F7F7F7Fu)) ^ ((w ^ q) & 0x80808080u);
      uint32_t y = t[x & 255] | static_cast<uint32_t>(t[(x >> 8) & 255]) << 8 |
                   static_cast<uint32_t>(t[(x >> 16) & 255]) << 16 |
                   static_cast<uint32_t>(t[x >> 24]) << 24;
      __builtin_memcpy(d + j, &y, 4);
    }
    for (; j < n; j++) d[j] = t[static_cast<uint8_t>(s[j] + o[j])];
    s = d;
  }
}

void InversePortable(const TableBytes* inverse, const uint8_t (*twice)[2 * kTableSize],
                     const bool* perm, bool allPerm, uint8_t* missing, const uint8_t* s,
                     uint8_t* d, uint32_t n, const uint8_t* const* offs) {
  if (s != d)
    for (uint32_t j = 0; j < n; j++) d[j] = s[j];
  if (!allPerm)
    for (uint32_t j = 0; j < n; j++) missing[j] = 0;
  for (int r = kSlots - 1; r >= 0; r--) {
    const uint8_t* o = offs[r];
    if (perm[r]) {
      const uint8_t* inv = inverse[r];
      for (uint32_t j = 0; j < n; j++) d[j] = static_cast<uint8_t>(inv[d[j]] - o[j]);
      continue;
    }
    // The first position of the byte in the rotated table; a byte the table does not hold
    // leaves nothing to look up in the slots below, and the result is 0.
    for (uint32_t j = 0; j < n; j++) {
      if (missing[j]) continue;
      const uint8_t* t = twice[r] + o[j];
      uint8_t c = d[j];
      uint32_t k = 0;
      while (k < kTableSize && t[k] != c) k++;
      if (k == kTableSize)
        missing[j] = 1;
      else
        d[j] = static_cast<uint8_t>(k);
    }
  }
  if (!allPerm)
    for (uint32_t j = 0; j < n; j++)
      if (missing[j]) d[j] = 0;
}

}  // namespace cipher
