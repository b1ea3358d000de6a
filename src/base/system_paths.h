// The system's programs and files that the program relies on, at the fixed absolute paths it uses
// them by. Nothing (no environment variable, no option) changes them: the executable wires these
// in, and tests hand their own in where these would be used.
#pragma once

#include <array>

namespace velto::system_path {

// The field reader that confirms a staged package's control fields.
inline constexpr const char* kDpkgDeb = "/usr/bin/dpkg-deb";
// The preflight's interpreter.
inline constexpr const char* kPython = "/usr/bin/python3";
// What gains administrator rights for the install script, and the shell that reads that script.
inline constexpr const char* kPkexec = "/usr/bin/pkexec";
inline constexpr const char* kShell = "/bin/sh";
// The desktop application's launcher: looked at, and restarted.
inline constexpr const char* kDesktop = "/usr/bin/velto-desktop";
// Looked at only after apt-get failed: dpkg compares versions, its database names the installed
// velto, and the package manager's locks, frontend first (what apt-get needs before it can
// install), name a process at work.
inline constexpr const char* kDpkg = "/usr/bin/dpkg";
inline constexpr const char* kDpkgStatus = "/var/lib/dpkg/status";
inline constexpr std::array<const char*, 4> kPackageManagerLocks = {
    "/var/lib/dpkg/lock-frontend", "/var/lib/dpkg/lock", "/var/cache/apt/archives/lock",
    "/var/lib/apt/lists/lock"};

}  // namespace velto::system_path
