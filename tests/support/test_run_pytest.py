"""run_pytest.py: a suite that ran nothing is reported to ctest as skipped, never as passed."""
import os
import pathlib
import subprocess
import sys
import tempfile

import pytest

RUNNER = pathlib.Path(__file__).resolve().parent / "run_pytest.py"

SUITE = '''
import pytest

@pytest.fixture
def missing():
    pytest.skip("needs root for mount namespaces")

def test_in_setup(missing):
    pass

def test_in_body():
    {body}
'''


@pytest.mark.parametrize("body, ci, status, output", [
    ('pytest.skip("needs Xvfb")', False, 77,
     "velto-skipped: demo: all 2 cases: needs Xvfb; needs root for mount namespaces\n"),
    ("pass", False, 0, "velto-skipped: demo: 1 of 2 cases: needs root for mount namespaces\n"),
    ("assert False", False, 1, None),
    ('pytest.skip("needs Xvfb")', True, 1,
     "CI does not accept a suite that ran nothing: "
     "demo: all 2 cases: needs Xvfb; needs root for mount namespaces\n"),
    (None, False, 5, None),
], ids=["all-skipped", "one-ran", "one-failed", "all-skipped-in-ci", "none-collected"])
def test_the_status_says_whether_any_case_ran(body, ci, status, output):
    environment = {name: value for name, value in os.environ.items() if name != "CI"}
    if ci:
        environment["CI"] = "true"
    with tempfile.TemporaryDirectory(prefix="velto-test-runner.") as scratch:
        suite = pathlib.Path(scratch, "test_demo.py")
        suite.write_text(SUITE.format(body=body) if body else "")
        result = subprocess.run([sys.executable, RUNNER, "demo", "-q", "-p", "no:cacheprovider",
                                 str(suite)], cwd=scratch, env=environment, capture_output=True,
                                text=True)
    assert result.returncode == status, result.stdout + result.stderr
    marked = [line + "\n" for line in result.stdout.splitlines()
              if line.startswith(("velto-skipped: ", "CI does not accept"))]
    assert marked == ([output] if output else [])
