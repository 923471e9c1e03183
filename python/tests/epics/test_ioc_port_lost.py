"""brivel-ioc when the port goes away in the middle of a move (an adapter pulled out)."""

import epics
import pytest

from conftest import BOUND


def test_a_lost_port_shows_not_connected_and_alarms_the_readback(start_ioc):
    ioc = start_ioc("--sim-fault", "vanish", caget=epics.caget)
    get = lambda name, **kw: epics.caget(ioc.pv(name), use_monitor=False, timeout=BOUND, **kw)  # noqa: E731
    ctrl = lambda name: epics.PV(ioc.pv(name)).get_with_metadata(form="ctrl", use_monitor=False, timeout=BOUND)  # noqa: E731
    assert get("CONNECTED") == 1 and ctrl("RBV")["severity"] == 0
    # The put completes: the move ended, though not where it was sent.
    assert epics.caput(ioc.pv("VAL"), 100, wait=True, timeout=BOUND) == 1
    reading = ctrl("RBV")
    assert reading["severity"] == 3 and reading["value"] != pytest.approx(100, abs=0.01)  # INVALID
    assert get("CONNECTED") == 0 and get("DMOV") == 1 and get("MSG", as_string=True)
    # Nothing moves without the port: the next put is refused, and says so.
    epics.caput(ioc.pv("VAL"), 50, wait=True, timeout=BOUND)
    assert ctrl("VAL")["severity"] == 2 and get("CONNECTED") == 0
