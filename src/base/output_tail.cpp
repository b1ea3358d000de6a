#include "base/output_tail.h"

#include "base/utf8.h"

namespace velto {

void OutputTail::append(std::string_view bytes) noexcept {
  const std::size_t total = kept_.size() + bytes.size();
  if (total <= kLimit) {
    kept_.append(bytes);
    return;
  }
  // The dropped bytes are the kept ones followed by the start of `bytes`; the last of them tells
  // whether what stays begins a line.
  const std::size_t dropped = total - kLimit;
  if (dropped >= kept_.size()) {
    const std::size_t from_new = dropped - kept_.size();
    starts_inside_a_line_ = (from_new == 0 ? kept_.back() : bytes[from_new - 1]) != '\n';
    kept_.assign(bytes.substr(from_new));
  } else {
    starts_inside_a_line_ = kept_[dropped - 1] != '\n';
    kept_.erase(0, dropped);
    kept_.append(bytes);
  }
  // The rest of a character cut in two is no character: it goes with the start it belonged to.
  if (starts_inside_a_line_) kept_.erase(0, utf8_continuation_length(kept_));
}

}  // namespace velto
