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

}  // namespace detail

ProgressSender::ProgressSender(std::shared_ptr<detail::ChannelState> state) noexcept
    : state_(std::move(state)) {}
ProgressSender::ProgressSender(ProgressSender&&) noexcept = default;
ProgressSender& ProgressSender::operator=(ProgressSender&& other) noexcept {
  if (this != &other) {
    release();
    state_ = std::move(other.state_);
  }
  return *this;
}
ProgressSender::~ProgressSender() { release(); }

void ProgressSender::release() noexcept {
  if (!state_) return;
  {
    std::lock_guard lock(state_->mutex);
    state_->sender_alive = false;
  }
  state_.reset();
}

bool ProgressSender::send(ProgressEvent event) {
  if (!state_) return false;
  std::lock_guard lock(state_->mutex);
  if (!state_->receiver_alive) return false;
  state_->queue.push_back(event);
  return true;
}

ProgressReceiver::ProgressReceiver(std::shared_ptr<detail::ChannelState> state) noexcept
    : state_(std::move(state)) {}
ProgressReceiver::ProgressReceiver(ProgressReceiver&&) noexcept = default;
ProgressReceiver& ProgressReceiver::operator=(ProgressReceiver&& other) noexcept {
  if (this != &other) {
    release();
    state_ = std::move(other.state_);
  }
  return *this;
}
ProgressReceiver::~ProgressReceiver() { release(); }

void ProgressReceiver::release() noexcept {
  if (!state_) return;
  {
    std::lock_guard lock(state_->mutex);
    state_->receiver_alive = false;
    state_->queue.clear();
  }
  state_.reset();
}

TryReceiveResult ProgressReceiver::try_receive() {
  if (!state_) return ChannelDisconnected{};
  std::lock_guard lock(state_->mutex);
  // Values already queued come before the news that the sender is gone.
  if (!state_->queue.empty()) {
    const ProgressEvent event = state_->queue.front();
    state_->queue.pop_front();
    return event;
  }
  if (!state_->sender_alive) return ChannelDisconnected{};
  return ChannelEmpty{};
}

std::pair<ProgressSender, ProgressReceiver> make_progress_channel() {
  auto state = std::make_shared<detail::ChannelState>();
  return {ProgressSender{state}, ProgressReceiver{state}};
}

}  // namespace velto
