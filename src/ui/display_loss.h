// The end of the program when its display goes away (the X server or the Wayland compositor ends,
// as at a logout): GDK then ends the process at once with _exit(1), so no destructor, exit
// handler or signal handler runs, and a package staged at that moment would stay behind.
#pragma once

#include <gdk/gdk.h>

namespace velto {

// Has the end that GDK makes when `display`'s connection is lost remove what is staged first. On
// X, through Xlib's I/O error handler, ahead of GDK's own; on Wayland, GDK says why before it ends
// (a message of its own log domain), and the message is written only once what is staged is gone,
// if the compositor's connection has indeed failed. Call once, on the main thread, once the
// display is open.
void remove_staged_package_when_the_display_is_lost(GdkDisplay* display);

}  // namespace velto
