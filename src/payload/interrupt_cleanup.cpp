#include "payload/interrupt_cleanup.h"

#include <csignal>

#include "payload/staged_package.h"

namespace velto {
namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

// Async-signal-safe: remove_staged_before_ending(), signal and raise.
void on_interrupt(int signal_number) noexcept {
  remove_staged_before_ending();
  // With the default action restored the signal, still blocked inside this handler, ends the
  // process as soon as the handler returns, and the parent sees the true cause.
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

}  // namespace

sigset_t interrupting_signals() noexcept {
  sigset_t set;
  sigemptyset(&set);
  for (const int signal_number : kSignals) sigaddset(&set, signal_number);
  return set;
}

void install_interrupt_cleanup() noexcept {
  struct sigaction action {};
  action.sa_handler = on_interrupt;
  action.sa_mask = interrupting_signals();
  for (const int signal_number : kSignals) {
    struct sigaction previous {};
    if (::sigaction(signal_number, nullptr, &previous) != 0) continue;
    if (previous.sa_handler == SIG_IGN) continue;
    ::sigaction(signal_number, &action, nullptr);
  }
}

}  // namespace velto
