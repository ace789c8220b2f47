/* Preloaded into ombrix by the tests and the benchmark: a deterministic random source.
 * Every getrandom() request of exactly 4,096 bytes is served in full from one stream:
 * splitmix64 from the seed OMBRIX_TEST_RANDOM_SEED (decimal, 0 when unset), each output
 * a little-endian 8-byte group. Requests of any other size go to the real call, so
 * that only the program's 4,096-byte stream is fixed; with OMBRIX_TEST_RANDOM_KEY_SEED
 * set, requests of exactly 32 bytes (the program's keys and salts) are served in full
 * from a second stream of the same kind from that seed.
 * With OMBRIX_TEST_RANDOM_FAIL set to "EIO" or "ENOSYS", every request fails with that
 * error instead. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>

struct stream {
  uint64_t state;
  int started;
};
static struct stream requests, keys;

static uint64_t next(struct stream* s) {
  uint64_t z = (s->state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

/* len bytes of the stream seeded by the variable `seed`. */
static void fill(struct stream* s, const char* seed, unsigned char* out, size_t len) {
  if (!s->started) {
    const char* v = getenv(seed);
    s->state = v ? strtoull(v, NULL, 10) : 0;
    s->started = 1;
  }
  for (size_t i = 0; i < len; i += 8) {
    uint64_t v = next(s);
    for (size_t b = 0; b < 8; b++) out[i + b] = (unsigned char)(v >> (8 * b));
  }
}

ssize_t getrandom(void* buf, size_t len, unsigned int flags) {
  const char* fail = getenv("OMBRIX_TEST_RANDOM_FAIL");
  if (fail && *fail) {
    errno = strcmp(fail, "ENOSYS") == 0 ? ENOSYS : EIO;
    return -1;
  }
  if (len == 4096) {
    fill(&requests, "OMBRIX_TEST_RANDOM_SEED", buf, len);
  } else if (len == 32 && getenv("OMBRIX_TEST_RANDOM_KEY_SEED")) {
    fill(&keys, "OMBRIX_TEST_RANDOM_KEY_SEED", buf, len);
  } else {
    static ssize_t (*real)(void*, size_t, unsigned int);
    if (!real) real = (ssize_t(*)(void*, size_t, unsigned int))dlsym(RTLD_NEXT, "getrandom");
    return real(buf, len, flags);
  }
  return (ssize_t)len;
}
