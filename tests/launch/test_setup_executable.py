"""The real setup program on X and on Wayland: found by its title, photographed, driven through
the accessibility bus and closed as a user would close it.

Run by ctest through tests/ui/with-display, which provides Xvfb and a session bus; the Wayland
cases start a headless weston of their own beside it. The paths come from the environment:
VELTO_SETUP (the program), VELTO_BUILD_DIR (the close helper) and VELTO_SCREENSHOT_DIR (where the
screenshots go).
"""

import os
import signal
import subprocess
import time

import pytest

import displays
from build_facts import package_facts
from prerequisites import require
from setup_window import SetupWindow, identity_texts
from waiting import wait_for

SETUP = os.environ["VELTO_SETUP"]
FAULT_SHIM = os.environ["VELTO_FAULT_SHIM"]
SCREENSHOT_DIR = os.environ["VELTO_SCREENSHOT_DIR"]

# The texts of the documents the program carries (translation_documents_test.cpp holds the words).
ENGLISH, TURKISH = identity_texts("en"), identity_texts("tr")
ENGLISH_TITLE, TURKISH_TITLE = ENGLISH["linuxSetupTitle"], TURKISH["linuxSetupTitle"]
ENGLISH_CONSENT = ENGLISH["linuxSetupConsent"]
ENGLISH_FAILED, TURKISH_FAILED = ENGLISH["linuxSetupFailed"], TURKISH["linuxSetupFailed"]

# xdotool matches titles in its own locale, so it needs a UTF-8 one for the Turkish title.
XDOTOOL_ENV = dict(os.environ, LANG="C.UTF-8", LC_ALL="C.UTF-8")


def program_env(display, lang, **extra):
    """The program's environment on `display`, with the accessibility bus. Values may be bytes,
    so that they need not be UTF-8.

    The machine may have no Turkish locale installed; LC_ALL=C.UTF-8 gives GTK a UTF-8 locale in
    any case (so the title reaches X as text xdotool can match), and the program reads only LANG.
    """
    env = {k: v for k, v in os.environ.items()
           if k not in ("LANG", "LANGUAGE", "LC_ALL", "NO_AT_BRIDGE")}
    env = display.adjust(env)
    env.update(LANG=lang, LC_ALL="C.UTF-8", **extra)
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
    """Ids of the visible X windows called exactly `title`, once there are `count` of them."""
    def found():
        ids = xdotool("search", "--sync", "--onlyvisible", "--name", f"^{title}$")
        return ids if len(ids) >= count else None

    return wait_for(found, 20, f"{count} window(s) called {title!r}", interval=0.1)


def geometry(window):
    values = dict(
        line.split("=", 1)
        for line in xdotool("getwindowgeometry", "--shell", window)
        if "=" in line
    )
    return {k: int(v) for k, v in values.items() if k in ("X", "Y", "WIDTH", "HEIGHT")}


def screenshot(display, name, window=None):
    """Under the build folder: on X the screen cropped to the X window `window`, on Wayland the
    whole output (the compositor places the window and does not say where)."""
    time.sleep(0.5)  # let the first frames be drawn
    path = os.path.join(SCREENSHOT_DIR, name)
    if display.name == "wayland":
        display.screenshot(path)
    else:
        g = geometry(window)
        subprocess.run(
            ["import", "-window", "root", "-crop", f"{g['WIDTH']}x{g['HEIGHT']}+{g['X']}+{g['Y']}",
             "+repage", path],
            check=True,
            timeout=30,
        )
    assert os.path.getsize(path) > 1000
    return path


def finish(window):
    """The exit status and output of a program, once its window has been asked to close as a
    user would. The output holds no GLib criticals or warnings beyond what the display excuses."""
    try:
        status = window.close_and_wait()
    except subprocess.TimeoutExpired:
        pytest.fail("the program did not end after its window was closed")
    output = window.output()
    assert displays.complaints(output, window.display) == [], output
    return status, output


