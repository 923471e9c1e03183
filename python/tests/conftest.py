"""Shared fixtures: simulated instruments on real pseudo-terminals, and a time bound.

Every test runs against the simulated controller served in-process on a pty, reached
through the real serial port. A test that hangs is ended by faulthandler (which
prints where it hung) instead of blocking the run.
"""

import faulthandler
import os
import signal
import sys

import pytest

try:
    import brivel
except ImportError as missing:  # pragma: no cover - a setup error, not a test
    sys.exit(f"cannot import the brivel package ({missing}); build it and put its folder "
             f"(build/python/package) on PYTHONPATH, or pip install it")

# Seconds a single test may take. The longest ones wait for a half-second silence a
# few times or for a reposition at the simulator's own speed.
TEST_BOUND = float(os.environ.get("BRIVEL_TEST_BOUND", "90"))

# Motor steps per second per unit of speed for tests that want quick moves (the
# simulator's own is 40).
FAST = 2000


@pytest.fixture(autouse=True)
def time_bound():
    faulthandler.dump_traceback_later(TEST_BOUND, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


@pytest.fixture
def sigint_raises():
    """Python's own Ctrl-C handler, whatever the runner installed."""
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    signal.signal(signal.SIGINT, previous)


@pytest.fixture
def mono():
    """A connected simulated instrument with quick moves; closed afterwards."""
    m = brivel.Monochromator.simulated(rate=FAST)
    m.open()
    yield m
    m.close()


@pytest.fixture
def slow_mono():
    """A connected simulated instrument at the simulator's own speed (62.5 nm/s)."""
    m = brivel.Monochromator.simulated()
    m.open()
    yield m
    m.close()


def commands_since(m, mark):
    """The letters of the commands the simulated controller received after `mark`
    (a length of m.simulator_log taken earlier)."""
    return [entry.split()[0] for entry in m.simulator_log[mark:]]


# The pip install test builds the package into fresh venvs (minutes): it has a ctest
# entry of its own (python.pip_install) and is left out of a plain `pytest` here.
collect_ignore = ["install"]
