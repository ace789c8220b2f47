// Draws of the shared random generator in bulk: filler bytes, scaled draws and raw
// draws, each exactly what the same number of rnd() calls would give, leaving the
// generator where those calls would have left it.
//
// For a state x a draw is k / 2^20 with k = x & 0xFFFFF, so every scaling the
// application does has an exact integer form: the filler byte CInt(rnd() * 255 + 1) - 1
// is (k * 255) >> 20, and CInt(Round(rnd() * m)) is (k * m + 2^19) >> 20 for m >= 0
// (k * m / 2^20 is exact in a double, and rounding half up is rounding half away from
// zero there); a negative m gives the negated result for -m.
//
// The states x(i+1) = 16807 x(i) mod (2^31 - 1) are computed in lanes: with L lanes
// holding the states of draws 1..L of a batch, multiplying every lane by the L-th power
// of the multiplier gives the next batch. Each draw's value goes from its lane straight
// to the output. AVX-512 runs 32 lanes (four registers of eight), AVX2 sixteen; short
// runs and other processors step one state at a time.
#include <immintrin.h>
#include <stdint.h>
#include <string.h>

// GCC 12 takes the AVX-512 intrinsics' deliberately undefined pass-through operands for
// uninitialised variables.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include "runtime/values/numbers.h"
#include "runtime/values/numbers_internal.h"

namespace {

constexpr uint32_t kModulus = 2147483647u;  // 2^31 - 1
constexpr uint32_t kMultiplier = 16807u;
constexpr int kMaxLanes = 32;
constexpr uint32_t kMask = 0xFFFFFu;
constexpr uint32_t kHalf = 1u << 19;

// a * b mod 2^31 - 1 for a, b below the modulus.
inline uint32_t MulMod(uint32_t a, uint32_t b) {
  uint64_t p = static_cast<uint64_t>(a) * b;
  uint32_t r = static_cast<uint32_t>(p & kModulus) + static_cast<uint32_t>(p >> 31);
  return r >= kModulus ? r - kModulus : r;
}

// The multiplier's powers 1..32 mod 2^31 - 1 (p[t] is the power t + 1).
struct Powers {
  uint32_t p[kMaxLanes];
  constexpr Powers() : p() {
    uint64_t x = 1;
    for (int t = 0; t < kMaxLanes; t++) {
      x = x * kMultiplier % kModulus;
      p[t] = static_cast<uint32_t>(x);
    }
  }
};
constexpr Powers kPowers;

// The same as 64-bit lanes, for loading into registers.
struct Powers64 {
  alignas(64) uint64_t p[kMaxLanes];
  constexpr Powers64() : p() {
    for (int t = 0; t < kMaxLanes; t++) p[t] = kPowers.p[t];
  }
};
constexpr Powers64 kPowers64;

// Round(k / 2^20 * m) for a 20-bit k and any int32 m (the result fits an int32).
inline int32_t Scaled(uint32_t k, int32_t m) {
  if (m >= 0) return static_cast<int32_t>((static_cast<uint64_t>(k) * static_cast<uint32_t>(m) + kHalf) >> 20);
  uint64_t magnitude = static_cast<uint64_t>(-static_cast<int64_t>(m));
  return static_cast<int32_t>(-static_cast<int64_t>((k * magnitude + kHalf) >> 20));
}

#define MV_AVX2 __attribute__((target("avx2")))
#define MV_AVX512 __attribute__((target("avx512f")))
// The lane loops stay out of line and out of interprocedural analysis: GCC 12 dropped
// a call of such a loop into a block it could see through.
#define MV_KERNEL __attribute__((noipa))

// --- What a draw becomes. Each kind gives one value (Put), four values from the low
// halves of four 64-bit lanes (Put4, AVX2) or eight (Put8, AVX-512), at draw index i.

struct FillerOut {
  uint8_t* out;
  FillerOut Skip(int32_t i) const { return FillerOut{out + i}; }
  void Put(int32_t i, uint32_t k) const { out[i] = static_cast<uint8_t>((k * 255u) >> 20); }
  MV_AVX2 void Put4(int32_t i, __m256i k) const {
    __m256i v = _mm256_srli_epi64(_mm256_sub_epi64(_mm256_slli_epi64(k, 8), k), 20);
    StoreBytes4(out + i, v);
  }
  MV_AVX512 void Put8(int32_t i, __m512i k) const {
    __m512i v = _mm512_srli_epi64(_mm512_sub_epi64(_mm512_slli_epi64(k, 8), k), 20);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + i), _mm512_cvtepi64_epi8(v));
  }
  // The low bytes of four 64-bit lanes.
  MV_AVX2 static void StoreBytes4(uint8_t* p, __m256i v) {
    __m128i d = _mm256_castsi256_si128(
        _mm256_permutevar8x32_epi32(v, _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6)));
    int32_t w = _mm_cvtsi128_si32(_mm_shuffle_epi8(d, _mm_setr_epi8(0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1)));
    memcpy(p, &w, 4);
  }
};

