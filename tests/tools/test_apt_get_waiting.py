"""tools/apt-get-waiting against stand-ins for apt-config, lslocks and apt-get found on PATH."""

import os
import pathlib
import subprocess

import pytest

TOOL = pathlib.Path(os.environ.get("VELTO_SOURCE_DIR", pathlib.Path(__file__).parents[2]),
                    "tools", "apt-get-waiting")


@pytest.fixture
def run(tmp_path):
    """Runs the tool with stand-ins: apt-get prints its arguments, and lslocks shows the package
    lists' lock held once, so the tool waits one second when it watches that lock."""
    fakes = {
        "apt-config": f"echo \"lists='{tmp_path}/lists/'\"; echo \"archives='{tmp_path}/archives/'\"",
        "lslocks": f"[ -e {tmp_path}/seen ] || {{ touch {tmp_path}/seen; "
                   f"echo 'apt-get 4242 {tmp_path}/lists/lock'; }}",
        "apt-get": 'echo "$@"',
    }
    for name, body in fakes.items():
        path = tmp_path / name
        path.write_text("#!/bin/sh\n" + body + "\n")
        path.chmod(0o755)

    def run(*arguments, timeout="5"):
        env = {"PATH": f"{tmp_path}:/usr/bin:/bin", "VELTO_APT_LOCK_TIMEOUT": timeout}
        return subprocess.run([str(TOOL), *arguments], env=env, capture_output=True, text=True,
                              timeout=30)
    return run


# The lock is chosen by apt-get's command word, not by any argument that reads "update".
@pytest.mark.parametrize("arguments, waits", [
    (["update", "-q"], True),
    (["-o", "Acquire::Retries=3", "update"], True),
    (["install", "-y", "update"], False),
    (["-c", "update", "install"], False),
])
def test_waits_for_the_lock_its_command_takes(run, arguments, waits):
    done = run(*arguments)
    assert done.returncode == 0, done.stderr
    assert ("lists/lock is free: going on." in done.stderr) is waits, done.stderr
    assert done.stdout.split()[-len(arguments):] == arguments


@pytest.mark.parametrize("timeout, seconds", [("08", 8), ("0", 0), ("0" * 20 + "300", 300)],
                         ids=["08", "0", "zeros-then-300"])
def test_a_timeout_is_decimal_whatever_its_leading_zeros(run, timeout, seconds):
    done = run("install", timeout=timeout)
    assert done.returncode == 0, done.stderr
    # What is left of it when apt-get starts: a second may have passed.
    left = int(done.stdout.split()[1].split("=")[1])
    assert seconds - 1 <= left <= seconds


@pytest.mark.parametrize("timeout", ["9" * 1000, "86401", "5s", "-1"],
                         ids=["thousand-nines", "a-day-and-a-second", "letters", "negative"])
def test_a_timeout_that_is_not_a_day_of_seconds_is_refused_by_name(run, timeout):
    done = run("install", timeout=timeout)
    assert done.returncode == 2
    assert done.stderr.startswith("apt-get-waiting: VELTO_APT_LOCK_TIMEOUT is ")
    assert done.stderr.rstrip().endswith(timeout)
    assert done.stdout == ""
