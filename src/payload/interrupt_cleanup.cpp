#include "payload/interrupt_cleanup.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>

#include "base/io.h"

namespace velto {
namespace {

// The registration itself: the only state of the program that a signal handler reads, so it is
// fixed storage and one lock-free atomic word, never a std::string that could be changing.
//
// The word says who may touch the paths and what may still happen to them:
// - idle: nothing registered.
// - busy: the staging thread is inside one step (writing the paths, making the directory,
//   opening the file, removing both) with the three signals blocked on its own thread.
// - registered: the paths hold, and the directory and perhaps the file exist.
// - cleaning: a handler is removing them.
// - ending: a handler has decided that the process ends. It stays so: no step runs any more, so
//   nothing is created between that decision and the process's end.
// Only the staging thread moves the word away from idle or registered into busy, and only a
// handler moves it into cleaning or ending. A handler that finds it busy waits: the staging thread
// cannot be the one running that handler, since it blocks the signals for the step.
enum State : int { idle, busy, registered, cleaning, ending };

struct Registration {
  std::atomic<int> state{idle};
  char directory[PATH_MAX] = {};
  char file[PATH_MAX] = {};
};
static_assert(std::atomic<int>::is_always_lock_free);

constinit Registration g_registration;

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

sigset_t interrupting_signals() noexcept {
  sigset_t set;
  sigemptyset(&set);
  for (const int signal_number : kSignals) sigaddset(&set, signal_number);
  return set;
}

bool copy_path(char (&target)[PATH_MAX], std::string_view path) noexcept {
  if (path.empty() || path.size() >= sizeof target) return false;
  std::memcpy(target, path.data(), path.size());
  target[path.size()] = '\0';
  return true;
}

// One step of the staging thread: the three signals blocked on this thread and the word moved
// from `from` to busy, until finish() names the state the step leaves. entered() is false when
// the word was not `from`; found() then says what it was.
class Step {
 public:
  explicit Step(int from) noexcept {
    const sigset_t blocked = interrupting_signals();
    ::pthread_sigmask(SIG_BLOCK, &blocked, &saved_mask_);
    found_ = from;
    entered_ = g_registration.state.compare_exchange_strong(found_, busy);
  }
  Step(const Step&) = delete;
  Step& operator=(const Step&) = delete;
  ~Step() {
    const ErrnoSaver saved;
    ::pthread_sigmask(SIG_SETMASK, &saved_mask_, nullptr);
  }

  bool entered() const noexcept { return entered_; }
  int found() const noexcept { return found_; }
  void finish(int state) noexcept { g_registration.state.store(state); }

