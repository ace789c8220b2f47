// The sealed format's own parts: what a file's first bytes say, the nonce of a chunk, and
// the key of a salt and a loaded key (its key material's layout), against a value of the
// independent model (tests/blackbox/sealed_model.py, RFC 5869 over Python's hmac).
#include <gtest/gtest.h>

#include "app/sealed_format.h"
#include "tests/cipher/test_bytes.h"

namespace {

Bytes Header(uint8_t version, size_t n) {
  Bytes b(sealed::kMagic, sealed::kMagic + sealed::kMagicBytes);
  b.push_back(version);
  for (uint8_t i = 0; b.size() < n; i++) b.push_back(i);
  b.resize(n);
  return b;
}

TEST(SealedFormat, WhatTheFirstBytesSay) {
  struct Case {
    const char* name;
    Bytes bytes;
    sealed::Header header;
  } cases[] = {
      {"nothing", Bytes(), sealed::Header::kNone},
      {"another first byte", Hex("88"), sealed::Header::kNone},
      {"the magic's first byte", Hex("89"), sealed::Header::kCutMagic},
      {"seven bytes of it", Header(1, 7), sealed::Header::kCutMagic},
      {"the magic alone", Header(1, 8), sealed::Header::kCut},
      {"a changed magic byte", Hex("89 4f 4d 42 52 49 58 0b 01"), sealed::Header::kNone},
      {"the version, no salt", Header(1, 9), sealed::Header::kCut},
      {"a byte of salt short", Header(1, sealed::kHeaderBytes - 1), sealed::Header::kCut},
      {"a whole header", Header(1, sealed::kHeaderBytes), sealed::Header::kSealed},
      {"a header and more", Header(1, 100), sealed::Header::kSealed},
      {"version 2", Header(2, 9), sealed::Header::kOtherVersion},
      {"version 0, whole", Header(0, 60), sealed::Header::kOtherVersion},
  };
  for (const Case& c : cases) {
    uint8_t version = 0xEE;
    EXPECT_EQ(sealed::ReadHeader(c.bytes.data(), c.bytes.size(), &version), c.header) << c.name;
    if (c.header == sealed::Header::kSealed || c.header == sealed::Header::kOtherVersion) {
      EXPECT_EQ(version, c.bytes[8]) << c.name;
    }
  }
  Bytes salt = Range(32, 0x40), written(sealed::kHeaderBytes);
  sealed::WriteHeader(salt.data(), written.data());
  EXPECT_EQ(written, Hex("89 4f 4d 42 52 49 58 0a 01") + salt);
}

TEST(SealedFormat, NoncesNumberTheChunksAndMarkTheLast) {
  struct Case {
    uint64_t index;
    bool last;
    Bytes nonce;
  } cases[] = {
      {0, false, Hex("00000000 00000000 000000 00")},
      {0, true, Hex("00000000 00000000 000000 01")},
      {1, false, Hex("00000000 00000000 000001 00")},
      {0x0102030405060708ull, true, Hex("000000 0102030405060708 01")},
      {~0ull, false, Hex("000000 ffffffffffffffff 00")},
  };
  for (const Case& c : cases) {
    Bytes nonce(aead::kNonceBytes);
    sealed::Nonce(c.index, c.last, nonce.data());
    EXPECT_EQ(nonce, c.nonce) << c.index;
  }
}

TEST(SealedFormat, TheKeyOfASaltAndTheKeyMaterial) {
  static cipher::Key key;
  for (int r = 0; r < cipher::kSlots; r++) {
    for (int k = 0; k < cipher::kTableSize; k++) key.table[r][k] = static_cast<uint8_t>(r * 37 + k * 11);
    key.slot[r] = cipher::Slot{r & 1, 0, 0, 1 + (r * 3) % 11, 1 + r % 11, 11 - r % 11};
  }
  for (int i = 1; i <= 10; i++) key.expansion[i] = 7 * i;
  Bytes material(sealed::kKeyMaterialBytes);
  sealed::KeyMaterial(key, material.data());
  // Tables in slot order, then direction, period0, period1, shift of each slot, then the
  // seeds, each number 4 bytes little-endian.
  EXPECT_EQ(material[256 * 3 + 2], static_cast<uint8_t>(3 * 37 + 2 * 11));
  EXPECT_EQ(Bytes(material.begin() + 5120 + 16, material.begin() + 5120 + 32),
            Hex("01000000 02000000 0a000000 04000000"));
  EXPECT_EQ(Bytes(material.end() - 8, material.end()), Hex("3f000000 46000000"));
  Bytes salt = Range(32), derived(sealed::kKeyBytes);
  sealed::DeriveKey(salt.data(), material.data(), derived.data());
  EXPECT_EQ(derived, Hex("228d4b8db7289c3a8a1a305e2336eb8fd469a43d01fbb103dfec20b5276b1907"));
}

}  // namespace
