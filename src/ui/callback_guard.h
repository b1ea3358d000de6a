// Keeps C++ exceptions out of GTK and GLib, which are C and cannot unwind them.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "base/diagnostic_line.h"

namespace velto {

// Runs `body` and returns its result. A callback that throws has left the window half updated, so
// the program reports the exception on standard error and stops rather than carry on.
template <typename Body>
auto guard_callback(const char* where, Body&& body) noexcept -> decltype(body()) {
  try {
    return body();
  } catch (const std::exception& error) {
    write_error_line(std::string("velto-linux-setup: ") + where + ": ", error.what());
  } catch (...) {
    char line[256];  // built without memory, which may be what ran out
    std::snprintf(line, sizeof line, "velto-linux-setup: %s: unknown exception", where);
    write_line(line);
  }
  std::abort();
}

}  // namespace velto