 private:
  sigset_t saved_mask_{};
  int found_ = idle;
  bool entered_ = false;
};

// Sleeps for a millisecond between two looks at the word: waiting then costs next to no
// processor time, and the process still ends promptly once the step is done. A step can take
// long (TMPDIR on a file system that stalls), and spinning all that while would keep a core busy,
// one for each handler that waits.
void pause_briefly() noexcept {
  timespec left{0, 1'000'000};
  retry_on_eintr([&] { return ::nanosleep(&left, &left); });
}

// Removes what is registered, unless a handler on another thread is already at it, and leaves the
// registration ending. Async-signal-safe throughout: atomics, nanosleep, unlink and rmdir.
void remove_for_the_end() noexcept {
  int seen = g_registration.state.load();
  for (;;) {
    // A step on the staging thread, or a handler on yet another thread that is removing the
    // paths: both end soon, and ending the process first would cut them short.
    if (seen == busy || seen == cleaning) {
      pause_briefly();
      seen = g_registration.state.load();
      continue;
    }
    if (seen == ending) break;
    const int claim = seen == registered ? cleaning : ending;
    if (!g_registration.state.compare_exchange_weak(seen, claim)) continue;
    if (claim == cleaning) {
      ::unlink(g_registration.file);
      ::rmdir(g_registration.directory);
      g_registration.state.store(ending);
    }
    break;
  }
}

// Async-signal-safe: remove_for_the_end(), signal and raise.
void on_interrupt(int signal_number) noexcept {
  remove_for_the_end();
  // With the default action restored the signal, still blocked inside this handler, ends the
  // process as soon as the handler returns, and the parent sees the true cause.
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

// The staging directory at `path`, just made, opened and locked; or errno set. EAGAIN: it was
// removed before it was locked, by another start of the program that took it for abandoned.
Fd lock_made_directory(const char* path) noexcept {
  Fd directory{::open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)};
  if (!directory) {
    if (errno == ENOENT) errno = EAGAIN;
    return directory;
  }
  // Waits, for a moment at most: only a start that is removing it could hold the lock now.
  const int locked = retry_on_eintr([&] { return ::flock(directory.get(), LOCK_EX); });
  struct stat st {};
  if (locked != 0 || ::fstat(directory.get(), &st) != 0) return Fd{};
  if (st.st_nlink == 0) {
    errno = EAGAIN;
    return Fd{};
  }
  return directory;
}

}  // namespace

InterruptCleanup& InterruptCleanup::operator=(InterruptCleanup&& other) noexcept {
  if (this != &other) {
    remove();
    armed_ = other.armed_;
    error_ = other.error_;
    lock_ = std::move(other.lock_);
    other.armed_ = false;
  }
  return *this;
}

InterruptCleanup InterruptCleanup::make_directory(std::string_view directory,
                                                  std::string_view file) noexcept {
  InterruptCleanup cleanup;
  Step step(idle);
  if (!step.entered()) {
    cleanup.error_ = step.found() == cleaning || step.found() == ending ? ECANCELED : EBUSY;
    return cleanup;
  }
  if (!copy_path(g_registration.directory, directory) || !copy_path(g_registration.file, file)) {
    step.finish(idle);
    cleanup.error_ = ENAMETOOLONG;
    return cleanup;
  }
  // An existing directory is never reused, and a missing parent is not made. A start of the
  // program removes staging directories that no one holds locked, so one made here may go before
  // it is locked: then the name, still ours, is made again, a few times at most.
  for (int attempt = 1;; ++attempt) {
    if (::mkdir(g_registration.directory, 0700) != 0) {
      cleanup.error_ = errno;
      step.finish(idle);
      return cleanup;
    }
    cleanup.lock_ = lock_made_directory(g_registration.directory);
    if (cleanup.lock_) break;
    cleanup.error_ = errno;
    if (cleanup.error_ != EAGAIN) ::rmdir(g_registration.directory);
    if (cleanup.error_ != EAGAIN || attempt == 3) {
      step.finish(idle);
      return cleanup;
    }
  }
  cleanup.error_ = 0;
  step.finish(registered);
  cleanup.armed_ = true;
  return cleanup;
}

int InterruptCleanup::open_file(int flags, mode_t mode) noexcept {
  if (!armed_) {
    errno = EBADF;
    return -1;
  }
  Step step(registered);
  if (!step.entered()) {
    errno = ECANCELED;
    return -1;
  }
  const int fd = ::open(g_registration.file, flags, mode);
  step.finish(registered);
  return fd;
}

void InterruptCleanup::remove() noexcept {
  if (!armed_) return;
  armed_ = false;
  // When a handler has taken the registration, the process is ending and it removes the paths.
  Step step(registered);
  if (!step.entered()) return;
  // Both removals are attempted whatever happens to the first, and the lock is let go only then.
  ::unlink(g_registration.file);
  ::rmdir(g_registration.directory);
  lock_.reset();
  step.finish(idle);
}

void remove_staged_before_ending() noexcept { remove_for_the_end(); }

bool interrupt_is_ending_the_process() noexcept {
  const int state = g_registration.state.load();
  return state == cleaning || state == ending;
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
