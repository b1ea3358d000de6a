// A worker thread sends and releases its end while the main thread polls, as in a real run. Built
// once plainly and once under ThreadSanitizer, which fails the test on any data race.
#include <gtest/gtest.h>

#include <thread>
#include <utility>
#include <variant>

#include "install/progress_channel.h"

namespace velto {
namespace {

TEST(ProgressChannelRace, TheEventAlwaysArrivesBeforeTheDisconnection) {
  constexpr int kRuns = 2000;
  for (int run = 0; run < kRuns; ++run) {
    auto [sender, receiver] = make_progress_channel();
    std::thread worker([worker_end = std::move(sender)]() mutable {
      worker_end.send(ProgressEvent::report("linuxSetupRestartBusy"));
      // Released here, racing the receiver's polls.
    });
    TryReceiveResult result = receiver.try_receive();
    while (std::holds_alternative<ChannelEmpty>(result)) result = receiver.try_receive();
    worker.join();
    const auto* event = std::get_if<ProgressEvent>(&result);
    ASSERT_NE(event, nullptr) << "run " << run << " saw the disconnection before its event";
    ASSERT_STREQ(event->key(), "linuxSetupRestartBusy");
    ASSERT_TRUE(std::holds_alternative<ChannelDisconnected>(receiver.try_receive()));
  }
}

TEST(ProgressChannelRace, SendRacingTheReceiverRelease) {
  constexpr int kRuns = 2000;
  for (int run = 0; run < kRuns; ++run) {
    auto [sender, receiver] = make_progress_channel();
    std::thread worker([worker_end = std::move(sender)]() mutable {
      worker_end.send(ProgressEvent::completed());  // may fail; must not race
    });
    (void)receiver.try_receive();
    { ProgressReceiver released = std::move(receiver); }
    worker.join();
  }
}

}  // namespace
}  // namespace velto
