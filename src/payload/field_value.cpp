#include "payload/field_value.h"

#include "base/utf8.h"

namespace velto {

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
