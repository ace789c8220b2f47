// Poly1305 (see poly1305.h): h = (h + block + 2^128) * r modulo p = 2^130 - 5 for each
// 16-byte block (with 64-bit limbs, two blocks at a step), then tag = (h mod p + s) mod 2^128. Both limb sizes reduce partly after
// each block (every limb kept a few bits under its size, the carry out of the top limb
// folded back times 5) and fully, without branches, at the end.
#include "app/poly1305.h"

#include "app/wipe.h"

namespace poly1305 {

namespace {

inline uint32_t Load32(const uint8_t* p) {
  uint32_t v;
  __builtin_memcpy(&v, p, 4);
  return v;
}

inline void Store32(uint8_t* p, uint32_t v) { __builtin_memcpy(p, &v, 4); }

inline uint64_t Load64(const uint8_t* p) {
  uint64_t v;
  __builtin_memcpy(&v, p, 8);
  return v;
}

inline void Store64(uint8_t* p, uint64_t v) { __builtin_memcpy(p, &v, 8); }

// All ones when v's top bit is clear (so h - p did not go below 0), else 0.
inline uint32_t KeepMask(uint32_t v) { return (v >> 31) - 1; }

constexpr uint32_t k26 = 0x3ffffff;

}  // namespace

namespace detail {

// --- 26-bit limbs: h and r as h0 + h1 2^26 + ... + h4 2^104 --------------------------

void Limbs26::Start(const uint8_t key[kKeyBytes]) {
  // r with the clamping bits cleared, cut into 26-bit limbs.
  r[0] = Load32(key + 0) & 0x3ffffff;
  r[1] = (Load32(key + 3) >> 2) & 0x3ffff03;
  r[2] = (Load32(key + 6) >> 4) & 0x3ffc0ff;
  r[3] = (Load32(key + 9) >> 6) & 0x3f03fff;
  r[4] = (Load32(key + 12) >> 8) & 0x00fffff;
  for (int i = 0; i < 5; i++) h[i] = 0;
  for (int i = 0; i < 4; i++) s[i] = Load32(key + 16 + 4 * i);
}

void Limbs26::Blocks(const uint8_t* m, size_t bytes, bool last) {
  const uint32_t top = last ? 0 : 1u << 24;  // 2^128 in the top limb
  const uint32_t r0 = r[0], r1 = r[1], r2 = r[2], r3 = r[3], r4 = r[4];
  // 2^130 = 5 modulo p: the products that reach past the top limb come back times 5.
  const uint32_t s1 = r1 * 5, s2 = r2 * 5, s3 = r3 * 5, s4 = r4 * 5;
  uint32_t h0 = h[0], h1 = h[1], h2 = h[2], h3 = h[3], h4 = h[4];
  for (; bytes >= kBlockBytes; bytes -= kBlockBytes, m += kBlockBytes) {
    h0 += Load32(m + 0) & k26;
    h1 += (Load32(m + 3) >> 2) & k26;
    h2 += (Load32(m + 6) >> 4) & k26;
    h3 += (Load32(m + 9) >> 6) & k26;
    h4 += (Load32(m + 12) >> 8) | top;
    uint64_t d0 = uint64_t{h0} * r0 + uint64_t{h1} * s4 + uint64_t{h2} * s3 +
                  uint64_t{h3} * s2 + uint64_t{h4} * s1;
    uint64_t d1 = uint64_t{h0} * r1 + uint64_t{h1} * r0 + uint64_t{h2} * s4 +
                  uint64_t{h3} * s3 + uint64_t{h4} * s2;
    uint64_t d2 = uint64_t{h0} * r2 + uint64_t{h1} * r1 + uint64_t{h2} * r0 +
                  uint64_t{h3} * s4 + uint64_t{h4} * s3;
    uint64_t d3 = uint64_t{h0} * r3 + uint64_t{h1} * r2 + uint64_t{h2} * r1 +
                  uint64_t{h3} * r0 + uint64_t{h4} * s4;
    uint64_t d4 = uint64_t{h0} * r4 + uint64_t{h1} * r3 + uint64_t{h2} * r2 +
                  uint64_t{h3} * r1 + uint64_t{h4} * r0;
    uint32_t c = static_cast<uint32_t>(d0 >> 26);
    h0 = static_cast<uint32_t>(d0) & k26;
    d1 += c; c = static_cast<uint32_t>(d1 >> 26); h1 = static_cast<uint32_t>(d1) & k26;
    d2 += c; c = static_cast<uint32_t>(d2 >> 26); h2 = static_cast<uint32_t>(d2) & k26;
    d3 += c; c = static_cast<uint32_t>(d3 >> 26); h3 = static_cast<uint32_t>(d3) & k26;
    d4 += c; c = static_cast<uint32_t>(d4 >> 26); h4 = static_cast<uint32_t>(d4) & k26;
    h0 += c * 5; c = h0 >> 26; h0 &= k26;
    h1 += c;
  }
  h[0] = h0; h[1] = h1; h[2] = h2; h[3] = h3; h[4] = h4;
}

void Limbs26::Finish(uint8_t tag[kTagBytes]) {
  uint32_t h0 = h[0], h1 = h[1], h2 = h[2], h3 = h[3], h4 = h[4], c;
  // Carry through every limb: h below 2^130 + a little.
  c = h1 >> 26; h1 &= k26;
  h2 += c; c = h2 >> 26; h2 &= k26;
  h3 += c; c = h3 >> 26; h3 &= k26;
  h4 += c; c = h4 >> 26; h4 &= k26;
  h0 += c * 5; c = h0 >> 26; h0 &= k26;
  h1 += c;
  // g = h - p = h + 5 - 2^130; h mod p is g when g did not go below 0.
  uint32_t g0 = h0 + 5; c = g0 >> 26; g0 &= k26;
  uint32_t g1 = h1 + c; c = g1 >> 26; g1 &= k26;
  uint32_t g2 = h2 + c; c = g2 >> 26; g2 &= k26;
  uint32_t g3 = h3 + c; c = g3 >> 26; g3 &= k26;
  uint32_t g4 = h4 + c - (1u << 26);
  uint32_t keep = KeepMask(g4);
  h0 = (h0 & ~keep) | (g0 & keep);
  h1 = (h1 & ~keep) | (g1 & keep);
  h2 = (h2 & ~keep) | (g2 & keep);
  h3 = (h3 & ~keep) | (g3 & keep);
  h4 = (h4 & ~keep) | (g4 & keep);
  // h mod 2^128 in 32-bit words, plus s.
  uint32_t w[4] = {h0 | h1 << 26, h1 >> 6 | h2 << 20, h2 >> 12 | h3 << 14, h3 >> 18 | h4 << 8};
  uint64_t f = 0;
  for (int i = 0; i < 4; i++) {
    f = uint64_t{w[i]} + s[i] + (f >> 32);
    Store32(tag + 4 * i, static_cast<uint32_t>(f));
  }
}

#if defined(__SIZEOF_INT128__)
// --- 64-bit limbs: h and r as h0 + h1 2^44 + h2 2^88 ----------------------------------

typedef unsigned __int128 Wide;
constexpr uint64_t k44 = 0xfffffffffff, k42 = 0x3ffffffffff;

namespace {

// A product's three sums carried into 44-, 44- and 42-bit limbs, the carry out of the
// top limb folded back times 5 (h1 may keep a few bits over).
inline void Carry(Wide d0, Wide d1, Wide d2, uint64_t h[3]) {
  uint64_t c = static_cast<uint64_t>(d0 >> 44);
  h[0] = static_cast<uint64_t>(d0) & k44;
  d1 += c; c = static_cast<uint64_t>(d1 >> 44); h[1] = static_cast<uint64_t>(d1) & k44;
  d2 += c; c = static_cast<uint64_t>(d2 >> 42); h[2] = static_cast<uint64_t>(d2) & k42;
  h[0] += c * 5; c = h[0] >> 44; h[0] &= k44;
  h[1] += c;
}

// out = a * b modulo p (out may be a); 2^132 = 20 modulo p, for the products that reach
// past the top limb.
inline void Multiply(const uint64_t a[3], const uint64_t b[3], uint64_t out[3]) {
  const uint64_t s1 = b[1] * 20, s2 = b[2] * 20;
  Carry(Wide{a[0]} * b[0] + Wide{a[1]} * s2 + Wide{a[2]} * s1,
        Wide{a[0]} * b[1] + Wide{a[1]} * b[0] + Wide{a[2]} * s2,
        Wide{a[0]} * b[2] + Wide{a[1]} * b[1] + Wide{a[2]} * b[0], out);
}

// h += a 16-byte block, with `top` as its 2^128 bit.
inline void Add(uint64_t h[3], const uint8_t* m, uint64_t top) {
  uint64_t t0 = Load64(m), t1 = Load64(m + 8);
  h[0] += t0 & k44;
  h[1] += (t0 >> 44 | t1 << 20) & k44;
  h[2] += ((t1 >> 24) & k42) | top;
}

}  // namespace

void Limbs64::Start(const uint8_t key[kKeyBytes]) {
  uint64_t t0 = Load64(key), t1 = Load64(key + 8);
  r[0] = t0 & 0xffc0fffffff;
  r[1] = (t0 >> 44 | t1 << 20) & 0xfffffc0ffff;
  r[2] = (t1 >> 24) & 0x00ffffffc0f;
  Multiply(r, r, rr);
  h[0] = h[1] = h[2] = 0;
  s[0] = Load64(key + 16);
  s[1] = Load64(key + 24);
}

void Limbs64::Blocks(const uint8_t* m, size_t bytes, bool last) {
  const uint64_t top = last ? 0 : uint64_t{1} << 40;  // 2^128 in the top limb
  const uint64_t r0 = r[0], r1 = r[1], r2 = r[2], s1 = r1 * 20, s2 = r2 * 20;
  const uint64_t q0 = rr[0], q1 = rr[1], q2 = rr[2], t1 = q1 * 20, t2 = q2 * 20;
  uint64_t acc[3] = {h[0], h[1], h[2]};
  // (h + m1) r^2 + m2 r: every product is below 2^94, so the six sum below 2^97.
  for (; bytes >= 2 * kBlockBytes; bytes -= 2 * kBlockBytes, m += 2 * kBlockBytes) {
    uint64_t g[3] = {0, 0, 0};
    Add(acc, m, top);
    Add(g, m + kBlockBytes, top);
    Carry(Wide{acc[0]} * q0 + Wide{acc[1]} * t2 + Wide{acc[2]} * t1 + Wide{g[0]} * r0 + Wide{g[1]} * s2 + Wide{g[2]} * s1,
          Wide{acc[0]} * q1 + Wide{acc[1]} * q0 + Wide{acc[2]} * t2 + Wide{g[0]} * r1 + Wide{g[1]} * r0 + Wide{g[2]} * s2,
          Wide{acc[0]} * q2 + Wide{acc[1]} * q1 + Wide{acc[2]} * q0 + Wide{g[0]} * r2 + Wide{g[1]} * r1 + Wide{g[2]} * r0,
          acc);
  }
  if (bytes >= kBlockBytes) {
    Add(acc, m, top);
    Multiply(acc, r, acc);
  }
  h[0] = acc[0]; h[1] = acc[1]; h[2] = acc[2];
}

void Limbs64::Finish(uint8_t tag[kTagBytes]) {
  uint64_t h0 = h[0], h1 = h[1], h2 = h[2], c;
  // Carry through every limb, twice: h below 2^130 + a little.
  c = h1 >> 44; h1 &= k44;
  h2 += c; c = h2 >> 42; h2 &= k42;
  h0 += c * 5; c = h0 >> 44; h0 &= k44;
  h1 += c; c = h1 >> 44; h1 &= k44;
  h2 += c; c = h2 >> 42; h2 &= k42;
  h0 += c * 5; c = h0 >> 44; h0 &= k44;
  h1 += c;
  // g = h - p; h mod p is g when g did not go below 0.
  uint64_t g0 = h0 + 5; c = g0 >> 44; g0 &= k44;
  uint64_t g1 = h1 + c; c = g1 >> 44; g1 &= k44;
  uint64_t g2 = h2 + c - (uint64_t{1} << 42);
  uint64_t keep = (g2 >> 63) - 1;
  h0 = (h0 & ~keep) | (g0 & keep);
  h1 = (h1 & ~keep) | (g1 & keep);
  h2 = (h2 & ~keep) | (g2 & keep);
  // Plus s, in the same limbs; then h mod 2^128 in two 64-bit words.
  uint64_t t0 = s[0], t1 = s[1];
  h0 += t0 & k44; c = h0 >> 44; h0 &= k44;
  h1 += ((t0 >> 44 | t1 << 20) & k44) + c; c = h1 >> 44; h1 &= k44;
  h2 += ((t1 >> 24) & k42) + c; h2 &= k42;
  Store64(tag, h0 | h1 << 44);
  Store64(tag + 8, h1 >> 20 | h2 << 24);
}
#endif

}  // namespace detail

template <typename L>
void Start(BasicState<L>* state, const uint8_t key[kKeyBytes]) {
  state->limbs.Start(key);
  state->used = 0;
}

template <typename L>
void Update(BasicState<L>* state, const uint8_t* m, size_t n) {
  if (state->used > 0) {
    while (n > 0 && state->used < kBlockBytes) {
      state->pending[state->used++] = *m++;
      n--;
    }
    if (state->used < kBlockBytes) return;
    state->limbs.Blocks(state->pending, kBlockBytes, false);
    state->used = 0;
  }
  size_t whole = n / kBlockBytes * kBlockBytes;
  state->limbs.Blocks(m, whole, false);
  for (size_t i = whole; i < n; i++) state->pending[state->used++] = m[i];
}

template <typename L>
void Finish(BasicState<L>* state, uint8_t tag[kTagBytes]) {
  // A last partial block ends with a 1 byte and zeros in place of the 2^128 bit.
  if (state->used > 0) {
    state->pending[state->used] = 1;
    for (uint32_t i = state->used + 1; i < kBlockBytes; i++) state->pending[i] = 0;
    state->limbs.Blocks(state->pending, kBlockBytes, true);
  }
  state->limbs.Finish(tag);
  WipeSecret(state, sizeof *state);
}

template void Start(BasicState<detail::Limbs26>*, const uint8_t*);
template void Update(BasicState<detail::Limbs26>*, const uint8_t*, size_t);
template void Finish(BasicState<detail::Limbs26>*, uint8_t*);
#if defined(__SIZEOF_INT128__)
template void Start(BasicState<detail::Limbs64>*, const uint8_t*);
template void Update(BasicState<detail::Limbs64>*, const uint8_t*, size_t);
template void Finish(BasicState<detail::Limbs64>*, uint8_t*);
#endif

void Tag(const uint8_t key[kKeyBytes], const uint8_t* m, size_t n, uint8_t tag[kTagBytes]) {
  State state;
  Start(&state, key);
  Update(&state, m, n);
  Finish(&state, tag);
}

bool TagsEqual(const uint8_t a[kTagBytes], const uint8_t b[kTagBytes]) {
  // Every byte is looked at; only the sum of the differences decides.
  uint32_t differ = 0;
  for (int i = 0; i < kTagBytes; i++) differ |= static_cast<uint32_t>(a[i] ^ b[i]);
  return ((differ - 1) >> 31) == 1;  // 1 exactly when differ is 0
}

}  // namespace poly1305