// Scaled values as int32 (Bytes false) or as their low bytes (Bytes true).
template <bool Bytes>
struct ScaledOut {
  void* out;
  int32_t m;
  uint32_t magnitude;  // |m|
  bool negative;
  ScaledOut(void* o, int32_t factor)
      : out(o),
        m(factor),
        magnitude(factor < 0 ? static_cast<uint32_t>(-static_cast<int64_t>(factor)) : static_cast<uint32_t>(factor)),
        negative(factor < 0) {}
  ScaledOut Skip(int32_t i) const {
    ScaledOut o = *this;
    o.out = Bytes ? static_cast<void*>(static_cast<uint8_t*>(out) + i) : static_cast<void*>(static_cast<int32_t*>(out) + i);
    return o;
  }
  void Put(int32_t i, uint32_t k) const {
    int32_t v = Scaled(k, m);
    if (Bytes)
      static_cast<uint8_t*>(out)[i] = static_cast<uint8_t>(v);
    else
      static_cast<int32_t*>(out)[i] = v;
  }
  MV_AVX2 void Put4(int32_t i, __m256i k) const {
    __m256i v = _mm256_srli_epi64(
        _mm256_add_epi64(_mm256_mul_epu32(k, _mm256_set1_epi64x(magnitude)), _mm256_set1_epi64x(kHalf)), 20);
    if (negative) v = _mm256_sub_epi64(_mm256_setzero_si256(), v);
    if (Bytes) {
      FillerOut::StoreBytes4(static_cast<uint8_t*>(out) + i, v);
    } else {
      __m128i d = _mm256_castsi256_si128(
          _mm256_permutevar8x32_epi32(v, _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6)));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(static_cast<int32_t*>(out) + i), d);
    }
  }
  MV_AVX512 void Put8(int32_t i, __m512i k) const {
    __m512i v = _mm512_srli_epi64(
        _mm512_add_epi64(_mm512_mul_epu32(k, _mm512_set1_epi64(magnitude)), _mm512_set1_epi64(kHalf)), 20);
    if (negative) v = _mm512_sub_epi64(_mm512_setzero_si512(), v);
    if (Bytes)
      _mm_storel_epi64(reinterpret_cast<__m128i*>(static_cast<uint8_t*>(out) + i), _mm512_cvtepi64_epi8(v));
    else
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(static_cast<int32_t*>(out) + i), _mm512_cvtepi64_epi32(v));
  }
};

struct RawOut {
  int32_t* out;
  RawOut Skip(int32_t i) const { return RawOut{out + i}; }
  void Put(int32_t i, uint32_t k) const { out[i] = static_cast<int32_t>(k); }
  MV_AVX2 void Put4(int32_t i, __m256i k) const {
    __m128i d = _mm256_castsi256_si128(
        _mm256_permutevar8x32_epi32(k, _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), d);
  }
  MV_AVX512 void Put8(int32_t i, __m512i k) const {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), _mm512_cvtepi64_epi32(k));
  }
};

// --- The lane loops. Each gives n draws after state x (n above its batch size) and
// returns the state of the last one. The last batch, of 1 to a whole batch's draws, is
// taken from the lanes one by one.

template <typename Out>
uint32_t RunScalar(uint32_t x, const Out& out, int32_t n) {
  for (int32_t i = 0; i < n; i++) {
    x = MulMod(x, kMultiplier);
    out.Put(i, x & kMask);
  }
  return x;
}

