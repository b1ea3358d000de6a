#include "install/install_diagnostics.h"

#include "base/quoted.h"

namespace velto {
namespace {

constexpr const char kPrefix[] = "velto-linux-setup: ";

// The program, how it ended and, when known, what that means for the user.
std::string line(const std::string& what, ChildEnd end, const char* meaning) {
  std::string text = kPrefix + what + " " + describe_end(end);
  if (meaning != nullptr) text += std::string(" (") + meaning + ")";
  return text;
}

const char* install_meaning(ChildEnd end) {
  if (end.kind() != ChildEnd::Kind::exited) return nullptr;
  switch (end.value()) {
    case 126:
      return "the administrator refused or cancelled";
    case 127:
      return "not authorised, or pkexec could not run the install script";
    case 1:
      return "the install script refused: not running as root, no work directory under /var/tmp, "
             "or the copy's size or digest differs";
    case 2:
      return "the install script was given arguments of the wrong form";
    case 124:
      return "copying the staged package took longer than 30 seconds";
    case 130:
      return "the install script was interrupted by a signal";
    case 100:
      // apt-get ends with 100 for what it finds before dpkg runs as well (unmet dependencies, no
      // network, a refused downgrade), and then nothing reaches term.log.
      return "apt-get failed; /var/log/apt/term.log has dpkg's messages only when dpkg ran";
    default:
      return "a command of the install script failed";
  }
}

const char* restart_meaning(ChildEnd end) {
  if (end.exited_with(20)) return "the previous Velto cannot restart automatically";
  if (end.exited_with(21)) return "Velto is busy with a connection or transfer and did not restart";
  return nullptr;
}

}  // namespace

std::string staging_line(const StagingFailure& failure) {
  return kPrefix + std::string("staging the package failed: ") + describe(failure);
}

std::string install_line(const std::string& pkexec, ChildEnd end, const AptGetClues& clues) {
  std::string text;
  if (clues.newer_installed) {
    const std::string meaning = "apt-get failed: velto " + escaped(*clues.newer_installed) +
                                " is installed, newer than the " + escaped(clues.carried) +
                                " this installer carries, and apt-get does not replace it with "
                                "an older one";
    text = line(pkexec, end, meaning.c_str());
  } else {
    text = line(pkexec, end, install_meaning(end));
  }
  if (const std::optional<LockHolder>& holder = clues.holder) {
    text += "; process " + std::to_string(holder->pid) +
            (holder->comm.empty() ? std::string() : " " + quoted(holder->comm)) + " holds " +
            holder->lock_file + ": wait for it to finish, then press Install again";
  }
  return text;
}

std::string install_not_started_line(const std::string& pkexec) {
  return kPrefix + pkexec +
         " was not started: the working directory cannot be named, so the staged package's "
         "relative path cannot be made absolute";
}

std::string recovery_restart_line(const std::string& desktop, ChildEnd end) {
  return line(desktop + " --restart-after-install", end, restart_meaning(end)) +
         "; this restart followed the failed installation and does not change the outcome";
}

}  // namespace velto
