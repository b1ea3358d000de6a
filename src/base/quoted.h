// Text from outside (a path, a value a program printed, a system's error text) made safe to write
// on one line of a terminal or the journal: the result is always valid UTF-8 with no line break
// and nothing a terminal would act on.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace velto {

// `text` decoded as UTF-8, with every byte that is not part of a valid sequence written as \xNN,
// the C0 controls and DEL as \xNN, the C1 controls and the code points that reorder or break a
// line (U+061C, U+200E-U+200F, U+2028-U+202E, U+2066-U+2069) as \uNNNN, and " and \ as \" and \\.
// Everything else passes unchanged.
std::string escaped(std::string_view text);

// escaped(text) in double quotes.
std::string quoted(std::string_view text);

// The longest start of `text` of at most `limit` bytes that does not end inside a valid UTF-8
// sequence, so that a shortened value never shows half a character as invalid bytes.
std::string_view utf8_prefix(std::string_view text, std::size_t limit) noexcept;

// The most bytes a line on standard error takes, its line feed included. A terminal or the journal
// shows a line of this size whole; past it, a value from outside (a huge TMPDIR) would bury the
// lines around it.
inline constexpr std::size_t kLineLimit = 8 * 1024;
// Ends a line that would be longer than kLineLimit.
inline constexpr std::string_view kCutMarker = "[cut]";

// Writes `line` and a line feed to standard error in one write, so that lines from elsewhere cannot
// land inside it. A line longer than kLineLimit is cut on a character boundary and ends with
// kCutMarker. Every line the program writes passes through here.
void write_line(std::string_view line) noexcept;

// Writes `head` (the program's own words) and escaped(outside) as one line, through write_line().
// Without memory to escape it, `head` is written alone.
void write_error_line(std::string_view head, std::string_view outside) noexcept;

}  // namespace velto
