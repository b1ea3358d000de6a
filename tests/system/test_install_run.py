"""The real setup program's Install button against faked system programs.

Each case runs in a private copy of the machine (see sandbox.py): fakes replace /usr/bin/pkexec
and /usr/bin/velto-desktop, the real /usr/bin/python3 is wrapped so its starts are recorded, and
the window is driven through the accessibility bus as the desktop user would drive it. The window
is on X; a complete run, a failed one and a long one are also run on Wayland.
"""

import os
import pathlib
import signal
import threading
import time

import pytest

import sandbox
from waiting import wait_for

HERE = pathlib.Path(__file__).resolve()
SCRIPTS = sandbox.SOURCE_DIR / "scripts"


# --- user side: runs in the desktop session ----------------------------------------------------


def press_install(program=None, close_during_run=False, watch_seconds=0.0):
    """Starts the program, presses Install and reports what the window did."""
    from setup_window import SetupWindow, identity_texts

    texts = identity_texts()
    window = SetupWindow(program)
    report = {"title": window.window_title(), "idle_labels": window.labels(),
              "idle_sensitive": window.button_sensitive(),
              "own_title_bar": window.title_bar_close() is not None}
    if watch_seconds:
        report["idle_longest_query_seconds"] = window.responsiveness(watch_seconds)
    window.click_install()
    report["busy_sensitive"] = window.button_sensitive()
    report["busy_labels"] = window.labels()
    report["installing_text"] = texts.get("updateInstalling")
    if close_during_run:
        report["close_requests"] = window.request_close()
        time.sleep(0.5)
        report["open_after_close_request"] = not window.closed()
    if watch_seconds:
        report["longest_query_seconds"] = window.responsiveness(watch_seconds)
        report["still_busy_after_watch"] = not window.closed() and not window.button_sensitive()
    report["outcome"] = window.wait_outcome(timeout=60)
    if not report["outcome"]["closed"]:
        window.close_and_wait()
    report["lines"] = program_lines(window)
    return report


def program_lines(window):
    """What the program itself wrote (GTK's own messages aside)."""
    return [line for line in window.output().splitlines()
            if line.startswith("velto-linux-setup:")]


def terminate_during_install():
    """Presses Install and sends TERM to the program while pkexec (a fake) is still running."""
    from setup_window import SetupWindow

    window = SetupWindow()
    window.click_install()
    started = pathlib.Path("/tmp/log/pkexec-started")
    wait_for(started.exists, 30, "pkexec to start")
    staged = pathlib.Path(started.read_text().strip()).parent
    report = {"staged_while_running": staged.is_dir()}
    window.process.send_signal(signal.SIGTERM)
    window.process.wait(10)
    report["returncode"] = window.process.returncode
    report["lines"] = program_lines(window)
    return report


def install_until_the_display_is_gone():
    """Presses Install; the root side takes the display away while pkexec (a fake) waits."""
    from setup_window import SetupWindow

    window = SetupWindow()
    window.click_install()
    window.process.wait(60)
    return {"returncode": window.process.returncode, "lines": program_lines(window)}


# --- root side: runs as the namespace's first process --------------------------------------------


def damaged_copy(source, target):
    """A copy of the program with one byte of its carried package changed."""
    data = bytearray(pathlib.Path(source).read_bytes())
    start = data.find(b"!<arch>\ndebian-binary")
    assert start > 0 and data.find(b"!<arch>\ndebian-binary", start + 1) < 0
    data[start + 200] ^= 0x01
    pathlib.Path(target).parent.mkdir(mode=0o755, exist_ok=True)
    pathlib.Path(target).write_bytes(bytes(data))
    os.chmod(target, 0o755)
    return target


def start_display(machine, user, display):
    """The display of `user`'s desktop session: a weston of its own, or the namespace's X server."""
    if display == "wayland":
        machine.start_wayland(user)
    else:
        machine.start_x()


