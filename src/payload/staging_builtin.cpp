#include "payload/staging_builtin.h"

#include <cstdlib>

#include "base/system_paths.h"
#include "payload/package_payload.h"

namespace velto {

std::optional<std::string> tmpdir_from_environment() {
  const char* tmpdir = std::getenv("TMPDIR");
  return tmpdir ? std::optional<std::string>(tmpdir) : std::nullopt;
}

StagingOutcome stage_package(const EnvironmentOverlay& reader_environment) {
  return stage_payload(builtin_payload(), system_path::kDpkgDeb, tmpdir_from_environment(),
                       reader_environment);
}

}  // namespace velto
