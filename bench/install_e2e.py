#!/usr/bin/python3
"""A real installation of an 11.9 MB package: the setup program against the bare way.

    install_e2e.py SETUP NEW_DEB OLD_DEB WINDOW_EVENTS STEP_STAMP [RUNS]

VELTO_SOURCE_DIR and VELTO_BUILD_DIR name the checkout and the main build folder, as for the
end-to-end test.

Runs in the end-to-end rig (tests/support/sandbox.py): a private machine with overlays on /usr,
/etc and /var, its own system bus and polkitd, a polkit rule that lets the desktop user run pkexec
without a password, real pkexec and apt-get, Xvfb and a session bus. SETUP carries NEW_DEB
(the carried version of velto: the default package's tree plus incompressible padding); OLD_DEB is
the same tree at an older version. Both versions are read from the packages.

Before every timed run, outside the timed span, the machine goes back to one starting state:
the old velto installed by dpkg and its desktop stand-in running in the session. Then either
  - the program: its window is open, Install is pressed through the accessibility bus, and the
    time runs until the process has ended (staging, the preflight's hand-off to the running
    stand-in, pkexec and the root script, the restart, the 100 ms tick, the window closing); or
  - the administrator: `pkexec /usr/bin/apt-get install -y ~/NEW_DEB`.
Both upgrade the old velto to the new one from the same bytes, through the same pkexec and polkit rule. The
two ways alternate run by run; a first pair warms the caches and is not counted.

Where the time goes is read from the outside, the program unchanged: in the rig, step_stamp stands
in front of pkexec, apt-get, python3 and velto-desktop and notes when each starts and ends (both
ways go through the same stamps; the program has two more, the preflight's interpreter and the
restart), and window_events notes when the window goes away. Each step's command is also timed on
its own.
"""

import hashlib
import json
import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import threading
import time

HERE = pathlib.Path(__file__).resolve()
SOURCE_DIR = HERE.parent.parent

# The rig belongs to the system and end-to-end tests. These lines are the only ones that know
# where its parts live.
for folder in ("tests/support", "tests/e2e"):
    sys.path.insert(0, str(SOURCE_DIR / folder))
import sandbox  # noqa: E402
import test_end_to_end as e2e  # noqa: E402  (the polkit rule and the desktop probes)
from setup_window import SetupWindow  # noqa: E402
from waiting import wait_for  # noqa: E402

STEPS_LOG = pathlib.Path("/tmp/log/steps")
WRAPPED = pathlib.Path("/usr/libexec/velto-bench")
STAMPED_TRUE = "/usr/bin/velto-bench-true"  # step_stamp in front of /usr/bin/true, to price it
TARGET_RATIO = 1.15


def package_version(deb):
    """The Version field of the package file `deb`. The old package is older than the carried one,
    so that both ways upgrade; its stand-in is the same program, new enough for the preflight's
    hand-off."""
    return subprocess.run(["/usr/bin/dpkg-deb", "-f", deb, "Version"], capture_output=True,
                          text=True, check=True).stdout.strip()

# --- user side: the desktop session ------------------------------------------------------------


def pkexec(*argv, output=subprocess.DEVNULL):
    return subprocess.run(["/usr/bin/pkexec", *argv], stdin=subprocess.DEVNULL,
                          stdout=output, stderr=subprocess.PIPE, text=True)


def has_ended(pid):
    """Whether `pid` has ended."""
    return not e2e.running(pid)


def stop_desktop():
    owner = e2e.desktop_owner_pid()
    if owner:
        os.kill(owner, 15)  # the stand-in closes its record and ends
        wait_for(lambda: has_ended(owner), 30, "the desktop stand-in to end")


def reset(old_deb):
    """The starting state of every timed run: the old velto installed and its stand-in running."""
    stop_desktop()
    # apt knows whether its cache still describes the system by the dpkg status file's size and
    # mtime in whole seconds. A downgrade within the second of the last apt-get leaves both as
    # they were (when the two versions are equally long), and the next apt-get would take the new
    # one for installed and do nothing. On a real machine the second always turns over.
    time.sleep(1.1)
    old_version = package_version(old_deb)
    downgrade = pkexec("/usr/bin/dpkg", "-i", old_deb)
    if downgrade.returncode != 0 or not e2e.installed_version().endswith(old_version):
        raise RuntimeError(f"cannot install {old_version}: {downgrade.stderr}")
    subprocess.Popen(["/usr/bin/velto-desktop"], stdin=subprocess.DEVNULL,
                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                     start_new_session=True)
    owner = wait_for(e2e.desktop_owner_pid, 15, "the old stand-in")
    time.sleep(0.5)  # let the downgrade's and the start's work settle
    return owner


