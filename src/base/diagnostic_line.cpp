#include "base/diagnostic_line.h"

#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <new>

#include "base/io.h"
#include "base/quoted.h"
#include "base/utf8.h"

namespace velto {
namespace {

// The bytes of the escape or character that `escaped_text`, made by escaped(), starts with: a cut
// between two of these never shows half an escape or half a character.
std::size_t unit_length(std::string_view escaped_text) noexcept {
  std::size_t length = 1;
  if (escaped_text.front() == '\\' && escaped_text.size() > 1) {
    length = escaped_text[1] == 'x' ? 4 : escaped_text[1] == 'u' ? 6 : 2;
  } else {
    length = decode_utf8(escaped_text).length;
  }
  return std::min(length, escaped_text.size());
}

// `value` with whole units left out of its middle and the marker in their place, keeping at most
// `keep` bytes of it: the start gets the larger half of them, the end the rest.
std::string shortened(std::string_view value, std::size_t keep) {
  const std::size_t head_room = keep - keep / 2;
  const std::size_t tail_room = keep / 2;
  std::size_t head = 0;
  std::size_t tail = value.size();
  bool head_growing = true;
  for (std::size_t at = 0; at < value.size();) {
    const std::size_t length = unit_length(value.substr(at));
    if (head_growing && at + length <= head_room) {
      head = at + length;
    } else {
      head_growing = false;
    }
    // The first boundary from which the rest fits gives the longest end.
    if (tail == value.size() && at >= head && value.size() - at <= tail_room) tail = at;
    at += length;
  }
  std::string out(value.substr(0, head));
  out += kOmittedMarker;
  out += value.substr(tail);
  return out;
}

}  // namespace

DiagnosticLine& DiagnosticLine::words(std::string_view own) {
  text_ += own;
  return *this;
}

DiagnosticLine& DiagnosticLine::value(std::string_view outside) {
  const std::string shown = escaped(outside);
  values_.push_back(Span{text_.size(), shown.size()});
  text_ += shown;
  return *this;
}

DiagnosticLine& DiagnosticLine::quoted(std::string_view outside) {
  return words("\"").value(outside).words("\"");
}

DiagnosticLine& DiagnosticLine::append(const DiagnosticLine& other) {
  const std::size_t offset = text_.size();
  text_ += other.text_;
  for (const Span& span : other.values_) values_.push_back(Span{offset + span.begin, span.size});
  return *this;
}

std::string DiagnosticLine::text(std::size_t limit) const {
  if (text_.size() <= limit) return text_;
  const std::size_t marker = kOmittedMarker.size();
  std::size_t own = text_.size();
  std::size_t longest = 0;
  for (const Span& span : values_) {
    own -= span.size;
    longest = std::max(longest, span.size);
  }
  // A value is shortened only where that saves room: to `share` bytes and the marker.
  const auto cost = [&](const Span& span, std::size_t share) {
    return span.size <= share + marker ? span.size : share + marker;
  };
  const auto fits = [&](std::size_t share) {
    std::size_t total = own;
    for (const Span& span : values_) total += cost(span, share);
    return total <= limit;
  };
  // The largest share that fits; none fits when the own words alone nearly fill the line, and
  // then every long value is left out whole (write_line cuts what is still too long).
  std::size_t share = 0;
  for (std::size_t high = longest; share < high;) {
    const std::size_t middle = share + (high - share + 1) / 2;
    if (fits(middle)) {
      share = middle;
    } else {
      high = middle - 1;
    }
  }
  std::string out;
  out.reserve(limit);
  std::size_t at = 0;
  for (const Span& span : values_) {
    out.append(text_, at, span.begin - at);
    const std::string_view value = std::string_view(text_).substr(span.begin, span.size);
    if (cost(span, share) == span.size) {
      out += value;
    } else {
      out += shortened(value, share);
    }
    at = span.begin + span.size;
  }
  out.append(text_, at);
  return out;
}

namespace {

// Whose lines are written now, and who waits. Built in place at first use and never destroyed: a
// thread may still wait for its turn, or be writing, while the process ends.
struct Turns {
  std::mutex mutex;
  std::condition_variable changed;
  std::uint64_t taken = 0;    // turns handed out so far
  std::uint64_t serving = 0;  // the turn whose lines go out now
};

Turns& turns() noexcept {
  alignas(Turns) static unsigned char storage[sizeof(Turns)];
  static Turns* const shared = new (storage) Turns;
  return *shared;
}

}  // namespace

ErrorTurn::ErrorTurn() noexcept {
  Turns& shared = turns();
  const std::lock_guard lock(shared.mutex);
  number_ = shared.taken++;
}

void ErrorTurn::wait_for_it() noexcept {
  if (come_) return;
  Turns& shared = turns();
  std::unique_lock lock(shared.mutex);
  shared.changed.wait(lock, [&] { return shared.serving == number_; });
  come_ = true;
}

ErrorTurn::~ErrorTurn() {
  wait_for_it();
  Turns& shared = turns();
  {
    const std::lock_guard lock(shared.mutex);
    ++shared.serving;
  }
  shared.changed.notify_all();
}

void ErrorTurn::write(std::string_view line) noexcept {
  wait_for_it();
  // Built in a buffer of its own, so that writing needs no memory.
  char text[kLineLimit];
  std::string_view kept = line;
  std::string_view marker;
  if (line.size() + 1 > kLineLimit) {
    kept = utf8_prefix(line, kLineLimit - 1 - kCutMarker.size());
    marker = kCutMarker;
  }
  kept.copy(text, kept.size());
  marker.copy(text + kept.size(), marker.size());
  const std::size_t length = kept.size() + marker.size();
  text[length] = '\n';
  write_all(STDERR_FILENO, text, length + 1);
}

void write_line(std::string_view line) noexcept { ErrorTurn().write(line); }

void write_error_line(std::string_view head, std::string_view outside) noexcept {
  try {
    write_line(DiagnosticLine(head).value(outside).text());
  } catch (...) {
    write_line(head);
  }
}

}  // namespace velto
