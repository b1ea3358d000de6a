#include "launch/command_line.h"

#include <cstring>

namespace velto {

bool wants_check_mode(int argc, char** argv) noexcept {
  // A byte comparison: elements that are not valid UTF-8 can never match and are ignored with
  // everything else.
  for (int i = 0; i < argc; ++i) {
    if (argv[i] != nullptr && std::strcmp(argv[i], "--check") == 0) return true;
  }
  return false;
}

}  // namespace velto
