// StringVal and the string operations on arbitrary bytes under every encoding tag:
// byte 0 picks the tag, byte 1 where the input splits into two strings, bytes 2-5 the
// numbers given to the extracting functions.
#include <stdint.h>
#include <string.h>

#include "runtime/values/string.h"

namespace {

const uint32_t kTags[] = {kEncodingASCII, kEncodingUTF8,    kEncodingUTF16, kEncodingUTF32,
                          kEncodingUnknown, kEncodingMacRoman, 0x00000201u, 0x0000FFFEu};

void Drop(MVString* s) { RuntimeUnlockString(s); }

// A result must be a well-formed record: its text pointer at its own length byte, a
// NUL after its content.
void Check(MVString* s) {
  if (!s) return;
  if (s->length == 0 || s->buffer[1 + s->length] != 0) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 6) return 0;
  uint32_t tagA = kTags[data[0] % 8], tagB = kTags[(data[0] >> 3) % 8];
  int32_t n = static_cast<int8_t>(data[2]), m = static_cast<int8_t>(data[3]);
  // Small, negative, and beyond any length (wrapping to negative values too).
  int64_t wide = int64_t{data[4] | data[5] << 8} * (data[4] & 1 ? 1 : -65537);
  int32_t big = static_cast<int32_t>(static_cast<uint32_t>(wide));
  const uint8_t* text = data + 6;
  size_t length = size - 6;
  size_t split = length ? data[1] % (length + 1) : 0;
  MVString* a = MAVOBuildString(text, static_cast<int32_t>(split), tagA);
  MVString* b = MAVOBuildString(text + split, static_cast<int32_t>(length - split), tagB);

  volatile double v = StringVal(a) + StringVal(b);
  (void)v;
  volatile int32_t k = StringDBCSLen(a) + StringDBCSAsc(a) + StringLen(b) +
                       RuntimeStringCompare(a, b) + StringInStr(n, a, b) +
                       StringInStrB(m, a, b) + StringInStr(big, b, a);
  (void)k;
  MVString* results[] = {StringDBCSLeft(a, n),      StringDBCSRight(a, m),
                         StringDBCSMid3(a, n, m),   StringDBCSMid2(b, n),
                         StringDBCSMid3(b, big, n), StringLeft(b, big),
                         StringRight(b, n),         StringMid3(a, m, big),
                         runTrim(a),                runLTrim(b),
                         runRTrim(a),               RuntimeAddString(a, b),
                         MAVOConvertString(a, tagB), StringDBCSChr(big)};
  for (MVString* r : results) {
    Check(r);
    volatile size_t c = strlen(StringGetCString(r));
    (void)c;
    Drop(r);
  }
  RuntimeLockUnlockStrings(a, b);  // b gives up one reference, a gains one
  Drop(a);
  Drop(a);
  return 0;
}
