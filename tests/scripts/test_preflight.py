"""The preflight script, run as /usr/bin/python3 -c TEXT by an ordinary user.

Most cases run against a real private session bus with fake desktop
applications (fake_desktop.py). Replies that no real bus gives come from a
recording gdbus stand-in inside the rig (see helpers.py). The record rules
run in-process, on the functions of the script imported as a module.
"""

import importlib.util
import json
import os
import pathlib
import pwd
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import uuid

import pytest

import namespaces
from helpers import (PREFLIGHT, FakeDesktop, as_runner, runner_uid, script_text,
                     start_session_bus, stop)
from displays import start_xvfb
from prerequisites import require

LIFECYCLE = "velto/logs/lifecycle"
REQUEST = ["velto-desktop", "--request-idle-update-exit"]


class Result:
    def __init__(self, status, elapsed):
        self.status = status
        self.elapsed = elapsed


def preflight_argv(*extra, as_user=True):
    argv = ["/usr/bin/python3", "-c", script_text(PREFLIGHT), *extra]
    return as_runner(argv) if as_user else argv


def run_preflight(env, cwd, *extra, as_user=True, wrap=lambda argv: argv):
    started = time.monotonic()
    done = subprocess.run(wrap(preflight_argv(*extra, as_user=as_user)),
                          stdin=subprocess.DEVNULL, capture_output=True, cwd=cwd, env=env,
                          timeout=90)
    # The script prints nothing of its own; above all no traceback.
    assert done.stderr == b"" and done.stdout == b""
    return Result(done.returncode, time.monotonic() - started)


def record(owner, **changes):
    fields = {"schemaVersion": 1, "instance": str(uuid.uuid4()), "pid": owner,
              "version": "0.1.80", "startedAt": 1700000000}
    for name, value in changes.items():
        if value is MISSING:
            fields.pop(name)
        else:
            fields[name] = value
    return json.dumps(fields)


MISSING = object()


def make_lifecycle(data_home):
    directory = data_home / LIFECYCLE
    directory.mkdir(parents=True)
    return directory


def write(path, text, mode=0o644):
    path.write_bytes(text.encode() if isinstance(text, str) else text)
    path.chmod(mode)


@pytest.fixture(scope="module")
def refusing():
    """A desktop application that refuses every request and so stays running.

    Against it a usable, new enough record gives 21 and anything else 20, which
    lets one application serve every record case.
    """
    home = pathlib.Path(tempfile.mkdtemp(prefix="velto-test-", dir="/tmp"))
    os.chown(home, runner_uid(), runner_uid())
    bus = start_session_bus(home)
    desktop = FakeDesktop(bus, home, "--answer", "1")
    yield bus, desktop
    desktop.close()
    bus.close()
    shutil.rmtree(home, ignore_errors=True)


def fill(directory, pid, entries, setup):
    for name, text in entries.items():
        write(directory / name, text(pid) if callable(text) else text)
    if setup is not None:
        setup(directory, pid)


def run_with_records(refusing, user_dir, entries, *, setup=None):
    """Runs against the refusing application with the given lifecycle entries.

    entries maps a file name to its text, or to a callable that takes the
    application's process id and gives the text.
    """
    bus, desktop = refusing
    data_home = user_dir / "data"
    fill(make_lifecycle(data_home), desktop.pid, entries, setup)
    return run_preflight(bus.env(XDG_DATA_HOME=str(data_home)), user_dir).status


# ---- the application's presence and the bus ----------------------------------


def test_no_application_gives_0_without_reading_records(user_dir):
    bus = start_session_bus(user_dir)
    try:
        # Records would be unlistable here (20), so 0 proves none were read.
        missing = user_dir / "nowhere"
        assert run_preflight(bus.env(XDG_DATA_HOME=str(missing)), user_dir).status == 0
    finally:
        bus.close()


@pytest.mark.parametrize("address", ["unix:path=/nonexistent/bus", None],
                         ids=["dead-address", "no-address"])
def test_no_session_bus_gives_22(user_dir, address):
    env = {"PATH": "/usr/bin:/bin", "HOME": str(user_dir)}
    if address:
        env["DBUS_SESSION_BUS_ADDRESS"] = address
    assert run_preflight(env, user_dir).status == 22


