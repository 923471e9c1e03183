"""brivel-ioc over Channel Access (pyepics) and PV Access (p4p), against the
simulated controller: moves, monitors, stopping, refusals and the settings."""

import threading
import time

import epics
import pytest

# Seconds any single wait of these tests may take.
BOUND = 30.0


def wait_until(predicate, what, bound=BOUND):
    end = time.monotonic() + bound
    while time.monotonic() < end:
        if predicate():
            return
        time.sleep(0.02)
    raise AssertionError(f"not within {bound} s: {what}")


class Monitor:
    """Every value a CA monitor of `name` delivered, with the time it arrived."""

    def __init__(self, name):
        self.values = []
        self._lock = threading.Lock()
        self.pv = epics.PV(name, auto_monitor=True, callback=self._arrived)
        assert self.pv.wait_for_connection(BOUND), name

    def _arrived(self, value=None, severity=None, **_):
        with self._lock:
            self.values.append((time.monotonic(), value, severity))

    def since(self, mark):
        with self._lock:
            return [v for t, v, s in self.values if t >= mark]

    def close(self):
        self.pv.clear_callbacks()
        self.pv.disconnect()


def severity(name):
    return epics.PV(name).get_with_metadata(form="ctrl", use_monitor=False, timeout=BOUND)["severity"]


def message(ioc):
    return epics.caget(ioc.pv("MSG"), as_string=True, use_monitor=False, timeout=BOUND)


def put_started(name, value):
    """A put with completion that this test does not wait for; the event is set when
    the IOC completes it."""
    done = threading.Event()
    pv = epics.PV(name)
    assert pv.wait_for_connection(BOUND), name
    pv.put(value, wait=False, use_complete=True, callback=lambda **_: done.set())
    return done


def array(ioc, name):
    """A waveform's elements as the IOC holds them now. (pyepics asks for as many
    elements as its last monitor event brought, which can be an older length.)"""
    length = int(epics.caget(ioc.pv(name + ".NORD"), use_monitor=False, timeout=BOUND))
    nelm = int(epics.caget(ioc.pv(name + ".NELM"), use_monitor=False, timeout=BOUND))
    values = epics.caget(ioc.pv(name), use_monitor=False, count=nelm, timeout=BOUND)
    return list(values[:length])


def get(ioc, name):
    return epics.caget(ioc.pv(name), use_monitor=False, timeout=BOUND)


@pytest.fixture(scope="module")
def ioc(start_ioc):
    return start_ioc(caget=epics.caget)


def test_put_with_completion_ends_with_the_move_and_monitors_follow_it(ioc):
    epics.caput(ioc.pv("VAL"), 400, wait=True, timeout=BOUND)
    rbv, dmov, movn = Monitor(ioc.pv("RBV")), Monitor(ioc.pv("DMOV")), Monitor(ioc.pv("MOVN"))
    try:
        started = time.monotonic()
        epics.caput(ioc.pv("VAL"), 420, wait=True, timeout=BOUND)
        returned = time.monotonic()
        # Everything the move posted reached us before the completion did.
        positions = rbv.since(started)
        assert positions[-1] == pytest.approx(420, abs=0.01)
        assert len(positions) >= 3, positions
        assert positions == sorted(positions), "reports in the order of the motion"
        assert any(400 < nm < 420 for nm in positions), "reports during the motion"
        assert dmov.since(started)[-2:] == [0, 1]
        assert movn.since(started)[-2:] == [1, 0]
        assert dmov.values[-1][0] <= returned
        assert get(ioc, "RBV") == pytest.approx(420, abs=0.01)
        assert get(ioc, "DMOV") == 1 and get(ioc, "MOVN") == 0
        assert severity(ioc.pv("VAL")) == 0
    finally:
        for monitor in (rbv, dmov, movn):
            monitor.close()


def test_a_put_without_completion_starts_the_move_and_dmov_tells_its_end(ioc):
    epics.caput(ioc.pv("VAL"), 400, wait=True, timeout=BOUND)
    dmov = Monitor(ioc.pv("DMOV"))
    try:
        mark = time.monotonic()
        epics.caput(ioc.pv("VAL"), 430, wait=False)
        wait_until(lambda: dmov.since(mark)[-2:] == [0, 1], "DMOV 0 then 1")
        assert get(ioc, "RBV") == pytest.approx(430, abs=0.01)
    finally:
        dmov.close()


def test_stop_ends_a_move_halfway_and_its_put_completes(ioc):
    epics.caput(ioc.pv("VAL"), 400, wait=True, timeout=BOUND)
    done = put_started(ioc.pv("VAL"), 1400)
    wait_until(lambda: get(ioc, "RBV") > 410, "the grating moving")
    epics.caput(ioc.pv("STOP"), 1, wait=True, timeout=BOUND)
    assert done.wait(BOUND), "the put with completion ended"
    assert get(ioc, "DMOV") == 1
    stopped_at = get(ioc, "RBV")
    assert 410 < stopped_at < 1400
    # Stopping is no failure of the put.
    assert severity(ioc.pv("VAL")) == 0
    # The IOC takes the next move.
    epics.caput(ioc.pv("VAL"), 400, wait=True, timeout=BOUND)
    assert get(ioc, "RBV") == pytest.approx(400, abs=0.01)


