"""Shared fixtures: the simulated controller on a real pty, and a time bound (faulthandler)."""

import faulthandler
import os
import signal
import sys

import pytest

try:
    import brivel
except ImportError as missing:  # pragma: no cover - a setup error, not a test
    sys.exit(f"cannot import brivel ({missing}): put build/python/package on PYTHONPATH or pip install it")

FAST = 2000  # motor steps per second per unit of speed for quick moves (the simulator's own: 40)
collect_ignore = ["install"]  # the pip install test has a ctest entry of its own


@pytest.fixture(autouse=True)
def time_bound():
    faulthandler.dump_traceback_later(float(os.environ.get("BRIVEL_TEST_BOUND", "90")), exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


@pytest.fixture
def sigint_raises():
    """Python's own Ctrl-C handler, whatever the runner installed."""
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    signal.signal(signal.SIGINT, previous)


@pytest.fixture
def make():
    """make(open=True, **simulated_kwargs): simulated instruments (quick unless rate=), closed after."""
    made = []

    def make(open=True, **kwargs):
        m = brivel.Monochromator.simulated(**{"rate": FAST, **kwargs})
        made.append(m)
        if open:
            m.open()
        return m

    yield make
    for m in made:
        m.close()


@pytest.fixture
def mono(make):
    return make()


@pytest.fixture
def slow_mono(make):
    """At the simulator's own speed (62.5 nm/s)."""
    return make(rate=None)


def commands_since(m, mark):
    """The letters of the commands the simulator received after `mark` (a length of m.simulator_log)."""
    return [entry.split()[0] for entry in m.simulator_log[mark:]]


def sends_nothing(m, call, error):
    """Calls `call` expecting `error`; nothing may reach the simulator and m is left idle. Gives the error."""
    mark = len(m.simulator_log)
    with pytest.raises(error) as caught:
        call()
    assert m.simulator_log[mark:] == [] and not m.busy
    return caught.value