@pytest.fixture(scope="module")
def compositor(tmp_path_factory):
    require(os.access(displays.WESTON, os.X_OK), "weston is missing (tools/install-deps)")
    runtime_dir = tmp_path_factory.mktemp("wayland")
    runtime_dir.chmod(0o700)  # what Wayland expects of XDG_RUNTIME_DIR
    weston = displays.Weston(runtime_dir)
    weston.start()
    yield weston
    weston.stop()


@pytest.fixture(params=["x11", "wayland"])
def display(request):
    return displays.X11() if request.param == "x11" else request.getfixturevalue("compositor")


@pytest.fixture
def running(tmp_path):
    """Starts programs with their windows; any still running after the test are killed."""
    windows = []

    def launch(display, env):
        window = SetupWindow(SETUP, env=env, display=display.name, log_dir=tmp_path)
        windows.append(window)
        return window

    yield launch
    for window in windows:
        window.kill()


@pytest.mark.parametrize("lang, title, shot", [
    ("en_US.UTF-8", ENGLISH_TITLE, "setup-window-en"),
    ("tr_TR.UTF-8", TURKISH_TITLE, "setup-window-tr"),
], ids=["en", "tr"])
def test_window_opens_with_its_title_and_closes_with_status_0(running, display, lang, title, shot):
    """The window's title, its fixed size, a screenshot, and a close with status 0."""
    extra = {"WAYLAND_DEBUG": "client"} if display.name == "wayland" else {}
    window = running(display, program_env(display, lang, **extra))
    assert window.window_title() == title
    assert window.resizable() is False
    if display.name == "x11":
        (x_window,) = wait_for_windows(title)
        g = geometry(x_window)
        assert g["WIDTH"] == (469 if lang.startswith("tr") else 460)  # Turkish consent is wider
        assert g["HEIGHT"] > 270  # the content's natural height, not a forced size
        screenshot(display, f"{shot}.png", x_window)
    else:
        screenshot(display, f"{shot}-wayland.png")
    status, output = finish(window)
    assert status == 0, output
    if display.name == "wayland":
        # A Wayland compositor takes the window's icon from the desktop file named after this id:
        # GTK 3 cannot hand it the icon the program sets. GTK names the window after the program,
        # not after the application id (com.velto.installer).
        assert 'set_app_id("velto-linux-setup")' in output


def test_install_press_is_reported_in_the_window(running, display):
    window = running(display, program_env(display, "en_US.UTF-8"))
    assert window.rows() == [
        ("icon", ""),
        ("label", "Velto " + package_facts()["Version"]),
        ("label", ENGLISH_CONSENT),
        ("label", ""),
        ("animation", "Spinner"),
        ("push button", "Install"),
    ]
    width = window.rows_width()
    window.click_install()
    # The executable's worker reports that setup could not finish: neither pkexec nor apt-get
    # can install anything here. The run then ends with Install offered again.
    window.wait_for_message(ENGLISH_FAILED)
    # A long report wraps instead of widening the window.
    assert window.rows_width() == width
    x_window = wait_for_windows(ENGLISH_TITLE)[0] if display.name == "x11" else None
    suffix = "-wayland" if display.name == "wayland" else ""
    screenshot(display, f"setup-window-en-reported{suffix}.png", x_window)
    status, output = finish(window)
    assert status == 0, output


# On X only: what they check does not depend on the display.


def test_window_icon_reaches_the_window_manager(running):
    # GTK 3 on X silently drops a window icon of 512x512 or more (its _NET_WM_ICON would exceed
    # the request size), so the program hands it a smaller copy.
    x11 = displays.X11()
    running(x11, program_env(x11, "en_US.UTF-8"))
    (x_window,) = wait_for_windows(ENGLISH_TITLE)
    icon = subprocess.run(["xprop", "-id", x_window, "-f", "_NET_WM_ICON", "32c", "_NET_WM_ICON"],
                          capture_output=True, text=True, timeout=20).stdout
    # Width and height first, then the pixels.
    assert icon.startswith("_NET_WM_ICON(CARDINAL) = 256, 256, "), icon[:200]


