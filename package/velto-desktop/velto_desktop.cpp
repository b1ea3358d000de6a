// Stand-in for the Velto desktop application that the package installs. It honours the
// command-line contract the setup program relies on; the rest of the application lies elsewhere.
#include <gio/gio.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr const char* kVersion = "0.1.80";

// Starts a fresh instance of this program detached from the caller, so the caller never waits.
int restart_detached() noexcept {
  const char* argv[] = {"/usr/bin/velto-desktop", nullptr};
  GError* error = nullptr;
  const gboolean started = g_spawn_async(
      nullptr, const_cast<char**>(argv), nullptr,
      static_cast<GSpawnFlags>(G_SPAWN_STDOUT_TO_DEV_NULL | G_SPAWN_STDERR_TO_DEV_NULL), nullptr,
      nullptr, nullptr, &error);
  g_clear_error(&error);
  return started ? 0 : 22;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("velto-desktop %s\n", kVersion);
      return 0;
    }
    if (std::strcmp(argv[i], "--restart-after-install") == 0) return restart_detached();
  }
  return 0;
}
