#pragma once

#include <string>
#include <string_view>

namespace velto {

// Decodes `bytes` as UTF-8, replacing each maximal invalid subsequence with U+FFFD.
std::u32string decode_utf8_lossy(std::string_view bytes);

// True for the code points of Unicode's White_Space property.
bool is_unicode_white_space(char32_t c) noexcept;

// Whether a field reader's output names exactly `expected`: the output decoded as UTF-8 (with
// replacement) and trimmed of Unicode white space on both ends must equal it code point for
// code point.
bool field_output_matches(std::string_view output, std::string_view expected);

}  // namespace velto
