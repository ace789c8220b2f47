// ChaCha20 against RFC 8439 (the examples of sections 2.3.2 and 2.4.2, the vectors of
// appendix A.1 and A.2) on every path the processor has, and the multi-block keystream of
// each path against the block function and against the portable path.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "app/chacha20.h"
#include "tests/cipher/test_bytes.h"

namespace {

using chacha20::Path;

// The paths this processor has, the portable one first.
std::vector<Path> Paths() {
  std::vector<Path> paths;
  for (Path p : {Path::kPortable, Path::kAvx2, Path::kAvx512})
    if (chacha20::PathAvailable(p)) paths.push_back(p);
  return paths;
}

const char* Name(Path p) { return p == Path::kAvx512 ? "avx512" : p == Path::kAvx2 ? "avx2" : "portable"; }

const Bytes kKey1c92 =
    Hex("1c 92 40 a5 eb 55 d3 8a f3 33 88 86 04 f6 b5 f0 47 39 17 c1 40 2b 80 09 9d ca 5c bc 20 70 75 c0");

Bytes KeyEndingIn(uint8_t last) {
  Bytes k(32, 0);
  k[31] = last;
  return k;
}

Bytes NonceEndingIn(uint8_t last) {
  Bytes n(12, 0);
  n[11] = last;
  return n;
}

// key, counter, nonce, plain text and cipher text.
struct Vector {
  const char* name;
  Bytes key;
  uint32_t counter;
  Bytes nonce;
  Bytes plain;
  Bytes cipher;
};

std::vector<Vector> Vectors() {
  Bytes keyFF = Bytes(32, 0);
  keyFF[1] = 0xff;
  return {
      {"2.4.2", Range(32), 1, Hex("000000000000004a00000000"),
       Text("Ladies and Gentlemen of the class of '99: If I could offer you only one tip for the "
            "future, sunscreen would be it."),
       Hex("6e2e359a2568f98041ba0728dd0d6981e97e7aec1d4360c20a27afccfd9fae0bf91b65c5524733ab8f59"
           "3dabcd62b3571639d624e65152ab8f530c359f0861d807ca0dbf500d6a6156a38e088a22b65e52bc514d"
           "16ccf806818ce91ab77937365af90bbf74a35be6b40b8eedf2785e42874d")},
      // 2.3.2 and A.1: single blocks, the keystream over zeros.
      {"2.3.2", Range(32), 1, Hex("000000090000004a00000000"), Bytes(64),
       Hex("10f1e7e4d13b5915500fdd1fa32071c4c7d1f4c733c068030422aa9ac3d46c4e"
           "d2826446079faa0914c2d705d98b02a2b5129cd1de164eb9cbd083e8a2503c4e")},
      {"A.1 #1", Bytes(32), 0, Bytes(12), Bytes(64),
       Hex("76 b8 e0 ad a0 f1 3d 90 40 5d 6a e5 53 86 bd 28 bd d2 19 b8 a0 8d ed 1a a8 36 ef cc 8b 77 0d c7"
           "da 41 59 7c 51 57 48 8d 77 24 e0 3f b8 d8 4a 37 6a 43 b8 f4 15 18 a1 1c c3 87 b6 69 b2 ee 65 86")},
      {"A.1 #2", Bytes(32), 1, Bytes(12), Bytes(64),
       Hex("9f 07 e7 be 55 51 38 7a 98 ba 97 7c 73 2d 08 0d cb 0f 29 a0 48 e3 65 69 12 c6 53 3e 32 ee 7a ed"
           "29 b7 21 76 9c e6 4e 43 d5 71 33 b0 74 d8 39 d5 31 ed 1f 28 51 0a fb 45 ac e1 0a 1f 4b 79 4d 6f")},
      {"A.1 #3", KeyEndingIn(1), 1, Bytes(12), Bytes(64),
       Hex("3a eb 52 24 ec f8 49 92 9b 9d 82 8d b1 ce d4 dd 83 20 25 e8 01 8b 81 60 b8 22 84 f3 c9 49 aa 5a"
           "8e ca 00 bb b4 a7 3b da d1 92 b5 c4 2f 73 f2 fd 4e 27 36 44 c8 b3 61 25 a6 4a dd eb 00 6c 13 a0")},
      {"A.1 #4", keyFF, 2, Bytes(12), Bytes(64),
       Hex("72 d5 4d fb f1 2e c4 4b 36 26 92 df 94 13 7f 32 8f ea 8d a7 39 90 26 5e c1 bb be a1 ae 9a f0 ca"
           "13 b2 5a a2 6c b4 a6 48 cb 9b 9d 1b e6 5b 2c 09 24 a6 6c 54 d5 45 ec 1b 73 74 f4 87 2e 99 f0 96")},
      {"A.1 #5", Bytes(32), 0, NonceEndingIn(2), Bytes(64),
       Hex("c2 c6 4d 37 8c d5 36 37 4a e2 04 b9 ef 93 3f cd 1a 8b 22 88 b3 df a4 96 72 ab 76 5b 54 ee 27 c7"
           "8a 97 0e 0e 95 5c 14 f3 a8 8e 74 1b 97 c2 86 f7 5f 8f c2 99 e8 14 83 62 fa 19 8a 39 53 1b ed 6d")},
      // A.2 #1 is A.1 #1 over 64 zero bytes.
      {"A.2 #2", KeyEndingIn(1), 1, NonceEndingIn(2), Text(IetfContributionText()),
       Hex("a3 fb f0 7d f3 fa 2f de 4f 37 6c a2 3e 82 73 70 41 60 5d 9f 4f 4f 57 bd 8c ff 2c 1d 4b 79 55 ec"
           "2a 97 94 8b d3 72 29 15 c8 f3 d3 37 f7 d3 70 05 0e 9e 96 d6 47 b7 c3 9f 56 e0 31 ca 5e b6 25 0d"
           "40 42 e0 27 85 ec ec fa 4b 4b b5 e8 ea d0 44 0e 20 b6 e8 db 09 d8 81 a7 c6 13 2f 42 0e 52 79 50"
           "42 bd fa 77 73 d8 a9 05 14 47 b3 29 1c e1 41 1c 68 04 65 55 2a a6 c4 05 b7 76 4d 5e 87 be a8 5a"
           "d0 0f 84 49 ed 8f 72 d0 d6 62 ab 05 26 91 ca 66 42 4b c8 6d 2d f8 0e a4 1f 43 ab f9 37 d3 25 9d"
           "c4 b2 d0 df b4 8a 6c 91 39 dd d7 f7 69 66 e9 28 e6 35 55 3b a7 6c 5c 87 9d 7b 35 d4 9e b2 e6 2b"
           "08 71 cd ac 63 89 39 e2 5e 8a 1e 0e f9 d5 28 0f a8 ca 32 8b 35 1c 3c 76 59 89 cb cf 3d aa 8b 6c"
           "cc 3a af 9f 39 79 c9 2b 37 20 fc 88 dc 95 ed 84 a1 be 05 9c 64 99 b9 fd a2 36 e7 e8 18 b0 4b 0b"
           "c3 9c 1e 87 6b 19 3b fe 55 69 75 3f 88 12 8c c0 8a aa 9b 63 d1 a1 6f 80 ef 25 54 d7 18 9c 41 1f"
           "58 69 ca 52 c5 b8 3f a3 6f f2 16 b9 c1 d3 00 62 be bc fd 2d c5 bc e0 91 19 34 fd a7 9a 86 f6 e6"
           "98 ce d7 59 c3 ff 9b 64 77 33 8f 3d a4 f9 cd 85 14 ea 99 82 cc af b3 41 b2 38 4d d9 02 f3 d1 ab"
           "7a c6 1d d2 9c 6f 21 ba 5b 86 2f 37 30 e3 7c fd c4 fd 80 6c 22 f2 21")},
      {"A.2 #3", kKey1c92, 42, NonceEndingIn(2), Text(JabberwockyText()),
       Hex("62 e6 34 7f 95 ed 87 a4 5f fa e7 42 6f 27 a1 df 5f b6 91 10 04 4c 0d 73 11 8e ff a9 5b 01 e5 cf"
           "16 6d 3d f2 d7 21 ca f9 b2 1e 5f b1 4c 61 68 71 fd 84 c5 4f 9d 65 b2 83 19 6c 7f e4 f6 05 53 eb"
           "f3 9c 64 02 c4 22 34 e3 2a 35 6b 3e 76 43 12 a6 1a 55 32 05 57 16 ea d6 96 25 68 f8 7d 3f 3f 77"
           "04 c6 a8 d1 bc d1 bf 4d 50 d6 15 4b 6d a7 31 b1 87 b5 8d fd 72 8a fa 36 75 7a 79 7a c1 88 d1")},
  };
}

// Each vector through Xor in one call on every path, and through Block alone where it
// is one block; Xor leaves the counter after the last block it used. A.1 #1 and #2 are
// blocks 0 and 1 of one keystream: they are also its first two blocks out of a run of
// the widest routine.
TEST(ChaCha20, PublishedVectors) {
  for (const Vector& v : Vectors()) {
    SCOPED_TRACE(v.name);
    uint32_t input[16];
    chacha20::Setup(input, v.key.data(), v.counter, v.nonce.data());
    if (v.plain == Bytes(64)) {
      uint8_t block[64];
      chacha20::Block(input, block);
      EXPECT_EQ(Bytes(block, block + 64), v.cipher);
    }
    for (Path path : Paths()) {
      SCOPED_TRACE(Name(path));
      uint32_t in[16];
      std::copy(input, input + 16, in);
      Bytes out(v.plain.size());
      chacha20::Xor(in, v.plain.data(), out.data(), out.size(), path);
      EXPECT_EQ(out, v.cipher);
      EXPECT_EQ(in[12], v.counter + (v.plain.size() + 63) / 64);
    }
  }
  const std::vector<Vector> all = Vectors();
  auto find = [&](const std::string& name) {
    return *std::find_if(all.begin(), all.end(), [&](const Vector& v) { return v.name == name; });
  };
  Bytes first = find("A.1 #1").cipher + find("A.1 #2").cipher;
  for (Path path : Paths()) {
    uint32_t input[16];
    chacha20::Setup(input, Bytes(32).data(), 0, Bytes(12).data());
    Bytes out(16 * 64);
    chacha20::Xor(input, out.data(), out.data(), out.size(), path);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 128), first) << Name(path);
  }
}

