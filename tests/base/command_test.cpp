#include "base/command.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <iterator>

#include "base/fd.h"
#include "shell_command.h"

namespace velto {
namespace {

namespace fs = std::filesystem;
using testing::kNoLimit;
using testing::shell;

std::size_t open_descriptors() {
  return static_cast<std::size_t>(
      std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator{}));
}

TEST(ChildProcess, ProgramsThatCannotRunAreNotRun) {
  // Each with its reason.
  EXPECT_EQ(Command("/no/such/program", {}).run(), ChildEnd::not_run(ENOENT));
  EXPECT_EQ(Command("/", {}).run(), ChildEnd::not_run(EACCES)) << "a directory";
  EXPECT_EQ(Command("/etc/passwd", {}).run(), ChildEnd::not_run(EACCES)) << "not executable";
  // A bare name is never looked up in PATH, even though /bin/sh and /usr/bin/true exist.
  EXPECT_EQ(Command("sh", {"-c", "exit 0"}).run(), ChildEnd::not_run(EINVAL));
  EXPECT_EQ(Command("true", {}).run(), ChildEnd::not_run(EINVAL));
  EXPECT_EQ(Command("", {}).run(), ChildEnd::not_run(EINVAL));
}

TEST(ChildProcess, AnExecutableTextWithoutInterpreterLineIsNeverGivenToAShell) {
  char path[] = "/tmp/velto-child-test.XXXXXX";
  Fd file{::mkstemp(path)};
  ASSERT_TRUE(file);
  const std::string text = "exit 42\n";
  ASSERT_EQ(::write(file.get(), text.data(), text.size()), static_cast<ssize_t>(text.size()));
  file.reset();
  ASSERT_EQ(::chmod(path, 0755), 0);
  const ChildEnd end = Command(path, {}).run();
  ::unlink(path);
  EXPECT_EQ(end, ChildEnd::not_run(ENOEXEC));
}

TEST(ChildProcess, ArgumentsArriveOneForOneAndUnparsed) {
  const Command command = shell(
      R"sh(test "$#" = 4 && test "$0" = sh && test "$1" = "" && test "$2" = "a  b" &&
         test "$3" = '$HOME "q" `x`' && test "$4" = "-x")sh",
      {"", "a  b", "$HOME \"q\" `x`", "-x"});
  EXPECT_EQ(command.run(), ChildEnd::exited(0));
  EXPECT_EQ(command.argv().front(), "/bin/sh");
  EXPECT_EQ(command.argv().size(), 8u);
}

TEST(ChildProcess, StandardStreamsAreTheNullDevice) {
  EXPECT_EQ(shell(R"sh(for fd in 0 1 2; do
                       test "$(readlink /proc/$$/fd/$fd)" = /dev/null || exit 1
                     done)sh")
                .run(),
            ChildEnd::exited(0));
}

TEST(ChildProcess, OnlyTheThreeStandardDescriptorsAreInherited) {
  // A descriptor deliberately left open across exec must still not reach the child.
  Fd inheritable{::open("/dev/null", O_RDONLY)};
  ASSERT_TRUE(inheritable);
  const std::string fd = std::to_string(inheritable.get());
  EXPECT_EQ(shell("test ! -e /proc/$$/fd/" + fd).run(), ChildEnd::exited(0));
}

TEST(ChildProcess, EnvironmentAsItIsWhenTheChildStartsAndWorkingDirectory) {
  const Command inherits =
      shell(R"sh(test "$VELTO_CHILD_TEST" = "set after the command was made")sh");
  const Command overlaid = shell(
      R"sh(test "$VELTO_CHILD_TEST" = given && test "$VELTO_OTHER" = kept && test "$LANG" = "tr_TR.$(printf '\377')")sh",
      {}, {"VELTO_CHILD_TEST=given", "LANG=tr_TR.\xff"});
  ::setenv("VELTO_CHILD_TEST", "set after the command was made", 1);
  ::setenv("VELTO_OTHER", "kept", 1);
  EXPECT_EQ(inherits.run(), ChildEnd::exited(0));
  EXPECT_EQ(overlaid.run(), ChildEnd::exited(0));
  ::unsetenv("VELTO_CHILD_TEST");
  EXPECT_EQ(inherits.run(), ChildEnd::exited(1)) << "an environment kept from an earlier start";
  ::unsetenv("VELTO_OTHER");
  const std::string cwd = fs::current_path().string();
  EXPECT_EQ(shell(R"sh(test "$(pwd -P)" = "$1")sh", {cwd}).run(), ChildEnd::exited(0));
}

