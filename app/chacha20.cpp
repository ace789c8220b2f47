// ChaCha20 (see chacha20.h), and the choice of Xor's routines. Four blocks side by side
// are written with the compiler's generic vectors, one lane a block: SSE2 registers where
// the target has them (every x86-64 processor), plain words elsewhere, the same bytes
// either way. The wider runs are in app/chacha20_wide.cpp.
#include "app/chacha20.h"

namespace chacha20 {

namespace {

#if defined(__SSE2__)
constexpr bool kFourAtATime = true;
#else
constexpr bool kFourAtATime = false;  // lanes would be emulated word by word: no gain
#endif

inline uint32_t Load32(const uint8_t* p) {
  uint32_t v;
  __builtin_memcpy(&v, p, 4);  // little-endian, as ChaCha20 reads its words
  return v;
}

inline uint32_t Rotl(uint32_t v, int n) { return v << n | v >> (32 - n); }

inline void Quarter(uint32_t* x, int a, int b, int c, int d) {
  x[a] += x[b]; x[d] = Rotl(x[d] ^ x[a], 16);
  x[c] += x[d]; x[b] = Rotl(x[b] ^ x[c], 12);
  x[a] += x[b]; x[d] = Rotl(x[d] ^ x[a], 8);
  x[c] += x[d]; x[b] = Rotl(x[b] ^ x[c], 7);
}

typedef uint32_t Lanes __attribute__((vector_size(16)));

// v = (v ^ w) rotated left by n, in place (a vector is never returned by value: without
// vector registers that would be an ABI of its own).
inline void XorRotl(Lanes& v, const Lanes& w, int n) {
  v ^= w;
  v = v << n | v >> (32 - n);
}

inline void Quarter(Lanes* x, int a, int b, int c, int d) {
  x[a] += x[b]; XorRotl(x[d], x[a], 16);
  x[c] += x[d]; XorRotl(x[b], x[c], 12);
  x[a] += x[b]; XorRotl(x[d], x[a], 8);
  x[c] += x[d]; XorRotl(x[b], x[c], 7);
}

// The column rounds, then the diagonal rounds: one double round.
template <typename Word>
inline void DoubleRound(Word* x) {
  Quarter(x, 0, 4, 8, 12);
  Quarter(x, 1, 5, 9, 13);
  Quarter(x, 2, 6, 10, 14);
  Quarter(x, 3, 7, 11, 15);
  Quarter(x, 0, 5, 10, 15);
  Quarter(x, 1, 6, 11, 12);
  Quarter(x, 2, 7, 8, 13);
  Quarter(x, 3, 4, 9, 14);
}

}  // namespace

namespace detail {

void FourBlocksXor(const uint32_t input[16], const uint8_t* in, uint8_t* out) {
  const Lanes counters = {0, 1, 2, 3};
  Lanes x[16];
  for (int i = 0; i < 16; i++) x[i] = Lanes{input[i], input[i], input[i], input[i]};
  x[12] += counters;
  for (int round = 0; round < 10; round++) DoubleRound(x);
  for (int i = 0; i < 16; i++) x[i] += Lanes{input[i], input[i], input[i], input[i]};
  x[12] += counters;
  // Words i .. i + 3 of the four blocks, turned from one lane a block into one vector a
  // block, each xored into 16 bytes of its block.
  for (int i = 0; i < 16; i += 4) {
    Lanes low01 = __builtin_shufflevector(x[i], x[i + 1], 0, 4, 1, 5);
    Lanes low23 = __builtin_shufflevector(x[i + 2], x[i + 3], 0, 4, 1, 5);
    Lanes high01 = __builtin_shufflevector(x[i], x[i + 1], 2, 6, 3, 7);
    Lanes high23 = __builtin_shufflevector(x[i + 2], x[i + 3], 2, 6, 3, 7);
    const Lanes words[4] = {__builtin_shufflevector(low01, low23, 0, 1, 4, 5),
                            __builtin_shufflevector(low01, low23, 2, 3, 6, 7),
                            __builtin_shufflevector(high01, high23, 0, 1, 4, 5),
                            __builtin_shufflevector(high01, high23, 2, 3, 6, 7)};
    for (int block = 0; block < 4; block++) {
      Lanes v;
      __builtin_memcpy(&v, in + kBlockBytes * block + 4 * i, sizeof v);
      v ^= words[block];
      __builtin_memcpy(out + kBlockBytes * block + 4 * i, &v, sizeof v);
    }
  }
}

}  // namespace detail

void Setup(uint32_t input[16], const uint8_t key[kKeyBytes], uint32_t counter,
           const uint8_t nonce[kNonceBytes]) {
  for (int i = 0; i < 4; i++) input[i] = kConstants[i];
  for (int i = 0; i < 8; i++) input[4 + i] = Load32(key + 4 * i);
  input[12] = counter;
  for (int i = 0; i < 3; i++) input[13 + i] = Load32(nonce + 4 * i);
}

void Block(const uint32_t input[16], uint8_t out[kBlockBytes]) {
  uint32_t x[16];
  for (int i = 0; i < 16; i++) x[i] = input[i];
  for (int round = 0; round < 10; round++) DoubleRound(x);
  for (int i = 0; i < 16; i++) {
    uint32_t v = x[i] + input[i];
    __builtin_memcpy(out + 4 * i, &v, 4);
  }
}

namespace {

// The path UsePath chose, or kUnchosen: the fastest, found at the first Xor (workers may
// find it at the same time, each the same).
constexpr uint8_t kUnchosen = 0xff;
uint8_t gPath = kUnchosen;

// Runs of `blocks` blocks through `run` while n holds a whole run.
inline void Runs(uint32_t input[16], const uint8_t*& in, uint8_t*& out, size_t& n, uint32_t blocks,
                 void (*run)(const uint32_t*, const uint8_t*, uint8_t*)) {
  for (; n >= blocks * kBlockBytes; n -= blocks * kBlockBytes) {
    run(input, in, out);
    input[12] += blocks;
    in += blocks * kBlockBytes;
    out += blocks * kBlockBytes;
  }
}

}  // namespace

void UsePath(Path path) { __atomic_store_n(&gPath, static_cast<uint8_t>(path), __ATOMIC_RELAXED); }

void Xor(uint32_t input[16], const uint8_t* in, uint8_t* out, size_t n) {
  uint8_t path = __atomic_load_n(&gPath, __ATOMIC_RELAXED);
  if (path == kUnchosen) {
    path = static_cast<uint8_t>(BestPath());
    __atomic_store_n(&gPath, path, __ATOMIC_RELAXED);
  }
  Xor(input, in, out, n, static_cast<Path>(path));
}

void Xor(uint32_t input[16], const uint8_t* in, uint8_t* out, size_t n, Path path) {
  if (path == Path::kAvx512) Runs(input, in, out, n, 16, detail::SixteenBlocksXor);
  if (path != Path::kPortable) Runs(input, in, out, n, 8, detail::EightBlocksXor);
  if (kFourAtATime) Runs(input, in, out, n, 4, detail::FourBlocksXor);
  uint8_t stream[kBlockBytes];
  while (n > 0) {
    Block(input, stream);
    input[12]++;
    size_t take = n < kBlockBytes ? n : kBlockBytes;
    for (size_t i = 0; i < take; i++) out[i] = in[i] ^ stream[i];
    in += take;
    out += take;
    n -= take;
  }
}

}  // namespace chacha20
