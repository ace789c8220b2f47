// The engine's wide-vector substitution routines (whole 64-byte vectors), and the test
// for the instructions they need. The image may be placed at any address: the tables
// carry no alignment, and these routines use unaligned accesses only.
#include <cpuid.h>
#include <immintrin.h>

#include "app/cipher_engine.h"
#include "app/cipher_paths.h"

namespace cipher {

namespace {

#define MV_VECTOR __attribute__((target("avx512f,avx512bw,avx512vbmi")))

// Slot after slot over the whole run of vectors: each slot's four table vectors stay in
// registers for its pass (32-bit code has eight vector registers), and two vectors go
// through a pass at a time. The passes between the first and the last work in the
// cache-line-aligned scratch chunk, so that their loads and stores never straddle lines.

struct Tables {
  __m512i t0, t1, t2, t3;
};

MV_VECTOR inline Tables LoadTables(const uint8_t* table) {
  const __m512i* t = reinterpret_cast<const __m512i*>(table);
  Tables r;
  r.t0 = _mm512_loadu_si512(t);
  r.t1 = _mm512_loadu_si512(t + 1);
  r.t2 = _mm512_loadu_si512(t + 2);
  r.t3 = _mm512_loadu_si512(t + 3);
  return r;
}

// table[idx] for 64 indices: two 128-entry two-table permutes, the first for the indices
// below 128, the second for the others. Each writes only its own lanes (bit 7 of the
// index chooses) and keeps the other lanes of its index operand: the first keeps the
// indices the second then looks up, the second keeps the first's results. No register
// beyond the index and the four table vectors.
MV_VECTOR inline __m512i Lookup(const Tables& t, __m512i idx) {
  __mmask64 high = _mm512_movepi8_mask(idx);
  __m512i r = _mm512_mask2_permutex2var_epi8(t.t0, idx, _knot_mask64(high), t.t1);
  return _mm512_mask2_permutex2var_epi8(t.t2, r, high, t.t3);
}

// One forward slot pass over n bytes (a multiple of 64).
MV_VECTOR inline void ForwardPass(const uint8_t* table, const uint8_t* o, const uint8_t* s,
                                  uint8_t* d, uint32_t n) {
  Tables t = LoadTables(table);
  uint32_t j = 0;
  for (; j + 128 <= n; j += 128) {
    __m512i a = _mm512_add_epi8(_mm512_loadu_si512(s + j), _mm512_loadu_si512(o + j));
    __m512i b = _mm512_add_epi8(_mm512_loadu_si512(s + j + 64), _mm512_loadu_si512(o + j + 64));
    _mm512_storeu_si512(d + j, Lookup(t, a));
    _mm512_storeu_si512(d + j + 64, Lookup(t, b));
  }
  if (j < n)
    _mm512_storeu_si512(
        d + j, Lookup(t, _mm512_add_epi8(_mm512_loadu_si512(s + j), _mm512_loadu_si512(o + j))));
}

// One inverse slot pass: the inverse table's entry, less the offset.
MV_VECTOR inline void InversePass(const uint8_t* table, const uint8_t* o, const uint8_t* s,
                                  uint8_t* d, uint32_t n) {
  Tables t = LoadTables(table);
  uint32_t j = 0;
  for (; j + 128 <= n; j += 128) {
    __m512i a = Lookup(t, _mm512_loadu_si512(s + j));
    __m512i b = Lookup(t, _mm512_loadu_si512(s + j + 64));
    _mm512_storeu_si512(d + j, _mm512_sub_epi8(a, _mm512_loadu_si512(o + j)));
    _mm512_storeu_si512(d + j + 64, _mm512_sub_epi8(b, _mm512_loadu_si512(o + j + 64)));
  }
  if (j < n)
    _mm512_storeu_si512(
        d + j, _mm512_sub_epi8(Lookup(t, _mm512_loadu_si512(s + j)), _mm512_loadu_si512(o + j)));
}

int gVectorKnown;  // 0 not yet asked, 1 absent, 2 present

}  // namespace

MV_VECTOR void ForwardVector(const TableBytes* tables, const uint8_t* s, uint8_t* d, uint32_t n,
                             const uint8_t* const* offs, uint8_t* w) {
  ForwardPass(tables[0], offs[0], s, w, n);
  for (int r = 1; r < kSlots - 1; r++) ForwardPass(tables[r], offs[r], w, w, n);
  ForwardPass(tables[kSlots - 1], offs[kSlots - 1], w, d, n);
}

MV_VECTOR void InverseVector(const TableBytes* inverse, const uint8_t* s, uint8_t* d, uint32_t n,
                             const uint8_t* const* offs, uint8_t* w) {
  InversePass(inverse[kSlots - 1], offs[kSlots - 1], s, w, n);
  for (int r = kSlots - 2; r > 0; r--) InversePass(inverse[r], offs[r], w, w, n);
  InversePass(inverse[0], offs[0], w, d, n);
}

bool VectorPathAvailable() {
  if (gVectorKnown == 0) {
    gVectorKnown = 1;
    unsigned a, b, c, d;
    if (__get_cpuid(1, &a, &b, &c, &d) && (c & (1u << 27)) && __get_cpuid_max(0, nullptr) >= 7) {
      unsigned lo, hi;
      __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
      // SSE, AVX and the three AVX-512 state components enabled by the system.
      bool osState = (lo & 0xE6) == 0xE6;
      __cpuid_count(7, 0, a, b, c, d);
      bool f = b & (1u << 16), bw = b & (1u << 30), vbmi = c & (1u << 1);
      if (osState && f && bw && vbmi) gVectorKnown = 2;
    }
  }
  return gVectorKnown == 2;
}

}  // namespace cipher
