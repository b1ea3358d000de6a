// The texts of the two scripts that the setup program runs through external interpreters.
#pragma once

#include <string_view>

namespace velto {

// The preflight script, for "/usr/bin/python3" "-c" TEXT as the invoking user.
std::string_view preflight_script_text() noexcept;

// The privileged install script, for "/usr/bin/pkexec" "/bin/sh" "-c" TEXT ... as root.
std::string_view privileged_install_script_text() noexcept;

}  // namespace velto
