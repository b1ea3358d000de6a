#include "install/install_sequence_builtin.h"

#include "base/system_paths.h"
#include "payload/package_payload.h"
#include "payload/staging_builtin.h"

namespace velto {

InstallPlan builtin_install_plan(std::string_view preflight_script, std::string_view install_script,
                                 EnvironmentOverlay child_environment) {
  const PackagePayload& payload = builtin_payload();
  return InstallPlan{
      // Reads TMPDIR each time a run stages.
      .stage = [child_environment] { return stage_package(child_environment); },
      .digest = std::string(payload.digest),
      .size = payload.size,
      .version = std::string(kPackageVersion),
      .paths = ProgramPaths{.python = system_path::kPython,
                            .pkexec = system_path::kPkexec,
                            .shell = system_path::kShell,
                            .desktop = system_path::kDesktop},
      .preflight_script = std::string(preflight_script),
      .install_script = std::string(install_script),
      .lock_files = {system_path::kPackageManagerLocks.begin(),
                     system_path::kPackageManagerLocks.end()},
      .dpkg_status = system_path::kDpkgStatus,
      .dpkg = system_path::kDpkg,
      .child_environment = std::move(child_environment),
  };
}

}  // namespace velto
