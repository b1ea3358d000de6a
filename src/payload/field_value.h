#pragma once

#include <cstddef>
#include <string_view>

namespace velto {

// Whether a field reader's output names exactly `expected`: the output decoded as UTF-8 (with
// replacement) and trimmed of Unicode white space on both ends must equal it code point for
// code point.
bool field_output_matches(std::string_view output, std::string_view expected) noexcept;

}  // namespace velto