@pytest.fixture
def x_display():
    """An X server of the test's own, on which dbus-launch could start a bus."""
    require(os.access("/usr/bin/Xvfb", os.X_OK), "needs Xvfb")
    server, display = start_xvfb()
    try:
        yield display
    finally:
        # Terminated, not killed, so that it removes its socket and lock file.
        server.terminate()
        server.wait(10)


def test_no_session_bus_is_started_on_the_x_display(user_dir, x_display, tmp_path):
    namespaces.require(pid=True)
    # Neither an address nor $XDG_RUNTIME_DIR/bus: gdbus would have dbus-launch start a bus
    # on the display, where nobody owns the hand-off name and whose daemon stays behind.
    env = {"PATH": "/usr/bin:/bin", "HOME": str(user_dir), "DISPLAY": x_display,
           "XDG_RUNTIME_DIR": str(user_dir)}
    # The run's own PID namespace holds only what it started; the shell, its first process,
    # lists them once the preflight has ended.
    listing = tmp_path / "processes"
    lister = 'out=$1; shift; "$@"; status=$?; cd /proc && echo [0-9]* >"$out"; exit $status'
    result = run_preflight(env, user_dir, wrap=lambda argv: [
        "/usr/bin/unshare", "--pid", "--fork", "--mount-proc", "/bin/sh", "-c", lister, "sh",
        str(listing), *argv])
    assert result.status == 22
    assert listing.read_text().split() == ["1"]


def test_a_bus_in_the_runtime_directory_is_found(refusing, user_dir):
    bus, desktop = refusing
    runtime = user_dir / "runtime"
    runtime.mkdir()
    (runtime / "bus").symlink_to(bus.address.split("unix:path=", 1)[1].split(",", 1)[0])
    data_home = user_dir / "data"
    write(make_lifecycle(data_home) / "a.json", record(desktop.pid))
    env = {"PATH": "/usr/bin:/bin", "HOME": str(user_dir), "DISPLAY": ":99",
           "XDG_RUNTIME_DIR": str(runtime), "XDG_DATA_HOME": str(data_home)}
    assert run_preflight(env, user_dir).status == USABLE


def test_an_accepting_application_is_asked_and_waited_for(user_dir):
    bus = start_session_bus(user_dir)
    desktop = FakeDesktop(bus, user_dir, "--answer", "0", "--exit-after", "1")
    try:
        data_home = user_dir / "data"
        write(make_lifecycle(data_home) / "a.json", record(desktop.pid))
        result = run_preflight(bus.env(XDG_DATA_HOME=str(data_home)), user_dir)
        assert result.status == 0
        assert result.elapsed >= 0.9, "returned before the application had ended"
        assert desktop.process.poll() is not None
        [request] = desktop.requests()
        # The arguments arrive whole only if their NUL terminators survived.
        assert request == {"arguments": REQUEST, "platform": {}, "cwd": None}
    finally:
        desktop.close()
        bus.close()


def test_a_refusing_application_gives_21_at_once(refusing, user_dir):
    bus, desktop = refusing
    before = len(desktop.requests())
    data_home = user_dir / "data"
    env = bus.env(XDG_DATA_HOME=str(data_home))
    # Without a record the same run ends before the request. The refusal may add the request's
    # call to that, but not the 30 s wait, nor half of it.
    lifecycle = make_lifecycle(data_home)
    unasked = run_preflight(env, user_dir)
    write(lifecycle / "a.json", record(desktop.pid))
    result = run_preflight(env, user_dir)
    assert (unasked.status, result.status) == (UNUSABLE, 21)
    assert result.elapsed < unasked.elapsed + 15
    assert desktop.requests()[before:] == [{"arguments": REQUEST, "platform": {}, "cwd": None}]
    assert desktop.process.poll() is None


