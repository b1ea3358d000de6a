"""The root-side install script, run as /bin/sh -c TEXT velto-verified-installer ARGS.

As root every run happens inside the rig (see helpers.py): apt-get is a
recorder and /var/tmp is a directory the test watches.
"""

import errno
import hashlib
import json
import os
import re
import signal
import subprocess
import time

import pytest

from helpers import PRIVILEGED, as_runner, script_text, stop, var_tmp

WORK_DIR = re.compile(r"/var/tmp/velto-install\.[A-Za-z0-9]{8}/package\.deb")

# The signals it was started with ignored are read by a shell first: Python ignores SIGPIPE as it
# starts.
APT_RECORDER = """#!/bin/sh
VELTO_IGNORED=$(/usr/bin/grep SigIgn /proc/$$/status) exec /usr/bin/python3 -c '
import hashlib, json, os, sys
package = sys.argv[-1]
directory = os.stat(os.path.dirname(package))
with open(package, "rb") as copy:
    digest = hashlib.sha256(copy.read()).hexdigest()
with open("{record}", "a") as record:
    record.write(json.dumps({{"argv": sys.argv[1:], "digest": digest,
                              "mode": oct(directory.st_mode & 0o7777),
                              "owner": directory.st_uid,
                              "ignored": os.environ["VELTO_IGNORED"]}}) + "\\n")
sys.exit({status})' "$@"
"""


class Payload:
    def __init__(self, path, size=4096):
        self.path = path
        self.data = os.urandom(size)
        path.write_bytes(self.data)
        self.digest = hashlib.sha256(self.data).hexdigest()
        self.size = str(size)


@pytest.fixture
def payload(tmp_path):
    return Payload(tmp_path / "velto.deb")


class Installer:
    def __init__(self, rig, apt_status=0):
        self.rig = rig
        self.record = rig.directory / "apt-get.jsonl"
        rig.put("apt-get", APT_RECORDER.format(record=str(self.record), status=apt_status))

    def argv(self, *params):
        command = ["/bin/sh", "-c", script_text(PRIVILEGED), "velto-verified-installer", *params]
        return self.rig.argv(command)

    def run(self, *params, env=None):
        done = subprocess.run(self.argv(*params), stdin=subprocess.DEVNULL, capture_output=True,
                              timeout=60, env=env or {"PATH": "/usr/bin:/bin"})
        return done.returncode

    def installs(self):
        if not self.record.exists():
            return []
        return [json.loads(line) for line in self.record.read_text().splitlines()]

    def leftovers(self):
        return sorted(p.name for p in var_tmp(self.rig).iterdir())


@pytest.fixture
def installer(rig):
    return Installer(rig)


def test_text_is_plain_ascii_shell_with_line_feeds():
    raw = PRIVILEGED.read_bytes()
    raw.decode("ascii")
    assert raw.startswith(b"#!/bin/sh\n")
    assert raw.endswith(b"\n") and b"\r" not in raw


@pytest.mark.parametrize("valid", [False, True], ids=["no-params", "valid-params"])
def test_refuses_without_root_before_checking_arguments(payload, valid):
    params = (str(payload.path), payload.digest, payload.size) if valid else ()
    before = set(os.listdir("/var/tmp"))
    done = subprocess.run(
        as_runner(["/bin/sh", "-c", script_text(PRIVILEGED), "velto-verified-installer",
                   *params]),
        stdin=subprocess.DEVNULL, capture_output=True, timeout=30, cwd="/",
        env={"PATH": "/usr/bin"})
    assert done.returncode == 1
    assert {n for n in os.listdir("/var/tmp") if n.startswith("velto-install.")} <= before


DIGEST = "0" * 64

