// Which version of a package the system has, read the way any user can: dpkg's status database is
// readable by all, and dpkg compares versions without privileges. Used only after apt-get failed,
// to say why when the reason is plain to see.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "base/command.h"

namespace velto {

// The version of `package` that the dpkg status database at `status_path` lists as installed
// (its Status ends in "ok installed"), or nothing. A package caught part-way (half-installed,
// unpacked, half-configured, awaiting triggers, or marked as needing reinstallation) gives nothing:
// its files on disk then need not be those of the version on record. Only a regular file is read,
// and only its first kStatusReadLimit bytes, a line at a time and at most kFieldLineLimit bytes of
// each line, so that what lies at that path costs neither a wait nor memory without end.
std::optional<std::string> installed_version(const std::string& status_path,
                                             std::string_view package);
// A real database is a few megabytes even with thousands of packages.
inline constexpr std::size_t kStatusReadLimit = 64 * 1024 * 1024;
// More than any package name, status or version needs; a longer line (a description) is passed
// over, and a field whose value was cut counts as absent.
inline constexpr std::size_t kFieldLineLimit = 4096;

// Whether `version` has the form of a Debian version: [epoch:]upstream[-revision], the upstream
// part starting with a digit. Nothing of that form can be taken for a command-line option.
bool looks_like_a_version(std::string_view version);

// Whether `version` is later than `other` by Debian's rules (epochs, "~", numbers compared as
// numbers), as `dpkg --compare-versions` says. False too when dpkg gives no answer (it could not
// run, or a version is not one it can read) and when either does not look like a version.
bool is_later_version(const std::string& dpkg, const std::string& version, const std::string& other,
                      const EnvironmentOverlay& environment);

}  // namespace velto
