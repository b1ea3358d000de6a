#include "base/utf8.h"

namespace velto {

// Written out rather than taken from GLib: the core links no GLib, and g_utf8_make_valid would
// turn NUL bytes into U+FFFD although they are valid UTF-8.
Utf8Sequence decode_utf8(std::string_view text) noexcept {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return {lead, 1, true};
  std::size_t need = 0;
  char32_t code_point = 0;
  unsigned char low = 0x80;  // the range the second byte must lie in
  unsigned char high = 0xbf;
  if (lead >= 0xc2 && lead <= 0xdf) {
    need = 1;
    code_point = lead & 0x1f;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    need = 2;
    code_point = lead & 0x0f;
    if (lead == 0xe0) low = 0xa0;   // overlong
    if (lead == 0xed) high = 0x9f;  // surrogates
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    need = 3;
    code_point = lead & 0x07;
    if (lead == 0xf0) low = 0x90;   // overlong
    if (lead == 0xf4) high = 0x8f;  // above U+10FFFF
  } else {
    return {0, 1, false};
  }
  std::size_t length = 1;
  while (length <= need && length < text.size()) {
    const unsigned char next = byte(length);
    if (next < low || next > high) break;
    code_point = (code_point << 6) | (next & 0x3f);
    low = 0x80;
    high = 0xbf;
    ++length;
  }
  if (length == need + 1) return {code_point, length, true};
  return {0, length, false};
}

std::size_t utf8_continuation_length(std::string_view text) noexcept {
  std::size_t length = 0;
  while (length < 3 && length < text.size() &&
         (static_cast<unsigned char>(text[length]) & 0xc0) == 0x80) {
    ++length;
  }
  return length;
}

std::string_view utf8_prefix(std::string_view text, std::size_t limit) noexcept {
  std::size_t end = 0;
  while (end < text.size()) {
    const Utf8Sequence sequence = decode_utf8(text.substr(end));
    const std::size_t length = sequence.valid ? sequence.length : 1;
    if (end + length > limit) break;
    end += length;
  }
  return text.substr(0, end);
}

char32_t Utf8Reader::next() noexcept {
  const Utf8Sequence sequence = decode_utf8(bytes_.substr(offset_));
  offset_ += sequence.length;
  return sequence.valid ? sequence.code_point : U'\uFFFD';
}

bool is_unicode_white_space(char32_t c) noexcept {
  return (c >= 0x09 && c <= 0x0d) || c == 0x20 || c == 0x85 || c == 0xa0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200a) || c == 0x2028 || c == 0x2029 || c == 0x202f || c == 0x205f ||
         c == 0x3000;
}

std::string_view trim_unicode_white_space(std::string_view text) noexcept {
  // One pass: where the first code point that is not white space starts, and where the last one
  // ends. Decoding the bytes between from their start gives the same code points again.
  std::size_t begin = text.size();
  std::size_t end = 0;
  for (Utf8Reader reader(text); !reader.done();) {
    const std::size_t at = reader.offset();
    if (is_unicode_white_space(reader.next())) continue;
    if (begin == text.size()) begin = at;
    end = reader.offset();
  }
  return begin < end ? text.substr(begin, end - begin) : std::string_view();
}

}  // namespace velto
