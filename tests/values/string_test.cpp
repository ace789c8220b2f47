#include <gtest/gtest.h>
#include <locale.h>
#include <cmath>
#include <utility>
#include <stddef.h>

#include "runtime/values/alloc.h"
#include "tests/values/string_test_util.h"

using strtest::Owned;
using strtest::Tag;
using strtest::Text;

namespace {

const std::string kAccented("a\xC3\xA9 b", 5);  // a, e-acute, space, b

TEST(StringRecord, HeapRecordLayoutAndRelease) {
  Owned s(std::string("hello"), kEncodingUTF8);
  EXPECT_EQ(s->refCount, 1u);
  EXPECT_EQ(s->buffer, s->inlineBuf);
  EXPECT_EQ(s->bufferSize, 7u);
  EXPECT_EQ(s->length, 5u);
  EXPECT_EQ(s->inlineBuf[0], 5);
  EXPECT_EQ(s->inlineBuf[6], 0);
  Owned longOne(std::string(300, 'x'), kEncodingASCII);
  EXPECT_EQ(longOne->inlineBuf[0], 255);
  EXPECT_EQ(MVStringFromBytes("x", 0, kEncodingASCII), nullptr);
  EXPECT_EQ(MVStringFromCString("", kEncodingASCII), nullptr);
  EXPECT_EQ(MVStringFromCString(nullptr, kEncodingASCII), nullptr);

  // A released record goes back to the allocator as its header, the length + 2 bytes.
  const size_t size = offsetof(MVString, inlineBuf) + 12;
  MVString* t = MVStringFromBytes("0123456789", 10, kEncodingASCII);
  RuntimeUnlockString(t);
  void* block = MVAlloc(size);
  EXPECT_EQ(block, static_cast<void*>(t));
  MVFree(block, size);
}

TEST(StringRecord, LockUnlockAndAssignment) {
  MVString* a = MVStringFromCString("a", kEncodingASCII);
  MVString* b = MVStringFromCString("b", kEncodingASCII);
  RuntimeLockString(a);
  EXPECT_EQ(a->refCount, 2u);
  RuntimeLockUnlockStrings(a, a);  // same reference: nothing changes
  EXPECT_EQ(a->refCount, 2u);
  RuntimeLockUnlockStrings(b, a);
  EXPECT_EQ(a->refCount, 1u);
  EXPECT_EQ(b->refCount, 2u);
  RuntimeLockUnlockStrings(nullptr, b);
  RuntimeLockUnlockStrings(b, nullptr);
  RuntimeLockString(nullptr);
  RuntimeUnlockString(nullptr);
  MAVOLockString(b);
  MAVOUnlockString(b);
  EXPECT_EQ(b->refCount, 2u);
  RuntimeUnlockString(a);
  RuntimeUnlockString(b);
  RuntimeUnlockString(b);
}

// A code-image literal: count 1, in static data, text pointer set by the loader or not.
struct Literal {
  uint32_t refCount;
  uintptr_t buffer;
  uint32_t bufferSize, length, encoding;
  uint8_t lengthByte;
  char text[4];
};

TEST(StringRecord, LiteralsSurviveLockAndUnlock) {
  static Literal unfixed = {1, 0, 5, 3, kEncodingUTF8, 3, "abc"};
  static Literal fixed = {1, 0, 5, 3, kEncodingUTF8, 3, "xyz"};
  fixed.buffer = reinterpret_cast<uintptr_t>(&fixed.lengthByte);
  for (Literal* lit : {&unfixed, &fixed}) {
    auto* s = reinterpret_cast<MVString*>(lit);
    for (int i = 0; i < 3; i++) {
      RuntimeLockString(s);
      MVString* same = StringDBCSLeft(s, 10);
      EXPECT_EQ(same, s);
      RuntimeUnlockString(same);
      RuntimeUnlockString(s);
    }
    EXPECT_EQ(lit->refCount, 1u);
    Owned joined(RuntimeAddString(s, s));
    EXPECT_EQ(Text(joined), std::string(lit->text) + lit->text);
    EXPECT_EQ(lit->refCount, 1u);
  }
  EXPECT_STREQ(StringGetCString(reinterpret_cast<MVString*>(&unfixed)), "abc");
}

TEST(StringExtract, NilAndOutOfRangeCounts) {
  Owned abc(std::string("abc"), kEncodingASCII);
  EXPECT_EQ(StringDBCSLen(nullptr), 0);
  EXPECT_EQ(StringLen(nullptr), 0);
  for (int32_t n : {0, -1, INT32_MIN}) {
    EXPECT_EQ(StringDBCSLeft(abc, n), nullptr);
    EXPECT_EQ(StringDBCSRight(abc, n), nullptr);
    EXPECT_EQ(StringLeft(abc, n), nullptr);
    EXPECT_EQ(StringDBCSMid3(abc, 1, n), nullptr);
  }
  EXPECT_EQ(StringDBCSMid3(abc, 4, 1), nullptr);
  EXPECT_EQ(StringMid3(abc, 4, 1), nullptr);
  EXPECT_EQ(StringDBCSMid3(abc, INT32_MIN, INT32_MAX), nullptr);
  EXPECT_EQ(StringDBCSLeft(nullptr, 3), nullptr);
  EXPECT_EQ(StringDBCSRight(nullptr, 3), nullptr);
  EXPECT_EQ(StringDBCSMid3(nullptr, 1, 3), nullptr);
  EXPECT_EQ(StringDBCSMid2(nullptr, 1), nullptr);
  EXPECT_EQ(StringDBCSMid2(abc, 4), nullptr);
}

TEST(StringExtract, WholeResultsShareTheRecord) {
  Owned abc(std::string("abc"), kEncodingASCII);
  for (MVString* r : {StringDBCSLeft(abc, 5), StringDBCSRight(abc, 3), StringDBCSLeft(abc, INT32_MAX),
                      StringDBCSMid3(abc, 1, 3), StringDBCSMid3(abc, 0, 4), StringDBCSMid2(abc, -5),
                      StringLeft(abc, 3), StringRight(abc, 9), StringMid3(abc, 1, 100)}) {
    EXPECT_EQ(r, abc.get());
    RuntimeUnlockString(r);
  }
  EXPECT_EQ(abc->refCount, 1u);
}

TEST(StringExtract, BytePieces) {
  Owned s(std::string("abcdef"), kEncodingUnknown);
  EXPECT_EQ(Text(Owned(StringDBCSMid3(s, 0, 3))), "ab");
  EXPECT_EQ(Text(Owned(StringDBCSMid3(s, -1, 3))), "a");
  EXPECT_EQ(Text(Owned(StringDBCSMid3(s, 2, 100))), "bcdef");
  EXPECT_EQ(Text(Owned(StringDBCSMid3(s, 2, INT32_MAX))), "bcdef");
  EXPECT_EQ(Text(Owned(StringDBCSMid2(s, 3))), "cdef");
  EXPECT_EQ(Text(Owned(StringDBCSLeft(s, 2))), "ab");
  Owned right(StringDBCSRight(s, 2));
  EXPECT_EQ(Text(right), "ef");
  EXPECT_EQ(Tag(right), kEncodingUnknown);
}

TEST(StringExtract, Utf8CountsCharacters) {
  Owned s(kAccented, kEncodingUTF8);
  EXPECT_EQ(StringDBCSLen(s), 4);
  EXPECT_EQ(StringLen(s), 5);
  Owned left(StringDBCSLeft(s, 2));
  EXPECT_EQ(Text(left), "a\xC3\xA9");
  EXPECT_EQ(Tag(left), kEncodingUTF8);
  EXPECT_EQ(Text(Owned(StringDBCSRight(s, 1))), "b");
  EXPECT_EQ(Text(Owned(StringDBCSRight(s, 3))), "\xC3\xA9 b");
  EXPECT_EQ(StringDBCSAsc(Owned(StringDBCSMid3(s, 2, 1))), 233);
  EXPECT_EQ(Text(Owned(StringDBCSMid2(s, 3))), " b");
  EXPECT_EQ(Text(Owned(StringLeft(s, 2))), "a\xC3");  // the byte sibling
  // Malformed input is stepped by the same rules and never beyond either end.
  Owned stray(std::string("\x80\x80z\xE2\x82"), kEncodingUTF8);
  EXPECT_EQ(StringDBCSLen(stray), 2);
  EXPECT_EQ(Text(Owned(StringDBCSRight(stray, 1))), "\xE2\x82");
  EXPECT_EQ(Text(Owned(StringDBCSLeft(stray, 1))), "\x80\x80");
  EXPECT_EQ(Owned(StringDBCSRight(stray, 5)).get(), stray.get());
}

TEST(StringExtract, Utf16CountsUnits) {
  Owned s(std::string("A\0B\0C\0", 6), kEncodingUTF16);
  EXPECT_EQ(StringDBCSLen(s), 3);
  EXPECT_EQ(Text(Owned(StringDBCSLeft(s, 2))), std::string("A\0B\0", 4));
  EXPECT_EQ(Text(Owned(StringDBCSMid3(s, 2, 1))), std::string("B\0", 2));
  EXPECT_EQ(Text(Owned(StringDBCSRight(s, 1))), std::string("C\0", 2));
  EXPECT_EQ(Owned(StringDBCSLeft(s, 0x40000000)).get(), s.get());
  EXPECT_EQ(StringDBCSAsc(Owned(StringDBCSRight(s, 1))), 'C');
}

TEST(StringChars, AscDecodesByTag) {
  EXPECT_EQ(StringDBCSAsc(nullptr), 0);
  EXPECT_EQ(StringDBCSAsc(Owned(std::string("\xE2\x82\xAC"), kEncodingUTF8)), 0x20AC);
  EXPECT_EQ(StringDBCSAsc(Owned(std::string("\xF0\x9F\x98\x80"), kEncodingUTF8)), 0x1F600);
  EXPECT_EQ(StringDBCSAsc(Owned(std::string("\xC8"), kEncodingUnknown)), 200);
  EXPECT_EQ(StringDBCSAsc(Owned(std::string("\xC8"), kEncodingASCII)), 200);
  EXPECT_EQ(StringDBCSAsc(Owned(std::string("\xAC\x20", 2), kEncodingUTF16)), 0x20AC);
  // A truncated sequence takes nothing from beyond the content.
  EXPECT_EQ(StringDBCSAsc(Owned(std::string("\xF0\x9F"), kEncodingUTF8)), 0x1F000);
}

TEST(StringChars, ChrBytesAndTags) {
  Owned a(StringDBCSChr(65));
  EXPECT_EQ(Text(a), "A");
  EXPECT_EQ(Tag(a), kEncodingASCII);
  Owned nul(StringDBCSChr(0));
  EXPECT_EQ(Text(nul), std::string(1, '\0'));
  EXPECT_EQ(Tag(nul), kEncodingASCII);
  Owned c8(StringDBCSChr(200));
  EXPECT_EQ(Text(c8), "\xC8");
  EXPECT_EQ(Tag(c8), kEncodingUnknown);
  Owned neg(StringDBCSChr(-1));
  EXPECT_EQ(Text(neg), "\xFF");
  EXPECT_EQ(Tag(neg), kEncodingUnknown);
  Owned two(StringDBCSChr(0x4142));
  EXPECT_EQ(Text(two), "AB");
  EXPECT_EQ(Tag(two), kEncodingUnknown);
  Owned literal(std::string("x="), kEncodingUTF8);
  Owned joined(RuntimeAddString(literal, c8));
  EXPECT_EQ(Text(joined), "x=\xC8");
  EXPECT_EQ(Tag(joined), kEncodingUnknown);
}

TEST(StringAdd, EmptyOperandsShareAndTagsCombine) {
  Owned a(std::string("ab"), kEncodingUTF8);
  MVString* r = RuntimeAddString(a, nullptr);
  EXPECT_EQ(r, a.get());
  RuntimeUnlockString(r);
  r = RuntimeAddString(nullptr, a);
  EXPECT_EQ(r, a.get());
  RuntimeUnlockString(r);
  EXPECT_EQ(RuntimeAddString(nullptr, nullptr), nullptr);
  EXPECT_EQ(a->refCount, 1u);

  Owned ascii(std::string("cd\xE9"), kEncodingASCII);
  Owned both(RuntimeAddString(a, ascii));
  EXPECT_EQ(Text(both), "abcd\xE9");  // no conversion between ASCII and UTF-8
  EXPECT_EQ(Tag(both), kEncodingUTF8);
  Owned roman(std::string("\x8E"), kEncodingMacRoman);
  Owned mixed(RuntimeAddString(ascii, roman));
  EXPECT_EQ(Text(mixed), "cd\xE9\x8E");
  EXPECT_EQ(Tag(mixed), kEncodingMacRoman);
}

TEST(StringAdd, UnicodeFormsAreConverted) {
  Owned wide(std::string("A\0", 2), kEncodingUTF16);
  Owned utf8(std::string("\xC3\xA9"), kEncodingUTF8);
  Owned r(RuntimeAddString(wide, utf8));
  EXPECT_EQ(Text(r), "A\xC3\xA9");
  EXPECT_EQ(Tag(r), kEncodingUTF8);
  Owned ascii(std::string("b"), kEncodingASCII);
  Owned w(RuntimeAddString(wide, ascii));
  EXPECT_EQ(Text(w), std::string("A\0b\0", 4));
  EXPECT_EQ(Tag(w), kEncodingUTF16);
  // An operand that does not convert keeps its bytes, and the result declares no
  // encoding.
  Owned bad(std::string("\xFF\xFF\xFF\xFF", 4), kEncodingUTF32);
  Owned u(RuntimeAddString(wide, bad));
  EXPECT_EQ(Text(u), std::string("A\0\xFF\xFF\xFF\xFF", 6));
  EXPECT_EQ(Tag(u), kEncodingUnknown);
}

TEST(StringConvert, CacheAndRetagging) {
  MVString* src = MVStringFromBytes("Z\0", 2, kEncodingUTF16);
  MVString* r1 = MVStringConvert(src, kEncodingUTF8);
  MVString* r2 = MAVOConvertString(src, kEncodingUTF8);
  EXPECT_EQ(r1, r2);  // the cached result
  EXPECT_EQ(Text(r1), "Z");
  RuntimeUnlockString(r1);
  RuntimeUnlockString(r2);
  RuntimeUnlockString(src);
  // A new record at the released source's address must not hit the stale entry.
  MVString* other = MVStringFromBytes("Q\0", 2, kEncodingUTF16);
  Owned r3(MVStringConvert(other, kEncodingUTF8));
  EXPECT_EQ(Text(r3), "Q");
  RuntimeUnlockString(other);

  Owned same(std::string("x"), kEncodingUTF8);
  MVString* s = MVStringConvert(same, kEncodingUTF8);
  EXPECT_EQ(s, same.get());
  RuntimeUnlockString(s);
  Owned retag(MVStringConvert(same, kEncodingMacRoman));  // 7-bit: re-tagged
  EXPECT_EQ(Text(retag), "x");
  EXPECT_EQ(Tag(retag), kEncodingMacRoman);
  Owned raw(std::string("\xC8"), kEncodingUnknown);
  MVString* kept = MVStringConvert(raw, kEncodingUTF16);  // no name for raw bytes
  EXPECT_EQ(kept, raw.get());
  RuntimeUnlockString(kept);
  EXPECT_EQ(MVStringConvert(nullptr, kEncodingUTF8), nullptr);
}

TEST(StringTrim, WhiteSpaceByTag) {
  Owned s(std::string(" \tx y\r\n"), kEncodingUTF8);
  EXPECT_EQ(Text(Owned(runTrim(s))), "x y");
  EXPECT_EQ(Text(Owned(runLTrim(s))), "x y\r\n");
  EXPECT_EQ(Text(Owned(runRTrim(s))), " \tx y");
  EXPECT_EQ(runTrim(Owned(std::string("   "), kEncodingASCII)), nullptr);
  EXPECT_EQ(runTrim(nullptr), nullptr);
  Owned xy(std::string("xy"), kEncodingASCII);
  MVString* same = runTrim(xy);
  EXPECT_EQ(same, xy.get());
  RuntimeUnlockString(same);

  // Unicode spaces count for UTF-8 and UTF-16, not for byte strings.
  Owned u(std::string("\xC2\xA0\xE3\x80\x80z\xE2\x80\xAF"), kEncodingUTF8);
  EXPECT_EQ(Text(Owned(runTrim(u))), "z");
  Owned w(std::string("\xA0\x00z\x00\x00\x30", 6), kEncodingUTF16);
  EXPECT_EQ(Text(Owned(runTrim(w))), std::string("z\0", 2));
  Owned b(std::string("\xA0q "), kEncodingASCII);
  EXPECT_EQ(Text(Owned(runTrim(b))), "\xA0q");
  Owned raw(std::string(" \x85q"), kEncodingUnknown);
  Owned rawTrim(runTrim(raw));
  EXPECT_EQ(Text(rawTrim), "\x85q");
  EXPECT_EQ(Tag(rawTrim), kEncodingUnknown);
  // Other encodings are trimmed as UTF-16 and keep their tag.
  Owned roman(std::string(" \x8Ex "), kEncodingMacRoman);
  Owned romanTrim(runTrim(roman));
  EXPECT_EQ(Text(romanTrim), "\x8Ex");
  EXPECT_EQ(Tag(romanTrim), kEncodingMacRoman);
  Owned nbsp(std::string("\xCAx\xCA"), kEncodingMacRoman);  // Mac OS Roman no-break space
  EXPECT_EQ(Text(Owned(runTrim(nbsp))), "x");
}

double Val(const char* text, uint32_t enc = kEncodingUTF8) {
  return StringVal(Owned(std::string(text), enc));
}

TEST(StringVal, RadixForms) {
  EXPECT_EQ(Val("&h10"), 16);
  EXPECT_EQ(Val("&HfF"), 255);
  EXPECT_EQ(Val("&hFFFFFFFF"), -1);
  EXPECT_EQ(Val("&h100000001"), 1);  // 32 bits, wrapping
  EXPECT_EQ(Val("&h1 g0"), 16);      // other bytes skipped
  EXPECT_EQ(Val("&o17"), 15);
  EXPECT_EQ(Val("&o19"), 1);
  EXPECT_EQ(Val("&b101"), 5);
  EXPECT_EQ(Val("&B12"), 1);
  EXPECT_EQ(Val("&x1"), 0);
  EXPECT_EQ(Val("&h"), 0);
  EXPECT_EQ(Val("&"), 0);
}

TEST(StringVal, DecimalForms) {
  EXPECT_EQ(StringVal(nullptr), 0);
  EXPECT_EQ(Val("  -2.5e2xyz"), -250);
  EXPECT_EQ(Val("1d3"), 1);
  EXPECT_EQ(Val("12abc"), 12);
  EXPECT_EQ(Val("1,5"), 1);
  EXPECT_EQ(Val("0x1p4"), 16);
  EXPECT_EQ(Val("x"), 0);
  EXPECT_TRUE(std::isinf(Val("-inf")));
  EXPECT_EQ(StringVal(Owned(std::string("3\0" "4", 3), kEncodingASCII)), 3);  // stops at NUL
  EXPECT_EQ(StringVal(Owned(std::string("4\0.\0" "5\0", 6), kEncodingUTF16)), 4.5);
  // The process locale does not change the decimal point.
  const char* old = setlocale(LC_NUMERIC, nullptr);
  std::string saved = old ? old : "C";
  if (setlocale(LC_NUMERIC, "de_DE.UTF-8") || setlocale(LC_NUMERIC, "fr_FR.UTF-8")) {
    EXPECT_EQ(Val("2.5"), 2.5);
    setlocale(LC_NUMERIC, saved.c_str());
  }
}

TEST(StringStr, Int32) {
  for (auto [n, text] : {std::pair<int32_t, const char*>{-2147483648, "-2147483648"},
                         {2147483647, "2147483647"}, {0, "0"}, {-7, "-7"}, {42, "42"}}) {
    Owned s(StringStrInt32(n));
    EXPECT_EQ(Text(s), text);
    EXPECT_EQ(Tag(s), kEncodingASCII);
  }
}

TEST(StringServices, PluginInterface) {
  EXPECT_EQ(MAVOBuildString("abc", 0, kEncodingUTF8), nullptr);
  EXPECT_EQ(MAVOBuildString("abc", -3, kEncodingUTF8), nullptr);
  EXPECT_EQ(MAVOBuildString(nullptr, 3, kEncodingUTF8), nullptr);
  Owned s(MAVOBuildString("ab\0c", 4, kEncodingASCII));
  EXPECT_EQ(Text(s), std::string("ab\0c", 4));
  EXPECT_EQ(Tag(s), kEncodingASCII);
  EXPECT_STREQ(StringGetCString(s), "ab");
  EXPECT_STREQ(StringGetCString(nullptr), "");
  EXPECT_EQ(MAVOGetFontEncoding("System"), kEncodingUTF8);
}

// Room to fill in place: as long as asked, every byte zero, held by the caller alone.
TEST(StringServices, ZeroStringIsRoomOfItsOwn) {
  EXPECT_EQ(RuntimeNewZeroString(0), nullptr);
  EXPECT_EQ(RuntimeNewZeroString(-1), nullptr);
  for (int32_t n : {1, 255, 256, 2097152}) {
    Owned s(RuntimeNewZeroString(n));
    ASSERT_NE(s.get(), nullptr);
    EXPECT_EQ(Text(s), std::string(static_cast<size_t>(n), '\0')) << n;
    EXPECT_EQ(Tag(s), kEncodingUnknown);
    EXPECT_EQ(s.get()->refCount, 1) << n;
  }
}

}  // namespace
