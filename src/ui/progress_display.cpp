#include "ui/progress_display.h"

#include <string>
#include <variant>

#include "install/outcome_keys.h"
#include "ui/callback_guard.h"

namespace velto {
namespace {

constexpr guint kPollIntervalMs = 100;

gboolean on_tick(gpointer data) noexcept {
  return guard_callback("progress",
                        [&] { return poll_progress(*static_cast<PollContext*>(data)); });
}

void free_poll_context(gpointer data) noexcept { delete static_cast<PollContext*>(data); }

void show_report(PollContext& context, const char* key) {
  *context.running = false;
  gtk_spinner_stop(context.spinner.get());
  GtkWidget* install = GTK_WIDGET(context.button.get());
  gtk_widget_set_sensitive(install, TRUE);
  show_message(context.message.get(), context.button.get(),
               lookup_text(*context.catalogue, key).value_or(std::string()).c_str());
  // GTK dropped the focus when the button went insensitive; give it back, so that Enter or Space
  // retries at once.
  gtk_widget_grab_focus(install);
}

}  // namespace

void show_message(GtkLabel* message, GtkButton* install, const char* text) {
  gtk_label_set_text(message, text);
  describe_install(install, text);
}

void describe_install(GtkButton* install, const char* text) {
  // Set as a property rather than with ATK's own call, which would make the program need the ATK
  // library by name besides GTK.
  g_object_set(gtk_widget_get_accessible(GTK_WIDGET(install)), "accessible-description", text,
               nullptr);
}

gboolean poll_progress(PollContext& context) {
  const TryReceiveResult result = context.receiver.try_receive();
  if (std::holds_alternative<ChannelEmpty>(result)) return G_SOURCE_CONTINUE;

  if (const auto* event = std::get_if<ProgressEvent>(&result)) {
    if (event->is_completed()) {
      // Cleared first, so the "delete-event" handler lets this close proceed.
      *context.running = false;
      gtk_spinner_stop(context.spinner.get());
      gtk_window_close(context.window.get());
    } else {
      show_report(context, event->key());
    }
  } else {
    // Disconnected: the worker ended without a report, which is a failed run.
    show_report(context, outcome_key::kFailed);
  }
  return G_SOURCE_REMOVE;
}

void add_poll_timer(std::unique_ptr<PollContext> context) {
  // The source id is not kept: only a tick's own result removes the timer.
  g_timeout_add_full(G_PRIORITY_DEFAULT, kPollIntervalMs, on_tick, context.release(),
                     free_poll_context);
}

}  // namespace velto
