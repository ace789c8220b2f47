// Runtime strings: the record, its reference counts, concatenation, extraction in
// character units, character codes, trimming, numeric parsing and formatting, and the
// string services of the plug-in interface.
#include "runtime/values/string.h"

#include <locale.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "runtime/values/alloc.h"
#include "runtime/values/string_internal.h"

namespace mvstr {

// Header, length byte and NUL around the content.
constexpr uint32_t kRecordOverhead = offsetof(MVString, inlineBuf) + 2;

uint32_t Utf8Advance(const uint8_t* p, uint32_t pos, uint32_t len, int64_t n) {
  while (n > 0 && pos < len) {
    pos = Utf8Next(p, pos, len);
    n--;
  }
  return pos;
}

uint32_t Utf8Decode(const uint8_t* p, uint32_t pos, uint32_t end) {
  auto at = [&](uint32_t i) -> uint32_t { return pos + i < end ? (p[pos + i] & 0x3Fu) : 0u; };
  uint8_t lead = p[pos];
  if (lead < 0x80) return lead;
  if ((lead & 0xE0) == 0xC0) return ((lead & 0x1Fu) << 6) | at(1);
  if ((lead & 0xF0) == 0xE0) return ((lead & 0x0Fu) << 12) | (at(1) << 6) | at(2);
  return ((lead & 0x07u) << 18) | (at(1) << 12) | (at(2) << 6) | at(3);
}

}  // namespace mvstr

using namespace mvstr;

