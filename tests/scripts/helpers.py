"""Shared rigs for the installer-script suites and the desktop stand-in's suite.

Everything that would change the machine runs inside a private mount
namespace (namespaces.py): recording stand-ins for apt-get or gdbus lie over
/usr/bin, and /var/tmp is a bind mount of a test directory, so the work
directory can be watched from outside and nothing lands in the real /var/tmp.
"""

import functools
import json
import os
import pathlib
import select
import shutil
import subprocess
import tempfile
import time

import pytest

import namespaces
from prerequisites import require

REPO = pathlib.Path(__file__).resolve().parents[2]
PREFLIGHT = pathlib.Path(os.environ.get("VELTO_PREFLIGHT_SCRIPT",
                                        REPO / "scripts" / "preflight.py"))
PRIVILEGED = pathlib.Path(os.environ.get("VELTO_PRIVILEGED_SCRIPT",
                                         REPO / "scripts" / "privileged_install.sh"))
HERE = pathlib.Path(__file__).resolve().parent

# The user that unprivileged runs take when the suite itself runs as root.
NOBODY = 65534


def is_root():
    return os.geteuid() == 0


@functools.cache
def session_bus_works():
    if not os.access("/usr/bin/dbus-run-session", os.X_OK):
        return False
    probe = subprocess.run(
        ["/usr/bin/python3", "-c",
         "import gi; gi.require_version('Gio', '2.0'); from gi.repository import Gio"],
        capture_output=True, check=False)
    return probe.returncode == 0


def runner_uid():
    return NOBODY if is_root() else os.geteuid()


def as_runner(argv):
    """The argument vector that runs argv as an ordinary user."""
    if not is_root():
        return list(argv)
    return ["/usr/bin/setpriv", f"--reuid={NOBODY}", f"--regid={NOBODY}",
            "--clear-groups", *argv]


def script_text(path):
    return path.read_bytes().decode("ascii")


@pytest.fixture
def user_dir():
    """A fresh directory owned by the user that unprivileged runs take."""
    path = pathlib.Path(tempfile.mkdtemp(prefix="velto-test-", dir="/tmp"))
    os.chown(path, runner_uid(), runner_uid())
    yield path
    # Cases make parts unreadable on purpose; open them up again to remove.
    for root, dirs, _ in os.walk(path):
        for name in dirs:
            try:
                os.chmod(os.path.join(root, name), 0o700)
            except OSError:
                pass
    shutil.rmtree(path, ignore_errors=True)


def read_line(stream, seconds):
    """One line from a child's pipe, or None if none arrives in time."""
    ready, _, _ = select.select([stream], [], [], seconds)
    if not ready:
        return None
    return stream.readline().decode()


def stop(process):
    if process.poll() is None:
        process.kill()
    process.wait()


def var_tmp(rig):
    """The directory that is /var/tmp in the rig's runs."""
    return rig.directory / "var-tmp"


@pytest.fixture
def rig(tmp_path):
    """A private mount namespace with stand-ins on /usr/bin (rig.put) and its own /var/tmp."""
    namespaces.require()
    rig = namespaces.MountNamespace(tmp_path)
    var_tmp(rig).mkdir()
    os.chmod(var_tmp(rig), 0o1777)
    rig.bind(var_tmp(rig), "/var/tmp")
    return rig


class SessionBus:
    """A private session bus from dbus-run-session, owned by the runner user."""

    def __init__(self, home):
        self.home = home
        keeper = ("import os, sys\n"
                  "print(os.environ['DBUS_SESSION_BUS_ADDRESS'], flush=True)\n"
                  "sys.stdin.read()\n")
        self.process = subprocess.Popen(
            as_runner(["/usr/bin/dbus-run-session", "--", "/usr/bin/python3", "-c", keeper]),
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
            cwd=home, env={"PATH": "/usr/bin:/bin", "HOME": str(home)})
        line = read_line(self.process.stdout, 10)
        if not line:
            stop(self.process)
            raise RuntimeError("dbus-run-session gave no bus address")
        self.address = line.strip()

    def env(self, **extra):
        env = {"PATH": "/usr/bin:/bin", "HOME": str(self.home), "LANG": "C.UTF-8",
               "DBUS_SESSION_BUS_ADDRESS": self.address}
        env.update(extra)
        return env

    def close(self):
        # The keeper ends when its input closes; dbus-run-session then stops the bus.
        self.process.stdin.close()
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            stop(self.process)


def start_session_bus(home):
    require(session_bus_works(), "needs dbus-run-session and python3-gi")
    return SessionBus(home)


class FakeDesktop:
    """A stand-in desktop application (fake_desktop.py) on a session bus."""

    def __init__(self, bus, cwd, *options):
        self.log = cwd / f"requests-{time.monotonic_ns()}.jsonl"
        self.process = subprocess.Popen(
            as_runner(["/usr/bin/python3", "-c", (HERE / "fake_desktop.py").read_text(),
                       "--log", str(self.log), *options]),
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            cwd=cwd, env=bus.env())
        line = read_line(self.process.stdout, 15)
        if line is None or not line.startswith("ready"):
            stop(self.process)
            raise RuntimeError(f"fake desktop did not start: {self.process.stderr.read()!r}")
        # The process that owns the name; for --orphan it is not the one started.
        self.owner_pid = int(line.split()[1])

    @property
    def pid(self):
        return self.process.pid

    def requests(self):
        if not self.log.exists():
            return []
        return [json.loads(line) for line in self.log.read_text().splitlines()]

    def close(self):
        if self.owner_pid != self.process.pid:
            try:
                os.kill(self.owner_pid, 9)
            except ProcessLookupError:
                pass
        stop(self.process)
