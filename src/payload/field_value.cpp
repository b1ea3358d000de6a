#include "payload/field_value.h"

namespace velto {

// GLib's g_utf8_make_valid would also serve, but it turns NUL bytes into U+FFFD although they are
// valid UTF-8, so the decoder is written out here.
std::u32string decode_utf8_lossy(std::string_view bytes) {
  std::u32string out;
  out.reserve(bytes.size());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    if (lead < 0x80) {
      out.push_back(lead);
      ++i;
      continue;
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
      out.push_back(U'\uFFFD');
      ++i;
      continue;
    }
    std::size_t j = i + 1;
    int got = 0;
    while (got < need && j < n) {
      const auto next = static_cast<unsigned char>(bytes[j]);
      if (next < lo || next > hi) break;
      cp = (cp << 6) | (next & 0x3f);
      lo = 0x80;
      hi = 0xbf;
      ++j;
      ++got;
    }
    out.push_back(got == need ? cp : U'\uFFFD');
    i = j;
  }
  return out;
}

bool is_unicode_white_space(char32_t c) noexcept {
  return (c >= 0x09 && c <= 0x0d) || c == 0x20 || c == 0x85 || c == 0xa0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200a) || c == 0x2028 || c == 0x2029 || c == 0x202f || c == 0x205f ||
         c == 0x3000;
}

bool field_output_matches(std::string_view output, std::string_view expected) {
  const std::u32string text = decode_utf8_lossy(output);
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && is_unicode_white_space(text[begin])) ++begin;
  while (end > begin && is_unicode_white_space(text[end - 1])) --end;
  return std::u32string_view(text).substr(begin, end - begin) == decode_utf8_lossy(expected);
}

}  // namespace velto
