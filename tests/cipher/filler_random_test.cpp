// The filler generator: its AES-256 and ChaCha20 primitives against the published
// vectors (FIPS-197, SP 800-38A CTR, RFC 8439), and what Draw makes of their keystreams.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/filler_random.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Hex(const std::string& h) {
  Bytes b;
  for (size_t i = 0; i + 1 < h.size(); i += 2) b.push_back(static_cast<uint8_t>(std::stoi(h.substr(i, 2), nullptr, 16)));
  return b;
}

Bytes Range(int n) {
  Bytes b(n);
  for (int i = 0; i < n; i++) b[i] = static_cast<uint8_t>(i);
  return b;
}

// The ChaCha20 input words of a key, a 32-bit counter and a 12-byte nonce (RFC 8439).
void ChaChaInput(const Bytes& key, uint32_t counter, const Bytes& nonce, uint32_t in[16]) {
  const uint32_t constants[4] = {0x61707865u, 0x3320646eu, 0x79622d32u, 0x6b206574u};
  for (int i = 0; i < 4; i++) in[i] = constants[i];
  for (int i = 0; i < 8; i++) memcpy(&in[4 + i], key.data() + 4 * i, 4);
  in[12] = counter;
  for (int i = 0; i < 3; i++) memcpy(&in[13 + i], nonce.data() + 4 * i, 4);
}

TEST(FillerRandom, ChaCha20MatchesRfc8439) {
  uint32_t in[16];
  uint8_t out[128];
  // 2.3.2: one block.
  ChaChaInput(Range(32), 1, Hex("000000090000004a00000000"), in);
  filler::detail::ChaCha20Block(in, out);
  EXPECT_EQ(Bytes(out, out + 64),
            Hex("10f1e7e4d13b5915500fdd1fa32071c4c7d1f4c733c068030422aa9ac3d46c4e"
                "d2826446079faa0914c2d705d98b02a2b5129cd1de164eb9cbd083e8a2503c4e"));
  // 2.4.2: the keystream of two blocks, counter 1 and 2, over the sample text.
  const std::string text =
      "Ladies and Gentlemen of the class of '99: If I could offer you only one tip for the "
      "future, sunscreen would be it.";
  ChaChaInput(Range(32), 1, Hex("000000000000004a00000000"), in);
  filler::detail::ChaCha20Block(in, out);
  in[12] = 2;
  filler::detail::ChaCha20Block(in, out + 64);
  Bytes cipher(text.size());
  for (size_t i = 0; i < text.size(); i++) cipher[i] = static_cast<uint8_t>(text[i]) ^ out[i];
  EXPECT_EQ(cipher,
            Hex("6e2e359a2568f98041ba0728dd0d6981e97e7aec1d4360c20a27afccfd9fae0b"
                "f91b65c5524733ab8f593dabcd62b3571639d624e65152ab8f530c359f0861d8"
                "07ca0dbf500d6a6156a38e088a22b65e52bc514d16ccf806818ce91ab7793736"
                "5af90bbf74a35be6b40b8eedf2785e42874d"));
}

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
    ChaChaInput(key, 0, Bytes(12, 0), in);
    in[14] = static_cast<uint32_t>(stream);
    in[15] = static_cast<uint32_t>(stream >> 32);
    for (uint64_t block = 0; ks.size() < n; block++) {
      in[12] = static_cast<uint32_t>(block);
      in[13] = static_cast<uint32_t>(block >> 32);
      uint8_t out[64];
      filler::detail::ChaCha20Block(in, out);
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