def install_case(machine, desktop, python="wrapped", pkexec="exit 0", restart="exit 0",
                 as_root=False, close_during_run=False, watch_seconds=0.0, damaged=False,
                 display="x11"):
    user = machine.root() if as_root else machine.add_user("veltotest")
    program = None
    if damaged:
        program = damaged_copy(sandbox.SETUP_PROGRAM, "/tmp/damaged/velto-linux-setup")
    start_display(machine, user, display)
    if python == "wrapped":
        machine.recording_python()
    else:
        os.unlink("/usr/bin/python3")
    if pkexec == "missing":
        os.unlink("/usr/bin/pkexec")
    else:
        machine.fake("pkexec", pkexec)
    launcher = pathlib.Path("/usr/bin/velto-desktop")
    if desktop == "regular":
        machine.fake("velto-desktop", restart)
    elif desktop == "directory":
        launcher.mkdir()
    report = machine.call_as(user, HERE, "press_install",
                             {"program": program, "close_during_run": close_during_run,
                              "watch_seconds": watch_seconds})
    report["calls"] = machine.calls()
    report["argv"] = {name: machine.argv_of(name) for name in set(report["calls"])}
    report["leftovers"] = machine.leftovers()
    return report


def terminate_case(machine):
    user = machine.add_user("veltotest")
    machine.start_x()
    # pkexec says where the staged package is, then takes its time as an administrator would.
    machine.fake("pkexec", 'echo "$5" > /tmp/log/pkexec-started; sleep 3; '
                           'touch /tmp/log/pkexec-finished')
    report = machine.call_as(user, HERE, "terminate_during_install")
    report["leftovers"] = machine.leftovers()
    # The program did not take its child down with it.
    report["pkexec_finished"] = bool(wait_for(
        pathlib.Path("/tmp/log/pkexec-finished").exists, 10, "pkexec to finish"))
    return report


def display_lost_case(machine, display):
    """The display server ends while pkexec waits, as at a logout; GDK then ends the program."""
    user = machine.add_user("veltotest")
    start_display(machine, user, display)
    server = machine.background[-1]
    started = pathlib.Path("/tmp/log/pkexec-started")
    machine.fake("pkexec", f'echo "$5" > {started}; sleep 30')

    def end_the_display():
        wait_for(started.exists, 60, "pkexec to start")
        server.kill()

    ending = threading.Thread(target=end_the_display)
    ending.start()
    report = machine.call_as(user, HERE, "install_until_the_display_is_gone")
    ending.join()
    report["leftovers"] = machine.leftovers()
    return report


# What each child records of its environment: LANG and the start-up id, "(unset)" when absent.
RECORD_ENVIRONMENT = "".join(
    f'printf %s "${{{name}-(unset)}}" > /tmp/log/$(basename "$0").{name}\n'
    for name in ("LANG", "DESKTOP_STARTUP_ID"))


def environment_case(machine, display):
    user = machine.add_user("veltotest")
    start_display(machine, user, display)
    for name in ("dpkg-deb", "python3"):
        real = pathlib.Path(f"/usr/bin/{name}.real")
        real.write_bytes(pathlib.Path(os.path.realpath(f"/usr/bin/{name}")).read_bytes())
        real.chmod(0o755)
        machine.fake(name, RECORD_ENVIRONMENT + f'exec {real} "$@"')
    for name in ("pkexec", "velto-desktop"):
        machine.fake(name, RECORD_ENVIRONMENT + "exit 0")
    # The start-up id a launcher hands over, and a LANG that is not UTF-8, which the program drops
    # before GTK starts (JSON carries the byte 0xff as the surrogate that stands for it).
    report = machine.call_as(user, HERE, "press_install", environment={
        "LANG": "tr_TR.\udcff", "DESKTOP_STARTUP_ID": "launcher-1234_TIME5678"})
    report["children"] = {
        name: {variable: (machine.log_dir / f"{name}.{variable}").read_bytes().decode("latin-1")
               for variable in ("LANG", "DESKTOP_STARTUP_ID")}
        for name in ("dpkg-deb", "python3", "pkexec", "velto-desktop")}
    return report


