"""The real setup program in a private X server: found by its title, photographed, driven through
the accessibility bus and closed as a window manager would close it.

Run by ctest through tests/ui/with-display, which provides Xvfb and a session bus. The paths come
from the environment: VELTO_SETUP (the program), VELTO_CLOSE_WINDOW (the close helper) and
VELTO_SCREENSHOT_DIR (where the screenshots go).
"""

import os
import subprocess
import time

import gi
import pytest

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi  # noqa: E402

SETUP = os.environ["VELTO_SETUP"]
CLOSE_WINDOW = os.environ["VELTO_CLOSE_WINDOW"]
SCREENSHOT_DIR = os.environ["VELTO_SCREENSHOT_DIR"]

ENGLISH_TITLE = "Velto - Remote Access Setup"
TURKISH_TITLE = "Velto - Uzak Erişim Kurulumu"
ENGLISH_CONSENT = (
    "Velto will be installed on this computer. Missing dependencies may be downloaded and Linux "
    "administrator approval will be requested. Continue?"
)
ENGLISH_FAILED = (
    "Setup could not finish. This installer requires Ubuntu/Debian amd64; run it from a terminal "
    "for details."
)
TURKISH_FAILED = (
    "Kurulum tamamlanamadı. Bu kurucu Ubuntu/Debian amd64 içindir; ayrıntı için terminalden "
    "çalıştırın."
)

# xdotool matches titles in its own locale, so it needs a UTF-8 one for the Turkish title.
XDOTOOL_ENV = dict(os.environ, LANG="C.UTF-8", LC_ALL="C.UTF-8")


def program_env(lang, accessible=False, **extra):
    """The program's environment as bytes, so that values need not be UTF-8.

    The machine may have no Turkish locale installed; LC_ALL=C.UTF-8 gives GTK a UTF-8 locale in
    any case (so the title reaches X as text xdotool can match), and the program reads only LANG.
    """
    env = {k: v for k, v in os.environb.items() if k not in (b"LANG", b"LANGUAGE", b"LC_ALL")}
    env[b"LANG"] = lang if isinstance(lang, bytes) else lang.encode()
    env[b"LC_ALL"] = b"C.UTF-8"
    if accessible:
        env.pop(b"NO_AT_BRIDGE", None)
    for name, value in extra.items():
        env[name.encode()] = value if isinstance(value, bytes) else value.encode()
    return env


def xdotool(*args, timeout=20):
    result = subprocess.run(
        ["xdotool", *args],
        env=XDOTOOL_ENV,
        capture_output=True,
        text=True,
        timeout=timeout,
    )
    return result.stdout.split()


def wait_for_windows(title, count=1):
    """Ids of the visible windows called exactly `title`, once there are `count` of them."""
    deadline = time.monotonic() + 20
    while True:
        ids = xdotool("search", "--sync", "--onlyvisible", "--name", f"^{title}$")
        if len(ids) >= count or time.monotonic() > deadline:
            return ids
        time.sleep(0.1)


def geometry(window):
    values = dict(
        line.split("=", 1)
        for line in xdotool("getwindowgeometry", "--shell", window)
        if "=" in line
    )
    return {k: int(v) for k, v in values.items() if k in ("X", "Y", "WIDTH", "HEIGHT")}


def screenshot(window, name):
    """Photographs the screen (import -window root) cropped to the window, under the build folder."""
    time.sleep(0.5)  # let the first frames be drawn
    g = geometry(window)
    path = os.path.join(SCREENSHOT_DIR, name)
    subprocess.run(
        ["import", "-window", "root", "-crop", f"{g['WIDTH']}x{g['HEIGHT']}+{g['X']}+{g['Y']}",
         "+repage", path],
        check=True,
        timeout=30,
    )
    assert os.path.getsize(path) > 1000
    return path


def close(window):
    subprocess.run([CLOSE_WINDOW, "--window", window], check=True, timeout=10)


def start(env):
    return subprocess.Popen([SETUP], env=env, stderr=subprocess.PIPE)


def finish(process):
    """The exit status and standard error of a program whose window has been asked to close."""
    try:
        _, err = process.communicate(timeout=10)
    except subprocess.TimeoutExpired:
        process.kill()
        _, err = process.communicate()
        pytest.fail("the program did not end after its window was closed")
    return process.returncode, err.decode(errors="replace")


@pytest.fixture
def running():
    """Programs started by a test; any still running afterwards are killed."""
    processes = []

    def launch(env):
        process = start(env)
        processes.append(process)
        return process

    yield launch
    for process in processes:
        if process.poll() is None:
            process.kill()
            process.wait()


