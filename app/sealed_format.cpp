// The sealed file format (see sealed_format.h).
#include "app/sealed_format.h"

#include "app/hkdf_sha256.h"

namespace sealed {

namespace {

constexpr char kInfo[] = "ombrix sealed 1";

inline uint8_t* Put32(uint8_t* p, int32_t value) {
  uint32_t v = static_cast<uint32_t>(value);
  for (int i = 0; i < 4; i++) p[i] = static_cast<uint8_t>(v >> (8 * i));
  return p + 4;
}

}  // namespace

Header ReadHeader(const uint8_t* bytes, size_t n, uint8_t* version) {
  if (n == 0) return Header::kNone;
  size_t magic = n < kMagicBytes ? n : kMagicBytes;
  for (size_t i = 0; i < magic; i++)
    if (bytes[i] != kMagic[i]) return Header::kNone;
  if (n < kMagicBytes) return Header::kCutMagic;
  if (n == kMagicBytes) return Header::kCut;
  *version = bytes[kMagicBytes];
  if (*version != kVersion) return Header::kOtherVersion;
  return n < kHeaderBytes ? Header::kCut : Header::kSealed;
}

void WriteHeader(const uint8_t salt[kSaltBytes], uint8_t header[kHeaderBytes]) {
  for (uint32_t i = 0; i < kMagicBytes; i++) header[i] = kMagic[i];
  header[kMagicBytes] = kVersion;
  for (uint32_t i = 0; i < kSaltBytes; i++) header[kSaltOffset + i] = salt[i];
}

void KeyMaterial(const cipher::Key& key, uint8_t out[kKeyMaterialBytes]) {
  uint8_t* p = out;
  for (int r = 0; r < cipher::kSlots; r++)
    for (int k = 0; k < cipher::kTableSize; k++) *p++ = key.table[r][k];
  for (int r = 0; r < cipher::kSlots; r++) {
    const cipher::Slot& s = key.slot[r];
    p = Put32(Put32(Put32(Put32(p, s.direction), s.period0), s.period1), s.shift);
  }
  for (int i = 1; i <= keyfile::kSeeds; i++) p = Put32(p, key.expansion[i]);
}

void DeriveKey(const uint8_t salt[kSaltBytes], const uint8_t material[kKeyMaterialBytes],
               uint8_t key[kKeyBytes]) {
  hkdf::Derive(salt, kSaltBytes, material, kKeyMaterialBytes, reinterpret_cast<const uint8_t*>(kInfo),
               sizeof kInfo - 1, key, kKeyBytes);
}

void Nonce(uint64_t index, bool last, uint8_t nonce[aead::kNonceBytes]) {
  // Bytes 0-10 big-endian: the first three are 0 for any 64-bit index.
  for (int i = 0; i < 11; i++) nonce[10 - i] = i < 8 ? static_cast<uint8_t>(index >> (8 * i)) : 0;
  nonce[11] = last ? 1 : 0;
}

}  // namespace sealed
