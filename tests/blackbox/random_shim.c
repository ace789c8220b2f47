/* Preloaded into ombrix by the tests and the benchmark: a deterministic random source.
 * Every getrandom() request of exactly 4,096 bytes is served in full from one stream:
 * splitmix64 from the seed OMBRIX_TEST_RANDOM_SEED (decimal, 0 when unset), each output
 * a little-endian 8-byte group. Requests of any other size go to the real call, so
 * that only the program's 4,096-byte stream is fixed.
 * With OMBRIX_TEST_RANDOM_FAIL set to "EIO" or "ENOSYS", every request fails with that
 * error instead. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>

static uint64_t state;
static int started;

static uint64_t next(void) {
  uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

ssize_t getrandom(void* buf, size_t len, unsigned int flags) {
  const char* fail = getenv("OMBRIX_TEST_RANDOM_FAIL");
  if (fail && *fail) {
    errno = strcmp(fail, "ENOSYS") == 0 ? ENOSYS : EIO;
    return -1;
  }
  if (len != 4096) {
    static ssize_t (*real)(void*, size_t, unsigned int);
    if (!real) real = (ssize_t(*)(void*, size_t, unsigned int))dlsym(RTLD_NEXT, "getrandom");
    return real(buf, len, flags);
  }
  if (!started) {
    const char* seed = getenv("OMBRIX_TEST_RANDOM_SEED");
    state = seed ? strtoull(seed, NULL, 10) : 0;
    started = 1;
  }
  unsigned char* out = buf;
  for (size_t i = 0; i < len; i += 8) {
    uint64_t v = next();
    for (int b = 0; b < 8; b++) out[i + b] = (unsigned char)(v >> (8 * b));
  }
  return (ssize_t)len;
}
