#pragma once

namespace velto {

// Opens the setup window in the language LANG chooses and runs the GTK main loop until the window
// is closed. Returns the exit status: 0 once the loop has returned, whatever a run did; non-zero
// only when a translation document built into the program does not parse.
int run_graphical_mode() noexcept;

}  // namespace velto