def steps_since(start):
    """The wrappers' lines written since `start`: (seconds, name, start|end, first argument)."""
    lines = []
    for line in STEPS_LOG.read_text().splitlines():
        at, name, what, status, argument = line.split(" ", 4)
        if float(at) >= start:
            lines.append((float(at), name, what, argument))
            if status not in ("-", "0"):
                raise RuntimeError(f"{name} {argument} exited with {status}")
    return lines


def first(lines, name, what, argument=None):
    for at, line_name, line_what, line_argument in lines:
        if (line_name, line_what) == (name, what) and argument in (None, line_argument):
            return at
    raise RuntimeError(f"no '{name} {what}' in {lines}")


def window_gone_after(events_path, start):
    for line in pathlib.Path(events_path).read_text().splitlines():
        at, what, _ = line.split()
        if what == "unmap" and float(at) >= start:
            return float(at)
    raise RuntimeError("the window was never unmapped")


def cpu_ms(pid):
    """CPU time (user and system) that process `pid` itself has used so far, or None."""
    try:
        fields = pathlib.Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    except OSError:
        return None
    return (int(fields[11]) + int(fields[12])) * 1000.0 / os.sysconf("SC_CLK_TCK")


def x_server_pid():
    for entry in pathlib.Path("/proc").iterdir():
        try:
            if entry.name.isdigit() and (entry / "comm").read_text().strip() == "Xvfb":
                return int(entry.name)
        except OSError:
            continue
    raise RuntimeError("no Xvfb in the rig")


class CpuWatch:
    """The CPU a process uses from now until it ends, read every 20 ms while it runs (a process
    that has been reaped can no longer be read)."""

    def __init__(self, pid):
        self.pid = pid
        self.first = cpu_ms(pid)
        self.last = self.first
        self.thread = threading.Thread(target=self._watch, daemon=True)
        self.thread.start()

    def _watch(self):
        while (now := cpu_ms(self.pid)) is not None:
            self.last = now
            time.sleep(0.02)

    def used(self):
        self.thread.join()
        return self.last - self.first


def apt_logs():
    """What apt-get and dpkg said lately, for a run that did not install."""
    return pkexec("/usr/bin/tail", "-n", "15", "/var/log/apt/history.log",
                  "/var/log/apt/term.log", "/var/log/dpkg.log", output=subprocess.PIPE).stdout


def program_run(program, new_version, old_owner, events_path):
    window = SetupWindow(program)
    time.sleep(0.5)  # the window settles: first frames, the accessibility bridge's start-up
    button = window.button()
    x_server = x_server_pid()
    x_before = cpu_ms(x_server)
    pressed = time.time()
    button.get_action_iface().do_action(0)
    watch = CpuWatch(window.process.pid)
    window.process.wait(timeout=120)
    ended = time.time()
    x_used = cpu_ms(x_server) - x_before
    if window.process.returncode != 0 or e2e.installed_version() != "install ok installed " \
            + new_version:
        raise RuntimeError(f"the program's run failed: {window.process.returncode}, "
                           f"{e2e.installed_version()}, {steps_since(pressed)}\n"
                           + apt_logs())
    new_owner = wait_for(e2e.desktop_owner_pid, 15, "the restarted stand-in")
    if not has_ended(old_owner) or new_owner == old_owner:
        raise RuntimeError("the preflight did not hand off to the running stand-in")
    lines = steps_since(pressed)
    marks = {
        "pressed": pressed,
        "preflight_start": first(lines, "python3", "start", "-c"),
        "preflight_end": first(lines, "python3", "end", "-c"),
        "pkexec_start": first(lines, "pkexec", "start"),
        "apt_start": first(lines, "apt-get", "start"),
        "apt_end": first(lines, "apt-get", "end"),
        "pkexec_end": first(lines, "pkexec", "end"),
        "restart_start": first(lines, "velto-desktop", "start", "--restart-after-install"),
        "restart_end": first(lines, "velto-desktop", "end", "--restart-after-install"),
        "window_gone": window_gone_after(events_path, pressed),
        "ended": ended,
        "program_cpu_ms": watch.used(),
        "x_cpu_ms": x_used,
    }
    return marks


