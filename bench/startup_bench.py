#!/usr/bin/python3
"""Start-up time of the setup window against a bare GTK 3 window, measured in the same run.

    startup_bench.py MAP_TIMER SETUP MINIMAL [RUNS]

Runs inside an X server with a session bus (tests/ui/with-display), to which one idle client stays
connected so the server never resets between programs. Each round starts both programs once, in
alternating order, and map_timer reports the milliseconds from exec until the window is mapped. The first round warms caches and the session bus, and is not counted. Prints the medians
and the median ratio, first with the pinned test environment (no accessibility bus), then with the
accessibility bridge on, as on a desktop where assistive technology support is running.
"""

import os
import statistics
import subprocess
import sys

TARGET_RATIO = 1.3


def time_once(map_timer, program, env):
    result = subprocess.run(
        [map_timer, program], env=env, capture_output=True, text=True, timeout=60
    )
    if result.returncode != 0:
        sys.exit(f"{os.path.basename(program)}: {result.stderr.strip()}")
    return float(result.stdout)


def measure(map_timer, setup, minimal, runs, env):
    """Medians of both programs, and the median of the ratios within each round, which is steadier
    than the ratio of medians when the machine's load drifts during the run."""
    times = {setup: [], minimal: []}
    for round_ in range(runs + 1):
        order = (setup, minimal) if round_ % 2 == 0 else (minimal, setup)
        for program in order:
            elapsed = time_once(map_timer, program, env)
            if round_ > 0:
                times[program].append(elapsed)
    ratios = [s / m for s, m in zip(times[setup], times[minimal])]
    return (
        statistics.median(times[setup]),
        statistics.median(times[minimal]),
        statistics.median(ratios),
    )


def main(argv):
    if len(argv) not in (4, 5):
        sys.exit(__doc__)
    map_timer, setup, minimal = argv[1:4]
    # An X server resets itself whenever its last client leaves, and the next client then waits
    # for it to start over (about 90 ms in Xvfb). On a desktop some client is always connected, so
    # one is kept connected here for the whole run.
    keeper = subprocess.Popen(["xprop", "-root", "-spy"], stdout=subprocess.DEVNULL)
    try:
        return report(map_timer, setup, minimal, argv)
    finally:
        keeper.kill()
        keeper.wait()


def report(map_timer, setup, minimal, argv):
    runs = int(argv[4]) if len(argv) == 5 else 31
    pinned = dict(os.environ, LANG="C.UTF-8", NO_AT_BRIDGE="1")
    accessible = {k: v for k, v in pinned.items() if k != "NO_AT_BRIDGE"}
    print(f"exec until the window is mapped, median of {runs} runs each (milliseconds)")
    print(f"{'environment':<26}{'velto-linux-setup':>19}{'minimal GTK 3':>15}{'ratio':>8}")
    worst = 0.0
    for name, env in (("no accessibility bus", pinned), ("accessibility bridge on", accessible)):
        setup_ms, minimal_ms, ratio = measure(map_timer, setup, minimal, runs, env)
        worst = max(worst, ratio)
        print(f"{name:<26}{setup_ms:>19.1f}{minimal_ms:>15.1f}{ratio:>8.2f}", flush=True)
    print(f"target: within {TARGET_RATIO} times the minimal program: "
          f"{'met' if worst <= TARGET_RATIO else 'NOT met'}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
