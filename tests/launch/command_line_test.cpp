#include "launch/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velto {
namespace {

bool check_mode_for(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  return wants_check_mode(static_cast<int>(args.size()), argv.data());
}

TEST(CheckModeScan, MatchesOnlyTheExactWordAnywhereIncludingTheProgramName) {
  EXPECT_TRUE(check_mode_for({"velto-linux-setup", "--check"}));
  EXPECT_TRUE(check_mode_for({"velto-linux-setup", "a", "--check", "b"}));
  EXPECT_TRUE(check_mode_for({"--check"}));
  EXPECT_TRUE(check_mode_for({"velto-linux-setup", "\xff\xfe", "--check"}));

  EXPECT_FALSE(check_mode_for({"velto-linux-setup"}));
  for (const char* near_miss : {"--CHECK", "--Check", "--check=1", "--check ", "-check", "check",
                                "--checks", " --check", "--chec"}) {
    EXPECT_FALSE(check_mode_for({"velto-linux-setup", near_miss})) << near_miss;
  }
}

}  // namespace
}  // namespace velto
