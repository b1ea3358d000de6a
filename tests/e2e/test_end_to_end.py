"""The whole installation for real: the setup program, run by a desktop user under Xvfb and a
session bus, installs its package with real pkexec, polkit and apt-get.

(a) first install, (b) a second run while the installed application runs, (d) that application
busy, (c) the administrator refusing, (e) apt-get failing after the approval.

Everything happens in a private copy of the machine (see ../support/sandbox.py): overlays on /usr,
/etc and /var take the installed package, the test users and the polkit rule; the system bus and
polkitd are the namespace's own. The machine itself never changes.
"""

import os
import pathlib
import subprocess
import time

import sandbox
from build_facts import package_facts
from waiting import wait_for

HERE = pathlib.Path(__file__).resolve()
HANDOFF_NAME = "com.velto.desktop.handoff"
SHOTS = pathlib.Path("/tmp/shots")

# Lets one test user run anything through pkexec without a password and refuses another: the
# administrator's approval and refusal, without anyone at a keyboard.
POLKIT_RULE = """\
polkit.addRule(function(action, subject) {
  if (action.id != "org.freedesktop.policykit.exec") return polkit.Result.NOT_HANDLED;
  if (subject.user == "veltotest") return polkit.Result.YES;
  if (subject.user == "veltorefused") return polkit.Result.NO;
  return polkit.Result.NOT_HANDLED;
});
"""


# --- user side -----------------------------------------------------------------------------------


def installed_version():
    result = subprocess.run(["/usr/bin/dpkg-query", "-W", "-f", "${Status} ${Version}", "velto"],
                            capture_output=True, text=True)
    return result.stdout if result.returncode == 0 else None


def desktop_owner_pid():
    """The process that owns the desktop application's name on this session bus, or None."""
    def gdbus(method, *arguments):
        return subprocess.run(
            ["/usr/bin/gdbus", "call", "--session", "--dest", "org.freedesktop.DBus",
             "--object-path", "/org/freedesktop/DBus", "--method",
             f"org.freedesktop.DBus.{method}", *arguments],
            capture_output=True, text=True, timeout=10).stdout.strip()

    if gdbus("NameHasOwner", HANDOFF_NAME) != "(true,)":
        return None
    reply = gdbus("GetConnectionUnixProcessID", HANDOFF_NAME)  # "(uint32 1234,)"
    return int(reply.strip("(,)").split()[-1])


def running(pid):
    """Whether `pid` is a live process (an unreaped zombie has ended too)."""
    try:
        state = pathlib.Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0]
    except (FileNotFoundError, ProcessLookupError):  # gone, or going while it is read
        return False
    return state != "Z"


def screenshot(name):
    subprocess.run(["/usr/bin/import", "-window", "root", str(SHOTS / name)], check=True)


def run_once(shot=None):
    from setup_window import SetupWindow, identity_texts

    window = SetupWindow()
    window.click_install()
    busy = {"sensitive": window.button_sensitive(), "labels": window.labels(),
            "installing": identity_texts()["updateInstalling"]}
    if shot:
        screenshot(shot)
    outcome = window.wait_outcome(timeout=120)
    return window, busy, outcome


def installing_user_runs():
    """(a) first install, (b) a second run while the application runs, (d) a busy application."""
    report = {"before": installed_version()}

    # (a) Nothing installed yet: no preflight, pkexec and apt-get install, the restart starts it.
    _, report["a_busy"], report["a_outcome"] = run_once(shot="e2e-running.png")
    report["a_installed"] = installed_version()
    report["a_owner"] = wait_for(desktop_owner_pid, 15, "the restarted application", interval=0.1)

    # (b) The application runs: the preflight hands off over the bus, the old process ends, the
    # install and the restart succeed.
    _, report["b_busy"], report["b_outcome"] = run_once()
    report["b_old_running"] = running(report["a_owner"]) if report["a_owner"] else None
    report["b_owner"] = wait_for(desktop_owner_pid, 15, "the restarted application", interval=0.1)
    report["b_installed"] = installed_version()

    # (d) The application is busy: it refuses the hand-off and nothing is installed.
    subprocess.run(["/usr/bin/velto-desktop", "--busy"], check=True, timeout=30)
    dpkg_log = pathlib.Path("/var/log/dpkg.log").read_text()
    window, report["d_busy"], report["d_outcome"] = run_once()
    report["d_dpkg_log_unchanged"] = pathlib.Path("/var/log/dpkg.log").read_text() == dpkg_log
    report["d_owner"] = desktop_owner_pid()
    window.close_and_wait()
    subprocess.run(["/usr/bin/velto-desktop", "--idle"], check=True, timeout=30)
    return report


