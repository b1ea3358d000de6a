// The setup program's one window: icon, product name and version, consent text, message line,
// spinner and Install button.
#pragma once

#include <gtk/gtk.h>

#include <span>

#include "install/install_trigger.h"
#include "launch/catalogue.h"

namespace velto {

// What the window is built from.
struct SetupWindowInputs {
  SharedCatalogue catalogue;
  std::span<const unsigned char> icon_png;  // decoded afresh each time a window is built
  WorkerBody worker_body;                   // the body of every run's worker thread
};

// The widgets of a built window. Borrowed, not owned: the window belongs to the application and
// the others to the window.
struct SetupWindow {
  GtkWindow* window;
  GtkImage* icon;  // null when the icon did not decode
  GtkLabel* version;
  GtkLabel* consent;
  GtkLabel* message;
  GtkSpinner* spinner;
  GtkButton* install;
};

// Builds, wires and shows the window for `application`, which must be registered.
SetupWindow build_setup_window(GtkApplication* application, const SetupWindowInputs& inputs);

// Builds the window whenever `application` emits "activate". The inputs live until the handler
// is disconnected, when the application is finalised.
void connect_setup_window(GtkApplication* application, SetupWindowInputs inputs);

}  // namespace velto