@pytest.mark.parametrize("reaped", [True, False], ids=["reaped", "zombie"])
def test_an_owner_process_already_gone_gives_0(user_dir, reaped):
    bus = start_session_bus(user_dir)
    # The name stays owned, but the process the bus names has ended; with no
    # records at all a look at them would give 20.
    desktop = FakeDesktop(bus, user_dir, "--orphan")
    try:
        if reaped:
            desktop.process.wait(10)
        else:
            time.sleep(0.2)
        env = bus.env(XDG_DATA_HOME=str(user_dir / "nowhere"))
        assert run_preflight(env, user_dir).status == 0
    finally:
        desktop.close()
        bus.close()


def test_the_wait_ends_30_seconds_after_the_request(tmp_path):
    """One application ends 29 s after accepting (0), another 30.5 s after (21).

    Both run at once, each on its own bus, to spend the half minute only once.
    """
    runs = {}

    def scenario(name, exit_after):
        home = pathlib.Path(tempfile.mkdtemp(prefix="velto-test-", dir="/tmp"))
        os.chown(home, runner_uid(), runner_uid())
        bus = start_session_bus(home)
        desktop = FakeDesktop(bus, home, "--answer", "0", "--exit-after", str(exit_after))
        try:
            data_home = home / "data"
            write(make_lifecycle(data_home) / "a.json", record(desktop.pid))
            runs[name] = run_preflight(bus.env(XDG_DATA_HOME=str(data_home)), home)
        finally:
            desktop.close()
            bus.close()
            shutil.rmtree(home, ignore_errors=True)

    threads = [threading.Thread(target=scenario, args=("early", 29)),
               threading.Thread(target=scenario, args=("late", 30.5))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    # The statuses hold the wait between 29 and 30.5 s after the request; no run can take less than
    # its wait, and one that never ends meets run_preflight's timeout.
    assert runs["early"].status == 0 and runs["early"].elapsed >= 29
    assert runs["late"].status == 21 and runs["late"].elapsed >= 30


# ---- lifecycle records ----------------------------------------------------------

# What a run against the refusing application gives; the in-process verdicts give the same.
USABLE = 21
UNUSABLE = 20

RECORD_CASES = {
    "valid": (lambda pid: record(pid), USABLE),
    "ended-members-null": (lambda pid: record(pid, endedAt=None, kind=None, exitCode=None),
                           USABLE),
    "schema-true": (lambda pid: record(pid, schemaVersion=True), UNUSABLE),
    "schema-2": (lambda pid: record(pid, schemaVersion=2), UNUSABLE),
    "schema-float": (lambda pid: record(pid, schemaVersion=1.0), UNUSABLE),
    "schema-missing": (lambda pid: record(pid, schemaVersion=MISSING), UNUSABLE),
    "pid-string": (lambda pid: record(pid, pid=str(pid)), UNUSABLE),
    "pid-other": (lambda pid: record(pid, pid=pid + 1), UNUSABLE),
    "pid-missing": (lambda pid: record(pid, pid=MISSING), UNUSABLE),
    "started-0": (lambda pid: record(pid, startedAt=0), UNUSABLE),
    "started-negative": (lambda pid: record(pid, startedAt=-1), UNUSABLE),
    "started-true": (lambda pid: record(pid, startedAt=True), UNUSABLE),
    "started-float": (lambda pid: record(pid, startedAt=17.5), UNUSABLE),
    "started-missing": (lambda pid: record(pid, startedAt=MISSING), UNUSABLE),
    "ended-at-set": (lambda pid: record(pid, endedAt=1700000100), UNUSABLE),
    "ended-at-false": (lambda pid: record(pid, endedAt=False), UNUSABLE),
    "kind-set": (lambda pid: record(pid, kind="exit"), UNUSABLE),
    "exit-code-0": (lambda pid: record(pid, exitCode=0), UNUSABLE),
    "extra-member": (lambda pid: record(pid, host="x"), UNUSABLE),
    "repeated-member": (lambda pid: record(pid)[:-1] + f', "pid": {pid}}}', UNUSABLE),
    "repeated-in-nested-object":
        (lambda pid: record(pid)[:-1] + ', "kind": {"a": 1, "a": 1}}', UNUSABLE),
    "instance-uppercase": (lambda pid: record(pid, instance=str(uuid.uuid4()).upper()),
                           UNUSABLE),
    "instance-no-hyphens": (lambda pid: record(pid, instance=uuid.uuid4().hex), UNUSABLE),
    "instance-braces": (lambda pid: record(pid, instance="{%s}" % uuid.uuid4()), UNUSABLE),
    "instance-number": (lambda pid: record(pid, instance=5), UNUSABLE),
    "instance-missing": (lambda pid: record(pid, instance=MISSING), UNUSABLE),
    "version-0.1.74": (lambda pid: record(pid, version="0.1.74"), USABLE),
    "version-1.0.0": (lambda pid: record(pid, version="1.0.0"), USABLE),
    "version-65535": (lambda pid: record(pid, version="65535.65535.65535"), USABLE),
    "version-0.1.73": (lambda pid: record(pid, version="0.1.73"), UNUSABLE),
    "version-0.0.99999": (lambda pid: record(pid, version="0.0.99999"), UNUSABLE),
    "version-part-65536": (lambda pid: record(pid, version="0.65536.0"), UNUSABLE),
    "version-leading-zero": (lambda pid: record(pid, version="0.01.80"), UNUSABLE),
    "version-four-parts": (lambda pid: record(pid, version="0.1.80.1"), UNUSABLE),
    "version-newline": (lambda pid: record(pid, version="0.1.80\n"), UNUSABLE),
    "version-other-digits": (lambda pid: record(pid, version="0.1.8\u0660"), UNUSABLE),
    "version-number": (lambda pid: record(pid, version=0.1), UNUSABLE),
    "version-missing": (lambda pid: record(pid, version=MISSING), UNUSABLE),
    "top-array": (lambda pid: f"[{record(pid)}]", UNUSABLE),
    "not-json": (lambda pid: record(pid)[:-1], UNUSABLE),
    "empty": (lambda pid: "", UNUSABLE),
    "not-utf8": (lambda pid: record(pid).encode()[:-1] + b', "kind": "\xff"}', UNUSABLE),
    "size-2048": (lambda pid: record(pid).ljust(2048), USABLE),
    "size-2049": (lambda pid: record(pid).ljust(2049), UNUSABLE),
}


# The in-process cases run the script's functions in the suite's process, which may be root:
# none of them meets a real run's environment, file modes or interpreter. The cases through the
# interpreter prove the wiring and keep what only a real run can show.


@pytest.fixture(scope="module")
def preflight():
    """The script imported as a module; its __main__ guard keeps the import from running it."""
    found = importlib.util.spec_from_file_location("velto_preflight", PREFLIGHT)
    module = importlib.util.module_from_spec(found)
    # The script prunes the search path as it starts, here the suite's own; and no __pycache__
    # is to land beside it in the source tree.
    saved = sys.path[:], sys.dont_write_bytecode
    sys.dont_write_bytecode = True
    try:
        found.loader.exec_module(module)
    finally:
        sys.path[:], sys.dont_write_bytecode = saved
    return module


APP_PID = 4321


def took_too_long(signum, frame):
    # Not TimeoutError: that is an OSError, which the script takes for an unreadable entry.
    pytest.fail("require_protocol took more than 10 s")


@pytest.fixture
def verdict(preflight, tmp_path, monkeypatch, capfd):
    """Runs require_protocol in-process; entries and setup are as for run_with_records.

    Each call starts from an empty directory and gives what a run against the refusing
    application would: USABLE or UNUSABLE. As run_preflight does, it holds the script to
    printing nothing, and also to leaving no descriptor open.
    """
    monkeypatch.setenv("XDG_DATA_HOME", str(tmp_path))
    directory = tmp_path / LIFECYCLE
    # A read that blocks (a FIFO opened without O_NONBLOCK) ends a run of the interpreter at
    # its timeout; in-process the alarm ends it.
    previous = signal.signal(signal.SIGALRM, took_too_long)

    def run(entries, *, setup=None):
        shutil.rmtree(directory, ignore_errors=True)
        directory.mkdir(parents=True)
        fill(directory, APP_PID, entries, setup)
        descriptors = os.listdir("/proc/self/fd")
        signal.alarm(10)
        try:
            preflight.require_protocol(APP_PID)
            status = USABLE
        except preflight.Rejected as rejected:
            assert rejected.code == UNUSABLE
            status = UNUSABLE
        finally:
            signal.alarm(0)
        assert len(os.listdir("/proc/self/fd")) == len(descriptors)
        assert capfd.readouterr() == ("", "")
        return status

    yield run
    signal.signal(signal.SIGALRM, previous)


@pytest.mark.parametrize("make,expected", RECORD_CASES.values(), ids=RECORD_CASES.keys())
def test_record_rules(verdict, make, expected):
    assert verdict({"a.json": make}) == expected


# One usable record and one that is too old, through the interpreter: either status also shows
# that python3 -c ran the text's main() as __main__.
@pytest.mark.parametrize("case", ["valid", "version-0.1.73"])
def test_record_rules_through_the_interpreter(refusing, user_dir, case):
    make, expected = RECORD_CASES[case]
    assert run_with_records(refusing, user_dir, {"a.json": make}) == expected


@pytest.mark.parametrize("size,usable", [(2048, True), (2049, False)])
def test_the_size_limit_holds_for_the_bytes_read(preflight, size, usable):
    # Also for a file that grew past the limit after read_record took its size.
    raw = record(APP_PID).ljust(size).encode()
    assert (preflight.recorded_version(raw, APP_PID) is not None) == usable


@pytest.mark.parametrize("name,expected", [
    ("b.json", USABLE), ("..json", USABLE), ("b.JSON", UNUSABLE), (".json", UNUSABLE),
    ("b.json.bak", UNUSABLE), ("b.json.", UNUSABLE), ("b", UNUSABLE)])
def test_record_file_names(verdict, name, expected):
    assert verdict({name: record}) == expected


def symlink_to_record(directory, pid):
    target = directory.parent / "elsewhere.json"
    write(target, record(pid))
    (directory / "b.json").symlink_to(target)


def fifo_record(directory, pid):
    os.mkfifo(directory / "b.json", 0o644)


def directory_record(directory, pid):
    (directory / "b.json").mkdir()


@pytest.mark.parametrize("setup", [symlink_to_record, fifo_record, directory_record])
def test_record_entries_that_are_not_plain_files_are_skipped(verdict, setup):
    assert verdict({}, setup=setup) == UNUSABLE
    # Skipped, not fatal: a usable record beside it still counts.
    assert verdict({"a.json": record}, setup=setup) == USABLE


def test_an_unreadable_record_is_skipped(refusing, user_dir):
    # Through the interpreter: only an ordinary user meets the file mode, and the suite may be root.
    def unreadable_record(directory, pid):
        write(directory / "b.json", record(pid), mode=0o000)

    assert run_with_records(refusing, user_dir, {}, setup=unreadable_record) == UNUSABLE
    shutil.rmtree(user_dir / "data")
    assert run_with_records(refusing, user_dir, {"a.json": record},
                            setup=unreadable_record) == USABLE


def test_a_record_nested_beyond_the_parsers_limit_is_unusable(verdict):
    # 2,000 bytes of nested arrays go past the JSON parser's recursion limit.
    nested = "[" * 1000 + "]" * 1000
    assert verdict({"a.json": nested}) == UNUSABLE
    # Skipped like any malformed record: a valid one beside it still counts.
    assert verdict({"a.json": nested, "b.json": record}) == USABLE


def test_unlistable_lifecycle_directory_gives_20(refusing, user_dir):
    bus, _ = refusing
    data_home = user_dir / "data"
    (data_home / "velto/logs").mkdir(parents=True)
    env = bus.env(XDG_DATA_HOME=str(data_home))
    assert run_preflight(env, user_dir).status == 20  # missing
    write(data_home / LIFECYCLE, "not a directory")
    assert run_preflight(env, user_dir).status == 20
    (data_home / LIFECYCLE).unlink()
    make_lifecycle(data_home).chmod(0o000)
    assert run_preflight(env, user_dir).status == 20


@pytest.mark.parametrize("how", ["set", "unset", "empty", "relative"])
def test_data_home_location(refusing, user_dir, how):
    bus, desktop = refusing
    base = {"set": user_dir / "data", "unset": user_dir / ".local/share",
            "empty": user_dir, "relative": user_dir / "rel"}[how]
    write(make_lifecycle(base) / "a.json", record(desktop.pid))
    env = bus.env(HOME=str(user_dir))
    if how != "unset":
        env["XDG_DATA_HOME"] = {"set": str(base), "empty": "", "relative": "rel"}[how]
    assert run_preflight(env, user_dir).status == USABLE


def test_no_home_is_a_failure_not_a_relative_path(preflight, monkeypatch):
    # Without HOME and without a user database entry, "~" would come back unexpanded.
    monkeypatch.delenv("XDG_DATA_HOME", raising=False)
    monkeypatch.delenv("HOME", raising=False)

    def no_entry(uid):
        raise KeyError(uid)

    monkeypatch.setattr(pwd, "getpwuid", no_entry)
    assert os.path.expanduser("~") == "~"
    with pytest.raises(RuntimeError):
        preflight.lifecycle_directory()


def listed(directory):
    return os.listdir(directory)


@pytest.mark.parametrize("first_version,expected", [("0.1.73", UNUSABLE), ("0.1.80", USABLE)])
def test_equal_start_times_keep_the_first_listed_record(verdict, first_version, expected):
    second_version = "0.1.80" if first_version == "0.1.73" else "0.1.73"

    def setup(directory, pid):
        for name in ("a.json", "b.json"):
            write(directory / name, "")
        first, second = listed(directory)
        write(directory / first, record(pid, version=first_version))
        write(directory / second, record(pid, version=second_version))

    assert verdict({}, setup=setup) == expected


@pytest.mark.parametrize("older_first", [True, False], ids=["older-first", "newer-first"])
def test_the_newest_usable_record_decides(verdict, older_first):
    def records_with(newer_version):
        def setup(directory, pid):
            for name in ("a.json", "b.json"):
                write(directory / name, "")
            older, newer = listed(directory)[::1 if older_first else -1]
            write(directory / older, record(pid, startedAt=100, version="0.1.80"))
            write(directory / newer, record(pid, startedAt=200, version=newer_version))
        return setup

    assert verdict({}, setup=records_with("0.1.73")) == UNUSABLE
    # A newer record that is not usable does not hide an older usable one, in either order.
    assert verdict({}, setup=records_with("0.01.73")) == USABLE


@pytest.mark.parametrize("position,expected", [(1023, USABLE), (1024, UNUSABLE)])
def test_only_the_first_1024_entries_are_read(verdict, position, expected):
    def setup(directory, pid):
        for index in range(1025):
            write(directory / f"e{index:04}.json", "")
        names = listed(directory)
        # Every entry counts, records or not; an older record comes first.
        write(directory / names[0], record(pid, startedAt=100, version="0.1.73"))
        write(directory / names[position], record(pid, startedAt=200))

    assert verdict({}, setup=setup) == expected


# ---- the interpreter ---------------------------------------------------------------


def test_text_is_plain_ascii_with_line_feeds():
    # The program embeds the file byte for byte and hands it to python3 -c.
    raw = PREFLIGHT.read_bytes()
    raw.decode("ascii")
    assert raw.endswith(b"\n") and b"\r" not in raw


# The script's imports that a file could stand in for: os, stat and sys are loaded before the
# text runs, and select and time are compiled into Debian's interpreter.
@pytest.mark.parametrize("module", ["json", "re", "subprocess"])
def test_modules_in_the_working_directory_are_not_imported(refusing, user_dir, module):
    # python3 -c searches the working directory first; this one would end the run with 0.
    write(user_dir / f"{module}.py", "import os\nos._exit(0)\n")
    assert run_with_records(refusing, user_dir, {"a.json": record}) == USABLE


# ---- replies that only a stand-in gdbus gives -------------------------------------

FAKE_GDBUS = """#!/usr/bin/python3
import json, os, sys, time
with open(os.environ["FAKE_GDBUS_SCENARIO"]) as scenario_file:
    scenario = json.load(scenario_file)
arguments = sys.argv[1:]
method = arguments[arguments.index("--method") + 1]
with open(scenario["log"], "a") as log:
    log.write(json.dumps(arguments) + "\\n")
reply = scenario["replies"].get(method, {"status": 1})
time.sleep(reply.get("sleep", 0))
text = reply.get("stdout", "").replace("{ppid}", str(os.getppid()))
sys.stdout.buffer.write(text.encode("latin-1"))
sys.exit(reply.get("status", 0))
"""

OWNER = "GetNameOwner"
HAS_OWNER = "NameHasOwner"
PID = "GetConnectionUnixProcessID"
HANDOFF = "CommandLine"


class FakeBus:
    """The rig with a scripted gdbus; calls are logged, replies come from a table."""

    def __init__(self, rig, home):
        self.rig = rig
        self.home = home
        self.log = home / "gdbus.jsonl"
        self.scenario = home / "scenario.json"
        rig.put("gdbus", FAKE_GDBUS)
        # A live process for the bus to name, with a usable record.
        self.target = subprocess.Popen(as_runner(["/usr/bin/sleep", "120"]))
        self.data_home = home / "data"
        write(make_lifecycle(self.data_home) / "a.json", record(self.target.pid))

    def run(self, replies, *extra, as_user=True, background=False):
        full = {f"org.freedesktop.DBus.{OWNER}": {"stdout": "(':1.42',)\n"},
                f"org.freedesktop.DBus.{PID}": {"stdout": f"(uint32 {self.target.pid},)\n"},
                f"org.gtk.Application.{HANDOFF}": {"stdout": "(1,)\n"}}
        for method, reply in replies.items():
            prefix = "org.gtk.Application." if method == HANDOFF else "org.freedesktop.DBus."
            full[prefix + method] = reply
        self.scenario.write_text(json.dumps({"log": str(self.log), "replies": full}))
        if self.log.exists():
            self.log.unlink()
        env = {"PATH": "/usr/bin:/bin", "HOME": str(self.home), "LANG": "C.UTF-8",
               "XDG_DATA_HOME": str(self.data_home),
               "FAKE_GDBUS_SCENARIO": str(self.scenario)}
        argv = self.rig.argv(preflight_argv(*extra, as_user=as_user))
        if background:
            return subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE, cwd=self.home, env=env)
        return run_preflight(env, self.home, *extra, as_user=as_user,
                             wrap=lambda argv: self.rig.argv(argv))

    def calls(self):
        if not self.log.exists():
            return []
        return [json.loads(line) for line in self.log.read_text().splitlines()]

    def methods(self):
        return [call[call.index("--method") + 1].rsplit(".", 1)[1] for call in self.calls()]

    def close(self):
        stop(self.target)


