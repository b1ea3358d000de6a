#!/usr/bin/python3
"""Start-up time of the setup window against a bare GTK 3 window, measured in the same run, and
where the setup window's start-up goes.

    startup_bench.py MAP_TIMER SETUP MINIMAL STAGES [RUNS]

Runs inside an X server with a session bus (tests/ui/with-display), to which one idle client stays
connected so the server never resets between programs. map_timer reports the milliseconds from
exec until the window is mapped, and from a close request 200 ms later until the program ended.
Two environments: the pinned test environment (no accessibility bus), and the accessibility bridge
on, as on a desktop where assistive technology support is running.

Each round starts every program once in each environment, in an order that turns round by round,
so that a drift in the machine's load reaches all of them alike; the first round warms caches and
the session bus and is not counted. Differences are taken within a round, then their median.

Besides SETUP and MINIMAL (the yardstick), STAGES (startup_stages.cpp) is the setup program's
graphical start-up built from the same libraries with a mark between its steps, run with and
without the icon, and MINIMAL also runs with one label and from a GtkApplication, to price one
thing at a time. The dynamic loader's own statistics (LD_DEBUG=statistics) split the part before
main.
"""

import os
import re
import statistics
import subprocess
import sys

TARGET_RATIO = 1.3
STAGES = ("main", "catalogue", "gtk-ready", "activate", "built", "shown", "mapped (X)", "mapped",
          "first-frame", "ended")
ENVIRONMENTS = ("no accessibility bus", "accessibility bridge on")


def time_once(map_timer, argv, env):
    """The program's marks in milliseconds from exec: its own stage marks, "mapped (X)" from the X
    server, and "ended" (from the close request to the end); and what it wrote on stderr."""
    result = subprocess.run([map_timer, *argv], env=env, capture_output=True, text=True,
                            timeout=60)
    if result.returncode != 0:
        sys.exit(f"{os.path.basename(argv[0])}: {result.stderr.strip()}")
    marks = {name: float(value)
             for name, value in re.findall(r"^stage (\S+) ([0-9.]+)$", result.stderr, re.M)}
    marks["mapped (X)"], marks["ended"] = (float(line) for line in result.stdout.split())
    return marks, result.stderr


def measure(map_timer, programs, environments, runs):
    """{(environment, program): [marks of each counted round]}."""
    cases = [(env, name) for env in environments for name in programs]
    results = {case: [] for case in cases}
    for round_ in range(runs + 1):
        turn = round_ % len(cases)
        for env, name in cases[turn:] + cases[:turn]:
            marks, _ = time_once(map_timer, programs[name], environments[env])
            if round_ > 0:
                results[(env, name)].append(marks)
    return results


class Results:
    def __init__(self, results):
        self.results = results

    def median(self, env, program, stage):
        values = [marks[stage] for marks in self.results[(env, program)] if stage in marks]
        return statistics.median(values) if values else None

    def span(self, env, program, start, end):
        """Median over the rounds of the time from mark `start` (exec when None) to `end`."""
        return statistics.median(marks[end] - (marks[start] if start else 0.0)
                                 for marks in self.results[(env, program)])

    def difference(self, env, base, other, stage="mapped (X)"):
        """Median over the rounds of `other`'s mark less `base`'s, both in `env`."""
        return statistics.median(o[stage] - b[stage] for b, o in
                                 zip(self.results[(env, base)], self.results[(env, other)]))

    def ratio(self, env, program, base):
        return statistics.median(p["mapped (X)"] / b["mapped (X)"] for p, b in
                                 zip(self.results[(env, program)], self.results[(env, base)]))

    def bridge(self, program):
        """Median over the rounds of the map with the bridge on less without."""
        return statistics.median(on["mapped (X)"] - off["mapped (X)"] for off, on in
                                 zip(*(self.results[(env, program)] for env in ENVIRONMENTS)))


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
    programs = {"setup": [setup], "stages": [stages], "stages-no-icon": [stages, "--no-icon"],
                "minimal": [minimal], "minimal-label": [minimal, "--label"],
                "minimal-app": [minimal, "--application"]}
    pinned = dict(os.environ, LANG="C.UTF-8", NO_AT_BRIDGE="1")
    accessible = {k: v for k, v in pinned.items() if k != "NO_AT_BRIDGE"}
    results = Results(measure(map_timer, programs, dict(zip(ENVIRONMENTS, (pinned, accessible))),
                              runs))

    print(f"exec until the window is mapped, median of {runs} runs each (milliseconds; shared "
          "2-core machine, all programs alternating in the same run)")
    print(f"{'environment':<26}{'velto-linux-setup':>19}{'minimal GTK 3':>15}{'ratio':>8}")
    worst = 0.0
    for env in ENVIRONMENTS:
        ratio = results.ratio(env, "setup", "minimal")
        worst = max(worst, ratio)
        print(f"{env:<26}{results.median(env, 'setup', 'mapped (X)'):>19.1f}"
              f"{results.median(env, 'minimal', 'mapped (X)'):>15.1f}{ratio:>8.2f}")
    print(f"target: within {TARGET_RATIO} times the minimal program: "
          f"{'met' if worst <= TARGET_RATIO else 'NOT met'}")
    print_marks(results, programs, runs)
    print_steps(results)
    print_loader(map_timer, setup, minimal, pinned)
    return 0


