/* The yardstick for start-up time: the least a GTK 3 program does to show an empty 460 x 270
 * window. Its stage marks cost a getenv each and print only under map_timer.
 *
 *     minimal_window [--label] [--application]
 *
 * The options add one thing the setup window has and the yardstick has not, to price it alone:
 * --label puts one line of text in the window (the first text drawn loads fontconfig, Pango and a
 * font); --application shows the window from a GtkApplication's "activate", registered on the
 * session bus, instead of after gtk_init. */
#include <gtk/gtk.h>
#include <string.h>

#include "stage_clock.h"

static gboolean with_label = FALSE;

static GtkWidget* show_window(void) {
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_default_size(GTK_WINDOW(window), 460, 270);
  if (with_label)
    gtk_container_add(GTK_CONTAINER(window), gtk_label_new("Velto " VELTO_PACKAGE_VERSION));
  gtk_widget_show_all(window);
  stage_mark("shown");
  return window;
}

static void on_startup(GApplication* application, gpointer data) {
  (void)application;
  (void)data;
  stage_mark("gtk-ready");
}

static void on_activate(GtkApplication* application, gpointer data) {
  (void)data;
  stage_mark("activate");
  GtkWidget* window = show_window();
  gtk_application_add_window(application, GTK_WINDOW(window));
}

int main(int argc, char** argv) {
  stage_mark("main");
  gboolean with_application = FALSE;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--label") == 0) with_label = TRUE;
    if (strcmp(argv[i], "--application") == 0) with_application = TRUE;
  }
  if (with_application) {
    GtkApplication* application =
        gtk_application_new("com.velto.bench.minimal", G_APPLICATION_NON_UNIQUE);
    g_signal_connect_after(application, "startup", G_CALLBACK(on_startup), NULL);
    g_signal_connect(application, "activate", G_CALLBACK(on_activate), NULL);
    char* application_argv[] = {argv[0], NULL};
    const int status = g_application_run(G_APPLICATION(application), 1, application_argv);
    g_object_unref(application);
    return status;
  }
  gtk_init(&argc, &argv);
  stage_mark("gtk-ready");
  GtkWidget* window = show_window();
  g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), NULL);
  gtk_main();
  return 0;
}
