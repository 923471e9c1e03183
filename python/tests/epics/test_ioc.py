"""brivel-ioc over Channel Access (pyepics) and PV Access (p4p) on the simulated
controller: puts with completion, monitors, stopping, refusals as alarms, settings."""

import threading
import time

import epics
import pytest

from conftest import BOUND


@pytest.fixture(scope="module")
def ioc(start_ioc):
    return start_ioc(caget=epics.caget)


@pytest.fixture
def pv(ioc):
    """pv(name) reads it fresh; pv(name, value) puts with completion."""
    def pv(name, *value):
        if value:
            return epics.caput(ioc.pv(name), value[0], wait=True, timeout=BOUND)
        return epics.caget(ioc.pv(name), use_monitor=False, timeout=BOUND)
    return pv


def severity(ioc, name):
    return epics.PV(ioc.pv(name)).get_with_metadata(form="ctrl", use_monitor=False, timeout=BOUND)["severity"]


def wait_until(predicate, what):
    end = time.monotonic() + BOUND
    while not predicate():
        assert time.monotonic() < end, f"not within {BOUND} s: {what}"
        time.sleep(0.02)


def put_started(ioc, name, value):
    """A put with completion not waited for; the event is set when the IOC completes it."""
    done, channel = threading.Event(), epics.PV(ioc.pv(name))
    assert channel.wait_for_connection(BOUND), name
    channel.put(value, wait=False, use_complete=True, callback=lambda **_: done.set())
    return done


def test_put_with_completion_ends_with_the_move_and_monitors_follow_it(ioc, pv):
    pv("VAL", 400)
    seen, lock = {"RBV": [], "DMOV": [], "MOVN": []}, threading.Lock()

    def arrived(pvname=None, value=None, **_):
        with lock:
            seen[pvname.rsplit(":", 1)[1]].append(value)

    monitors = [epics.PV(ioc.pv(name), auto_monitor=True, callback=arrived) for name in seen]
    assert all(m.wait_for_connection(BOUND) for m in monitors)
    try:
        wait_until(lambda: all(seen.values()), "the first monitor events")
        with lock:
            for values in seen.values():
                values.clear()
        pv("VAL", 420)
        with lock:  # everything the move posted arrived before the completion did
            positions, dmov, movn = list(seen["RBV"]), list(seen["DMOV"]), list(seen["MOVN"])
        assert len(positions) >= 3 and positions == sorted(positions), positions
        assert positions[-1] == pytest.approx(420, abs=0.01) and any(400 < nm < 420 for nm in positions)
        assert (dmov[-2:], movn[-2:]) == ([0, 1], [1, 0])
        assert (pv("RBV"), pv("DMOV"), pv("MOVN"), severity(ioc, "VAL")) == (pytest.approx(420, abs=0.01), 1, 0, 0)
    finally:
        for m in monitors:
            m.clear_callbacks()
            m.disconnect()
    epics.caput(ioc.pv("VAL"), 480, wait=False)  # without completion: DMOV tells the end
    wait_until(lambda: pv("DMOV") == 0, "DMOV 0")
    wait_until(lambda: pv("DMOV") == 1, "DMOV 1")
    assert pv("RBV") == pytest.approx(480, abs=0.01)


def test_stop_ends_a_move_halfway_and_its_put_completes_without_alarm(ioc, pv):
    pv("VAL", 400)
    done = put_started(ioc, "VAL", 1400)
    wait_until(lambda: pv("RBV") > 410, "the grating moving")
    pv("STOP", 1)
    assert done.wait(BOUND), "the put with completion ended"
    assert pv("DMOV") == 1 and 410 < pv("RBV") < 1400 and severity(ioc, "VAL") == 0
    pv("VAL", 400)
    assert pv("RBV") == pytest.approx(400, abs=0.01)


def test_refused_puts_leave_the_grating_and_raise_the_alarm_until_a_good_one(ioc, pv):
    pv("VAL", 410)
    pv("VAL", -5)
    assert epics.caget(ioc.pv("MSG"), as_string=True, use_monitor=False, timeout=BOUND) == \
        "Can't move to the assigned wavelength:-5"
    assert severity(ioc, "VAL") == 2  # MAJOR
    assert (pv("RBV"), pv("DMOV")) == (pytest.approx(410, abs=0.01), 1)
    pv("VAL", 100000)  # above the range
    assert severity(ioc, "VAL") == 2 and pv("RBV") == pytest.approx(410, abs=0.01)
    pv("VAL", 405)
    assert severity(ioc, "VAL") == 0 and pv("RBV") == pytest.approx(405, abs=0.01)


def test_tweaks_move_by_the_tweak_value_and_are_refused_while_a_move_runs(ioc, pv):
    pv("VAL", 400)
    pv("TWV", 2.5)
    pv("TWF", 1)
    assert pv("RBV") == pytest.approx(402.5, abs=0.05)
    pv("TWR", 1)
    pv("TWR", 1)
    assert pv("RBV") == pytest.approx(397.5, abs=0.05) and pv("DMOV") == 1
    done = put_started(ioc, "VAL", 500)
    wait_until(lambda: pv("DMOV") == 0, "the move started")
    pv("TWF", 1)
    assert severity(ioc, "TWF") == 2 and epics.caget(ioc.pv("MSG"), as_string=True, use_monitor=False)
    assert done.wait(BOUND)
    assert pv("RBV") == pytest.approx(500, abs=0.01), "the running move went on"


def test_settings_hold_what_the_controller_confirms_and_a_refusal_keeps_the_table(ioc, pv):
    pv("SPEED", 300)  # the control's highest is 250
    assert pv("SPEED") == 250 and severity(ioc, "SPEED") == 0

    def filters():  # as the IOC holds them now (pyepics may ask for an older length)
        values = epics.caget(ioc.pv("FILTERS"), use_monitor=False, count=int(pv("FILTERS.NELM")), timeout=BOUND)
        return list(values[:int(pv("FILTERS.NORD"))])

    pv("FILTERS", [650, 350, 500])
    assert filters() == pytest.approx([350, 500, 650], abs=1.0)
    for wheel in (0, 1):
        pv("WHEEL", wheel)
        assert pv("WHEEL") == wheel
    pv("FILTERS", [60000])  # beyond what the wheel takes
    assert severity(ioc, "FILTERS") == 2 and filters() == pytest.approx([350, 500, 650], abs=1.0)


def test_the_records_are_served_over_pv_access(ioc):
    context = pytest.importorskip("p4p.client.thread").Context("pva")
    try:
        assert context.get(ioc.pv("CONNECTED"), timeout=BOUND) == 1
        context.put(ioc.pv("VAL"), 415, timeout=BOUND, request="record[block=true]")  # completes with the move
        assert context.get(ioc.pv("RBV"), timeout=BOUND) == pytest.approx(415, abs=0.01)
        assert context.get(ioc.pv("DMOV"), timeout=BOUND) == 1
    finally:
        context.close()
