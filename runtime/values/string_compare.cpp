// Comparison and search of runtime strings, both ignoring letter case, and the exact
// byte search.
#include <locale.h>
#include <string.h>
#include <strings.h>

#include "runtime/values/string.h"
#include "runtime/values/string_internal.h"

namespace mvstr {
namespace {

struct CasePair {
  uint16_t small;
  uint16_t capital;
};

const CasePair kCasePairs[] = {
#include "runtime/values/case_table.inc"
};

locale_t CLocale() {
  static locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  return c;
}

inline uint32_t Unit16(const uint8_t* p, uint32_t unit) {
  uint16_t u;
  memcpy(&u, p + 2 * unit, 2);
  return u;
}

inline uint8_t AsciiUpper(uint8_t c) { return c >= 'a' && c <= 'z' ? c - 32 : c; }

uint32_t g_boyerMooreSearches = 0;

}  // namespace

// a-z to A-Z; the high half through the Mac OS Roman upper-case mapping.
const uint8_t kByteUpper[256] = {
#define ROW(n) n, n + 1, n + 2, n + 3, n + 4, n + 5, n + 6, n + 7
    ROW(0x00), ROW(0x08), ROW(0x10), ROW(0x18), ROW(0x20), ROW(0x28), ROW(0x30), ROW(0x38),
    ROW(0x40), ROW(0x48), ROW(0x50), ROW(0x58),
    0x60, 'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L', 'M', 'N', 'O',
    'P', 'Q', 'R', 'S', 'T', 'U', 'V', 'W', 'X', 'Y', 'Z', 0x7B, 0x7C, 0x7D, 0x7E, 0x7F,
    // 0x80: capitals stay; a-acute .. e-grave to their capitals
    0x80, 0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0xE7, 0xCB, 0xE5, 0x80, 0xCC, 0x81, 0x82, 0x83, 0xE9,
    // 0x90: e-circumflex .. u-diaeresis
    0xE6, 0xE8, 0xEA, 0xED, 0xEB, 0xEC, 0x84, 0xEE, 0xF1, 0xEF, 0x85, 0xCD, 0xF2, 0xF4, 0xF3, 0x86,
    // 0xA0
    ROW(0xA0), ROW(0xA8),
    // 0xB0: ae and o-slash at 0xBE, 0xBF
    0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xB8, 0xB9, 0xBA, 0xBB, 0xBC, 0xBD, 0xAE, 0xAF,
    // 0xC0: oe at 0xCF
    0xC0, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7, 0xC8, 0xC9, 0xCA, 0xCB, 0xCC, 0xCD, 0xCE, 0xCE,
    // 0xD0: y-diaeresis at 0xD8
    0xD0, 0xD1, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7, 0xD9, 0xD9, 0xDA, 0xDB, 0xDC, 0xDD, 0xDE, 0xDF,
    ROW(0xE0), ROW(0xE8), ROW(0xF0), ROW(0xF8),
#undef ROW
};
static_assert(sizeof(kByteUpper) == 256, "byte case table");

size_t CaseTableSize() { return sizeof kCasePairs / sizeof kCasePairs[0]; }

uint32_t UpperCase(uint32_t cp) {
  uint32_t key = cp & 0xFFFFu;
  if (key < 0x80) return key >= 'a' && key <= 'z' ? key - 32 : cp;
  size_t lo = 0, hi = CaseTableSize();
  while (lo < hi) {
    size_t mid = (lo + hi) / 2;
    if (kCasePairs[mid].small < key) lo = mid + 1;
    else hi = mid;
  }
  if (lo < CaseTableSize() && kCasePairs[lo].small == key) return kCasePairs[lo].capital;
  return cp;
}

int64_t FindBytesSimple(const uint8_t* hay, uint32_t hayLen, const uint8_t* find,
                        uint32_t findLen, uint32_t from) {
  if (findLen == 0 || from > hayLen || hayLen - from < findLen) return -1;
  uint32_t last = hayLen - findLen;
  for (uint32_t pos = from; pos <= last;) {
    const void* hit = memchr(hay + pos, find[0], last - pos + 1);
    if (!hit) return -1;
    pos = static_cast<uint32_t>(static_cast<const uint8_t*>(hit) - hay);
    if (memcmp(hay + pos + 1, find + 1, findLen - 1) == 0) return pos;
    pos++;
  }
  return -1;
}

int64_t FindBytesBoyerMoore(const uint8_t* hay, uint32_t hayLen, const uint8_t* find,
                            uint32_t findLen, uint32_t from) {
  if (findLen == 0 || from > hayLen || hayLen - from < findLen) return -1;
  // Bad-character shifts keyed by the byte under the window's last position.
  uint32_t shift[256];
  for (uint32_t& s : shift) s = findLen;
  for (uint32_t i = 0; i + 1 < findLen; i++) shift[find[i]] = findLen - 1 - i;
  uint8_t lastByte = find[findLen - 1];
  for (uint32_t pos = from; pos <= hayLen - findLen;) {
    uint8_t c = hay[pos + findLen - 1];
    if (c == lastByte && memcmp(hay + pos, find, findLen - 1) == 0) return pos;
    pos += shift[c];
  }
  return -1;
}

uint32_t BoyerMooreSearches() { return g_boyerMooreSearches; }

}  // namespace mvstr

