// String internals shared by the string modules and their tests.
#pragma once
#include "runtime/runtime_only.h"
#include <stddef.h>
#include <stdint.h>

#include "runtime/values/string.h"

namespace mvstr {

// Content of a record. A literal whose text pointer has not been set yet reads its
// own inline buffer.
inline const uint8_t* Bytes(const MVString* s) {
  return s->buffer ? s->buffer + 1 : s->inlineBuf + 1;
}

inline MVString* Retain(MVString* s) {
  if (s) s->refCount++;
  return s;
}

// Base encodings 0x100-0x1FF are the Unicode forms.
inline bool IsUnicodeTag(uint32_t tag) {
  uint32_t base = tag & 0xFFFFu;
  return base >= 0x100u && base <= 0x1FFu;
}

// UTF-8 stepping, without validation: forward takes one byte and then every following
// continuation byte; backward goes back one byte and then over continuation bytes.
inline bool IsContinuation(uint8_t b) { return (b & 0xC0u) == 0x80u; }
inline uint32_t Utf8Next(const uint8_t* p, uint32_t pos, uint32_t len) {
  if (pos >= len) return len;
  pos++;
  while (pos < len && IsContinuation(p[pos])) pos++;
  return pos;
}
inline uint32_t Utf8Prev(const uint8_t* p, uint32_t pos) {
  if (pos == 0) return 0;
  pos--;
  while (pos > 0 && IsContinuation(p[pos])) pos--;
  return pos;
}
// Byte offset after stepping n characters forward from pos (stops at len).
uint32_t Utf8Advance(const uint8_t* p, uint32_t pos, uint32_t len, int64_t n);

// The code point of the sequence at pos: decoded by its lead byte (two, three or four
// bytes), using only the bytes before `end`; missing bytes count as 0.
uint32_t Utf8Decode(const uint8_t* p, uint32_t pos, uint32_t end);

// Upper case through the runtime's case table (low 16 bits looked up; a code point
// without an entry stays as it is).
uint32_t UpperCase(uint32_t cp);
// Number of pairs in the case table.
size_t CaseTableSize();
// Mac OS Roman upper-case table for byte comparisons of unequal lengths.
extern const uint8_t kByteUpper[256];

// Encoding reconciliation of two operands: a and b are replaced by owned references
// to the operands as they are to be used (possibly the same records with a count
// added); the result is the common tag.
uint32_t Reconcile(MVString* a, MVString* b, MVString** outA, MVString** outB);

// Conversion of s (non-nil) to enc. Returns an owned reference; *failed is set when
// the conversion ran and yielded nothing (the result is then s itself).
MVString* Convert(MVString* s, uint32_t enc, bool* failed);
// The iconv name of an encoding tag, or NULL when none is known.
const char* IconvName(uint32_t enc, bool asSource);
// Called when a record is released: forgets the conversion cache entry of that source.
void ForgetCachedSource(const MVString* s);

// Exact byte search for the first occurrence of find in hay at or after `from`;
// returns the 0-based offset or -1.
int64_t FindBytesSimple(const uint8_t* hay, uint32_t hayLen, const uint8_t* find,
                        uint32_t findLen, uint32_t from);
int64_t FindBytesBoyerMoore(const uint8_t* hay, uint32_t hayLen, const uint8_t* find,
                            uint32_t findLen, uint32_t from);
// How many StringInStrB calls took the Boyer-Moore path.
uint32_t BoyerMooreSearches();

}  // namespace mvstr
