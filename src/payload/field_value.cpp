#include "payload/field_value.h"

#include "base/utf8.h"

namespace velto {

bool field_output_matches(std::string_view output, std::string_view expected) noexcept {
  Utf8Reader got(trim_unicode_white_space(output));
  Utf8Reader want(expected);
  while (!got.done() && !want.done()) {
    if (got.next() != want.next()) return false;
  }
  return got.done() && want.done();
}

}  // namespace velto
