"""brivel-ioc when the port goes away in the middle of a move (an adapter pulled
out): the simulated controller's device vanishes halfway through the first motion."""

import epics
import pytest

BOUND = 30.0


def test_a_lost_port_shows_not_connected_and_alarms_the_readback(start_ioc):
    ioc = start_ioc("--sim-fault", "vanish", caget=epics.caget)
    assert epics.caget(ioc.pv("CONNECTED"), use_monitor=False, timeout=BOUND) == 1
    rbv = epics.PV(ioc.pv("RBV"))
    assert rbv.get_with_metadata(form="ctrl", use_monitor=False, timeout=BOUND)["severity"] == 0

    # The put completes: the move ended, though not where it was sent.
    assert epics.caput(ioc.pv("VAL"), 100, wait=True, timeout=BOUND) == 1
    assert epics.caget(ioc.pv("CONNECTED"), use_monitor=False, timeout=BOUND) == 0
    reading = rbv.get_with_metadata(form="ctrl", use_monitor=False, timeout=BOUND)
    assert reading["severity"] == 3  # INVALID
    assert reading["value"] != pytest.approx(100, abs=0.01)
    assert epics.caget(ioc.pv("DMOV"), use_monitor=False, timeout=BOUND) == 1
    assert epics.caget(ioc.pv("MSG"), as_string=True, use_monitor=False, timeout=BOUND)

    # Nothing moves without the port: the next put is refused, and says so.
    epics.caput(ioc.pv("VAL"), 50, wait=True, timeout=BOUND)
    severity = epics.PV(ioc.pv("VAL")).get_with_metadata(
        form="ctrl", use_monitor=False, timeout=BOUND)["severity"]
    assert severity == 2
    assert epics.caget(ioc.pv("CONNECTED"), use_monitor=False, timeout=BOUND) == 0
