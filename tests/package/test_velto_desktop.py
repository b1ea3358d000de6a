"""The stand-in desktop application against a private session bus.

It runs as an ordinary user from a copy in the test's own directory, so that
the user can reach it whatever the build folder's permissions.
"""

import json
import os
import pathlib
import shutil
import signal
import subprocess
import time
import uuid

import pytest
from build_facts import package_facts

from helpers import (PREFLIGHT, REPO, FakeDesktop, as_runner, runner_uid, script_text,
                     start_session_bus, stop)
from waiting import wait_for

# The stand-in is the carried package's program, of its version.
VERSION = package_facts()["Version"]

BINARY = pathlib.Path(os.environ.get("VELTO_DESKTOP_BINARY",
                                     REPO / "build" / "package" / "velto-desktop"))
OPEN_FIELDS = ["schemaVersion", "instance", "pid", "version", "startedAt"]


def alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    # A zombie has ended too.
    with open(f"/proc/{pid}/stat") as stat:
        return stat.read().rsplit(")", 1)[1].split()[0] != "Z"


class Desktop:
    """A session bus, a data home and the stand-in binary, all for one test."""

    def __init__(self, home):
        self.home = home
        self.binary = home / "velto-desktop"
        shutil.copy(BINARY, self.binary)
        self.binary.chmod(0o755)
        self.lifecycle = home / "data" / "velto/logs/lifecycle"
        self.bus = start_session_bus(home)
        self.env = self.bus.env(XDG_DATA_HOME=str(home / "data"))
        self.processes = []

    def start(self, *arguments):
        process = subprocess.Popen(as_runner([str(self.binary), *arguments]),
                                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL, cwd=self.home, env=self.env)
        self.processes.append(process)
        wait_for(lambda: self.record_of(process.pid), 10, f"the record of {process.pid}")
        return process

    def run(self, *arguments, timeout=30):
        return subprocess.run(as_runner([str(self.binary), *arguments]),
                              stdin=subprocess.DEVNULL, capture_output=True, cwd=self.home,
                              env=self.env, timeout=timeout)

    def preflight(self):
        done = subprocess.run(as_runner(["/usr/bin/python3", "-c", script_text(PREFLIGHT)]),
                              stdin=subprocess.DEVNULL, capture_output=True, cwd=self.home,
                              env=self.env, timeout=60)
        assert done.stderr == b""
        return done.returncode

    def records(self):
        if not self.lifecycle.is_dir():
            return {}
        found = {}
        # A record being written is a temporary file (NAME.json.XXXXXX) until it is renamed into
        # place, and pruning removes records: only a renamed record counts, and one may vanish.
        for path in self.lifecycle.glob("*.json"):
            try:
                found[path.name] = json.loads(path.read_text())
            except (ValueError, FileNotFoundError):
                continue
        return found

    def record_of(self, pid):
        return next((r for r in self.records().values() if r.get("pid") == pid), None)

    def owner_pid(self):
        done = subprocess.run(
            as_runner(["/usr/bin/gdbus", "call", "--session", "--dest", "org.freedesktop.DBus",
                       "--object-path", "/org/freedesktop/DBus", "--method",
                       "org.freedesktop.DBus.GetConnectionUnixProcessID",
                       "com.velto.desktop.handoff"]),
            capture_output=True, text=True, cwd=self.home, env=self.env, timeout=10)
        if done.returncode != 0:
            return None
        return int(done.stdout.split()[1].rstrip(",)"))

    def close(self):
        # Instances started through the restart option are nobody's children here.
        for record in self.records().values():
            pid = record.get("pid")
            try:
                if alive(pid) and os.readlink(f"/proc/{pid}/exe") == str(self.binary):
                    os.kill(pid, signal.SIGKILL)
            except (OSError, TypeError):
                continue
        for process in self.processes:
            stop(process)
        self.bus.close()


@pytest.fixture
def desktop(user_dir):
    desktop = Desktop(user_dir)
    yield desktop
    desktop.close()


def test_version():
    done = subprocess.run([str(BINARY), "--version"], capture_output=True, timeout=10)
    assert (done.returncode, done.stdout) == (0, f"velto-desktop {VERSION}\n".encode())


