// The worker thread of a run, without any window: what reaches the channel, what an escaping
// exception does, and what happens when no thread can be created.
#include "install/install_trigger.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <future>
#include <stdexcept>
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

TEST(SpawnWorker, AnEscapingExceptionEndsOnlyTheThreadAndReadsAsDisconnection) {
  auto [sender, receiver] = make_progress_channel();
  ::testing::internal::CaptureStderr();
  spawn_worker([](ProgressSender) { throw std::runtime_error("no room in TMPDIR"); },
               std::move(sender));
  const TryReceiveResult result = wait_for_end(receiver);
  const std::string diagnostics = ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(std::holds_alternative<ChannelDisconnected>(result));
  EXPECT_NE(diagnostics.find("no room in TMPDIR"), std::string::npos) << diagnostics;
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
