#include "ui/display_loss.h"

#include <gdk/gdkwayland.h>
#include <gdk/gdkx.h>
#include <poll.h>
#include <wayland-client.h>

#include <cstring>
#include <string_view>

#include "payload/staged_package.h"

namespace velto {
namespace {

// GDK's own handler, which says that the display is gone and ends the process.
XIOErrorHandler g_gdk_x_io_error = nullptr;

int on_x_io_error(Display* display) noexcept {
  remove_staged_before_ending();
  return g_gdk_x_io_error != nullptr ? g_gdk_x_io_error(display) : 0;
}

// libwayland keeps an error once reading from or writing to the compositor has failed, and the
// socket reports a hang-up once the compositor has closed its end.
bool connection_lost(wl_display* display) noexcept {
  if (wl_display_get_error(display) != 0) return true;
  pollfd compositor{wl_display_get_fd(display), 0, 0};
  return ::poll(&compositor, 1, 0) > 0 && (compositor.revents & (POLLHUP | POLLERR)) != 0;
}

bool from_gdk(const GLogField* fields, gsize count) noexcept {
  for (gsize i = 0; i < count; ++i) {
    if (std::strcmp(fields[i].key, "GLIB_DOMAIN") != 0) continue;
    const auto* value = static_cast<const char*>(fields[i].value);
    const std::string_view domain =
        fields[i].length < 0 ? std::string_view(value)
                             : std::string_view(value, static_cast<std::size_t>(fields[i].length));
    return domain == "Gdk";
  }
  return false;
}

GLogWriterOutput write_log(GLogLevelFlags level, const GLogField* fields, gsize count,
                           gpointer display) noexcept {
  if (from_gdk(fields, count) && connection_lost(static_cast<wl_display*>(display))) {
    remove_staged_before_ending();
  }
  return g_log_writer_default(level, fields, count, nullptr);
}

}  // namespace

void remove_staged_package_when_the_display_is_lost(GdkDisplay* display) {
  if (GDK_IS_X11_DISPLAY(display)) {
    g_gdk_x_io_error = XSetIOErrorHandler(on_x_io_error);
  } else if (GDK_IS_WAYLAND_DISPLAY(display)) {
    // Every message still reaches GLib's own writer, unchanged.
    g_log_set_writer_func(write_log, gdk_wayland_display_get_wl_display(display), nullptr);
  }
}

}  // namespace velto
