#pragma once

#include <array>
#include <stdexcept>
#include <string>

namespace velto {

using UuidBytes = std::array<unsigned char, 16>;

// The kernel's random source failed: there is no safe way to name a private directory, so the
// caller stops instead of carrying on.
class RandomSourceError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// 16 bytes from getrandom(2), or from /dev/urandom once /dev/random is ready where the system
// call is missing or refused. Throws RandomSourceError when neither works.
UuidBytes kernel_random_bytes();

// The version-4 UUID made of `bytes` (version and variant bits overwritten), in its 36-character
// hyphenated lowercase form.
std::string format_uuid_v4(UuidBytes bytes);

// A fresh random version-4 UUID. Throws RandomSourceError.
std::string random_uuid_v4();

}  // namespace velto
