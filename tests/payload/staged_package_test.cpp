#include "payload/staged_package.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "staged_package_fixture.h"

namespace velto::testing {
namespace {

namespace fs = std::filesystem;

TEST_F(StagedPackageTest, OnlyOneIsStagedAtATime) {
  StagedPackage first = stage("first");
  ASSERT_TRUE(first);
  // Only one staged directory can be removed by an interrupting signal, so no second one is made.
  const StagedPackage second = stage("second");
  ASSERT_FALSE(second);
  EXPECT_EQ(second.error(), EBUSY);
  EXPECT_EQ(entries().size(), 1u);
  first.remove();
  EXPECT_TRUE(stage("second"));
  EXPECT_TRUE(entries().empty());
}

TEST_F(StagedPackageTest, ADropRemovesTheFileThenTheDirectoryUnlessItHoldsSomethingElse) {
  StagedPackage staged = stage();
  ASSERT_TRUE(staged);
  EXPECT_EQ(staged.package_path(), staged.directory() + "/velto.deb");
  const std::string dir = staged.directory();
  const std::string package = staged.package_path();
  std::ofstream(dir + "/foreign") << "x";
  staged.remove();
  EXPECT_FALSE(fs::exists(package));
  EXPECT_TRUE(fs::exists(dir + "/foreign"));
  EXPECT_EQ(staged.directory(), "");
}

TEST_F(StagedPackageTest, OnlyTheLastOwnerRemoves) {
  StagedPackage staged = stage();
  ASSERT_TRUE(staged);
  const std::string package = staged.package_path();
  StagedPackage moved = std::move(staged);
  staged.remove();
  EXPECT_TRUE(fs::exists(package));
  {
    StagedPackage last = std::move(moved);
    EXPECT_EQ(last.package_path(), package);
  }
  EXPECT_FALSE(fs::exists(package));
  EXPECT_TRUE(entries().empty());
}

}  // namespace
}  // namespace velto::testing
