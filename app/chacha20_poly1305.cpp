// ChaCha20-Poly1305 (see chacha20_poly1305.h).
#include "app/chacha20_poly1305.h"

#include "app/chacha20.h"
#include "app/poly1305.h"
#include "app/wipe.h"

namespace aead {

namespace {

// Sealing encrypts and authenticates a piece at a time, while it is in the cache: a
// whole number of blocks, so that the keystream runs on from one piece to the next.
constexpr size_t kPiece = 64 * chacha20::kBlockBytes;

// Zeros up to the next multiple of 16 bytes after a part of n bytes.
void PadTo16(poly1305::State* mac, size_t n) {
  static const uint8_t kZeros[poly1305::kBlockBytes] = {};
  if (n % poly1305::kBlockBytes)
    poly1305::Update(mac, kZeros, poly1305::kBlockBytes - n % poly1305::kBlockBytes);
}

// The cipher's input words at block 0 and the authenticator keyed from that block; the
// input is left at block 1, where the cipher text starts. The associated data and its
// padding are taken.
void Begin(const uint8_t key[kKeyBytes], const uint8_t nonce[kNonceBytes], const uint8_t* aad,
           size_t aadBytes, uint32_t input[16], poly1305::State* mac) {
  chacha20::Setup(input, key, 0, nonce);
  uint8_t block0[chacha20::kBlockBytes];
  chacha20::Block(input, block0);
  input[12] = 1;
  static_assert(poly1305::kKeyBytes <= chacha20::kBlockBytes, "the one-time key is in block 0");
  poly1305::Start(mac, block0);
  WipeSecret(block0, sizeof block0);
  poly1305::Update(mac, aad, aadBytes);
  PadTo16(mac, aadBytes);
}

// The padding of the cipher text, both lengths, and the tag.
void End(poly1305::State* mac, size_t aadBytes, size_t n, uint8_t tag[kTagBytes]) {
  PadTo16(mac, n);
  uint8_t lengths[16];
  uint64_t a = aadBytes, c = n;
  __builtin_memcpy(lengths, &a, 8);  // little-endian
  __builtin_memcpy(lengths + 8, &c, 8);
  poly1305::Update(mac, lengths, sizeof lengths);
  poly1305::Finish(mac, tag);
}

}  // namespace

void Seal(const uint8_t key[kKeyBytes], const uint8_t nonce[kNonceBytes], const uint8_t* aad,
          size_t aadBytes, const uint8_t* in, size_t n, uint8_t* out, uint8_t tag[kTagBytes]) {
  uint32_t input[16];
  poly1305::State mac;
  Begin(key, nonce, aad, aadBytes, input, &mac);
  for (size_t done = 0; done < n;) {
    size_t piece = n - done < kPiece ? n - done : kPiece;
    chacha20::Xor(input, in + done, out + done, piece);
    poly1305::Update(&mac, out + done, piece);
    done += piece;
  }
  End(&mac, aadBytes, n, tag);
  WipeSecret(input, sizeof input);
}

bool Open(const uint8_t key[kKeyBytes], const uint8_t nonce[kNonceBytes], const uint8_t* aad,
          size_t aadBytes, const uint8_t* in, size_t n, const uint8_t tag[kTagBytes],
          uint8_t* out) {
  uint32_t input[16];
  poly1305::State mac;
  Begin(key, nonce, aad, aadBytes, input, &mac);
  poly1305::Update(&mac, in, n);
  uint8_t expected[kTagBytes];
  End(&mac, aadBytes, n, expected);
  bool sound = poly1305::TagsEqual(expected, tag);
  if (sound) chacha20::Xor(input, in, out, n);
  WipeSecret(input, sizeof input);
  return sound;
}

}  // namespace aead