def test_locale_variables_that_are_not_utf8_do_not_crash_the_window(running):
    x11 = displays.X11()
    window = running(x11, program_env(x11, b"tr_TR.\xff", LANGUAGE=b"tr:\xfe",
                                      LC_MESSAGES=b"\xc3"))
    # Not valid UTF-8, so English, even though it begins with "tr".
    (x_window,) = wait_for_windows(ENGLISH_TITLE)
    window.click_install()  # the spinner draws a themed icon too
    window.wait_for_message(ENGLISH_FAILED)
    screenshot(x11, "setup-window-invalid-locale.png", x_window)
    assert not window.closed()
    status, output = finish(window)
    assert status == 0, output
    assert "panicked" not in output


def test_lc_all_does_not_choose_the_language(running):
    x11 = displays.X11()
    env = program_env(x11, "en_US.UTF-8", LANGUAGE="tr")
    env["LC_ALL"] = "tr_TR.UTF-8"
    window = running(x11, env)
    assert window.rows()[-1] == ("push button", "Install")


def test_two_starts_open_two_independent_windows(running):
    x11 = displays.X11()
    first = running(x11, program_env(x11, "tr_TR.UTF-8"))
    second = running(x11, program_env(x11, "tr_TR.UTF-8"))
    x_windows = wait_for_windows(TURKISH_TITLE, count=2)
    assert len(x_windows) == 2
    pids = {int(xdotool("getwindowpid", w)[0]) for w in x_windows}
    assert pids == {first.process.pid, second.process.pid}

    # A run in one window leaves the other untouched.
    first.click_install()
    first.wait_for_message(TURKISH_FAILED)
    assert second.rows()[3] == ("label", "")

    for window in (first, second):
        status, output = finish(window)
        assert status == 0, output


# TERM against staging's own steps: the shim (tests/support/fault_shim.c) slows the steps named
# here, and TERM is sent as the first delay begins, while the worker thread that pressing Install
# started is inside it; the handler then runs on another thread. Each row is an interleaving that
# once left something behind, or would with a handler that does not wait for a step under way.
SIGNAL_RACES = {
    # The handler's unlink finds no file, the worker's open creates it, the handler's rmdir fails.
    "open_between_the_handlers_removals": "open:before:200,open:after:1000,unlink:after:600",
    # The handler decides while mkdir is pending, and the process lives on for a moment after.
    "mkdir_while_the_process_ends": "mkdir:before:200,raise:before:600,open:after:1200",
    # TERM while the worker is inside a step that creates, or inside one that removes.
    "inside_mkdir": "mkdir:after:300",
    "inside_the_workers_unlink": "unlink:after:300",
    "inside_the_workers_rmdir": "rmdir:before:300",
}


@pytest.mark.parametrize("delays", SIGNAL_RACES.values(), ids=SIGNAL_RACES.keys())
def test_term_against_each_staging_step_leaves_nothing(running, tmp_path, delays):
    base, marker = tmp_path / "base", tmp_path / "in-delay"
    base.mkdir()
    x11 = displays.X11()
    window = running(x11, program_env(x11, "en_US.UTF-8", TMPDIR=str(base), LD_PRELOAD=FAULT_SHIM,
                                      VELTO_SHIM_DELAYS=delays, VELTO_SHIM_MARKER=str(marker)))
    window.click_install()
    wait_for(marker.exists, 20, "a staging step to be slowed", interval=0.01)
    window.process.send_signal(signal.SIGTERM)
    assert window.process.wait(timeout=20) == -signal.SIGTERM, window.output()
    assert os.listdir(base) == []
    # Nothing about a staging that the signal cut short: the program ends by the signal alone. (A
    # run that ended before TERM came has written its own line about pkexec.)
    assert "staging the package failed" not in window.output()
