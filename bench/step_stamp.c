/* step_stamp: stands in front of a program at a fixed path and notes when it starts and ends.
 *
 * Installed in the benchmark rig as /usr/bin/NAME, it runs /usr/libexec/velto-bench/NAME (NAME
 * from its own path) with the same arguments, argv[0] included, and appends two lines to
 * /tmp/log/steps:
 *
 *     SECONDS NAME start - FIRST-ARGUMENT
 *     SECONDS NAME end STATUS FIRST-ARGUMENT
 *
 * SECONDS is CLOCK_REALTIME. It exits as the program did (128 + the signal when it was killed).
 * A fork and an exec are all it adds, about a millisecond, where a shell script adds a shell's
 * start-up. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static void stamp(const char* name, const char* what, const char* status, const char* argument) {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  char line[PATH_MAX];
  const int length = snprintf(line, sizeof line, "%lld.%06ld %s %s %s %s\n", (long long)now.tv_sec,
                              now.tv_nsec / 1000, name, what, status, argument);
  const int fd = open("/tmp/log/steps", O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return;
  /* One write of a line shorter than a pipe buffer: lines of two programs never mix. */
  if (length > 0 && (size_t)length < sizeof line) {
    const ssize_t written = write(fd, line, (size_t)length);
    (void)written;
  }
  close(fd);
}

int main(int argc, char** argv) {
  (void)argc;
  char self[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) return 127;
  self[length] = '\0';
  const char* name = strrchr(self, '/') + 1;
  char real[PATH_MAX];
  snprintf(real, sizeof real, "/usr/libexec/velto-bench/%s", name);
  const char* argument = argv[1] != NULL ? argv[1] : "";

  stamp(name, "start", "-", argument);
  const pid_t child = fork();
  if (child < 0) return 127;
  if (child == 0) {
    execv(real, argv);
    _exit(127);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return 127;
  }
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  char code_text[16];
  snprintf(code_text, sizeof code_text, "%d", code);
  stamp(name, "end", code_text, argument);
  return code;
}
