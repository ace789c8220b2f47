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
// The states x(i+1) = 16807 x(i) mod (2^31 - 1) are computed ahead in blocks, sixteen
// lanes at a time advancing by the 16th power of the multiplier. The block is kept with
// the state it starts from: a call that finds the generator at a state of the block
// takes its draws from there (the sequence after a state depends on nothing else), any
// other computes a new block. rnd() and everything else that moves the state stay as
// they are, so mixing them with these calls is always exact.
#include <immintrin.h>
#include <stdint.h>
#include <string.h>

#include "runtime/values/numbers.h"
#include "runtime/values/numbers_internal.h"

namespace {

constexpr uint32_t kModulus = 2147483647u;  // 2^31 - 1
constexpr uint32_t kMultiplier = 16807u;
constexpr int kLanes = 16;
constexpr int32_t kAhead = 4096;  // draws computed per block (a multiple of kLanes)
constexpr int32_t kCatchUp = 8;   // rnd() calls between two bulk calls that keep the block

// a * b mod 2^31 - 1 for a, b below the modulus.
inline uint32_t MulMod(uint32_t a, uint32_t b) {
  uint64_t p = static_cast<uint64_t>(a) * b;
  uint32_t r = static_cast<uint32_t>(p & kModulus) + static_cast<uint32_t>(p >> 31);
  return r >= kModulus ? r - kModulus : r;
}

inline uint8_t FillerOf(uint32_t state) {
  return static_cast<uint8_t>(((state & 0xFFFFFu) * 255u) >> 20);
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

#define MV_WIDE __attribute__((target("avx2")))
// Kept out of line and out of interprocedural analysis: GCC 12 dropped the call of the
// filler pass into the block when it could see through it.
#define MV_WIDE_PASS __attribute__((target("avx2"), noipa))

// Four states (one per 64-bit element) times the multipliers, mod 2^31 - 1.
MV_WIDE inline __m256i Step(__m256i s, __m256i mult) {
  const __m256i modulus = _mm256_set1_epi64x(kModulus);
  __m256i p = _mm256_mul_epu32(s, mult);
  __m256i r = _mm256_add_epi64(_mm256_and_si256(p, modulus), _mm256_srli_epi64(p, 31));
  return _mm256_min_epu32(r, _mm256_sub_epi32(r, modulus));
}

// The low halves of the four 64-bit elements, in order.
MV_WIDE inline __m128i Low(__m256i v) {
  return _mm256_castsi256_si128(
      _mm256_permutevar8x32_epi32(v, _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6)));
}

// out[0..n) = the n states after `state` (n a multiple of kLanes). Register r holds the
// states of draws 4r + 1 .. 4r + 4 of each batch of sixteen.
MV_WIDE_PASS void StatesWide(uint32_t state, uint32_t* out, int32_t n) {
  const __m256i x = _mm256_set1_epi64x(state);
  const __m256i mult = _mm256_set1_epi64x(kPowers.p[kLanes - 1]);
  __m256i s[4];
  for (int r = 0; r < 4; r++)
    s[r] = Step(x, _mm256_setr_epi64x(kPowers.p[4 * r], kPowers.p[4 * r + 1],
                                      kPowers.p[4 * r + 2], kPowers.p[4 * r + 3]));
  for (int32_t i = 0; i < n; i += kLanes) {
    for (int r = 0; r < 4; r++) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + 4 * r), Low(s[r]));
      s[r] = Step(s[r], mult);
    }
  }
}

// Filler bytes of n states (n a multiple of 16).
MV_WIDE inline __m128i Fillers8(const uint32_t* states) {
  __m256i v = _mm256_and_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(states)),
                               _mm256_set1_epi32(0xFFFFF));
  v = _mm256_srli_epi32(_mm256_sub_epi32(_mm256_slli_epi32(v, 8), v), 20);  // * 255 >> 20
  return _mm_packus_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
}

MV_WIDE_PASS void FillersWide(const uint32_t* states, uint8_t* out, int32_t n) {
  for (int32_t i = 0; i < n; i += 16) {
    __m128i w = _mm_packus_epi16(Fillers8(states + i), Fillers8(states + i + 8));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), w);
  }
}

bool HasWide() {
  static const bool wide = __builtin_cpu_supports("avx2");
  return wide;
}

// The block of upcoming draws: states[0] is the state it starts from, states[i] and
// fillers[i] belong to the i-th draw after it; pos is where the last call stopped.
struct Ahead {
  uint32_t states[kAhead + 1];
  uint8_t fillers[kAhead + 1];
  int32_t pos;
  bool valid;
};
Ahead g_ahead;

void Compute(uint32_t state) {
  g_ahead.states[0] = state;
  if (HasWide()) {
    StatesWide(state, g_ahead.states + 1, kAhead);
    FillersWide(g_ahead.states + 1, g_ahead.fillers + 1, kAhead);
  } else {
    for (int32_t i = 1; i <= kAhead; i++) {
      state = MulMod(state, kMultiplier);
      g_ahead.states[i] = state;
      g_ahead.fillers[i] = FillerOf(state);
    }
  }
  g_ahead.pos = 0;
  g_ahead.valid = true;
}

