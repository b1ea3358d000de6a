// The exit statuses that the setup program reads: those of its two scripts, and those that reach it
// through them from the programs they run. The scripts themselves write the numbers; here they are
// named once for the C++ code.
#pragma once

namespace velto::exit_status {

// The preflight script, and the desktop application's --restart-after-install, which share them.
inline constexpr int kSuccess = 0;
inline constexpr int kLegacy = 20;   // the running Velto is too old to do what is asked
inline constexpr int kBusy = 21;     // a connection or transfer is active, or it did not end
inline constexpr int kFailure = 22;  // anything else

// The privileged install script, as pkexec hands it on.
inline constexpr int kRefused = 1;  // not root, no work directory, or the copy's size differs
inline constexpr int kWrongArguments = 2;
inline constexpr int kInterrupted = 130;  // HUP, INT, PIPE or TERM
// Passed through by the script from the programs it runs: timeout(1) stopping the 30-second copy,
// and apt-get failing.
inline constexpr int kCopyTimedOut = 124;
inline constexpr int kAptGetFailed = 100;

// pkexec's own.
inline constexpr int kDismissed = 126;      // the administrator refused or cancelled
inline constexpr int kNotAuthorised = 127;  // or pkexec could not run the script

}  // namespace velto::exit_status