def refused_user_runs():
    """(c) The administrator refuses: the failure text, and Install can be pressed again."""
    from setup_window import identity_texts

    report = {}
    window, report["c_busy"], report["c_outcome"] = run_once()
    time.sleep(0.5)  # the theme's 200 ms transition of the button back to sensitive
    screenshot("e2e-refused.png")
    window.click_install()
    report["c_again_busy"] = {"sensitive": window.button_sensitive(), "labels": window.labels(),
                              "installing": identity_texts()["updateInstalling"]}
    report["c_again_outcome"] = window.wait_outcome(timeout=120)
    report["c_exit"] = window.close_and_wait()
    report["c_lines"] = program_lines(window)
    return report


def failing_install_run():
    """(e) apt-get fails after the approval: the failure text, apt-get's own words on standard
    error, the work directory gone."""
    report = {}
    window, report["e_busy"], report["e_outcome"] = run_once()
    report["e_exit"] = window.close_and_wait()
    report["e_lines"] = program_lines(window)
    report["e_installed"] = installed_version()
    return report


def program_lines(window):
    return [line for line in window.output().splitlines() if line.startswith("velto-linux-setup:")]


# --- root side -----------------------------------------------------------------------------------


def end_to_end(machine):
    user = machine.add_user("veltotest")
    refused = machine.add_user("veltorefused")
    pathlib.Path("/etc/polkit-1/rules.d/50-velto-test.rules").write_text(POLKIT_RULE)
    machine.start_system_bus()
    machine.start_x()
    report = machine.call_as(user, HERE, "installing_user_runs", timeout=400)
    report.update(machine.call_as(refused, HERE, "refused_user_runs", timeout=300))
    # apt-get fails for real, as after a dpkg run that was cut short: a journal entry that dpkg
    # never folded into its database.
    real_apt_get = pathlib.Path("/usr/bin/apt-get.real")
    real_apt_get.write_bytes(pathlib.Path("/usr/bin/apt-get").read_bytes())
    real_apt_get.chmod(0o755)
    machine.fake("apt-get", f'exec {real_apt_get} "$@"')
    pathlib.Path("/var/lib/dpkg/updates/0001").write_text("")
    report.update(machine.call_as(user, HERE, "failing_install_run", timeout=300))
    report["apt_get_calls"] = machine.calls().count("apt-get")
    report["leftovers"] = machine.leftovers()
    report["screenshots"] = machine.keep_screenshots()
    return report


# --- the test ------------------------------------------------------------------------------------


def assert_busy(busy):
    assert busy["sensitive"] is False, busy
    assert busy["installing"] in busy["labels"], busy


def test_install_for_real():
    sandbox.require()
    from setup_window import identity_texts

    texts = identity_texts()
    report = sandbox.run_inside(HERE, "end_to_end", timeout=900, name="end-to-end")

    assert report["before"] is None
    # (a)
    assert_busy(report["a_busy"])
    assert report["a_outcome"] == {"closed": True, "exit_status": 0}
    assert report["a_installed"] == "install ok installed " + package_facts()["Version"]
    assert report["a_owner"], "the restarted desktop application does not run"
    # (b)
    assert_busy(report["b_busy"])
    assert report["b_outcome"] == {"closed": True, "exit_status": 0}
    assert report["b_old_running"] is False
    assert report["b_owner"] and report["b_owner"] != report["a_owner"]
    assert report["b_installed"] == "install ok installed " + package_facts()["Version"]
    # (d)
    assert report["d_outcome"]["closed"] is False
    assert texts["linuxSetupPrepareBusy"] in report["d_outcome"]["labels"]
    assert report["d_dpkg_log_unchanged"] is True
    assert report["d_owner"] == report["b_owner"], "the busy application must keep running"
    # (c)
    assert texts["linuxSetupFailed"] in report["c_outcome"]["labels"]
    assert report["c_outcome"]["button_sensitive"] is True
    assert_busy(report["c_again_busy"])
    assert texts["linuxSetupFailed"] in report["c_again_outcome"]["labels"]
    assert report["c_exit"] == 0
    # For each refusal, pkexec's line and then pkexec's own words.
    refused = ["velto-linux-setup: /usr/bin/pkexec ended with exit status 127 (not authorised, or "
               "pkexec could not run the install script)",
               "velto-linux-setup: Error executing command as another user: Not authorized",
               "velto-linux-setup: This incident has been reported."]
    assert report["c_lines"] == refused * 2
    # (e)
    assert_busy(report["e_busy"])
    assert texts["linuxSetupFailed"] in report["e_outcome"]["labels"]
    assert report["apt_get_calls"] == 1
    assert report["e_lines"] == [
        "velto-linux-setup: /usr/bin/pkexec ended with exit status 100 (apt-get failed; "
        "/var/log/apt/term.log has dpkg's messages only when dpkg ran)",
        "velto-linux-setup: E: dpkg was interrupted, you must manually run 'dpkg --configure -a' to "
        "correct the problem. "]
    assert report["e_installed"] == "install ok installed " + package_facts()["Version"]
    assert report["e_exit"] == 0

    assert report["leftovers"] == []
    for shot in ("e2e-running.png", "e2e-refused.png"):
        assert (sandbox.BUILD_DIR / shot).stat().st_size > 0
