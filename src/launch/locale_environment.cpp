#include "launch/locale_environment.h"

#include <glib.h>

#include <cstdlib>

extern char** environ;

namespace velto {

EnvironmentBlock::EnvironmentBlock(std::vector<std::string> entries)
    : entries_(std::move(entries)) {
  pointers_.reserve(entries_.size() + 1);
  for (std::string& entry : entries_) pointers_.push_back(entry.data());
  pointers_.push_back(nullptr);
}

std::shared_ptr<const EnvironmentBlock> capture_environment() {
  std::vector<std::string> entries;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    entries.emplace_back(*entry);
  }
  return std::make_shared<const EnvironmentBlock>(std::move(entries));
}

void drop_invalid_language_variables() noexcept {
  for (const char* name : kLanguageVariables) {
    const char* value = std::getenv(name);
    if (value != nullptr && !g_utf8_validate(value, -1, nullptr)) ::unsetenv(name);
  }
}

}  // namespace velto
