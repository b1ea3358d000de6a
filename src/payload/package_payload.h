// The package this program carries, and staging it with the fixed production values.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "package_facts.h"
#include "payload/staging.h"

namespace velto {

inline constexpr const char* kFieldReaderPath = "/usr/bin/dpkg-deb";

// The embedded package bytes with the digest and size derived from them at build time.
const PackagePayload& builtin_payload() noexcept;

// TMPDIR as the environment has it; nothing when it is not set.
std::optional<std::string> tmpdir_from_environment();

// Stages the built-in package under TMPDIR (or /tmp) and has /usr/bin/dpkg-deb confirm it, with
// `reader_environment` on top of this process's environment. Throws RandomSourceError when the
// kernel gives no random bytes.
StagingOutcome stage_package(const EnvironmentOverlay& reader_environment = {});

}  // namespace velto
