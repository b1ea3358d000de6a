#pragma once

#include <cstddef>
#include <string_view>

namespace velto {

// Reads UTF-8 one code point at a time, replacing each maximal invalid subsequence with U+FFFD.
// It keeps no copy of the bytes, so a long text costs nothing beyond the text itself.
class Utf8Reader {
 public:
  explicit Utf8Reader(std::string_view bytes) noexcept : bytes_(bytes) {}
  bool done() const noexcept { return offset_ >= bytes_.size(); }
  // The byte offset of the next code point.
  std::size_t offset() const noexcept { return offset_; }
  // The next code point; only when not done().
  char32_t next() noexcept;

 private:
  std::string_view bytes_;
  std::size_t offset_ = 0;
};

// True for the code points of Unicode's White_Space property.
bool is_unicode_white_space(char32_t c) noexcept;

// The bytes of a field reader's output that remain once Unicode white space is trimmed from both
// ends (the output read as UTF-8 with replacement).
std::string_view trim_field_output(std::string_view output) noexcept;

// Whether a field reader's output names exactly `expected`: the output decoded as UTF-8 (with
// replacement) and trimmed of Unicode white space on both ends must equal it code point for
// code point.
bool field_output_matches(std::string_view output, std::string_view expected) noexcept;

}  // namespace velto
