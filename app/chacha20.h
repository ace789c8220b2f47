// ChaCha20 (20 rounds), the one block function of the program: the filler generator's
// keystream and the sealed format's cipher. A block is computed from 16 input words:
// the four constants, eight key words, and four words of counter and nonce, laid out by
// the caller (the sealed format: a 32-bit block counter and a 96-bit nonce).
//
// Image code that calls no runtime export: any cipher worker may run it.
#pragma once
#include <stddef.h>
#include <stdint.h>

namespace chacha20 {

constexpr int kKeyBytes = 32;
constexpr int kNonceBytes = 12;
constexpr int kBlockBytes = 64;

// Words 0-3: "expand 32-byte k".
constexpr uint32_t kConstants[4] = {0x61707865u, 0x3320646eu, 0x79622d32u, 0x6b206574u};

// The input words of a key, a 32-bit block counter and a 96-bit nonce: the constants,
// the key (little-endian words), the counter (word 12) and the nonce (words 13-15).
void Setup(uint32_t input[16], const uint8_t key[kKeyBytes], uint32_t counter,
           const uint8_t nonce[kNonceBytes]);

// One block of the 16 input words.
void Block(const uint32_t input[16], uint8_t out[kBlockBytes]);

// The routines Xor runs whole runs of blocks with: four blocks side by side in the
// compiler's generic vectors (the portable path), eight in 32-byte vectors (AVX2), or
// sixteen in 64-byte vectors (AVX-512F), shorter runs and the rest through the narrower
// ones. Every path gives the same bytes.
enum class Path : uint8_t { kPortable, kAvx2, kAvx512 };

// True when the processor and operating system support the routines of `path`.
bool PathAvailable(Path path);
// The fastest path this processor has.
Path BestPath();
// Makes Xor run `path` (one that is available) from now on; until it is called, Xor runs
// the fastest path. Call it before the workers start, not while they run.
void UsePath(Path path);

// out = in xor the keystream of the blocks starting at input[12], for n bytes (in and
// out may be the same); input[12] is left at the block after the last one used. The
// counter is the 32-bit word 12 alone: past 2^32 - 1 it goes on from 0, on every path.
void Xor(uint32_t input[16], const uint8_t* in, uint8_t* out, size_t n);
// The same through the routines of `path`, which must be available.
void Xor(uint32_t input[16], const uint8_t* in, uint8_t* out, size_t n, Path path);

namespace detail {
// in xor four blocks (counters input[12] .. input[12] + 3) into out: 4 x 64 bytes. Xor's
// way where the target has vector registers; built everywhere, so every build tests it.
void FourBlocksXor(const uint32_t input[16], const uint8_t* in, uint8_t* out);
// The same for 8 blocks (AVX2) and 16 blocks (AVX-512F).
void EightBlocksXor(const uint32_t input[16], const uint8_t* in, uint8_t* out);
void SixteenBlocksXor(const uint32_t input[16], const uint8_t* in, uint8_t* out);
}  // namespace detail

}  // namespace chacha20