@pytest.fixture
def fake_bus(rig, user_dir):
    os.chmod(user_dir, 0o777)
    bus = FakeBus(rig, user_dir)
    yield bus
    bus.close()


FAIL = {"status": 1}


@pytest.mark.parametrize("extra,as_user", [(("x",), True), (("",), True), ((), False)],
                         ids=["extra-argument", "empty-extra-argument", "as-root"])
def test_refusals_before_any_bus_call(fake_bus, extra, as_user):
    assert fake_bus.run({}, *extra, as_user=as_user).status == 22
    assert fake_bus.calls() == []


def test_interpreter_without_pidfd_open_gives_22(fake_bus, user_dir):
    fake_bus.run({})
    script = user_dir / "preflight.py"
    write(script, script_text(PREFLIGHT))
    wrapper = ("import os\ndel os.pidfd_open\n"
               f"exec(compile(open({str(script)!r}).read(), '<string>', 'exec'))\n")
    env = {"PATH": "/usr/bin", "HOME": str(user_dir),
           "FAKE_GDBUS_SCENARIO": str(fake_bus.scenario)}
    fake_bus.log.unlink()
    done = subprocess.run(fake_bus.rig.argv(as_runner(["/usr/bin/python3", "-c", wrapper])),
                          cwd=user_dir, env=env, capture_output=True, timeout=30)
    assert (done.returncode, done.stderr) == (22, b"")
    assert fake_bus.calls() == []


