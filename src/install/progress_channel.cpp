#include "install/progress_channel.h"

#include <deque>
#include <mutex>

namespace velto {
namespace detail {

struct ChannelState {
  std::mutex mutex;
  std::deque<ProgressEvent> queue;
  bool sender_alive = true;
  bool receiver_alive = true;
};

ChannelEnd& ChannelEnd::operator=(ChannelEnd&& other) noexcept {
  if (this != &other) {
    release();
    state_ = std::move(other.state_);
    alive_ = other.alive_;
  }
  return *this;
}

void ChannelEnd::release() noexcept {
  if (!state_) return;  // moved from
  {
    std::lock_guard lock(state_->mutex);
    state_.get()->*alive_ = false;
  }
  state_.reset();
}

}  // namespace detail

bool ProgressSender::send(ProgressEvent event) {
  detail::ChannelState* state = end_.get();
  if (state == nullptr) return false;
  std::lock_guard lock(state->mutex);
  if (!state->receiver_alive) return false;
  state->queue.push_back(event);
  return true;
}

TryReceiveResult ProgressReceiver::try_receive() {
  detail::ChannelState* state = end_.get();
  if (state == nullptr) return ChannelDisconnected{};
  std::lock_guard lock(state->mutex);
  // Values already queued come before the news that the sender is gone.
  if (!state->queue.empty()) {
    const ProgressEvent event = state->queue.front();
    state->queue.pop_front();
    return event;
  }
  if (!state->sender_alive) return ChannelDisconnected{};
  return ChannelEmpty{};
}

std::pair<ProgressSender, ProgressReceiver> make_progress_channel() {
  auto state = std::make_shared<detail::ChannelState>();
  return {ProgressSender{detail::ChannelEnd{state, &detail::ChannelState::sender_alive}},
          ProgressReceiver{detail::ChannelEnd{state, &detail::ChannelState::receiver_alive}}};
}

}  // namespace velto