# The accessibility bus: reading labels and pressing the button as a screen reader would.


def accessible_application(pid):
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        desktop = Atspi.get_desktop(0)
        for i in range(desktop.get_child_count()):
            app = desktop.get_child_at_index(i)
            if app is not None and app.get_process_id() == pid:
                return app
        time.sleep(0.1)
    pytest.fail(f"process {pid} never appeared on the accessibility bus")


def descendants(node):
    for i in range(node.get_child_count()):
        child = node.get_child_at_index(i)
        yield child
        yield from descendants(child)


def rows(app):
    """The window's rows, top to bottom, as (role, name) pairs."""
    app.clear_cache()
    frame = app.get_child_at_index(0)
    box = frame.get_child_at_index(0)
    return [
        (box.get_child_at_index(i).get_role_name(), box.get_child_at_index(i).get_name())
        for i in range(box.get_child_count())
    ]


def press_install(app):
    button = next(n for n in descendants(app) if n.get_role_name() == "push button")
    assert Atspi.Action.do_action(button, 0)


def wait_for_message(app, text):
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        if rows(app)[3] == ("label", text):
            return
        time.sleep(0.05)
    pytest.fail(f"the message line never read {text!r}; rows: {rows(app)}")


def test_english_window_opens_and_closes_with_status_0(running):
    process = running(program_env("en_US.UTF-8"))
    (window,) = wait_for_windows(ENGLISH_TITLE)
    g = geometry(window)
    assert g["WIDTH"] == 460
    assert g["HEIGHT"] > 270  # the content's natural height, not a forced size
    screenshot(window, "setup-window-en.png")
    close(window)
    status, err = finish(process)
    assert status == 0, err


def test_turkish_window_opens_and_closes_with_status_0(running):
    process = running(program_env("tr_TR.UTF-8"))
    (window,) = wait_for_windows(TURKISH_TITLE)
    screenshot(window, "setup-window-tr.png")
    close(window)
    status, err = finish(process)
    assert status == 0, err


def test_install_press_is_reported_in_the_window(running):
    process = running(program_env("en_US.UTF-8", accessible=True))
    (window,) = wait_for_windows(ENGLISH_TITLE)
    app = accessible_application(process.pid)
    assert rows(app) == [
        ("icon", ""),
        ("label", "Velto 0.1.80"),
        ("label", ENGLISH_CONSENT),
        ("label", ""),
        ("animation", "Spinner"),
        ("push button", "Install"),
    ]
    press_install(app)
    # The executable's worker reports that setup could not finish until the installation
    # sequence is wired in; the run then ends with Install offered again.
    wait_for_message(app, ENGLISH_FAILED)
    screenshot(window, "setup-window-en-reported.png")
    close(window)
    status, err = finish(process)
    assert status == 0, err


def test_locale_variables_that_are_not_utf8_do_not_crash_the_window(running):
    process = running(
        program_env(
            b"tr_TR.\xff",
            accessible=True,
            LANGUAGE=b"tr:\xfe",
            LC_MESSAGES=b"\xc3",
        )
    )
    # Not valid UTF-8, so English, even though it begins with "tr".
    (window,) = wait_for_windows(ENGLISH_TITLE)
    app = accessible_application(process.pid)
    press_install(app)  # the spinner draws a themed icon too
    wait_for_message(app, ENGLISH_FAILED)
    screenshot(window, "setup-window-invalid-locale.png")
    assert process.poll() is None
    close(window)
    status, err = finish(process)
    assert status == 0, err
    assert "panicked" not in err


def test_lc_all_does_not_choose_the_language(running):
    env = program_env("en_US.UTF-8", accessible=True, LANGUAGE="tr")
    env[b"LC_ALL"] = b"tr_TR.UTF-8"
    process = running(env)
    app = accessible_application(process.pid)
    assert rows(app)[-1] == ("push button", "Install")
    process.terminate()


def test_two_starts_open_two_independent_windows(running):
    first = running(program_env("tr_TR.UTF-8", accessible=True))
    second = running(program_env("tr_TR.UTF-8", accessible=True))
    windows = wait_for_windows(TURKISH_TITLE, count=2)
    assert len(windows) == 2
    pids = {int(xdotool("getwindowpid", w)[0]) for w in windows}
    assert pids == {first.pid, second.pid}

    # A run in one window leaves the other untouched.
    press_install(accessible_application(first.pid))
    wait_for_message(accessible_application(first.pid), TURKISH_FAILED)
    assert rows(accessible_application(second.pid))[3] == ("label", "")

    for window in windows:
        close(window)
    for process in (first, second):
        status, err = finish(process)
        assert status == 0, err
