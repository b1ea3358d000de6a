#!/usr/bin/python3
"""Start-up time of the setup window against a bare GTK 3 window, measured in the same run, and
where the setup window's start-up goes.

    startup_bench.py MAP_TIMER SETUP MINIMAL STAGES [RUNS]

Runs inside an X server with a session bus (tests/ui/with-display), to which one idle client stays
connected so the server never resets between programs. Each round starts every program once, in
an order that turns round by round, and map_timer reports the milliseconds from exec until the
window is mapped. The first round warms caches and the session bus, and is not counted. Prints the
medians and the median ratio, first with the pinned test environment (no accessibility bus), then
with the accessibility bridge on, as on a desktop where assistive technology support is running.

STAGES (startup_stages.cpp) is the setup program's graphical start-up built from the same
libraries with a mark between its steps; it runs with and without the icon. MINIMAL marks its
own few steps. The stage table splits the time from exec to the map into those steps; the
dynamic loader's own statistics (LD_DEBUG=statistics) split the part before main.
"""

import os
import re
import statistics
import subprocess
import sys

TARGET_RATIO = 1.3
STAGES = ("main", "catalogue", "gtk-ready", "activate", "built", "shown", "mapped", "first-frame")


def time_once(map_timer, argv, env):
    """Milliseconds from exec to the map, from the close request to the end, and the program's
    stage marks."""
    result = subprocess.run([map_timer, *argv], env=env, capture_output=True, text=True,
                            timeout=60)
    if result.returncode != 0:
        sys.exit(f"{os.path.basename(argv[0])}: {result.stderr.strip()}")
    marks = {name: float(value)
             for name, value in re.findall(r"^stage (\S+) ([0-9.]+)$", result.stderr, re.M)}
    mapped, ended = (float(line) for line in result.stdout.split())
    marks["ended"] = ended
    return mapped, marks, result.stderr


def measure(map_timer, programs, runs, env):
    """For each program: its exec-to-map times and stage marks, over `runs` counted rounds."""
    maps = {name: [] for name in programs}
    marks = {name: {} for name in programs}
    names = list(programs)
    for round_ in range(runs + 1):
        turn = round_ % len(names)
        for name in names[turn:] + names[:turn]:
            elapsed, stages, _ = time_once(map_timer, programs[name], env)
            if round_ == 0:
                continue
            maps[name].append(elapsed)
            for stage, at in stages.items():
                marks[name].setdefault(stage, []).append(at)
    return maps, marks


def loader_statistics(map_timer, argv, env):
    """The dynamic loader's own account of one start, in milliseconds and counts."""
    # Through env, so that only the program's own start is counted, not map_timer's.
    _, _, stderr = time_once(map_timer, ["/usr/bin/env", "LD_DEBUG=statistics", *argv], env)

    def number(pattern):
        found = re.search(pattern, stderr)
        return float(found.group(1).replace(",", "")) if found else float("nan")

    mhz = tsc_mhz()
    return {
        "startup_ms": number(r"total startup time in dynamic loader: ([0-9,]+) cycles") / mhz
        / 1000,
        "relocation_ms": number(r"time needed for relocation: ([0-9,]+) cycles") / mhz / 1000,
        "load_ms": number(r"time needed to load objects: ([0-9,]+) cycles") / mhz / 1000,
        "relocations": number(r"number of relocations: ([0-9,]+)"),
        "objects": len(subprocess.run(["ldd", argv[0]], capture_output=True, text=True,
                                      check=True).stdout.splitlines()),
    }


def tsc_mhz():
    """The loader counts time stamp counter cycles; the kernel's calibration gives their rate."""
    with open("/proc/cpuinfo") as handle:
        return float(re.search(r"cpu MHz\s*:\s*([0-9.]+)", handle.read()).group(1))


def main(argv):
    if len(argv) not in (5, 6):
        sys.exit(__doc__)
    # An X server resets itself whenever its last client leaves, and the next client then waits
    # for it to start over (about 90 ms in Xvfb). On a desktop some client is always connected, so
    # one is kept connected here for the whole run.
    keeper = subprocess.Popen(["xprop", "-root", "-spy"], stdout=subprocess.DEVNULL)
    try:
        return report(argv)
    finally:
        keeper.kill()
        keeper.wait()


def report(argv):
    map_timer, setup, minimal, stages = argv[1:5]
    runs = int(argv[5]) if len(argv) == 6 else 21
    programs = {"setup": [setup], "minimal": [minimal], "stages": [stages],
                "stages-no-icon": [stages, "--no-icon"], "minimal-label": [minimal, "--label"],
                "minimal-app": [minimal, "--application"]}
    pinned = dict(os.environ, LANG="C.UTF-8", NO_AT_BRIDGE="1")
    accessible = {k: v for k, v in pinned.items() if k != "NO_AT_BRIDGE"}
    results = {}
    print(f"exec until the window is mapped, median of {runs} runs each (milliseconds; shared "
          f"2-core machine, all programs alternating in the same run)")
    print(f"{'environment':<26}{'velto-linux-setup':>19}{'minimal GTK 3':>15}{'ratio':>8}")
    worst = 0.0
    for name, env in zip(ENVIRONMENTS, (pinned, accessible)):
        maps, marks = measure(map_timer, programs, runs, env)
        results[name] = (maps, marks)
        ratio = statistics.median(s / m for s, m in zip(maps["setup"], maps["minimal"]))
        worst = max(worst, ratio)
        print(f"{name:<26}{statistics.median(maps['setup']):>19.1f}"
              f"{statistics.median(maps['minimal']):>15.1f}{ratio:>8.2f}", flush=True)
    print(f"target: within {TARGET_RATIO} times the minimal program: "
          f"{'met' if worst <= TARGET_RATIO else 'NOT met'}")
    print_stages(results, runs)
    print_loader(map_timer, setup, minimal, pinned)
    return 0


