#include "base/quoted.h"

#include <algorithm>
#include <cstdio>

namespace velto {
namespace {

constexpr char kHex[] = "0123456789abcdef";

struct Decoded {
  char32_t code_point = 0;
  std::size_t length = 0;  // 0: the byte at the start is not part of a valid sequence
};

// The valid UTF-8 sequence at the start of `text`: shortest form only, no surrogates, nothing
// above U+10FFFF.
Decoded decode(std::string_view text) noexcept {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return {lead, 1};
  std::size_t length = 0;
  char32_t code_point = 0;
  unsigned char low = 0x80;  // the range the second byte must lie in
  unsigned char high = 0xbf;
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2;
    code_point = lead & 0x1f;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3;
    code_point = lead & 0x0f;
    if (lead == 0xe0) low = 0xa0;   // overlong
    if (lead == 0xed) high = 0x9f;  // surrogates
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4;
    code_point = lead & 0x07;
    if (lead == 0xf0) low = 0x90;   // overlong
    if (lead == 0xf4) high = 0x8f;  // above U+10FFFF
  } else {
    return {};
  }
  if (text.size() < length || byte(1) < low || byte(1) > high) return {};
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xc0) != 0x80) return {};
    code_point = (code_point << 6) | (byte(i) & 0x3f);
  }
  return {code_point, length};
}

// Code points a terminal acts on, or that reorder or break what follows them on the line.
bool needs_escape(char32_t c) noexcept {
  return c < 0x20 || (c >= 0x7f && c <= 0x9f) || c == 0x061c || c == 0x200e || c == 0x200f ||
         (c >= 0x2028 && c <= 0x202e) || (c >= 0x2066 && c <= 0x2069);
}

void append_hex(std::string& out, char32_t value, int digits) {
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) out += kHex[(value >> shift) & 0x0f];
}

}  // namespace

std::string escaped(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    const Decoded decoded = decode(text);
    const char32_t c = decoded.code_point;
    if (decoded.length == 0 || c < 0x20 || c == 0x7f) {
      // An invalid byte, or a one-byte control: the byte itself.
      out += "\\x";
      append_hex(out, static_cast<unsigned char>(text.front()), 2);
    } else if (needs_escape(c)) {
      out += "\\u";
      append_hex(out, c, 4);
    } else if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else {
      out.append(text.substr(0, decoded.length));
    }
    text.remove_prefix(decoded.length == 0 ? 1 : decoded.length);
  }
  return out;
}

std::string quoted(std::string_view text) { return '"' + escaped(text) + '"'; }

std::string_view utf8_prefix(std::string_view text, std::size_t limit) noexcept {
  std::size_t end = 0;
  while (end < text.size()) {
    const std::size_t length = std::max<std::size_t>(decode(text.substr(end)).length, 1);
    if (end + length > limit) break;
    end += length;
  }
  return text.substr(0, end);
}

void write_error_line(std::string_view head, std::string_view outside) noexcept {
  try {
    std::string line(head);
    line += escaped(outside);
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stderr);
  } catch (...) {
    std::fprintf(stderr, "%.*s\n", static_cast<int>(head.size()), head.data());
  }
}

}  // namespace velto
