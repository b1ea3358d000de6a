#include "scripts/script_texts.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

namespace {

std::string read_file(const char* path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in.good()) << path;
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(ScriptTexts, PreflightEqualsItsFile) {
  EXPECT_EQ(velto::preflight_script_text(), read_file(VELTO_PREFLIGHT_SCRIPT_PATH));
}

TEST(ScriptTexts, PrivilegedInstallEqualsItsFile) {
  EXPECT_EQ(velto::privileged_install_script_text(), read_file(VELTO_PRIVILEGED_SCRIPT_PATH));
}

// Each text travels as one element of an argument vector, which ends at the first NUL.
TEST(ScriptTexts, NeitherTextContainsNul) {
  EXPECT_EQ(velto::preflight_script_text().find('\0'), std::string_view::npos);
  EXPECT_EQ(velto::privileged_install_script_text().find('\0'), std::string_view::npos);
}

}  // namespace
