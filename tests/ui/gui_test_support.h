// Helpers for tests that build real windows: a registered application, main-loop pumping and a
// fake worker whose runs hand their sending ends to the test.
#pragma once

#include <gtk/gtk.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "install/install_trigger.h"

namespace velto::testing {

// The application every window of the test program belongs to; registered, so GTK is started.
GtkApplication* test_application();

// Runs the default main context for `duration`, dispatching whatever is due.
void pump_for(std::chrono::milliseconds duration);

// Runs the default main context until `done` holds or `timeout` has passed; says which.
bool pump_until(const std::function<bool()>& done,
                std::chrono::milliseconds timeout = std::chrono::seconds(5));

// A worker body that hands each run's sending end to the test and returns, so the test decides
// when and how the run ends: send an event, or drop the sender without one.
class FakeWorker {
 public:
  WorkerBody body() const;

  // The sending end of the next run that has not been taken yet, pumping the main loop while
  // waiting; nothing when no run started within `timeout`.
  std::optional<ProgressSender> take_run(
      std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;

  // How many runs have started so far.
  int runs_started() const;

 private:
  struct Shared {
    mutable std::mutex mutex;
    std::deque<ProgressSender> waiting;
    int started = 0;
  };
  std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
};

// The children of a container, in GTK's order.
std::vector<GtkWidget*> children_of(GtkWidget* container);

}  // namespace velto::testing
