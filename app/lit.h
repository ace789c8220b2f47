// Static string literals of the code image.
//
// MV_LIT("text") is a runtime string record placed in the image's data block (section
// mv_lit): reference count 1 (never released), text pointer 0 until the loader's
// string-literal fixup points it at the record's own length byte, encoding UTF-8.
#pragma once
#include <stdint.h>
#include "runtime/values/string.h"

template <unsigned N>
struct MVLiteral {
  uint32_t refCount;
  uint32_t buffer;
  uint32_t bufferSize;
  uint32_t length;
  uint32_t encoding;
  uint8_t lengthByte;
  char text[N];  // the characters and their NUL
};

#ifndef MV_HOSTED_APP
#define MV_LIT(s)                                                                          \
  (reinterpret_cast<MVString*>(&([]() -> auto& {                                           \
    static MVLiteral<sizeof(s)> lit __attribute__((section("mv_lit"), aligned(4))) = {     \
        1, 0, sizeof(s) + 1, sizeof(s) - 1, kEncodingUTF8,                                 \
        static_cast<uint8_t>(sizeof(s) - 1 > 255 ? 255 : sizeof(s) - 1), s};               \
    return lit;                                                                            \
  }())))
#else
// The application's sources built as an ordinary program (the fuzz targets): no loader
// fixes the literals up, so each one points its text pointer at its own length byte
// when it is used.
#define MV_LIT(s)                                                                          \
  (reinterpret_cast<MVString*>(&([]() -> auto& {                                           \
    static MVLiteral<sizeof(s)> lit = {                                                    \
        1, 0, sizeof(s) + 1, sizeof(s) - 1, kEncodingUTF8,                                 \
        static_cast<uint8_t>(sizeof(s) - 1 > 255 ? 255 : sizeof(s) - 1), s};               \
    lit.buffer = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&lit.lengthByte));      \
    return lit;                                                                            \
  }())))
#endif
