"""What a case does when something it needs is missing from the machine.

On a developer's machine the case is skipped, so a partial setup still runs the rest. In CI
(CI=true) the machine is meant to have everything, so a missing piece fails the case instead of
letting it pass unnoticed as a skip.
"""
import os

import pytest


def require(available, reason):
    """Returns when `available` is true; otherwise skips the calling case, or fails it in CI."""
    if available:
        return
    if os.environ.get("CI") == "true":
        pytest.fail(f"unavailable in CI: {reason}")
    pytest.skip(reason)
