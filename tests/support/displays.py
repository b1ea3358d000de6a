"""The displays the window tests put the real program on: an X server (Xvfb) or a headless Wayland
compositor (weston).

The X server comes from outside (tests/ui/with-display, or the sandbox's Machine.start_x); the
program just inherits DISPLAY. A Weston here is started by the test on a runtime directory of its
own, and the program is pointed at it and only at it. Nothing in this module needs GTK.
"""

import os
import pathlib
import re
import shutil
import socket
import subprocess
import tempfile

from waiting import wait_for

WESTON = "/usr/bin/weston"
SCREENSHOOTER = "/usr/bin/weston-screenshooter"

# A headless compositor has no seat, and GTK complains about the missing keyboard each time a
# window is mapped or activated. Nothing else is excused.
HARMLESS_ON_WAYLAND = re.compile(r"gdk_seat_get_keyboard: assertion 'GDK_IS_SEAT \(seat\)' failed")
GLIB_COMPLAINT = re.compile(r"-(CRITICAL|WARNING) \*\*")


def accepts_connections(path):
    """Whether a server listens on the Unix socket `path` (it may exist before it listens)."""
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as probe:
        try:
            probe.connect(str(path))
        except OSError:
            return False
    return True


def current():
    """The display this process's environment points GTK at: "wayland" or "x11"."""
    return "wayland" if os.environ.get("GDK_BACKEND") == "wayland" else "x11"


def complaints(output, display):
    """GLib criticals and warnings in a program's output that the display does not excuse. Wayland
    runs cannot use G_DEBUG=fatal-criticals (see HARMLESS_ON_WAYLAND), so tests read them here."""
    lines = [line for line in output.splitlines() if GLIB_COMPLAINT.search(line)]
    if display == "wayland":
        lines = [line for line in lines if not HARMLESS_ON_WAYLAND.search(line)]
    return lines


def start_xvfb(number=None):
    """Starts an Xvfb and returns (process, display) once it accepts clients: it writes its
    display number to -displayfd only then. `number` fixes the display (a private network
    namespace keeps its abstract socket apart from other servers); by default Xvfb picks a free
    one. -noreset keeps it from resetting whenever its last client leaves, which would refuse the
    next one for a moment."""
    read_end, write_end = os.pipe()
    command = ["/usr/bin/Xvfb"] + ([f":{number}"] if number is not None else []) + [
        "-screen", "0", "1024x768x24", "-nolisten", "tcp", "-noreset",
        "-displayfd", str(write_end)]
    process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, pass_fds=(write_end,))
    os.close(write_end)
    with os.fdopen(read_end) as ready:
        written = ready.readline().strip()
    if not written.isdigit() or (number is not None and written != str(number)):
        process.kill()
        process.wait()
        raise RuntimeError(f"Xvfb did not start (it wrote {written!r})")
    return process, f":{written}"


class X11:
    """The X server the caller already runs in (DISPLAY)."""

    name = "x11"

    def adjust(self, env):
        """A copy of `env` in which GTK can only choose X."""
        return {name: value for name, value in env.items()
                if name not in ("WAYLAND_DISPLAY", "GDK_BACKEND")}


class Weston:
    """A headless weston with the pixman renderer: a 1024x768 output in memory, its desktop shell,
    no input devices. --debug lets weston-screenshooter read the output."""

    name = "wayland"

    def __init__(self, runtime_dir, socket_name="wayland-velto"):
        self.runtime_dir = pathlib.Path(runtime_dir)
        self.socket_name = socket_name
        self.log = self.runtime_dir / f"{socket_name}.log"
        self.process = None

    def start(self, user=None):
        """Starts weston, as `user` (a uid, gid pair) when given, and returns once its socket
        accepts clients. Globals are registered before weston serves anyone, so a client that
        connects then sees the whole compositor."""
        command = [WESTON, "--backend=headless-backend.so", "--use-pixman", "--width=1024",
                   "--height=768", f"--socket={self.socket_name}", "--idle-time=0",
                   "--no-config", "--debug", f"--log={self.log}"]
        if user is not None:
            command = ["/usr/bin/setpriv", f"--reuid={user[0]}", f"--regid={user[1]}",
                       "--init-groups", "--"] + command
        environment = {"PATH": "/usr/bin:/bin", "HOME": str(self.runtime_dir),
                       "XDG_RUNTIME_DIR": str(self.runtime_dir)}
        self.process = subprocess.Popen(command, env=environment, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for(self._ready, 30, "weston's socket")
        return self.process

    def _ready(self):
        if self.process.poll() is not None:
            log = self.log.read_text(errors="replace") if self.log.exists() else ""
            raise RuntimeError(f"weston ended with {self.process.returncode}:\n{log}")
        return accepts_connections(self.runtime_dir / self.socket_name)

    def variables(self):
        return {"WAYLAND_DISPLAY": self.socket_name, "XDG_RUNTIME_DIR": str(self.runtime_dir),
                "GDK_BACKEND": "wayland"}

    def adjust(self, env):
        """A copy of `env` that reaches this compositor and no X server. Criticals stop being
        fatal there: the missing seat's would end every run (see complaints())."""
        env = {name: value for name, value in env.items() if name != "DISPLAY"}
        env.update(self.variables())
        kept = [flag for flag in re.split(r"[,:; \t]", env.pop("G_DEBUG", ""))
                if flag and flag not in ("fatal-criticals", "fatal-warnings")]
        if kept:
            env["G_DEBUG"] = ",".join(kept)
        return env

    def screenshot(self, path):
        """The whole output as a PNG at `path`. weston-screenshooter names its file by the time,
        so it writes into a directory of its own."""
        with tempfile.TemporaryDirectory() as directory:
            subprocess.run([SCREENSHOOTER], cwd=directory, check=True, timeout=30,
                           env=dict(os.environ, **self.variables()), capture_output=True)
            (shot,) = pathlib.Path(directory).glob("*.png")
            shutil.move(shot, path)
        return path

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
