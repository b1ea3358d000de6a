#include "install/progress_channel.h"

#include <gtest/gtest.h>

#include <utility>
#include <variant>

namespace velto {
namespace {

// The event a try-receive gave, or a failure naming what came instead.
ProgressEvent expect_event(const TryReceiveResult& result) {
  if (const auto* event = std::get_if<ProgressEvent>(&result)) return *event;
  ADD_FAILURE() << (std::holds_alternative<ChannelEmpty>(result) ? "empty" : "disconnected")
                << " where an event was expected";
  return ProgressEvent::completed();
}

TEST(ProgressEvent, CompletedAndReportAreDistinctValues) {
  constexpr auto completed = ProgressEvent::completed();
  constexpr auto report = ProgressEvent::report("linuxSetupFailed");
  static_assert(completed.is_completed() && !report.is_completed());
  EXPECT_STREQ(report.key(), "linuxSetupFailed");
  EXPECT_EQ(completed.key(), nullptr);
  EXPECT_NE(completed, report);
}

TEST(ProgressChannel, EmptyWhileTheSenderLives) {
  auto [sender, receiver] = make_progress_channel();
  EXPECT_TRUE(std::holds_alternative<ChannelEmpty>(receiver.try_receive()));
  EXPECT_TRUE(std::holds_alternative<ChannelEmpty>(receiver.try_receive()));
}

TEST(ProgressChannel, EventSentThenSenderReleasedIsDeliveredBeforeTheDisconnection) {
  auto [sender, receiver] = make_progress_channel();
  {
    ProgressSender worker_end = std::move(sender);
    EXPECT_TRUE(worker_end.send(ProgressEvent::report("linuxSetupPrepareBusy")));
  }
  EXPECT_STREQ(expect_event(receiver.try_receive()).key(), "linuxSetupPrepareBusy");
  EXPECT_TRUE(std::holds_alternative<ChannelDisconnected>(receiver.try_receive()));
  EXPECT_TRUE(std::holds_alternative<ChannelDisconnected>(receiver.try_receive()));
}

TEST(ProgressChannel, SenderReleasedWithoutSendingReadsAsDisconnected) {
  auto [sender, receiver] = make_progress_channel();
  { ProgressSender released = std::move(sender); }
  EXPECT_TRUE(std::holds_alternative<ChannelDisconnected>(receiver.try_receive()));
}

TEST(ProgressChannel, MovingTheSenderDoesNotDisconnect) {
  auto [sender, receiver] = make_progress_channel();
  ProgressSender first = std::move(sender);
  ProgressSender second = std::move(first);
  first = std::move(second);  // the moved-from ends are released on the way; the live one is not
  EXPECT_TRUE(std::holds_alternative<ChannelEmpty>(receiver.try_receive()));
  EXPECT_TRUE(first.send(ProgressEvent::completed()));
  EXPECT_TRUE(expect_event(receiver.try_receive()).is_completed());
}

TEST(ProgressChannel, DeliversInOrderWithoutBound) {
  auto [sender, receiver] = make_progress_channel();
  static const char* const kKeys[] = {"a", "b", "c"};
  constexpr int kRounds = 10000;
  for (int i = 0; i < kRounds; ++i) ASSERT_TRUE(sender.send(ProgressEvent::report(kKeys[i % 3])));
  for (int i = 0; i < kRounds; ++i) {
    ASSERT_EQ(expect_event(receiver.try_receive()).key(), kKeys[i % 3]) << "at " << i;
  }
  EXPECT_TRUE(std::holds_alternative<ChannelEmpty>(receiver.try_receive()));
}

TEST(ProgressChannel, SendAfterTheReceiverIsGoneFails) {
  auto [sender, receiver] = make_progress_channel();
  { ProgressReceiver released = std::move(receiver); }
  EXPECT_FALSE(sender.send(ProgressEvent::completed()));
  EXPECT_FALSE(sender.send(ProgressEvent::report("linuxSetupFailed")));
}

TEST(ProgressChannel, ReceiverReleasedWithAnEventStillQueued) {
  // The worker may send just as the window goes away; nothing may leak or crash.
  auto [sender, receiver] = make_progress_channel();
  ASSERT_TRUE(sender.send(ProgressEvent::completed()));
  { ProgressReceiver released = std::move(receiver); }
  EXPECT_FALSE(sender.send(ProgressEvent::completed()));
}

}  // namespace
}  // namespace velto
