// The Install button's handler: one press puts the window into its busy state and starts one
// installation run on a worker thread of its own.
#pragma once

#include <gtk/gtk.h>

#include <functional>
#include <memory>

#include "base/glib_ptr.h"
#include "install/progress_channel.h"
#include "launch/catalogue.h"

namespace velto {

// True exactly while a run is in progress. Main thread only: the click handler sets it, the poll
// timer clears it and the window's "delete-event" handler reads it, so it needs no atomics.
using RunningFlag = std::shared_ptr<bool>;

// The whole of one run, called once on the run's own thread with the sending end of its channel.
// It sends at most one event; returning (or throwing) releases the sender, which the window reads
// as a run that ended without a report.
using WorkerBody = std::function<void(ProgressSender)>;

// What the "clicked" handler holds, each member its own reference. The button itself is not held:
// it is the object that emits the signal.
struct ClickContext {
  RunningFlag running;
  GObjectPtr<GtkSpinner> spinner;
  GObjectPtr<GtkLabel> message;
  SharedCatalogue catalogue;
  GObjectPtr<GtkWindow> window;
  WorkerBody worker_body;
};

// What each poll timer holds, each member its own reference, so it stays valid whatever happens
// to the window meanwhile. Created, used and released on the main thread only.
struct PollContext {
  ProgressReceiver receiver;
  RunningFlag running;
  GObjectPtr<GtkSpinner> spinner;
  GObjectPtr<GtkWindow> window;
  GObjectPtr<GtkButton> button;
  GObjectPtr<GtkLabel> message;
  SharedCatalogue catalogue;
};

// Connects start_install_run to the button's "clicked" signal. The context is freed when the
// handler is disconnected, at the latest when the button is destroyed.
void connect_install_trigger(GtkButton* button, std::unique_ptr<ClickContext> context);

// Starts a run unless one is in progress: busy state first, then the channel, the worker and the
// 100 ms poll timer. Main thread only.
void start_install_run(GtkButton* button, ClickContext& context);

// Runs `body(sender)` on a new detached thread. A thread that cannot be created stops the
// program with "failed to spawn thread" and the system's reason on standard error. An exception
// that escapes `body` is written to standard error and ends only that thread.
void spawn_worker(WorkerBody body, ProgressSender sender);

}  // namespace velto
