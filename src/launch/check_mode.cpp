#include "launch/check_mode.h"

#include <exception>

#include "base/diagnostic_line.h"
#include "payload/random_uuid.h"
#include "payload/staging_builtin.h"

namespace velto {

int run_check_mode() noexcept {
  try {
    // The staged package is dropped at the end of this statement, removing what was staged.
    return stage_package().has_value() ? 0 : 1;
  } catch (const RandomSourceError& error) {
    // Not an ordinary failure: without kernel randomness no private directory can be named.
    write_error_line("", error.what());
  } catch (const std::exception& error) {
    write_error_line("velto-linux-setup: ", error.what());
  }
  return 1;
}

}  // namespace velto
