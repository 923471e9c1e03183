"""The ophyd-async device on the simulated controller: Readable in a scan, Movable with
progress, Stoppable, refusals and the configuration signals."""

import asyncio

import bluesky.plan_stubs as bps
import bluesky.plans as bp
import pytest
from bluesky import RunEngine
from bluesky.run_engine import call_in_bluesky_event_loop as in_loop
from ophyd_async.core import StandardReadable, soft_signal_r_and_setter
from ophyd_async.plan_stubs import ensure_connected

import brivel
from brivel.bluesky import Monochromator
from conftest import BOUND


@pytest.fixture(scope="module")
def RE():  # noqa: N802 - the name Bluesky's documents use
    return RunEngine({}, call_returns_result=True)


@pytest.fixture(scope="module")
def mono(RE):
    device = Monochromator(simulated=True, sim_rate=200, name="mono")
    RE(ensure_connected(device))
    yield device
    in_loop(device.close())


def test_a_scan_reads_the_wavelength_and_configuration_at_every_point(RE, mono):
    class Detector(StandardReadable):
        def __init__(self, name=""):
            with self.add_children_as_readables():
                self.counts, _ = soft_signal_r_and_setter(float, 0.0)
            super().__init__(name=name)

    det, seen = Detector(name="det"), []
    RE(ensure_connected(det))
    RE(bp.scan([det, mono], mono, 400, 700, 31), lambda name, doc: seen.append((name, doc)))
    docs = {name: doc for name, doc in seen}
    assert [doc["data"]["mono-wavelength"] for name, doc in seen if name == "event"] == pytest.approx(
        [400 + 10 * i for i in range(31)], abs=0.01)
    assert docs["descriptor"]["data_keys"]["mono-wavelength"]["units"] == "nm"
    configuration = docs["descriptor"]["configuration"]["mono"]["data"]
    assert set(configuration) == {"mono-speed", "mono-filters", "mono-filter_wheel"}
    assert 1 <= configuration["mono-speed"] <= 250 and docs["stop"]["exit_status"] == "success"


def test_set_reports_progress_and_completes_at_the_end_of_the_move(RE, mono):
    RE(bps.mv(mono, 400))
    updates = []

    async def move():
        status = mono.set(440)
        status.watch(lambda **update: updates.append(update))
        await status
        return status

    status = in_loop(move(), timeout=BOUND)
    assert status.done and status.success and mono.instrument.busy is False
    currents = [u["current"] for u in updates]
    assert currents[-1] == pytest.approx(440, abs=0.01) and any(400 < nm < 440 for nm in currents)
    assert all(u["target"] == 440 and u["initial"] == pytest.approx(400, abs=0.01) for u in updates)
    assert in_loop(mono.read())["mono-wavelength"]["value"] == pytest.approx(440, abs=0.01)


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
    assert dict(seen)["stop"]["exit_status"] == "fail"

    async def until_idle():
        while mono.instrument.busy:
            await asyncio.sleep(0.02)

    in_loop(until_idle(), timeout=BOUND)
    assert 400 < mono.instrument.wavelength < 1400  # the RunEngine stopped what it had set moving
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

    assert isinstance(in_loop(move_and_stop(False), timeout=BOUND), brivel.StoppedError)
    assert in_loop(move_and_stop(True), timeout=BOUND) is None
    assert mono.instrument.wavelength < 1400


def test_a_refused_move_fails_and_configuration_signals_set_the_instrument(RE, mono):
    RE(bps.mv(mono, 400))
    with pytest.raises(Exception) as raised:
        RE(bps.mv(mono, -5))
    assert isinstance(raised.value, (brivel.BrivelError, ValueError)) or \
        isinstance(raised.value.__cause__, (brivel.BrivelError, ValueError))
    assert mono.instrument.wavelength == pytest.approx(400, abs=0.01)
    RE(bps.mv(mono.speed, 120))
    assert mono.instrument.speed == 120 and in_loop(mono.speed.get_value()) == 120
    RE(bps.mv(mono.filters, [700.0, 300.0]))
    assert list(in_loop(mono.filters.get_value())) == pytest.approx([300, 700], abs=1.0)
    RE(bps.mv(mono.speed, 250))