COLUMNS = ("setup", "stages", "stages-no-icon", "minimal", "minimal-label", "minimal-app")
ENVIRONMENTS = ("no accessibility bus", "accessibility bridge on")


def print_stages(results, runs):
    print()
    print(f"where it goes: median milliseconds from exec to each mark, {runs} runs each "
          "(bridge off / on)")
    print("  setup: velto-linux-setup; stages: its start-up rebuilt with marks (startup_stages), "
          "also without the icon;")
    print("  minimal: the yardstick, also with one label and from a GtkApplication")
    print(f"{'mark':<12}" + "".join(f"{c:>17}" for c in COLUMNS))

    def cell(program, stage):
        values = []
        for name in ENVIRONMENTS:
            maps, marks = results[name]
            found = maps[program] if stage == "mapped (X)" else marks[program].get(stage)
            values.append(f"{statistics.median(found):.0f}" if found else "-")
        return "/".join(values)

    for stage in STAGES[:6] + ("mapped (X)",) + STAGES[6:] + ("ended",):
        row = [cell(program, stage) for program in COLUMNS]
        if all(value == "-/-" for value in row):
            continue
        label = "closed->end" if stage == "ended" else stage
        print(f"{label:<12}" + "".join(f"{value:>17}" for value in row))

    print()
    print("the setup window's start-up step by step (stages program, medians of the per-run "
          "spans, ms; bridge off / on):")
    spans = (
        ("exec to main: kernel exec, loading and relocating the libraries", None, "main"),
        ("translation document parsed", "main", "catalogue"),
        ("GtkApplication registered and started: session bus, gtk_init, its own set-up",
         "catalogue", "gtk-ready"),
        ("activate emitted", "gtk-ready", "activate"),
        ("window built and shown: widgets, icon, realize, styles, first text", "activate",
         "built"),
        ("built to mapped (X server's MapNotify)", "built", "mapped (X)"),
        ("mapped to first frame painted", "mapped", "first-frame"),
    )
    for label, start, end in spans:
        print(f"  {label:<80}{span_text(results, 'stages', start, end)}")
    print()
    print("one thing at a time (difference of the exec-to-map medians, ms; bridge off / on):")
    priced = (
        ("the window's icon: 512 px PNG decoded, gtk_window_set_icon, scaled to 48 px",
         "stages-no-icon", "stages"),
        ("the first text: fontconfig, Pango and a font (minimal with one label)",
         "minimal", "minimal-label"),
        ("GtkApplication instead of gtk_init (minimal from a GtkApplication)",
         "minimal", "minimal-app"),
        ("velto-linux-setup against the yardstick", "minimal", "setup"),
        ("the stages program against velto-linux-setup (should be near 0)", "setup", "stages"),
    )
    for label, base, other in priced:
        values = []
        for name in ENVIRONMENTS:
            maps, _ = results[name]
            values.append(f"{statistics.median(maps[other]) - statistics.median(maps[base]):6.1f}")
        print(f"  {label:<80}{' / '.join(values)}")
    values = []
    for program in ("setup", "minimal"):
        off, on = (statistics.median(results[name][0][program]) for name in ENVIRONMENTS)
        values.append(f"{program} {on - off:+.1f}")
    print(f"  {'the accessibility bridge (on minus off)':<80}{', '.join(values)}")


def series(results, environment, program, stage):
    maps, marks = results[environment]
    if stage is None:
        return [0.0] * len(maps[program])
    return maps[program] if stage == "mapped (X)" else marks[program][stage]


def span_text(results, program, start, end):
    values = []
    for environment in ENVIRONMENTS:
        spans = [b - a for a, b in zip(series(results, environment, program, start),
                                       series(results, environment, program, end))]
        values.append(f"{statistics.median(spans):6.1f}")
    return " / ".join(values)


def print_loader(map_timer, setup, minimal, env):
    print()
    print("the dynamic loader, one start each (LD_DEBUG=statistics; cycles at the kernel's "
          f"{tsc_mhz():.0f} MHz):")
    for name, argv in (("velto-linux-setup", [setup]), ("minimal GTK 3", [minimal])):
        stats = loader_statistics(map_timer, argv, env)
        print(f"  {name:<18} {stats['objects']:4.0f} objects, {stats['relocations']:6.0f} "
              f"relocations: {stats['startup_ms']:5.1f} ms in the loader "
              f"({stats['load_ms']:.1f} loading, {stats['relocation_ms']:.1f} relocating)")


if __name__ == "__main__":
    sys.exit(main(sys.argv))
