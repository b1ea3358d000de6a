// Decoding UTF-8 one sequence at a time, for text that comes from outside and may not be UTF-8.
#pragma once

#include <cstddef>
#include <string_view>

namespace velto {

struct Utf8Sequence {
  char32_t code_point = 0;  // only when valid
  std::size_t length = 0;   // bytes taken from the text: at least 1
  bool valid = false;
};

// The sequence at the start of `text`, which must not be empty: a valid one (shortest form only,
// no surrogates, nothing above U+10FFFF), or else the longest start of `text` that could begin a
// valid sequence (one byte at least), marked invalid. Reading on after an invalid sequence thus
// replaces each maximal invalid subsequence once, as the Unicode standard recommends.
Utf8Sequence decode_utf8(std::string_view text) noexcept;

// How many of the bytes `text` starts with continue a character that began before it (at most
// three): what a cut through the middle of a character leaves at the start of what follows.
std::size_t utf8_continuation_length(std::string_view text) noexcept;

}  // namespace velto
