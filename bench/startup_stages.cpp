// The setup program's graphical start-up, step for step as launch/graphical_mode.cpp does it and
// from the same libraries, with a stage mark (stage_clock.h) between the steps:
//   main         exec, the dynamic loader mapping and relocating every library, constructors
//   catalogue    the translation document parsed
//   gtk-ready    GtkApplication's start-up: the display opened, GTK initialised, the theme loaded
//   activate     the application registered on the session bus, "activate" emitted
//   built        the window built and shown: widgets, the icon decoded and set, the map requested
//   mapped       the window's map-event
//   first-frame  its first paint
// It closes once its first frame is painted, so a close request that came earlier waits for it.
//
//     startup_stages [--no-icon]     (--no-icon: the window is built without the icon)
#include <gtk/gtk.h>

#include <cstring>
#include <span>

#include "base/glib_ptr.h"
#include "embedded/setup_icon.h"
#include "launch/catalogue.h"
#include "launch/locale_environment.h"
#include "stage_clock.h"
#include "ui/setup_window.h"

namespace {

bool painted = false;
bool close_wanted = false;

void on_after_paint(GdkFrameClock* clock, gpointer window) {
  if (painted) return;
  painted = true;
  stage_mark("first-frame");
  g_signal_handlers_disconnect_by_func(clock, reinterpret_cast<gpointer>(on_after_paint), window);
  if (close_wanted) gtk_window_close(GTK_WINDOW(window));
}

gboolean on_map_event(GtkWidget*, GdkEvent*, gpointer) {
  stage_mark("mapped");
  return FALSE;
}

// Runs after the window's own handler, which lets an idle window close.
gboolean on_delete_event(GtkWidget*, GdkEvent*, gpointer) {
  close_wanted = true;
  return painted ? FALSE : TRUE;
}

void on_startup(GApplication*, gpointer) { stage_mark("gtk-ready"); }
void on_activate(GApplication*, gpointer) { stage_mark("activate"); }

void on_built(GtkApplication* application, gpointer) {
  stage_mark("built");
  GtkWindow* window = gtk_application_get_active_window(application);
  g_signal_connect(window, "map-event", G_CALLBACK(on_map_event), nullptr);
  g_signal_connect(window, "delete-event", G_CALLBACK(on_delete_event), nullptr);
  g_signal_connect(gtk_widget_get_frame_clock(GTK_WIDGET(window)), "after-paint",
                   G_CALLBACK(on_after_paint), window);
}

}  // namespace

int main(int argc, char** argv) {
  stage_mark("main");
  const bool with_icon = !(argc == 2 && std::strcmp(argv[1], "--no-icon") == 0);
  velto::SharedCatalogue catalogue =
      velto::load_catalogue(velto::builtin_translation(velto::language_from_environment()));
  [[maybe_unused]] const auto dropped = velto::drop_invalid_language_variables();
  stage_mark("catalogue");

  const auto application =
      velto::take_ref(gtk_application_new("com.velto.installer", G_APPLICATION_NON_UNIQUE));
  g_signal_connect_after(application.get(), "startup", G_CALLBACK(on_startup), nullptr);
  g_signal_connect(application.get(), "activate", G_CALLBACK(on_activate), nullptr);
  velto::connect_setup_window(application.get(),
                              velto::SetupWindowInputs{std::move(catalogue),
                                                       with_icon ? velto::embedded::setup_icon()
                                                                 : std::span<const unsigned char>{},
                                                       [](velto::ProgressSender) {}});
  g_signal_connect_after(application.get(), "activate", G_CALLBACK(on_built), nullptr);
  char name[] = "velto-linux-setup";
  char* application_argv[] = {name, nullptr};
  g_application_run(G_APPLICATION(application.get()), 1, application_argv);
  return 0;
}
