// ChaCha20-Poly1305 against RFC 8439 (section 2.8.2's sealing, appendix A.5's opening),
// round trips across the sizes where its pieces and blocks meet, and the refusals of
// Open: every changed bit of the cipher text, the tag, the associated data or the nonce
// is found, and nothing is decrypted then.
#include <gtest/gtest.h>

#include "app/chacha20_poly1305.h"
#include "tests/cipher/test_bytes.h"

namespace {

TEST(ChaCha20Poly1305, SealsSection282sExample) {
  Bytes key = Range(32, 0x80), nonce = Hex("07 00 00 00 40 41 42 43 44 45 46 47");
  Bytes aad = Hex("50 51 52 53 c0 c1 c2 c3 c4 c5 c6 c7");
  Bytes plain = Text("Ladies and Gentlemen of the class of '99: If I could offer you only one "
                     "tip for the future, sunscreen would be it.");
  Bytes out(plain.size()), tag(16);
  aead::Seal(key.data(), nonce.data(), aad.data(), aad.size(), plain.data(), plain.size(),
             out.data(), tag.data());
  EXPECT_EQ(out, Hex("d3 1a 8d 34 64 8e 60 db 7b 86 af bc 53 ef 7e c2 a4 ad ed 51 29 6e 08 fe a9 e2 b5 a7 36 ee 62 d6"
                     "3d be a4 5e 8c a9 67 12 82 fa fb 69 da 92 72 8b 1a 71 de 0a 9e 06 0b 29 05 d6 a5 b6 7e cd 3b 36"
                     "92 dd bd 7f 2d 77 8b 8c 98 03 ae e3 28 09 1b 58 fa b3 24 e4 fa d6 75 94 55 85 80 8b 48 31 d7 bc"
                     "3f f4 de f0 8e 4b 7a 9d e5 76 d2 65 86 ce c6 4b 61 16"));
  EXPECT_EQ(tag, Hex("1a:e1:0b:59:4f:09:e2:6a:7e:90:2e:cb:d0:60:06:91"));
}

// A.5: the key, nonce, associated data, cipher text and tag of the decryption example.
struct Sealed {
  Bytes key = Hex("1c 92 40 a5 eb 55 d3 8a f3 33 88 86 04 f6 b5 f0 47 39 17 c1 40 2b 80 09 9d ca 5c bc 20 70 75 c0");
  Bytes nonce = Hex("00 00 00 00 01 02 03 04 05 06 07 08");
  Bytes aad = Hex("f3 33 88 86 00 00 00 00 00 00 4e 91");
  Bytes cipher = Hex(
      "64 a0 86 15 75 86 1a f4 60 f0 62 c7 9b e6 43 bd 5e 80 5c fd 34 5c f3 89 f1 08 67 0a c7 6c 8c b2"
      "4c 6c fc 18 75 5d 43 ee a0 9e e9 4e 38 2d 26 b0 bd b7 b7 3c 32 1b 01 00 d4 f0 3b 7f 35 58 94 cf"
      "33 2f 83 0e 71 0b 97 ce 98 c8 a8 4a bd 0b 94 81 14 ad 17 6e 00 8d 33 bd 60 f9 82 b1 ff 37 c8 55"
      "97 97 a0 6e f4 f0 ef 61 c1 86 32 4e 2b 35 06 38 36 06 90 7b 6a 7c 02 b0 f9 f6 15 7b 53 c8 67 e4"
      "b9 16 6c 76 7b 80 4d 46 a5 9b 52 16 cd e7 a4 e9 90 40 c5 a4 04 33 22 5e e2 82 a1 b0 a0 6c 52 3e"
      "af 45 34 d7 f8 3f a1 15 5b 00 47 71 8c bc 54 6a 0d 07 2b 04 b3 56 4e ea 1b 42 22 73 f5 48 27 1a"
      "0b b2 31 60 53 fa 76 99 19 55 eb d6 31 59 43 4e ce bb 4e 46 6d ae 5a 10 73 a6 72 76 27 09 7a 10"
      "49 e6 17 d9 1d 36 10 94 fa 68 f0 ff 77 98 71 30 30 5b ea ba 2e da 04 df 99 7b 71 4d 6c 6f 2c 29"
      "a6 ad 5c b4 02 2b 02 70 9b");
  Bytes tag = Hex("ee ad 9d 67 89 0c bb 22 39 23 36 fe a1 85 1f 38");

  bool Open(Bytes* out) const {
    out->assign(cipher.size(), 0xAA);
    return aead::Open(key.data(), nonce.data(), aad.data(), aad.size(), cipher.data(),
                      cipher.size(), tag.data(), out->data());
  }
};

TEST(ChaCha20Poly1305, OpensAppendixA5) {
  Sealed s;
  Bytes out;
  ASSERT_TRUE(s.Open(&out));
  EXPECT_EQ(out, Text("Internet-Drafts are draft documents valid for a maximum of six months and "
                      "may be updated, replaced, or obsoleted by other documents at any time. It "
                      "is inappropriate to use Internet-Drafts as reference material or to cite "
                      "them other than as /\xe2\x80\x9cwork in progress./\xe2\x80\x9d"));
}

TEST(ChaCha20Poly1305, EveryChangedBitIsRefusedAndNothingDecrypted) {
  const Sealed original;
  const Bytes untouched(original.cipher.size(), 0xAA);
  Sealed s = original;
  for (Bytes Sealed::*part : {&Sealed::cipher, &Sealed::tag, &Sealed::aad, &Sealed::nonce}) {
    for (size_t i = 0; i < (original.*part).size(); i++) {
      for (uint8_t bit = 1; bit; bit <<= 1) {
        (s.*part)[i] ^= bit;
        Bytes out;
        ASSERT_FALSE(s.Open(&out)) << "byte " << i << " bit " << int{bit};
        ASSERT_EQ(out, untouched);
        (s.*part)[i] ^= bit;
      }
    }
  }
  // Cut by one byte, or with the associated data moved into the cipher text.
  s.cipher.pop_back();
  Bytes out;
  EXPECT_FALSE(s.Open(&out));
  s = original;
  s.cipher = s.aad + s.cipher;
  s.aad.clear();
  EXPECT_FALSE(s.Open(&out));
}

// Sealing and opening in place give back the source at sizes around the blocks (64
// bytes), the four-block runs (256) and the pieces sealing works in (4096).
TEST(ChaCha20Poly1305, RoundTripsInPlaceAtEverySizeClass) {
  Bytes key = Range(32, 5), nonce = Range(12, 200), aad = Text("header");
  for (size_t n : {0u, 1u, 15u, 16u, 63u, 64u, 65u, 255u, 256u, 257u, 4095u, 4096u, 4097u,
                   8191u, 65536u, 65537u}) {
    Bytes source = Range(static_cast<int>(n), static_cast<int>(n)), data = source, tag(16);
    aead::Seal(key.data(), nonce.data(), aad.data(), aad.size(), data.data(), n, data.data(),
               tag.data());
    Bytes separate(n);
    ASSERT_TRUE(aead::Open(key.data(), nonce.data(), aad.data(), aad.size(), data.data(), n,
                           tag.data(), separate.data()));
    ASSERT_TRUE(aead::Open(key.data(), nonce.data(), aad.data(), aad.size(), data.data(), n,
                           tag.data(), data.data()));
    ASSERT_EQ(data, source) << n;
    ASSERT_EQ(separate, source) << n;
  }
}

}  // namespace
