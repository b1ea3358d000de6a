#pragma once

namespace velto {

// Whether any element of the argument vector, the program name included, is exactly "--check".
bool wants_check_mode(int argc, char** argv) noexcept;

}  // namespace velto
