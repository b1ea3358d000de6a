// The locale variables of the program's own environment, made safe for GTK.
#pragma once

#include <string>
#include <vector>

namespace velto {

// The environment of this process as it is now, as "NAME=value" entries.
std::vector<std::string> capture_environment();

// The variables GLib reads to name the user's languages (g_get_language_names).
inline constexpr const char* kLanguageVariables[] = {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"};

// Removes from this process's environment each language variable whose value is not valid UTF-8.
// GTK hands those values, as language names, to loaders that reject such bytes by aborting the
// program the first time an icon is drawn; without them GTK falls back to the C locale. Call it
// before GTK starts and before any other thread exists: setenv and unsetenv are not thread-safe.
void drop_invalid_language_variables() noexcept;

}  // namespace velto
