#include "base/quoted.h"

#include <gtest/gtest.h>

#include <regex>

#include "base/diagnostic_line.h"

namespace velto {
namespace {

struct Case {
  const char* text;
  const char* shown;  // what escaped() makes of it
};

// Invalid bytes stay visible as bytes, controls and the code points that reorder or break a line
// become escapes, and everything else a person could read passes unchanged.
TEST(Quoted, EscapesWhatIsNotPlainTextAndKeepsTheRest) {
  const Case cases[] = {
      {"velto 0.1.80", "velto 0.1.80"},
      {"a\"b\\c", "a\\\"b\\\\c"},
      {"\n\t\r\x1b[2J\x7f", "\\x0a\\x09\\x0d\\x1b[2J\\x7f"},
      // C1: U+0080, NEL, the 8-bit CSI and U+009F; U+00A0 just past them is text.
      {"\xc2\x80\xc2\x85\xc2\x9b\xc2\x9f\xc2\xa0", "\\u0080\\u0085\\u009b\\u009f\xc2\xa0"},
      // Bidirectional marks, embeddings, overrides and isolates, and the line separators; their
      // neighbours U+200D, U+202F, U+2065 and U+206A are text.
      {"\xd8\x9c\xe2\x80\x8d\xe2\x80\x8e\xe2\x80\x8f\xe2\x80\xa8\xe2\x80\xae\xe2\x80\xaf",
       "\\u061c\xe2\x80\x8d\\u200e\\u200f\\u2028\\u202e\xe2\x80\xaf"},
      {"\xe2\x81\xa5\xe2\x81\xa6\xe2\x81\xa9\xe2\x81\xaa",
       "\xe2\x81\xa5\\u2066\\u2069\xe2\x81\xaa"},
      {"T\xc3\xbcrk\xc3\xa7"
       "e \xc4\xb1\xc5\x9f \xe2\x82\xac \xf0\x9f\x98\x80 \xf4\x8f\xbf\xbf",
       "T\xc3\xbcrk\xc3\xa7"
       "e \xc4\xb1\xc5\x9f \xe2\x82\xac \xf0\x9f\x98\x80 \xf4\x8f\xbf\xbf"},
      // Not UTF-8: a stray byte, a raw C1 byte, a lone continuation, a sequence cut short, an
      // overlong form, a surrogate, past U+10FFFF, and a bad continuation before valid text.
      {"\xff/tmp", "\\xff/tmp"},
      {"\x9b"
       "1m\x80",
       "\\x9b1m\\x80"},
      {"x\xe2\x80", "x\\xe2\\x80"},
      {"\xc0\xaf\xe0\x80\xaf", "\\xc0\\xaf\\xe0\\x80\\xaf"},
      {"\xed\xa0\x80", "\\xed\\xa0\\x80"},
      {"\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},
      {"\xe2(\xa1\xc3\xbc", "\\xe2(\\xa1\xc3\xbc"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(escaped(c.text), c.shown) << ::testing::PrintToString(c.text);
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

// A line of 8192 bytes with its line feed is written whole; a longer one is cut before a whole
// character and marked. Only a line that bypasses DiagnosticLine can be that long.
TEST(DiagnosticLine, WriteLineCutsPast8KiBOnACharacterAndMarksIt) {
  const std::string fits(8191, 'a');
  std::string umlauts;
  while (umlauts.size() < 8192) umlauts += "\xc3\xbc";
  ::testing::internal::CaptureStderr();
  write_line(fits);
  write_line(fits + "b");
  write_line("h:x" + umlauts);  // odd, so the cut falls inside a character
  EXPECT_EQ(
      ::testing::internal::GetCapturedStderr(),
      fits + "\n" + fits.substr(0, 8186) + "[cut]\nh:x" + umlauts.substr(0, 8182) + "[cut]\n");
}

// A line too long for 8 KiB keeps the program's own words whole; the values from outside give way
// in their middle, in whole escapes and characters, the longest ones to a common share.
TEST(DiagnosticLine, ValuesGiveWayInTheirMiddleAndTheOwnWordsStay) {
  std::string umlauts;
  for (int i = 0; i < 3001; ++i) umlauts += "\xc3\xbc";
  const std::string line = DiagnosticLine("head: ")
                               .quoted("\"" + std::string(3000, '\x01'))
                               .words(" and ")
                               .value("short")
                               .words(" then ")
                               .value(umlauts)
                               .words(": the reason")
                               .text();
  EXPECT_LE(line.size(), 8191u);
  EXPECT_GT(line.size(), 8191u - 12u) << "room left unused";
  EXPECT_TRUE(line.starts_with("head: \"\\\"\\x01")) << line.substr(0, 40);
  EXPECT_TRUE(line.ends_with("\xc3\xbc: the reason")) << line.substr(line.size() - 40);
  const std::string between = "\" and short then ";
  const std::size_t middle = line.find(between);
  ASSERT_NE(middle, std::string::npos);
  const std::string first = line.substr(7, middle - 7);
  const std::size_t second_start = middle + between.size();
  const std::string second = line.substr(second_start, line.size() - 12 - second_start);
  // Each is cut once, between whole escapes or characters: never inside "\x01", "\"" or "ü".
  const std::regex whole("(\\\\x01|\\\\\"|\xc3\xbc)*\\[\xe2\x80\xa6\\](\\\\x01|\\\\\"|\xc3\xbc)*");
  EXPECT_TRUE(std::regex_match(first, whole)) << first;
  EXPECT_TRUE(std::regex_match(second, whole)) << second;
  EXPECT_LE(
      first.size() > second.size() ? first.size() - second.size() : second.size() - first.size(),
      6u);

  // At the edge: 8191 bytes stay whole, one more and the value gives way.
  EXPECT_EQ(DiagnosticLine("a").value(std::string(8190, 'b')).text().size(), 8191u);
  const std::string over = DiagnosticLine("a").value(std::string(8191, 'b')).text();
  EXPECT_TRUE(over.size() <= 8191u && over.find(kOmittedMarker) != std::string::npos);
}

}  // namespace
}  // namespace velto
