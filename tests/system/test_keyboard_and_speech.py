"""The real setup program used with the keyboard alone and with a real screen reader, Orca, for
every outcome that leaves the window open.

One private machine (see sandbox.py) holds one desktop session with Orca running; in it, one
window per outcome is driven as a keyboard user drives it: the window gets the input focus, Space
presses Install, and after the outcome Enter presses it again; Escape then closes the window.
Fakes of /usr/bin/python3 (the preflight's interpreter), /usr/bin/pkexec and
/usr/bin/velto-desktop end with the statuses that make each outcome, and the preflight's fake
holds every run in its busy state until the test has looked at it. What Orca said, where the
focus was and how large the window was are recorded once, and the tests below read them.
"""

import os
import pathlib
import shutil

import pytest

import displays
import sandbox
import screen_reader
from prerequisites import require
from waiting import wait_for

HERE = pathlib.Path(__file__).resolve()

# The exit statuses of the preflight, of pkexec and of the restart that make each outcome.
STATUSES = {
    "linuxSetupFailed": (0, 126, 0),
    "linuxSetupPrepareFailed": (22, 0, 0),
    "linuxSetupPrepareLegacy": (20, 0, 0),
    "linuxSetupPrepareBusy": (21, 0, 0),
    "linuxSetupRestartFailed": (0, 0, 22),
    "linuxSetupRestartLegacy": (0, 0, 20),
    "linuxSetupRestartBusy": (0, 0, 21),
}
# Every outcome in English, and in Turkish one whose text holds an apostrophe.
CASES = [("en", key) for key in STATUSES] + [("tr", "linuxSetupPrepareLegacy")]
LANG = {"en": "en_US.UTF-8", "tr": "tr_TR.UTF-8"}
SCENARIO = pathlib.Path("/tmp/log/scenario")
RELEASE = pathlib.Path("/tmp/log/release")
ORCA_PROFILE = pathlib.Path("/tmp/log/orca")


# --- user side: runs in the desktop session ----------------------------------------------------


def keyboard_runs(cases):
    """Starts Orca, then drives one window per case; gives what each window did and what Orca
    said meanwhile."""
    ORCA_PROFILE.mkdir()
    reader = screen_reader.ScreenReader(ORCA_PROFILE).start()
    try:
        return {f"{language}-{key}": keyboard_window(reader, language, key)
                for language, key in cases}
    finally:
        reader.stop()


def keyboard_window(reader, language, key):
    from setup_window import SetupWindow, identity_texts

    texts = identity_texts(language)
    SCENARIO.write_text(" ".join(map(str, STATUSES[key])) + "\n")
    # The machine may lack a Turkish locale; the program reads LANG alone, GTK the UTF-8 LC_ALL.
    window = SetupWindow(env=dict(os.environ, LANG=LANG[language], LC_ALL="C.UTF-8"))
    start = len(reader.utterances())
    window.give_input_focus()
    record = {"focus_said": reader.wait_until_said(f"{texts['linuxSetupInstall']} push button.",
                                                   since=start),
              "consent_said": reader.wait_until_said(texts["linuxSetupConsent"], since=start),
              "opened": {"focused": window.install_focused(), "size": window.size()},
              "runs": []}
    for key_name in ("space", "Return"):
        record["runs"].append(keyboard_run(window, reader, key_name, texts, key))
    window.press_key("Escape")
    window.process.wait(10)
    record["exit_status"] = window.process.returncode
    record["output"] = window.output()
    return record


def keyboard_run(window, reader, key_name, texts, key):
    """One press of `key_name` on Install, through the busy state to the outcome."""
    start = len(reader.utterances())
    window.press_key(key_name)
    wait_for(lambda: not window.button_sensitive(), 10, "the busy state")
    reader.wait_until_said(texts["updateInstalling"], since=start)
    busy = {"size": window.size(), "said": reader.utterances()[start:]}
    RELEASE.touch()
    outcome = window.wait_outcome(timeout=30)
    reader.wait_until_said(texts[key], since=start)
    return {"busy": busy, "outcome": outcome,
            "ended": {"focused": window.install_focused(), "size": window.size(),
                      "said": reader.utterances()[start:]}}


# --- root side: runs as the namespace's first process --------------------------------------------

# Each fake reads its status from the scenario. The preflight, the first child of every run here,
# waits for the test's word before it ends, so the busy state lasts as long as the test looks.
READ_SCENARIO = "read preflight install restart < /tmp/log/scenario\n"
HOLD = ("for i in $(/usr/bin/seq 1500); do [ -e /tmp/log/release ] && break; "
        "/usr/bin/sleep 0.02; done\n/usr/bin/rm -f /tmp/log/release\n")


def keyboard_case(machine, cases):
    user = machine.add_user("veltotest")
    machine.start_x()
    machine.fake("python3", READ_SCENARIO + HOLD + 'exit "$preflight"')
    machine.fake("pkexec", READ_SCENARIO + 'exit "$install"')
    machine.fake("velto-desktop", READ_SCENARIO + 'exit "$restart"')
    try:
        windows = machine.call_as(user, HERE, "keyboard_runs", {"cases": cases}, timeout=400)
    finally:
        # Everything Orca logged stays beside the sandbox's own logs in the build folder.
        log = ORCA_PROFILE / "orca-debug.txt"
        if log.exists():
            shutil.copy(log, machine.work / log.name)
    return {"windows": windows, "leftovers": machine.leftovers()}


# --- the tests ---------------------------------------------------------------------------------


@pytest.fixture(scope="module")
def runs():
    sandbox.require()
    require(screen_reader.available(), "orca is missing (tools/install-deps)")
    report = sandbox.run_inside(HERE, "keyboard_case", {"cases": CASES}, timeout=450,
                                name="keyboard-and-speech")
    assert report["leftovers"] == []
    return report["windows"]


@pytest.mark.parametrize("language, key", CASES, ids=[f"{l}-{k}" for l, k in CASES])
def test_orca_says_the_consent_then_each_text_and_enter_retries(runs, language, key):
    from setup_window import identity_texts

    texts = identity_texts(language)
    window = runs[f"{language}-{key}"]
    assert window["focus_said"], "Orca did not announce Install when the window got the focus"
    assert window["consent_said"], "Orca did not say what Install will do when the window opened"
    space, enter = window["runs"]
    for run in (space, enter):  # Enter pressed Install again: a second run, spoken the same way
        assert texts["updateInstalling"] in run["busy"]["said"], run["busy"]
        assert texts[key] not in run["busy"]["said"]
        said = run["ended"]["said"]
        assert texts[key] in said, said
        assert said.index(texts["updateInstalling"]) < said.index(texts[key])
        assert run["outcome"]["closed"] is False
        assert texts[key] in run["outcome"]["labels"]


def test_install_has_the_focus_and_the_window_keeps_its_width(runs):
    """Over every window and state: Install focused when the window opens and after each outcome,
    the window 460 pixels wide in English and 469 in Turkish; Escape closed it."""
    sizes = set()
    for name, window in runs.items():
        assert window["opened"]["focused"], name
        sizes.add((name[:2], window["opened"]["size"][0]))
        for run in window["runs"]:
            # GTK takes the focus from a button made insensitive; it must come back.
            assert run["ended"]["focused"], name
            sizes |= {(name[:2], run[state]["size"][0]) for state in ("busy", "ended")}
        assert window["exit_status"] == 0, (name, window["output"])
        assert displays.complaints(window["output"], "x11") == [], window["output"]
    assert sizes == {("en", 460), ("tr", 469)}, sizes  # (language, width)
