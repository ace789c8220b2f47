// Static string literals of the code image.
//
// MV_LIT("text") is a runtime string record placed in the image's data block (its literal
// section): reference count 1 (never released), text pointer 0 until the loader's
// string-literal fixup points it at the record's own length byte, encoding UTF-8. The
// record's layout is the image format's (runtime/core/objects/image_format.h).
#pragma once
#include <stddef.h>
#include <stdint.h>
#include "runtime/core/objects/image_format.h"
#include "runtime/values/string.h"

template <unsigned N>
struct MVLiteral {
  uint32_t refCount;
  uintptr_t buffer;
  uint32_t bufferSize;
  uint32_t length;
  uint32_t encoding;
  uint8_t lengthByte;
  char text[N];  // the characters and their NUL
};

static_assert(offsetof(MVLiteral<1>, refCount) == MV_LITERAL_REF_COUNT &&
                  offsetof(MVLiteral<1>, buffer) == MV_LITERAL_TEXT_POINTER &&
                  offsetof(MVLiteral<1>, bufferSize) == MV_LITERAL_BUFFER_SIZE &&
                  offsetof(MVLiteral<1>, length) == MV_LITERAL_LENGTH &&
                  offsetof(MVLiteral<1>, encoding) == MV_LITERAL_ENCODING &&
                  offsetof(MVLiteral<1>, lengthByte) == MV_LITERAL_TEXT &&
                  offsetof(MVLiteral<1>, text) == MV_LITERAL_TEXT + 1,
              "MV_LIT records have the image's literal layout");

#ifndef MV_HOSTED_APP
#define MV_LIT(s)                                                                          \
  (reinterpret_cast<MVString*>(&([]() -> auto& {                                           \
    static MVLiteral<sizeof(s)> lit                                                        \
        __attribute__((section(MV_LITERAL_SECTION), aligned(MV_LITERAL_ALIGN))) = {        \
        1, 0, sizeof(s) + 1, sizeof(s) - 1, MV_LITERAL_UTF8,                               \
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
        1, 0, sizeof(s) + 1, sizeof(s) - 1, MV_LITERAL_UTF8,                               \
        static_cast<uint8_t>(sizeof(s) - 1 > 255 ? 255 : sizeof(s) - 1), s};               \
    lit.buffer = reinterpret_cast<uintptr_t>(&lit.lengthByte);                             \
    return lit;                                                                            \
  }())))
#endif
