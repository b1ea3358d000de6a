#include "payload/interrupt_cleanup.h"

#include <unistd.h>

#include <atomic>
#include <climits>
#include <csignal>
#include <cstring>

namespace velto {
namespace {

// The registration itself: the only state of the program that a signal handler reads, so it is
// fixed storage and one lock-free atomic word, never a std::string that could be changing.
//
// The word moves the storage between hands. Only arm() writes the paths, and only after taking
// the word from `empty`; only the handler reads them, and only after taking it from `armed`. So
// no handler, on whatever thread, ever reads paths that are being written.
enum State : int { empty, writing, armed, cleaning, cleaned };

struct Registration {
  std::atomic<int> state{empty};
  char directory[PATH_MAX] = {};
  char file[PATH_MAX] = {};
};
static_assert(std::atomic<int>::is_always_lock_free);

constinit Registration g_registration;

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

bool copy_path(char (&target)[PATH_MAX], std::string_view path) noexcept {
  if (path.empty() || path.size() >= sizeof target) return false;
  std::memcpy(target, path.data(), path.size());
  target[path.size()] = '\0';
  return true;
}

// Async-signal-safe throughout: atomics, unlink, rmdir, signal and raise.
void on_interrupt(int signal_number) noexcept {
  int expected = armed;
  if (g_registration.state.compare_exchange_strong(expected, cleaning)) {
    ::unlink(g_registration.file);
    ::rmdir(g_registration.directory);
    g_registration.state.store(cleaned);
  } else if (expected == cleaning) {
    // A handler on another thread is removing it right now; ending first could cut it short.
    while (g_registration.state.load() == cleaning) {
    }
  }
  // With the default action restored the signal, still blocked inside this handler, ends the
  // process as soon as the handler returns, and the parent sees the true cause.
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

}  // namespace

InterruptCleanup& InterruptCleanup::operator=(InterruptCleanup&& other) noexcept {
  if (this != &other) {
    release();
    armed_ = other.armed_;
    other.armed_ = false;
  }
  return *this;
}

InterruptCleanup InterruptCleanup::arm(std::string_view directory, std::string_view file) noexcept {
  int expected = empty;
  if (!g_registration.state.compare_exchange_strong(expected, writing)) return {};
  if (!copy_path(g_registration.directory, directory) || !copy_path(g_registration.file, file)) {
    g_registration.state.store(empty);
    return {};
  }
  g_registration.state.store(armed);
  InterruptCleanup cleanup;
  cleanup.armed_ = true;
  return cleanup;
}

void InterruptCleanup::release() noexcept {
  if (!armed_) return;
  armed_ = false;
  // When a handler has taken it, the process is ending and the registration stays with it.
  int expected = armed;
  g_registration.state.compare_exchange_strong(expected, empty);
}

void install_interrupt_cleanup() noexcept {
  struct sigaction action {};
  action.sa_handler = on_interrupt;
  sigemptyset(&action.sa_mask);
  for (const int signal_number : kSignals) sigaddset(&action.sa_mask, signal_number);
  for (const int signal_number : kSignals) {
    struct sigaction previous {};
    if (::sigaction(signal_number, nullptr, &previous) != 0) continue;
    if (previous.sa_handler == SIG_IGN) continue;
    ::sigaction(signal_number, &action, nullptr);
  }
}

}  // namespace velto
