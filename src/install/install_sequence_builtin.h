// The installation run as the executable performs it: the built-in package, the system's own
// programs and the built-in script texts.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "install/install_sequence.h"

namespace velto {

// A plan that stages the built-in package under TMPDIR (or /tmp, read when the run stages) and
// starts the programs of production_program_paths().
InstallPlan builtin_install_plan(std::string_view preflight_script, std::string_view install_script,
                                 std::optional<std::vector<std::string>> environment);

}  // namespace velto