// Four 64-bit lanes times the multipliers, mod 2^31 - 1 (products below 2^62; the sum
// of their two parts is below 2^32, so one conditional subtraction in 32-bit halves).
MV_AVX2 inline __m256i Step4(__m256i s, __m256i mult) {
  const __m256i modulus = _mm256_set1_epi64x(kModulus);
  __m256i p = _mm256_mul_epu32(s, mult);
  __m256i r = _mm256_add_epi64(_mm256_and_si256(p, modulus), _mm256_srli_epi64(p, 31));
  return _mm256_min_epu32(r, _mm256_sub_epi32(r, modulus));
}

template <typename Out>
MV_AVX2 MV_KERNEL uint32_t RunAvx2(uint32_t x, const Out& out, int32_t n) {
  constexpr int kLanes = 16;
  const __m256i start = _mm256_set1_epi64x(x);
  const __m256i mult = _mm256_set1_epi64x(kPowers.p[kLanes - 1]);
  const __m256i mask = _mm256_set1_epi64x(kMask);
  // Register r holds the states of draws 4r + 1 .. 4r + 4 of the batch.
  __m256i s0 = Step4(start, _mm256_setr_epi64x(kPowers.p[0], kPowers.p[1], kPowers.p[2], kPowers.p[3]));
  __m256i s1 = Step4(start, _mm256_setr_epi64x(kPowers.p[4], kPowers.p[5], kPowers.p[6], kPowers.p[7]));
  __m256i s2 = Step4(start, _mm256_setr_epi64x(kPowers.p[8], kPowers.p[9], kPowers.p[10], kPowers.p[11]));
  __m256i s3 = Step4(start, _mm256_setr_epi64x(kPowers.p[12], kPowers.p[13], kPowers.p[14], kPowers.p[15]));
  int32_t i = 0;
  for (; n - i > kLanes; i += kLanes) {
    out.Put4(i, _mm256_and_si256(s0, mask));
    out.Put4(i + 4, _mm256_and_si256(s1, mask));
    out.Put4(i + 8, _mm256_and_si256(s2, mask));
    out.Put4(i + 12, _mm256_and_si256(s3, mask));
    s0 = Step4(s0, mult);
    s1 = Step4(s1, mult);
    s2 = Step4(s2, mult);
    s3 = Step4(s3, mult);
  }
  alignas(32) uint64_t st[kLanes];
  _mm256_store_si256(reinterpret_cast<__m256i*>(st), s0);
  _mm256_store_si256(reinterpret_cast<__m256i*>(st + 4), s1);
  _mm256_store_si256(reinterpret_cast<__m256i*>(st + 8), s2);
  _mm256_store_si256(reinterpret_cast<__m256i*>(st + 12), s3);
  int32_t last = n - i;  // 1..16 draws
  if (last >= 4) out.Put4(i, _mm256_and_si256(s0, mask));
  if (last >= 8) out.Put4(i + 4, _mm256_and_si256(s1, mask));
  if (last >= 12) out.Put4(i + 8, _mm256_and_si256(s2, mask));
  if (last == 16) out.Put4(i + 12, _mm256_and_si256(s3, mask));
  for (int32_t j = last & ~3; j < last; j++) out.Put(i + j, static_cast<uint32_t>(st[j]) & kMask);
  return static_cast<uint32_t>(st[last - 1]);
}

MV_AVX512 inline __m512i Step8(__m512i s, __m512i mult) {
  const __m512i modulus = _mm512_set1_epi64(kModulus);
  __m512i p = _mm512_mul_epu32(s, mult);
  __m512i r = _mm512_add_epi64(_mm512_and_si512(p, modulus), _mm512_srli_epi64(p, 31));
  return _mm512_min_epu32(r, _mm512_sub_epi32(r, modulus));
}

