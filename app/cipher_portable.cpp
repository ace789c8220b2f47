// The engine's portable substitution routines.
#include "app/cipher_engine.h"
#include "app/cipher_paths.h"

namespace cipher {

namespace {

// The offsets of a chunk, slot after slot at fixed distances, so that one index register
// reaches every slot's offset of a byte.
void LayOut(const uint8_t* const* offs, uint32_t n, ChunkBytes* laid) {
  for (int r = 0; r < kSlots; r++) {
    uint8_t* d = laid[r];
    const uint8_t* s = offs[r];
#if defined(__i386__) || defined(__x86_64__)
    uint32_t k = n;
    __asm__ volatile("rep movsb" : "+D"(d), "+S"(s), "+c"(k) : : "memory");
#else
    for (uint32_t j = 0; j < n; j++) d[j] = s[j];
#endif
  }
}

// Slots G .. G + kGroup - 1 on every byte: the byte stays in a register from slot to slot,
// and the bytes' chains of lookups are short enough for the processor to run several
// bytes at once.
constexpr int kGroup = 4;
static_assert(kSlots % kGroup == 0, "whole groups of slots");

template <int G>
inline void ForwardGroup(const uint8_t* t, const uint8_t* s, uint8_t* d, uint32_t n,
                         const ChunkBytes* laid) {
  for (uint32_t j = 0; j < n; j++) {
    uint32_t c = s[j];
#pragma GCC unroll 4
    for (int r = G; r < G + kGroup; r++) c = t[r * kTableSize + static_cast<uint8_t>(c + laid[r][j])];
    d[j] = static_cast<uint8_t>(c);
  }
}

template <int G>
inline void InverseGroup(const uint8_t* inv, const uint8_t* s, uint8_t* d, uint32_t n,
                         const ChunkBytes* laid) {
  for (uint32_t j = 0; j < n; j++) {
    uint32_t c = s[j];
#pragma GCC unroll 4
    for (int r = G + kGroup - 1; r >= G; r--)
      c = static_cast<uint8_t>(inv[r * kTableSize + c] - laid[r][j]);
    d[j] = static_cast<uint8_t>(c);
  }
}

// Every group in turn, forward from slot G on, or inverse from slot G down.
template <int G>
inline void ForwardGroups(const uint8_t* t, const uint8_t* s, uint8_t* d, uint32_t n,
                          const ChunkBytes* laid) {
  ForwardGroup<G>(t, s, d, n, laid);
  if constexpr (G + kGroup < kSlots) ForwardGroups<G + kGroup>(t, d, d, n, laid);
}

template <int G>
inline void InverseGroups(const uint8_t* inv, const uint8_t* s, uint8_t* d, uint32_t n,
                          const ChunkBytes* laid) {
  InverseGroup<G>(inv, s, d, n, laid);
  if constexpr (G > 0) InverseGroups<G - kGroup>(inv, d, d, n, laid);
}

}  // namespace

void ForwardPortable(const TableBytes* tables, const uint8_t* s, uint8_t* d, uint32_t n,
                     const uint8_t* const* offs, ChunkBytes* laid) {
  LayOut(offs, n, laid);
  ForwardGroups<0>(reinterpret_cast<const uint8_t*>(tables), s, d, n, laid);
}

void InversePortable(const TableBytes* inverse, const uint8_t (*twice)[2 * kTableSize],
                     const bool* perm, bool allPerm, uint8_t* missing, const uint8_t* s,
                     uint8_t* d, uint32_t n, const uint8_t* const* offs, ChunkBytes* laid) {
  if (allPerm) {
    LayOut(offs, n, laid);
    InverseGroups<kSlots - kGroup>(reinterpret_cast<const uint8_t*>(inverse), s, d, n, laid);
    return;
  }
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
