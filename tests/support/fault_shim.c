/* Loaded with LD_PRELOAD into the setup program: injects delays and faults into the calls that
 * staging makes, as the environment says. Only calls on a path holding "velto-installer-" count
 * (for open, only those that create), so GLib's and GTK's own files are left alone.
 *
 * VELTO_SHIM_DELAYS  "CALL:WHEN:MS,...": sleep MS milliseconds before or after (WHEN) each such
 *                    CALL (mkdir, open, unlink, rmdir), or before raise, which a signal handler
 *                    calls to end the process.
 * VELTO_SHIM_MARKER  a file created as each delay begins, so that a test can act inside it.
 * VELTO_SHIM_FAULTS  words: "symlink" plants a symbolic link velto.deb -> VELTO_SHIM_TARGET in the
 *                    new directory right after mkdir; "fsync" makes fsync fail with EIO;
 *                    "random" makes getrandom fail with ENOSYS, and /dev/random and /dev/urandom
 *                    fail to open.
 *
 * The shim takes LD_PRELOAD out of the environment as it loads, so the programs the setup program
 * starts run untouched. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

static const char kStaging[] = "velto-installer-";
static char faults[64];
static char marker[PATH_MAX];
static char target[PATH_MAX];

/* The delays, read once as the shim loads: a signal handler may call raise, so nothing a delay
 * does may allocate or resolve symbols. */
struct Delay {
  char call[8];
  char when[8];
  long ms;
};
static struct Delay table[8];
static int table_size;

static int (*real_open)(const char*, int, ...);
static int (*real_mkdir)(const char*, mode_t);
static int (*real_unlink)(const char*);
static int (*real_rmdir)(const char*);
static int (*real_raise)(int);
static int (*real_fsync)(int);
static ssize_t (*real_getrandom)(void*, size_t, unsigned int);

static void copy_env(char* out, size_t size, const char* name) {
  const char* value = getenv(name);
  snprintf(out, size, "%s", value ? value : "");
}

__attribute__((constructor)) static void load(void) {
  /* Through a void* lvalue: ISO C has no cast between object and function pointers. */
  *(void**)&real_open = dlsym(RTLD_NEXT, "open");
  *(void**)&real_mkdir = dlsym(RTLD_NEXT, "mkdir");
  *(void**)&real_unlink = dlsym(RTLD_NEXT, "unlink");
  *(void**)&real_rmdir = dlsym(RTLD_NEXT, "rmdir");
  *(void**)&real_raise = dlsym(RTLD_NEXT, "raise");
  *(void**)&real_fsync = dlsym(RTLD_NEXT, "fsync");
  *(void**)&real_getrandom = dlsym(RTLD_NEXT, "getrandom");
  copy_env(faults, sizeof faults, "VELTO_SHIM_FAULTS");
  copy_env(marker, sizeof marker, "VELTO_SHIM_MARKER");
  copy_env(target, sizeof target, "VELTO_SHIM_TARGET");
  char delays[256];
  copy_env(delays, sizeof delays, "VELTO_SHIM_DELAYS");
  char* rest = delays;
  for (char* entry; (entry = strtok_r(rest, ",", &rest)) != NULL && table_size < 8;) {
    struct Delay* slot = &table[table_size];
    if (sscanf(entry, "%7[a-z]:%7[a-z]:%ld", slot->call, slot->when, &slot->ms) == 3) ++table_size;
  }
  unsetenv("LD_PRELOAD");
}

static int has_fault(const char* word) { return strstr(faults, word) != NULL; }

/* Sleeps when "call:when" is listed, after creating the marker. Async-signal-safe. */
static void delay(const char* call, const char* when) {
  for (int i = 0; i < table_size; ++i) {
    if (strcmp(table[i].call, call) != 0 || strcmp(table[i].when, when) != 0) continue;
    if (marker[0] != '\0') {
      int fd = real_open(marker, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
      if (fd >= 0) close(fd);
    }
    struct timespec left = {table[i].ms / 1000, (table[i].ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
  }
}

static int staging_path(const char* path) { return strstr(path, kStaging) != NULL; }

int mkdir(const char* path, mode_t mode) {
  if (!staging_path(path)) return real_mkdir(path, mode);
  delay("mkdir", "before");
  int result = real_mkdir(path, mode);
  int saved = errno;
  if (result == 0 && has_fault("symlink")) {
    char link[PATH_MAX];
    snprintf(link, sizeof link, "%s/velto.deb", path);
    if (symlink(target, link) != 0) perror("fault shim: symlink");
  }
  delay("mkdir", "after");
  errno = saved;
  return result;
}

int open(const char* path, int flags, ...) {
  mode_t mode = 0;
  if (flags & (O_CREAT | O_TMPFILE)) {
    va_list args;
    va_start(args, flags);
    mode = va_arg(args, mode_t);
    va_end(args);
  }
  if (has_fault("random") &&
      (strcmp(path, "/dev/random") == 0 || strcmp(path, "/dev/urandom") == 0)) {
    errno = ENOENT;
    return -1;
  }
  if (!(flags & O_CREAT) || !staging_path(path)) return real_open(path, flags, mode);
  delay("open", "before");
  int result = real_open(path, flags, mode);
  int saved = errno;
  delay("open", "after");
  errno = saved;
  return result;
}

static int remove_with_delays(const char* call, int (*real)(const char*), const char* path) {
  if (!staging_path(path)) return real(path);
  delay(call, "before");
  int result = real(path);
  int saved = errno;
  delay(call, "after");
  errno = saved;
  return result;
}

int unlink(const char* path) { return remove_with_delays("unlink", real_unlink, path); }

int rmdir(const char* path) { return remove_with_delays("rmdir", real_rmdir, path); }

int raise(int signal_number) {
  delay("raise", "before");
  return real_raise(signal_number);
}

/* Check mode flushes nothing but the package. */
int fsync(int fd) {
  if (!has_fault("fsync")) return real_fsync(fd);
  errno = EIO;
  return -1;
}

ssize_t getrandom(void* buffer, size_t length, unsigned int flags) {
  if (has_fault("random")) {
    errno = ENOSYS;
    return -1;
  }
  return real_getrandom(buffer, length, flags);
}
