/* velto_close_window --pid PID: asks the windows of process PID to close the way a window manager's
 * close button does, with a WM_DELETE_WINDOW message of the WM_PROTOCOLS kind. Tests need it
 * because Xvfb runs no window manager, and xdotool can only destroy windows or kill their clients.
 *
 * It asks every viewable top-level window of the process (by _NET_WM_PID) and prints how many it
 * asked, which may be none. */
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int parse_number(const char* text, unsigned long* value) {
  char* end = NULL;
  *value = strtoul(text, &end, 0);
  return *text != '\0' && *end == '\0';
}

static void ask_to_close(Display* display, Window window) {
  XEvent event = {0};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = (long)XInternAtom(display, "WM_DELETE_WINDOW", False);
  event.xclient.data.l[1] = CurrentTime;
  XSendEvent(display, window, False, NoEventMask, &event);
}

static long window_pid(Display* display, Window window, Atom pid_atom) {
  Atom type;
  int format;
  unsigned long count, remaining;
  unsigned char* data = NULL;
  long pid = -1;
  if (XGetWindowProperty(display, window, pid_atom, 0, 1, False, XA_CARDINAL, &type, &format,
                         &count, &remaining, &data) == Success &&
      data != NULL && count == 1 && format == 32) {
    pid = (long)*(unsigned long*)data;
  }
  if (data != NULL) XFree(data);
  return pid;
}

static int close_process_windows(Display* display, long pid) {
  const Atom pid_atom = XInternAtom(display, "_NET_WM_PID", False);
  Window root, parent, *children = NULL;
  unsigned int count = 0;
  int asked = 0;
  if (XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count)) {
    for (unsigned int i = 0; i < count; ++i) {
      XWindowAttributes attributes;
      if (!XGetWindowAttributes(display, children[i], &attributes) ||
          attributes.map_state != IsViewable || window_pid(display, children[i], pid_atom) != pid) {
        continue;
      }
      ask_to_close(display, children[i]);
      ++asked;
    }
    if (children != NULL) XFree(children);
  }
  return asked;
}

int main(int argc, char** argv) {
  unsigned long pid = 0;
  if (argc != 3 || strcmp(argv[1], "--pid") != 0) {
    fprintf(stderr, "usage: velto_close_window --pid PID\n");
    return 2;
  }
  if (!parse_number(argv[2], &pid)) {
    fprintf(stderr, "velto_close_window: not a process id: %s\n", argv[2]);
    return 2;
  }
  Display* display = XOpenDisplay(NULL);
  if (display == NULL) {
    fprintf(stderr, "velto_close_window: cannot open the display\n");
    return 1;
  }
  printf("%d\n", close_process_windows(display, (long)pid));
  XSync(display, False);
  XCloseDisplay(display);
  return 0;
}
