#include "launch/locale_environment.h"

#include <glib.h>

#include <cstdlib>

extern char** environ;

namespace velto {

std::vector<std::string> capture_environment() {
  std::vector<std::string> entries;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    entries.emplace_back(*entry);
  }
  return entries;
}

void drop_invalid_language_variables() noexcept {
  for (const char* name : kLanguageVariables) {
    const char* value = std::getenv(name);
    if (value != nullptr && !g_utf8_validate(value, -1, nullptr)) ::unsetenv(name);
  }
}

}  // namespace velto
