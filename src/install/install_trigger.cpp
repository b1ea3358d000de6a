#include "install/install_trigger.h"

#include <pthread.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <system_error>
#include <utility>

#include "base/diagnostic_line.h"
#include "ui/callback_guard.h"
#include "ui/progress_display.h"

namespace velto {
namespace {

struct WorkerStart {
  WorkerBody body;
  ProgressSender sender;
};

void* run_worker(void* raw) noexcept {
  std::unique_ptr<WorkerStart> start(static_cast<WorkerStart*>(raw));
  try {
    start->body(std::move(start->sender));
  } catch (const std::exception& error) {
    write_error_line("velto-linux-setup: the installation worker stopped: ", error.what());
  } catch (...) {
    write_line("velto-linux-setup: the installation worker stopped");
  }
  // The sender has been released by now (moved into the body, or freed with `start`), so the
  // window sees either the run's event or the disconnection.
  return nullptr;
}

void on_clicked(GtkButton* button, gpointer data) noexcept {
  guard_callback("Install", [&] { start_install_run(button, *static_cast<ClickContext*>(data)); });
}

void free_click_context(gpointer data, GClosure*) noexcept {
  delete static_cast<ClickContext*>(data);
}

std::string text_or_empty(const Catalogue& catalogue, const char* key) {
  return lookup_text(catalogue, key).value_or(std::string());
}

}  // namespace

void connect_install_trigger(GtkButton* button, std::unique_ptr<ClickContext> context) {
  g_signal_connect_data(button, "clicked", G_CALLBACK(on_clicked), context.release(),
                        free_click_context, GConnectFlags{});
}

void start_install_run(GtkButton* button, ClickContext& context) {
  if (std::exchange(*context.running, true)) return;  // a run is in progress: ignore the click

  // The busy state is complete before the worker exists.
  gtk_widget_set_sensitive(GTK_WIDGET(button), FALSE);
  gtk_spinner_start(context.spinner.get());
  show_message(context.message.get(), button,
               text_or_empty(*context.catalogue, "updateInstalling").c_str());

  auto [sender, receiver] = make_progress_channel();
  spawn_worker(context.worker_body, std::move(sender));

  add_poll_timer(std::make_unique<PollContext>(PollContext{
      std::move(receiver),
      context.running,
      make_ref(context.spinner.get()),
      make_ref(context.window.get()),
      make_ref(button),
      make_ref(context.message.get()),
      context.catalogue,
  }));
}

void spawn_worker(WorkerBody body, ProgressSender sender) {
  auto start = std::make_unique<WorkerStart>(WorkerStart{std::move(body), std::move(sender)});
  pthread_t thread;
  // Default attributes: no name and the platform's stack size.
  const int error = pthread_create(&thread, nullptr, run_worker, start.get());
  if (error != 0) {
    write_error_line("failed to spawn thread: ", std::system_category().message(error));
    std::abort();
  }
  start.release();  // the thread owns it now
  pthread_detach(thread);
}

}  // namespace velto