template <typename Out>
MV_AVX512 MV_KERNEL uint32_t RunAvx512(uint32_t x, const Out& out, int32_t n) {
  constexpr int kLanes = 32;
  const __m512i start = _mm512_set1_epi64(x);
  const __m512i mult = _mm512_set1_epi64(kPowers.p[kLanes - 1]);
  const __m512i mask = _mm512_set1_epi64(kMask);
  // Register r holds the states of draws 8r + 1 .. 8r + 8 of the batch.
  __m512i s0 = Step8(start, _mm512_load_si512(kPowers64.p));
  __m512i s1 = Step8(start, _mm512_load_si512(kPowers64.p + 8));
  __m512i s2 = Step8(start, _mm512_load_si512(kPowers64.p + 16));
  __m512i s3 = Step8(start, _mm512_load_si512(kPowers64.p + 24));
  int32_t i = 0;
  for (; n - i > kLanes; i += kLanes) {
    out.Put8(i, _mm512_and_si512(s0, mask));
    out.Put8(i + 8, _mm512_and_si512(s1, mask));
    out.Put8(i + 16, _mm512_and_si512(s2, mask));
    out.Put8(i + 24, _mm512_and_si512(s3, mask));
    s0 = Step8(s0, mult);
    s1 = Step8(s1, mult);
    s2 = Step8(s2, mult);
    s3 = Step8(s3, mult);
  }
  alignas(64) uint64_t st[kLanes];
  _mm512_store_si512(st, s0);
  _mm512_store_si512(st + 8, s1);
  _mm512_store_si512(st + 16, s2);
  _mm512_store_si512(st + 24, s3);
  int32_t last = n - i;  // 1..32 draws
  if (last >= 8) out.Put8(i, _mm512_and_si512(s0, mask));
  if (last >= 16) out.Put8(i + 8, _mm512_and_si512(s1, mask));
  if (last >= 24) out.Put8(i + 16, _mm512_and_si512(s2, mask));
  if (last == 32) out.Put8(i + 24, _mm512_and_si512(s3, mask));
  for (int32_t j = last & ~7; j < last; j++) out.Put(i + j, static_cast<uint32_t>(st[j]) & kMask);
  return static_cast<uint32_t>(st[last - 1]);
}

enum Width { kScalar = 0, kAvx2 = 1, kAvx512 = 2 };

int g_widthLimit = kAvx512;
int g_widest = -1;  // what the processor has, once asked

Width Widest() {
  if (g_widest < 0)
    g_widest = __builtin_cpu_supports("avx512f") ? kAvx512 : __builtin_cpu_supports("avx2") ? kAvx2 : kScalar;
  return static_cast<Width>(g_widest < g_widthLimit ? g_widest : g_widthLimit);
}

// n draws in order into `out`, from the shared generator.
template <typename Out>
void Draw(Out out, int32_t n) {
  if (n <= 0) return;
  if (MVRandomState() == 0) {
    // The first draw of the process seeds the generator exactly as rnd() does.
    out.Put(0, static_cast<uint32_t>(rnd() * 1048576.0));
    if (--n == 0) return;
    out = out.Skip(1);
  }
  uint32_t x = static_cast<uint32_t>(MVRandomState());
  // Setting up the lanes costs a batch's worth of steps: short runs take narrower ones.
  Width w = n <= 4 ? kScalar : Widest();
  if (n <= 2 * kMaxLanes && w == kAvx512) w = kAvx2;
  x = w == kAvx512 ? RunAvx512(x, out, n) : w == kAvx2 ? RunAvx2(x, out, n) : RunScalar(x, out, n);
  MVSetRandomState(static_cast<int32_t>(x));
}

}  // namespace

extern "C" int32_t MVScaledDraw(uint32_t k, int32_t m) { return Scaled(k & kMask, m); }

extern "C" int MVLimitRandomLanes(int widest) {
  g_widthLimit = widest < kScalar ? kScalar : widest > kAvx512 ? kAvx512 : widest;
  return Widest();
}

extern "C" void RuntimeRandomFillers(uint8_t* out, int32_t n) {
  if (out) Draw(FillerOut{out}, n);
}

extern "C" int32_t RuntimeRandomScaled(int32_t m) {
  int32_t v = 0;
  Draw(ScaledOut<false>(&v, m), 1);
  return v;
}

extern "C" void RuntimeRandomScaledFill(int32_t* out, int32_t n, int32_t m) {
  if (out) Draw(ScaledOut<false>(out, m), n);
}

extern "C" void RuntimeRandomScaledBytes(uint8_t* out, int32_t n, int32_t m) {
  if (out) Draw(ScaledOut<true>(out, m), n);
}

extern "C" void RuntimeRandomDraws(int32_t* out, int32_t n) {
  if (out) Draw(RawOut{out}, n);
}
