#include "install/installed_version.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "temp_dir.h"

namespace velto {
namespace {

using testing::TempDir;

// Only a regular file is read as dpkg's database: a FIFO there would stall the run for good.
TEST(InstalledVersion, IsReadOnlyFromARegularFile) {
  const TempDir dir;
  const std::string fifo = (dir.path() / "status").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EXIT(
      {
        ::alarm(5);  // a read that waits fails in seconds
        std::exit(installed_version(fifo, "velto") ? 1 : 0);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace velto