BAD_FORMS = {
    "no-params": (),
    "two-params": ("/p", DIGEST),
    "five-params": ("/p", DIGEST, "1", "--check", "x"),
    "digest-uppercase": ("/p", "A" * 64, "1"),
    "digest-63": ("/p", "a" * 63, "1"),
    "digest-65": ("/p", "a" * 65, "1"),
    "digest-empty": ("/p", "", "1"),
    "digest-not-hex": ("/p", "g" * 64, "1"),
    "digest-space": ("/p", "a" * 63 + " ", "1"),
    "size-zero": ("/p", DIGEST, "0"),
    "size-zeros": ("/p", DIGEST, "000"),
    "size-over-limit": ("/p", DIGEST, "268435457"),
    "size-huge": ("/p", DIGEST, "9" * 30),
    "size-empty": ("/p", DIGEST, ""),
    "size-signed": ("/p", DIGEST, "+5"),
    "size-negative": ("/p", DIGEST, "-5"),
    "size-space": ("/p", DIGEST, " 5"),
    "size-hex": ("/p", DIGEST, "0x10"),
    "mode-capitals": ("/p", DIGEST, "1", "--CHECK"),
    "mode-other": ("/p", DIGEST, "1", "check"),
}


@pytest.mark.parametrize("params", BAD_FORMS.values(), ids=BAD_FORMS.keys())
def test_parameters_of_the_wrong_form_give_2_before_any_work(installer, params):
    assert installer.run(*params) == 2
    assert installer.leftovers() == []
    assert installer.installs() == []


def test_size_limit_itself_is_accepted(installer, payload):
    # Accepted as a form, then refused by the size proof.
    assert installer.run(str(payload.path), payload.digest, "268435456") == 1


@pytest.mark.parametrize("mode", [(), ("",)], ids=["no-mode", "empty-mode"])
def test_installs_the_proven_copy(installer, payload, mode):
    # A PATH that finds nothing: every command must be named by its absolute path.
    assert installer.run(str(payload.path), payload.digest, payload.size, *mode,
                         env={"PATH": "/nonexistent"}) == 0
    [install] = installer.installs()
    assert install["argv"][:2] == ["install", "-y"] and len(install["argv"]) == 3
    assert WORK_DIR.fullmatch(install["argv"][2])
    assert install["digest"] == payload.digest
    assert install["mode"] == "0o700" and install["owner"] == 0
    # Trapped or not, every signal reaches apt-get (and through it dpkg) as it reached the script.
    started_as = subprocess.run(installer.rig.argv(["/usr/bin/grep", "SigIgn", "/proc/self/status"]),
                                capture_output=True, text=True, check=True).stdout.strip()
    assert install["ignored"] == started_as
    assert installer.leftovers() == []
    assert payload.path.read_bytes() == payload.data


def test_apt_get_status_is_the_scripts_status(rig, payload):
    installer = Installer(rig, apt_status=100)
    assert installer.run(str(payload.path), payload.digest, payload.size) == 100
    assert len(installer.installs()) == 1
    assert installer.leftovers() == []


def test_check_mode_proves_without_installing(installer, payload):
    assert installer.run(str(payload.path), payload.digest, payload.size, "--check",
                         env={"PATH": "/nonexistent"}) == 0
    assert installer.installs() == []
    assert installer.leftovers() == []


# None: any non-zero status, as passed through from the failing command.
@pytest.mark.parametrize("change,expected", [
    ("longer", 1), ("shorter", 1), ("leading-zero-size", None), ("digest", None),
    ("missing-source", None), ("directory-source", None)])
def test_a_source_that_fails_its_proof_is_never_installed(installer, payload, change,
                                                          expected):
    path, digest, size = str(payload.path), payload.digest, payload.size
    if change == "longer":
        payload.path.write_bytes(payload.data + b"x")
    elif change == "shorter":
        payload.path.write_bytes(payload.data[:-1])
    elif change == "leading-zero-size":
        size = "0" + size
    elif change == "digest":
        digest = hashlib.sha256(b"other").hexdigest()
    elif change == "missing-source":
        path += ".missing"
    else:
        path = str(payload.path.parent)
    status = installer.run(path, digest, size)
    assert status != 0 and status == (expected or status)
    assert installer.installs() == []
    assert installer.leftovers() == []


def test_mktemp_failure_gives_1(installer, payload):
    installer.rig.tmpfs("/var/tmp", "ro")
    assert installer.run(str(payload.path), payload.digest, payload.size) == 1
    assert installer.installs() == []