// The keystream of single blocks, `blocks` of them from input's counter.
Bytes Keystream(const uint32_t input[16], uint32_t blocks) {
  Bytes stream;
  for (uint32_t block = 0; block < blocks; block++) {
    uint32_t at[16];
    std::copy(input, input + 16, at);
    at[12] += block;
    uint8_t b[64];
    chacha20::Block(at, b);
    stream.insert(stream.end(), b, b + 64);
  }
  return stream;
}

// Xor on every path over every length up to and past several runs of its widest
// routine, in place and split into two calls at a block boundary, against the keystream
// of single blocks; the counter runs past 2^32 - 1 into 0 on the way, as it does there.
TEST(ChaCha20, XorIsTheBlockKeystreamAtEveryLength) {
  for (uint32_t counter : {7u, 0xffffffe5u}) {
    uint32_t input[16];
    chacha20::Setup(input, kKey1c92.data(), counter, NonceEndingIn(9).data());
    Bytes stream = Keystream(input, 40);
    Bytes message = Range(static_cast<int>(stream.size()), 11);
    for (Path path : Paths()) {
      for (size_t n = 0; n <= stream.size(); n++) {
        Bytes want(n), got(message.begin(), message.begin() + n);
        for (size_t i = 0; i < n; i++) want[i] = message[i] ^ stream[i];
        uint32_t in[16];
        std::copy(input, input + 16, in);
        size_t cut = n / 2 / 64 * 64;
        chacha20::Xor(in, got.data(), got.data(), cut, path);
        chacha20::Xor(in, got.data() + cut, got.data() + cut, n - cut, path);
        ASSERT_EQ(got, want) << Name(path) << ", counter " << counter << ", " << n << " bytes, cut at " << cut;
        ASSERT_EQ(in[12], static_cast<uint32_t>(counter + (n + 63) / 64));
      }
    }
    // Each run routine alone, where the processor has it (the four-block one everywhere).
    struct Run {
      bool available;
      void (*run)(const uint32_t*, const uint8_t*, uint8_t*);
      size_t blocks;
    } runs[] = {{true, chacha20::detail::FourBlocksXor, 4},
                {chacha20::PathAvailable(Path::kAvx2), chacha20::detail::EightBlocksXor, 8},
                {chacha20::PathAvailable(Path::kAvx512), chacha20::detail::SixteenBlocksXor, 16}};
    for (const Run& r : runs) {
      if (!r.available) continue;
      Bytes out(64 * r.blocks);
      r.run(input, message.data(), out.data());
      for (size_t i = 0; i < out.size(); i++) ASSERT_EQ(out[i], message[i] ^ stream[i]) << r.blocks << " blocks, byte " << i;
    }
  }
}

