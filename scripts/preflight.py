# Run by the setup program as the invoking user, as /usr/bin/python3 -c TEXT,
# before the package is upgraded.  If a Velto desktop application is running,
# prove from its lifecycle records that it understands the hand-off request,
# ask it over the session bus to exit when idle and wait until it has ended.
# The exit status is the only result: 0 nothing in the way, 20 legacy
# application, 21 busy, 22 failure.
import sys

# python3 -c puts the working directory, as an empty entry, first on the search
# path, so a json.py or subprocess.py lying there would run in place of the
# standard library.  Every relative entry resolves against the working
# directory, so none is kept; this must come before any other import.
sys.path[:] = [entry for entry in sys.path if entry.startswith("/")]

# pathlib and uuid are not imported: this runs before every installation,
# they would add some 10 ms to its start, and the little they did here is done
# by hand below.
import json
import os
import re
import select
import stat
import subprocess
import time

BUS_NAME = "org.freedesktop.DBus"
BUS_PATH = "/org/freedesktop/DBus"
HANDOFF_NAME = "com.velto.desktop.handoff"
HANDOFF_PATH = "/com/velto/desktop/handoff"
HANDOFF_METHOD = "org.gtk.Application.CommandLine"
COMMAND_LINE_PATH = "/com/velto/desktop/installer"
REQUEST = (b"velto-desktop", b"--request-idle-update-exit")

CALL_SECONDS = 6
REPLY_LIMIT = 4096
LISTING_LIMIT = 1024
RECORD_LIMIT = 2048
EXIT_SECONDS = 30
LEAST_VERSION = (0, 1, 74)

RECORD_FIELDS = frozenset(
    ("schemaVersion", "instance", "pid", "version", "startedAt", "endedAt",
     "kind", "exitCode"))
END_FIELDS = ("endedAt", "kind", "exitCode")
VERSION_PATTERN = re.compile(
    r"(0|[1-9][0-9]{0,4})\.(0|[1-9][0-9]{0,4})\.(0|[1-9][0-9]{0,4})")
OWNER_PATTERN = re.compile(r"\('(:[0-9]+(?:\.[0-9]+)+)',\)")
PID_PATTERN = re.compile(r"\(uint32 ([0-9]+),\)")
# A UUID in its canonical form only: lowercase, hyphenated, nothing around it.
INSTANCE_PATTERN = re.compile(
    r"[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}")


class Rejected(Exception):
    def __init__(self, code=22):
        super().__init__(code)
        self.code = code


def call(destination, path, method, *arguments):
    command = ["/usr/bin/gdbus", "call", "--session", "--dest", destination,
               "--object-path", path, "--method", method, *arguments]
    # With neither DBUS_SESSION_BUS_ADDRESS nor $XDG_RUNTIME_DIR/bus, gdbus
    # would have dbus-launch start a fresh bus on the X display: nobody owns
    # the hand-off name there, and its daemon outlives this script.  GLib never
    # autolaunches without DISPLAY, and gdbus needs it for nothing else.
    environment = dict(os.environ)
    environment.pop("DISPLAY", None)
    try:
        completed = subprocess.run(
            command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL, env=environment, timeout=CALL_SECONDS,
            check=False)
    except (OSError, subprocess.SubprocessError):
        raise Rejected(22) from None
    if completed.returncode != 0 or len(completed.stdout) > REPLY_LIMIT:
        raise Rejected(22)
    try:
        text = completed.stdout.decode("ascii")
    except UnicodeDecodeError:
        raise Rejected(22) from None
    return text.strip()


def unique_fields(pairs):
    fields = {}
    for name, value in pairs:
        if name in fields:
            raise ValueError("duplicate field")
        fields[name] = value
    return fields


def is_integer(value):
    # JSON true and false arrive as bool, which Python counts as int.
    return isinstance(value, int) and not isinstance(value, bool)


def recorded_version(raw, pid):
    if len(raw) > RECORD_LIMIT:
        return None
    try:
        record = json.loads(raw, object_pairs_hook=unique_fields)
        if not isinstance(record, dict):
            return None
        if not RECORD_FIELDS.issuperset(record):
            return None
        schema = record["schemaVersion"]
        if not is_integer(schema) or schema != 1:
            return None
        owner = record["pid"]
        if not is_integer(owner) or owner != pid:
            return None
        started = record["startedAt"]
        if not is_integer(started) or started <= 0:
            return None
        if any(record.get(name) is not None for name in END_FIELDS):
            return None
        instance = record["instance"]
        if not isinstance(instance, str) or INSTANCE_PATTERN.fullmatch(instance) is None:
            return None
        version = record["version"]
        if not isinstance(version, str):
            return None
        match = VERSION_PATTERN.fullmatch(version)
        if match is None:
            return None
        triple = tuple(int(part) for part in match.groups())
        if any(part > 65535 for part in triple):
            return None
        return started, triple
    # A record of nested arrays well within the size limit can go past the
    # parser's recursion limit; it is just as unusable as any other.
    except (ValueError, TypeError, KeyError, AttributeError, RecursionError):
        return None


