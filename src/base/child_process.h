// Running one external program to its end, the way every command of an installation run is run:
// by absolute path, with an explicit argument vector, the caller's environment (as it is when the
// child starts) and working directory, and standard input on /dev/null. Its output goes to
// /dev/null, or is read: whole, up to a limit (a field reader's answer), or only its end (what an
// installation printed).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/fd.h"
#include "base/output_tail.h"

namespace velto {

// Notes which signals this process was started with ignored (nohup's HUP, a shell's INT and QUIT
// for a background job), so that every child keeps them ignored, as the user asked, while any
// signal this process ignored itself (GLib ignores SIGPIPE) starts at its default in the child.
// SIGCHLD is the exception: started ignored, it is set back to its default here, for this process
// and so for every child, since an ignored SIGCHLD makes the kernel reap children before anyone
// can wait for them. Call it once, first thing in main(): before GTK or GLib can change a
// disposition and before any thread exists. The set is written only by that call and only read
// afterwards, by threads that start later. Without the call (in tests) no signal counts as
// ignored at start.
void record_signals_ignored_at_start() noexcept;

// How a child ended. A child killed by a signal never reads as an exit code, so "exited 0" means
// exactly a normal exit with status 0.
class ChildEnd {
 public:
  enum class Kind { not_run, signalled, exited };

  // The process could not be created, the program could not be executed, or waiting failed.
  static constexpr ChildEnd not_run() noexcept { return ChildEnd{Kind::not_run, 0}; }
  static constexpr ChildEnd signalled(int signal) noexcept {
    return ChildEnd{Kind::signalled, signal};
  }
  static constexpr ChildEnd exited(int code) noexcept { return ChildEnd{Kind::exited, code}; }

  constexpr Kind kind() const noexcept { return kind_; }
  // The exit code (0 to 255) for `exited`, the signal number for `signalled`, 0 for `not_run`.
  constexpr int value() const noexcept { return value_; }
  constexpr bool exited_with(int code) const noexcept {
    return kind_ == Kind::exited && value_ == code;
  }
  friend constexpr bool operator==(ChildEnd, ChildEnd) noexcept = default;

 private:
  constexpr ChildEnd(Kind kind, int value) noexcept : kind_(kind), value_(value) {}
  Kind kind_;
  int value_;
};

// How a child ended, as words that follow the program's name: "could not be run", "ended with
// exit status 2", "was ended by signal 9 (SIGKILL)".
std::string describe_end(ChildEnd end);

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

class Command;

// A child's end together with what it wrote on standard output.
struct CapturedRun {
  ChildEnd end;
  std::string output;
  // More than the caller's limit arrived: the child was killed and reaped, and `output` holds only
  // what came before the limit.
  bool overflowed = false;
};

// "NAME=value" entries that a child gets on top of this process's environment as it is when the
// child starts, each replacing a variable of the same name.
using EnvironmentOverlay = std::vector<std::string>;

// How a child stands to the signals that end this program.
enum class ChildSignals {
  // In this program's process group, so that a terminal's Ctrl-C or hang-up reaches it as it
  // reaches this program, with the dispositions this program was started with.
  shared,
  // For a helper whose answer is read through a pipe and that leaves a temporary directory behind
  // when a signal kills it (dpkg-deb -f unpacks into TMPDIR). It lives for moments and loses
  // nothing by finishing its work, so none of the signals that end this program ends it:
  // - it runs in a process group of its own, which a terminal's Ctrl-C and hang-up do not reach;
  // - it starts with TERM, INT and HUP blocked, and so do the programs it starts (tar): a signal
  //   sent to every process at once (systemd ends a desktop session's scope at logout by sending
  //   TERM to each process in it) stays pending, unacted on, until the helper has ended;
  // - SIGPIPE is ignored: once this program has ended, the helper's next write into the closed
  //   pipe fails with EPIPE instead of killing it, and it ends through its own error path, which
  //   removes what it made.
  // posix_spawn can hand on an ignored signal only by ignoring it here, so starting such a child
  // makes this process ignore SIGPIPE from then on, as GLib does in the window anyway.
  isolated,
};

// One fixed command line, prepared in full when it is made. Running it allocates only for an
// environment overlay (built when the child starts) and never throws: a child whose environment
// cannot be built counts as not run. Moving keeps it valid; copying is not offered.
class Command {
 public:
  // `program` must be an absolute path: it is also the child's argv[0], and no search path is
  // ever consulted. The child's environment is read when it starts, not when the Command is made:
  // what GTK removes from this process once it has used it (a spent start-up id) is not handed on.
  Command(std::string program, std::vector<std::string> arguments, EnvironmentOverlay overlay = {},
          ChildSignals signals = ChildSignals::shared);
  Command(Command&&) noexcept = default;
  Command& operator=(Command&&) noexcept = default;
  Command(const Command&) = delete;
  Command& operator=(const Command&) = delete;

  // The whole argument vector, the program path first.
  const std::vector<std::string>& argv() const noexcept { return argv_; }

  // Starts the program and blocks the calling thread, with no time limit, until it has ended and
  // been reaped. Never two at once from one Command: it is meant for one thread.
  ChildEnd run() const noexcept;

  // Like run(), but standard output and standard error are pipes, read to their end together (so a
  // full pipe on one side cannot stall the other); what arrives on standard error is dropped.
  // At most `limit` bytes of output are kept: past that the child is killed and reaped, and the
  // run is marked overflowed. When reading fails the child is killed, reaped, and the end is
  // not_run.
  CapturedRun run_capturing_output(std::size_t limit) const;

  // Like run(), but standard output and standard error go into one pipe that is read while the
  // child runs, and `printed` keeps the end of what came (see OutputTail), so that the child never
  // waits on a full pipe. The run ends when the child ends, not when the pipe does: a daemon that
  // the child started may hold the pipe open for good. What is in the pipe by then is read without
  // waiting, at most kReadAfterEnd bytes of it, since such a daemon could go on writing, and the
  // pipe is closed.
  ChildEnd run_keeping_output_tail(OutputTail& printed) const noexcept;
  static constexpr std::size_t kReadAfterEnd = 4 * 1024 * 1024;

 private:
  // Starts the child with standard input on /dev/null and output and error on the given
  // descriptors (the null device for -1). Its process id, or -1 when it could not be started.
  pid_t spawn(int output, int error) const noexcept;

  std::vector<std::string> argv_;
  EnvironmentOverlay overlay_;
  ChildSignals signals_;
  // Null-terminated views into argv_, built once. Moving a vector moves its buffer, so these
  // pointers survive a move of the Command.
  std::vector<const char*> argv_ptrs_;
};

}  // namespace velto
