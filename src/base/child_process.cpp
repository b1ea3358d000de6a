#include "base/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <optional>
#include <string_view>

#include "base/fd.h"

extern char** environ;

namespace velto {
namespace {

std::vector<const char*> null_terminated(const std::vector<std::string>& strings) {
  std::vector<const char*> pointers;
  pointers.reserve(strings.size() + 1);
  for (const std::string& s : strings) pointers.push_back(s.c_str());
  pointers.push_back(nullptr);
  return pointers;
}

// The signals every child starts with at their default: all but those this process was started
// with ignored (see record_signals_ignored_at_start()).
sigset_t g_default_in_children = [] {
  sigset_t all;
  ::sigfillset(&all);
  return all;
}();

// Owners of the two posix_spawn helper objects, destroyed on every way out.
class SpawnActions {
 public:
  SpawnActions() noexcept : ok_(::posix_spawn_file_actions_init(&actions_) == 0) {}
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  ~SpawnActions() {
    if (ok_) ::posix_spawn_file_actions_destroy(&actions_);
  }
  // Standard input on the null device, output and error on the given descriptors (the null
  // device for -1), and every other descriptor closed, so nothing this process holds open (the X
  // connection, a staged file) reaches the child.
  bool streams(int output, int error) noexcept {
    return ok_ && ::posix_spawn_file_actions_addopen(&actions_, 0, "/dev/null", O_RDONLY, 0) == 0 &&
           attach(1, output) && attach(2, error) &&
           ::posix_spawn_file_actions_addclosefrom_np(&actions_, 3) == 0;
  }
  const posix_spawn_file_actions_t* get() const noexcept { return &actions_; }

 private:
  bool attach(int target, int source) noexcept {
    if (source < 0) {
      return ::posix_spawn_file_actions_addopen(&actions_, target, "/dev/null", O_WRONLY, 0) == 0;
    }
    return ::posix_spawn_file_actions_adddup2(&actions_, source, target) == 0;
  }

  posix_spawn_file_actions_t actions_;
  bool ok_;
};

class SpawnAttributes {
 public:
  SpawnAttributes() noexcept : ok_(::posix_spawnattr_init(&attributes_) == 0) {}
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  ~SpawnAttributes() {
    if (ok_) ::posix_spawnattr_destroy(&attributes_);
  }
  // The child starts as this program was started: no signal blocked (the worker thread may have
  // inherited a mask from whoever created it), the signals that were ignored then still ignored,
  // and every other signal at its default, whatever this process did with it since. An isolated
  // child also keeps SIGPIPE ignored, leads a process group of its own and starts with TERM, INT
  // and HUP blocked: a mask survives exec and fork, so the programs it runs in turn (tar) keep
  // it too, and such a signal stays pending, unacted on, until the process ends.
  bool fresh_signals(ChildSignals signals) noexcept {
    sigset_t blocked;
    ::sigemptyset(&blocked);
    const bool isolated = signals == ChildSignals::isolated;
    sigset_t defaults = g_default_in_children;
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (isolated) {
      ::sigdelset(&defaults, SIGPIPE);
      for (const int signal_number : {SIGTERM, SIGINT, SIGHUP}) {
        ::sigaddset(&blocked, signal_number);
      }
      flags |= POSIX_SPAWN_SETPGROUP;
    }
    return ok_ && ::posix_spawnattr_setsigmask(&attributes_, &blocked) == 0 &&
           ::posix_spawnattr_setsigdefault(&attributes_, &defaults) == 0 &&
           // Group 0: a new one, led by the child.
           (!isolated || ::posix_spawnattr_setpgroup(&attributes_, 0) == 0) &&
           ::posix_spawnattr_setflags(&attributes_, flags) == 0;
  }
  const posix_spawnattr_t* get() const noexcept { return &attributes_; }

