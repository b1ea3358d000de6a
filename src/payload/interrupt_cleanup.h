// What an interrupted program leaves behind: nothing of its own. While a package is staged, its
// paths are registered here, and TERM, INT or HUP (logout, Ctrl-C, kill) removes the package file
// and its directory before the process ends by that very signal.
#pragma once

#include <string_view>

namespace velto {

// The registration of the one staged package that a signal would clean up. Move-only: whoever
// owns the staged directory owns this, and releasing it (after the directory is gone) clears the
// registration.
class InterruptCleanup {
 public:
  InterruptCleanup() noexcept = default;
  InterruptCleanup(InterruptCleanup&& other) noexcept : armed_(other.armed_) {
    other.armed_ = false;
  }
  InterruptCleanup& operator=(InterruptCleanup&& other) noexcept;
  InterruptCleanup(const InterruptCleanup&) = delete;
  InterruptCleanup& operator=(const InterruptCleanup&) = delete;
  ~InterruptCleanup() { release(); }

  // Registers `directory` and `file` (inside it) before either exists. Empty when a registration
  // is already held in this process (one staging at a time) or a path is too long to keep.
  static InterruptCleanup arm(std::string_view directory, std::string_view file) noexcept;

  explicit operator bool() const noexcept { return armed_; }
  // Clears the registration; call it once the paths have been removed.
  void release() noexcept;

 private:
  bool armed_ = false;
};

// Has TERM, INT and HUP remove what is registered, then end the process by the same signal, as
// if no handler had been there. A signal that this process was started with ignored (nohup)
// stays ignored. Call once at start-up, before any other thread exists.
void install_interrupt_cleanup() noexcept;

}  // namespace velto
