#include "payload/staged_package.h"

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
#include "payload/interrupt_cleanup.h"

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

StagedPackage& StagedPackage::operator=(StagedPackage&& other) noexcept {
  if (this != &other) {
    remove();
    armed_ = other.armed_;
    error_ = other.error_;
    lock_ = std::move(other.lock_);
    other.armed_ = false;
  }
  return *this;
}

StagedPackage StagedPackage::make(std::string_view directory, std::string_view file) noexcept {
  StagedPackage staged;
  Step step(idle);
  if (!step.entered()) {
    staged.error_ = step.found() == cleaning || step.found() == ending ? ECANCELED : EBUSY;
    return staged;
  }
  if (!copy_path(g_registration.directory, directory) || !copy_path(g_registration.file, file)) {
    step.finish(idle);
    staged.error_ = ENAMETOOLONG;
    return staged;
  }
  // An existing directory is never reused, and a missing parent is not made. A start of the
  // program removes staging directories that no one holds locked, so one made here may go before
  // it is locked: then the name, still ours, is made again, a few times at most.
  for (int attempt = 1;; ++attempt) {
    if (::mkdir(g_registration.directory, 0700) != 0) {
      staged.error_ = errno;
      step.finish(idle);
      return staged;
    }
    staged.lock_ = lock_made_directory(g_registration.directory);
    if (staged.lock_) break;
    staged.error_ = errno;
    if (staged.error_ != EAGAIN) ::rmdir(g_registration.directory);
    if (staged.error_ != EAGAIN || attempt == 3) {
      step.finish(idle);
      return staged;
    }
  }
  staged.error_ = 0;
  step.finish(registered);
  staged.armed_ = true;
  return staged;
}

int StagedPackage::open_file(int flags, mode_t mode) noexcept {
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

std::string StagedPackage::directory() const {
  return armed_ ? std::string(g_registration.directory) : std::string();
}

std::string StagedPackage::package_path() const {
  return armed_ ? std::string(g_registration.file) : std::string();
}

void StagedPackage::remove() noexcept {
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

void remove_staged_before_ending() noexcept {
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

bool process_is_ending() noexcept {
  const int state = g_registration.state.load();
  return state == cleaning || state == ending;
}

}  // namespace velto
