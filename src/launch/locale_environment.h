// The locale variables of the program's own environment, made safe for GTK.
#pragma once

#include <string>
#include <vector>

namespace velto {

// The variables GLib reads to name the user's languages (g_get_language_names).
inline constexpr const char* kLanguageVariables[] = {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"};

// Removes from this process's environment each language variable whose value is not valid UTF-8,
// and gives back the removed "NAME=value" entries with their bytes as they were, for the child
// processes, which get the user's locale unchanged. GTK hands those values, as language names, to
// loaders that reject such bytes by aborting the program the first time an icon is drawn; without
// them GTK falls back to the C locale. Call it before GTK starts and before any other thread
// exists: setenv and unsetenv are not thread-safe.
std::vector<std::string> drop_invalid_language_variables();

}  // namespace velto
