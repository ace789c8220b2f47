// The generator of filler bytes: a counter-mode keystream keyed once per command from
// the system's random source, AES-256 in counter mode with the processor's AES
// instructions, ChaCha20 (20 rounds) elsewhere. Each filler byte is one keystream byte,
// the value 255 rejected, so that the bytes are uniform over 0..254.
//
// Image code that calls no runtime export: any cipher worker may run its own Source.
#pragma once
#include <stdint.h>

namespace filler {

constexpr int kKeyBytes = 32;
constexpr uint32_t kBufferBytes = 512;

enum class Kind { kPortable, kAes };  // ChaCha20 scalar / AES instructions

// One generator's state: plain data, set up by Start.
struct Source {
  Kind kind;
  uint32_t chacha[16];      // ChaCha20 input words; 12-13 the block counter, 14-15 the stream
  uint8_t aesKeys[15 * 16];  // AES-256 round keys
  uint8_t counter[16];      // AES counter block: stream (big-endian) then block number
  uint8_t buffer[kBufferBytes];
  uint32_t at, have;        // next unused keystream byte of the buffer, bytes in it
};

// The processor has the AES instructions (and the system saves the registers they use).
bool AesAvailable();
// Keys s; stream picks an independent substream of the same key (a worker's segment
// number; 0 for one thread). kAes only where AesAvailable().
void Start(Source* s, const uint8_t* key, uint64_t stream, Kind kind);
// n filler bytes, each uniform over 0..254.
void Draw(Source* s, uint8_t* out, uint32_t n);

// The AES primitives, for their tests against published vectors (ChaCha20 is
// app/chacha20.h's).
namespace detail {
// AES-256 round keys of a 32-byte key (AES instructions).
void Aes256Expand(const uint8_t key[32], uint8_t roundKeys[15 * 16]);
// blocks AES-256 encryptions of successive counter blocks, the last 8 bytes of the
// block counting up as a big-endian number; counter is left at the next block.
void Aes256Ctr(const uint8_t roundKeys[15 * 16], uint8_t counter[16], uint8_t* out, uint32_t blocks);
}  // namespace detail

}  // namespace filler
