#include "payload/package_payload.h"

#include <cstdlib>

#include "embedded/desktop_package.h"
#include "package_constants.h"

namespace velto {

const PackagePayload& builtin_payload() noexcept {
  static const PackagePayload payload{
      embedded::desktop_package(),
      generated::kPackageDigest,
      generated::kPackageSize,
      {{{"Package", kPackageName},
        {"Version", kPackageVersion},
        {"Architecture", kPackageArchitecture}}},
  };
  return payload;
}

std::optional<std::string> tmpdir_from_environment() {
  const char* tmpdir = std::getenv("TMPDIR");
  return tmpdir ? std::optional<std::string>(tmpdir) : std::nullopt;
}

StagingOutcome stage_package(const EnvironmentOverlay& reader_environment) {
  return stage_payload(builtin_payload(), kFieldReaderPath, tmpdir_from_environment(),
                       reader_environment);
}

}  // namespace velto
