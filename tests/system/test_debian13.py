"""The real executable on the newest supported distribution, Debian 13 (trixie).

mmdebstrap builds a trixie root from Debian's archive with only the program's runtime libraries
and the tools to run it; the root is unpacked under the build folder and the program runs in it
through chroot, in private mount, PID, IPC and network namespaces, so the machine never changes.
The root tarball is kept in the build folder, so a second run on a developer's machine skips
mmdebstrap; CI (CI=true) builds it afresh. Each phase's time is written to debian13/times.txt.
"""
import hashlib
import os
import pathlib
import re
import shutil
import subprocess
import time
import urllib.request

import pytest

import namespaces
from prerequisites import require

SETUP = pathlib.Path(os.environ["VELTO_SETUP"])
CLOSE_WINDOW = pathlib.Path(os.environ["VELTO_CLOSE_WINDOW"])
WORK = pathlib.Path(os.environ["VELTO_BUILD_DIR"]) / "debian13"
MIRROR = "http://deb.debian.org/debian"
ENGLISH_TITLE = "Velto - Remote Access Setup"

# Debian 13 names several library packages with a t64 suffix (64-bit time_t); the sonames stayed.
PACKAGES = [
    # what the executable links: libgtk-3.so.0 and libgdk-3.so.0, libgdk_pixbuf-2.0.so.0,
    # libglib/gobject/gio-2.0, libcrypto.so.3, libstdc++.so.6, libgcc_s.so.1, libc.so.6, and GDK's
    # backends libX11.so.6 and libwayland-client.so.0
    "libgtk-3-0t64", "libgdk-pixbuf-2.0-0", "libglib2.0-0t64", "libssl3t64",
    "libstdc++6", "libgcc-s1", "libc6", "libx11-6", "libwayland-client0",
    # what it runs: dpkg-deb proves the staged package; python3 runs the preflight
    "dpkg", "python3",
    # a desktop session to open the window in, and xwininfo to see it
    "dbus", "xvfb", "xauth", "x11-utils",
]
MMDEBSTRAP = [
    "mmdebstrap", "--variant=apt", "--format=tar", "--include=" + ",".join(PACKAGES),
    "--dpkgopt=path-exclude=/usr/share/doc/*", "--dpkgopt=path-exclude=/usr/share/man/*",
    "--dpkgopt=path-exclude=/usr/share/locale/*", "trixie",
]

# Opens the window in the session that xvfb-run and dbus-run-session provide, waits until X
# reports it viewable, then asks it to close as a window manager would. Results go to $OUT.
WINDOW_SCRIPT = """#!/bin/sh
"$SETUP" 2>"$OUT/stderr" &
pid=$!
tries=0
until xwininfo -name "$TITLE" >"$OUT/xwininfo" 2>&1 && grep -q IsViewable "$OUT/xwininfo"; do
  tries=$((tries + 1))
  if [ $tries -ge 300 ] || ! kill -0 $pid 2>/dev/null; then kill $pid; break; fi
  sleep 0.1
done
# As a window manager would; a window that was not asked is not waited for.
asked=$("$CLOSE_WINDOW" --pid $pid) || asked=0
[ "$asked" = 1 ] || kill $pid
wait $pid
echo $? >"$OUT/status"
"""


class Times:
    def __init__(self):
        self.lines = []

    def measure(self, what, action):
        start = time.monotonic()
        result = action()
        self.lines.append(f"{what}: {time.monotonic() - start:.1f} s")
        return result


def archive_reachable():
    try:
        with urllib.request.urlopen(f"{MIRROR}/dists/trixie/InRelease", timeout=20):
            return True
    except OSError:
        return False


def root_tarball(times):
    """The cached root for this package list, built first when missing or in CI."""
    key = hashlib.sha256(" ".join(MMDEBSTRAP).encode()).hexdigest()[:12]
    tarball = WORK / f"trixie-{key}.tar"
    if tarball.exists() and os.environ.get("CI") != "true":
        times.lines.append(f"mmdebstrap: cached {tarball.name}")
        return tarball
    require(shutil.which("mmdebstrap") is not None, "mmdebstrap is missing (tools/install-deps)")
    require(archive_reachable(), f"Debian's archive ({MIRROR}) is unreachable")
    for old in WORK.glob("trixie-*.tar*"):
        old.unlink()
    partial = tarball.with_suffix(".tar.partial")
    built = times.measure("mmdebstrap", lambda: subprocess.run(
        MMDEBSTRAP + [str(partial), MIRROR], capture_output=True, text=True, timeout=1200))
    assert built.returncode == 0, built.stderr[-4000:]
    partial.rename(tarball)
    return tarball