def open_writer(fifo, seconds=10):
    """Opens the FIFO for writing once the script's copy has it open for reading."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            return os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
        except OSError as error:
            if error.errno != errno.ENXIO:
                raise
        time.sleep(0.02)
    raise AssertionError("the copy never opened the source")


def write_all(fd, data):
    os.set_blocking(fd, True)
    with os.fdopen(fd, "wb") as writer:
        writer.write(data)


def start_on_fifo(installer, payload, name="fifo", output=subprocess.DEVNULL):
    """Starts the script with a FIFO as its source, so the case decides when the copy gets data."""
    fifo = payload.path.parent / f"{name}.deb"
    os.mkfifo(fifo)
    process = subprocess.Popen(installer.argv(str(fifo), payload.digest, payload.size),
                               stdin=subprocess.DEVNULL, stdout=output,
                               stderr=subprocess.STDOUT, env={"PATH": "/usr/bin"})
    return fifo, process


# To the shell itself; or, with nobody reading its output any more (the setup program has gone),
# to the copy it waits for, as a logout ends apt-get: the shell's note of the copy's end then meets
# a pipe without a reader.
@pytest.mark.parametrize("signum, reader_gone", [
    (signal.SIGHUP, False), (signal.SIGINT, False), (signal.SIGTERM, False),
    (signal.SIGHUP, True), (signal.SIGTERM, True),
], ids=["HUP", "INT", "TERM", "HUP-to-the-copy-reader-gone", "TERM-to-the-copy-reader-gone"])
def test_a_signal_ends_with_130_and_cleans_up(installer, payload, signum, reader_gone):
    fifo, process = start_on_fifo(installer, payload,
                                  output=subprocess.PIPE if reader_gone else subprocess.DEVNULL)
    try:
        writer = open_writer(fifo)
        assert len(installer.leftovers()) == 1
        if reader_gone:
            process.stdout.close()
            with open(f"/proc/{process.pid}/task/{process.pid}/children") as children:
                os.kill(int(children.read().split()[0]), signum)
            # Held open until then: at its end the copy would finish, empty, before the signal.
            assert process.wait(30) == 130
            os.close(writer)
        else:
            # The shell runs its trap once the copy it waits for has ended, so
            # feed the copy a matching payload: without the signal this installs.
            process.send_signal(signum)
            time.sleep(0.2)
            write_all(writer, payload.data)
            assert process.wait(30) == 130
    finally:
        stop(process)
    assert installer.installs() == []
    assert installer.leftovers() == []


def test_replacing_the_source_after_the_copy_has_no_effect(installer, payload):
    fifo, process = start_on_fifo(installer, payload)
    try:
        write_all(open_writer(fifo), payload.data)
        forged = payload.path.parent / "forged.deb"
        forged.write_bytes(b"forged" * 100)
        os.replace(forged, fifo)
        assert process.wait(30) == 0
    finally:
        stop(process)
    [install] = installer.installs()
    assert install["digest"] == payload.digest
    assert installer.leftovers() == []


def test_the_copy_is_stopped_30_seconds_after_it_starts(installer, payload):
    """A source that delivers 29 s after the script starts is installed; one still silent 30.5 s
    after the copy opened it has been stopped by the time limit, with 124, and not before 30 s.
    Both run at once, to spend the half minute only once."""
    runs = {name: (time.monotonic(), *start_on_fifo(installer, payload, name))
            for name in ("early", "late")}
    try:
        writers = {name: open_writer(fifo) for name, (_, fifo, _) in runs.items()}
        # The copy has the late source open, so its time limit runs already.
        late_deadline = time.monotonic() + 30.5
        time.sleep(max(0.0, runs["early"][0] + 29 - time.monotonic()))
        write_all(writers["early"], payload.data)
        late_started, _, late = runs["late"]
        while late.poll() is None and time.monotonic() < late_deadline:
            time.sleep(0.01)
        late_elapsed = time.monotonic() - late_started
        os.close(writers["late"])  # a copy still running would end here with no bytes: 1
        statuses = [process.wait(30) for _, _, process in runs.values()]
    finally:
        for _, _, process in runs.values():
            stop(process)
    assert statuses == [0, 124]
    assert late_elapsed >= 30
    [install] = installer.installs()
    assert install["digest"] == payload.digest
    assert installer.leftovers() == []
