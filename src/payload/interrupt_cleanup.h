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

#include "base/fd.h"

namespace velto {

// The registration of the one staging directory a signal would clean up, and the owner of that
// directory: dropping it removes the package file, then the directory, ignoring errors (a
// directory into which someone else put a file stays). Move-only.
//
// For its whole life it holds an exclusive flock() on the directory, which the kernel releases
// when the process ends, however it ends: SIGKILL, the OOM killer or a power cut leave the
// directory behind, but unlocked, and the next start of the program removes it
// (remove_abandoned_stagings() in staging.h) while it leaves a living run's alone.
class InterruptCleanup {
 public:
  InterruptCleanup() noexcept = default;
  InterruptCleanup(InterruptCleanup&& other) noexcept
      : armed_(other.armed_), error_(other.error_), lock_(std::move(other.lock_)) {
    other.armed_ = false;
  }
  InterruptCleanup& operator=(InterruptCleanup&& other) noexcept;
  InterruptCleanup(const InterruptCleanup&) = delete;
  InterruptCleanup& operator=(const InterruptCleanup&) = delete;
  ~InterruptCleanup() { remove(); }

  // Registers `directory` and `file` (inside it), makes the directory with mode 0700 and locks
  // it, in one step. Empty when that fails, with nothing made and error() saying why: EBUSY when
  // a registration is already held in this process (one staging at a time), ENAMETOOLONG when a
  // path is too long to keep, ECANCELED when a signal is ending the process, EAGAIN when other
  // starts removed it again and again before it was locked, or the errno of mkdir, open or flock.
  static InterruptCleanup make_directory(std::string_view directory,
                                         std::string_view file) noexcept;

  explicit operator bool() const noexcept { return armed_; }
  int error() const noexcept { return error_; }

  // Opens the registered file, as open(2) with `flags` and `mode`; -1 with errno set on failure
  // (ECANCELED when a signal is ending the process).
  int open_file(int flags, mode_t mode) noexcept;
  // Removes the file, then the directory, clears the registration and lets the lock go. Nothing
  // when empty.
  void remove() noexcept;

 private:
  bool armed_ = false;
  int error_ = 0;
  Fd lock_;  // the directory, flock()ed
};

// Whether a handler has taken the registration to end the process: from then on staging's steps
// are refused, and the process ends as soon as that handler returns.
bool interrupt_is_ending_the_process() noexcept;

// Removes what is registered as the signal handler would, for a process that is about to end by
// other means, in which no handler runs (GDK ends it with _exit when the display is lost). From
// then on no staging step creates anything. Waits for a step under way on another thread, so it
// must not be called by the staging thread itself.
void remove_staged_before_ending() noexcept;

// Has TERM, INT and HUP remove what is registered, then end the process by the same signal, as
// if no handler had been there. A signal that this process was started with ignored (nohup)
// stays ignored. Call once at start-up, before any other thread exists.
void install_interrupt_cleanup() noexcept;

}  // namespace velto
