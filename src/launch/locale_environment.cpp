#include "launch/locale_environment.h"

#include <glib.h>

#include <cstdlib>

namespace velto {

std::vector<std::string> drop_invalid_language_variables() {
  std::vector<std::string> dropped;
  for (const char* name : kLanguageVariables) {
    const char* value = std::getenv(name);
    if (value == nullptr || g_utf8_validate(value, -1, nullptr)) continue;
    dropped.push_back(std::string(name) + "=" + value);
    ::unsetenv(name);
  }
  return dropped;
}

}  // namespace velto
