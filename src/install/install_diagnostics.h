// The lines a run writes to the program's standard error when the window tells the user that
// setup could not finish and to "run it from a terminal for details": one per step that failed,
// naming the step and how it ended, so that the advice leads somewhere. Every other outcome's text
// already says what to do, and the program prints nothing of its own then. The window never shows
// these lines.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/command.h"
#include "base/output_tail.h"
#include "install/lock_holder.h"
#include "payload/staging.h"

namespace velto {

std::string staging_line(const StagingFailure& failure);

// What could be seen after apt-get failed (the root script's status 100), once the run's children
// had ended.
struct AptGetClues {
  // A velto newer than the `carried` one, listed by dpkg as installed, when apt-get said that it
  // refused the downgrade.
  std::optional<std::string> newer_installed;
  std::string carried;
  // A process holding one of the package manager's locks.
  std::optional<LockHolder> holder;
};

std::string install_line(const std::string& pkexec, ChildEnd end, const AptGetClues& clues = {});
// How many of the lines that a failed installation printed last are shown: apt-get's reason and
// the lines that lead up to it.
inline constexpr std::size_t kPrintedLines = 10;

// The last lines that the installation printed (pkexec's, the install script's shell's, apt-get's
// and dpkg's words), at most kPrintedLines of those that are not blank, in order, each as a line
// of its own with the printed text escaped. Of a line with carriage returns, what a terminal shows
// is kept: what follows the last of them, the ones that end it aside.
std::vector<std::string> printed_lines(const OutputTail& printed);

// Whether what the installation printed shows apt-get refusing to downgrade ("E: Packages were
// downgraded and -y was used without --allow-downgrades."): the option's name is the same in
// every language apt speaks.
bool apt_get_refused_a_downgrade(std::string_view printed);

// pkexec was not started: the staged package's path could not be made absolute.
std::string install_not_started_line(const std::string& pkexec);
// The restart after a failed install, whose result does not change the outcome.
std::string recovery_restart_line(const std::string& desktop, ChildEnd end);

}  // namespace velto
