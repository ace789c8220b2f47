// The command's stream of the random source: requests of exactly 4,096 bytes, short
// answers continued, draws as little-endian 20-bit numbers, the rest dropped at the end,
// and a source that fails. getrandom() is replaced here by one the test drives.
#include <dlfcn.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <sys/types.h>

#include <vector>

#include "runtime/values/secure_random.h"

namespace {

bool g_fake = false;        // answer from the counter below instead of the system
size_t g_most = 0;          // the most bytes one answer gives
int g_error = 0;            // fail every request with this error
uint8_t g_next = 0;         // the byte the next answer starts with
std::vector<size_t> g_asked;

}  // namespace

extern "C" ssize_t getrandom(void* buf, size_t len, unsigned int flags) {
  if (!g_fake) {
    using Real = ssize_t (*)(void*, size_t, unsigned int);
    static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "getrandom"));
    return real(buf, len, flags);
  }
  g_asked.push_back(len);
  if (g_error) {
    errno = g_error;
    return -1;
  }
  size_t n = len < g_most ? len : g_most;
  for (size_t i = 0; i < n; i++) static_cast<uint8_t*>(buf)[i] = g_next++;
  return static_cast<ssize_t>(n);
}

namespace {

class SecureRandom : public ::testing::Test {
 protected:
  void SetUp() override {
    g_fake = true;
    g_most = 4096;
    g_error = 0;
    g_next = 0;
    g_asked.clear();
  }
  void TearDown() override {
    RuntimeSecureRandomEnd();
    g_fake = false;
  }
};

// The draw made of the four stream bytes from b on (the bytes count up from 0).
int32_t DrawAt(uint32_t b) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; i--) v = v << 8 | static_cast<uint8_t>(b + i);
  return static_cast<int32_t>(v & 0xFFFFF);
}

TEST_F(SecureRandom, RequestsOf4096BytesContinuedUntilFull) {
  g_most = 1000;
  ASSERT_EQ(RuntimeSecureRandomBegin(), 1);
  EXPECT_EQ(g_asked, (std::vector<size_t>{4096, 3096, 2096, 1096, 96}));
  std::vector<int32_t> d(1025);  // one draw into the second request
  RuntimeSecureRandomDraws(d.data(), 1025);
  for (uint32_t i = 0; i < 1025; i++) ASSERT_EQ(d[i], DrawAt(4 * i)) << i;
  EXPECT_EQ(g_asked.size(), 10u);
  // Scaled draws: Round(k / 2^20 x m), and their low bytes.
  g_next = 0;
  RuntimeSecureRandomBegin();
  EXPECT_EQ(RuntimeSecureRandomScaled(255), (DrawAt(0) * 255 + (1 << 19)) >> 20);
  int32_t fill[2];
  RuntimeSecureRandomScaledFill(fill, 2, 19);
  EXPECT_EQ(fill[1], (DrawAt(8) * 19 + (1 << 19)) >> 20);
  uint8_t bytes[1];
  RuntimeSecureRandomScaledBytes(bytes, 1, 100);
  EXPECT_EQ(bytes[0], (DrawAt(12) * 100 + (1 << 19)) >> 20);
  EXPECT_EQ(RuntimeSecureRandomOk(), 1);
}

TEST_F(SecureRandom, TheRestIsDroppedAtTheEndOfACommand) {
  RuntimeSecureRandomBegin();
  int32_t d[3];
  RuntimeSecureRandomDraws(d, 3);
  RuntimeSecureRandomEnd();
  g_next = 0;
  RuntimeSecureRandomDraws(d, 1);  // a new request, not byte 12 of the old one
  EXPECT_EQ(d[0], DrawAt(0));
  EXPECT_EQ(g_asked, (std::vector<size_t>{4096, 4096}));
}

TEST_F(SecureRandom, AFailingSourceGivesNoDraws) {
  g_error = EIO;
  EXPECT_EQ(RuntimeSecureRandomBegin(), 0);
  EXPECT_EQ(RuntimeSecureRandomOk(), 0);
  int32_t d[2] = {7, 7};
  RuntimeSecureRandomDraws(d, 2);
  EXPECT_EQ(d[0], 0);
  EXPECT_EQ(d[1], 0);
  uint8_t key[32];
  EXPECT_EQ(RuntimeSecureRandomKey(key, 32), 0);
  for (uint8_t b : key) EXPECT_EQ(b, 0);
  // Answers that stop short are failures too, never a wait for ever.
  g_error = 0;
  g_most = 0;
  EXPECT_EQ(RuntimeSecureRandomBegin(), 0);
  g_most = 4096;
  EXPECT_EQ(RuntimeSecureRandomBegin(), 1);
  EXPECT_EQ(RuntimeSecureRandomKey(key, 32), 1);
  EXPECT_EQ(g_asked.back(), 32u);
}

}  // namespace
