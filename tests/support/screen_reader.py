"""Orca, the screen reader, headless on the test display and session bus, and what it says.

Orca writes every utterance to its debug file as  SPEECH OUTPUT: '…'  whether or not a speech
server voices it, so a test reads there what a blind user would hear. It runs on the display and
the session bus of the environment it is given (the caller's by default); its accessibility bus
is the one the programs on that display use.

Only one Orca of a user runs at a time (a second refuses to start), so tests that use it must not
run side by side.
"""

import os
import pathlib
import re
import subprocess
import sys

from waiting import wait_for

ORCA = "/usr/bin/orca"
# Orca opens its debug file block-buffered. This launcher flushes it after every line, so each
# utterance can be read as soon as it is made, and then runs Orca's own script.
LAUNCHER = f"""
import runpy
from orca import debug
println = debug.println
def println_and_flush(*args, **kwargs):
    println(*args, **kwargs)
    if debug.debugFile is not None:
        debug.debugFile.flush()
debug.println = println_and_flush
runpy.run_path({ORCA!r}, run_name="__main__")
"""
READY = "Starting registry"
# The utterance, then the voice it is spoken with.
UTTERANCE = re.compile(r"SPEECH OUTPUT: '(.*)' ?(\{[^{}]*\})?$")


def available():
    return os.access(ORCA, os.X_OK)


class ScreenReader:
    """One Orca, with a fresh profile in `directory` (no first-run dialog, no user settings)."""

    def __init__(self, directory, env=None):
        self.directory = pathlib.Path(directory)
        self.log = self.directory / "orca-debug.txt"
        self.env = os.environ if env is None else env
        self.process = None

    def start(self, timeout=30):
        """Starts Orca and returns once it listens to the accessibility bus."""
        environment = {name: value for name, value in self.env.items() if name != "NO_AT_BRIDGE"}
        environment.update(
            XDG_CONFIG_HOME=str(self.directory / "config"),
            XDG_DATA_HOME=str(self.directory / "data"),
            GSETTINGS_BACKEND="memory",
            # No speech server is started: nothing is voiced and nothing outlives Orca, and the
            # debug file has every utterance all the same.
            SPEECHD_CMD="/bin/false")
        with open(self.directory / "orca-output.txt", "w") as output:
            # -I: nothing of the working directory or the environment comes before Orca's modules.
            self.process = subprocess.Popen(
                [sys.executable, "-I", "-c", LAUNCHER, f"--debug-file={self.log}"],
                env=environment, stdin=subprocess.DEVNULL, stdout=output,
                stderr=subprocess.STDOUT)
        wait_for(self._ready, timeout, "Orca to start")
        return self

    def _ready(self):
        if self.process.poll() is not None:
            output = (self.directory / "orca-output.txt").read_text(errors="replace")
            raise RuntimeError(f"Orca ended with {self.process.returncode}: {output}")
        return READY in self._lines()

    def _lines(self):
        """The debug file's complete lines so far."""
        if not self.log.exists():
            return ""
        text = self.log.read_text(errors="replace")
        return text[:text.rfind("\n") + 1]

    def utterances(self):
        """Everything Orca has said so far, in order."""
        return [match.group(1) for match in map(UTTERANCE.search, self._lines().splitlines())
                if match]

    def wait_until_said(self, text, since=0, timeout=5):
        """Waits until Orca says `text`, one whole utterance, after its first `since` ones; says
        whether it did."""
        try:
            wait_for(lambda: text in self.utterances()[since:], timeout, repr(text))
        except TimeoutError:
            return False
        return True

    def stop(self):
        # SIGKILL: Orca acts on TERM only when its main loop next wakes, seconds later.
        if self.process and self.process.poll() is None:
            self.process.kill()
            self.process.wait()
