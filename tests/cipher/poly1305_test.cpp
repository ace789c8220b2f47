// Poly1305 against RFC 8439 (section 2.5.2's example and the vectors of appendix A.3,
// whose last ones drive the carries and the final reduction to their edges), in both limb
// sizes where the compiler has both, at every split of a message.
#include <gtest/gtest.h>

#include "app/poly1305.h"
#include "tests/cipher/test_bytes.h"

namespace {

struct Vector {
  const char* name;
  Bytes key, message, tag;
};

std::vector<Vector> Vectors() {
  const Bytes s36 = Hex("36 e5 f6 b5 c5 e0 60 70 f0 ef ca 96 22 7a 86 3e");
  const Bytes r1 = Hex("01") + Bytes(15), r2 = Hex("02") + Bytes(15), zero = Bytes(16);
  const Bytes ff = Bytes(16, 0xff);
  const Bytes r10 = Hex("01 00 00 00 00 00 00 00 04 00 00 00 00 00 00 00");
  const Bytes m10 = Hex("E3 35 94 D7 50 5E 43 B9 00 00 00 00 00 00 00 00"
                        "33 94 D7 50 5E 43 79 CD 01 00 00 00 00 00 00 00") + Bytes(16);
  return {
      {"2.5.2",
       Hex("85:d6:be:78:57:55:6d:33:7f:44:52:fe:42:d5:06:a8:01:03:80:8a:fb:0d:b2:fd:4a:bf:f6:af:41:49:f5:1b"),
       Text("Cryptographic Forum Research Group"), Hex("a8:06:1d:c1:30:51:36:c6:c2:2b:8b:af:0c:01:27:a9")},
      {"A.3 #1", Bytes(32), Bytes(64), Bytes(16)},
      {"A.3 #2", zero + s36, Text(IetfContributionText()), s36},
      {"A.3 #3", s36 + zero, Text(IetfContributionText()),
       Hex("f3 47 7e 7c d9 54 17 af 89 a6 b8 79 4c 31 0c f0")},
      {"A.3 #4",
       Hex("1c 92 40 a5 eb 55 d3 8a f3 33 88 86 04 f6 b5 f0 47 39 17 c1 40 2b 80 09 9d ca 5c bc 20 70 75 c0"),
       Text(JabberwockyText()), Hex("45 41 66 9a 7e aa ee 61 e7 08 dc 7c bc c5 eb 62")},
      {"A.3 #5", r2 + zero, ff, Hex("03") + Bytes(15)},
      {"A.3 #6", r2 + ff, r2, Hex("03") + Bytes(15)},
      {"A.3 #7", r1 + zero, ff + Hex("f0") + Bytes(15, 0xff) + Hex("11") + Bytes(15),
       Hex("05") + Bytes(15)},
      {"A.3 #8", r1 + zero, ff + Hex("fb") + Bytes(15, 0xfe) + Bytes(16, 0x01), Bytes(16)},
      {"A.3 #9", r2 + zero, Hex("fd") + Bytes(15, 0xff), Hex("fa") + Bytes(15, 0xff)},
      {"A.3 #10", r10 + zero, m10 + Hex("01") + Bytes(15),
       Hex("14 00 00 00 00 00 00 00 55 00 00 00 00 00 00 00")},
      {"A.3 #11", r10 + zero, m10, Hex("13") + Bytes(15)},
  };
}

template <typename L>
Bytes TagOf(const Bytes& key, const Bytes& message, size_t cut) {
  poly1305::BasicState<L> state;
  poly1305::Start(&state, key.data());
  poly1305::Update(&state, message.data(), cut);
  poly1305::Update(&state, message.data() + cut, message.size() - cut);
  Bytes tag(16);
  poly1305::Finish(&state, tag.data());
  return tag;
}

// Every vector in every limb size, the message split at every byte.
TEST(Poly1305, PublishedVectorsInEveryLimbSizeAtEverySplit) {
  for (const Vector& v : Vectors()) {
    SCOPED_TRACE(v.name);
    Bytes tag(16);
    poly1305::Tag(v.key.data(), v.message.data(), v.message.size(), tag.data());
    EXPECT_EQ(tag, v.tag);
    for (size_t cut = 0; cut <= v.message.size(); cut++) {
      ASSERT_EQ(TagOf<poly1305::detail::Limbs26>(v.key, v.message, cut), v.tag) << cut;
#if defined(__SIZEOF_INT128__)
      ASSERT_EQ(TagOf<poly1305::detail::Limbs64>(v.key, v.message, cut), v.tag) << cut;
#endif
    }
  }
}

#if defined(__SIZEOF_INT128__)
// Both limb sizes give the same tags over keys and messages of every shape (the 64-bit
// limbs take two blocks at a step, the 26-bit ones one), a few of a whole sealed chunk.
TEST(Poly1305, BothLimbSizesAgree) {
  uint32_t seed = 1;
  auto next = [&seed] { return static_cast<uint8_t>((seed = seed * 1103515245 + 12345) >> 24); };
  for (int round = 0; round < 2000; round++) {
    Bytes key(32), message(round % 100 == 1 ? 65536 + round % 33 : round % 300);
    for (uint8_t& b : key) b = round % 7 == 0 ? 0xff : next();
    for (uint8_t& b : message) b = round % 5 == 0 ? 0xff : next();
    ASSERT_EQ(TagOf<poly1305::detail::Limbs26>(key, message, message.size() / 3),
              TagOf<poly1305::detail::Limbs64>(key, message, message.size() / 2))
        << round;
  }
}
#endif

TEST(Poly1305, TagsEqualLooksAtEveryByte) {
  Bytes a = Range(16), b = a;
  EXPECT_TRUE(poly1305::TagsEqual(a.data(), b.data()));
  for (int i = 0; i < 16; i++) {
    for (uint8_t bit = 1; bit; bit <<= 1) {
      b = a;
      b[i] ^= bit;
      ASSERT_FALSE(poly1305::TagsEqual(a.data(), b.data())) << i << " " << int{bit};
    }
  }
}

}  // namespace