LONG_NAME = ":1." + "1" * 252
REPLY_CASES = {
    "no-owner": ({OWNER: FAIL, HAS_OWNER: {"stdout": "(false,)\n"}}, 0, [OWNER, HAS_OWNER]),
    "owner-appeared": ({OWNER: FAIL, HAS_OWNER: {"stdout": "(true,)\n"}}, 22,
                       [OWNER, HAS_OWNER]),
    "both-owner-queries-fail": ({OWNER: FAIL, HAS_OWNER: FAIL}, 22, [OWNER, HAS_OWNER]),
    "owner-well-known": ({OWNER: {"stdout": "('com.velto.desktop.handoff',)"}}, 22, [OWNER]),
    "owner-without-dot": ({OWNER: {"stdout": "(':1',)"}}, 22, [OWNER]),
    "owner-not-tuple": ({OWNER: {"stdout": "':1.42'"}}, 22, [OWNER]),
    "owner-255": ({OWNER: {"stdout": f"('{LONG_NAME}',)"}}, 21, [OWNER, PID, HANDOFF]),
    "owner-256": ({OWNER: {"stdout": f"('{LONG_NAME}1',)"}}, 22, [OWNER]),
    "owner-non-ascii": ({OWNER: {"stdout": "(':1.42',)\xe9"}, HAS_OWNER: FAIL}, 22,
                        [OWNER, HAS_OWNER]),
    "pid-0": ({PID: {"stdout": "(uint32 0,)"}}, 22, [OWNER, PID]),
    "pid-over-32-bits": ({PID: {"stdout": "(uint32 4294967296,)"}}, 22, [OWNER, PID]),
    "pid-own": ({PID: {"stdout": "(uint32 {ppid},)"}}, 22, [OWNER, PID]),
    "pid-int32": ({PID: {"stdout": "(int32 7,)"}}, 22, [OWNER, PID]),
    "pid-query-fails": ({PID: FAIL}, 22, [OWNER, PID]),
    # Trailing white space is stripped, but only after the length limit.
    "pid-reply-4096": (lambda pid: {PID: {"stdout": f"(uint32 {pid},)".ljust(4096)}}, 21,
                       [OWNER, PID, HANDOFF]),
    "pid-reply-4097": (lambda pid: {PID: {"stdout": f"(uint32 {pid},)".ljust(4097)}}, 22,
                       [OWNER, PID]),
    "handoff-fails": ({HANDOFF: FAIL}, 22, [OWNER, PID, HANDOFF]),
    "handoff-refused": ({HANDOFF: {"stdout": "(2,)"}}, 21, [OWNER, PID, HANDOFF]),
    "handoff-odd-zero": ({HANDOFF: {"stdout": "(00,)"}}, 21, [OWNER, PID, HANDOFF]),
}