def admin_run(deb, new_version):
    x_server = x_server_pid()
    x_before = cpu_ms(x_server)
    pressed = time.time()
    result = pkexec("/usr/bin/apt-get", "install", "-y", deb)
    ended = time.time()
    x_used = cpu_ms(x_server) - x_before
    if result.returncode != 0 or e2e.installed_version() != "install ok installed " + new_version:
        raise RuntimeError(f"pkexec apt-get failed ({result.returncode}): {result.stderr} "
                           f"{e2e.installed_version()}\n" + apt_logs())
    lines = steps_since(pressed)
    return {
        "pressed": pressed,
        "pkexec_start": first(lines, "pkexec", "start"),
        "apt_start": first(lines, "apt-get", "start"),
        "apt_end": first(lines, "apt-get", "end"),
        "pkexec_end": first(lines, "pkexec", "end"),
        "ended": ended,
        "x_cpu_ms": x_used,
    }


def timed(argv, **kwargs):
    started = time.time()
    result = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, text=True, **kwargs)
    elapsed = time.time() - started
    if result.returncode != 0:
        raise RuntimeError(f"{argv[:3]} failed ({result.returncode}): {result.stderr}")
    return elapsed


def steps_on_their_own(program, deb, scripts, digest, size, runs):
    """Each of the program's own steps timed by itself, alternating, in the same session."""
    alone = {"check": [], "pkexec_script_check": [], "pkexec_true": [], "restart": [],
             "preflight": [], "stamped_true": [], "bare_true": []}
    stop_desktop()
    for _ in range(runs):
        # Staging: check mode proves, stages and removes the same bytes, without a window.
        alone["check"].append(timed([program, "--check"]))
        # The root script's copy and re-proof (its --check mode stops before apt-get), against
        # pkexec with nothing to do.
        alone["pkexec_script_check"].append(timed(
            ["/usr/bin/pkexec", "/bin/sh", "-c", scripts["install"], "velto-verified-installer",
             deb, digest, str(size), "--check"]))
        alone["pkexec_true"].append(timed(["/usr/bin/pkexec", "/bin/true"]))
        # The restart as the program runs it, the old instance gone; then the preflight's hand-off
        # to the instance it started.
        alone["restart"].append(timed(["/usr/bin/velto-desktop", "--restart-after-install"]))
        owner = wait_for(e2e.desktop_owner_pid, 15, "the restarted stand-in")
        alone["preflight"].append(timed(["/usr/bin/python3", "-c", scripts["preflight"]]))
        if not has_ended(owner):
            raise RuntimeError("the preflight on its own did not end the stand-in")
        # What step_stamp itself adds to a start.
        for _ in range(5):
            alone["stamped_true"].append(timed([STAMPED_TRUE]))
            alone["bare_true"].append(timed(["/usr/bin/true"]))
    return alone


def timed_runs(program, new_deb, old_deb, window_events, runs, scripts, digest, size):
    """The timed runs, as the desktop user, in one session."""
    new_version = package_version(new_deb)
    deb = os.path.join(os.environ["HOME"], os.path.basename(new_deb))
    shutil.copyfile(new_deb, deb)  # where an administrator's download would be
    events_path = os.path.join(os.environ["XDG_RUNTIME_DIR"], "window-events")
    events = subprocess.Popen([window_events], stdout=open(events_path, "w"))
    wait_for(lambda: "ready" in pathlib.Path(events_path).read_text(), 10,
                     "window_events")
    report = {"program": [], "admin": []}
    try:
        for index in range(runs + 1):
            owner = reset(old_deb)
            program_marks = program_run(program, new_version, owner, events_path)
            reset(old_deb)
            admin_marks = admin_run(deb, new_version)
            if index > 0:  # the first pair warms the caches
                report["program"].append(program_marks)
                report["admin"].append(admin_marks)
        report["alone"] = steps_on_their_own(program, deb, scripts, digest, size, runs)
    finally:
        events.kill()
        events.wait()
    return report


# --- root side: the namespace's first process --------------------------------------------------


def wrap(name, real, stamp):
    """Puts step_stamp at /usr/bin/NAME, in front of `real`."""
    os.makedirs(WRAPPED, exist_ok=True)
    path = pathlib.Path("/usr/bin") / name
    if path == pathlib.Path(real):
        shutil.copy2(path, WRAPPED / name)  # the program itself moves aside
    else:
        (WRAPPED / name).symlink_to(real)
    path.unlink(missing_ok=True)
    shutil.copy(stamp, path)
    path.chmod(0o755)


