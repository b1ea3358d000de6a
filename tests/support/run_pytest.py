"""Runs one pytest suite for ctest, and tells ctest when the suite ran nothing.

    run_pytest.py SUITE PYTEST_ARGUMENT...

pytest ends with status 0 when every case was skipped, so ctest would count a suite that ran
nothing as passed. Such a suite ends here with SKIPPED instead, which the suite's ctest test names
as its SKIP_RETURN_CODE, so ctest lists it under the tests that did not run. In CI (CI=true) the
machine is meant to run everything: a suite that ran nothing fails there.

A suite in which some cases ran keeps pytest's status, and so does one that collected no case at
all (pytest's 5): that is a broken suite, not a machine that lacks something.

ctest shows no output of a skipped or passed test, so a suite that passed or was skipped with
cases skipped says how many and why on one line marked with SKIP_MARK, which `make test` prints
after ctest's summary.
"""
import os
import sys
import tempfile

import pytest

SKIPPED = 77  # tests/CMakeLists.txt gives ctest the same number
SKIP_MARK = "velto-skipped: "


class CaseOutcomes:
    """pytest plugin: which cases ran (in any phase, to any result) and why the others skipped."""

    def __init__(self):
        self.ran = set()
        self.skip_reasons = {}

    def pytest_runtest_logreport(self, report):
        if report.skipped and not hasattr(report, "wasxfail"):
            self.skip_reasons.setdefault(report.nodeid, skip_reason(report))
        elif report.when == "call" or report.failed:
            self.ran.add(report.nodeid)

    def skipped_line(self, suite):
        """How many cases skipped, of how many, and the distinct reasons."""
        skipped, total = len(self.skip_reasons), len(self.skip_reasons) + len(self.ran)
        share = f"{skipped} of {total}" if self.ran else f"all {total}"
        cases = "case" if total == 1 else "cases"
        return f"{suite}: {share} {cases}: {'; '.join(sorted(set(self.skip_reasons.values())))}"


def skip_reason(report):
    # A skip's long report is (file, line, "Skipped: REASON").
    if isinstance(report.longrepr, tuple):
        return report.longrepr[2].removeprefix("Skipped: ")
    return str(report.longrepr)


def main():
    suite, arguments = sys.argv[1], sys.argv[2:]
    outcomes = CaseOutcomes()
    # pytest keeps the temporary folders of its last runs under /tmp/pytest-of-USER; a run of the
    # suite leaves nothing behind.
    with tempfile.TemporaryDirectory(prefix="velto-test-pytest.",
                                     ignore_cleanup_errors=True) as scratch:
        arguments = ["--basetemp", os.path.join(scratch, "basetemp"), *arguments]
        status = int(pytest.main(arguments, plugins=[outcomes]))
    if status != pytest.ExitCode.OK or not outcomes.skip_reasons:
        return status
    if outcomes.ran:
        print(SKIP_MARK + outcomes.skipped_line(suite), flush=True)
        return status
    if os.environ.get("CI") == "true":
        print(f"CI does not accept a suite that ran nothing: {outcomes.skipped_line(suite)}")
        return int(pytest.ExitCode.TESTS_FAILED)
    print(SKIP_MARK + outcomes.skipped_line(suite), flush=True)
    return SKIPPED


if __name__ == "__main__":
    sys.exit(main())
