// Which version of a package the system has, read the way any user can: dpkg's status database is
// readable by all, and dpkg compares versions without privileges. Used only after apt-get failed,
// to say why when the reason is plain to see.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/child_process.h"

namespace velto {

// The version of `package` that the dpkg status database at `status_path` lists as installed
// (its Status ends in "ok installed"), or nothing. A package caught part-way (half-installed,
// unpacked, half-configured, awaiting triggers, or marked as needing reinstallation) gives nothing:
// its files on disk then need not be those of the version on record.
std::optional<std::string> installed_version(const std::string& status_path,
                                             std::string_view package);

// Whether `version` is later than `other` by Debian's rules (epochs, "~", numbers compared as
// numbers), as `dpkg --compare-versions` says. False too when dpkg gives no answer: it could not
// run, or a version is not one it can read.
bool is_later_version(const std::string& dpkg, const std::string& version, const std::string& other,
                      const EnvironmentOverlay& environment);

}  // namespace velto
