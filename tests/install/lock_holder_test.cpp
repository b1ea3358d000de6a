#include "install/lock_holder.h"

#include <gtest/gtest.h>

#include <optional>
#include <string_view>

namespace velto {
namespace {

// Device numbers in /proc/locks are hexadecimal, as on NVMe (103:02 is 259:2) and device-mapper
// (fd:01 is 253:1) disks; the inode is decimal. Waiting locks ("->") and open-file-description
// locks (no process) hold nothing.
TEST(LockTable, NamesTheHolderOfTheEarliestLockedFile) {
  const std::string_view table =
      "1: POSIX  ADVISORY  WRITE 4321 103:02:1234 0 EOF\n"
      "1: -> POSIX  ADVISORY  WRITE 77 fd:01:555 0 EOF\n"
      "2: OFDLCK ADVISORY  WRITE -1 fd:01:555 0 EOF\n"
      "3: FLOCK  ADVISORY  WRITE 99 fd:01:4096 0 EOF\n";
  const FileId nvme{259, 2, 1234}, mapped{253, 1, 4096}, waited_for{253, 1, 555};
  EXPECT_EQ(holder_in_table(table, {std::nullopt, nvme}).value().pid, 4321);
  EXPECT_EQ(holder_in_table(table, {mapped, nvme}).value().index, 0u);
  EXPECT_FALSE(holder_in_table(table, {waited_for, FileId{103, 2, 1234}}));
}

}  // namespace
}  // namespace velto
