#include <gtest/gtest.h>

#include <strings.h>

#include <random>
#include <string>

#include "tests/values/string_test_util.h"

using strtest::Owned;

namespace {

int32_t Cmp(const std::string& a, const std::string& b, uint32_t ea = kEncodingUTF8,
            uint32_t eb = kEncodingUTF8) {
  return RuntimeStringCompare(Owned(a, ea), Owned(b, eb));
}

TEST(StringCompare, NilSameAndCase) {
  Owned a(std::string("abc"), kEncodingUTF8);
  EXPECT_EQ(RuntimeStringCompare(a, a), 0);
  EXPECT_EQ(RuntimeStringCompare(nullptr, nullptr), 0);
  EXPECT_EQ(RuntimeStringCompare(nullptr, a), -1);
  EXPECT_EQ(RuntimeStringCompare(a, nullptr), 1);
  EXPECT_EQ(Cmp("abc", "ABC"), 0);
  EXPECT_EQ(Cmp("ab", "abc"), -1);
  EXPECT_EQ(Cmp("abd", "ABC"), 1);
  EXPECT_EQ(Cmp("EnD", "end", kEncodingASCII, kEncodingUTF8), 0);
  EXPECT_EQ(a->refCount, 1u);
}

TEST(StringCompare, Utf8PathUsesTheCaseTable) {
  EXPECT_EQ(mvstr::CaseTableSize(), 724u);
  EXPECT_EQ(Cmp("\xC3\xA9t\xC3\xA9", "\xC3\x89T\xC3\x89"), 0);           // Latin-1
  EXPECT_EQ(Cmp("\xCF\x89", "\xCE\xA9"), 0);                             // Greek omega
  EXPECT_EQ(Cmp("\xD0\xB6", "\xD0\x96"), 0);                             // Cyrillic zhe
  EXPECT_EQ(Cmp("\xE2\x85\xB0", "\xE2\x85\xA0"), 0);                     // Roman numeral one
  EXPECT_EQ(Cmp("\xE2\x93\x90", "\xE2\x92\xB6"), 0);                     // circled a
  EXPECT_EQ(Cmp("\xEF\xBD\x81", "\xEF\xBC\xA1"), 0);                     // fullwidth a
  EXPECT_EQ(Cmp("\xC3\xA9", "f"), 1);  // code points, unsigned
  EXPECT_EQ(Cmp(std::string("a\0x", 3), std::string("a\0y", 3)), -1);
  // Equal up to the shorter one: byte lengths decide.
  EXPECT_EQ(Cmp("\xC3\xA9", "\xC3\x89!"), -1);
  EXPECT_EQ(mvstr::UpperCase(0x0101), 0x0100u);
  EXPECT_EQ(mvstr::UpperCase(0x1F00), 0x1F08u);
  EXPECT_EQ(mvstr::UpperCase(0x0561), 0x0531u);
  EXPECT_EQ(mvstr::UpperCase(0x017F), 0x017Fu);   // long s maps one way only: no pair
  EXPECT_EQ(mvstr::UpperCase(0x10061), 0x41u);    // looked up by its low 16 bits
  EXPECT_EQ(mvstr::UpperCase(0x10041), 0x10041u);
}

TEST(StringCompare, Utf16Path) {
  EXPECT_EQ(Cmp(std::string("a\0\xE9\0", 4), std::string("A\0\xC9\0", 4), kEncodingUTF16,
                kEncodingUTF16), 0);
  EXPECT_EQ(Cmp(std::string("a\0", 2), std::string("A\0b\0", 4), kEncodingUTF16, kEncodingUTF16), -1);
  EXPECT_EQ(Cmp(std::string("b\0", 2), std::string("A\0", 2), kEncodingUTF16, kEncodingASCII), 1);
}

TEST(StringCompare, BytePath) {
  const uint32_t raw = kEncodingUnknown;
  // Equal lengths: the C library's comparison, ending early at a shared NUL. Only its
  // sign is promised (an instrumented C library answers -25 where glibc answers -1).
  EXPECT_EQ(Cmp(std::string("a\0x", 3), std::string("a\0y", 3), raw, raw), 0);
  EXPECT_LT(Cmp("a", "Z", raw, raw), 0);
  EXPECT_LT(strncasecmp("a", "Z", 1), 0);
  EXPECT_LT(Cmp("a", "z", raw, raw), 0);
  EXPECT_EQ(Cmp("HELLO", "hello", raw, kEncodingUTF8), 0);
  EXPECT_NE(Cmp("\xE9", "\xC9", raw, raw), 0);  // only a-z fold here
  // Unequal lengths: Mac OS Roman upper case, signed bytes, prefix is the lesser.
  EXPECT_EQ(Cmp("\x8A", "\x80x", raw, raw), -1);  // a-diaeresis = A-diaeresis
  EXPECT_EQ(Cmp("\x8A" "x", "\x80", raw, raw), 1);
  EXPECT_EQ(Cmp("\x80", "Ab", raw, raw), -1);     // 0x80 is negative as a signed byte
  EXPECT_EQ(Cmp("abc", "AB", raw, raw), 1);
  EXPECT_EQ(Cmp("b", "AB", raw, raw), 1);
  for (int c = 0; c < 128; c++)
    EXPECT_EQ(mvstr::kByteUpper[c], c >= 'a' && c <= 'z' ? c - 32 : c) << c;
  for (auto [small, capital] : {std::pair<int, int>{0x87, 0xE7}, {0x96, 0x84}, {0x9F, 0x86},
                                {0xBE, 0xAE}, {0xBF, 0xAF}, {0xCF, 0xCE}, {0xD8, 0xD9}}) {
    EXPECT_EQ(mvstr::kByteUpper[small], capital);
    EXPECT_EQ(mvstr::kByteUpper[capital], capital);
  }
  EXPECT_EQ(mvstr::kByteUpper[0xA7], 0xA7);  // sharp s has no capital
  EXPECT_EQ(mvstr::kByteUpper[0xFF], 0xFF);
}

int32_t InStr(int32_t start, const std::string& src, const std::string& find,
              uint32_t enc = kEncodingUTF8) {
  return StringInStr(start, Owned(src, enc), Owned(find, enc));
}

TEST(StringInStr, TextSearchIgnoresCase) {
  EXPECT_EQ(InStr(0, "Hello World", "o w"), 5);
  EXPECT_EQ(StringInStr(0, Owned(std::string("abc"), kEncodingUTF8), nullptr), 0);
  EXPECT_EQ(StringInStr(1, Owned(std::string("abc"), kEncodingUTF8), nullptr), 1);
  EXPECT_EQ(StringInStr(7, Owned(std::string("abc"), kEncodingUTF8), nullptr), 7);
  EXPECT_EQ(StringInStr(0, nullptr, Owned(std::string("a"), kEncodingUTF8)), 0);
  EXPECT_EQ(InStr(0, "abcabc", "BC"), 2);
  EXPECT_EQ(InStr(3, "abcabc", "BC"), 5);
  EXPECT_EQ(InStr(6, "abcabc", "c"), 6);
  EXPECT_EQ(InStr(7, "abcabc", "c"), 0);
  EXPECT_EQ(InStr(INT32_MIN, "abc", "c"), 3);
  EXPECT_EQ(InStr(0, "abc", "abcd"), 0);
  EXPECT_EQ(InStr(0, "abc", "x"), 0);
  // Positions count characters in UTF-8 and units in UTF-16.
  EXPECT_EQ(InStr(0, "\xC3\xA9.\xC3\xA9", "\xC3\x89"), 1);
  EXPECT_EQ(InStr(2, "\xC3\xA9.\xC3\xA9", "\xC3\x89"), 3);
  EXPECT_EQ(InStr(0, std::string("x\0y\0Z\0", 6), std::string("z\0", 2), kEncodingUTF16), 3);
  // Bytes: only a-z fold.
  EXPECT_EQ(InStr(0, "HELLO", "ell", kEncodingUnknown), 2);
  EXPECT_EQ(InStr(0, "\xE9", "\xC9", kEncodingUnknown), 0);
  // Mixed tags are reconciled: ASCII and UTF-8 meet as UTF-8.
  EXPECT_EQ(StringInStr(0, Owned(std::string("d\xC3\xA9j\xC3\xA0 vu"), kEncodingUTF8),
                        Owned(std::string("VU"), kEncodingASCII)),
            6);
}

int32_t InStrB(int32_t start, const std::string& src, const std::string& find) {
  return StringInStrB(start, Owned(src, kEncodingUnknown), Owned(find, kEncodingUnknown));
}

TEST(StringInStrB, ExactByteSearch) {
  EXPECT_EQ(InStrB(0, "Hello", "l"), 3);
  EXPECT_EQ(InStrB(0, "Hello", "L"), 0);
  EXPECT_EQ(InStrB(4, "Hello", "l"), 4);
  EXPECT_EQ(InStrB(5, "Hello", "l"), 0);
  EXPECT_EQ(InStrB(6, "Hello", "o"), 0);
  EXPECT_EQ(InStrB(-3, "Hello", "H"), 1);
  EXPECT_EQ(StringInStrB(2, Owned(std::string("ab"), kEncodingASCII), nullptr), 2);
  EXPECT_EQ(StringInStrB(2, nullptr, nullptr), 0);
  EXPECT_EQ(InStrB(0, std::string("a\0b\0c", 5), std::string("\0c", 2)), 4);
  // Tags are not reconciled: UTF-16 'a' is found as bytes.
  EXPECT_EQ(StringInStrB(0, Owned(std::string("xa\0", 3), kEncodingUTF16),
                         Owned(std::string("a"), kEncodingUTF8)),
            2);
}

TEST(StringInStrB, BoyerMoorePathOnlyForLongSearches) {
  std::string hay(200, 'a');
  hay.replace(150, 6, "needle");
  uint32_t before = mvstr::BoyerMooreSearches();
  EXPECT_EQ(InStrB(0, hay, "need"), 151);  // 4 bytes: one by one
  EXPECT_EQ(mvstr::BoyerMooreSearches(), before);
  EXPECT_EQ(InStrB(0, std::string(79, 'a') + "needle", "needle"), 80);  // 80 candidates
  EXPECT_EQ(mvstr::BoyerMooreSearches(), before);
  EXPECT_EQ(InStrB(0, hay, "needle"), 151);
  EXPECT_EQ(mvstr::BoyerMooreSearches(), before + 1);
  EXPECT_EQ(InStrB(0, std::string(80, 'a') + "needle", "needle"), 81);  // 81 candidates
  EXPECT_EQ(mvstr::BoyerMooreSearches(), before + 2);
  EXPECT_EQ(InStrB(152, hay, "needle"), 0);
  EXPECT_EQ(InStrB(0, hay, "needlf"), 0);
}

TEST(StringInStrB, BothPathsAgreeOnRandomInput) {
  std::mt19937 rng(12345);
  auto randomText = [&](size_t n, int alphabet) {
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>('a' + rng() % alphabet);
    return s;
  };
  for (int round = 0; round < 3000; round++) {
    int alphabet = 1 + rng() % 4;
    std::string hay = randomText(1 + rng() % 400, alphabet);
    std::string find = (rng() % 2 && hay.size() > 8)
                           ? hay.substr(rng() % (hay.size() - 8), 5 + rng() % 4)
                           : randomText(1 + rng() % 12, alphabet);
    uint32_t from = rng() % (hay.size() + 2);
    size_t expect = hay.find(find, from);
    int64_t want = expect == std::string::npos ? -1 : int64_t(expect);
    auto* h = reinterpret_cast<const uint8_t*>(hay.data());
    auto* f = reinterpret_cast<const uint8_t*>(find.data());
    uint32_t hl = static_cast<uint32_t>(hay.size()), fl = static_cast<uint32_t>(find.size());
    ASSERT_EQ(mvstr::FindBytesSimple(h, hl, f, fl, from), want) << hay << " / " << find;
    ASSERT_EQ(mvstr::FindBytesBoyerMoore(h, hl, f, fl, from), want) << hay << " / " << find;
    ASSERT_EQ(InStrB(static_cast<int32_t>(from) + 1, hay, find), static_cast<int32_t>(want + 1));
  }
}

}  // namespace
