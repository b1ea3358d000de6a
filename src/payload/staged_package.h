// The one staging directory of this process and the package file in it, owned by one value that
// removes both however the process ends: when the owner goes, on a signal that ends the process,
// and when the process ends without running any clean-up of its own (its display lost).
//
// A signal's handler reads what is staged, so the paths live in fixed storage with one lock-free
// atomic word that says who may touch them; never in a std::string that could be changing. A
// handler may run on any thread, also while the staging thread is in the middle of a step, so each
// step that creates or removes something runs whole on one side of the handler's removal: the
// staging thread blocks the interrupting signals for the step (a handler can then only run on
// another thread, and waits for the step to finish), and once a handler has decided that the
// process ends, no step creates anything any more.
//
// For its whole life the owner also holds an exclusive flock() on the directory, which the kernel
// releases when the process ends, however it ends: SIGKILL, the OOM killer or a power cut leave the
// directory behind, but unlocked, and the next start of the program removes it
// (remove_abandoned_stagings() in staging.h) while it leaves a living run's alone.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

#include "base/fd.h"

namespace velto {

// Move-only. Dropping it removes the package file, then the directory, ignoring errors (a directory
// into which someone else put a file stays), and lets the lock go.
class StagedPackage {
 public:
  StagedPackage() noexcept = default;
  StagedPackage(StagedPackage&& other) noexcept
      : armed_(other.armed_), error_(other.error_), lock_(std::move(other.lock_)) {
    other.armed_ = false;
  }
  // Removes what this one held, then takes over the other's directory.
  StagedPackage& operator=(StagedPackage&& other) noexcept;
  StagedPackage(const StagedPackage&) = delete;
  StagedPackage& operator=(const StagedPackage&) = delete;
  ~StagedPackage() { remove(); }

  // Registers `directory` and `file` (the package file's path, inside it), makes the directory
  // with mode 0700 and locks it, in one step. Empty when that fails, with nothing made and error()
  // saying why: EBUSY when a package is already staged in this process (one at a time),
  // ENAMETOOLONG when a path is too long to keep, ECANCELED when the process is ending, EAGAIN when
  // other starts removed it again and again before it was locked, or the errno of mkdir, open or
  // flock.
  static StagedPackage make(std::string_view directory, std::string_view file) noexcept;

  explicit operator bool() const noexcept { return armed_; }
  int error() const noexcept { return error_; }

  // Opens the package file, as open(2) with `flags` and `mode`; -1 with errno set on failure
  // (ECANCELED when the process is ending).
  int open_file(int flags, mode_t mode) noexcept;
  // The directory, and the package file in it; empty when nothing is held.
  std::string directory() const;
  std::string package_path() const;

  // Removes the file, then the directory, and lets the lock go. Nothing when empty.
  void remove() noexcept;

 private:
  bool armed_ = false;
  int error_ = 0;
  Fd lock_;  // the directory, flock()ed
};

// Removes what is staged, as for a process that is about to end, and has no staging step create
// anything from then on. A signal's handler calls it, and so does a process that ends without any
// handler running (GDK ends it with _exit when the display is lost). Waits for a step under way on
// another thread, so it must not be called by the staging thread itself. Async-signal-safe.
void remove_staged_before_ending() noexcept;

// Whether what was staged has been removed because the process ends: it ends as soon as the one
// removing it has done so.
bool process_is_ending() noexcept;

}  // namespace velto
