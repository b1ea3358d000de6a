// Running one external program to its end, the way every command of an installation run is run:
// by absolute path, with an explicit argument vector, the caller's environment (as it is when the
// child starts) and working directory, and standard input on /dev/null. Its output goes to
// /dev/null, or is read: whole, up to a limit (a field reader's answer), or only its end (what an
// installation printed).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

#include "base/child_end.h"
#include "base/output_tail.h"
#include "base/signal_policy.h"

namespace velto {

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
  // descriptors (the null device for -1). Its process id, or, when it could not be started, the
  // reason as a negative errno value.
  pid_t spawn(int output, int error) const noexcept;

  std::vector<std::string> argv_;
  EnvironmentOverlay overlay_;
  ChildSignals signals_;
  // Null-terminated views into argv_, built once. Moving a vector moves its buffer, so these
  // pointers survive a move of the Command.
  std::vector<const char*> argv_ptrs_;
};

}  // namespace velto
