#include "install/install_sequence_builtin.h"

#include "payload/package_payload.h"

namespace velto {

InstallPlan builtin_install_plan(std::string_view preflight_script, std::string_view install_script,
                                 std::optional<std::vector<std::string>> environment) {
  const PackagePayload& payload = builtin_payload();
  return InstallPlan{
      // Reads TMPDIR each time a run stages.
      .stage = stage_package,
      .digest = std::string(payload.digest),
      .size = payload.size,
      .paths = production_program_paths(),
      .preflight_script = std::string(preflight_script),
      .install_script = std::string(install_script),
      .environment = std::move(environment),
  };
}

}  // namespace velto