def rig(machine, program, new_deb, old_deb, window_events, step_stamp, runs, scripts, digest,
        size):
    user = machine.add_user("veltotest")
    # This machine's image turns apt's binary caches off (docker-clean), so every apt-get would
    # parse all package lists afresh, seconds that a desktop does not spend. The rig's apt keeps
    # its caches, as on a desktop.
    pathlib.Path("/etc/apt/apt.conf.d/docker-clean").unlink(missing_ok=True)
    pathlib.Path("/etc/polkit-1/rules.d/50-velto-test.rules").write_text(e2e.POLKIT_RULE)
    machine.start_system_bus()
    machine.start_x()
    STEPS_LOG.touch(mode=0o666)
    STEPS_LOG.chmod(0o666)
    # The package's launcher moves aside once, so that every install writes the new one there
    # and the wrapper stays in front of it.
    machine.run(["/usr/bin/dpkg", "-i", old_deb])
    machine.run(["/usr/bin/dpkg-divert", "--add", "--rename", "--divert",
                 "/usr/bin/velto-desktop.real", "/usr/bin/velto-desktop"])
    wrap("velto-desktop", "/usr/bin/velto-desktop.real", step_stamp)
    for name in ("pkexec", "apt-get"):
        wrap(name, f"/usr/bin/{name}", step_stamp)
    os.chmod(WRAPPED / "pkexec", 0o4755)  # copy2 keeps the mode, but say it
    wrap("python3", sandbox.PYTHON, step_stamp)
    wrap(os.path.basename(STAMPED_TRUE), "/usr/bin/true", step_stamp)
    return machine.call_as(user, HERE, "timed_runs",
                           {"program": program, "new_deb": new_deb, "old_deb": old_deb,
                            "window_events": window_events, "runs": runs, "scripts": scripts,
                            "digest": digest, "size": size},
                           timeout=1800)


# --- outside: start the rig and print the table ------------------------------------------------


def span(marks, start, end):
    return (marks[end] - marks[start]) * 1000.0


def median_ms(runs, start, end):
    return statistics.median(span(m, start, end) for m in runs)


