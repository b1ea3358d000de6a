#pragma once

#include <array>
#include <stdexcept>
#include <string>
#include <string_view>

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

// Whether `text` has the form format_uuid_v4() gives: 8-4-4-4-12 lowercase hexadecimal digits,
// with the version digit 4 and a variant digit of 8, 9, a or b.
bool is_uuid_v4_text(std::string_view text) noexcept;

}  // namespace velto
