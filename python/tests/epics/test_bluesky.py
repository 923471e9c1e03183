"""The ophyd-async device, driving the simulated controller directly: scans,
progress, stopping a plan, refusals and the configuration signals."""

import asyncio

import bluesky.plan_stubs as bps
import bluesky.plans as bp
import pytest
from bluesky import RunEngine
from bluesky.run_engine import call_in_bluesky_event_loop
from ophyd_async.core import StandardReadable, soft_signal_r_and_setter
from ophyd_async.plan_stubs import ensure_connected

import conftest
from brivel.bluesky import Monochromator

BOUND = 30.0


class Detector(StandardReadable):
    """Counts that the test sets: stands for a detector read at every point."""

    def __init__(self, name=""):
        with self.add_children_as_readables():
            self.counts, self.set_counts = soft_signal_r_and_setter(float, 0.0)
        super().__init__(name=name)


@pytest.fixture(scope="module")
def RE():  # noqa: N802 - the name Bluesky's documents use
    engine = RunEngine({}, call_returns_result=True)
    yield engine


@pytest.fixture(scope="module")
def mono(RE):
    device = Monochromator(simulated=True, sim_rate=200, name="mono")
    RE(ensure_connected(device))
    yield device
    call_in_bluesky_event_loop(device.close())


def documents(RE, plan):
    seen = []
    RE(plan, lambda name, doc: seen.append((name, doc)))
    return seen


def test_a_scan_reads_the_wavelength_at_every_point(RE, mono):
    det = Detector(name="det")
    RE(ensure_connected(det))
    seen = documents(RE, bp.scan([det, mono], mono, 400, 700, 31))
    events = [doc for name, doc in seen if name == "event"]
    assert [e["data"]["mono-wavelength"] for e in events] == pytest.approx(
        [400 + 10 * i for i in range(31)], abs=0.01)
    descriptor = next(doc for name, doc in seen if name == "descriptor")
    assert descriptor["data_keys"]["mono-wavelength"]["units"] == "nm"
    configuration = descriptor["configuration"]["mono"]["data"]
    assert set(configuration) == {"mono-speed", "mono-filters", "mono-filter_wheel"}
    assert 1 <= configuration["mono-speed"] <= 250
    stop = next(doc for name, doc in seen if name == "stop")
    assert stop["exit_status"] == "success"


def test_set_reports_progress_and_completes_at_the_end_of_the_move(RE, mono):
    RE(bps.mv(mono, 400))
    updates = []

    async def move():
        status = mono.set(440)
        status.watch(lambda **update: updates.append(update))
        await status
        return status

    status = call_in_bluesky_event_loop(move(), timeout=BOUND)
    assert status.done and status.success
    assert mono.instrument.busy is False
    currents = [u["current"] for u in updates]
    assert currents[-1] == pytest.approx(440, abs=0.01)
    assert any(400 < nm < 440 for nm in currents), "progress during the move"
    assert all(u["target"] == 440 and u["initial"] == pytest.approx(400, abs=0.01)
               for u in updates)
    reading = call_in_bluesky_event_loop(mono.read())
    assert reading["mono-wavelength"]["value"] == pytest.approx(440, abs=0.01)


def test_a_plan_that_fails_mid_move_stops_the_grating(RE, mono):
    RE(bps.mv(mono, 400))

    def plan():
        yield from bps.open_run()
        yield from bps.abs_set(mono, 1400, group="move")
        yield from bps.sleep(0.3)
        raise RuntimeError("the operator gave up")

    seen = []
    with pytest.raises(RuntimeError, match="gave up"):
        RE(plan(), lambda name, doc: seen.append((name, doc)))
    # The RunEngine stopped what it had set moving: the move ended short.
    stop = next(doc for name, doc in seen if name == "stop")
    assert stop["exit_status"] == "fail"
    call_in_bluesky_event_loop(_until_idle(mono), timeout=BOUND)
    stopped_at = mono.instrument.wavelength
    assert 400 < stopped_at < 1400
    # The device moves again afterwards.
    RE(bps.mv(mono, 420))
    assert mono.instrument.wavelength == pytest.approx(420, abs=0.01)


def test_stop_fails_the_status_unless_asked_to_succeed(RE, mono):
    RE(bps.mv(mono, 400))

    async def move_and_stop(success):
        status = mono.set(1400)
        await asyncio.sleep(0.3)
        await mono.stop(success=success)
        try:
            await status
        except Exception as error:  # noqa: BLE001 - what the test looks at
            return error
        return None

    error = call_in_bluesky_event_loop(move_and_stop(False), timeout=BOUND)
    assert isinstance(error, conftest.brivel.StoppedError)
    assert call_in_bluesky_event_loop(move_and_stop(True), timeout=BOUND) is None
    assert mono.instrument.wavelength < 1400


def test_a_refused_move_fails_its_status_and_leaves_the_grating(RE, mono):
    RE(bps.mv(mono, 400))
    with pytest.raises(Exception) as raised:
        RE(bps.mv(mono, -5))
    assert isinstance(raised.value, (conftest.brivel.BrivelError, ValueError)) or \
        isinstance(raised.value.__cause__, (conftest.brivel.BrivelError, ValueError))
    assert mono.instrument.wavelength == pytest.approx(400, abs=0.01)


def test_configuration_signals_set_the_instrument(RE, mono):
    RE(bps.mv(mono.speed, 120))
    assert mono.instrument.speed == 120
    assert call_in_bluesky_event_loop(mono.speed.get_value()) == 120
    RE(bps.mv(mono.filters, [700.0, 300.0]))
    filters = call_in_bluesky_event_loop(mono.filters.get_value())
    assert list(filters) == pytest.approx([300, 700], abs=1.0)
    RE(bps.mv(mono.speed, 250))


async def _until_idle(mono):
    while mono.instrument.busy:
        await asyncio.sleep(0.02)
