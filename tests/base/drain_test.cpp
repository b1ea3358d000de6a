#include "base/drain.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <iterator>
#include <string>

#include "base/command.h"
#include "base/fd.h"
#include "shell_command.h"

namespace velto {
namespace {

using testing::shell;

// Has pidfd_open fail from now on in this process, as on a kernel older than 5.3.
bool refuse_pidfd_open() {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_pidfd_open, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  const sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// Where the kernel gives no pidfd, the run still ends with the child although a process it started
// holds the pipe: by looking. (With a pidfd, the sequence's printed-lines case shows the same.)
TEST(KeepingOutputTail, EndsWithTheChildNotWithThePipeWithoutAPidfd) {
  EXPECT_EXIT(
      {
        ::alarm(5);  // a run that waits for the pipe's end fails in seconds
        if (!refuse_pidfd_open()) std::exit(2);
        OutputTail printed;
        const ChildEnd end =
            shell("sleep 30 & echo $!; echo second >&2; exit 3").run_keeping_output_tail(printed);
        const std::string text(printed.text());
        ::kill(std::atoi(text.c_str()), SIGKILL);
        std::exit(end == ChildEnd::exited(3) && text.ends_with("\nsecond\n") ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

// The OutputTail of one run.
class TailSink final : public OutputSink {
 public:
  bool take(std::string_view bytes) noexcept override {
    tail.append(bytes);
    return true;
  }
  OutputTail tail;
};

// What a child printed in the instant before it ended is still in the pipe when its end is seen:
// here more than one read's worth, from a child that has already ended, while a process of its
// keeps the pipe open. It is read after the end, and the last words are kept.
TEST(KeepingOutputTail, TheLastWordsBeforeTheEndAreKept) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
  const Fd read_end{fds[0]};
  const Fd held{fds[1]};
  ASSERT_GE(::fcntl(held.get(), F_SETPIPE_SZ, 256 * 1024), 256 * 1024);
  const std::string printed = std::string(200 * 1024, '.') + "\nE: the last words\n";
  ASSERT_EQ(::write(held.get(), printed.data(), printed.size()),
            static_cast<ssize_t>(printed.size()));
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(3);
  siginfo_t info{};
  ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT), 0);  // not reaped
  ChildWatch child(pid);
  TailSink sink;
  const DrainedStream stream[] = {{read_end.get(), sink}};
  EXPECT_EQ(drain(stream, &child, Command::kReadAfterEnd), Drained::child_ended);
  EXPECT_EQ(child.wait(), ChildEnd::exited(3));
  EXPECT_TRUE(sink.tail.text().ends_with("\nE: the last words\n"));
}

}  // namespace
}  // namespace velto
