"""Drives the real setup window the way a screen reader would: through the accessibility bus.

Runs as the desktop user inside a session (dbus-run-session) on the namespace's X server.
"""

import json
import os
import pathlib
import subprocess
import time

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi  # noqa: E402
from sandbox import wait_for  # noqa: E402

APPLICATION_NAME = "velto-linux-setup"
SOURCE_DIR = pathlib.Path(os.environ.get("VELTO_SOURCE_DIR",
                                         pathlib.Path(__file__).resolve().parent.parent.parent))
BUILD_DIR = pathlib.Path(os.environ.get("VELTO_BUILD_DIR", SOURCE_DIR / "build"))


def identity_texts(language="en"):
    """The texts the window shows, by key, from the translation document that is built in."""
    path = SOURCE_DIR / "resources" / "translations" / f"{language}.json"
    return json.loads(path.read_text(encoding="utf-8"))["identity"]


def walk(accessible):
    yield accessible
    for index in range(accessible.get_child_count()):
        child = accessible.get_child_at_index(index)
        if child is not None:
            yield from walk(child)


class SetupWindow:
    """One started setup program and its window."""

    def __init__(self, program=None, environment=None, timeout=30):
        program = str(program or BUILD_DIR / "velto-linux-setup")
        self.log_path = os.path.join(os.environ.get("XDG_RUNTIME_DIR", "/tmp"),
                                     f"setup-{time.monotonic_ns()}.log")
        self.log = open(self.log_path, "w")
        self.process = subprocess.Popen([program], env=dict(os.environ, **(environment or {})),
                                        stdout=self.log, stderr=subprocess.STDOUT)
        self.application = wait_for(self._find_application, timeout, "the window")

    # --- finding things ----------------------------------------------------------------------

    def _find_application(self):
        if self.process.poll() is not None:
            raise RuntimeError(f"the setup program ended early with {self.process.returncode}: "
                               + pathlib.Path(self.log_path).read_text(errors="replace"))
        desktop = Atspi.get_desktop(0)
        desktop.clear_cache()
        for index in range(desktop.get_child_count()):
            application = desktop.get_child_at_index(index)
            if application is None:
                continue
            try:
                if (application.get_name() == APPLICATION_NAME
                        and application.get_process_id() == self.process.pid
                        and application.get_child_count() > 0):
                    return application
            except gi.repository.GLib.Error:
                continue
        return None

    def _nodes(self, role):
        self.application.clear_cache()
        return [node for node in walk(self.application) if node.get_role() == role]

    def labels(self):
        return [label.get_name() for label in self._nodes(Atspi.Role.LABEL)]

    def button(self):
        buttons = self._nodes(Atspi.Role.PUSH_BUTTON)
        if len(buttons) != 1:
            raise AssertionError(f"expected one button, found {len(buttons)}")
        return buttons[0]

    def button_sensitive(self):
        return self.button().get_state_set().contains(Atspi.StateType.SENSITIVE)

    def window_title(self):
        frames = self._nodes(Atspi.Role.FRAME)
        return frames[0].get_name() if frames else None

    # --- acting ------------------------------------------------------------------------------

    def click_install(self):
        button = self.button()
        button.get_action_iface().do_action(0)

    def closed(self):
        return self.process.poll() is not None

    def request_close(self):
        """Asks the window to close as a window manager would (WM_DELETE_WINDOW)."""
        helper = BUILD_DIR / "tests" / "support" / "velto_close_window"
        result = subprocess.run([str(helper), "--pid", str(self.process.pid)],
                                capture_output=True, text=True, check=True)
        return int(result.stdout.strip())

    def responsiveness(self, duration):
        """Longest round trip of an accessibility query over `duration` seconds: GTK answers
        them on its main thread, so a blocked main loop shows up here."""
        longest = 0.0
        end = time.monotonic() + duration
        while time.monotonic() < end and not self.closed():
            start = time.monotonic()
            self.labels()
            longest = max(longest, time.monotonic() - start)
            time.sleep(0.02)
        return longest

    def wait_outcome(self, timeout):
        """Waits until the run has ended: the program closed its window and ended, or the button is
        offered again. Returns what the window showed."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.closed():
                return {"closed": True, "exit_status": self.process.returncode}
            try:
                buttons = self._nodes(Atspi.Role.PUSH_BUTTON)
                # No button: the window is being destroyed on its way to closing the program.
                if buttons and buttons[0].get_state_set().contains(Atspi.StateType.SENSITIVE):
                    return {"closed": False, "labels": self.labels(), "button_sensitive": True}
            except gi.repository.GLib.Error:
                pass  # the window may be going away right now
            time.sleep(0.05)
        raise TimeoutError("the run did not end")

    def close_and_wait(self, timeout=10):
        if not self.closed():
            self.request_close()
        self.process.wait(timeout)
        return self.process.returncode
