"""Waiting for something another process does: the one poll loop of the tests, so that every wait
reads the same and one that runs out says what it waited for."""

import time


def wait_for(condition, timeout, what, interval=0.05):
    """The first true value of condition(), polled until `timeout` seconds have passed."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise TimeoutError(f"timed out waiting for {what}")
        time.sleep(interval)
