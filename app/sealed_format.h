// The sealed file format, version 1 (doc/sealed-format.md describes it for other
// programs): a header of the magic word, the version and a random salt, then the plain
// format's encrypted stream of the source cut into chunks, each sealed with
// ChaCha20-Poly1305 and followed by its tag. The key is HKDF-SHA-256 over the salt and
// everything the cipher loads for the entry numbers, so a wrong entry number, another key
// system or a changed byte fails the first chunk it touches; the nonce numbers each chunk
// and marks the last one, so that cut, reordered, repeated and appended chunks fail too.
//
// Everything here but DeriveKey is image code that calls no runtime export: chunk nonces
// are made on the cipher workers.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "app/chacha20_poly1305.h"
#include "app/cipher_key.h"

namespace sealed {

constexpr uint32_t kMagicBytes = 8;
constexpr uint8_t kMagic[kMagicBytes] = {0x89, 'O', 'M', 'B', 'R', 'I', 'X', 0x0A};
constexpr uint8_t kVersion = 1;
constexpr uint32_t kSaltBytes = 32;
constexpr uint32_t kSaltOffset = kMagicBytes + 1;
constexpr uint32_t kHeaderBytes = kSaltOffset + kSaltBytes;  // 41

// Bytes of the plain format's stream in every chunk but the last, and of a chunk as
// stored: those bytes encrypted, then their tag.
constexpr uint32_t kChunkBytes = 65536;
constexpr uint32_t kTagBytes = aead::kTagBytes;
constexpr uint32_t kStoredChunkBytes = kChunkBytes + kTagBytes;

constexpr uint32_t kKeyBytes = aead::kKeyBytes;

// The key material: the slot tables in slot order, then each slot's direction, period0,
// period1 and shift, then the ten expansion seeds, each number 4 bytes little-endian.
constexpr uint32_t kKeyMaterialBytes =
    cipher::kSlots * cipher::kTableSize + cipher::kSlots * 4 * 4 + keyfile::kSeeds * 4;
static_assert(kKeyMaterialBytes == 5480, "the key material's layout is the format's");

// What the first bytes of a file say.
enum class Header {
  kNone,          // not the magic word: no sealed file
  kCutMagic,      // fewer bytes than the magic word, all of them its first ones
  kCut,           // the magic word, but the header ends early
  kOtherVersion,  // the magic word and a version this program does not read
  kSealed,        // a whole header of version 1
};

// Reads the header from the first n bytes of a file; *version is the version byte where
// there is one.
Header ReadHeader(const uint8_t* bytes, size_t n, uint8_t* version);
// The header of a new file with this salt.
void WriteHeader(const uint8_t salt[kSaltBytes], uint8_t header[kHeaderBytes]);

// The key material of a loaded key: its tables and slots as loaded, and the seeds before
// BuildExpansionTable turns them into the expansion table.
void KeyMaterial(const cipher::Key& key, uint8_t out[kKeyMaterialBytes]);

// The file's key: HKDF-SHA-256 with the salt, the key material and the info "ombrix
// sealed 1". Runs on the main thread (the runtime's SHA-256).
void DeriveKey(const uint8_t salt[kSaltBytes], const uint8_t material[kKeyMaterialBytes],
               uint8_t key[kKeyBytes]);

// The nonce of chunk `index` (from 0): the index as an 11-byte big-endian number, then 1
// on the last chunk and 0 on every other.
void Nonce(uint64_t index, bool last, uint8_t nonce[aead::kNonceBytes]);

}  // namespace sealed
