#include "base/signal_policy.h"

namespace velto {
namespace {

// The signals every child starts with at their default: all but those this process was started
// with ignored (see record_signals_ignored_at_start()).
sigset_t g_default_in_children = [] {
  sigset_t all;
  ::sigfillset(&all);
  return all;
}();

}  // namespace

void record_signals_ignored_at_start() noexcept {
  for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
    if (signal_number == SIGCHLD) continue;
    struct sigaction current {};
    // The numbers the C library keeps for itself fail here and are never ignored.
    if (::sigaction(signal_number, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) {
      ::sigdelset(&g_default_in_children, signal_number);
    }
  }
  // An ignored SIGCHLD has the kernel reap each child as it ends, so no wait could learn how one
  // ended (waitpid fails with ECHILD), and a child that inherited it could not wait for its own.
  // A launcher that leaves it ignored (`trap '' CHLD` in bash, Python's
  // signal.signal(SIGCHLD, SIG_IGN)) asks for nothing this program could honour: it is set back
  // to its default here, and, not being recorded as ignored, starts at its default in children.
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  ::sigaction(SIGCHLD, &default_action, nullptr);
}

sigset_t signals_at_default_in_children(ChildSignals signals) noexcept {
  sigset_t defaults = g_default_in_children;
  if (signals == ChildSignals::isolated) ::sigdelset(&defaults, SIGPIPE);
  return defaults;
}

// SIGPIPE ignored from now on in this process: a write into a pipe whose reader is gone then
// fails with EPIPE. Safe from any thread: it is one system call, and the only other code here
// that touches SIGPIPE (GLib's sockets) sets it the same way.
bool ignore_broken_pipes() noexcept {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  return ::sigaction(SIGPIPE, &ignore, nullptr) == 0;
}

}  // namespace velto
