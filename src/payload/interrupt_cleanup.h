// What an interrupted program leaves behind: nothing of its own. The staging directory is made,
// filled and removed through the one registration kept here, and TERM, INT or HUP (logout,
// Ctrl-C, kill) removes the package file and its directory before the process ends by that very
// signal.
//
// A handler may run on any thread, also while the staging thread is in the middle of a step. So
// each step that creates or removes something runs whole on one side of the handler's removal:
// the staging thread blocks the three signals for the step (a handler can then only run on
// another thread, and waits for the step to finish), and once a handler has decided that the
// process ends, no step creates anything any more.
#pragma once

#include <sys/types.h>

#include <string_view>

namespace velto {

// The registration of the one staging directory a signal would clean up, and the owner of that
// directory: dropping it removes the package file, then the directory, ignoring errors (a
// directory into which someone else put a file stays). Move-only.
class InterruptCleanup {
 public:
  InterruptCleanup() noexcept = default;
  InterruptCleanup(InterruptCleanup&& other) noexcept : armed_(other.armed_), error_(other.error_) {
    other.armed_ = false;
  }
  InterruptCleanup& operator=(InterruptCleanup&& other) noexcept;
  InterruptCleanup(const InterruptCleanup&) = delete;
  InterruptCleanup& operator=(const InterruptCleanup&) = delete;
  ~InterruptCleanup() { remove(); }

  // Registers `directory` and `file` (inside it) and makes the directory with mode 0700, in one
  // step. Empty when that fails, with error() saying why: EBUSY when a registration is already
  // held in this process (one staging at a time), ENAMETOOLONG when a path is too long to keep,
  // ECANCELED when a signal is ending the process, or mkdir's own errno.
  static InterruptCleanup make_directory(std::string_view directory,
                                         std::string_view file) noexcept;

  explicit operator bool() const noexcept { return armed_; }
  int error() const noexcept { return error_; }

  // Opens the registered file, as open(2) with `flags` and `mode`; -1 with errno set on failure
  // (ECANCELED when a signal is ending the process).
  int open_file(int flags, mode_t mode) noexcept;
  // Removes the file, then the directory, and clears the registration. Nothing when empty.
  void remove() noexcept;

 private:
  bool armed_ = false;
  int error_ = 0;
};

// Whether a handler has taken the registration to end the process: from then on staging's steps
// are refused, and the process ends as soon as that handler returns.
bool interrupt_is_ending_the_process() noexcept;

// Has TERM, INT and HUP remove what is registered, then end the process by the same signal, as
// if no handler had been there. A signal that this process was started with ignored (nohup)
// stays ignored. Call once at start-up, before any other thread exists.
void install_interrupt_cleanup() noexcept;

}  // namespace velto
