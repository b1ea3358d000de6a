// The locale variables of the program's own environment, made safe for GTK.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace velto {

// A copy of a process environment, with the null-terminated pointer array that exec and spawn
// functions take. Immutable once made, so any thread may read it; not movable, because the array
// points into the strings.
class EnvironmentBlock {
 public:
  explicit EnvironmentBlock(std::vector<std::string> entries);
  EnvironmentBlock(const EnvironmentBlock&) = delete;
  EnvironmentBlock& operator=(const EnvironmentBlock&) = delete;

  // "NAME=value" strings, ending with a null pointer.
  char* const* envp() const noexcept { return pointers_.data(); }
  const std::vector<std::string>& entries() const noexcept { return entries_; }

 private:
  std::vector<std::string> entries_;
  std::vector<char*> pointers_;
};

// The environment of this process as it is now.
std::shared_ptr<const EnvironmentBlock> capture_environment();

// The variables GLib reads to name the user's languages (g_get_language_names).
inline constexpr const char* kLanguageVariables[] = {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"};

// Removes from this process's environment each language variable whose value is not valid UTF-8.
// GTK hands those values, as language names, to loaders that reject such bytes by aborting the
// program the first time an icon is drawn; without them GTK falls back to the C locale. Call it
// before GTK starts and before any other thread exists: setenv and unsetenv are not thread-safe.
void drop_invalid_language_variables() noexcept;

}  // namespace velto
