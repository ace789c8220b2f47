// The filler generator: its AES-256 primitives against the published vectors (FIPS-197,
// SP 800-38A CTR), and what Draw makes of its AES and ChaCha20 keystreams.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/chacha20.h"
#include "app/filler_random.h"
#include "tests/cipher/test_bytes.h"

namespace {

TEST(FillerRandom, Aes256MatchesFips197AndSp80038a) {
  if (!filler::AesAvailable()) GTEST_SKIP() << "no AES instructions";
  uint8_t keys[15 * 16], out[64];
  // FIPS-197 C.3: one block, encrypted as a counter block.
  filler::detail::Aes256Expand(Range(32).data(), keys);
  Bytes block = Hex("00112233445566778899aabbccddeeff");
  filler::detail::Aes256Ctr(keys, block.data(), out, 1);
  EXPECT_EQ(Bytes(out, out + 16), Hex("8ea2b7ca516745bfeafc49904b496089"));
  // SP 800-38A F.5.5, CTR-AES256: the output blocks of four counters, carrying into
  // byte 14, and the counter left at the fifth.
  filler::detail::Aes256Expand(Hex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4").data(), keys);
  Bytes counter = Hex("f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff");
  filler::detail::Aes256Ctr(keys, counter.data(), out, 4);
  EXPECT_EQ(Bytes(out, out + 64),
            Hex("0bdf7df1591716335e9a8b15c860c5025a6e699d536119065433863c8f657b94"
                "1bc12c9c01610d5d0d8bd6a3378eca622956e1c8693536b1bee99c73a31576b6"));
  EXPECT_EQ(counter, Hex("f0f1f2f3f4f5f6f7f8f9fafbfcfdff03"));
}

// The keystream a Source of this kind and stream runs on, built from the primitives.
Bytes Keystream(filler::Kind kind, const Bytes& key, uint64_t stream, size_t n) {
  Bytes ks;
  if (kind == filler::Kind::kAes) {
    uint8_t keys[15 * 16];
    filler::detail::Aes256Expand(key.data(), keys);
    Bytes counter(16, 0);
    for (int i = 0; i < 8; i++) counter[i] = static_cast<uint8_t>(stream >> (56 - 8 * i));
    ks.resize((n + 15) / 16 * 16);
    filler::detail::Aes256Ctr(keys, counter.data(), ks.data(), static_cast<uint32_t>(ks.size() / 16));
  } else {
    uint32_t in[16];
    chacha20::Setup(in, key.data(), 0, Bytes(12, 0).data());
    in[14] = static_cast<uint32_t>(stream);
    in[15] = static_cast<uint32_t>(stream >> 32);
    for (uint64_t block = 0; ks.size() < n; block++) {
      in[12] = static_cast<uint32_t>(block);
      in[13] = static_cast<uint32_t>(block >> 32);
      uint8_t out[64];
      chacha20::Block(in, out);
      ks.insert(ks.end(), out, out + 64);
    }
  }
  ks.resize(n);
  return ks;
}

// Draws of odd sizes, crossing the buffer, give the keystream with every 255 left out:
// values 0..254 only, all of them present; other streams and keys give other bytes.
TEST(FillerRandom, DrawsAreTheKeystreamWithout255) {
  Bytes key = Hex("c0ffee00112233445566778899aabbccddeeff0123456789abcdef0011223344");
  for (filler::Kind kind : {filler::Kind::kPortable, filler::Kind::kAes}) {
    if (kind == filler::Kind::kAes && !filler::AesAvailable()) continue;
    SCOPED_TRACE(kind == filler::Kind::kAes ? "aes" : "chacha20");
    filler::Source s;
    filler::Start(&s, key.data(), 7, kind);
    Bytes got;
    for (uint32_t n : {1u, 3u, 0u, 700u, 511u, 4096u, 5u, 100000u}) {
      Bytes part(n);
      filler::Draw(&s, part.data(), n);
      got.insert(got.end(), part.begin(), part.end());
    }
    Bytes want;
    for (uint8_t b : Keystream(kind, key, 7, got.size() * 2))
      if (b != 255 && want.size() < got.size()) want.push_back(b);
    ASSERT_EQ(got, want);
    std::vector<int> seen(256);
    for (uint8_t b : got) seen[b]++;
    EXPECT_EQ(seen[255], 0);
    for (int v = 0; v < 255; v++) EXPECT_GT(seen[v], 0) << v;

    Bytes other(4096), otherKey(4096);
    filler::Start(&s, key.data(), 8, kind);
    filler::Draw(&s, other.data(), 4096);
    Bytes key2 = key;
    key2[31] ^= 1;
    filler::Start(&s, key2.data(), 7, kind);
    filler::Draw(&s, otherKey.data(), 4096);
    Bytes first(got.begin(), got.begin() + 4096);
    EXPECT_NE(other, first);
    EXPECT_NE(otherKey, first);
  }
}

}  // namespace
