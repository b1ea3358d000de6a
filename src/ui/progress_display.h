// The poll timer of an installation run: it looks for the run's one event every 100 ms and puts
// the window into its final state for the run.
#pragma once

#include <glib.h>

#include <memory>

#include "install/install_trigger.h"

namespace velto {

// One tick, without waiting: G_SOURCE_CONTINUE while the run is still going, G_SOURCE_REMOVE once
// its event or the worker's silent end has been shown.
gboolean poll_progress(PollContext& context);

// Adds the poll timer to the default main context at the default priority. GLib owns the context
// from here on and frees it, through the timer's destroy function, once a tick has removed the
// timer.
void add_poll_timer(std::unique_ptr<PollContext> context);

}  // namespace velto
