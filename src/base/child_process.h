// Running one external program to its end, the way every command of an installation run is run:
// by absolute path, with an explicit argument vector, the caller's environment and working
// directory, and all three standard streams on /dev/null.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace velto {

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

class Command;

// A child's end together with everything it wrote on standard output.
struct CapturedRun {
  ChildEnd end;
  std::string output;
};

// One fixed command line, prepared in full when it is made, so that running it needs no further
// allocation of ours and cannot throw. Moving keeps it valid; copying is not offered.
class Command {
 public:
  // `program` must be an absolute path: it is also the child's argv[0], and no search path is
  // ever consulted. `environment` holds NAME=VALUE entries for the child; without it the child
  // inherits this process's environment as it is when the child starts.
  Command(std::string program, std::vector<std::string> arguments,
          std::optional<std::vector<std::string>> environment = std::nullopt);
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
  // When reading fails the child is killed, reaped, and the end is not_run.
  CapturedRun run_capturing_output() const;

 private:
  // Starts the child with standard input on /dev/null and output and error on the given
  // descriptors (the null device for -1). Its process id, or -1 when it could not be started.
  pid_t spawn(int output, int error) const noexcept;

  std::vector<std::string> argv_;
  std::optional<std::vector<std::string>> environment_;
  // Null-terminated views into argv_ and environment_, built once. Moving a vector moves its
  // buffer, so these pointers survive a move of the Command.
  std::vector<const char*> argv_ptrs_;
  std::vector<const char*> environment_ptrs_;
};

}  // namespace velto
