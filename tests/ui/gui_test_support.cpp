#include "gui_test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "base/glib_ptr.h"

namespace velto::testing {
namespace {

GtkApplication* g_application = nullptr;

}  // namespace

GtkApplication* test_application() { return g_application; }

void pump_for(std::chrono::milliseconds duration) {
  const auto end = std::chrono::steady_clock::now() + duration;
  while (std::chrono::steady_clock::now() < end) {
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    g_usleep(2000);
  }
}

bool pump_until(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    g_usleep(2000);
  }
  return true;
}

WorkerBody FakeWorker::body() const {
  return [shared = shared_](ProgressSender sender) {
    std::lock_guard lock(shared->mutex);
    shared->waiting.push_back(std::move(sender));
    ++shared->started;
  };
}

std::optional<ProgressSender> FakeWorker::take_run(std::chrono::milliseconds timeout) const {
  std::optional<ProgressSender> taken;
  pump_until(
      [&] {
        std::lock_guard lock(shared_->mutex);
        if (shared_->waiting.empty()) return false;
        taken.emplace(std::move(shared_->waiting.front()));
        shared_->waiting.pop_front();
        return true;
      },
      timeout);
  return taken;
}

int FakeWorker::runs_started() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->started;
}

std::vector<GtkWidget*> children_of(GtkWidget* container) {
  std::vector<GtkWidget*> children;
  GList* list = gtk_container_get_children(GTK_CONTAINER(container));
  for (GList* item = list; item != nullptr; item = item->next) {
    children.push_back(GTK_WIDGET(item->data));
  }
  g_list_free(list);
  return children;
}

}  // namespace velto::testing

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // GTK starts the way the program starts it: through a registered, non-unique application.
  auto application = velto::take_ref(
      gtk_application_new("com.velto.installer.gui-test", G_APPLICATION_NON_UNIQUE));
  velto::GErrorPtr error;
  if (!g_application_register(G_APPLICATION(application.get()), nullptr, velto::ErrorOut{error})) {
    std::fprintf(stderr, "cannot register the test application: %s\n",
                 error ? error->message : "unknown error");
    return EXIT_FAILURE;
  }
  velto::testing::g_application = application.get();
  const int status = RUN_ALL_TESTS();
  velto::testing::g_application = nullptr;
  return status;
}
