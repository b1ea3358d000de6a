#pragma once

#include <optional>
#include <span>
#include <string>

namespace velto {

// SHA-256 of `bytes`, computed in one pass over the caller's memory, as 64 lowercase hexadecimal
// digits. Nothing when the hash cannot be computed.
std::optional<std::string> sha256_hex(std::span<const unsigned char> bytes);

}  // namespace velto
