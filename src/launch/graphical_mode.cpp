// The graphical start-up, and the one place where the window meets the production worker.
#include "launch/graphical_mode.h"

#include <gtk/gtk.h>

#include <cstdlib>
#include <exception>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/diagnostic_line.h"
#include "base/glib_ptr.h"
#include "embedded/setup_icon.h"
#include "install/install_sequence_builtin.h"
#include "install/install_trigger.h"
#include "launch/catalogue.h"
#include "launch/locale_environment.h"
#include "scripts/script_texts.h"
#include "ui/display_loss.h"
#include "ui/setup_window.h"

namespace velto {
namespace {

constexpr const char* kApplicationId = "com.velto.installer";

// The body of every installation run's worker thread: the one place where the production
// installation is wired in. Each child of a run gets this process's environment as it is when
// the child starts (so not what GTK has used up and removed, such as a start-up id), with the
// locale variables dropped for GTK, `dropped`, put back as the user set them.
WorkerBody production_worker(EnvironmentOverlay dropped) {
  // Made once on the main thread and only read by the runs, one at a time.
  auto plan = std::make_shared<const InstallPlan>(builtin_install_plan(
      preflight_script_text(), privileged_install_script_text(), std::move(dropped)));
  return [plan](ProgressSender sender) { run_install_worker(*plan, std::move(sender)); };
}

// The display is open by the time the application activates.
void on_activate(GtkApplication*, gpointer) noexcept {
  remove_staged_package_when_the_display_is_lost(gdk_display_get_default());
}

int run(char* application_argv[]) {
  // An invalid LANG chooses English whether it is read before or after the mend.
  SharedCatalogue catalogue = load_catalogue(builtin_translation(language_from_environment()));
  if (!catalogue) return EXIT_FAILURE;  // before any window exists
  EnvironmentOverlay dropped = drop_invalid_language_variables();

  const auto application = take_ref(gtk_application_new(kApplicationId, G_APPLICATION_NON_UNIQUE));
  g_signal_connect(application.get(), "activate", G_CALLBACK(on_activate), nullptr);
  connect_setup_window(application.get(),
                       SetupWindowInputs{std::move(catalogue), embedded::setup_icon(),
                                         production_worker(std::move(dropped))});
  // The real command line is not handed on, so GTK and GApplication options on it do nothing.
  // The loop's own status is not the program's: graphical mode always ends with 0.
  g_application_run(G_APPLICATION(application.get()), 1, application_argv);
  return EXIT_SUCCESS;
}

}  // namespace

int run_graphical_mode() noexcept {
  char name[] = "velto-linux-setup";
  char* application_argv[] = {name, nullptr};
  try {
    return run(application_argv);
  } catch (const std::exception& error) {
    write_error_line("velto-linux-setup: ", error.what());
  }
  return EXIT_FAILURE;
}

}  // namespace velto