@pytest.mark.parametrize("replies,expected,methods", REPLY_CASES.values(),
                         ids=REPLY_CASES.keys())
def test_bus_replies(fake_bus, replies, expected, methods):
    if callable(replies):
        replies = replies(fake_bus.target.pid)
    assert fake_bus.run(replies).status == expected
    assert fake_bus.methods() == methods


def test_the_handoff_goes_to_the_unique_name(fake_bus):
    assert fake_bus.run({}).status == 21
    owner, pid, handoff = fake_bus.calls()
    assert owner[owner.index("--dest") + 1] == "org.freedesktop.DBus"
    assert pid[-1] == ":1.42"
    assert handoff[handoff.index("--dest") + 1] == ":1.42"
    assert handoff[handoff.index("--object-path") + 1] == "/com/velto/desktop/handoff"


def test_accepted_request_waits_for_the_process(fake_bus):
    process = fake_bus.run({HANDOFF: {"stdout": "(0,)\n"}}, background=True)
    try:
        time.sleep(1.5)
        assert process.poll() is None, "did not wait for the application"
        stop(fake_bus.target)
        assert process.wait(10) == 0
    finally:
        stop(process)


def test_a_gdbus_run_is_stopped_after_6_seconds(fake_bus):
    # The same two calls with the first failing at once are the measure: stopping it adds its
    # 6 s, and less than half as much again.
    no_owner = {HAS_OWNER: {"stdout": "(false,)"}}
    prompt = fake_bus.run({OWNER: FAIL, **no_owner})
    result = fake_bus.run({OWNER: {"sleep": 20, "stdout": "(':1.42',)"}, **no_owner})
    assert (prompt.status, result.status) == (0, 0)
    assert 5.9 < result.elapsed < prompt.elapsed + 9
