#include "base/io.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
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

// A signal without SA_RESTART interrupts a read that waits on an empty pipe, and a write that
// waits on a full one after part of what it was given went in; both go on until every byte moved.
TEST(Io, ReadsAndWritesGoOnAfterASignalInterruptsThem) {
  struct sigaction interrupt {};
  interrupt.sa_handler = [](int) {};
  struct sigaction saved {};
  ASSERT_EQ(::sigaction(SIGUSR1, &interrupt, &saved), 0);
  const auto soon = [] { ::usleep(20'000); };  // long enough for the other side to wait

  Pipe empty;
  const pthread_t reader = ::pthread_self();
  std::thread late_writer([&] {
    soon();
    ::pthread_kill(reader, SIGUSR1);
    soon();
    EXPECT_TRUE(write_all(empty.write_end.get(), "abc", 3));
    empty.write_end.reset();
  });
  char got[8];
  EXPECT_EQ(read_up_to(empty.read_end.get(), got, sizeof got), 3);
  late_writer.join();

  Pipe full;
  ::fcntl(full.write_end.get(), F_SETPIPE_SZ, 4096);
  const std::string sent(3 * 4096, 'x');
  std::thread writer([&] {
    EXPECT_TRUE(write_all(full.write_end.get(), sent.data(), sent.size()));
    full.write_end.reset();
  });
  // The first signal ends the write that filled the pipe, the second interrupts the next one.
  for (int i = 0; i < 2; ++i) {
    soon();
    ::pthread_kill(writer.native_handle(), SIGUSR1);
  }
  std::string received(sent.size() + 1, '\0');
  EXPECT_EQ(read_up_to(full.read_end.get(), received.data(), received.size()),
            static_cast<ssize_t>(sent.size()));
  writer.join();
  ::sigaction(SIGUSR1, &saved, nullptr);
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