# --- the tests ---------------------------------------------------------------------------------


def texts():
    from setup_window import identity_texts

    return identity_texts()


def run_case(name, display="x11", **arguments):
    sandbox.require(display)
    report = sandbox.run_inside(HERE, "install_case", dict(arguments, display=display),
                                name=f"install-{name}-{display}")
    # GTK draws the title bar itself on Wayland only: the window was where the case meant it.
    assert report["own_title_bar"] is (display == "wayland")
    return report


def assert_reported(report, key):
    outcome = report["outcome"]
    assert outcome["closed"] is False, outcome
    assert texts()[key] in outcome["labels"], (key, outcome)
    assert outcome["button_sensitive"] is True
    assert report["leftovers"] == []


def assert_busy_state(report):
    assert report["idle_sensitive"] is True
    assert report["busy_sensitive"] is False
    assert report["installing_text"] in report["busy_labels"]


def install_argv(report):
    argv = report["argv"]["pkexec"]
    assert argv[:5] == ["/usr/bin/pkexec", "/bin/sh", "-c",
                        (SCRIPTS / "privileged_install.sh").read_text(), "velto-verified-installer"]
    assert len(argv) == 8
    return argv


def assert_lines(report, *lines):
    """The program's own lines on standard error, exactly: only a run that ends with
    linuxSetupFailed, whose text sends the user to a terminal, writes any."""
    assert report["lines"] == [f"velto-linux-setup: {line}" for line in lines]


def test_launcher_absent_installs_without_preflight():
    report = run_case("absent", desktop="absent")
    assert_busy_state(report)
    # Nothing to ask first; the restart of a launcher that is still missing cannot run.
    assert report["calls"] == ["pkexec"]
    argv = install_argv(report)
    assert argv[5].startswith("/tmp/velto-installer-") and argv[5].endswith("/velto.deb")
    assert len(os.path.basename(os.path.dirname(argv[5]))) == 52
    assert argv[6] == sandbox.payload_digest()
    assert argv[7] == str(sandbox.payload_size())
    assert_reported(report, "linuxSetupRestartFailed")
    assert_lines(report)  # the text itself says what to do


@pytest.mark.parametrize("display", ["x11", "wayland"])
def test_launcher_present_runs_the_real_preflight_then_installs_and_restarts(display):
    report = run_case("present", display, desktop="regular")
    assert_busy_state(report)
    assert report["calls"] == ["python3", "pkexec", "velto-desktop"]
    assert report["argv"]["python3"] == ["/usr/bin/python3", "-c",
                                         (SCRIPTS / "preflight.py").read_text()]
    install_argv(report)
    assert report["argv"]["velto-desktop"] == ["/usr/bin/velto-desktop",
                                               "--restart-after-install"]
    assert report["outcome"] == {"closed": True, "exit_status": 0}
    assert report["leftovers"] == []
    assert_lines(report)  # a complete run writes nothing


def test_damaged_payload_starts_nothing():
    # No busy state is read here: the proof fails within milliseconds, so the first 100 ms tick
    # may show the outcome before a query over the accessibility bus could see the run.
    report = run_case("damaged", desktop="regular", damaged=True)
    assert report["calls"] == []
    assert_reported(report, "linuxSetupFailed")
    assert_lines(report, "staging the package failed: the carried package does not match its "
                         "SHA-256 digest and size (the program file is damaged)")


def test_launcher_directory_counts_as_absent():
    report = run_case("directory", desktop="directory")
    assert report["calls"] == ["pkexec"]
    assert_reported(report, "linuxSetupRestartFailed")


def test_python_missing_fails_the_preparation_without_pkexec():
    report = run_case("no-python", desktop="regular", python="missing")
    assert report["calls"] == []
    assert_reported(report, "linuxSetupPrepareFailed")
    assert_lines(report)


def test_root_user_fails_the_preparation_without_pkexec():
    report = run_case("root", desktop="regular", as_root=True)
    assert report["calls"] == ["python3"]
    assert_reported(report, "linuxSetupPrepareFailed")
    assert_lines(report)


