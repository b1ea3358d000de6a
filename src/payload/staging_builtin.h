// Staging as the program does it: the built-in package, the system's field reader and TMPDIR.
#pragma once

#include <optional>
#include <string>

#include "base/command.h"
#include "payload/staging.h"

namespace velto {

// TMPDIR as the environment has it; nothing when it is not set.
std::optional<std::string> tmpdir_from_environment();

// Stages the built-in package under TMPDIR (or /tmp) and has /usr/bin/dpkg-deb confirm it, with
// `reader_environment` on top of this process's environment. Throws RandomSourceError when the
// kernel gives no random bytes.
StagingOutcome stage_package(const EnvironmentOverlay& reader_environment = {});

}  // namespace velto
