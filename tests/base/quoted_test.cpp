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

}  // namespace
}  // namespace velto
