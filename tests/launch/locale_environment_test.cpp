#include "launch/locale_environment.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <optional>
#include <string>
#include <vector>

namespace velto {
namespace {

// Restores the language variables, and TERM, after each test.
class LanguageVariables : public ::testing::Test {
 protected:
  void SetUp() override {
    for (std::size_t i = 0; i < std::size(kNames); ++i) {
      if (const char* value = getenv(kNames[i])) saved_[i] = value;
    }
  }
  void TearDown() override {
    for (std::size_t i = 0; i < std::size(kNames); ++i) {
      if (saved_[i]) {
        setenv(kNames[i], saved_[i]->c_str(), 1);
      } else {
        unsetenv(kNames[i]);
      }
    }
  }
  static constexpr const char* kNames[] = {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG", "TERM"};
  std::optional<std::string> saved_[std::size(kNames)];
};

TEST_F(LanguageVariables, DropsOnlyTheLanguageVariablesThatAreNotUtf8) {
  setenv("LANGUAGE", "tr:en", 1);
  setenv("LC_ALL", "tr_TR.\xff", 1);
  setenv("LC_MESSAGES", "\xc3", 1);
  setenv("LANG", "en_US.UTF-8", 1);
  setenv("TERM", "\xff", 1);  // not a language variable: left alone
  EXPECT_EQ(drop_invalid_language_variables(),
            (std::vector<std::string>{"LC_ALL=tr_TR.\xff", "LC_MESSAGES=\xc3"}))
      << "the dropped entries come back with their bytes, for the child processes";
  EXPECT_STREQ(getenv("LANGUAGE"), "tr:en");
  EXPECT_EQ(getenv("LC_ALL"), nullptr);
  EXPECT_EQ(getenv("LC_MESSAGES"), nullptr);
  EXPECT_STREQ(getenv("LANG"), "en_US.UTF-8");
  EXPECT_STREQ(getenv("TERM"), "\xff");

  setenv("LANGUAGE", "\xfe\xff", 1);
  setenv("LANG", "tr_TR.UTF-8\x80", 1);
  drop_invalid_language_variables();
  EXPECT_EQ(getenv("LANGUAGE"), nullptr);
  EXPECT_EQ(getenv("LANG"), nullptr);
}

}  // namespace
}  // namespace velto