 private:
  posix_spawnattr_t attributes_;
  bool ok_;
};

// This process's environment as it is now, with each overlay entry in place of the variable of
// the same name. The pointers stay valid while the child starts: the overlay is the Command's own,
// and nothing on this thread changes the environment meanwhile.
std::vector<const char*> overlay_environment(const EnvironmentOverlay& overlay) {
  const auto name_of = [](std::string_view entry) { return entry.substr(0, entry.find('=')); };
  std::vector<const char*> entries;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const std::string_view name = name_of(*entry);
    const bool replaced = std::any_of(overlay.begin(), overlay.end(),
                                      [&](const std::string& o) { return name_of(o) == name; });
    if (!replaced) entries.push_back(*entry);
  }
  for (const std::string& entry : overlay) entries.push_back(entry.c_str());
  entries.push_back(nullptr);
  return entries;
}

// SIGPIPE ignored from now on in this process: a write into a pipe whose reader is gone then
// fails with EPIPE. Safe from any thread: it is one system call, and the only other code here
// that touches SIGPIPE (GLib's sockets) sets it the same way.
bool ignore_broken_pipes() noexcept {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  return ::sigaction(SIGPIPE, &ignore, nullptr) == 0;
}

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

std::string describe_end(ChildEnd end) {
  switch (end.kind()) {
    case ChildEnd::Kind::not_run:
      break;
    case ChildEnd::Kind::exited:
      return "ended with exit status " + std::to_string(end.value());
    case ChildEnd::Kind::signalled: {
      const char* name = ::sigabbrev_np(end.value());
      return "was ended by signal " + std::to_string(end.value()) +
             (name != nullptr ? std::string(" (SIG") + name + ")" : std::string());
    }
  }
  return "could not be run";
}

Command::Command(std::string program, std::vector<std::string> arguments,
                 EnvironmentOverlay overlay, ChildSignals signals)
    : overlay_(std::move(overlay)), signals_(signals) {
  argv_.reserve(arguments.size() + 1);
  argv_.push_back(std::move(program));
  for (std::string& argument : arguments) argv_.push_back(std::move(argument));
  argv_ptrs_ = null_terminated(argv_);
}

// Not GSubprocess: GLib's spawning retries a program that the kernel refuses with ENOEXEC (a
// file with neither an ELF header nor "#!") as a script of /bin/sh, so a stray text file at one of
// the fixed paths would be read by a shell. And it forks: in a process as large as a GTK program
// that copies page tables and takes the allocator's locks, stalling the main thread for several
// milliseconds per child. posix_spawn executes exactly the file named in a child that shares our
// memory until it execs, never searches PATH, reports a failed exec as an error, and is safe to
// call from any thread.
pid_t Command::spawn(int output, int error) const noexcept {
  if (argv_.front().empty() || argv_.front().front() != '/') return -1;
  SpawnActions actions;
  SpawnAttributes attributes;
  if (!actions.streams(output, error) || !attributes.fresh_signals(signals_)) return -1;
  // What an isolated child is to inherit as ignored, this process must ignore itself.
  if (signals_ == ChildSignals::isolated && !ignore_broken_pipes()) return -1;
  std::vector<const char*> overlaid;
  try {
    if (!overlay_.empty()) overlaid = overlay_environment(overlay_);
  } catch (...) {
    return -1;  // no memory for the child's environment: it cannot start as it should
  }
  char* const* envp = overlaid.empty() ? environ : const_cast<char* const*>(overlaid.data());
  pid_t pid = -1;
  if (::posix_spawn(&pid, argv_ptrs_.front(), actions.get(), attributes.get(),
                    const_cast<char* const*>(argv_ptrs_.data()), envp) != 0) {
    return -1;
  }
  return pid;
}

namespace {

ChildEnd end_of_status(int status) noexcept {
  if (WIFSIGNALED(status)) return ChildEnd::signalled(WTERMSIG(status));
  if (WIFEXITED(status)) return ChildEnd::exited(WEXITSTATUS(status));
  return ChildEnd::not_run();
}

// Waits for `pid` without limit. Once spawned, a child is always waited for here, so it is never
// left unreaped.
ChildEnd wait_for(pid_t pid) noexcept {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return ChildEnd::not_run();
  }
  return end_of_status(status);
}

// A pipe whose both ends close on exec and whose read end never blocks.
bool make_pipe(Fd& read_end, Fd& write_end) noexcept {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  read_end.reset(fds[0]);
  write_end.reset(fds[1]);
  return ::fcntl(read_end.get(), F_SETFL, O_NONBLOCK) == 0;
}

// A descriptor that becomes readable when the child `pid` ends (Linux 5.3 and later), or none.
// Called through syscall(): the C library's wrapper is newer than the oldest system served.
Fd child_end_descriptor(pid_t pid) noexcept {
#ifdef SYS_pidfd_open
  return Fd{static_cast<int>(::syscall(SYS_pidfd_open, pid, 0))};
#else
  static_cast<void>(pid);
  return Fd{};
#endif
}

// Without such a descriptor, how often to look whether the child has ended while its pipe stays
// open. The outcome then comes at most this much later than the child's end.
constexpr int kLookEveryMilliseconds = 10;

constexpr std::size_t kReadChunk = 64 * 1024;

// Keeps what a child prints on one stream, up to a limit.
class LimitedText final : public OutputSink {
 public:
  LimitedText(std::string& text, std::size_t limit) noexcept : text_(text), limit_(limit) {}
  bool take(std::string_view bytes) override {
    if (bytes.size() > limit_ - text_.size()) return false;
    text_.append(bytes);
    return true;
  }

 private:
  std::string& text_;
  std::size_t limit_;
};

class Discarded final : public OutputSink {
 public:
  bool take(std::string_view) noexcept override { return true; }
};

class KeptTail final : public OutputSink {
 public:
  explicit KeptTail(OutputTail& tail) noexcept : tail_(tail) {}
  bool take(std::string_view bytes) noexcept override {
    tail_.append(bytes);
    return true;
  }

 private:
  OutputTail& tail_;
};

}  // namespace

ChildWatch::ChildWatch(pid_t pid) noexcept : pid_(pid), ended_(child_end_descriptor(pid)) {}

bool ChildWatch::ended() noexcept {
  if (end_) return true;
  int status = 0;
  pid_t found = 0;
  do {
    found = ::waitpid(pid_, &status, WNOHANG);
  } while (found < 0 && errno == EINTR);
  if (found == 0) return false;
  end_ = found < 0 ? ChildEnd::not_run() : end_of_status(status);
  return true;
}

