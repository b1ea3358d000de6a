#include "payload/field_value.h"

#include <gtest/gtest.h>

#include <string>

namespace velto {
namespace {

TEST(FieldOutputMatches, TrimsBothEndsOnlyAndComparesExactly) {
  EXPECT_TRUE(field_output_matches("velto\n", "velto"));
  EXPECT_TRUE(field_output_matches("\t velto \r\n", "velto"));
  EXPECT_TRUE(field_output_matches("\xc2\x85velto\xe3\x80\x80", "velto"));
  EXPECT_FALSE(field_output_matches("Velto\n", "velto"));
  EXPECT_FALSE(field_output_matches("vel to\n", "velto"));
  EXPECT_FALSE(field_output_matches("velto\nvelto\n", "velto"));
  EXPECT_FALSE(field_output_matches("velto\xff\n", "velto"));
  EXPECT_FALSE(field_output_matches(std::string_view("velto\0", 6), "velto"));
  EXPECT_FALSE(field_output_matches("\n", "velto"));
  EXPECT_TRUE(field_output_matches("\n", ""));
}

}  // namespace
}  // namespace velto