namespace {

// The unit in which an encoding counts characters.
enum class Units { Bytes, Utf8, Utf16 };

Units UnitsOf(const MVString* s) {
  if (s->encoding == kEncodingUTF8) return Units::Utf8;
  if (s->encoding == kEncodingUTF16) return Units::Utf16;
  return Units::Bytes;
}

MVString* Copy(MVString* s, uint32_t offset, uint32_t n) {
  return MVStringFromBytes(Bytes(s) + offset, n, s->encoding);
}

// Byte-level extraction. Counts arrive as 64-bit values so that unit counts doubled
// for UTF-16 cannot overflow.
MVString* LeftBytes(MVString* s, int64_t n) {
  if (!s) return nullptr;
  if (n >= s->length) return Retain(s);
  if (n < 1) return nullptr;
  return Copy(s, 0, static_cast<uint32_t>(n));
}

MVString* RightBytes(MVString* s, int64_t n) {
  if (!s) return nullptr;
  if (n >= s->length) return Retain(s);
  if (n < 1) return nullptr;
  return Copy(s, s->length - static_cast<uint32_t>(n), static_cast<uint32_t>(n));
}

MVString* MidBytes(MVString* s, int64_t start, int64_t count) {
  if (!s) return nullptr;
  if (start < 1) {
    count += start - 1;
    start = 1;
  }
  int64_t len = s->length;
  if (count < 1 || start > len) return nullptr;
  // The whole string is the string itself, whether count is exactly its length or more.
  if (start == 1 && count >= len) return Retain(s);
  int64_t n = len - (start - 1);
  if (count < n) n = count;
  return Copy(s, static_cast<uint32_t>(start - 1), static_cast<uint32_t>(n));
}

// Mid in character units; count has already been checked against 1.
MVString* MidUnits(MVString* s, int64_t start, int64_t count) {
  if (start < 1) {
    count += start - 1;
    start = 1;
  }
  if (count < 1) return nullptr;
  switch (UnitsOf(s)) {
    case Units::Utf8: {
      const uint8_t* p = Bytes(s);
      uint32_t first = Utf8Advance(p, 0, s->length, start - 1);
      if (first >= s->length) return nullptr;
      uint32_t end = Utf8Advance(p, first, s->length, count);
      return MidBytes(s, int64_t(first) + 1, end - first);
    }
    case Units::Utf16:
      return MidBytes(s, 2 * (start - 1) + 1, 2 * count);
    case Units::Bytes:
      break;
  }
  return MidBytes(s, start, count);
}

// --- White space

bool IsByteWhite(uint32_t c) { return c == 32 || (c >= 9 && c <= 13); }

bool IsUnicodeWhite(uint32_t c) {
  if (c <= 0xFF) return IsByteWhite(c) || c == 0x85 || c == 0xA0;
  return c == 0x1680 || c == 0x180E || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 ||
         c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

inline uint32_t Unit16(const uint8_t* p, uint32_t unit) {
  uint16_t u;
  memcpy(&u, p + 2 * unit, 2);
  return u;
}

// Finds [*first, *end) of s's content without the white space on the chosen sides,
// under the rule of s's own tag (bytes for anything not UTF-8 or UTF-16).
void TrimBounds(const MVString* s, bool left, bool right, uint32_t* first, uint32_t* end) {
  const uint8_t* p = Bytes(s);
  uint32_t len = s->length;
  uint32_t a = 0, b = len;
  switch (UnitsOf(s)) {
    case Units::Utf8:
      if (left) {
        while (a < len) {
          uint32_t next = Utf8Next(p, a, len);
          if (!IsUnicodeWhite(Utf8Decode(p, a, next))) break;
          a = next;
        }
      }
      if (right) {
        while (b > a) {
          uint32_t prev = Utf8Prev(p, b);
          if (prev < a || !IsUnicodeWhite(Utf8Decode(p, prev, b))) break;
          b = prev;
        }
      }
      break;
    case Units::Utf16: {
      // An odd trailing byte is not a unit: it always stays.
      uint32_t units = len / 2, ua = 0, ub = units;
      if (left)
        while (ua < units && IsUnicodeWhite(Unit16(p, ua))) ua++;
      if (right && ub == units && (len & 1) == 0)
        while (ub > ua && IsUnicodeWhite(Unit16(p, ub - 1))) ub--;
      a = 2 * ua;
      b = ub == units ? len : 2 * ub;
      break;
    }
    case Units::Bytes:
      if (left)
        while (a < len && IsByteWhite(p[a])) a++;
      if (right)
        while (b > a && IsByteWhite(p[b - 1])) b--;
      break;
  }
  *first = a;
  *end = b;
}

MVString* Trim(MVString* s, bool left, bool right) {
  if (!s) return nullptr;
  uint32_t enc = s->encoding;
  bool ownRule = enc == kEncodingASCII || enc == kEncodingUnknown || enc == kEncodingUTF8 ||
                 enc == kEncodingUTF16;
  MVString* work = Retain(s);
  if (!ownRule) {
    // Any other encoding is trimmed as UTF-16 and converted back. Where it cannot be
    // converted, its bytes are trimmed by the ASCII rule.
    bool failed = false;
    MVString* wide = Convert(s, kEncodingUTF16, &failed);
    if (wide && wide->encoding == kEncodingUTF16) {
      RuntimeUnlockString(work);
      work = wide;
    } else {
      RuntimeUnlockString(wide);
    }
  }
  uint32_t first, end;
  TrimBounds(work, left, right, &first, &end);
  MVString* result;
  if (first == 0 && end == work->length) {
    result = Retain(s);
  } else if (first >= end) {
    result = nullptr;
  } else {
    result = Copy(work, first, end - first);
    if (work->encoding != enc) {
      MVString* back = MVStringConvert(result, enc);
      RuntimeUnlockString(result);
      result = back;
    }
  }
  RuntimeUnlockString(work);
  return result;
}

locale_t CLocale() {
  static locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  return c;
}

double RadixValue(const uint8_t* p, uint32_t len, uint32_t radix) {
  uint32_t value = 0;
  for (uint32_t i = 2; i < len; i++) {
    uint32_t c = p[i], d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else continue;
    if (d >= radix) continue;
    value = value * radix + d;
  }
  return static_cast<double>(static_cast<int32_t>(value));
}

}  // namespace

// --- Records

extern "C" MVString* MVStringAllocate(uint32_t n, uint32_t enc) {
  if (n == 0) return nullptr;
  if (n > UINT32_MAX - kRecordOverhead) MVOutOfMemory();
  auto* s = static_cast<MVString*>(MVAlloc(n + kRecordOverhead));
  s->refCount = 1;
  s->buffer = s->inlineBuf;
  s->bufferSize = n + 2;
  s->length = n;
  s->encoding = enc;
  s->inlineBuf[0] = static_cast<uint8_t>(n > 255 ? 255 : n);
  s->inlineBuf[n + 1] = 0;
  return s;
}

extern "C" MVString* MVStringFromBytes(const void* bytes, uint32_t n, uint32_t enc) {
  if (n == 0) return nullptr;
  MVString* s = MVStringAllocate(n, enc);
  memcpy(s->inlineBuf + 1, bytes, n);
  return s;
}

extern "C" MVString* MVStringFromCString(const char* text, uint32_t enc) {
  if (!text) return nullptr;
  return MVStringFromBytes(text, static_cast<uint32_t>(strlen(text)), enc);
}

extern "C" void RuntimeLockString(MVString* s) {
  if (s) s->refCount++;
}

extern "C" void RuntimeUnlockString(MVString* s) {
  if (!s) return;
  if (--s->refCount != 0) return;
  ForgetCachedSource(s);
  MVFree(s, s->length + kRecordOverhead);
}

extern "C" void RuntimeLockUnlockStrings(MVString* newValue, MVString* oldValue) {
  if (newValue == oldValue) return;
  RuntimeLockString(newValue);
  RuntimeUnlockString(oldValue);
}

// --- Concatenation

namespace {
MVString* Join(MVString* a, MVString* b, uint32_t enc) {
  uint32_t la = MVStringLength(a), lb = MVStringLength(b);
  if (la > UINT32_MAX - kRecordOverhead - lb) MVOutOfMemory();
  MVString* r = MVStringAllocate(la + lb, enc);
  if (!r) return nullptr;
  if (la) memcpy(r->inlineBuf + 1, Bytes(a), la);
  if (lb) memcpy(r->inlineBuf + 1 + la, Bytes(b), lb);
  return r;
}
}  // namespace

extern "C" MVString* RuntimeAddString(MVString* a, MVString* b) {
  if (MVStringLength(b) == 0) return Retain(a);
  if (MVStringLength(a) == 0) return Retain(b);
  if (a->encoding == b->encoding) return Join(a, b, a->encoding);
  MVString *ra, *rb;
  uint32_t tag = Reconcile(a, b, &ra, &rb);
  MVString* r = Join(ra, rb, tag);
  RuntimeUnlockString(ra);
  RuntimeUnlockString(rb);
  return r;
}

// --- Length and extraction

extern "C" int32_t StringLen(MVString* s) { return static_cast<int32_t>(MVStringLength(s)); }

extern "C" int32_t StringDBCSLen(MVString* s) {
  if (!s) return 0;
  switch (UnitsOf(s)) {
    case Units::Utf8: {
      const uint8_t* p = Bytes(s);
      int32_t n = 0;
      for (uint32_t i = 0; i < s->length; i++) n += !IsContinuation(p[i]);
      return n;
    }
    case Units::Utf16:
      return static_cast<int32_t>(s->length / 2);
    case Units::Bytes:
      break;
  }
  return static_cast<int32_t>(s->length);
}

extern "C" MVString* StringLeft(MVString* s, int32_t n) { return LeftBytes(s, n); }
extern "C" MVString* StringRight(MVString* s, int32_t n) { return RightBytes(s, n); }
extern "C" MVString* StringMid3(MVString* s, int32_t start, int32_t count) {
  return MidBytes(s, start, count);
}

extern "C" MVString* StringDBCSLeft(MVString* s, int32_t n) {
  if (!s || n < 1) return nullptr;
  switch (UnitsOf(s)) {
    case Units::Utf8:
      return LeftBytes(s, Utf8Advance(Bytes(s), 0, s->length, n));
    case Units::Utf16:
      return LeftBytes(s, 2 * int64_t(n));
    case Units::Bytes:
      break;
  }
  return LeftBytes(s, n);
}

extern "C" MVString* StringDBCSRight(MVString* s, int32_t n) {
  if (!s || n < 1) return nullptr;
  switch (UnitsOf(s)) {
    case Units::Utf8: {
      const uint8_t* p = Bytes(s);
      uint32_t pos = s->length;
      for (int32_t i = 0; i < n && pos > 0; i++) pos = Utf8Prev(p, pos);
      return RightBytes(s, s->length - pos);
    }
    case Units::Utf16:
      return RightBytes(s, 2 * int64_t(n));
    case Units::Bytes:
      break;
  }
  return RightBytes(s, n);
}

extern "C" MVString* StringDBCSMid3(MVString* s, int32_t start, int32_t count) {
  if (!s || count < 1) return nullptr;
  return MidUnits(s, start, count);
}

extern "C" MVString* StringDBCSMid2(MVString* s, int32_t start) {
  if (!s) return nullptr;
  // Everything from start on: a count no string can reach.
  return MidUnits(s, start < 1 ? 1 : start, int64_t(1) << 40);
}

// --- Character codes

extern "C" int32_t StringDBCSAsc(MVString* s) {
  if (!s || s->length == 0) return 0;
  const uint8_t* p = Bytes(s);
  switch (UnitsOf(s)) {
    case Units::Utf8:
      return static_cast<int32_t>(Utf8Decode(p, 0, s->length));
    case Units::Utf16:
      return s->length >= 2 ? static_cast<int32_t>(Unit16(p, 0)) : p[0];
    case Units::Bytes:
      break;
  }
  return p[0];
}

extern "C" MVString* StringDBCSChr(int32_t code) {
  if (code <= 255) {
    uint8_t b = static_cast<uint8_t>(code);
    return MVStringFromBytes(&b, 1, code >= 0 && code <= 127 ? kEncodingASCII : kEncodingUnknown);
  }
  uint8_t two[2] = {static_cast<uint8_t>(code >> 8), static_cast<uint8_t>(code)};
  return MVStringFromBytes(two, 2, kEncodingUnknown);
}

// --- Trim

extern "C" MVString* runTrim(MVString* s) { return Trim(s, true, true); }
extern "C" MVString* runLTrim(MVString* s) { return Trim(s, true, false); }
extern "C" MVString* runRTrim(MVString* s) { return Trim(s, false, true); }

// --- Numbers

extern "C" double StringVal(MVString* s) {
  if (!s) return 0;
  MVString* t = (s->encoding == kEncodingUTF16 || s->encoding == kEncodingUTF32)
                    ? MVStringConvert(s, kEncodingUTF8)
                    : Retain(s);
  double value = 0;
  if (t && t->length > 0) {
    const uint8_t* p = Bytes(t);
    if (t->length > 1 && p[0] == '&') {
      switch (p[1]) {
        case 'h': case 'H': value = RadixValue(p, t->length, 16); break;
        case 'o': case 'O': value = RadixValue(p, t->length, 8); break;
        case 'b': case 'B': value = RadixValue(p, t->length, 2); break;
        default: value = 0; break;
      }
    } else {
      // The record's content is always followed by a NUL.
      const char* text = reinterpret_cast<const char*>(p);
      locale_t c = CLocale();
      value = c ? strtod_l(text, nullptr, c) : strtod(text, nullptr);
    }
  }
  RuntimeUnlockString(t);
  return value;
}

extern "C" MVString* StringStrInt32(int32_t n) {
  char text[16];
  int len = snprintf(text, sizeof text, "%ld", static_cast<long>(n));
  return MVStringFromBytes(text, static_cast<uint32_t>(len), kEncodingASCII);
}

// --- Plug-in services

extern "C" MVString* MAVOBuildString(const void* bytes, int32_t length, uint32_t encoding) {
  if (!bytes || length <= 0) return nullptr;
  return MVStringFromBytes(bytes, static_cast<uint32_t>(length), encoding);
}

extern "C" MVString* RuntimeNewZeroString(int32_t length) {
  if (length <= 0) return nullptr;
  MVString* s = MVStringAllocate(static_cast<uint32_t>(length), kEncodingUnknown);
  memset(s->buffer + 1, 0, static_cast<size_t>(length));
  return s;
}

extern "C" const char* StringGetCString(MVString* s) {
  if (!s) return "";
  return reinterpret_cast<const char*>(Bytes(s));
}

extern "C" void MAVOLockString(MVString* s) { RuntimeLockString(s); }
extern "C" void MAVOUnlockString(MVString* s) { RuntimeUnlockString(s); }

extern "C" MVString* MAVOConvertString(MVString* s, uint32_t encoding) {
  return MVStringConvert(s, encoding);
}

extern "C" uint32_t MAVOGetFontEncoding(const char* fontName) {
  // The console build has no fonts: "System" and every other name give UTF-8.
  (void)fontName;
  return kEncodingUTF8;
}
