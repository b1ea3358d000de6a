"""Drives the real setup window the way a screen reader would: through the accessibility bus.

Used by the launch tests (under tests/ui/with-display), the installation tests and the end-to-end
test (as the desktop user inside a sandbox session). The window may be on X or on Wayland (see
displays.py). Under Wayland GTK draws the title bar itself, so the accessible frame holds a
title-bar panel, with its own labels and Close button, beside the box of the window's rows: rows
and buttons are found by what they are, never by where they sit in the frame.
"""

import json
import os
import pathlib
import subprocess
import tempfile
import time

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi, GLib  # noqa: E402

import displays  # noqa: E402
from waiting import wait_for  # noqa: E402

APPLICATION_NAME = "velto-linux-setup"
SOURCE_DIR = pathlib.Path(os.environ.get("VELTO_SOURCE_DIR",
                                         pathlib.Path(__file__).resolve().parent.parent.parent))
BUILD_DIR = pathlib.Path(os.environ.get("VELTO_BUILD_DIR", SOURCE_DIR / "build"))
CLOSE_WINDOW = BUILD_DIR / "tests" / "support" / "velto_close_window"
XDOTOOL = "/usr/bin/xdotool"
# GTK's own name for its title bar's close button; the tests run GTK with English messages.
TITLE_BAR_CLOSE = "Close"


def identity_texts(language="en"):
    """The texts the window shows, by key, from the translation document that is built in."""
    path = SOURCE_DIR / "resources" / "translations" / f"{language}.json"
    return json.loads(path.read_text(encoding="utf-8"))["identity"]


def children(accessible):
    for index in range(accessible.get_child_count()):
        child = accessible.get_child_at_index(index)
        if child is not None:
            yield child


def walk(accessible):
    yield accessible
    for child in children(accessible):
        yield from walk(child)


