#include "install/install_sequence.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <exception>

#include "base/command.h"
#include "base/diagnostic_line.h"
#include "install/install_diagnostics.h"
#include "install/installed_version.h"
#include "install/lock_holder.h"
#include "package_facts.h"
#include "payload/staged_package.h"
#include "scripts/exit_statuses.h"

namespace velto {
namespace {

// The launcher counts only as a regular file, reached through any symbolic links.
bool is_regular_file(const std::string& path) noexcept {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The preflight and the restart option share one exit-code set: 20 legacy, 21 busy, anything
// else a failure.
ProgressEvent preflight_outcome(ChildEnd end) noexcept {
  if (end.exited_with(exit_status::kLegacy))
    return ProgressEvent::report(outcome_key::kPrepareLegacy);
  if (end.exited_with(exit_status::kBusy)) return ProgressEvent::report(outcome_key::kPrepareBusy);
  return ProgressEvent::report(outcome_key::kPrepareFailed);
}

ProgressEvent restart_outcome(ChildEnd end) noexcept {
  if (end.exited_with(exit_status::kSuccess)) return ProgressEvent::completed();
  if (end.exited_with(exit_status::kLegacy))
    return ProgressEvent::report(outcome_key::kRestartLegacy);
  if (end.exited_with(exit_status::kBusy)) return ProgressEvent::report(outcome_key::kRestartBusy);
  return ProgressEvent::report(outcome_key::kRestartFailed);
}

// Every command line of a run, made before the first child starts: from then on nothing can throw,
// so a run that reached pkexec always gets to its restart.
struct Commands {
  Command preflight;
  std::optional<Command> install;  // absent when the package path cannot be made absolute
  Command restart;
};

Commands prepare_commands(const InstallPlan& plan, const StagedPackage& staged) {
  const ProgramPaths& paths = plan.paths;
  std::optional<Command> install;
  if (auto path = absolute_package_path(staged.package_path())) {
    install.emplace(
        paths.pkexec,
        std::vector<std::string>{paths.shell, "-c", plan.install_script, "velto-verified-installer",
                                 std::move(*path), plan.digest, std::to_string(plan.size)},
        plan.child_environment);
  }
  return Commands{
      Command{paths.python, {"-c", plan.preflight_script}, plan.child_environment},
      std::move(install),
      Command{paths.desktop, {"--restart-after-install"}, plan.child_environment},
  };
}

// How each child of a run ended; a step that did not run stays empty.
struct ChildEnds {
  std::optional<ChildEnd> preflight;
  std::optional<ChildEnd> install;  // empty too when pkexec could not be given an absolute path
  // The end of what the installation printed: pkexec's, the shell's, apt-get's and dpkg's words.
  OutputTail install_printed;
  std::optional<ChildEnd> restart;
  // Whether the launcher was there when the restart was started.
  bool launcher_at_restart = false;
};

// The children of a run, one after another, their ends into `ends`, which holds all the memory
// they need. Nothing here allocates, so a run that reached pkexec always gets to its restart.
void run_commands(const Commands& commands, const std::string& desktop, ChildEnds& ends) noexcept {
  if (is_regular_file(desktop)) {
    ends.preflight = commands.preflight.run();
    // Nothing has been installed yet, so there is nothing to restart.
    if (!ends.preflight->exited_with(exit_status::kSuccess)) return;
  }
  if (commands.install)
    ends.install = commands.install->run_keeping_output_tail(ends.install_printed);
  // The restart runs whatever the install did: after a failure it brings back the application
  // the preflight may have stopped, and its own result no longer matters.
  ends.launcher_at_restart = is_regular_file(desktop);
  ends.restart = commands.restart.run();
}

// What can be seen of why apt-get failed: a newer velto that it said it will not replace with an
// older one, or another package manager at work. The database alone proves no refusal: apt-get may
// have stopped for another reason before it looked at velto at all.
AptGetClues apt_get_clues(const InstallPlan& plan, const OutputTail& printed) {
  AptGetClues clues{.newer_installed = std::nullopt,
                    .carried = plan.version,
                    .holder = find_lock_holder(plan.lock_files)};
  if (apt_get_refused_a_downgrade(printed.text())) {
    clues.newer_installed = installed_version(plan.dpkg_status, kPackageName);
  }
  if (clues.newer_installed &&
      !is_later_version(plan.dpkg, *clues.newer_installed, plan.version, plan.child_environment)) {
    clues.newer_installed.reset();
  }
  return clues;
}

// The outcome the children's ends lead to. Only a failed installation gets lines, one for each
// step that failed: its text sends the user to a terminal, while the preflight's and the restart's
// texts say themselves what to do.
RunResult outcome_of(const ChildEnds& ends, const InstallPlan& plan) {
  const ProgramPaths& paths = plan.paths;
  RunResult result{ProgressEvent::completed(), {}};
  if (ends.preflight && !ends.preflight->exited_with(exit_status::kSuccess)) {
    result.event = preflight_outcome(*ends.preflight);
    return result;
  }
  const ChildEnd restarted = ends.restart.value_or(ChildEnd::not_run());
  if (!ends.install || !ends.install->exited_with(exit_status::kSuccess)) {
    result.event = ProgressEvent::report(outcome_key::kFailed);
    if (!ends.install) {
      result.diagnostics.push_back(install_not_started_line(paths.pkexec));
    } else {
      result.diagnostics.push_back(
          install_line(paths.pkexec, *ends.install,
                       ends.install->exited_with(exit_status::kAptGetFailed)
                           ? apt_get_clues(plan, ends.install_printed)
                           : AptGetClues{}));
      // apt-get's, dpkg's or pkexec's own words, which say why.
      for (std::string& printed : printed_lines(ends.install_printed)) {
        result.diagnostics.push_back(std::move(printed));
      }
    }
    // Without a launcher (a first install that failed) there was nothing to restart.
    if (ends.launcher_at_restart && !restarted.exited_with(exit_status::kSuccess)) {
      result.diagnostics.push_back(recovery_restart_line(paths.desktop, restarted));
    }
    return result;
  }
  result.event = restart_outcome(restarted);
  return result;
}

}  // namespace

std::optional<std::string> absolute_package_path(const std::string& path) {
  if (!path.empty() && path.front() == '/') return path;
  std::string cwd(256, '\0');
  while (::getcwd(cwd.data(), cwd.size()) == nullptr) {
    if (errno != ERANGE) return std::nullopt;
    cwd.resize(cwd.size() * 2);
  }
  cwd.resize(cwd.find('\0'));
  if (cwd.back() != '/') cwd += '/';
  return cwd + path;
}

RunResult run_install_steps(const InstallPlan& plan) {
  ChildEnds ends;
  {
    // The staged package lives in this scope only, so it is removed (file, then directory) before
    // the caller can send the outcome.
    const StagingOutcome staged = plan.stage();
    if (!staged) {
      return RunResult{ProgressEvent::report(outcome_key::kFailed),
                       {staging_line(*staged.failure())}};
    }
    run_commands(prepare_commands(plan, *staged), plan.paths.desktop, ends);
  }
  return outcome_of(ends, plan);
}

void run_install_sequence(const InstallPlan& plan, ProgressSender sender) {
  const RunResult result = run_install_steps(plan);
  // Once TERM, INT or HUP has removed what was staged, the run's later steps fail for that reason
  // alone, and the process ends by the signal before anyone could act on a line about them.
  if (process_is_ending()) return;
  // A window that has already gone away needs no answer.
  if (result.diagnostics.empty()) {
    static_cast<void>(sender.send(result.event));
    return;
  }
  // The outcome goes first: writing may wait for as long as nobody reads standard error, and the
  // window must not wait with it. The lines' place is taken before the send, so the lines of a run
  // started once this outcome is shown come after these.
  ErrorTurn turn;
  static_cast<void>(sender.send(result.event));
  for (const std::string& line : result.diagnostics) turn.write(line);
}

void run_install_worker(const InstallPlan& plan, ProgressSender sender) noexcept {
  try {
    run_install_sequence(plan, std::move(sender));
  } catch (const std::exception& error) {
    write_error_line("", error.what());
  } catch (...) {
    write_line("velto-linux-setup: the installation run stopped unexpectedly");
  }
}

}  // namespace velto
