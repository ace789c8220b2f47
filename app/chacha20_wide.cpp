// ChaCha20's runs of 8 blocks in 32-byte vectors (AVX2) and of 16 blocks in 64-byte
// vectors (AVX-512F), and the test for the instructions they need. One lane a block, as
// in the four-block routine (app/chacha20.cpp): the lanes of vector i hold word i of
// every block, and are turned into whole blocks at the end. The image may be placed at
// any address: unaligned accesses only.
#include <cpuid.h>
#include <immintrin.h>

#include "app/chacha20.h"

namespace chacha20 {

namespace {

#define MV_AVX2 __attribute__((target("avx2")))
#define MV_AVX512 __attribute__((target("avx2,avx512f")))

// The image's data may sit at any address, so no vector constant may come from memory
// (the compiler loads its own with aligned moves): the few the routines need are built
// in registers from words it cannot see through.
MV_AVX2 inline __m128i Words(uint32_t w0, uint32_t w1, uint32_t w2, uint32_t w3) {
  __asm__("" : "+r"(w0), "+r"(w1), "+r"(w2), "+r"(w3));
  __m128i v = _mm_cvtsi32_si128(static_cast<int>(w0));
  v = _mm_insert_epi32(v, static_cast<int>(w1), 1);
  v = _mm_insert_epi32(v, static_cast<int>(w2), 2);
  return _mm_insert_epi32(v, static_cast<int>(w3), 3);
}

// --- 8 blocks, 32-byte vectors --------------------------------------------------------

// The 16 words and the byte orders that rotate each word by 16 and by 8.
struct Eight {
  __m256i x[16];
  __m256i rotate16, rotate8;
};

MV_AVX2 inline __m256i Rotl8(const Eight* s, __m256i v, int n) {
  if (n == 16) return _mm256_shuffle_epi8(v, s->rotate16);
  if (n == 8) return _mm256_shuffle_epi8(v, s->rotate8);
  return _mm256_or_si256(_mm256_slli_epi32(v, n), _mm256_srli_epi32(v, 32 - n));
}

MV_AVX2 inline void Quarter8(Eight* s, int a, int b, int c, int d) {
  __m256i* x = s->x;
  x[a] = _mm256_add_epi32(x[a], x[b]); x[d] = Rotl8(s, _mm256_xor_si256(x[d], x[a]), 16);
  x[c] = _mm256_add_epi32(x[c], x[d]); x[b] = Rotl8(s, _mm256_xor_si256(x[b], x[c]), 12);
  x[a] = _mm256_add_epi32(x[a], x[b]); x[d] = Rotl8(s, _mm256_xor_si256(x[d], x[a]), 8);
  x[c] = _mm256_add_epi32(x[c], x[d]); x[b] = Rotl8(s, _mm256_xor_si256(x[b], x[c]), 7);
}

// Within each 16-byte half: words w of the four blocks in x[w .. w + 3] become the four
// blocks' words w .. w + 3, y[k] for the half's block k.
MV_AVX2 inline void Transpose8(const __m256i* x, __m256i* y) {
  __m256i t0 = _mm256_unpacklo_epi32(x[0], x[1]), t1 = _mm256_unpackhi_epi32(x[0], x[1]);
  __m256i t2 = _mm256_unpacklo_epi32(x[2], x[3]), t3 = _mm256_unpackhi_epi32(x[2], x[3]);
  y[0] = _mm256_unpacklo_epi64(t0, t2);
  y[1] = _mm256_unpackhi_epi64(t0, t2);
  y[2] = _mm256_unpacklo_epi64(t1, t3);
  y[3] = _mm256_unpackhi_epi64(t1, t3);
}

MV_AVX2 inline void Xor32(const uint8_t* in, uint8_t* out, __m256i v) {
  __m256i m = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_xor_si256(m, v));
}

// --- 16 blocks, 64-byte vectors -------------------------------------------------------

// The compiler's 64-byte intrinsics start their unmasked results from an undefined
// vector, which its uninitialized-use warning reports at every use.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"

MV_AVX512 inline void Quarter16(__m512i* x, int a, int b, int c, int d) {
  x[a] = _mm512_add_epi32(x[a], x[b]); x[d] = _mm512_rol_epi32(_mm512_xor_si512(x[d], x[a]), 16);
  x[c] = _mm512_add_epi32(x[c], x[d]); x[b] = _mm512_rol_epi32(_mm512_xor_si512(x[b], x[c]), 12);
  x[a] = _mm512_add_epi32(x[a], x[b]); x[d] = _mm512_rol_epi32(_mm512_xor_si512(x[d], x[a]), 8);
  x[c] = _mm512_add_epi32(x[c], x[d]); x[b] = _mm512_rol_epi32(_mm512_xor_si512(x[b], x[c]), 7);
}

MV_AVX512 inline void Transpose16(const __m512i* x, __m512i* y) {
  __m512i t0 = _mm512_unpacklo_epi32(x[0], x[1]), t1 = _mm512_unpackhi_epi32(x[0], x[1]);
  __m512i t2 = _mm512_unpacklo_epi32(x[2], x[3]), t3 = _mm512_unpackhi_epi32(x[2], x[3]);
  y[0] = _mm512_unpacklo_epi64(t0, t2);
  y[1] = _mm512_unpackhi_epi64(t0, t2);
  y[2] = _mm512_unpacklo_epi64(t1, t3);
  y[3] = _mm512_unpackhi_epi64(t1, t3);
}

MV_AVX512 inline void Xor64(const uint8_t* in, uint8_t* out, __m512i v) {
  _mm512_storeu_si512(out, _mm512_xor_si512(_mm512_loadu_si512(in), v));
}

// Ten double rounds, each the column rounds then the diagonal rounds, of quarter round Q.
#define MV_CHACHA_ROUNDS(Q, x)           \
  for (int round = 0; round < 10; round++) { \
    Q(x, 0, 4, 8, 12);                   \
    Q(x, 1, 5, 9, 13);                   \
    Q(x, 2, 6, 10, 14);                  \
    Q(x, 3, 7, 11, 15);                  \
    Q(x, 0, 5, 10, 15);                  \
    Q(x, 1, 6, 11, 12);                  \
    Q(x, 2, 7, 8, 13);                   \
    Q(x, 3, 4, 9, 14);                   \
  }

// What the processor has, asked once: bit 0 AVX2, bit 1 AVX-512F, bit 7 asked. Workers
// may ask at the same time; each finds the same answer.
uint8_t gFeatures;

uint8_t Features() {
  uint8_t known = __atomic_load_n(&gFeatures, __ATOMIC_RELAXED);
  if (known) return known;
  known = 0x80;
  unsigned a, b, c, d;
  // AVX with the system saving its state (OSXSAVE), then the leaf 7 bits.
  if (__get_cpuid(1, &a, &b, &c, &d) && (c & (1u << 27)) && (c & (1u << 28)) &&
      __get_cpuid_max(0, nullptr) >= 7) {
    unsigned lo, hi;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    __cpuid_count(7, 0, a, b, c, d);
    bool avx2 = (lo & 0x6) == 0x6 && (b & (1u << 5));
    // The three AVX-512 state components as well.
    if (avx2) known |= 1;
    if (avx2 && (lo & 0xE6) == 0xE6 && (b & (1u << 16))) known |= 2;
  }
  __atomic_store_n(&gFeatures, known, __ATOMIC_RELAXED);
  return known;
}

}  // namespace

