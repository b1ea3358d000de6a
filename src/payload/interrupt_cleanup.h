// What an interrupted program leaves behind: nothing of its own. TERM, INT or HUP (logout, Ctrl-C,
// kill) removes what is staged (see staged_package.h) before the process ends by that very signal.
#pragma once

#include <signal.h>

namespace velto {

// The signals that end a session's programs: TERM, INT and HUP.
sigset_t interrupting_signals() noexcept;

// Has the interrupting signals remove what is staged, then end the process by the same signal, as
// if no handler had been there. A signal that this process was started with ignored (nohup) stays
// ignored. Call once at start-up, before any other thread exists.
void install_interrupt_cleanup() noexcept;

}  // namespace velto
