#include "base/diagnostic_line.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

namespace velto {
namespace {

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
