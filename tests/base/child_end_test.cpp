#include "base/child_end.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>

#include "shell_command.h"

namespace velto {
namespace {

using testing::shell;

TEST(ChildProcess, ExitCodesAreKeptWhole) {
  EXPECT_EQ(shell("exit 0").run(), ChildEnd::exited(0));
  EXPECT_EQ(shell("exit 21").run(), ChildEnd::exited(21));
  EXPECT_EQ(shell("exit 255").run(), ChildEnd::exited(255));
}

TEST(ChildProcess, ASignalIsNeverAnExitCode) {
  const ChildEnd killed = shell("kill -KILL $$").run();
  EXPECT_EQ(killed, ChildEnd::signalled(SIGKILL));
  EXPECT_FALSE(killed.exited_with(0));
  EXPECT_FALSE(killed.exited_with(SIGKILL));
  EXPECT_EQ(shell("kill -TERM $$").run(), ChildEnd::signalled(SIGTERM));
}

TEST(DescribeEnd, NamesEachWayAChildEnds) {
  EXPECT_EQ(describe_end(ChildEnd::not_run(ENOENT)), "could not be run: No such file or directory");
  EXPECT_EQ(describe_end(ChildEnd::not_run(EACCES)), "could not be run: Permission denied");
  EXPECT_EQ(describe_end(ChildEnd::not_run()), "could not be run");
  EXPECT_EQ(describe_end(ChildEnd::exited(126)), "ended with exit status 126");
  EXPECT_EQ(describe_end(ChildEnd::signalled(SIGKILL)), "was ended by signal 9 (SIGKILL)");
}

}  // namespace
}  // namespace velto