class SetupWindow:
    """One started setup program and its window.

    `env` is the program's whole environment (os.environ when not given), `display` the display
    it shows on ("x11" or "wayland"; by default the one this process's environment names).
    Standard output and error go to a log in `log_dir`; output() reads it.
    """

    def __init__(self, program=None, env=None, display=None, log_dir=None, timeout=30):
        program = str(program or BUILD_DIR / "velto-linux-setup")
        self.display = display or displays.current()
        log_dir = log_dir or os.environ.get("XDG_RUNTIME_DIR") or tempfile.gettempdir()
        self.log_path = pathlib.Path(log_dir) / f"setup-{time.monotonic_ns()}.log"
        with open(self.log_path, "w") as log:
            self.process = subprocess.Popen([program], env=os.environ if env is None else env,
                                            stdout=log, stderr=subprocess.STDOUT)
        self.application = wait_for(self._find_application, timeout, "the window")

    # --- finding things ----------------------------------------------------------------------

    def _find_application(self):
        if self.process.poll() is not None:
            raise RuntimeError(f"the setup program ended early with {self.process.returncode}: "
                               + self.output())
        desktop = Atspi.get_desktop(0)
        desktop.clear_cache()
        for application in children(desktop):
            try:
                if (application.get_name() == APPLICATION_NAME
                        and application.get_process_id() == self.process.pid
                        and application.get_child_count() > 0):
                    return application
            except GLib.Error:
                continue
        return None

    def _frame(self):
        self.application.clear_cache()
        return next((node for node in children(self.application)
                     if node.get_role() == Atspi.Role.FRAME), None)

    def _content(self):
        """The box of the window's rows: the frame's child that itself holds labels and a push
        button. The title bar keeps its own a level deeper. None while the window goes away."""
        frame = self._frame()
        for child in children(frame) if frame else ():
            roles = {node.get_role() for node in children(child)}
            if {Atspi.Role.LABEL, Atspi.Role.PUSH_BUTTON} <= roles:
                return child
        return None

    def _content_nodes(self, role):
        content = self._content()
        return [node for node in children(content) if node.get_role() == role] if content else []

    def rows(self):
        """The window's rows, top to bottom, as (role, name) pairs."""
        content = self._content()
        return [(node.get_role_name(), node.get_name()) for node in children(content)]

    def labels(self):
        return [label.get_name() for label in self._content_nodes(Atspi.Role.LABEL)]

    def button(self):
        """The Install button: the one push button among the rows."""
        buttons = self._content_nodes(Atspi.Role.PUSH_BUTTON)
        if len(buttons) != 1:
            raise AssertionError(f"expected one button among the rows, found {len(buttons)}")
        return buttons[0]

    def button_sensitive(self):
        return self.button().get_state_set().contains(Atspi.StateType.SENSITIVE)

    def install_focused(self):
        """Whether Install has the keyboard focus (in a window that has the input focus)."""
        return self.button().get_state_set().contains(Atspi.StateType.FOCUSED)

    def size(self):
        """The window's width and height in pixels, as the accessibility bus reports them."""
        extents = self._frame().get_extents(Atspi.CoordType.SCREEN)
        return [extents.width, extents.height]

    def window_title(self):
        frame = self._frame()
        return frame.get_name() if frame else None

    def resizable(self):
        return self._frame().get_state_set().contains(Atspi.StateType.RESIZABLE)

    def rows_width(self):
        """The width of the box of rows, in pixels; the window is this plus its margins."""
        return self._content().get_extents(Atspi.CoordType.WINDOW).width

    def title_bar_close(self):
        """The Close button of the title bar GTK draws on Wayland, or None (on X the window
        manager draws the title bar, and under Xvfb there is none)."""
        frame = self._frame()
        for child in children(frame) if frame else ():
            if child.get_role() != Atspi.Role.PANEL:
                continue
            for node in walk(child):
                if node.get_role() == Atspi.Role.PUSH_BUTTON and node.get_name() == TITLE_BAR_CLOSE:
                    return node
        return None

    def output(self):
        return self.log_path.read_text(errors="replace")

    # --- acting ------------------------------------------------------------------------------

    def click_install(self):
        assert Atspi.Action.do_action(self.button(), 0)

    # The keyboard, on X only: a headless compositor has no seat to type on.

    def _xdotool(self, *arguments):
        return subprocess.run([XDOTOOL, *arguments], capture_output=True, text=True, check=True,
                              timeout=20).stdout

    def give_input_focus(self):
        """Gives the window the X input focus (XSetInputFocus), as a window manager does for the
        window it activates; under Xvfb there is none to do it. Keys then go to this window."""
        (x_window,) = self._xdotool("search", "--sync", "--onlyvisible", "--pid",
                                    str(self.process.pid)).split()
        self._xdotool("windowfocus", "--sync", x_window)

    def press_key(self, key):
        """Presses and releases `key` (an X key name such as "space" or "alt+i") on the keyboard,
        which sends it to the window with the input focus."""
        self._xdotool("key", key)

    def closed(self):
        return self.process.poll() is not None

    def request_close(self):
        """Asks the window to close as a user would, and returns how many windows were asked.
        On Wayland that is the title bar's Close button; on X, a window manager's
        WM_DELETE_WINDOW message. Both reach the program as a delete event."""
        if self.display == "wayland":
            button = self.title_bar_close()
            if button is None:
                raise AssertionError(f"no {TITLE_BAR_CLOSE} button in the title bar")
            assert Atspi.Action.do_action(button, 0)
            return 1
        result = subprocess.run([str(CLOSE_WINDOW), "--pid", str(self.process.pid)],
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

    def wait_for_message(self, text, timeout=10):
        """Waits until the message row (the fourth) reads `text`."""
        try:
            wait_for(lambda: self.rows()[3] == ("label", text), timeout, f"the message {text!r}")
        except TimeoutError as error:
            raise AssertionError(f"{error}; rows: {self.rows()}") from None

    def wait_outcome(self, timeout):
        """Waits until the run has ended: the program closed its window and ended, or the button is
        offered again. Returns what the window showed."""
        return wait_for(self._outcome, timeout, "the run to end")

    def _outcome(self):
        if self.closed():
            return {"closed": True, "exit_status": self.process.returncode}
        try:
            buttons = self._content_nodes(Atspi.Role.PUSH_BUTTON)
            # No button: the window is being destroyed on its way to closing the program.
            if buttons and buttons[0].get_state_set().contains(Atspi.StateType.SENSITIVE):
                return {"closed": False, "labels": self.labels(), "button_sensitive": True}
        except GLib.Error:
            pass  # the window may be going away right now
        return None

    def close_and_wait(self, timeout=10):
        if not self.closed():
            self.request_close()
        self.process.wait(timeout)
        return self.process.returncode

    def kill(self):
        if not self.closed():
            self.process.kill()
            self.process.wait()
