// SHA-256 against NIST's published examples, the incremental calls against the one-shot
// at every split of a message, and the processor's SHA instructions against plain code.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/values/sha256.h"
#include "runtime/values/sha256_internal.h"

namespace {

std::string Hex(const uint8_t* p, size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; i++) {
    s += kDigits[p[i] >> 4];
    s += kDigits[p[i] & 15];
  }
  return s;
}

std::string OneShot(const std::string& message) {
  uint8_t digest[MV_SHA256_BYTES];
  RuntimeSha256(message.data(), message.size(), digest);
  return Hex(digest, sizeof digest);
}

TEST(Sha256, NistExamples) {
  struct Case {
    std::string message;
    const char* digest;
  };
  const Case cases[] = {
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
  };
  for (const Case& c : cases) EXPECT_EQ(OneShot(c.message), c.digest) << c.message.size();
}

// Messages around the padding's edges (55, 56, 63, 64 bytes...), each split into two
// calls at every boundary and fed byte by byte: always the one-shot digest.
TEST(Sha256, EverySplitAgreesWithTheOneShot) {
  for (size_t length : {0u, 1u, 55u, 56u, 63u, 64u, 65u, 119u, 120u, 128u, 200u}) {
    std::string message;
    for (size_t i = 0; i < length; i++) message += static_cast<char>(i * 7 + 3);
    std::string whole = OneShot(message);
    for (size_t cut = 0; cut <= length; cut++) {
      MVSha256 context;
      RuntimeSha256Init(&context);
      RuntimeSha256Update(&context, message.data(), cut);
      RuntimeSha256Update(&context, message.data() + cut, length - cut);
      uint8_t digest[MV_SHA256_BYTES];
      RuntimeSha256Final(&context, digest);
      ASSERT_EQ(Hex(digest, sizeof digest), whole) << length << " cut at " << cut;
    }
    MVSha256 context;
    RuntimeSha256Init(&context);
    for (char c : message) {
      RuntimeSha256Update(&context, nullptr, 0);  // an empty input, as HMAC may pass one
      RuntimeSha256Update(&context, &c, 1);
    }
    uint8_t digest[MV_SHA256_BYTES];
    RuntimeSha256Final(&context, digest);
    EXPECT_EQ(Hex(digest, sizeof digest), whole) << length << " byte by byte";
  }
}

TEST(Sha256, FinalLeavesNothingOfTheMessageInTheContext) {
  MVSha256 context;
  RuntimeSha256Init(&context);
  RuntimeSha256Update(&context, "secret", 6);
  uint8_t digest[MV_SHA256_BYTES];
  RuntimeSha256Final(&context, digest);
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&context);
  EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + sizeof context),
            std::vector<uint8_t>(sizeof context, 0));
}

// The examples above run on whichever compression function the processor has: the
// other one must agree with it, block for block, from any chaining value.
TEST(Sha256, ShaInstructionsAgreeWithPlainCode) {
  if (!MVSha256HasShaExtensions()) GTEST_SKIP() << "the processor has no SHA instructions";
  std::vector<uint8_t> message(64 * 40);
  uint32_t x = 1;
  for (uint8_t& b : message) b = static_cast<uint8_t>((x = x * 1103515245 + 12345) >> 16);
  for (size_t blocks : {1u, 2u, 3u, 17u, 40u}) {
    uint32_t plain[8], fast[8];
    for (int i = 0; i < 8; i++) plain[i] = fast[i] = 0x01234567u * (i + 1) + static_cast<uint32_t>(blocks);
    MVSha256CompressPortable(plain, message.data(), blocks);
    MVSha256CompressShaExtensions(fast, message.data(), blocks);
    EXPECT_EQ(std::vector<uint32_t>(plain, plain + 8), std::vector<uint32_t>(fast, fast + 8)) << blocks;
  }
}

}  // namespace
