// Text from outside (a path, a value a program printed) made safe to write on one line of a
// terminal.
#pragma once

#include <string>
#include <string_view>

namespace velto {

// `text` in double quotes, with control bytes, quotes and backslashes written as escapes, so a
// line feed or an escape sequence in it can neither break the line nor drive the terminal.
inline std::string quoted(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte == 0x7f) {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0f];
    } else {
      out += c;
    }
  }
  out += '"';
  return out;
}

}  // namespace velto
