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

StagingOutcome stage_package(const EnvironmentOverlay& reader_environment) {
  const char* tmpdir = std::getenv("TMPDIR");
  return stage_payload(builtin_payload(), kFieldReaderPath,
                       tmpdir ? std::optional<std::string>(tmpdir) : std::nullopt,
                       reader_environment);
}

}  // namespace velto
