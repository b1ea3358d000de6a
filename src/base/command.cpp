#include "base/command.h"

#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <string_view>

#include "base/drain.h"
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
  // and every other signal at its default, whatever this process did with it since; an isolated
  // one as ChildSignals::isolated says.
  bool fresh_signals(ChildSignals signals) noexcept {
    sigset_t blocked;
    ::sigemptyset(&blocked);
    const bool isolated = signals == ChildSignals::isolated;
    const sigset_t defaults = signals_at_default_in_children(signals);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (isolated) {
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

}  // namespace

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
  // A name to look up is never run: no search path is ever consulted.
  if (argv_.front().empty() || argv_.front().front() != '/') return -EINVAL;
  SpawnActions actions;
  SpawnAttributes attributes;
  // What they fail for is the memory to note the steps in.
  if (!actions.streams(output, error) || !attributes.fresh_signals(signals_)) return -ENOMEM;
  // What an isolated child is to inherit as ignored, this process must ignore itself.
  if (signals_ == ChildSignals::isolated && !ignore_broken_pipes()) return -errno;
  std::vector<const char*> overlaid;
  try {
    if (!overlay_.empty()) overlaid = overlay_environment(overlay_);
  } catch (...) {
    return -ENOMEM;  // no memory for the child's environment: it cannot start as it should
  }
  char* const* envp = overlaid.empty() ? environ : const_cast<char* const*>(overlaid.data());
  pid_t pid = -1;
  // Its result is the reason, such as ENOENT, EACCES or ENOEXEC from the child's exec.
  const int failed = ::posix_spawn(&pid, argv_ptrs_.front(), actions.get(), attributes.get(),
                                   const_cast<char* const*>(argv_ptrs_.data()), envp);
  return failed != 0 ? -failed : pid;
}

namespace {

// A pipe whose both ends close on exec and whose read end never blocks.
bool make_pipe(Fd& read_end, Fd& write_end) noexcept {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  read_end.reset(fds[0]);
  write_end.reset(fds[1]);
  return ::fcntl(read_end.get(), F_SETFL, O_NONBLOCK) == 0;
}

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

ChildEnd Command::run() const noexcept {
  const pid_t pid = spawn(-1, -1);
  return pid < 0 ? ChildEnd::not_run(-pid) : wait_for_child(pid);
}

CapturedRun Command::run_capturing_output(std::size_t limit) const {
  CapturedRun result{ChildEnd::not_run(), {}};
  Fd out_read, out_write, err_read, err_write;
  if (!make_pipe(out_read, out_write) || !make_pipe(err_read, err_write)) {
    result.end = ChildEnd::not_run(errno);
    return result;
  }
  const pid_t pid = spawn(out_write.get(), err_write.get());
  // Our copies of the write ends must go, or the pipes would never reach their end.
  out_write.reset();
  err_write.reset();
  if (pid < 0) {
    result.end = ChildEnd::not_run(-pid);
    return result;
  }

  // Once it is known that the output will not be used (too much of it, or reading failed), the
  // child is stopped rather than waited for: one that never stops printing would never end.
  const auto stop = [pid] {
    ::kill(pid, SIGKILL);
    return wait_for_child(pid);
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
      result.end = wait_for_child(pid);
      break;
    case Drained::refused:
      result.end = stop();
      result.overflowed = true;
      break;
    case Drained::failed: {
      const int reason = errno;
      stop();
      result.end = ChildEnd::not_run(reason);
      break;
    }
  }
  return result;
}

ChildEnd Command::run_keeping_output_tail(OutputTail& printed) const noexcept {
  Fd read_end, write_end;
  if (!make_pipe(read_end, write_end)) return ChildEnd::not_run(errno);
  const pid_t pid = spawn(write_end.get(), write_end.get());
  write_end.reset();  // or the pipe would never reach its end
  if (pid < 0) return ChildEnd::not_run(-pid);

  ChildWatch child(pid);
  KeptTail tail(printed);
  const DrainedStream stream[] = {{read_end.get(), tail}};
  // Until the child ends, or until the pipe ends (then only the child's end is waited for). Unable
  // to read, the pipe goes, so that the child cannot stall on it.
  if (drain(stream, &child, kReadAfterEnd) == Drained::failed) read_end.reset();
  return child.wait();
}

}  // namespace velto
