// Entry point of the setup program: `--check` proves and stages the built-in package without any
// window; every other start opens the setup window.
#include "base/signal_policy.h"
#include "launch/check_mode.h"
#include "launch/command_line.h"
#include "launch/graphical_mode.h"
#include "payload/interrupt_cleanup.h"
#include "payload/staging_builtin.h"

int main(int argc, char** argv) {
  // First of all, while every disposition is still the one the program was started with. An
  // inherited ignored SIGCHLD is set back to its default here, so that children can be waited for.
  velto::record_signals_ignored_at_start();
  // Before anything is staged and before any thread exists, in both modes.
  velto::install_interrupt_cleanup();
  // What runs that were killed (SIGKILL, the OOM killer, a power cut) left under TMPDIR, in either
  // mode; a living run's lock keeps its own.
  velto::remove_abandoned_stagings(velto::tmpdir_from_environment());
  if (velto::wants_check_mode(argc, argv)) return velto::run_check_mode();
  return velto::run_graphical_mode();
}
