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
    std::fprintf(stderr, "velto-linux-setup: %s: unknown exception\n", where);
  }
  std::abort();
}

}  // namespace velto
