"""Waiting for what can be observed, for the Python drivers of the test sessions and the tests."""
import contextlib, time  # noqa: E401

def wait(what, probe, seconds=20):
    """Polls until probe gives something true, and returns it; errors are no answer. The bound only ends a hang."""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        with contextlib.suppress(Exception):
            if got := probe():
                return got
        time.sleep(0.05)
    raise AssertionError(f"gave up waiting for {what}")