def test_a_refused_put_leaves_the_grating_and_raises_the_alarm(ioc):
    epics.caput(ioc.pv("VAL"), 410, wait=True, timeout=BOUND)
    epics.caput(ioc.pv("VAL"), -5, wait=True, timeout=BOUND)
    assert message(ioc) == "Can't move to the assigned wavelength:-5"
    assert severity(ioc.pv("VAL")) == 2  # MAJOR
    assert get(ioc, "RBV") == pytest.approx(410, abs=0.01)
    assert get(ioc, "DMOV") == 1
    # Above the range: refused too, nothing moves.
    epics.caput(ioc.pv("VAL"), 100000, wait=True, timeout=BOUND)
    assert severity(ioc.pv("VAL")) == 2
    assert get(ioc, "RBV") == pytest.approx(410, abs=0.01)
    # The next good put clears the alarm.
    epics.caput(ioc.pv("VAL"), 405, wait=True, timeout=BOUND)
    assert severity(ioc.pv("VAL")) == 0
    assert get(ioc, "RBV") == pytest.approx(405, abs=0.01)


def test_a_tweak_while_a_move_runs_is_refused(ioc):
    epics.caput(ioc.pv("VAL"), 400, wait=True, timeout=BOUND)
    done = put_started(ioc.pv("VAL"), 500)
    wait_until(lambda: get(ioc, "DMOV") == 0, "the move started")
    epics.caput(ioc.pv("TWF"), 1, wait=True, timeout=BOUND)
    assert severity(ioc.pv("TWF")) == 2
    assert message(ioc)
    assert done.wait(BOUND)
    assert get(ioc, "RBV") == pytest.approx(500, abs=0.01), "the running move went on"


def test_tweaks_move_by_the_tweak_value(ioc):
    epics.caput(ioc.pv("VAL"), 400, wait=True, timeout=BOUND)
    epics.caput(ioc.pv("TWV"), 2.5, wait=True, timeout=BOUND)
    epics.caput(ioc.pv("TWF"), 1, wait=True, timeout=BOUND)
    assert get(ioc, "RBV") == pytest.approx(402.5, abs=0.05)
    epics.caput(ioc.pv("TWR"), 1, wait=True, timeout=BOUND)
    epics.caput(ioc.pv("TWR"), 1, wait=True, timeout=BOUND)
    assert get(ioc, "RBV") == pytest.approx(397.5, abs=0.05)
    assert get(ioc, "DMOV") == 1


def test_speed_is_what_the_controller_confirms(ioc):
    # When the put completes, the record holds what the controller confirmed.
    epics.caput(ioc.pv("SPEED"), 100, wait=True, timeout=BOUND)
    assert get(ioc, "SPEED") == 100
    epics.caput(ioc.pv("SPEED"), 300, wait=True, timeout=BOUND)  # the control's highest is 250
    assert get(ioc, "SPEED") == 250
    assert severity(ioc.pv("SPEED")) == 0


def test_filters_and_wheel_are_written_and_read_back(ioc):
    epics.caput(ioc.pv("FILTERS"), [650, 350, 500], wait=True, timeout=BOUND)
    filters = array(ioc, "FILTERS")
    assert filters == sorted(filters)
    assert filters == pytest.approx([350, 500, 650], abs=1.0)
    epics.caput(ioc.pv("WHEEL"), 0, wait=True, timeout=BOUND)
    assert get(ioc, "WHEEL") == 0
    epics.caput(ioc.pv("WHEEL"), 1, wait=True, timeout=BOUND)
    assert get(ioc, "WHEEL") == 1
    # A start wavelength beyond what the wheel takes is refused; the table stays.
    epics.caput(ioc.pv("FILTERS"), [60000], wait=True, timeout=BOUND)
    assert severity(ioc.pv("FILTERS")) == 2
    assert array(ioc, "FILTERS") == pytest.approx(filters, abs=1e-6)


def test_the_records_are_served_over_pv_access(ioc):
    p4p_client = pytest.importorskip("p4p.client.thread")
    context = p4p_client.Context("pva")
    try:
        assert context.get(ioc.pv("CONNECTED"), timeout=BOUND) == 1
        # block=true: the put completes when the move has ended.
        context.put(ioc.pv("VAL"), 415, timeout=BOUND,
                    request="record[block=true]")
        assert context.get(ioc.pv("RBV"), timeout=BOUND) == pytest.approx(415, abs=0.01)
        assert context.get(ioc.pv("DMOV"), timeout=BOUND) == 1
    finally:
        context.close()