def test_an_instance_is_handed_off_by_the_preflight(desktop):
    started = time.time() * 1000
    process = desktop.start()
    assert desktop.owner_pid() == process.pid
    [(name, record)] = desktop.records().items()
    assert list(record) == OPEN_FIELDS
    assert name == record["instance"] + ".json"
    assert str(uuid.UUID(record["instance"])) == record["instance"]
    assert record["schemaVersion"] == 1 and record["version"] == VERSION
    assert started - 1000 <= record["startedAt"] <= time.time() * 1000

    assert desktop.preflight() == 0
    assert process.wait(10) == 0
    closed = desktop.records()[name]
    assert {k: closed[k] for k in OPEN_FIELDS} == record
    assert closed["kind"] == "update-exit" and closed["exitCode"] == 0
    assert closed["endedAt"] >= record["startedAt"]


def test_a_busy_instance_refuses_until_idle(desktop):
    process = desktop.start("--busy")
    assert desktop.preflight() == 21
    assert process.poll() is None
    # A second start hands its arguments to the running instance and ends.
    assert desktop.run("--idle").returncode == 0
    assert desktop.preflight() == 0
    assert process.wait(10) == 0


def test_a_signal_closes_the_record(desktop):
    process = desktop.start()
    process.send_signal(signal.SIGTERM)
    assert process.wait(10) == 0
    [record] = desktop.records().values()
    assert record["kind"] == "signal" and isinstance(record["endedAt"], int)


def test_restart_starts_a_detached_instance_and_returns(desktop):
    # Pipes on purpose: an instance that kept them open would hold this call up into its timeout.
    done = desktop.run("--restart-after-install", timeout=15)
    assert done.returncode == 0
    pid = desktop.owner_pid()
    assert pid is not None and alive(pid)
    # The name comes with registration, the record with start-up right after it.
    assert wait_for(lambda: desktop.record_of(pid), 10, f"the record of {pid}")["pid"] == pid
    assert os.getsid(pid) == pid, "the new instance should lead a session of its own"


def test_restart_replaces_an_idle_instance(desktop):
    old = desktop.start()
    assert desktop.run("--restart-after-install").returncode == 0
    assert old.wait(10) == 0
    assert desktop.record_of(old.pid)["kind"] == "update-exit"
    new = desktop.owner_pid()
    assert new not in (None, old.pid) and alive(new)


def test_restart_leaves_a_busy_instance_alone(desktop):
    process = desktop.start("--busy")
    assert desktop.run("--restart-after-install").returncode == 21
    assert process.poll() is None
    assert desktop.owner_pid() == process.pid
    assert len(desktop.records()) == 1


def test_restart_reports_an_instance_that_cannot_be_asked(desktop):
    legacy = FakeDesktop(desktop.bus, desktop.home, "--bare")
    try:
        assert desktop.run("--restart-after-install").returncode == 20
        assert legacy.process.poll() is None
        assert desktop.records() == {}
    finally:
        legacy.close()


def test_restart_without_a_session_bus_fails(desktop):
    env = dict(desktop.env, DBUS_SESSION_BUS_ADDRESS="unix:path=/nonexistent/bus")
    done = subprocess.run(as_runner([str(desktop.binary), "--restart-after-install"]),
                          capture_output=True, cwd=desktop.home, env=env, timeout=30)
    assert done.returncode == 22


def test_records_of_ended_instances_are_pruned_to_the_newest(desktop):
    desktop.lifecycle.mkdir(parents=True)
    os.chown(desktop.lifecycle, runner_uid(), runner_uid())
    gone = subprocess.Popen(["/bin/true"])
    gone.wait()

    def put(name, **fields):
        base = {"schemaVersion": 1, "instance": str(uuid.uuid4()), "pid": 1,
                "version": VERSION}
        (desktop.lifecycle / name).write_text(json.dumps({**base, **fields}))

    for started in range(1, 31):
        put(f"closed-{started:02}.json", startedAt=started, endedAt=started + 1, kind="exit",
            exitCode=0)
    # Never closed, but its process is gone: it counts as ended, and as the newest.
    put("killed.json", pid=gone.pid, startedAt=100)
    put("running.json", pid=os.getpid(), startedAt=50)
    (desktop.lifecycle / "broken.json").write_text("{")
    (desktop.lifecycle / "notes.txt").write_text("kept")

    process = desktop.start()
    names = {path.name for path in desktop.lifecycle.iterdir()}
    own = desktop.record_of(process.pid)["instance"] + ".json"
    kept = {f"closed-{started:02}.json" for started in range(16, 31)}
    assert names == kept | {"killed.json", "running.json", "broken.json", "notes.txt", own}
