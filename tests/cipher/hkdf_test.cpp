// HMAC-SHA-256 and HKDF-SHA-256 over the runtime's SHA-256: RFC 4231's cases of a short
// key and of a key longer than a block, RFC 5869 appendix A's test cases 1-3.
#include <gtest/gtest.h>

#include "app/hkdf_sha256.h"
#include "tests/cipher/test_bytes.h"

namespace {

TEST(HmacSha256, Rfc4231ShortAndLongKeys) {
  struct Case {
    Bytes key, data, mac;
  } cases[] = {
      {Text("Jefe"), Text("what do ya want for nothing?"),
       Hex("5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843")},
      {Bytes(131, 0xaa), Text("Test Using Larger Than Block-Size Key - Hash Key First"),
       Hex("60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54")},
  };
  for (const Case& c : cases) {
    Bytes mac(32);
    hmac::Mac(c.key.data(), c.key.size(), c.data.data(), c.data.size(), mac.data());
    EXPECT_EQ(mac, c.mac);
    // The same in pieces.
    hmac::Sha256 state;
    hmac::Start(&state, c.key.data(), c.key.size());
    for (uint8_t b : c.data) hmac::Update(&state, &b, 1);
    hmac::Finish(&state, mac.data());
    EXPECT_EQ(mac, c.mac);
  }
}

TEST(HkdfSha256, Rfc5869TestCases) {
  struct Case {
    const char* name;
    Bytes ikm, salt, info;
    Bytes prk, okm;
  } cases[] = {
      {"A.1", Bytes(22, 0x0b), Range(13), Range(10, 0xf0),
       Hex("077709362c2e32df0ddc3f0dc47bba6390b6c73bb50f9c3122ec844ad7c2b3e5"),
       Hex("3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865")},
      {"A.2", Range(80), Range(80, 0x60), Range(80, 0xb0),
       Hex("06a6b88c5853361a06104c9ceb35b45cef760014904671014a193f40c15fc244"),
       Hex("b11e398dc80327a1c8e7f78c596a49344f012eda2d4efad8a050cc4c19afa97c59045a99cac7827271cb"
           "41c65e590e09da3275600c2f09b8367793a9aca3db71cc30c58179ec3e87c14c01d5c1f3434f1d87")},
      {"A.3", Bytes(22, 0x0b), Bytes(), Bytes(),
       Hex("19ef24a32c717b167f33a91d6f648bdf96596776afdb6377ac434c1c293ccb04"),
       Hex("8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d201395faa4b61a96c8")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes prk(32), okm(c.okm.size()), derived(c.okm.size());
    hkdf::Extract(c.salt.data(), c.salt.size(), c.ikm.data(), c.ikm.size(), prk.data());
    EXPECT_EQ(prk, c.prk);
    ASSERT_TRUE(hkdf::Expand(prk.data(), c.info.data(), c.info.size(), okm.data(), okm.size()));
    EXPECT_EQ(okm, c.okm);
    ASSERT_TRUE(hkdf::Derive(c.salt.data(), c.salt.size(), c.ikm.data(), c.ikm.size(),
                             c.info.data(), c.info.size(), derived.data(), derived.size()));
    EXPECT_EQ(derived, c.okm);
  }
}

TEST(HkdfSha256, OutputIsLimitedTo255Blocks) {
  Bytes prk(32, 1), out(hkdf::kMaxOutput + 1, 0x5a);
  EXPECT_FALSE(hkdf::Expand(prk.data(), nullptr, 0, out.data(), out.size()));
  EXPECT_EQ(out, Bytes(out.size(), 0x5a));
  EXPECT_TRUE(hkdf::Expand(prk.data(), nullptr, 0, out.data(), hkdf::kMaxOutput));
}

}  // namespace
