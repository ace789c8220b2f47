// Filler bytes from the shared random generator: RuntimeRandomFillers(out, n) gives what
// n successive draws of CInt(rnd() * 255 + 1) - 1 would give, and leaves the generator
// where those draws would have left it.
//
// For a state x the draw is (x & 0xFFFFF) / 2^20, so the byte is ((x & 0xFFFFF) * 255) >> 20
// exactly (the products are integers well inside a double's precision). The states are
// x(k+1) = 16807 x(k) mod (2^31 - 1); sixteen lanes advance together by the 16th power of
// the multiplier, which gives the same sequence.
#include <immintrin.h>
#include <stdint.h>

#include "runtime/values/numbers.h"
#include "runtime/values/numbers_internal.h"

namespace {

constexpr uint32_t kModulus = 2147483647u;  // 2^31 - 1
constexpr uint32_t kMultiplier = 16807u;
constexpr int kLanes = 16;

// a * b mod 2^31 - 1 for a, b below the modulus.
inline uint32_t MulMod(uint32_t a, uint32_t b) {
  uint64_t p = static_cast<uint64_t>(a) * b;
  uint32_t r = static_cast<uint32_t>(p & kModulus) + static_cast<uint32_t>(p >> 31);
  return r >= kModulus ? r - kModulus : r;
}

inline uint8_t FillerOf(uint32_t state) {
  return static_cast<uint8_t>(((state & 0xFFFFFu) * 255u) >> 20);
}

#define MV_WIDE __attribute__((target("avx2")))

// The filler bytes of four states (one per 64-bit element, in its low byte).
MV_WIDE inline __m256i Bytes(__m256i s) {
  __m256i v = _mm256_and_si256(s, _mm256_set1_epi64x(0xFFFFF));
  v = _mm256_sub_epi32(_mm256_slli_epi32(v, 8), v);  // * 255, below 2^28
  return _mm256_srli_epi32(v, 20);
}

// Four states times `mult`, mod 2^31 - 1.
MV_WIDE inline __m256i Step(__m256i s, __m256i mult) {
  const __m256i modulus = _mm256_set1_epi64x(kModulus);
  __m256i p = _mm256_mul_epu32(s, mult);
  __m256i r = _mm256_add_epi64(_mm256_and_si256(p, modulus), _mm256_srli_epi64(p, 31));
  return _mm256_min_epu32(r, _mm256_sub_epi32(r, modulus));
}

// The multiplier's powers 1..16 mod 2^31 - 1.
struct Powers {
  uint32_t p[kLanes];
  constexpr Powers() : p() {
    uint64_t x = 1;
    for (int t = 0; t < kLanes; t++) {
      x = x * kMultiplier % kModulus;
      p[t] = static_cast<uint32_t>(x);
    }
  }
};
constexpr Powers kPowers;

// The multipliers that take a state to draws k, 4 + k, 8 + k, 12 + k after it (1-based).
MV_WIDE inline __m256i Lane(int k) {
  return _mm256_setr_epi64x(kPowers.p[k], kPowers.p[4 + k], kPowers.p[8 + k], kPowers.p[12 + k]);
}

// Lanes (k, q), k = 0..3 the register, q = 0..3 the 64-bit element, hold the states of
// draws 4q + k of a batch of sixteen, so that the four registers' bytes interleave into
// draw order. Gives n >= 1 bytes and returns the state of the last draw.
MV_WIDE uint32_t FillWide(uint32_t state, uint8_t* out, int32_t n) {
  const __m256i mult = _mm256_set1_epi64x(kPowers.p[kLanes - 1]);
  const __m256i pick = _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6);
  const __m256i x = _mm256_set1_epi64x(state);
  __m256i s0 = Step(x, Lane(0)), s1 = Step(x, Lane(1)), s2 = Step(x, Lane(2)),
          s3 = Step(x, Lane(3));
  for (;;) {
    __m256i w = _mm256_or_si256(
        _mm256_or_si256(Bytes(s0), _mm256_slli_epi64(Bytes(s1), 8)),
        _mm256_or_si256(_mm256_slli_epi64(Bytes(s2), 16), _mm256_slli_epi64(Bytes(s3), 24)));
    __m128i b = _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(w, pick));
    if (n <= kLanes) {
      // The last batch: its first n bytes, and the state of draw n.
      alignas(32) uint8_t last[kLanes];
      alignas(32) uint32_t st[4][8];
      _mm_store_si128(reinterpret_cast<__m128i*>(last), b);
      for (int32_t i = 0; i < n; i++) out[i] = last[i];
      _mm256_store_si256(reinterpret_cast<__m256i*>(st[0]), s0);
      _mm256_store_si256(reinterpret_cast<__m256i*>(st[1]), s1);
      _mm256_store_si256(reinterpret_cast<__m256i*>(st[2]), s2);
      _mm256_store_si256(reinterpret_cast<__m256i*>(st[3]), s3);
      int t = n - 1;
      return st[t & 3][(t >> 2) * 2];
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), b);
    out += kLanes;
    n -= kLanes;
    s0 = Step(s0, mult), s1 = Step(s1, mult), s2 = Step(s2, mult), s3 = Step(s3, mult);
  }
}

bool HasWide() {
  static const bool wide = __builtin_cpu_supports("avx2");
  return wide;
}

}  // namespace

extern "C" void RuntimeRandomFillers(uint8_t* out, int32_t n) {
  if (!out || n <= 0) return;
  if (MVRandomState() == 0) {
    // The first draw seeds the generator exactly as rnd does.
    *out++ = static_cast<uint8_t>(static_cast<int32_t>(rnd() * 255 + 1) - 1);
    if (--n == 0) return;
  }
  uint32_t x = static_cast<uint32_t>(MVRandomState());
  if (n >= 4 && HasWide()) {
    x = FillWide(x, out, n);
  } else {
    for (int32_t i = 0; i < n; i++) {
      x = MulMod(x, kMultiplier);
      out[i] = FillerOf(x);
    }
  }
  MVSetRandomState(static_cast<int32_t>(x));
}
