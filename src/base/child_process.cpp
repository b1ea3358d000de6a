#include "base/child_process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

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
  // Standard input, output and error on the null device; every other descriptor closed, so
  // nothing this process holds open (the X connection, a staged file) reaches the child.
  bool null_streams_only() noexcept {
    return ok_ && ::posix_spawn_file_actions_addopen(&actions_, 0, "/dev/null", O_RDONLY, 0) == 0 &&
           ::posix_spawn_file_actions_addopen(&actions_, 1, "/dev/null", O_WRONLY, 0) == 0 &&
           ::posix_spawn_file_actions_addopen(&actions_, 2, "/dev/null", O_WRONLY, 0) == 0 &&
           ::posix_spawn_file_actions_addclosefrom_np(&actions_, 3) == 0;
  }
  const posix_spawn_file_actions_t* get() const noexcept { return &actions_; }

 private:
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
  // The child starts like a freshly started program: no signal blocked (the worker thread may
  // have inherited a mask from whoever created it) and no signal ignored.
  bool fresh_signals() noexcept {
    sigset_t none;
    sigset_t all;
    ::sigemptyset(&none);
    ::sigfillset(&all);
    return ok_ && ::posix_spawnattr_setsigmask(&attributes_, &none) == 0 &&
           ::posix_spawnattr_setsigdefault(&attributes_, &all) == 0 &&
           ::posix_spawnattr_setflags(&attributes_,
                                      POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF) == 0;
  }
  const posix_spawnattr_t* get() const noexcept { return &attributes_; }

 private:
  posix_spawnattr_t attributes_;
  bool ok_;
};

}  // namespace

Command::Command(std::string program, std::vector<std::string> arguments,
                 std::optional<std::vector<std::string>> environment)
    : environment_(std::move(environment)) {
  argv_.reserve(arguments.size() + 1);
  argv_.push_back(std::move(program));
  for (std::string& argument : arguments) argv_.push_back(std::move(argument));
  argv_ptrs_ = null_terminated(argv_);
  if (environment_) environment_ptrs_ = null_terminated(*environment_);
}

// Not GSubprocess: GLib's spawning retries a program that the kernel refuses with ENOEXEC (a
// file with neither an ELF header nor "#!") as a script of /bin/sh, so a stray text file at one of
// the fixed paths would be read by a shell. posix_spawn executes exactly the file named, never
// searches PATH, reports a failed exec as an error, and is safe to call from a thread of a
// multi-threaded program.
ChildEnd Command::run() const noexcept {
  if (argv_.front().empty() || argv_.front().front() != '/') return ChildEnd::not_run();

  SpawnActions actions;
  SpawnAttributes attributes;
  if (!actions.null_streams_only() || !attributes.fresh_signals()) return ChildEnd::not_run();

  char* const* envp = environment_ ? const_cast<char* const*>(environment_ptrs_.data()) : environ;
  pid_t pid = -1;
  if (::posix_spawn(&pid, argv_ptrs_.front(), actions.get(), attributes.get(),
                    const_cast<char* const*>(argv_ptrs_.data()), envp) != 0) {
    return ChildEnd::not_run();
  }

  // From here the child exists and is always waited for, so it is never left unreaped.
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return ChildEnd::not_run();
  }
  if (WIFSIGNALED(status)) return ChildEnd::signalled(WTERMSIG(status));
  if (WIFEXITED(status)) return ChildEnd::exited(WEXITSTATUS(status));
  return ChildEnd::not_run();
}

}  // namespace velto
