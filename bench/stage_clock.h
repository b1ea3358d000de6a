/* Marks the moments of a program's start-up for startup_bench.py. map_timer puts the
 * CLOCK_MONOTONIC milliseconds of its fork into MAP_TIMER_STARTED_MS; stage_mark writes one line
 * "stage NAME MILLISECONDS-SINCE-THAT" to standard error. Without the variable it does nothing, so
 * a program started otherwise stays silent. */
#ifndef VELTO_BENCH_STAGE_CLOCK_H
#define VELTO_BENCH_STAGE_CLOCK_H

#include <stdio.h>
#include <stdlib.h>
#include <time.h>

static inline void stage_mark(const char* name) {
  const char* started = getenv("MAP_TIMER_STARTED_MS");
  if (started == NULL) return;
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  const double ms = (double)now.tv_sec * 1e3 + (double)now.tv_nsec / 1e6;
  fprintf(stderr, "stage %s %.3f\n", name, ms - strtod(started, NULL));
}

#endif
