// The engine's 32-byte vector routines, for processors with AVX2 but without the wide
// byte permutes. The image may be placed at any address: unaligned accesses only.
//
// A 256-byte table is looked up through its sixteen 16-byte pieces with the in-lane byte
// shuffle, which gives 0 for an index byte with bit 7 set. For the indices below 128, the
// index plus 16 * m (saturating at 255) stays below 128 exactly for the high nibbles
// 0 .. 7 - m: shuffling piece 7 - m with it and XOR-ing over m = 0 .. 7 gives each byte
// the XOR of pieces h .. 7 of a table of differences, which is piece h of the table when
// the differences are stored (D7 = T7, Dh = Th ^ Th+1). The indices from 128 on go the
// same way with bit 7 flipped, through pieces 8 .. 15.
#include <cpuid.h>
#include <immintrin.h>

#include "app/cipher_engine.h"
#include "app/cipher_paths.h"

namespace cipher {

namespace {

#define MV_AVX2 __attribute__((target("avx2")))

MV_AVX2 inline __m256i Piece(const uint8_t* d, int i) {
  return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(d + 16 * i)));
}

MV_AVX2 inline __m256i Half(const uint8_t* d, __m256i c, int top) {
  const __m256i step = _mm256_set1_epi8(16);
  __m256i r = _mm256_shuffle_epi8(Piece(d, top), c);
#pragma GCC unroll 7
  for (int i = top - 1; i >= top - 7; i--) {
    c = _mm256_adds_epu8(c, step);
    r = _mm256_xor_si256(r, _mm256_shuffle_epi8(Piece(d, i), c));
  }
  return r;
}

MV_AVX2 inline __m256i Lookup(const uint8_t* d, __m256i idx) {
  __m256i low = Half(d, idx, 7);
  __m256i high = Half(d, _mm256_xor_si256(idx, _mm256_set1_epi8(static_cast<char>(0x80))), 15);
  return _mm256_xor_si256(low, high);
}

MV_AVX2 inline __m256i Load(const uint8_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}
MV_AVX2 inline void Store(uint8_t* p, __m256i v) {
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
}

MV_AVX2 void ForwardPass(const uint8_t* d, const uint8_t* o, const uint8_t* s, uint8_t* out,
                         uint32_t n) {
  for (uint32_t j = 0; j < n; j += 32) Store(out + j, Lookup(d, _mm256_add_epi8(Load(s + j), Load(o + j))));
}

MV_AVX2 void InversePass(const uint8_t* d, const uint8_t* o, const uint8_t* s, uint8_t* out,
                         uint32_t n) {
  for (uint32_t j = 0; j < n; j += 32) Store(out + j, _mm256_sub_epi8(Lookup(d, Load(s + j)), Load(o + j)));
}

}  // namespace

void PieceDifferences(const uint8_t* table, uint8_t* d) {
  for (int half = 0; half < 2; half++) {
    const uint8_t* t = table + 128 * half;
    uint8_t* out = d + 128 * half;
    for (int k = 0; k < 16; k++) out[7 * 16 + k] = t[7 * 16 + k];
    for (int h = 0; h < 7; h++)
      for (int k = 0; k < 16; k++) out[h * 16 + k] = t[h * 16 + k] ^ t[(h + 1) * 16 + k];
  }
}

MV_AVX2 void ForwardAvx2(const TableBytes* diffs, const uint8_t* s, uint8_t* d, uint32_t n,
                         const uint8_t* const* offs) {
  ForwardPass(diffs[0], offs[0], s, d, n);
  for (int r = 1; r < kSlots; r++) ForwardPass(diffs[r], offs[r], d, d, n);
}

MV_AVX2 void InverseAvx2(const TableBytes* diffs, const uint8_t* s, uint8_t* d, uint32_t n,
                         const uint8_t* const* offs) {
  InversePass(diffs[kSlots - 1], offs[kSlots - 1], s, d, n);
  for (int r = kSlots - 2; r >= 0; r--) InversePass(diffs[r], offs[r], d, d, n);
}

bool Avx2PathAvailable() {
  static int known;  // 0 not yet asked, 1 absent, 2 present
  if (known == 0) {
    known = 1;
    unsigned a, b, c, d;
    // AVX with the system saving its state (OSXSAVE, XCR0 SSE and AVX bits), then AVX2.
    if (__get_cpuid(1, &a, &b, &c, &d) && (c & (1u << 27)) && (c & (1u << 28)) &&
        __get_cpuid_max(0, nullptr) >= 7) {
      unsigned lo, hi;
      __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
      __cpuid_count(7, 0, a, b, c, d);
      if ((lo & 0x6) == 0x6 && (b & (1u << 5))) known = 2;
    }
  }
  return known == 2;
}

}  // namespace cipher
