// Shell one-liners as Commands for the tests of running children, and how a ChildEnd prints when an
// assertion about it fails.
#pragma once

#include <cstddef>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "base/command.h"

namespace velto {

inline void PrintTo(const ChildEnd& end, std::ostream* out) {
  static constexpr const char* kKinds[] = {"not_run", "signalled", "exited"};
  *out << kKinds[static_cast<int>(end.kind())] << "(" << end.value() << ")";
}

namespace testing {

// A shell one-liner as a Command: sh -c SCRIPT sh ARGS...
inline Command shell(const std::string& script, std::vector<std::string> args = {},
                     EnvironmentOverlay overlay = {}) {
  std::vector<std::string> arguments{"-c", script, "sh"};
  arguments.insert(arguments.end(), args.begin(), args.end());
  return Command{"/bin/sh", std::move(arguments), std::move(overlay)};
}

// More than any case here prints.
constexpr std::size_t kNoLimit = std::size_t{1} << 24;

}  // namespace testing
}  // namespace velto
