/* velto_x_close PID: asks every top-level window of process PID to close, the way a window
 * manager does (a WM_DELETE_WINDOW client message), and prints how many it asked. Tests need it
 * because under a bare X server there is no window manager to ask. */
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <stdio.h>
#include <stdlib.h>

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

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: velto_x_close PID\n");
    return 2;
  }
  const long pid = strtol(argv[1], NULL, 10);
  Display* display = XOpenDisplay(NULL);
  if (display == NULL) {
    fprintf(stderr, "velto_x_close: cannot open the display\n");
    return 1;
  }
  const Atom pid_atom = XInternAtom(display, "_NET_WM_PID", False);
  const Atom protocols = XInternAtom(display, "WM_PROTOCOLS", False);
  const Atom delete_window = XInternAtom(display, "WM_DELETE_WINDOW", False);
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
      XEvent event = {0};
      event.xclient.type = ClientMessage;
      event.xclient.window = children[i];
      event.xclient.message_type = protocols;
      event.xclient.format = 32;
      event.xclient.data.l[0] = (long)delete_window;
      event.xclient.data.l[1] = CurrentTime;
      XSendEvent(display, children[i], False, NoEventMask, &event);
      ++asked;
    }
    if (children != NULL) XFree(children);
  }
  XSync(display, False);
  XCloseDisplay(display);
  printf("%d\n", asked);
  return 0;
}
