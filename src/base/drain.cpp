#include "base/drain.h"

#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

#include "base/io.h"

namespace velto {
namespace {

// A descriptor that becomes readable when the child `pid` ends (Linux 5.3 and later), or none.
// Called through syscall(): the C library's wrapper is newer than the oldest system served.
Fd child_end_descriptor(pid_t pid) noexcept {
#ifdef SYS_pidfd_open
  return Fd{static_cast<int>(::syscall(SYS_pidfd_open, pid, 0))};
#else
  static_cast<void>(pid);
  return Fd{};
#endif
}

// Without such a descriptor, how often to look whether the child has ended while its pipe stays
// open. The outcome then comes at most this much later than the child's end.
constexpr int kLookEveryMilliseconds = 10;

constexpr std::size_t kReadChunk = 64 * 1024;

}  // namespace

ChildWatch::ChildWatch(pid_t pid) noexcept : pid_(pid), ended_(child_end_descriptor(pid)) {}

bool ChildWatch::ended() noexcept {
  if (end_) return true;
  int status = 0;
  const pid_t found = retry_on_eintr([&] { return ::waitpid(pid_, &status, WNOHANG); });
  if (found == 0) return false;
  end_ = found < 0 ? ChildEnd::not_run(errno) : end_of_wait_status(status);
  return true;
}

ChildEnd ChildWatch::wait() noexcept {
  if (!end_) end_ = wait_for_child(pid_);
  return *end_;
}

Drained drain(std::span<const DrainedStream> streams, ChildWatch* child, std::size_t after_end) {
  // The streams, then the child's end descriptor, if there is one.
  std::array<pollfd, kMostDrainedStreams + 1> fds{};
  if (streams.size() > kMostDrainedStreams) return Drained::failed;
  std::size_t open = streams.size();
  for (std::size_t i = 0; i < open; ++i) fds[i] = {streams[i].fd, POLLIN, 0};
  const bool looks = child != nullptr && child->descriptor() < 0;
  const std::size_t polled = open + (child != nullptr && !looks ? 1 : 0);
  if (polled > open) fds[open] = {child->descriptor(), POLLIN, 0};

  char buffer[kReadChunk];
  // Reads once from stream `i`: the bytes read; 0 when none are there for now or the stream has
  // ended; -1 when its sink wants no more or reading failed, with `stop` saying which.
  Drained stop = Drained::to_the_end;
  const auto read_once = [&](std::size_t i, std::size_t most) {
    const ssize_t n =
        retry_on_eintr([&] { return ::read(fds[i].fd, buffer, std::min(sizeof buffer, most)); });
    if (n > 0) {
      if (streams[i].sink.take({buffer, static_cast<std::size_t>(n)})) return n;
      stop = Drained::refused;
      return ssize_t{-1};
    }
    if (n == 0) {
      fds[i].fd = -1;  // its end: poll passes over negative descriptors
      --open;
    } else if (errno != EAGAIN) {
      stop = Drained::failed;
      return ssize_t{-1};
    }
    return ssize_t{0};
  };

  while (open > 0) {
    if (retry_on_eintr(
            [&] { return ::poll(fds.data(), polled, looks ? kLookEveryMilliseconds : -1); }) < 0) {
      return Drained::failed;
    }
    for (std::size_t i = 0; i < streams.size(); ++i) {
      if (fds[i].fd >= 0 && fds[i].revents != 0 && read_once(i, sizeof buffer) < 0) return stop;
    }
    if (child == nullptr || (!looks && fds[polled - 1].revents == 0) || !child->ended()) continue;
    // The child has ended. What it printed just before is still in the pipes: read it without
    // waiting, but only so much, as a process it started may go on writing.
    for (std::size_t i = 0, left = after_end; i < streams.size(); ++i) {
      while (fds[i].fd >= 0 && left > 0) {
        const ssize_t n = read_once(i, left);
        if (n < 0) return stop;
        if (n == 0) break;  // nothing more for now
        left -= static_cast<std::size_t>(n);
      }
    }
    return Drained::child_ended;
  }
  return Drained::to_the_end;
}

}  // namespace velto
