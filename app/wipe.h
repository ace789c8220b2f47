// Overwriting bytes that held key material, with stores the compiler cannot leave out
// because nothing reads them afterwards. Image code that calls no runtime export.
#pragma once
#include <stddef.h>
#include <stdint.h>

inline void WipeSecret(void* p, size_t n) {
  volatile uint8_t* b = static_cast<volatile uint8_t*>(p);
  for (size_t i = 0; i < n; i++) b[i] = 0;
}
