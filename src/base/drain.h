// Reading what child processes print while they run, and learning when one ends.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

#include "base/child_end.h"
#include "base/fd.h"

namespace velto {

// Where the bytes that a child prints on one stream go, as they arrive.
class OutputSink {
 public:
  // False once no more are wanted (past a limit): the drain then stops at once.
  virtual bool take(std::string_view bytes) = 0;

 protected:
  ~OutputSink() = default;
};

// One non-blocking read end of a child's pipe, and where its bytes go.
struct DrainedStream {
  int fd;
  OutputSink& sink;
};
inline constexpr std::size_t kMostDrainedStreams = 2;

// Learns when one child ends, without waiting for it: through a descriptor that becomes readable
// then (a pidfd, Linux 5.3 and later), or else by looking.
class ChildWatch {
 public:
  explicit ChildWatch(pid_t pid) noexcept;
  ChildWatch(const ChildWatch&) = delete;
  ChildWatch& operator=(const ChildWatch&) = delete;

  // The descriptor to poll, or -1 where there is none.
  int descriptor() const noexcept { return ended_.get(); }
  // Whether the child has ended, reaping it if so; never waits.
  bool ended() noexcept;
  // How it ended, waiting for that as long as it takes.
  ChildEnd wait() noexcept;

 private:
  pid_t pid_;
  Fd ended_;
  std::optional<ChildEnd> end_;
};

enum class Drained {
  to_the_end,   // every stream reached its end
  refused,      // a sink wanted no more
  child_ended,  // the watched child ended first
  failed,       // waiting or reading failed
};

// The one loop that reads what children print: the streams (at most kMostDrainedStreams) as their
// bytes arrive, so that a full pipe on one cannot stall the other, until each has reached its end.
// With `child`, it also ends once that child has ended, although a process the child started may
// hold a pipe open for good; what the pipes hold by then (the child's last words) is read without
// waiting, at most `after_end` bytes of it, since such a process could go on writing.
Drained drain(std::span<const DrainedStream> streams, ChildWatch* child, std::size_t after_end);

}  // namespace velto
