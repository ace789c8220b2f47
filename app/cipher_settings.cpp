// The cipher's settings of enc and dec: the routines (OMBRIX_CIPHER_PATH) and the number
// of threads (OMBRIX_THREADS).
#include "app/chacha20.h"
#include "app/crypt_parallel.h"
#include "app/util.h"

namespace {

// Environment values longer than this are not a setting.
constexpr int32_t kValueRoom = 16;

bool ValueIs(const uint8_t* v, int32_t n, const char* word) {
  int32_t i = 0;
  for (; i < n && word[i]; i++) {
    uint8_t c = v[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<uint8_t>(c + 32);
    if (c != static_cast<uint8_t>(word[i])) return false;
  }
  return i == n && word[i] == 0;
}

bool ReadPath(cipher::Path* path, bool* chosen) {
  uint8_t v[kValueRoom];
  int32_t n = RuntimeEnvironmentValue("OMBRIX_CIPHER_PATH", v, kValueRoom);
  *path = cipher::BestPath();
  *chosen = n > 0;
  if (n <= 0) return true;
  if (ValueIs(v, n, "portable")) {
    *path = cipher::Path::kPortable;
  } else if (ValueIs(v, n, "avx2")) {
    *path = cipher::Path::kAvx2;
  } else if (ValueIs(v, n, "avx512")) {
    *path = cipher::Path::kAvx512;
  } else {
    PRINT("OMBRIX_CIPHER_PATH must be portable, avx2 or avx512 error.");
    return false;
  }
  if (cipher::PathAvailable(*path)) return true;
  if (*path == cipher::Path::kAvx2)
    PRINT("The cipher path avx2 needs AVX2, which this processor lacks error.");
  else
    PRINT("The cipher path avx512 needs AVX-512 VBMI, which this processor lacks error.");
  return false;
}

// The sealing's ChaCha20 runs the routines of the same width as the cipher's path (the
// widest it has when no path was named), so that a named path holds for the whole work.
void UseSealingPath(cipher::Path path, bool chosen) {
  chacha20::Path wide = chacha20::BestPath();
  if (chosen && path == cipher::Path::kPortable) wide = chacha20::Path::kPortable;
  if (chosen && path == cipher::Path::kAvx2 && wide == chacha20::Path::kAvx512)
    wide = chacha20::Path::kAvx2;
  chacha20::UsePath(wide);
}

bool ReadThreads(int32_t* threads) {
  uint8_t v[kValueRoom];
  int32_t n = RuntimeEnvironmentValue("OMBRIX_THREADS", v, kValueRoom);
  *threads = RuntimeRunWorkers(0, 0, nullptr, nullptr, 0);
  if (n <= 0) return true;
  int32_t value = 0;
  bool ok = n <= 6;
  for (int32_t i = 0; ok && i < n; i++) {
    ok = v[i] >= '0' && v[i] <= '9';
    value = value * 10 + (v[i] - '0');
  }
  if (!ok || value < 1) {
    PRINT("OMBRIX_THREADS must be a whole number of at least 1 error.");
    return false;
  }
  // More threads than the pool has are the pool's all.
  *threads = RuntimeRunWorkers(value, 0, nullptr, nullptr, 0);
  return true;
}

}  // namespace

bool ReadCipherSettings(CipherSettings* settings, bool* chosen) {
  if (!ReadPath(&settings->path, chosen)) return false;
  UseSealingPath(settings->path, *chosen);
  return ReadThreads(&settings->threads);
}