@pytest.mark.parametrize("status, display", [
    ("exit 126", "x11"), ("exit 127", "x11"), ("kill -TERM $$", "x11"), ("exit 126", "wayland"),
])
def test_refused_or_failed_install_restarts_once_and_reports_failure(status, display):
    report = run_case(f"pkexec-{status.split()[-1]}", display, desktop="regular", pkexec=status)
    assert report["calls"] == ["python3", "pkexec", "velto-desktop"]
    assert_reported(report, "linuxSetupFailed")
    # The recovery restart succeeded, so pkexec's line is the only one.
    assert len(report["lines"]) == 1
    assert report["lines"][0].startswith("velto-linux-setup: /usr/bin/pkexec ")
    assert report["lines"][0].endswith({
        "exit 126": "ended with exit status 126 (the administrator refused or cancelled)",
        "exit 127": "ended with exit status 127 (not authorised, or pkexec could not run the "
                    "install script)",
        "kill -TERM $$": "was ended by signal 15 (SIGTERM)"}[status])


def test_pkexec_missing_restarts_once_and_reports_failure():
    report = run_case("no-pkexec", desktop="regular", pkexec="missing")
    assert report["calls"] == ["python3", "velto-desktop"]
    assert_reported(report, "linuxSetupFailed")
    assert_lines(report, "/usr/bin/pkexec could not be run: No such file or directory")


@pytest.mark.parametrize("hanging, display", [("velto-desktop", "x11"), ("pkexec", "wayland")])
def test_hanging_child_keeps_the_window_responsive_and_closed_to_the_user(hanging, display):
    """While a child runs long (the restart, or pkexec waiting for the administrator), the window
    stays busy and answers, and refuses the user's close: on Wayland, its title bar's Close."""
    hang_seconds = 4
    slow = {"restart" if hanging == "velto-desktop" else "pkexec": f"sleep {hang_seconds}; exit 0"}
    report = run_case(f"hang-{hanging}", display, desktop="regular", close_during_run=True,
                      watch_seconds=2.0, **slow)
    assert_busy_state(report)
    assert report["close_requests"] == 1
    assert report["open_after_close_request"] is True
    assert report["still_busy_after_watch"] is True
    # The main loop answers while the worker waits: beside the same window's queries before the
    # run, none took anywhere near the hang, as one would that waited for a blocked main loop.
    assert (report["longest_query_seconds"]
            < report["idle_longest_query_seconds"] + hang_seconds / 4)
    assert report["outcome"] == {"closed": True, "exit_status": 0}
    assert report["leftovers"] == []


def test_terminate_while_pkexec_runs_removes_the_staged_package_and_ends_by_the_signal():
    sandbox.require()
    report = sandbox.run_inside(HERE, "terminate_case", name="install-terminated")
    assert report["staged_while_running"] is True
    assert report["returncode"] == -signal.SIGTERM
    assert report["lines"] == []
    assert report["leftovers"] == []
    assert report["pkexec_finished"] is True


@pytest.mark.parametrize("display", ["x11", "wayland"])
def test_a_lost_display_ends_the_program_and_leaves_nothing(display):
    sandbox.require(display)
    report = sandbox.run_inside(HERE, "display_lost_case", {"display": display},
                                name=f"install-display-lost-{display}")
    assert report["returncode"] == 1  # GDK's own end
    assert report["leftovers"] == []
    assert report["lines"] == []


@pytest.mark.parametrize("display", ["x11", "wayland"])
def test_children_get_the_environment_of_their_start_and_the_users_locale(display):
    sandbox.require(display)
    report = sandbox.run_inside(HERE, "environment_case", {"display": display},
                                name=f"install-environment-{display}")
    assert report["outcome"] == {"closed": True, "exit_status": 0}
    # GTK used the start-up id and removed it; the LANG dropped for GTK comes back with its bytes.
    for name, seen in report["children"].items():
        assert seen == {"DESKTOP_STARTUP_ID": "(unset)", "LANG": "tr_TR.\xff"}, name