namespace detail {

MV_AVX2 void EightBlocksXor(const uint32_t input[16], const uint8_t* in, uint8_t* out) {
  Eight s;
  s.rotate16 = _mm256_broadcastsi128_si256(Words(0x01000302, 0x05040706, 0x09080b0a, 0x0d0c0f0e));
  s.rotate8 = _mm256_broadcastsi128_si256(Words(0x02010003, 0x06050407, 0x0a09080b, 0x0e0d0c0f));
  const __m256i counters = _mm256_cvtepu8_epi32(Words(0x03020100, 0x07060504, 0, 0));
  __m256i* x = s.x;
  for (int i = 0; i < 16; i++) x[i] = _mm256_set1_epi32(static_cast<int>(input[i]));
  x[12] = _mm256_add_epi32(x[12], counters);
  MV_CHACHA_ROUNDS(Quarter8, &s)
  for (int i = 0; i < 16; i++) x[i] = _mm256_add_epi32(x[i], _mm256_set1_epi32(static_cast<int>(input[i])));
  x[12] = _mm256_add_epi32(x[12], counters);
  // y[4 g + k]: words 4 g .. 4 g + 3 of block k (low half) and block 4 + k (high half).
  __m256i y[16];
  for (int g = 0; g < 4; g++) Transpose8(x + 4 * g, y + 4 * g);
  for (int k = 0; k < 4; k++) {
    uint8_t* o = out + kBlockBytes * k;
    const uint8_t* m = in + kBlockBytes * k;
    Xor32(m, o, _mm256_permute2x128_si256(y[k], y[4 + k], 0x20));
    Xor32(m + 32, o + 32, _mm256_permute2x128_si256(y[8 + k], y[12 + k], 0x20));
    Xor32(m + 4 * kBlockBytes, o + 4 * kBlockBytes, _mm256_permute2x128_si256(y[k], y[4 + k], 0x31));
    Xor32(m + 4 * kBlockBytes + 32, o + 4 * kBlockBytes + 32,
          _mm256_permute2x128_si256(y[8 + k], y[12 + k], 0x31));
  }
}

MV_AVX512 void SixteenBlocksXor(const uint32_t input[16], const uint8_t* in, uint8_t* out) {
  __m512i x[16];
  for (int i = 0; i < 16; i++) x[i] = _mm512_set1_epi32(static_cast<int>(input[i]));
  const __m512i counters = _mm512_cvtepu8_epi32(Words(0x03020100, 0x07060504, 0x0b0a0908, 0x0f0e0d0c));
  x[12] = _mm512_add_epi32(x[12], counters);
  MV_CHACHA_ROUNDS(Quarter16, x)
  for (int i = 0; i < 16; i++) x[i] = _mm512_add_epi32(x[i], _mm512_set1_epi32(static_cast<int>(input[i])));
  x[12] = _mm512_add_epi32(x[12], counters);
  // y[4 g + k], quarter q: words 4 g .. 4 g + 3 of block 4 q + k.
  __m512i y[16];
  for (int g = 0; g < 4; g++) Transpose16(x + 4 * g, y + 4 * g);
  for (int k = 0; k < 4; k++) {
    // The quarters of y[k], y[4 + k], y[8 + k], y[12 + k] turned around: block 4 q + k.
    __m512i a = _mm512_shuffle_i32x4(y[k], y[4 + k], 0x44), b = _mm512_shuffle_i32x4(y[8 + k], y[12 + k], 0x44);
    __m512i c = _mm512_shuffle_i32x4(y[k], y[4 + k], 0xEE), d = _mm512_shuffle_i32x4(y[8 + k], y[12 + k], 0xEE);
    const __m512i blocks[4] = {_mm512_shuffle_i32x4(a, b, 0x88), _mm512_shuffle_i32x4(a, b, 0xDD),
                               _mm512_shuffle_i32x4(c, d, 0x88), _mm512_shuffle_i32x4(c, d, 0xDD)};
    for (int q = 0; q < 4; q++) {
      size_t at = kBlockBytes * static_cast<size_t>(4 * q + k);
      Xor64(in + at, out + at, blocks[q]);
    }
  }
}

}  // namespace detail

#pragma GCC diagnostic pop

bool PathAvailable(Path path) {
  if (path == Path::kAvx512) return Features() & 2;
  if (path == Path::kAvx2) return Features() & 1;
  return true;
}

Path BestPath() {
  return PathAvailable(Path::kAvx512) ? Path::kAvx512 : PathAvailable(Path::kAvx2) ? Path::kAvx2 : Path::kPortable;
}

}  // namespace chacha20