def mounts_below(path):
    with open("/proc/self/mountinfo") as mountinfo:
        return [line.split()[4] for line in mountinfo if line.split()[4].startswith(f"{path}/")]


def remove_root(root):
    # The binds exist only in the namespaces of the runs; make sure before deleting a tree that
    # would otherwise reach into the machine's /dev.
    assert mounts_below(root) == [], "mounts left in the machine's namespace"
    shutil.rmtree(root, ignore_errors=True)


def run_in_root(root, argv, **env):
    """Runs argv in the root with only `env`, in fresh namespaces that take the binds along."""
    script = ('set -e; mount -t proc proc "$0/proc"; mount --rbind /dev "$0/dev"; '
              'chroot "$0" /usr/bin/env -i PATH=/usr/bin:/bin "$@"')
    environment = [f"{name}={value}" for name, value in env.items()]
    return subprocess.run(
        ["unshare", "--mount", "--pid", "--fork", "--ipc", "--net", "--propagation", "private",
         "/bin/sh", "-c", script, str(root)] + environment + list(argv),
        capture_output=True, timeout=300)


@pytest.fixture(scope="module")
def trixie():
    """An unpacked trixie root holding the executable and the close helper under /opt/velto."""
    namespaces.require()
    WORK.mkdir(exist_ok=True)
    times = Times()
    tarball = root_tarball(times)
    root = WORK / "root"
    remove_root(root)
    root.mkdir()
    times.measure("unpack", lambda: subprocess.run(
        ["tar", "--numeric-owner", "-xpf", str(tarball), "-C", str(root)], check=True))
    (root / "opt" / "velto").mkdir(parents=True)
    for program in (SETUP, CLOSE_WINDOW):
        shutil.copy2(program, root / "opt" / "velto" / program.name)
    yield root, times
    times.lines.append(f"root: {tarball.stat().st_size // 2**20} MiB tarball")
    remove_root(root)
    (WORK / "times.txt").write_text("\n".join(times.lines) + "\n")


def test_check_mode_proves_and_stages_on_trixie(trixie):
    root, times = trixie
    (root / "tmp" / "check").mkdir(mode=0o700)
    result = times.measure("check mode", lambda: run_in_root(
        root, ["/opt/velto/velto-linux-setup", "--check"], TMPDIR="/tmp/check"))
    assert (result.returncode, result.stdout, result.stderr) == (0, b"", b"")
    assert os.listdir(root / "tmp" / "check") == []


def test_window_opens_with_its_title_and_closes_with_status_0_on_trixie(trixie):
    root, times = trixie
    out = root / "tmp" / "window"
    out.mkdir()
    script = root / "opt" / "velto" / "window.sh"
    script.write_text(WINDOW_SCRIPT)
    script.chmod(0o755)
    result = times.measure("window", lambda: run_in_root(
        root,
        ["xvfb-run", "-a", "-s", "-screen 0 1024x768x24", "dbus-run-session", "--",
         "/opt/velto/window.sh"],
        SETUP="/opt/velto/velto-linux-setup", CLOSE_WINDOW="/opt/velto/velto_close_window",
        TITLE=ENGLISH_TITLE, OUT="/tmp/window", LANG="C.UTF-8", GSETTINGS_BACKEND="memory",
        NO_AT_BRIDGE="1", G_DEBUG="fatal-criticals"))
    def read(name):  # missing when the session never started
        return (out / name).read_text() if (out / name).exists() else ""

    report = f"{result.stderr.decode(errors='replace')}\n{read('stderr')}"
    window = read("xwininfo")
    title_line = f'Window id: 0x[0-9a-f]+ "{re.escape(ENGLISH_TITLE)}"\n'
    assert re.search(title_line, window), window + report
    assert "Map State: IsViewable" in window, window + report
    assert read("status") == "0\n", report
    assert result.returncode == 0, report
