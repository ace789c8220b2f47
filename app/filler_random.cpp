// Filler bytes from a counter-mode keystream (see filler_random.h). The image may be
// placed at any address: every vector access here is unaligned.
#include "app/filler_random.h"

#include <cpuid.h>
#include <immintrin.h>

#include "app/chacha20.h"

namespace filler {

namespace {

#define MV_AES __attribute__((target("sse2,aes")))

inline uint32_t Load32(const uint8_t* p) {
  uint32_t v;
  __builtin_memcpy(&v, p, 4);  // four keystream bytes at once
  return v;
}

// Each 32-bit word of k xored with every word below it (the chain of the key schedule).
MV_AES inline __m128i Chain(__m128i k) {
  __m128i t = _mm_slli_si128(k, 4);
  k = _mm_xor_si128(k, t);
  t = _mm_slli_si128(t, 4);
  k = _mm_xor_si128(k, t);
  t = _mm_slli_si128(t, 4);
  return _mm_xor_si128(k, t);
}

// The next even-numbered round key: from the one two back and the assist of the last.
MV_AES inline __m128i ExpandEven(__m128i prev, __m128i assist) {
  return _mm_xor_si128(Chain(prev), _mm_shuffle_epi32(assist, 0xff));
}

// The next odd-numbered round key: from the one two back and the new even one.
MV_AES inline __m128i ExpandOdd(__m128i even, __m128i prev) {
  return _mm_xor_si128(Chain(prev), _mm_shuffle_epi32(_mm_aeskeygenassist_si128(even, 0), 0xaa));
}

MV_AES inline void Put(uint8_t* keys, int i, __m128i k) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(keys + 16 * i), k);
}

MV_AES inline __m128i Key(const uint8_t* keys, int i) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(keys + 16 * i));
}

// Eight ChaCha20 blocks into the buffer.
void RefillPortable(Source* s) {
  for (uint32_t b = 0; b < kBufferBytes; b += 64) {
    chacha20::Block(s->chacha, s->buffer + b);
    if (++s->chacha[12] == 0) s->chacha[13]++;
  }
}

MV_AES void RefillAes(Source* s) { detail::Aes256Ctr(s->aesKeys, s->counter, s->buffer, kBufferBytes / 16); }

// No byte of w is 0xFF.
inline bool NoRejected(uint32_t w) {
  uint32_t y = ~w;
  return ((y - 0x01010101u) & ~y & 0x80808080u) == 0;
}

}  // namespace

namespace detail {

MV_AES void Aes256Expand(const uint8_t key[32], uint8_t keys[15 * 16]) {
  __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(key));
  __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(key + 16));
  Put(keys, 0, a);
  Put(keys, 1, b);
  // The round constant is an immediate operand: one line per pair of round keys.
  a = ExpandEven(a, _mm_aeskeygenassist_si128(b, 0x01)); Put(keys, 2, a); b = ExpandOdd(a, b); Put(keys, 3, b);
  a = ExpandEven(a, _mm_aeskeygenassist_si128(b, 0x02)); Put(keys, 4, a); b = ExpandOdd(a, b); Put(keys, 5, b);
  a = ExpandEven(a, _mm_aeskeygenassist_si128(b, 0x04)); Put(keys, 6, a); b = ExpandOdd(a, b); Put(keys, 7, b);
  a = ExpandEven(a, _mm_aeskeygenassist_si128(b, 0x08)); Put(keys, 8, a); b = ExpandOdd(a, b); Put(keys, 9, b);
  a = ExpandEven(a, _mm_aeskeygenassist_si128(b, 0x10)); Put(keys, 10, a); b = ExpandOdd(a, b); Put(keys, 11, b);
  a = ExpandEven(a, _mm_aeskeygenassist_si128(b, 0x20)); Put(keys, 12, a); b = ExpandOdd(a, b); Put(keys, 13, b);
  a = ExpandEven(a, _mm_aeskeygenassist_si128(b, 0x40)); Put(keys, 14, a);
}

MV_AES void Aes256Ctr(const uint8_t keys[15 * 16], uint8_t counter[16], uint8_t* out, uint32_t blocks) {
  uint64_t prefix, number;
  __builtin_memcpy(&prefix, counter, 8);
  __builtin_memcpy(&number, counter + 8, 8);
  number = __builtin_bswap64(number);
  // Four blocks at a time keep the AES unit busy within the eight vector registers.
  for (uint32_t done = 0; done < blocks;) {
    uint32_t k = blocks - done < 4 ? blocks - done : 4;
    __m128i v[4];
    __m128i k0 = Key(keys, 0);
    for (uint32_t j = 0; j < 4; j++)
      v[j] = _mm_xor_si128(_mm_set_epi64x(static_cast<long long>(__builtin_bswap64(number + j)),
                                          static_cast<long long>(prefix)), k0);
    for (int r = 1; r < 14; r++) {
      __m128i kr = Key(keys, r);
      for (uint32_t j = 0; j < 4; j++) v[j] = _mm_aesenc_si128(v[j], kr);
    }
    __m128i kl = Key(keys, 14);
    for (uint32_t j = 0; j < k; j++)
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * (done + j)), _mm_aesenclast_si128(v[j], kl));
    number += k;
    done += k;
  }
  number = __builtin_bswap64(number);
  __builtin_memcpy(counter + 8, &number, 8);
}

}  // namespace detail

bool AesAvailable() {
  unsigned a, b, c, d;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
  // AES (ecx 25) on SSE2 registers (edx 26), saved by the system (FXSR, edx 24).
  return (c & (1u << 25)) && (d & (1u << 26)) && (d & (1u << 24));
}

void Start(Source* s, const uint8_t* key, uint64_t stream, Kind kind) {
  s->kind = kind;
  s->at = s->have = 0;
  if (kind == Kind::kAes) {
    detail::Aes256Expand(key, s->aesKeys);
    uint64_t be = __builtin_bswap64(stream), zero = 0;
    __builtin_memcpy(s->counter, &be, 8);
    __builtin_memcpy(s->counter + 8, &zero, 8);
    return;
  }
  // A 64-bit block counter (words 12-13) and the stream number (words 14-15).
  const uint8_t noNonce[chacha20::kNonceBytes] = {};
  chacha20::Setup(s->chacha, key, 0, noNonce);
  s->chacha[14] = static_cast<uint32_t>(stream);
  s->chacha[15] = static_cast<uint32_t>(stream >> 32);
}

void Draw(Source* s, uint8_t* out, uint32_t n) {
  uint32_t j = 0;
  while (j < n) {
    if (s->at == s->have) {
      if (s->kind == Kind::kAes)
        RefillAes(s);
      else
        RefillPortable(s);
      s->at = 0;
      s->have = kBufferBytes;
    }
    const uint8_t* b = s->buffer;
    uint32_t i = s->at, have = s->have;
    while (i < have && j < n) {
      // Four bytes at a time while none is rejected (all but about 1.6% of the time).
      if (have - i >= 4 && n - j >= 4) {
        uint32_t w = Load32(b + i);
        if (NoRejected(w)) {
          __builtin_memcpy(out + j, &w, 4);
          i += 4;
          j += 4;
          continue;
        }
      }
      uint8_t v = b[i++];
      out[j] = v;
      j += v != 255;
    }
    s->at = i;
  }
}

}  // namespace filler
