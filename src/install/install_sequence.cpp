#include "install/install_sequence.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <exception>

#include "base/child_process.h"

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
  if (end.exited_with(20)) return ProgressEvent::report(outcome_key::kPrepareLegacy);
  if (end.exited_with(21)) return ProgressEvent::report(outcome_key::kPrepareBusy);
  return ProgressEvent::report(outcome_key::kPrepareFailed);
}

ProgressEvent restart_outcome(ChildEnd end) noexcept {
  if (end.exited_with(0)) return ProgressEvent::completed();
  if (end.exited_with(20)) return ProgressEvent::report(outcome_key::kRestartLegacy);
  if (end.exited_with(21)) return ProgressEvent::report(outcome_key::kRestartBusy);
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
        plan.environment);
  }
  return Commands{
      Command{paths.python, {"-c", plan.preflight_script}, plan.environment},
      std::move(install),
      Command{paths.desktop, {"--restart-after-install"}, plan.environment},
  };
}

// The children of a run, one after another, and the outcome they lead to.
ProgressEvent run_commands(const Commands& commands, const std::string& desktop) noexcept {
  if (is_regular_file(desktop)) {
    const ChildEnd preflight = commands.preflight.run();
    // Nothing has been installed yet, so there is nothing to restart.
    if (!preflight.exited_with(0)) return preflight_outcome(preflight);
  }
  const ChildEnd installed = commands.install ? commands.install->run() : ChildEnd::not_run();
  // The restart runs whatever the install did: after a failure it brings back the application
  // the preflight may have stopped, and its own result no longer matters.
  const ChildEnd restarted = commands.restart.run();
  if (!installed.exited_with(0)) return ProgressEvent::report(outcome_key::kFailed);
  return restart_outcome(restarted);
}

}  // namespace

ProgramPaths production_program_paths() {
  return ProgramPaths{
      .python = "/usr/bin/python3",
      .pkexec = "/usr/bin/pkexec",
      .shell = "/bin/sh",
      .desktop = "/usr/bin/velto-desktop",
  };
}

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

ProgressEvent run_install_steps(const InstallPlan& plan) {
  // The staged package lives in this scope only, so it is removed (file, then directory) before
  // the caller can send the outcome.
  const std::optional<StagedPackage> staged = plan.stage();
  if (!staged) return ProgressEvent::report(outcome_key::kFailed);
  return run_commands(prepare_commands(plan, *staged), plan.paths.desktop);
}

void run_install_sequence(const InstallPlan& plan, ProgressSender sender) {
  const ProgressEvent outcome = run_install_steps(plan);
  // A window that has already gone away needs no answer.
  static_cast<void>(sender.send(outcome));
}

void run_install_worker(const InstallPlan& plan, ProgressSender sender) noexcept {
  try {
    run_install_sequence(plan, std::move(sender));
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
  } catch (...) {
    std::fprintf(stderr, "velto-linux-setup: the installation run stopped unexpectedly\n");
  }
}

}  // namespace velto
