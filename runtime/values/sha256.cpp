// SHA-256 as FIPS 180-4 defines it: 64-byte blocks, big-endian words, the message padded
// with 0x80, zeros and its length in bits. Also built into the image builder, which
// stores the digest the loader checks. The compression function runs on the processor's
// SHA instructions where it has them (the whole code image is hashed at every start),
// and in plain code otherwise.
#include "runtime/values/sha256.h"

#include <string.h>

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

#include "runtime/values/sha256_internal.h"

namespace {

const uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

const uint32_t kInitial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                              0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

inline uint32_t Rotr(uint32_t v, int n) { return v >> n | v << (32 - n); }

inline uint32_t LoadBig(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

inline void StoreBig(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

}  // namespace

void MVSha256CompressPortable(uint32_t state[8], const uint8_t* p, size_t blocks) {
  for (; blocks > 0; blocks--, p += MV_SHA256_BLOCK) {
    uint32_t w[64];
    for (int i = 0; i < 16; i++) w[i] = LoadBig(p + 4 * i);
    for (int i = 16; i < 64; i++) {
      uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
      uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
      w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int i = 0; i < 64; i++) {
      uint32_t t1 = h + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ((e & f) ^ (~e & g)) +
                    kRound[i] + w[i];
      uint32_t t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
      h = g;
      g = f;
      f = e;
      e = d + t1;
      d = c;
      c = b;
      b = a;
      a = t1 + t2;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
  }
}

#if defined(__i386__) || defined(__x86_64__)

#define MV_SHA_TARGET __attribute__((target("sha,ssse3,sse4.1")))

// Four rounds of the schedule word group w (words 4g .. 4g + 3) on the state halves
// ABEF and CDGH, as the SHA instructions hold them.
MV_SHA_TARGET static inline void FourRounds(__m128i* abef, __m128i* cdgh, __m128i w, int g) {
  __m128i k = _mm_add_epi32(w, _mm_loadu_si128(reinterpret_cast<const __m128i*>(kRound + 4 * g)));
  *cdgh = _mm_sha256rnds2_epu32(*cdgh, *abef, k);
  *abef = _mm_sha256rnds2_epu32(*abef, *cdgh, _mm_shuffle_epi32(k, 0x0E));
}

MV_SHA_TARGET void MVSha256CompressShaExtensions(uint32_t state[8], const uint8_t* p, size_t blocks) {
  const __m128i order = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
  // A B C D and E F G H into A B E F and C D G H.
  __m128i dcba = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0xB1);
  __m128i efgh = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4)), 0x1B);
  __m128i abef = _mm_alignr_epi8(dcba, efgh, 8);
  __m128i cdgh = _mm_blend_epi16(efgh, dcba, 0xF0);
  for (; blocks > 0; blocks--, p += MV_SHA256_BLOCK) {
    __m128i savedAbef = abef, savedCdgh = cdgh;
    __m128i w[4];  // the last four groups of the schedule, group g in w[g % 4]
#pragma GCC unroll 16
    for (int g = 0; g < 16; g++) {
      if (g < 4) {
        w[g] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * g)), order);
      } else {
        __m128i x = _mm_sha256msg1_epu32(w[g % 4], w[(g + 1) % 4]);
        x = _mm_add_epi32(x, _mm_alignr_epi8(w[(g + 3) % 4], w[(g + 2) % 4], 4));
        w[g % 4] = _mm_sha256msg2_epu32(x, w[(g + 3) % 4]);
      }
      FourRounds(&abef, &cdgh, w[g % 4], g);
    }
    abef = _mm_add_epi32(abef, savedAbef);
    cdgh = _mm_add_epi32(cdgh, savedCdgh);
  }
  __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
  __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(feba, dchg, 0xF0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}

bool MVSha256HasShaExtensions() {
  static const bool has = [] {
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & bit_SSSE3) || !(c & bit_SSE4_1)) return false;
    if (__get_cpuid_max(0, nullptr) < 7) return false;
    __cpuid_count(7, 0, a, b, c, d);
    return (b & bit_SHA) != 0;
  }();
  return has;
}

#else

void MVSha256CompressShaExtensions(uint32_t state[8], const uint8_t* p, size_t blocks) {
  MVSha256CompressPortable(state, p, blocks);
}

bool MVSha256HasShaExtensions() { return false; }

#endif

namespace {

void Compress(uint32_t state[8], const uint8_t* p, size_t blocks) {
  if (blocks == 0) return;
  if (MVSha256HasShaExtensions())
    MVSha256CompressShaExtensions(state, p, blocks);
  else
    MVSha256CompressPortable(state, p, blocks);
}

}  // namespace

extern "C" void RuntimeSha256Init(MVSha256* context) {
  memcpy(context->state, kInitial, sizeof kInitial);
  context->length = 0;
  memset(context->block, 0, sizeof context->block);
  context->used = 0;
  context->reserved = 0;
}

extern "C" void RuntimeSha256Update(MVSha256* context, const void* data, size_t n) {
  if (n == 0) return;  // an empty input (its pointer may be null) changes nothing
  const uint8_t* p = static_cast<const uint8_t*>(data);
  context->length += n;
  // Masked, so that a record whose fill count was damaged is never written past.
  uint32_t used = context->used & (MV_SHA256_BLOCK - 1);
  if (used > 0) {
    size_t take = MV_SHA256_BLOCK - used < n ? MV_SHA256_BLOCK - used : n;
    memcpy(context->block + used, p, take);
    used += static_cast<uint32_t>(take);
    p += take;
    n -= take;
    if (used < MV_SHA256_BLOCK) {
      context->used = used;
      return;
    }
    Compress(context->state, context->block, 1);
    used = 0;
  }
  Compress(context->state, p, n / MV_SHA256_BLOCK);
  p += n / MV_SHA256_BLOCK * MV_SHA256_BLOCK;
  n %= MV_SHA256_BLOCK;
  memcpy(context->block, p, n);
  context->used = static_cast<uint32_t>(n);
}

extern "C" void RuntimeSha256Final(MVSha256* context, uint8_t digest[MV_SHA256_BYTES]) {
  uint64_t bits = context->length * 8;
  uint8_t tail[2 * MV_SHA256_BLOCK] = {0x80};
  // The 0x80 byte, zeros up to 8 bytes before a block's end, the length in bits.
  uint32_t used = context->used & (MV_SHA256_BLOCK - 1);
  size_t pad = (used < MV_SHA256_BLOCK - 8 ? MV_SHA256_BLOCK : 2 * MV_SHA256_BLOCK) - used - 8;
  for (int i = 0; i < 8; i++) tail[pad + i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
  RuntimeSha256Update(context, tail, pad + 8);
  for (int i = 0; i < 8; i++) StoreBig(digest + 4 * i, context->state[i]);
  // The context held the message's last bytes: nothing of it stays behind.
  volatile uint8_t* wipe = reinterpret_cast<volatile uint8_t*>(context);
  for (size_t i = 0; i < sizeof *context; i++) wipe[i] = 0;
}

extern "C" void RuntimeSha256(const void* data, size_t n, uint8_t digest[MV_SHA256_BYTES]) {
  MVSha256 context;
  RuntimeSha256Init(&context);
  RuntimeSha256Update(&context, data, n);
  RuntimeSha256Final(&context, digest);
}
