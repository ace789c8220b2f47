// Runtime strings: immutable, reference-counted byte sequences tagged with an encoding.
//
// This header is the string record and the exported string entry points. Like every
// runtime export header it needs only <stdint.h>/<stddef.h>, so the freestanding
// application image and the plug-in can include it too.
#pragma once
#include <stddef.h>
#include <stdint.h>
#include "runtime/values/word.h"

#ifdef __cplusplus
extern "C" {
#endif

// One heap block: five header fields (the text pointer a native pointer), then the inline
// buffer
// {length byte = min(length, 255), content bytes, NUL}. The empty string is nil (NULL);
// no record of length 0 exists. Static literals of the code image have the same layout
// with a reference count of 1 that is never released.
typedef struct MVString {
  uint32_t refCount;
  uint8_t* buffer;      // address of the length byte; heap strings point at inlineBuf
  uint32_t bufferSize;  // length + 2
  uint32_t length;      // content bytes
  uint32_t encoding;    // encoding tag, below
  uint8_t inlineBuf[];  // length byte, content, NUL
} MVString;

MV_LAYOUT_ASSERT(offsetof(MVString, refCount) == 0 &&
                     offsetof(MVString, buffer) == MV_BY_WIDTH(4, 8) &&
                     offsetof(MVString, bufferSize) == MV_BY_WIDTH(8, 16) &&
                     offsetof(MVString, length) == MV_BY_WIDTH(12, 20) &&
                     offsetof(MVString, encoding) == MV_BY_WIDTH(16, 24) &&
                     offsetof(MVString, inlineBuf) == MV_BY_WIDTH(20, 28),
                 "string record layout");

#define kEncodingASCII 0x00000600u
#define kEncodingUTF8 0x08000100u
#define kEncodingUTF16 0x00000100u
#define kEncodingUTF32 0x0C000100u
#define kEncodingUnknown 0x0000FFFFu
#define kEncodingMacRoman 0x00000000u

// Content bytes of a string (NUL-terminated in the record); nil gives NULL.
static inline const uint8_t* MVStringBytes(const MVString* s) { return s ? s->buffer + 1 : 0; }
static inline uint32_t MVStringLength(const MVString* s) { return s ? s->length : 0; }

// --- Exported entry points (cdecl). Results are owned references; arguments borrowed.
void RuntimeLockString(MVString* s);
void RuntimeUnlockString(MVString* s);
void RuntimeLockUnlockStrings(MVString* newValue, MVString* oldValue);
MVString* RuntimeAddString(MVString* a, MVString* b);
int32_t RuntimeStringCompare(MVString* a, MVString* b);
int32_t StringDBCSLen(MVString* s);
MVString* StringDBCSLeft(MVString* s, int32_t n);
MVString* StringDBCSRight(MVString* s, int32_t n);
MVString* StringDBCSMid3(MVString* s, int32_t start, int32_t count);
MVString* StringDBCSMid2(MVString* s, int32_t start);
int32_t StringDBCSAsc(MVString* s);
MVString* StringDBCSChr(int32_t code);
int32_t StringInStr(int32_t start, MVString* source, MVString* find);
int32_t StringInStrB(int32_t start, MVString* source, MVString* find);
MVString* runTrim(MVString* s);
MVString* runLTrim(MVString* s);
MVString* runRTrim(MVString* s);
double StringVal(MVString* s);
MVString* StringStrInt32(int32_t n);
// Byte-counting siblings.
int32_t StringLen(MVString* s);
MVString* StringLeft(MVString* s, int32_t n);
MVString* StringRight(MVString* s, int32_t n);
MVString* StringMid3(MVString* s, int32_t start, int32_t count);

// String services under their plug-in interface names.
// A new string of `length` bytes copied from `bytes`, tagged `encoding` (nil for 0 bytes).
MVString* MAVOBuildString(const void* bytes, int32_t length, uint32_t encoding);
// A new string of `length` zero bytes, tagged kEncodingUnknown (nil for 0 or less): room
// that its only holder fills in place, and then hands on as it is.
MVString* RuntimeNewZeroString(int32_t length);
// The content as a NUL-terminated C string, valid while s lives ("" for nil).
const char* StringGetCString(MVString* s);
void MAVOLockString(MVString* s);
void MAVOUnlockString(MVString* s);
// s converted to `encoding` (owned result).
MVString* MAVOConvertString(MVString* s, uint32_t encoding);
// The encoding the runtime uses for a font name ("System": UTF-8).
uint32_t MAVOGetFontEncoding(const char* fontName);

// --- Runtime-internal: not declared for the code image and plug-ins (MV_EXPORTS_ONLY),
// which reach the runtime through exported names only.
#ifndef MV_EXPORTS_ONLY
// New record holding a copy of n bytes, tagged enc; n == 0 gives nil.
MVString* MVStringFromBytes(const void* bytes, uint32_t n, uint32_t enc);
// New record from a NUL-terminated C string (nil for NULL or "").
MVString* MVStringFromCString(const char* text, uint32_t enc);
// A new record of n uninitialised content bytes (n > 0) whose content the caller fills
// before anyone else sees it.
MVString* MVStringAllocate(uint32_t n, uint32_t enc);
// s converted to encoding enc (owned result; s itself with a reference added when no
// conversion is needed or possible).
MVString* MVStringConvert(MVString* s, uint32_t enc);
#endif  // MV_EXPORTS_ONLY

#ifdef __cplusplus
}
#endif
