// The installation run as the executable performs it: the built-in package, the system's own
// programs and the built-in script texts.
#pragma once

#include <string_view>

#include "install/install_sequence.h"

namespace velto {

// A plan that stages the built-in package under TMPDIR (or /tmp, read when the run stages) and
// starts the system's programs (base/system_paths.h), each child (dpkg-deb too) with
// `child_environment` on top of this process's environment as it is when the child starts.
InstallPlan builtin_install_plan(std::string_view preflight_script, std::string_view install_script,
                                 EnvironmentOverlay child_environment);

}  // namespace velto