// Every path against the portable one on random keys, nonces, counters (a tenth of them
// within a few runs of 2^32) and lengths, cut into pieces of random sizes; Xor without a
// path runs the fastest one, or the one UsePath chose.
TEST(ChaCha20, PathsGiveTheSameBytes) {
  std::mt19937 random(20261210);
  auto draw = [&](uint32_t below) { return static_cast<uint32_t>(random() % below); };
  for (int trial = 0; trial < 400; trial++) {
    Bytes key(32), nonce(12), message(1 + draw(20000));
    for (auto* b : {&key, &nonce, &message})
      for (uint8_t& c : *b) c = static_cast<uint8_t>(random());
    uint32_t counter = trial % 10 == 0 ? 0xffffffffu - draw(64) : static_cast<uint32_t>(random());
    uint32_t start[16];
    chacha20::Setup(start, key.data(), counter, nonce.data());
    Bytes want(message.size());
    uint32_t portable[16];
    std::copy(start, start + 16, portable);
    chacha20::Xor(portable, message.data(), want.data(), want.size(), Path::kPortable);
    for (Path path : Paths()) {
      Bytes got = message;
      uint32_t in[16];
      std::copy(start, start + 16, in);
      // Pieces of whole blocks but the last, in place.
      for (size_t at = 0; at < got.size();) {
        size_t piece = got.size() - at;
        if (draw(3) > 0) piece = std::min(piece, size_t{64} * (1 + draw(40)));
        chacha20::Xor(in, got.data() + at, got.data() + at, piece, path);
        at += piece;
      }
      ASSERT_EQ(got, want) << Name(path) << ", trial " << trial << ", counter " << counter;
      ASSERT_EQ(std::vector<uint32_t>(in, in + 16), std::vector<uint32_t>(portable, portable + 16));
    }
  }
  for (Path path : Paths()) {
    chacha20::UsePath(path);
    uint32_t a[16], b[16];
    chacha20::Setup(a, kKey1c92.data(), 3, NonceEndingIn(1).data());
    std::copy(a, a + 16, b);
    Bytes message = Range(3000, 5), chosen(3000), named(3000);
    chacha20::Xor(a, message.data(), chosen.data(), chosen.size());
    chacha20::Xor(b, message.data(), named.data(), named.size(), path);
    EXPECT_EQ(chosen, named) << Name(path);
  }
  chacha20::UsePath(chacha20::BestPath());
}

}  // namespace
