// A package carried by the program, with the facts it must prove before anyone acts on it; and the
// one this program carries.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

#include "package_facts.h"

namespace velto {

struct ControlField {
  std::string_view name;
  std::string_view value;
};

// A Debian package carried by the program, with the facts it must prove before anyone acts on it.
struct PackagePayload {
  std::span<const unsigned char> bytes;
  std::string_view digest;  // SHA-256 as 64 lowercase hexadecimal digits
  std::size_t size = 0;
  std::array<ControlField, 3> fields;  // confirmed in this order
};

// The embedded package bytes with the digest and size derived from them at build time.
const PackagePayload& builtin_payload() noexcept;

}  // namespace velto
