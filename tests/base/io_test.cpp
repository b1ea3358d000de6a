#include "base/io.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/time.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <thread>

#include "base/fd.h"

namespace velto {
namespace {

struct Pipe {
  Pipe() {
    int fds[2];
    EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    read_end.reset(fds[0]);
    write_end.reset(fds[1]);
  }
  Fd read_end, write_end;
};

// Interrupted by a signal without SA_RESTART every millisecond, and given its bytes in pieces by a
// writer that takes its time, the reads and writes still move every byte, in order.
TEST(Io, InterruptedAndPartialReadsAndWritesMoveEveryByte) {
  struct sigaction tick {};
  tick.sa_handler = [](int) {};
  struct sigaction saved {};
  ASSERT_EQ(::sigaction(SIGALRM, &tick, &saved), 0);
  const itimerval every_millisecond{{0, 1000}, {0, 1000}};
  ::setitimer(ITIMER_REAL, &every_millisecond, nullptr);

  Pipe pipe;
  ::fcntl(pipe.write_end.get(), F_SETPIPE_SZ, 4096);
  std::string sent;
  for (int i = 0; sent.size() < 256 * 1024; ++i) sent += std::to_string(i) + ",";
  std::thread writer([&] {
    EXPECT_TRUE(write_all(pipe.write_end.get(), sent.data(), sent.size()));
    pipe.write_end.reset();
  });
  std::string received(sent.size() + 10, '\0');
  const ssize_t n = read_up_to(pipe.read_end.get(), received.data(), received.size());
  writer.join();

  const itimerval off{};
  ::setitimer(ITIMER_REAL, &off, nullptr);
  ::sigaction(SIGALRM, &saved, nullptr);
  ASSERT_EQ(n, static_cast<ssize_t>(sent.size()));  // up to the end of the file, no further
  received.resize(static_cast<std::size_t>(n));
  EXPECT_EQ(received, sent);
}

TEST(Io, AnExactReadThatMeetsTheEndFailsWithEio) {
  Pipe pipe;
  ASSERT_TRUE(write_all(pipe.write_end.get(), "abc", 3));
  pipe.write_end.reset();
  char buffer[4];
  errno = 0;
  EXPECT_FALSE(read_exact(pipe.read_end.get(), buffer, sizeof buffer));
  EXPECT_EQ(errno, EIO);
}

TEST(Io, ErrnoSaverKeepsTheErrorAcrossCleanUp) {
  errno = ENOSPC;
  {
    const ErrnoSaver saved;
    ::close(-1);  // EBADF
  }
  EXPECT_EQ(errno, ENOSPC);
}

}  // namespace
}  // namespace velto