def pair(values):
    return " / ".join(f"{value:6.1f}" for value in values)


def print_marks(results, programs, runs):
    print()
    print(f"where it goes: median milliseconds from exec to each mark, {runs} runs each "
          "(bridge off/on)")
    print("  setup: velto-linux-setup; stages: its start-up rebuilt with marks (startup_stages), "
          "also without the icon;")
    print("  minimal: the yardstick, also with one label and from a GtkApplication; "
          "ended: close request to the end")
    print(f"{'mark':<12}" + "".join(f"{name:>16}" for name in programs))
    for stage in STAGES:
        row = []
        for program in programs:
            values = [results.median(env, program, stage) for env in ENVIRONMENTS]
            row.append("/".join(f"{v:.0f}" for v in values) if None not in values else "-")
        if any(cell != "-" for cell in row):
            print(f"{stage:<12}" + "".join(f"{cell:>16}" for cell in row))


def print_steps(results):
    print()
    print("the setup window's start-up step by step (stages program; ms, bridge off / on):")
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
        values = (results.span(env, "stages", start, end) for env in ENVIRONMENTS)
        print(f"  {label:<80}{pair(values)}")
    print()
    print("one thing at a time (exec-to-map, median of the differences within a round; ms, "
          "bridge off / on):")
    priced = (
        ("the window's icon: 512 px PNG decoded, gtk_window_set_icon, scaled to 48 px",
         "stages-no-icon", "stages"),
        ("the first text: fontconfig, Pango and a font (minimal with one label)",
         "minimal", "minimal-label"),
        ("GtkApplication instead of gtk_init (minimal from a GtkApplication)",
         "minimal", "minimal-app"),
        ("velto-linux-setup against the yardstick", "minimal", "setup"),
        ("the stages program against velto-linux-setup (near 0 when it is faithful)",
         "setup", "stages"),
    )
    for label, base, other in priced:
        print(f"  {label:<80}"
              f"{pair(results.difference(env, base, other) for env in ENVIRONMENTS)}")
    rest = [results.difference(env, "minimal", "setup")
            - sum(results.difference(env, base, other) for _, base, other in priced[:3])
            for env in ENVIRONMENTS]
    print(f"  {'the rest: more widgets (labels that wrap, spinner, button), catalogue, loader':<80}"
          f"{pair(rest)}")
    print(f"  {'closing: velto-linux-setup against the yardstick, close request to the end':<80}"
          f"{pair(results.difference(env, 'minimal', 'setup', 'ended') for env in ENVIRONMENTS)}")
    print(f"  {'the accessibility bridge, on less off: velto-linux-setup / minimal':<80}"
          f"{pair(results.bridge(program) for program in ('setup', 'minimal'))}")


def loader_statistics(map_timer, argv, env):
    """The dynamic loader's own account of one start, in milliseconds and counts."""
    # Through env, so that only the program's own start is counted, not map_timer's.
    _, stderr = time_once(map_timer, ["/usr/bin/env", "LD_DEBUG=statistics", *argv], env)

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


def print_loader(map_timer, setup, minimal, env):
    print()
    print("the dynamic loader, one start each (LD_DEBUG=statistics; cycles at the kernel's "
          f"{tsc_mhz():.0f} MHz):")
    for name, argv in (("velto-linux-setup", [setup]), ("minimal GTK 3", [minimal])):
        stats = loader_statistics(map_timer, argv, env)
        print(f"  {name:<18} {stats['objects']:4d} objects, {stats['relocations']:6.0f} "
              f"relocations: {stats['startup_ms']:5.1f} ms in the loader "
              f"({stats['load_ms']:.1f} loading, {stats['relocation_ms']:.1f} relocating)")


if __name__ == "__main__":
    sys.exit(main(sys.argv))
