#include "payload/package_payload.h"

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

}  // namespace velto
