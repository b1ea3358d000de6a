#pragma once

namespace velto {

// Proves and stages the built-in package, removes it again and gives the exit status: 0 when it
// staged, 1 when it did not. Prints nothing, reads no LANG and never touches GTK.
int run_check_mode() noexcept;

}  // namespace velto
