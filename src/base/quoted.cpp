#include "base/quoted.h"

#include "base/utf8.h"

namespace velto {
namespace {

constexpr char kHex[] = "0123456789abcdef";

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
    const Utf8Sequence sequence = decode_utf8(text);
    const char32_t c = sequence.code_point;
    // An invalid byte is written alone; the bytes after it are decoded afresh.
    const std::size_t length = sequence.valid ? sequence.length : 1;
    if (!sequence.valid || c < 0x20 || c == 0x7f) {
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
      out.append(text.substr(0, length));
    }
    text.remove_prefix(length);
  }
  return out;
}

}  // namespace velto
