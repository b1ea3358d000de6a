/* map_timer PROGRAM [ARG...]: starts PROGRAM and prints the milliseconds from its exec until its
 * first top-level window is mapped, then, 200 ms later, closes that window as a window manager
 * would, waits for the program to end and prints the milliseconds from the close request to its
 * end. Meant for a bare X server (Xvfb), where no window manager reparents
 * windows, so a top-level window's MapNotify arrives on the root window. */
#define _DEFAULT_SOURCE
#include <X11/Xlib.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/select.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double now_ms(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec * 1e3 + (double)t.tv_nsec / 1e6;
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
  XFlush(display);
}

/* Waits up to `seconds` for the child to end, looking every millisecond; kills it after that.
 * Returns its wait status. */
static int reap(pid_t child, int seconds) {
  int status = 0;
  for (int i = 0; i < seconds * 1000; ++i) {
    if (waitpid(child, &status, WNOHANG) == child) return status;
    usleep(1000);
  }
  kill(child, SIGKILL);
  waitpid(child, &status, 0);
  return status;
}

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: map_timer PROGRAM [ARG...]\n");
    return 2;
  }
  Display* display = XOpenDisplay(NULL);
  if (display == NULL) {
    fprintf(stderr, "map_timer: cannot open the display\n");
    return 1;
  }
  const Window root = DefaultRootWindow(display);
  XSelectInput(display, root, SubstructureNotifyMask);
  XSync(display, False);

  const double started = now_ms();
  /* Programs that mark their own start-up stages (stage_clock.h) measure from here. */
  char started_text[32];
  snprintf(started_text, sizeof started_text, "%.3f", started);
  setenv("MAP_TIMER_STARTED_MS", started_text, 1);
  const pid_t child = fork();
  if (child < 0) {
    perror("map_timer: fork");
    return 1;
  }
  if (child == 0) {
    close(ConnectionNumber(display));
    execv(argv[1], argv + 1);
    perror("map_timer: exec");
    _exit(127);
  }

  Window mapped = None;
  double elapsed = -1;
  const int fd = ConnectionNumber(display);
  while (mapped == None) {
    if (XPending(display) == 0) {
      int status = 0;
      if (waitpid(child, &status, WNOHANG) == child) {
        fprintf(stderr, "map_timer: %s ended without mapping a window\n", argv[1]);
        return 1;
      }
      if (now_ms() - started > 30000) {
        fprintf(stderr, "map_timer: no window after 30 s\n");
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        return 1;
      }
      fd_set readable;
      FD_ZERO(&readable);
      FD_SET(fd, &readable);
      struct timeval wait = {0, 10000};
      select(fd + 1, &readable, NULL, NULL, &wait);
      continue;
    }
    XEvent event;
    XNextEvent(display, &event);
    if (event.type == MapNotify && event.xmap.event == root && !event.xmap.override_redirect) {
      elapsed = now_ms() - started;
      mapped = event.xmap.window;
    }
  }
  printf("%.3f\n", elapsed);
  fflush(stdout);

  /* The program settles first (first frame, accessibility registration), so that the second
   * figure is the cost of ending alone. */
  usleep(200000);
  const double closing = now_ms();
  ask_to_close(display, mapped);
  const int status = reap(child, 10);
  printf("%.3f\n", now_ms() - closing);
  XCloseDisplay(display);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    fprintf(stderr, "map_timer: %s did not end cleanly after its window was closed\n", argv[1]);
    return 1;
  }
  return 0;
}
