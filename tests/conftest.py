"""Shared pytest set-up: the tests import the built extension module `vorpex`."""

import threading
import time

import pytest
import vorpex  # noqa: F401  (fails early and clearly when the extension is not on the path)

from hypothesis import HealthCheck, settings  # noqa: E402

# Property-test budgets. "ci" is the default: a few hundred examples per property, no per-example
# deadline (sampling times vary on a loaded machine). "long" is for hunting rare faults:
# `pytest --hypothesis-profile=long tests/test_properties.py`.
_PROFILE = dict(deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
settings.register_profile("ci", max_examples=300, **_PROFILE)
settings.register_profile("long", max_examples=5000, **_PROFILE)
settings.load_profile("ci")


@pytest.fixture
def ticks_inside():
    """Runs a call while another Python thread ticks every millisecond; returns the call's duration
    and the number of ticks that landed in its middle 80%. A call that held the interpreter lock
    throughout would leave that middle empty."""

    def run(call):
        ticks = []
        stop = threading.Event()

        def ticker():
            while not stop.is_set():
                ticks.append(time.perf_counter())
                time.sleep(0.001)

        t = threading.Thread(target=ticker)
        t.start()
        try:
            start = time.perf_counter()
            call()
            end = time.perf_counter()
        finally:
            stop.set()
            t.join()
        margin = 0.1 * (end - start)
        return end - start, sum(1 for s in ticks if start + margin < s < end - margin)

    return run
