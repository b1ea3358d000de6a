// UTF-8 from outside, which may not be UTF-8 at all: decoding it one sequence or code point at a
// time, cutting it on a character boundary, and trimming its white space.
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

// The longest start of `text` of at most `limit` bytes that does not end inside a valid UTF-8
// sequence, so that a shortened value never shows half a character as invalid bytes.
std::string_view utf8_prefix(std::string_view text, std::size_t limit) noexcept;

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

// The bytes of `text` that remain once Unicode white space is trimmed from both ends (the text read
// as UTF-8 with replacement).
std::string_view trim_unicode_white_space(std::string_view text) noexcept;

}  // namespace velto
