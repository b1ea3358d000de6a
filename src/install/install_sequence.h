// One installation run from start to end, as the body of the install worker thread: stage the
// built-in package, ask a running desktop application to step aside, install with the
// administrator's approval, restart the desktop application, remove the staged package and report
// exactly one outcome. Nothing here touches GTK.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "install/outcome_keys.h"
#include "install/progress_channel.h"
#include "payload/staging.h"

namespace velto {

// The programs a run starts, each by absolute path. The executable uses the system's own
// (base/system_paths.h); tests fill in fake programs.
struct ProgramPaths {
  std::string python;   // interpreter of the preflight text
  std::string pkexec;   // gains administrator rights for the install text
  std::string shell;    // interpreter of the install text, started by pkexec as root
  std::string desktop;  // the desktop application's launcher, checked and restarted
};

// Everything one run needs, so that a run depends on nothing global.
struct InstallPlan {
  // Proves and stages the package, or says why it could not. May throw RandomSourceError.
  std::function<StagingOutcome()> stage;
  // The expected digest text and size handed to the root script, exactly as built in.
  std::string digest;
  std::size_t size = 0;
  // The carried package's version, named when apt-get fails because a newer one is installed.
  std::string version;
  ProgramPaths paths;
  std::string preflight_script;
  std::string install_script;
  // Looked at when apt-get fails with 100: the package manager's lock files, searched for a
  // holder; dpkg's status database, read for the installed velto; and dpkg, which compares
  // versions.
  std::vector<std::string> lock_files;
  std::string dpkg_status;
  std::string dpkg;
  // NAME=VALUE entries every child gets on top of this process's environment as it is when the
  // child starts: the locale variables that were dropped before GTK started, with their bytes.
  EnvironmentOverlay child_environment;
};

// What a run came to: its one event and, when that is linuxSetupFailed, one line per step that
// failed, for the program's standard error.
struct RunResult {
  ProgressEvent event;
  std::vector<std::string> diagnostics;
};

// The path the root script is given: `path` itself when absolute, otherwise this process's
// working directory joined with it. pkexec starts its program in the target user's home, where a
// relative path would name another file. Nothing when the working directory cannot be named.
std::optional<std::string> absolute_package_path(const std::string& path);

// Stages, runs the children and gives the outcome. The staged package lives only inside this
// call, so it is gone by the time anyone can learn the outcome.
RunResult run_install_steps(const InstallPlan& plan);

// Runs the whole sequence and sends exactly one event on `sender`, after the staged package has
// been removed; a send that finds the receiver gone is ignored. Then it writes the run's lines to
// standard error, in their place among other runs' lines (see ErrorTurn), so that the outcome
// never waits for a reader of standard error. Exceptions from staging pass through, and then
// nothing is sent.
void run_install_sequence(const InstallPlan& plan, ProgressSender sender);

// The install worker's body: run_install_sequence with nothing thrown out of it. An exception
// ends the run without an event (the window reads that as a failure) and its message goes to
// standard error.
void run_install_worker(const InstallPlan& plan, ProgressSender sender) noexcept;

}  // namespace velto
