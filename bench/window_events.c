/* window_events: prints one line for every top-level window mapped, unmapped or destroyed on the
 * display, until it is killed:
 *
 *     SECONDS EVENT WINDOW
 *
 * SECONDS is CLOCK_REALTIME, the clock of bash's $EPOCHREALTIME and Python's time.time(), so the
 * lines can be set beside timestamps written by other processes. Meant for a bare X server (Xvfb),
 * where no window manager reparents windows, so top-level windows' events arrive on the root. */
#include <X11/Xlib.h>
#include <stdio.h>
#include <time.h>

static double now_seconds(void) {
  struct timespec t;
  clock_gettime(CLOCK_REALTIME, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

int main(void) {
  Display* display = XOpenDisplay(NULL);
  if (display == NULL) {
    fprintf(stderr, "window_events: cannot open the display\n");
    return 1;
  }
  const Window root = DefaultRootWindow(display);
  XSelectInput(display, root, SubstructureNotifyMask);
  XSync(display, False);
  printf("%.6f ready 0\n", now_seconds());
  fflush(stdout);
  for (;;) {
    XEvent event;
    XNextEvent(display, &event);
    const double at = now_seconds();
    const char* what = NULL;
    Window window = None;
    if (event.type == MapNotify && event.xmap.event == root && !event.xmap.override_redirect) {
      what = "map";
      window = event.xmap.window;
    } else if (event.type == UnmapNotify && event.xunmap.event == root) {
      what = "unmap";
      window = event.xunmap.window;
    } else if (event.type == DestroyNotify && event.xdestroywindow.event == root) {
      what = "destroy";
      window = event.xdestroywindow.window;
    }
    if (what != NULL) {
      printf("%.6f %s 0x%lx\n", at, what, (unsigned long)window);
      fflush(stdout);
    }
  }
}
