// How a child process ended, as a value, and in words.
#pragma once

#include <sys/types.h>

#include <string>

namespace velto {

// How a child ended. A child killed by a signal never reads as an exit code, so "exited 0" means
// exactly a normal exit with status 0.
class ChildEnd {
 public:
  enum class Kind { not_run, signalled, exited };

  // The process could not be created, the program could not be executed, or waiting failed, for
  // the reason `error` (an errno value; 0 when none is known).
  static constexpr ChildEnd not_run(int error = 0) noexcept {
    return ChildEnd{Kind::not_run, error};
  }
  static constexpr ChildEnd signalled(int signal) noexcept {
    return ChildEnd{Kind::signalled, signal};
  }
  static constexpr ChildEnd exited(int code) noexcept { return ChildEnd{Kind::exited, code}; }

  constexpr Kind kind() const noexcept { return kind_; }
  // The exit code (0 to 255) for `exited`, the signal number for `signalled`, the errno value
  // for `not_run`.
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

// How a child ended, as words that follow the program's name: "could not be run: No such file or
// directory" (or only "could not be run" when the reason is not known), "ended with exit status
// 2", "was ended by signal 9 (SIGKILL)".
std::string describe_end(ChildEnd end);

// The end that a wait status from waitpid() tells.
ChildEnd end_of_wait_status(int status) noexcept;

// Waits for `pid` without limit. Once spawned, a child is always waited for here, so it is never
// left unreaped.
ChildEnd wait_for_child(pid_t pid) noexcept;

}  // namespace velto
