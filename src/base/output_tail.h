// The end of what a child printed, kept while it prints: a program can print without end (a flood,
// a dpkg that is stuck), while its last lines are the ones that say why it failed.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace velto {

class OutputTail {
 public:
  // How much is kept: a page or two of apt-get's last lines.
  static constexpr std::size_t kLimit = 16 * 1024;

  // Takes all the memory it will ever need, so that appending never allocates (and so never
  // throws) while a child runs.
  OutputTail() { kept_.reserve(kLimit); }

  // Adds `bytes` at the end, dropping from the front whatever passes kLimit, and with it the rest
  // of a character whose start it dropped.
  void append(std::string_view bytes) noexcept;

  // The last bytes printed, at most kLimit.
  std::string_view text() const noexcept { return kept_; }
  // Whether bytes before text() were dropped and the last of them was not a line feed: the first
  // line of text() is then only the end of a line.
  bool starts_inside_a_line() const noexcept { return starts_inside_a_line_; }

 private:
  std::string kept_;
  bool starts_inside_a_line_ = false;
};

}  // namespace velto
