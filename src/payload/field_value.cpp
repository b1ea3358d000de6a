#include "payload/field_value.h"

namespace velto {

// GLib's g_utf8_make_valid would also serve, but it turns NUL bytes into U+FFFD although they are
// valid UTF-8, so the decoder is written out here.
char32_t Utf8Reader::next() noexcept {
  const std::size_t n = bytes_.size();
  const auto lead = static_cast<unsigned char>(bytes_[offset_]);
  if (lead < 0x80) {
    ++offset_;
    return lead;
  }
  int need = 0;
  unsigned char lo = 0x80;
  unsigned char hi = 0xbf;
  char32_t cp = 0;
  if (lead >= 0xc2 && lead <= 0xdf) {
    need = 1;
    cp = lead & 0x1f;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    need = 2;
    cp = lead & 0x0f;
    if (lead == 0xe0) lo = 0xa0;
    if (lead == 0xed) hi = 0x9f;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    need = 3;
    cp = lead & 0x07;
    if (lead == 0xf0) lo = 0x90;
    if (lead == 0xf4) hi = 0x8f;
  } else {
    ++offset_;
    return U'\uFFFD';
  }
  std::size_t j = offset_ + 1;
  int got = 0;
  while (got < need && j < n) {
    const auto next_byte = static_cast<unsigned char>(bytes_[j]);
    if (next_byte < lo || next_byte > hi) break;
    cp = (cp << 6) | (next_byte & 0x3f);
    lo = 0x80;
    hi = 0xbf;
    ++j;
    ++got;
  }
  offset_ = j;
  return got == need ? cp : U'\uFFFD';
}

bool is_unicode_white_space(char32_t c) noexcept {
  return (c >= 0x09 && c <= 0x0d) || c == 0x20 || c == 0x85 || c == 0xa0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200a) || c == 0x2028 || c == 0x2029 || c == 0x202f || c == 0x205f ||
         c == 0x3000;
}

std::string_view trim_field_output(std::string_view output) noexcept {
  // One pass: where the first code point that is not white space starts, and where the last one
  // ends. Decoding the bytes between from their start gives the same code points again.
  std::size_t begin = output.size();
  std::size_t end = 0;
  for (Utf8Reader reader(output); !reader.done();) {
    const std::size_t at = reader.offset();
    if (is_unicode_white_space(reader.next())) continue;
    if (begin == output.size()) begin = at;
    end = reader.offset();
  }
  return begin < end ? output.substr(begin, end - begin) : std::string_view();
}

bool field_output_matches(std::string_view output, std::string_view expected) noexcept {
  Utf8Reader got(trim_field_output(output));
  Utf8Reader want(expected);
  while (!got.done() && !want.done()) {
    if (got.next() != want.next()) return false;
  }
  return got.done() && want.done();
}

}  // namespace velto