def print_table(report, runs, versions):
    program, admin, alone = report["program"], report["admin"], report["alone"]
    rows = [
        ("press to first child: staging (prove, write, 3 x dpkg-deb)",
         ("pressed", "preflight_start"), None),
        ("preflight: python3 -c, hand-off to the running old velto",
         ("preflight_start", "preflight_end"), None),
        ("to pkexec start", ("preflight_end", "pkexec_start"), ("pressed", "pkexec_start")),
        ("pkexec start to apt-get start: approval (program: and the copy's re-proof)",
         ("pkexec_start", "apt_start"), ("pkexec_start", "apt_start")),
        ("apt-get install -y", ("apt_start", "apt_end"), ("apt_start", "apt_end")),
        ("apt-get end to pkexec end (program: the root script's clean-up)",
         ("apt_end", "pkexec_end"), ("apt_end", "pkexec_end")),
        ("pkexec end to restart start", ("pkexec_end", "restart_start"), None),
        ("restart: velto-desktop --restart-after-install",
         ("restart_start", "restart_end"), None),
        ("restart end to window gone: staged package removed, 100 ms tick, close",
         ("restart_end", "window_gone"), None),
        ("window gone to process ended (bare way: pkexec end to command ended)",
         ("window_gone", "ended"), ("pkexec_end", "ended")),
        ("total: press (bare way: the command) to the process ended",
         ("pressed", "ended"), ("pressed", "ended")),
    ]
    print()
    print(f"Installing the 11.9 MB package, velto {versions[0]} -> {versions[1]}, in the "
          f"end-to-end rig: medians of {runs} runs each, the two ways alternating; a shared "
          "2-core machine")
    print()
    print(f"| {'step (milliseconds)':<76} | {'program':>8} | {'pkexec apt-get':>14} |")
    print(f"|{'-' * 78}|{'-' * 10}|{'-' * 16}|")
    for label, mine, theirs in rows:
        theirs_text = f"{median_ms(admin, *theirs):.0f}" if theirs else "-"
        print(f"| {label:<76} | {median_ms(program, *mine):>8.0f} | {theirs_text:>14} |")
    cpu = statistics.median(m["program_cpu_ms"] for m in program)
    x_program = statistics.median(m["x_cpu_ms"] for m in program)
    x_admin = statistics.median(m["x_cpu_ms"] for m in admin)
    print(f"| {'CPU of the setup program itself during the run: staging, window, spinner':<76}"
          f" | {cpu:>8.0f} | {'-':>14} |")
    print(f"| {'CPU of the X server during the run':<76} | {x_program:>8.0f} | {x_admin:>14.0f} |")

    total_program = median_ms(program, "pressed", "ended")
    total_admin = median_ms(admin, "pressed", "ended")
    ratio = total_program / total_admin
    pair_ratios = [span(p, "pressed", "ended") / span(a, "pressed", "ended")
                   for p, a in zip(program, admin)]
    # apt-get does the same work both ways; its spread on a shared machine is the largest in
    # either total. Each way's overhead is its total less its own apt-get span, run by run.
    def outside_apt(run):
        return span(run, "pressed", "ended") - span(run, "apt_start", "apt_end")

    overhead_program = statistics.median(outside_apt(m) for m in program)
    overhead_admin = statistics.median(outside_apt(m) for m in admin)
    apt = statistics.median(span(m, "apt_start", "apt_end") for m in program + admin)
    composed = (apt + overhead_program) / (apt + overhead_admin)
    apt_slower = statistics.median(
        span(p, "apt_start", "apt_end") - span(a, "apt_start", "apt_end")
        for p, a in zip(program, admin))
    print()
    print(f"ratio of the medians {ratio:.2f}; median of the {runs} pairs' ratios "
          f"{statistics.median(pair_ratios):.2f}; target at most {TARGET_RATIO}: "
          f"{'met' if ratio <= TARGET_RATIO else 'NOT met'}")
    print(f"outside apt-get (each run's total less its apt-get span, median): program "
          f"{overhead_program:.0f} ms, bare way {overhead_admin:.0f} ms; with apt-get's median "
          f"over all {2 * runs} runs ({apt:.0f} ms) that is a ratio of {composed:.2f}")
    print(f"apt-get beside the program's window against alone, median of the pairs' "
          f"differences: {apt_slower:+.0f} ms")
    print()
    print("each step's command on its own, same rig, medians (milliseconds):")
    check = statistics.median(alone["check"]) * 1000
    script_check = statistics.median(alone["pkexec_script_check"]) * 1000
    bare = statistics.median(alone["pkexec_true"]) * 1000
    restart = statistics.median(alone["restart"]) * 1000
    preflight = statistics.median(alone["preflight"]) * 1000
    stamp = (statistics.median(alone["stamped_true"])
             - statistics.median(alone["bare_true"])) * 1000
    print(f"  staging: velto-linux-setup --check (prove, stage, remove)        {check:6.0f}")
    print(f"  preflight: python3 -c, hand-off to a running stand-in            {preflight:6.0f}")
    print(f"  root script --check under pkexec {script_check:4.0f} - pkexec /bin/true {bare:4.0f}"
          f" = copy and re-proof {script_check - bare:4.0f}")
    print(f"  restart: velto-desktop --restart-after-install, nothing running {restart:6.0f}")
    print(f"  step_stamp in front of a program, a start                        {stamp:6.1f}")
    print()
    print("Notes: the rig's writes land in overlays on tmpfs, so neither way waits for a disk "
          "(on a disk both grow by\nthe same dpkg syncs). apt keeps its binary caches as on a "
          "desktop (the rig drops this image's docker-clean).")
    return ratio


def main(argv):
    if len(argv) not in (6, 7):
        sys.exit(__doc__)
    program, new_deb, old_deb, window_events, step_stamp = (os.path.abspath(a)
                                                             for a in argv[1:6])
    runs = int(argv[6]) if len(argv) == 7 else 9
    reason = sandbox.unavailable_reason()
    if reason:
        print(f"end-to-end installation benchmark skipped: {reason}")
        return 0
    scripts = {"install": (SOURCE_DIR / "scripts" / "privileged_install.sh").read_text(),
               "preflight": (SOURCE_DIR / "scripts" / "preflight.py").read_text()}
    deb_bytes = pathlib.Path(new_deb).read_bytes()
    report = sandbox.run_inside(
        HERE, "rig",
        {"program": program, "new_deb": new_deb, "old_deb": old_deb,
         "window_events": window_events, "step_stamp": step_stamp, "runs": runs,
         "scripts": scripts,
         "digest": hashlib.sha256(deb_bytes).hexdigest(), "size": len(deb_bytes)},
        timeout=2400, name="bench-install-e2e")
    (sandbox.BUILD_DIR / "bench-install-e2e.json").write_text(json.dumps(report, indent=1))
    print_table(report, runs, (package_version(old_deb), package_version(new_deb)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