using namespace mvstr;

namespace {

int32_t CompareUtf8(const MVString* a, const MVString* b) {
  const uint8_t *pa = Bytes(a), *pb = Bytes(b);
  uint32_t la = a->length, lb = b->length, ia = 0, ib = 0;
  while (ia < la && ib < lb) {
    uint32_t na = Utf8Next(pa, ia, la), nb = Utf8Next(pb, ib, lb);
    uint32_t ca = UpperCase(Utf8Decode(pa, ia, na)), cb = UpperCase(Utf8Decode(pb, ib, nb));
    if (ca != cb) return ca < cb ? -1 : 1;
    ia = na;
    ib = nb;
  }
  return la < lb ? -1 : (la > lb ? 1 : 0);
}

int32_t CompareUtf16(const MVString* a, const MVString* b) {
  const uint8_t *pa = Bytes(a), *pb = Bytes(b);
  uint32_t la = a->length, lb = b->length;
  uint32_t units = (la < lb ? la : lb) / 2;
  for (uint32_t i = 0; i < units; i++) {
    uint32_t ca = UpperCase(Unit16(pa, i)), cb = UpperCase(Unit16(pb, i));
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  return la < lb ? -1 : (la > lb ? 1 : 0);
}

int32_t CompareBytes(const MVString* a, const MVString* b) {
  const uint8_t *pa = Bytes(a), *pb = Bytes(b);
  uint32_t la = a->length, lb = b->length;
  if (la == lb) {
    const char *ca = reinterpret_cast<const char*>(pa), *cb = reinterpret_cast<const char*>(pb);
    locale_t c = CLocale();
    return c ? strncasecmp_l(ca, cb, la, c) : strncasecmp(ca, cb, la);
  }
  uint32_t n = la < lb ? la : lb;
  for (uint32_t i = 0; i < n; i++) {
    int8_t x = static_cast<int8_t>(kByteUpper[pa[i]]), y = static_cast<int8_t>(kByteUpper[pb[i]]);
    if (x != y) return x < y ? -1 : 1;
  }
  return la < lb ? -1 : 1;
}

// Case-insensitive search in the units of `tag`; start0 is the 0-based starting unit.
int32_t FindText(const MVString* src, const MVString* find, uint32_t tag, int64_t start0) {
  const uint8_t *ps = Bytes(src), *pf = Bytes(find);
  uint32_t ls = src->length, lf = find->length;
  if (tag == kEncodingUTF8) {
    uint32_t pos = Utf8Advance(ps, 0, ls, start0);
    if (pos >= ls || ls - pos < lf) return 0;
    for (int64_t unit = start0; pos < ls; unit++, pos = Utf8Next(ps, pos, ls)) {
      uint32_t s = pos, f = 0;
      while (f < lf) {
        if (s >= ls) return 0;  // the source ran out: no later start can match
        uint32_t ns = Utf8Next(ps, s, ls), nf = Utf8Next(pf, f, lf);
        if (UpperCase(Utf8Decode(ps, s, ns)) != UpperCase(Utf8Decode(pf, f, nf))) break;
        s = ns;
        f = nf;
      }
      if (f >= lf) return static_cast<int32_t>(unit + 1);
    }
    return 0;
  }
  if (tag == kEncodingUTF16) {
    if (2 * start0 >= ls || ls - 2 * start0 < lf) return 0;
    uint32_t us = ls / 2, uf = lf / 2;
    if (uf == 0) return 0;  // a lone byte is no unit
    for (uint32_t u = static_cast<uint32_t>(start0); u + uf <= us; u++) {
      uint32_t k = 0;
      while (k < uf && UpperCase(Unit16(ps, u + k)) == UpperCase(Unit16(pf, k))) k++;
      if (k == uf) return static_cast<int32_t>(u + 1);
    }
    return 0;
  }
  if (start0 >= ls || ls - start0 < lf) return 0;
  uint8_t first = AsciiUpper(pf[0]);
  for (uint32_t pos = static_cast<uint32_t>(start0); pos + lf <= ls; pos++) {
    if (AsciiUpper(ps[pos]) != first) continue;
    uint32_t k = 1;
    while (k < lf && AsciiUpper(ps[pos + k]) == AsciiUpper(pf[k])) k++;
    if (k == lf) return static_cast<int32_t>(pos + 1);
  }
  return 0;
}

}  // namespace

extern "C" int32_t RuntimeStringCompare(MVString* a, MVString* b) {
  if (a == b) return 0;
  if (!a) return -1;
  if (!b) return 1;
  MVString *ra, *rb;
  uint32_t tag = Reconcile(a, b, &ra, &rb);
  int32_t r;
  if (tag == kEncodingUTF8) r = CompareUtf8(ra, rb);
  else if (tag == kEncodingUTF16) r = CompareUtf16(ra, rb);
  else r = CompareBytes(ra, rb);
  RuntimeUnlockString(ra);
  RuntimeUnlockString(rb);
  return r;
}

extern "C" int32_t StringInStr(int32_t start, MVString* source, MVString* find) {
  if (MVStringLength(source) == 0) return 0;
  if (MVStringLength(find) == 0) return start;
  int64_t start0 = int64_t(start) - 1;
  if (start0 < 0) start0 = 0;
  MVString *rs, *rf;
  uint32_t tag = Reconcile(source, find, &rs, &rf);
  int32_t r = (rs && rf && rs->length && rf->length) ? FindText(rs, rf, tag, start0) : 0;
  RuntimeUnlockString(rs);
  RuntimeUnlockString(rf);
  return r;
}

extern "C" int32_t StringInStrB(int32_t start, MVString* source, MVString* find) {
  if (MVStringLength(source) == 0) return 0;
  if (MVStringLength(find) == 0) return start;
  int64_t start0 = int64_t(start) - 1;
  if (start0 < 0) start0 = 0;
  uint32_t ls = source->length, lf = find->length;
  if (start0 >= ls || ls - start0 < lf) return 0;
  uint32_t from = static_cast<uint32_t>(start0);
  uint32_t candidates = ls - from - lf + 1;
  int64_t at;
  if (lf < 5 || candidates < 81) {
    at = FindBytesSimple(Bytes(source), ls, Bytes(find), lf, from);
  } else {
    g_boyerMooreSearches++;
    at = FindBytesBoyerMoore(Bytes(source), ls, Bytes(find), lf, from);
  }
  return at < 0 ? 0 : static_cast<int32_t>(at + 1);
}
