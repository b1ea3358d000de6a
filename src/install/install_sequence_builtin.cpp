#include "install/install_sequence_builtin.h"

#include <cstdlib>

#include "payload/package_payload.h"

namespace velto {

InstallPlan builtin_install_plan(std::string_view preflight_script, std::string_view install_script,
                                 std::optional<std::vector<std::string>> environment) {
  const PackagePayload& payload = builtin_payload();
  ProgramPaths paths = production_program_paths();
  auto stage = [field_reader = paths.field_reader]() {
    const char* tmpdir = std::getenv("TMPDIR");
    return stage_payload(builtin_payload(), field_reader,
                         tmpdir ? std::optional<std::string>(tmpdir) : std::nullopt);
  };
  return InstallPlan{
      .stage = std::move(stage),
      .digest = std::string(payload.digest),
      .size = payload.size,
      .paths = std::move(paths),
      .preflight_script = std::string(preflight_script),
      .install_script = std::string(install_script),
      .environment = std::move(environment),
  };
}

}  // namespace velto