def lifecycle_directory():
    data_home = os.environ.get("XDG_DATA_HOME")
    if data_home is None:
        home = os.path.expanduser("~")
        # "~" comes back as it is when neither HOME nor the user database
        # gives a home; a relative path must not stand in for one.
        if home.startswith("~"):
            raise RuntimeError("no home directory")
        return os.path.join(home, ".local/share", "velto/logs/lifecycle")
    return os.path.join(data_home, "velto/logs/lifecycle")


def suffix(name):
    # The last dot and what follows, unless the dot leads or ends the name.
    dot = name.rfind(".")
    return name[dot:] if 0 < dot < len(name) - 1 else ""


def read_record(path):
    # O_NONBLOCK: an entry that is a FIFO would otherwise block the open until
    # a writer appears; the regular-file check below then skips it.
    flags = os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC
    fd = os.open(path, flags)
    try:
        status = os.fstat(fd)
        if not stat.S_ISREG(status.st_mode) or status.st_size > RECORD_LIMIT:
            return None
        chunks = []
        remaining = RECORD_LIMIT + 1
        while remaining > 0:
            chunk = os.read(fd, remaining)
            if not chunk:
                break
            chunks.append(chunk)
            remaining -= len(chunk)
        return b"".join(chunks)
    finally:
        os.close(fd)


def require_protocol(pid):
    directory = lifecycle_directory()
    names = []
    try:
        with os.scandir(directory) as entries:
            for entry in entries:
                names.append(entry.name)
                if len(names) >= LISTING_LIMIT:
                    break
    except OSError:
        raise Rejected(20) from None

    newest = None
    for name in names:
        if suffix(name) != ".json":
            continue
        try:
            raw = read_record(os.path.join(directory, name))
        except OSError:
            continue
        if raw is None:
            continue
        found = recorded_version(raw, pid)
        # Strictly greater: on equal start times the first listed record stays.
        if found is not None and (newest is None or found[0] > newest[0]):
            newest = found
    if newest is None or newest[1] < LEAST_VERSION:
        raise Rejected(20)


def byte_array_text(argument):
    # Explicit byte lists keep the NUL terminators intact through gdbus's
    # argument parser; its bytestring shorthand would not.
    return "[byte " + ", ".join(str(value) for value in argument + b"\0") + "]"


def wait_for_end(poller):
    deadline = time.monotonic() + EXIT_SECONDS
    while True:
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            raise Rejected(21)
        try:
            if poller.poll(max(1, int(remaining * 1000))):
                return
        except InterruptedError:
            continue


def prepare():
    if os.geteuid() == 0 or not hasattr(os, "pidfd_open"):
        raise Rejected(22)

    try:
        owner_reply = call(BUS_NAME, BUS_PATH, "org.freedesktop.DBus.GetNameOwner",
                           HANDOFF_NAME)
    except Rejected:
        if call(BUS_NAME, BUS_PATH, "org.freedesktop.DBus.NameHasOwner",
                HANDOFF_NAME) == "(false,)":
            return
        raise Rejected(22) from None

    match = OWNER_PATTERN.fullmatch(owner_reply)
    if match is None or len(match.group(1)) > 255:
        raise Rejected(22)
    # The unique name pins the connection: the well-known name could pass to
    # another process between the calls below.
    unique_name = match.group(1)

    pid_reply = call(BUS_NAME, BUS_PATH,
                     "org.freedesktop.DBus.GetConnectionUnixProcessID", unique_name)
    match = PID_PATTERN.fullmatch(pid_reply)
    if match is None:
        raise Rejected(22)
    pid = int(match.group(1))
    if not 0 < pid <= 4294967295 or pid == os.getpid():
        raise Rejected(22)

    # The process descriptor follows this very process, so a reused process id
    # can never be taken for the application's end.
    try:
        pidfd = os.pidfd_open(pid)
    except ProcessLookupError:
        return
    except OSError:
        raise Rejected(22) from None
    try:
        poller = select.poll()
        poller.register(pidfd, select.POLLIN)
        if poller.poll(0):
            return
        require_protocol(pid)
        arguments = "[" + ", ".join(byte_array_text(word) for word in REQUEST) + "]"
        reply = call(unique_name, HANDOFF_PATH, HANDOFF_METHOD, COMMAND_LINE_PATH,
                     arguments, "{}")
        if reply != "(0,)":
            raise Rejected(21)
        wait_for_end(poller)
    finally:
        os.close(pidfd)


def main():
    if len(sys.argv) != 1:
        return 22
    try:
        prepare()
    except Rejected as rejected:
        return rejected.code
    except BaseException:
        return 22
    return 0


# python3 -c runs the text as __main__; the test suite imports the file to try
# the record rules on their own, and that import must run nothing.
if __name__ == "__main__":
    sys.exit(main())
