// Keys for the cipher tests, made as the key loaders leave them.
#pragma once
#include <stdint.h>

#include <algorithm>
#include <memory>
#include <random>
#include <vector>

#include "app/cipher_key.h"

// Random permutation tables and the slots' stepping state at the start. Periods and
// shifts run over the key files' ranges unless wider ones are asked for (long periods
// take slots past the engine's offset patterns).
inline std::unique_ptr<cipher::Key> RandomKey(std::mt19937& rng, int maxPeriod = 11,
                                              int maxShift = 11) {
  auto key = std::make_unique<cipher::Key>();
  cipher::ClearCipherState(key.get());
  for (int r = 0; r < cipher::kSlots; r++) {
    std::vector<uint8_t> t(256);
    for (int k = 0; k < 256; k++) t[k] = static_cast<uint8_t>(k);
    std::shuffle(t.begin(), t.end(), rng);
    for (int k = 0; k < 256; k++) key->table[r][k] = t[k];
    cipher::Slot& s = key->slot[r];
    s.direction = static_cast<int32_t>(rng() % 2);
    s.period0 = 1 + static_cast<int32_t>(rng() % maxPeriod);
    s.period1 = 1 + static_cast<int32_t>(rng() % maxPeriod);
    s.shift = 1 + static_cast<int32_t>(rng() % maxShift);
    key->line[r] = r + 1;
  }
  return key;
}
