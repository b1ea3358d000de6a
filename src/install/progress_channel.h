// The one message of an installation run and the channel that carries it from the worker thread
// to the main thread.
#pragma once

#include <memory>
#include <utility>
#include <variant>

namespace velto {

// Completed, or a Report naming a static text key. It owns nothing, so it crosses threads freely.
class ProgressEvent {
 public:
  static constexpr ProgressEvent completed() noexcept { return ProgressEvent{nullptr}; }
  // `key` must live for the whole program (a string literal).
  static constexpr ProgressEvent report(const char* key) noexcept { return ProgressEvent{key}; }

  constexpr bool is_completed() const noexcept { return key_ == nullptr; }
  // The Report's key; null for Completed.
  constexpr const char* key() const noexcept { return key_; }
  friend constexpr bool operator==(ProgressEvent, ProgressEvent) noexcept = default;

 private:
  constexpr explicit ProgressEvent(const char* key) noexcept : key_(key) {}
  const char* key_;
};

namespace detail {
struct ChannelState;

// One end's share of a channel. Releasing it (destruction, or assignment over it) marks that side
// gone, which is how the other end learns of it.
class ChannelEnd {
 public:
  ChannelEnd(std::shared_ptr<ChannelState> state, bool ChannelState::*alive) noexcept
      : state_(std::move(state)), alive_(alive) {}
  ChannelEnd(ChannelEnd&&) noexcept = default;
  ChannelEnd& operator=(ChannelEnd&& other) noexcept;
  ChannelEnd(const ChannelEnd&) = delete;
  ChannelEnd& operator=(const ChannelEnd&) = delete;
  ~ChannelEnd() { release(); }

  ChannelState* get() const noexcept { return state_.get(); }

 private:
  void release() noexcept;
  std::shared_ptr<ChannelState> state_;
  bool ChannelState::*alive_;
};
}  // namespace detail

// The sending end: movable, not copyable. Releasing it (destruction) disconnects the channel
// once every value already sent has been received.
class ProgressSender {
 public:
  // Queues `event`; never blocks. False when the receiving end has been released.
  bool send(ProgressEvent event);

 private:
  friend std::pair<ProgressSender, class ProgressReceiver> make_progress_channel();
  explicit ProgressSender(detail::ChannelEnd end) noexcept : end_(std::move(end)) {}
  detail::ChannelEnd end_;
};

struct ChannelEmpty {};
struct ChannelDisconnected {};
using TryReceiveResult = std::variant<ProgressEvent, ChannelEmpty, ChannelDisconnected>;

// The receiving end: movable, not copyable.
class ProgressReceiver {
 public:
  // Never waits: the oldest event, or empty while a sender exists, or disconnected.
  TryReceiveResult try_receive();

 private:
  friend std::pair<ProgressSender, ProgressReceiver> make_progress_channel();
  explicit ProgressReceiver(detail::ChannelEnd end) noexcept : end_(std::move(end)) {}
  detail::ChannelEnd end_;
};

// A new unbounded first-in-first-out channel.
std::pair<ProgressSender, ProgressReceiver> make_progress_channel();

}  // namespace velto
