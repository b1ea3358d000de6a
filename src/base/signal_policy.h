// The signals that children start with, and how a child stands to the signals that end this
// program.
#pragma once

#include <signal.h>

namespace velto {

// Notes which signals this process was started with ignored (nohup's HUP, a shell's INT and QUIT
// for a background job), so that every child keeps them ignored, as the user asked, while any
// signal this process ignored itself (GLib ignores SIGPIPE) starts at its default in the child.
// SIGCHLD is the exception: started ignored, it is set back to its default here, for this process
// and so for every child, since an ignored SIGCHLD makes the kernel reap children before anyone
// can wait for them. Call it once, first thing in main(): before GTK or GLib can change a
// disposition and before any thread exists. The set is written only by that call and only read
// afterwards, by threads that start later. Without the call (in tests) no signal counts as
// ignored at start.
void record_signals_ignored_at_start() noexcept;

// How a child stands to the signals that end this program.
enum class ChildSignals {
  // In this program's process group, so that a terminal's Ctrl-C or hang-up reaches it as it
  // reaches this program, with the dispositions this program was started with.
  shared,
  // For a helper whose answer is read through a pipe and that leaves a temporary directory behind
  // when a signal kills it (dpkg-deb -f unpacks into TMPDIR). It lives for moments and loses
  // nothing by finishing its work, so none of the signals that end this program ends it:
  // - it runs in a process group of its own, which a terminal's Ctrl-C and hang-up do not reach;
  // - it starts with TERM, INT and HUP blocked, and so do the programs it starts (tar): a signal
  //   sent to every process at once (systemd ends a desktop session's scope at logout by sending
  //   TERM to each process in it) stays pending, unacted on, until the helper has ended;
  // - SIGPIPE is ignored: once this program has ended, the helper's next write into the closed
  //   pipe fails with EPIPE instead of killing it, and it ends through its own error path, which
  //   removes what it made.
  // posix_spawn can hand on an ignored signal only by ignoring it here, so starting such a child
  // makes this process ignore SIGPIPE from then on, as GLib does in the window anyway.
  isolated,
};

// The signals a child starts with at their default: every one but those this process was started
// with ignored, and SIGPIPE too for an isolated child.
sigset_t signals_at_default_in_children(ChildSignals signals) noexcept;

// SIGPIPE ignored from now on in this process: a write into a pipe whose reader is gone then
// fails with EPIPE. Safe from any thread: it is one system call, and the only other code here
// that touches SIGPIPE (GLib's sockets) sets it the same way.
bool ignore_broken_pipes() noexcept;

}  // namespace velto
