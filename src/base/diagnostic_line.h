// The lines the program writes to its standard error: the program's own words with values from
// outside (paths, TMPDIR, what a program printed, a system's error text) escaped in them, each
// line at most kLineLimit bytes. A value from outside can be of any size, so when a line would be
// longer, the values give way in their middle; the program's own words, and with them the reason
// at the end of the line, are always written whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace velto {

// The most bytes a line on standard error takes, its line feed included. A terminal or the journal
// shows a line of this size whole; past it, a value from outside (a huge TMPDIR) would bury the
// lines around it.
inline constexpr std::size_t kLineLimit = 8 * 1024;
// Stands where the middle of a value was left out.
inline constexpr std::string_view kOmittedMarker = "[\xe2\x80\xa6]";
// Ends a line that is too long even with every value shortened to nothing; only the program's own
// words could make one, and none are that long.
inline constexpr std::string_view kCutMarker = "[cut]";

class DiagnosticLine {
 public:
  DiagnosticLine() = default;
  explicit DiagnosticLine(std::string_view words) { this->words(words); }

  // The program's own words, never shortened.
  DiagnosticLine& words(std::string_view own);
  // A value from outside, escaped (see escaped() in quoted.h): what gives way when the line is too
  // long.
  DiagnosticLine& value(std::string_view outside);
  // The same in double quotes.
  DiagnosticLine& quoted(std::string_view outside);
  DiagnosticLine& append(const DiagnosticLine& other);
  bool empty() const noexcept { return text_.empty(); }

  // The line without its line feed, at most `limit` bytes when the own words fit. When the whole
  // is longer, each value longer than a common share is shortened to that share by leaving out
  // whole characters and escapes from its middle, marked with kOmittedMarker; the share is the
  // largest one that fits, so short values stay whole and long ones keep as much as there is room
  // for, their start and their end.
  std::string text(std::size_t limit = kLineLimit - 1) const;

 private:
  struct Span {
    std::size_t begin;
    std::size_t size;
  };
  std::string text_;  // own words and escaped values, in order
  std::vector<Span> values_;
};

// A place in the queue of writers to the program's standard error. The lines written through a turn
// come after those of every turn taken before it, and before those of every turn taken after it,
// each whole: none lands inside another. Taking a turn never waits; writing waits for the turns
// before it to be done, for as long as that takes, since their reader may not be reading yet (a
// launcher that reads only at the end, a terminal paused with Ctrl-S). So a thread can settle
// where its lines go, do first what must not wait, and write afterwards. Move-less: one thread
// takes it, writes through it and lets it go, which hands the queue on.
class ErrorTurn {
 public:
  ErrorTurn() noexcept;
  ErrorTurn(const ErrorTurn&) = delete;
  ErrorTurn& operator=(const ErrorTurn&) = delete;
  // Waits for the turn if it has not come, then passes it on.
  ~ErrorTurn();

  // Writes `line` and a line feed in one write once the turn has come. A line longer than
  // kLineLimit is cut on a character boundary and ends with kCutMarker. Every line the program
  // writes passes through here.
  void write(std::string_view line) noexcept;

 private:
  void wait_for_it() noexcept;
  std::uint64_t number_ = 0;
  bool come_ = false;
};

// Writes `line` through a turn of its own, waiting for the lines before it.
void write_line(std::string_view line) noexcept;

// Writes `head` (the program's own words) and the value `outside` as one fitted line.
// Without memory to escape it, `head` is written alone.
void write_error_line(std::string_view head, std::string_view outside) noexcept;

}  // namespace velto
