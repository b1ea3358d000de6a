// The worker thread of a run, without any window: what reaches the channel, what an escaping
// exception does, and what happens when no thread can be created.
#include "install/install_trigger.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <future>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <variant>

namespace velto {
namespace {

using namespace std::chrono_literals;

// Polls as the window's timer does, until something other than empty arrives.
TryReceiveResult wait_for_end(ProgressReceiver& receiver) {
  const auto give_up = std::chrono::steady_clock::now() + 5s;
  TryReceiveResult result = receiver.try_receive();
  while (std::holds_alternative<ChannelEmpty>(result) &&
         std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(1ms);
    result = receiver.try_receive();
  }
  return result;
}

TEST(SpawnWorker, RunsTheBodyOnItsOwnDetachedThreadWithTheSender) {
  auto [sender, receiver] = make_progress_channel();
  std::promise<std::thread::id> ran_on;
  spawn_worker(
      [&ran_on](ProgressSender worker_end) {
        ran_on.set_value(std::this_thread::get_id());
        worker_end.send(ProgressEvent::report("linuxSetupRestartLegacy"));
      },
      std::move(sender));
  const TryReceiveResult result = wait_for_end(receiver);
  ASSERT_TRUE(std::holds_alternative<ProgressEvent>(result));
  EXPECT_STREQ(std::get<ProgressEvent>(result).key(), "linuxSetupRestartLegacy");
  EXPECT_NE(ran_on.get_future().get(), std::this_thread::get_id());
  EXPECT_TRUE(std::holds_alternative<ChannelDisconnected>(receiver.try_receive()));
}

// This process's standard error, redirected into a pipe while it lives. The worker's line may
// come after the channel reads as disconnected: the sender goes as the exception leaves the body,
// before the line is written. So the test reads until the line is there.
class StderrPipe {
 public:
  StderrPipe() {
    int fds[2];
    EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    std::fflush(stderr);
    saved_ = ::dup(2);
    ::dup2(fds[1], 2);
    ::close(fds[1]);
    read_end_ = fds[0];
  }
  StderrPipe(const StderrPipe&) = delete;
  StderrPipe& operator=(const StderrPipe&) = delete;
  ~StderrPipe() {
    std::fflush(stderr);
    ::dup2(saved_, 2);
    ::close(saved_);
    ::close(read_end_);
  }

  // What arrived until a line feed came after `text`, or 5 seconds passed.
  std::string read_until_line_with(std::string_view text) {
    std::string got;
    const auto give_up = std::chrono::steady_clock::now() + 5s;
    while (std::chrono::steady_clock::now() < give_up) {
      const std::size_t at = got.find(text);
      if (at != std::string::npos && got.find('\n', at) != std::string::npos) break;
      pollfd readable{read_end_, POLLIN, 0};
      if (::poll(&readable, 1, 100) <= 0) continue;
      char buffer[512];
      const ssize_t n = ::read(read_end_, buffer, sizeof buffer);
      if (n <= 0) break;
      got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
  }

 private:
  int saved_ = -1;
  int read_end_ = -1;
};

TEST(SpawnWorker, AnEscapingExceptionEndsOnlyTheThreadAndReadsAsDisconnection) {
  auto [sender, receiver] = make_progress_channel();
  StderrPipe diagnostics;
  spawn_worker([](ProgressSender) { throw std::runtime_error("no room in TMPDIR"); },
               std::move(sender));
  EXPECT_TRUE(std::holds_alternative<ChannelDisconnected>(wait_for_end(receiver)));
  const std::string written = diagnostics.read_until_line_with("no room in TMPDIR");
  EXPECT_EQ(written, "velto-linux-setup: the installation worker stopped: no room in TMPDIR\n");
}

// Leaves the process too little address space for another thread's stack.
void exhaust_address_space() {
  long pages = 0;
  std::ifstream("/proc/self/statm") >> pages;
  const rlim_t now = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE));
  const rlimit limit{now + (1u << 20), now + (1u << 20)};
  setrlimit(RLIMIT_AS, &limit);
}

void spawn_without_room() {
  auto channel = make_progress_channel();
  exhaust_address_space();
  spawn_worker([](ProgressSender) {}, std::move(channel.first));
}

TEST(SpawnWorkerDeathTest, NoThreadStopsTheProgramWithTheSystemsReason) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(spawn_without_room(), "^failed to spawn thread: Resource temporarily unavailable");
}

}  // namespace
}  // namespace velto