TEST(ChildProcess, AMovedCommandStillRunsAndNothingLeaks) {
  const std::size_t before = open_descriptors();
  Command original = shell(R"sh(test "$1" = moved)sh", {"moved"});
  Command moved = std::move(original);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(moved.run(), ChildEnd::exited(0));
  EXPECT_EQ(open_descriptors(), before);
}

TEST(CapturingOutput, KeepsStandardOutputDropsStandardErrorAndReportsTheEnd) {
  const CapturedRun run =
      shell("printf 'velto\\n'; echo noise >&2; exit 3").run_capturing_output(kNoLimit);
  EXPECT_EQ(run.end, ChildEnd::exited(3));
  EXPECT_EQ(run.output, "velto\n");
  EXPECT_EQ(shell("read -r line").run_capturing_output(kNoLimit).end, ChildEnd::exited(1))
      << "standard input must be at its end at once";
}

TEST(CapturingOutput, BothPipesFullAtOnceDoNotStall) {
  // A megabyte on each stream, interleaved: reading only one pipe at a time would deadlock.
  const CapturedRun run = shell(
                              "i=0; while [ $i -lt 64 ]; do head -c 16384 /dev/zero | tr '\\0' o; "
                              "head -c 16384 /dev/zero >&2; i=$((i+1)); done")
                              .run_capturing_output(kNoLimit);
  EXPECT_EQ(run.end, ChildEnd::exited(0));
  EXPECT_EQ(run.output, std::string(64 * 16384, 'o'));
}

TEST(CapturingOutput, SignalsMissingProgramsAndDescriptors) {
  const std::size_t before = open_descriptors();
  EXPECT_EQ(shell("echo partial; kill -KILL $$").run_capturing_output(kNoLimit).end,
            ChildEnd::signalled(SIGKILL));
  const CapturedRun missing = Command("/no/such/program", {}).run_capturing_output(kNoLimit);
  EXPECT_EQ(missing.end, ChildEnd::not_run(ENOENT));
  EXPECT_EQ(missing.output, "");
  EXPECT_EQ(Command("dpkg-deb", {"--version"}).run_capturing_output(kNoLimit).end,
            ChildEnd::not_run(EINVAL));
  // ls lists the shell's descriptors from outside, so its own listing handle does not show.
  EXPECT_EQ(shell("/bin/ls /proc/$$/fd").run_capturing_output(kNoLimit).output, "0\n1\n2\n");
  EXPECT_EQ(open_descriptors(), before);
}

TEST(CapturingOutput, PastTheLimitTheChildIsStoppedAndTheRunMarked) {
  const CapturedRun exact = shell("printf 12345678").run_capturing_output(8);
  EXPECT_EQ(exact.end, ChildEnd::exited(0));
  EXPECT_FALSE(exact.overflowed);
  EXPECT_EQ(exact.output, "12345678");
  // The same edge over many reads, at the field reader's 1048576 bytes; a byte more overflows.
  const std::string zeros = "head -c $1 /dev/zero";
  const CapturedRun whole = shell(zeros, {"1048576"}).run_capturing_output(1048576);
  EXPECT_FALSE(whole.overflowed);
  EXPECT_EQ(whole.output, std::string(1048576, '\0'));
  EXPECT_TRUE(shell("printf 123456789").run_capturing_output(8).overflowed);
  EXPECT_TRUE(shell(zeros, {"1048577"}).run_capturing_output(1048576).overflowed);
  // A child that never stops printing would never end on its own.
  const CapturedRun endless = shell("exec yes velto").run_capturing_output(65536);
  EXPECT_TRUE(endless.overflowed);
  EXPECT_EQ(endless.end, ChildEnd::signalled(SIGKILL));
  EXPECT_LE(endless.output.size(), 65536u);
}

}  // namespace
}  // namespace velto