ChildEnd ChildWatch::wait() noexcept {
  if (!end_) end_ = wait_for(pid_);
  return *end_;
}

Drained drain(std::span<const DrainedStream> streams, ChildWatch* child, std::size_t after_end) {
  // The streams, then the child's end descriptor, if there is one.
  std::array<pollfd, kMostDrainedStreams + 1> fds{};
  if (streams.size() > kMostDrainedStreams) return Drained::failed;
  std::size_t open = streams.size();
  for (std::size_t i = 0; i < open; ++i) fds[i] = {streams[i].fd, POLLIN, 0};
  const bool looks = child != nullptr && child->descriptor() < 0;
  const std::size_t polled = open + (child != nullptr && !looks ? 1 : 0);
  if (polled > open) fds[open] = {child->descriptor(), POLLIN, 0};

  char buffer[kReadChunk];
  // Reads once from stream `i`; false when its sink wants no more or reading failed.
  Drained stop = Drained::to_the_end;
  const auto read_once = [&](std::size_t i, std::size_t most) {
    const ssize_t n = ::read(fds[i].fd, buffer, std::min(sizeof buffer, most));
    if (n > 0) {
      if (streams[i].sink.take({buffer, static_cast<std::size_t>(n)})) return n;
      stop = Drained::refused;
      return ssize_t{-1};
    }
    if (n == 0) {
      fds[i].fd = -1;  // its end: poll passes over negative descriptors
      --open;
    } else if (errno != EINTR && errno != EAGAIN) {
      stop = Drained::failed;
      return ssize_t{-1};
    }
    return ssize_t{0};
  };

  while (open > 0) {
    if (::poll(fds.data(), polled, looks ? kLookEveryMilliseconds : -1) < 0) {
      if (errno == EINTR) continue;
      return Drained::failed;
    }
    for (std::size_t i = 0; i < streams.size(); ++i) {
      if (fds[i].fd >= 0 && fds[i].revents != 0 && read_once(i, sizeof buffer) < 0) return stop;
    }
    if (child == nullptr || (!looks && fds[polled - 1].revents == 0) || !child->ended()) continue;
    // The child has ended. What it printed just before is still in the pipes: read it without
    // waiting, but only so much, as a process it started may go on writing.
    for (std::size_t i = 0, left = after_end; i < streams.size(); ++i) {
      while (fds[i].fd >= 0 && left > 0) {
        const ssize_t n = read_once(i, left);
        if (n < 0) return stop;
        if (n == 0) break;  // nothing more for now
        left -= static_cast<std::size_t>(n);
      }
    }
    return Drained::child_ended;
  }
  return Drained::to_the_end;
}

ChildEnd Command::run() const noexcept {
  const pid_t pid = spawn(-1, -1);
  return pid < 0 ? ChildEnd::not_run() : wait_for(pid);
}

CapturedRun Command::run_capturing_output(std::size_t limit) const {
  CapturedRun result{ChildEnd::not_run(), {}};
  Fd out_read, out_write, err_read, err_write;
  if (!make_pipe(out_read, out_write) || !make_pipe(err_read, err_write)) return result;
  const pid_t pid = spawn(out_write.get(), err_write.get());
  // Our copies of the write ends must go, or the pipes would never reach their end.
  out_write.reset();
  err_write.reset();
  if (pid < 0) return result;

  // Once it is known that the output will not be used (too much of it, or reading failed), the
  // child is stopped rather than waited for: one that never stops printing would never end.
  const auto stop = [pid] {
    ::kill(pid, SIGKILL);
    return wait_for(pid);
  };
  LimitedText output(result.output, limit);
  Discarded errors;
  const DrainedStream streams[] = {{out_read.get(), output}, {err_read.get(), errors}};
  Drained drained = Drained::failed;
  try {
    drained = drain(streams, nullptr, 0);
  } catch (...) {
    stop();
    throw;
  }
  switch (drained) {
    case Drained::to_the_end:
    case Drained::child_ended:
      result.end = wait_for(pid);
      break;
    case Drained::refused:
      result.end = stop();
      result.overflowed = true;
      break;
    case Drained::failed:
      stop();
      break;
  }
  return result;
}

ChildEnd Command::run_keeping_output_tail(OutputTail& printed) const noexcept {
  Fd read_end, write_end;
  if (!make_pipe(read_end, write_end)) return ChildEnd::not_run();
  const pid_t pid = spawn(write_end.get(), write_end.get());
  write_end.reset();  // or the pipe would never reach its end
  if (pid < 0) return ChildEnd::not_run();

  ChildWatch child(pid);
  KeptTail tail(printed);
  const DrainedStream stream[] = {{read_end.get(), tail}};
  // Until the child ends, or until the pipe ends (then only the child's end is waited for). Unable
  // to read, the pipe goes, so that the child cannot stall on it.
  if (drain(stream, &child, kReadAfterEnd) == Drained::failed) read_end.reset();
  return child.wait();
}

}  // namespace velto
