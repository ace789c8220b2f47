// The command's stream of the system's random source (see secure_random.h).
#include "runtime/values/secure_random.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/random.h>
#include <unistd.h>

#include "runtime/values/numbers_internal.h"

namespace {

constexpr uint32_t kRequest = 4096;  // bytes of one request, always asked in full
constexpr uint32_t kMask = 0xFFFFFu;

struct Stream {
  uint8_t bytes[kRequest];
  uint32_t at = kRequest;  // next unread byte; kRequest: a new request is due
  bool failed = false;
};
Stream g_stream;
bool g_noCall = false;  // the system has no getrandom(): read /dev/urandom

// Up to n bytes from /dev/urandom, continuing short reads.
bool ReadDevice(uint8_t* out, size_t n) {
  int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  size_t got = 0;
  while (got < n) {
    ssize_t r = read(fd, out + got, n - got);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  close(fd);
  return got == n;
}

// Exactly n bytes from the source; false when it gives none (out is then zeroed).
bool Fetch(uint8_t* out, size_t n) {
  size_t got = 0;
  while (!g_noCall && got < n) {
    ssize_t r = getrandom(out + got, n - got, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 && errno == ENOSYS) {
      g_noCall = true;
      break;
    }
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  bool ok = got == n || (g_noCall && got == 0 && ReadDevice(out, n));
  if (!ok) memset(out, 0, n);
  return ok;
}

// The next draw of the command's stream.
uint32_t Next() {
  if (g_stream.at + 4 > kRequest) {
    if (!g_stream.failed && !Fetch(g_stream.bytes, kRequest)) g_stream.failed = true;
    g_stream.at = 0;
  }
  if (g_stream.failed) return 0;
  const uint8_t* p = g_stream.bytes + g_stream.at;
  g_stream.at += 4;
  uint32_t v = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
               static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
  return v & kMask;
}

}  // namespace

extern "C" void RuntimeSecureRandomEnd(void) {
  explicit_bzero(g_stream.bytes, sizeof g_stream.bytes);
  g_stream.at = kRequest;
  g_stream.failed = false;
}

extern "C" int32_t RuntimeSecureRandomBegin(void) {
  RuntimeSecureRandomEnd();
  g_stream.failed = !Fetch(g_stream.bytes, kRequest);
  g_stream.at = 0;
  return g_stream.failed ? 0 : 1;
}

extern "C" int32_t RuntimeSecureRandomOk(void) { return g_stream.failed ? 0 : 1; }

extern "C" void RuntimeSecureRandomDraws(int32_t* out, int32_t n) {
  if (!out) return;
  for (int32_t i = 0; i < n; i++) out[i] = static_cast<int32_t>(Next());
}

extern "C" int32_t RuntimeSecureRandomScaled(int32_t m) { return MVScaledDraw(Next(), m); }

extern "C" void RuntimeSecureRandomScaledFill(int32_t* out, int32_t n, int32_t m) {
  if (!out) return;
  for (int32_t i = 0; i < n; i++) out[i] = MVScaledDraw(Next(), m);
}

extern "C" void RuntimeSecureRandomScaledBytes(uint8_t* out, int32_t n, int32_t m) {
  if (!out) return;
  for (int32_t i = 0; i < n; i++) out[i] = static_cast<uint8_t>(MVScaledDraw(Next(), m));
}

extern "C" int32_t RuntimeSecureRandomKey(uint8_t* out, int32_t n) {
  if (!out || n < 1 || n > 256) return 0;
  return Fetch(out, static_cast<size_t>(n)) ? 1 : 0;
}
