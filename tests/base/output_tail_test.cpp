#include "base/output_tail.h"

#include <gtest/gtest.h>

#include <string>

namespace velto {
namespace {

// The same text in pieces of every kind of size, from one that alone passes the limit to a few
// bytes: the tail is always the last kLimit bytes, whatever piece brought them.
TEST(OutputTail, KeepsTheEndWhateverPiecesItArrivesIn) {
  std::string text;
  for (int i = 0; text.size() < 40'000; ++i) text += "apt line " + std::to_string(i) + "\n";
  text += "E: the reason";
  const std::string expected = text.substr(text.size() - OutputTail::kLimit);
  for (const std::size_t piece : {text.size(), OutputTail::kLimit + 1, std::size_t{4096}, 7ul}) {
    SCOPED_TRACE(piece);
    OutputTail tail;
    for (std::size_t at = 0; at < text.size(); at += piece) tail.append(text.substr(at, piece));
    EXPECT_EQ(tail.text(), expected);
    EXPECT_EQ(tail.starts_inside_a_line(), text[text.size() - OutputTail::kLimit - 1] != '\n');
  }
  OutputTail short_one;
  short_one.append("whole\n");
  EXPECT_EQ(short_one.text(), "whole\n");
  EXPECT_FALSE(short_one.starts_inside_a_line());
}

// A cut through a character of three bytes leaves none of its rest at the start.
TEST(OutputTail, NeverStartsWithTheRestOfACharacter) {
  std::string euros;
  while (euros.size() < 2 * OutputTail::kLimit + 2) euros += "\xe2\x82\xac";
  OutputTail tail;
  tail.append(euros);
  EXPECT_EQ(tail.text().size() % 3, 0u);
  EXPECT_TRUE(tail.text().starts_with("\xe2\x82\xac"));
  EXPECT_TRUE(tail.starts_inside_a_line());
}

}  // namespace
}  // namespace velto