// How many draws are ready after the generator's current state (at least one): they
// are states[pos + 1 ..]. Seeds the generator first as rnd() would, by letting rnd()
// make the first draw; *first then receives that draw's k and is true.
int32_t Ready(bool* first, uint32_t* firstK) {
  *first = false;
  if (MVRandomState() == 0) {
    double r = rnd();
    *first = true;
    *firstK = static_cast<uint32_t>(r * 1048576.0);
  }
  uint32_t x = static_cast<uint32_t>(MVRandomState());
  if (g_ahead.valid) {
    // Where the last call stopped, or a few rnd() calls further on.
    int32_t end = g_ahead.pos + kCatchUp < kAhead ? g_ahead.pos + kCatchUp : kAhead - 1;
    for (int32_t j = g_ahead.pos; j <= end; j++) {
      if (g_ahead.states[j] == x) {
        g_ahead.pos = j;
        return kAhead - j;
      }
    }
  }
  Compute(x);
  return kAhead;
}

// Takes m ready draws: the generator moves past them.
inline void Take(int32_t m) {
  g_ahead.pos += m;
  MVSetRandomState(static_cast<int32_t>(g_ahead.states[g_ahead.pos]));
}

// Round(k / 2^20 * m) for a 20-bit k, as an integer (in int32 range for every int32 m).
inline int32_t Scaled(uint32_t k, int32_t m) {
  if (m >= 0) return static_cast<int32_t>((static_cast<uint64_t>(k) * static_cast<uint32_t>(m) + (1u << 19)) >> 20);
  uint64_t magnitude = static_cast<uint64_t>(-static_cast<int64_t>(m));
  return static_cast<int32_t>(-static_cast<int64_t>((k * magnitude + (1u << 19)) >> 20));
}

// Calls put(index, k) for n draws in order.
template <typename Put>
void Draw(int32_t n, Put put) {
  int32_t i = 0;
  while (i < n) {
    bool first;
    uint32_t firstK = 0;
    int32_t ready = Ready(&first, &firstK);
    if (first) {
      put(i++, firstK);
      continue;
    }
    int32_t m = n - i < ready ? n - i : ready;
    const uint32_t* s = g_ahead.states + g_ahead.pos + 1;
    for (int32_t j = 0; j < m; j++) put(i + j, s[j] & 0xFFFFFu);
    Take(m);
    i += m;
  }
}

}  // namespace

extern "C" int32_t MVScaledDraw(uint32_t k, int32_t m) { return Scaled(k & 0xFFFFFu, m); }

extern "C" void RuntimeRandomFillers(uint8_t* out, int32_t n) {
  if (!out || n <= 0) return;
  int32_t i = 0;
  while (i < n) {
    bool first;
    uint32_t firstK = 0;
    int32_t ready = Ready(&first, &firstK);
    if (first) {
      out[i++] = static_cast<uint8_t>((firstK * 255u) >> 20);
      continue;
    }
    int32_t m = n - i < ready ? n - i : ready;
    memcpy(out + i, g_ahead.fillers + g_ahead.pos + 1, static_cast<size_t>(m));
    Take(m);
    i += m;
  }
}

extern "C" int32_t RuntimeRandomScaled(int32_t m) {
  int32_t v = 0;
  Draw(1, [&](int32_t, uint32_t k) { v = Scaled(k, m); });
  return v;
}

extern "C" void RuntimeRandomScaledFill(int32_t* out, int32_t n, int32_t m) {
  if (!out || n <= 0) return;
  if (m >= 0 && m < 2048) {
    // k * m + 2^19 stays below 2^31: 32-bit arithmetic.
    uint32_t um = static_cast<uint32_t>(m);
    Draw(n, [&](int32_t i, uint32_t k) { out[i] = static_cast<int32_t>((k * um + (1u << 19)) >> 20); });
  } else {
    Draw(n, [&](int32_t i, uint32_t k) { out[i] = Scaled(k, m); });
  }
}

extern "C" void RuntimeRandomScaledBytes(uint8_t* out, int32_t n, int32_t m) {
  if (!out || n <= 0) return;
  if (m >= 0 && m < 2048) {
    uint32_t um = static_cast<uint32_t>(m);
    Draw(n, [&](int32_t i, uint32_t k) { out[i] = static_cast<uint8_t>((k * um + (1u << 19)) >> 20); });
  } else {
    Draw(n, [&](int32_t i, uint32_t k) { out[i] = static_cast<uint8_t>(Scaled(k, m)); });
  }
}

extern "C" void RuntimeRandomDraws(int32_t* out, int32_t n) {
  if (!out || n <= 0) return;
  Draw(n, [&](int32_t i, uint32_t k) { out[i] = static_cast<int32_t>(k); });
}
