// Encodings: reconciling the tags of two operands, converting between encodings
// (plain re-tagging where the bytes need no change, iconv otherwise) and the one-entry
// conversion cache.
#include <errno.h>
#include <iconv.h>
#include <initializer_list>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "runtime/values/alloc.h"
#include "runtime/values/string.h"
#include "runtime/values/string_internal.h"

namespace mvstr {
namespace {

struct NamedEncoding {
  uint32_t tag;
  const char* name;
};

// Base encodings by their tag numbers. The Unicode forms (base 0x100-0x1FF) are named
// by their format bits instead, below.
const NamedEncoding kNames[] = {
    {0x0000, "MACINTOSH"},       {0x0001, "SHIFT_JIS"},     {0x0002, "BIG5"},
    {0x0003, "EUC-KR"},          {0x0004, "MACARABIC"},     {0x0005, "MACHEBREW"},
    {0x0006, "MACGREEK"},        {0x0007, "MACCYRILLIC"},   {0x0015, "MACTHAI"},
    {0x0019, "GB2312"},          {0x001D, "MACCENTRALEUROPE"}, {0x0023, "MACTURKISH"},
    {0x0024, "MACCROATIAN"},     {0x0025, "MACICELAND"},    {0x0026, "MACROMANIA"},
    {0x0098, "MACUKRAINIAN"},    {0x0201, "ISO-8859-1"},    {0x0202, "ISO-8859-2"},
    {0x0203, "ISO-8859-3"},      {0x0204, "ISO-8859-4"},    {0x0205, "ISO-8859-5"},
    {0x0206, "ISO-8859-6"},      {0x0207, "ISO-8859-7"},    {0x0208, "ISO-8859-8"},
    {0x0209, "ISO-8859-9"},      {0x020A, "ISO-8859-10"},   {0x020D, "ISO-8859-13"},
    {0x020E, "ISO-8859-14"},     {0x020F, "ISO-8859-15"},   {0x0210, "ISO-8859-16"},
    {0x0400, "CP437"},           {0x0500, "CP1252"},        {0x0501, "CP1250"},
    {0x0502, "CP1251"},          {0x0503, "CP1253"},        {0x0504, "CP1254"},
    {0x0505, "CP1255"},          {0x0506, "CP1256"},        {0x0507, "CP1257"},
    {0x0508, "CP1258"},          {0x0600, "ASCII"},         {0x0920, "EUC-JP"},
    {0x0930, "EUC-CN"},          {0x0931, "EUC-TW"},        {0x0940, "EUC-KR"},
    {0x0A01, "SHIFT_JIS"},       {0x0A02, "KOI8-R"},        {0x0A03, "BIG5"},
};

// The cache: the last source converted, the target and the result (owned here). The
// source is not held; its release forgets the entry.
const MVString* g_cacheSource = nullptr;
uint32_t g_cacheTarget = 0;
MVString* g_cacheResult = nullptr;

void ClearCache() {
  MVString* old = g_cacheResult;
  g_cacheSource = nullptr;
  g_cacheResult = nullptr;
  RuntimeUnlockString(old);
}

bool AllBelow0x80(const MVString* s) {
  const uint8_t* p = Bytes(s);
  for (uint32_t i = 0; i < s->length; i++)
    if (p[i] >= 0x80) return false;
  return true;
}

// Runs iconv over the whole of s. Returns nil when the converter cannot be opened
// (*opened false) or the input does not convert (*opened true).
MVString* RunIconv(const MVString* s, const char* from, const char* to, uint32_t target,
                   bool* opened) {
  iconv_t cd = iconv_open(to, from);
  *opened = cd != reinterpret_cast<iconv_t>(-1);
  if (!*opened) return nullptr;
  size_t cap = s->length < 0x10000000u ? size_t(s->length) * 4 + 16 : size_t(s->length) + 16;
  char* out = static_cast<char*>(malloc(cap));
  if (!out) MVOutOfMemory();
  char* in = const_cast<char*>(reinterpret_cast<const char*>(Bytes(s)));
  size_t inLeft = s->length, used = 0;
  bool ok = true;
  for (bool flushing = false;;) {
    char* dst = out + used;
    size_t outLeft = cap - used;
    size_t r = flushing ? iconv(cd, nullptr, nullptr, &dst, &outLeft)
                        : iconv(cd, &in, &inLeft, &dst, &outLeft);
    used = cap - outLeft;
    if (r != static_cast<size_t>(-1)) {
      if (flushing) break;
      flushing = true;
      continue;
    }
    if (errno != E2BIG) {
      ok = false;
      break;
    }
    if (cap > SIZE_MAX / 2) MVOutOfMemory();
    cap *= 2;
    char* bigger = static_cast<char*>(realloc(out, cap));
    if (!bigger) MVOutOfMemory();
    out = bigger;
  }
  iconv_close(cd);
  MVString* result = ok ? MVStringFromBytes(out, static_cast<uint32_t>(used), target) : nullptr;
  free(out);
  return result;
}

}  // namespace

const char* IconvName(uint32_t enc, bool asSource) {
  if (enc == kEncodingASCII && asSource) {
    // ASCII-tagged text may hold any byte; read as Latin-1 every byte converts.
    return "ISO-8859-1";
  }
  if (IsUnicodeTag(enc)) {
    switch (enc >> 26) {
      case 0: return "UTF-16LE";  // host order, no byte-order mark
      case 2: return "UTF-8";
      case 3: return "UTF-32LE";
      default: return nullptr;
    }
  }
  if (enc > 0xFFFFu) return nullptr;
  for (const NamedEncoding& e : kNames)
    if (e.tag == enc) return e.name;
  return nullptr;
}

void ForgetCachedSource(const MVString* s) {
  if (s == g_cacheSource) ClearCache();
}

MVString* Convert(MVString* s, uint32_t enc, bool* failed) {
  *failed = false;
  if (s->encoding == enc) return Retain(s);
  if (s == g_cacheSource && enc == g_cacheTarget && g_cacheResult) return Retain(g_cacheResult);

  MVString* result = nullptr;
  uint32_t targetBase = enc & 0xFFFFu;
  bool plainTarget = enc == kEncodingUTF8 || targetBase < 0x100u || targetBase > 0x200u;
  if (plainTarget &&
      (s->encoding == kEncodingASCII || (!IsUnicodeTag(s->encoding) && AllBelow0x80(s)))) {
    result = MVStringFromBytes(Bytes(s), s->length, enc);
  } else {
    const char* from = IconvName(s->encoding, true);
    const char* to = IconvName(enc, false);
    if (!from || !to) return Retain(s);
    bool opened;
    result = RunIconv(s, from, to, enc, &opened);
    if (!opened) return Retain(s);
    if (!result) {
      *failed = true;
      return Retain(s);
    }
  }
  ClearCache();
  g_cacheSource = s;
  g_cacheTarget = enc;
  g_cacheResult = Retain(result);
  return result;
}

uint32_t Reconcile(MVString* a, MVString* b, MVString** outA, MVString** outB) {
  *outA = Retain(a);
  *outB = Retain(b);
  if (!a || !b) {
    if (a) return a->encoding;
    if (b) return b->encoding;
    return kEncodingASCII;
  }
  uint32_t ta = a->encoding, tb = b->encoding;
  if (ta == tb) return ta;
  if (ta == kEncodingUnknown || tb == kEncodingUnknown) return kEncodingUnknown;
  auto asciiOrUtf8 = [](uint32_t t) { return t == kEncodingASCII || t == kEncodingUTF8; };
  if (asciiOrUtf8(ta) && asciiOrUtf8(tb)) return kEncodingUTF8;
  if (ta == kEncodingASCII && !IsUnicodeTag(tb)) return tb;
  if (tb == kEncodingASCII && !IsUnicodeTag(ta)) return ta;

  uint32_t target = kEncodingUTF8;
  if ((ta == kEncodingUTF16 || tb == kEncodingUTF16) && ta != kEncodingUTF8 && tb != kEncodingUTF8)
    target = kEncodingUTF16;
  bool unconverted = false;
  for (MVString** side : {outA, outB}) {
    if ((*side)->encoding == target) continue;
    bool failed;
    MVString* converted = Convert(*side, target, &failed);
    RuntimeUnlockString(*side);
    *side = converted;
    // An operand that could not be brought into the target keeps its bytes; the
    // result then declares no encoding rather than a wrong one.
    if (!converted || converted->encoding != target) unconverted = true;
  }
  return unconverted ? kEncodingUnknown : target;
}

}  // namespace mvstr

extern "C" MVString* MVStringConvert(MVString* s, uint32_t enc) {
  if (!s) return nullptr;
  bool failed;
  return mvstr::Convert(s, enc, &failed);
}
