// The poll timer of an installation run: it looks for the run's one event every 100 ms and puts
// the window into its final state for the run.
#pragma once

#include <gtk/gtk.h>

#include <memory>

#include "install/install_trigger.h"

namespace velto {

// Shows `text` in the message label and hands it to a screen reader as the accessible description
// of the Install button. A screen reader does not speak a label that changes beside the focus,
// but it does speak a new description of the widget it follows, and it keeps following Install
// while the button is insensitive during a run. Unlike an alert widget or a focus move, this adds
// no widget, role or row and works for the busy text too.
void show_message(GtkLabel* message, GtkButton* install, const char* text);

// Sets the accessible description of the Install button, which a screen reader speaks with the
// button's name when it gets the focus and again whenever it changes.
void describe_install(GtkButton* install, const char* text);

// One tick, without waiting: G_SOURCE_CONTINUE while the run is still going, G_SOURCE_REMOVE once
// its event or the worker's silent end has been shown.
gboolean poll_progress(PollContext& context);

// Adds the poll timer to the default main context at the default priority. GLib owns the context
// from here on and frees it, through the timer's destroy function, once a tick has removed the
// timer.
void add_poll_timer(std::unique_ptr<PollContext> context);

}  // namespace velto
