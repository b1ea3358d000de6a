#include "base/utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace velto {
namespace {

// Every code point the reader gives, in order.
std::u32string decode_utf8_lossy(std::string_view bytes) {
  std::u32string out;
  for (Utf8Reader reader(bytes); !reader.done();) out.push_back(reader.next());
  return out;
}

TEST(DecodeUtf8Lossy, ReplacesEachMaximalInvalidSubsequence) {
  EXPECT_EQ(decode_utf8_lossy("abc"), U"abc");
  EXPECT_EQ(decode_utf8_lossy("\xc3\xa7"), U"\u00e7");
  EXPECT_EQ(decode_utf8_lossy("\xf0\x9f\x98\x80"), U"\U0001F600");
  EXPECT_EQ(decode_utf8_lossy(std::string_view("a\0b", 3)), std::u32string(U"a\0b", 3));
  EXPECT_EQ(decode_utf8_lossy("\xff"), U"\uFFFD");
  EXPECT_EQ(decode_utf8_lossy("\xc3"), U"\uFFFD");        // truncated at the end
  EXPECT_EQ(decode_utf8_lossy("\xe2\x82x"), U"\uFFFDx");  // one replacement per prefix
  EXPECT_EQ(decode_utf8_lossy("\xed\xa0\x80"), U"\uFFFD\uFFFD\uFFFD");            // surrogates
  EXPECT_EQ(decode_utf8_lossy("\xc0\xaf"), U"\uFFFD\uFFFD");                      // overlong
  EXPECT_EQ(decode_utf8_lossy("\xf4\x90\x80\x80"), U"\uFFFD\uFFFD\uFFFD\uFFFD");  // > U+10FFFF
}

TEST(UnicodeWhiteSpace, IsExactlyTheWhiteSpaceProperty) {
  for (char32_t c : {0x09, 0x0a, 0x0b, 0x0c, 0x0d, 0x20, 0x85, 0xa0, 0x1680, 0x2000, 0x200a, 0x2028,
                     0x2029, 0x202f, 0x205f, 0x3000}) {
    EXPECT_TRUE(is_unicode_white_space(c)) << std::hex << static_cast<unsigned>(c);
  }
  for (char32_t c :
       {0x00, 0x08, 0x0e, 0x1f, 0x21, 0x84, 0x86, 0x180e, 0x200b, 0x200c, 0xfeff, 0xfffd}) {
    EXPECT_FALSE(is_unicode_white_space(c)) << std::hex << static_cast<unsigned>(c);
  }
}

TEST(Quoted, AShortenedValueEndsOnACharacterBoundary) {
  EXPECT_EQ(utf8_prefix("ab\xc3\xbc", 3), "ab");
  EXPECT_EQ(utf8_prefix("ab\xc3\xbc", 4), "ab\xc3\xbc");
  EXPECT_EQ(utf8_prefix("\xf0\x9f\x98\x80z", 3), "");
  EXPECT_EQ(utf8_prefix("\xf0\x9f\x98\x80z", 64), "\xf0\x9f\x98\x80z");
  // Bytes that are not UTF-8 are shown one by one, so any of them can end the value.
  EXPECT_EQ(utf8_prefix("a\xff\xe2\x80", 3), "a\xff\xe2");
}

}  // namespace
}  // namespace velto
