#include "base/child_end.h"

#include <sys/wait.h>

#include <cerrno>
#include <cstring>

#include "base/io.h"

namespace velto {

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
  const char* reason = end.value() != 0 ? ::strerrordesc_np(end.value()) : nullptr;
  return reason != nullptr ? std::string("could not be run: ") + reason : "could not be run";
}

ChildEnd end_of_wait_status(int status) noexcept {
  if (WIFSIGNALED(status)) return ChildEnd::signalled(WTERMSIG(status));
  if (WIFEXITED(status)) return ChildEnd::exited(WEXITSTATUS(status));
  return ChildEnd::not_run();
}

ChildEnd wait_for_child(pid_t pid) noexcept {
  int status = 0;
  if (retry_on_eintr([&] { return ::waitpid(pid, &status, 0); }) < 0) {
    return ChildEnd::not_run(errno);
  }
  return end_of_wait_status(status);
}

}  // namespace velto
