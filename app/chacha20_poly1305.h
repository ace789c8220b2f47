// ChaCha20-Poly1305 (RFC 8439 section 2.8): the authenticated cipher of the sealed
// format. The cipher text is ChaCha20 from block 1 under the key and a 96-bit nonce;
// the tag is Poly1305, keyed with the first 32 bytes of block 0, over the associated
// data, the cipher text (each padded with zeros to 16 bytes) and both lengths as 64-bit
// little-endian numbers. A nonce is never used twice with one key.
//
// Image code that calls no runtime export: any cipher worker may seal or open a chunk.
#pragma once
#include <stddef.h>
#include <stdint.h>

namespace aead {

constexpr int kKeyBytes = 32;
constexpr int kNonceBytes = 12;
constexpr int kTagBytes = 16;

// Encrypts n bytes of `in` into `out` (the same buffer or one that does not overlap it)
// and gives their tag over `aad` and the cipher text.
void Seal(const uint8_t key[kKeyBytes], const uint8_t nonce[kNonceBytes], const uint8_t* aad,
          size_t aadBytes, const uint8_t* in, size_t n, uint8_t* out, uint8_t tag[kTagBytes]);

// Checks the tag of n bytes of cipher text `in` and `aad`, in time that does not depend
// on where a wrong tag differs, before anything is decrypted: false, with `out`
// untouched, when it does not match; true with the n plain bytes in `out` (the same
// buffer or one that does not overlap `in`).
bool Open(const uint8_t key[kKeyBytes], const uint8_t nonce[kNonceBytes], const uint8_t* aad,
          size_t aadBytes, const uint8_t* in, size_t n, const uint8_t tag[kTagBytes],
          uint8_t* out);

}  // namespace aead
