#include "install/install_diagnostics.h"

#include "base/diagnostic_line.h"
#include "scripts/exit_statuses.h"

namespace velto {
namespace {

constexpr const char kPrefix[] = "velto-linux-setup: ";

// The program, how it ended and, when known, what that means for the user.
DiagnosticLine line(const std::string& program, std::string_view after_program, ChildEnd end,
                    const DiagnosticLine& meaning = {}) {
  DiagnosticLine text(kPrefix);
  text.value(program).words(after_program).words(" ").words(describe_end(end));
  if (!meaning.empty()) text.words(" (").append(meaning).words(")");
  return text;
}

const char* install_meaning(ChildEnd end) {
  if (end.kind() != ChildEnd::Kind::exited) return nullptr;
  switch (end.value()) {
    case exit_status::kDismissed:
      return "the administrator refused or cancelled";
    case exit_status::kNotAuthorised:
      return "not authorised, or pkexec could not run the install script";
    case exit_status::kRefused:
      return "the install script refused: not running as root, no work directory under /var/tmp, "
             "or the copy's size or digest differs";
    case exit_status::kWrongArguments:
      return "the install script was given arguments of the wrong form";
    case exit_status::kCopyTimedOut:
      return "copying the staged package took longer than 30 seconds";
    case exit_status::kInterrupted:
      return "the install script was interrupted by a signal";
    case exit_status::kAptGetFailed:
      // apt-get ends with 100 for what it finds before dpkg runs as well (unmet dependencies, no
      // network, a refused downgrade), and then nothing reaches term.log.
      return "apt-get failed; /var/log/apt/term.log has dpkg's messages only when dpkg ran";
    default:
      return "a command of the install script failed";
  }
}

const char* restart_meaning(ChildEnd end) {
  if (end.exited_with(exit_status::kLegacy))
    return "the previous Velto cannot restart automatically";
  if (end.exited_with(exit_status::kBusy)) {
    return "Velto is busy with a connection or transfer and did not restart";
  }
  return nullptr;
}

DiagnosticLine words_or_nothing(const char* words) {
  return words != nullptr ? DiagnosticLine(words) : DiagnosticLine();
}

// Only white space, or nothing: such a line says nothing.
bool blank(std::string_view text) { return text.find_first_not_of(" \t\r") == text.npos; }

}  // namespace

std::string staging_line(const StagingFailure& failure) {
  return DiagnosticLine(kPrefix)
      .words("staging the package failed: ")
      .append(describe(failure))
      .text();
}

std::string install_line(const std::string& pkexec, ChildEnd end, const AptGetClues& clues) {
  DiagnosticLine meaning;
  if (clues.newer_installed) {
    meaning.words("apt-get failed: velto ")
        .value(*clues.newer_installed)
        .words(" is installed, newer than the ")
        .value(clues.carried)
        .words(" this installer carries, and apt-get does not replace it with an older one");
  } else {
    meaning = words_or_nothing(install_meaning(end));
  }
  DiagnosticLine text = line(pkexec, "", end, meaning);
  if (const std::optional<LockHolder>& holder = clues.holder) {
    text.words("; process ").words(std::to_string(holder->pid));
    if (!holder->comm.empty()) text.words(" ").quoted(holder->comm);
    text.words(" holds ")
        .value(holder->lock_file)
        .words(": wait for it to finish, then press Install again");
  }
  return text.text();
}

std::vector<std::string> printed_lines(const OutputTail& printed) {
  std::string_view text = printed.text();
  // The kept end usually begins inside a line, whose start is lost: that line is left out, unless
  // it is all there is (one very long line), which then shows where it was cut.
  bool cut_at_start = printed.starts_inside_a_line();
  if (cut_at_start) {
    const std::size_t feed = text.find('\n');
    if (feed != text.npos) {
      text.remove_prefix(feed + 1);
      cut_at_start = false;
    }
  }
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t feed = text.find('\n');
    std::string_view one = text.substr(0, feed);
    text.remove_prefix(feed == text.npos ? text.size() : feed + 1);
    // A terminal shows what follows a line's last carriage return: a progress line's final state.
    while (one.ends_with('\r')) one.remove_suffix(1);
    if (const std::size_t back = one.rfind('\r'); back != one.npos) one.remove_prefix(back + 1);
    if (!blank(one)) lines.push_back(one);
  }
  const std::size_t first = lines.size() > kPrintedLines ? lines.size() - kPrintedLines : 0;
  std::vector<std::string> shown;
  for (std::size_t i = first; i < lines.size(); ++i) {
    DiagnosticLine text_line(kPrefix);
    if (cut_at_start) text_line.words(kOmittedMarker);
    shown.push_back(text_line.value(lines[i]).text());
  }
  return shown;
}

bool apt_get_refused_a_downgrade(std::string_view printed) {
  return printed.find("--allow-downgrades") != std::string_view::npos;
}

std::string install_not_started_line(const std::string& pkexec) {
  return DiagnosticLine(kPrefix)
      .value(pkexec)
      .words(
          " was not started: the working directory cannot be named, so the staged package's "
          "relative path cannot be made absolute")
      .text();
}

std::string recovery_restart_line(const std::string& desktop, ChildEnd end) {
  return line(desktop, " --restart-after-install", end, words_or_nothing(restart_meaning(end)))
      .words("; this restart followed the failed installation and does not change the outcome")
      .text();
}

}  // namespace velto
