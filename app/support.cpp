// Routines the compiler may call on its own. They travel inside the image, so the
// image depends on nothing of the runtime but its exported names.
#include "app/support.h"

#include <stdint.h>

extern "C" {

void* memcpy(void* dst, const void* src, size_t n) {
  uint8_t* d = static_cast<uint8_t*>(dst);
  const uint8_t* s = static_cast<const uint8_t*>(src);
  while (n--) *d++ = *s++;
  return dst;
}

void* memmove(void* dst, const void* src, size_t n) {
  uint8_t* d = static_cast<uint8_t*>(dst);
  const uint8_t* s = static_cast<const uint8_t*>(src);
  if (d < s) {
    while (n--) *d++ = *s++;
  } else {
    while (n--) d[n] = s[n];
  }
  return dst;
}

void* memset(void* dst, int c, size_t n) {
  uint8_t* d = static_cast<uint8_t*>(dst);
  while (n--) *d++ = static_cast<uint8_t>(c);
  return dst;
}

int memcmp(const void* a, const void* b, size_t n) {
  const uint8_t* x = static_cast<const uint8_t*>(a);
  const uint8_t* y = static_cast<const uint8_t*>(b);
  for (; n; n--, x++, y++)
    if (*x != *y) return *x < *y ? -1 : 1;
  return 0;
}

// 64-bit unsigned division by shift and subtract; the signed forms build on it.
static uint64_t UDivMod64(uint64_t n, uint64_t d, uint64_t* rem) {
  uint64_t q = 0, r = 0;
  for (int i = 63; i >= 0; i--) {
    r = (r << 1) | ((n >> i) & 1);
    if (r >= d) {
      r -= d;
      q |= static_cast<uint64_t>(1) << i;
    }
  }
  if (rem) *rem = r;
  return q;
}

uint64_t __udivdi3(uint64_t n, uint64_t d) { return UDivMod64(n, d, nullptr); }

uint64_t __udivmoddi4(uint64_t n, uint64_t d, uint64_t* rem) { return UDivMod64(n, d, rem); }

uint64_t __umoddi3(uint64_t n, uint64_t d) {
  uint64_t r;
  UDivMod64(n, d, &r);
  return r;
}

int64_t __divdi3(int64_t n, int64_t d) {
  bool neg = (n < 0) != (d < 0);
  uint64_t q = UDivMod64(n < 0 ? -static_cast<uint64_t>(n) : n, d < 0 ? -static_cast<uint64_t>(d) : d,
                         nullptr);
  return neg ? -static_cast<int64_t>(q) : static_cast<int64_t>(q);
}

int64_t __moddi3(int64_t n, int64_t d) {
  uint64_t r;
  UDivMod64(n < 0 ? -static_cast<uint64_t>(n) : n, d < 0 ? -static_cast<uint64_t>(d) : d, &r);
  return n < 0 ? -static_cast<int64_t>(r) : static_cast<int64_t>(r);
}

}  // extern "C"
