"""The ophyd-async device over brivel-ioc's records (Channel Access through
aioca): a scan and a stopped move."""

import asyncio

import bluesky.plan_stubs as bps
import bluesky.plans as bp
import pytest
from aioca import caget
from bluesky import RunEngine
from bluesky.run_engine import call_in_bluesky_event_loop
from ophyd_async.plan_stubs import ensure_connected

from brivel.bluesky import EpicsMonochromator

BOUND = 30.0


def blocking_caget(name, timeout):
    """caget for the IOC fixture, which waits for CONNECTED outside any loop."""
    async def get():
        try:
            return await caget(name, timeout=timeout)
        except Exception:  # noqa: BLE001 - not served yet
            return None
    return call_in_bluesky_event_loop(get(), timeout=timeout + 5)


@pytest.fixture(scope="module")
def RE():  # noqa: N802
    return RunEngine({}, call_returns_result=True)


@pytest.fixture(scope="module")
def mono(RE, start_ioc):
    ioc = start_ioc("--sim-rate", "200", caget=blocking_caget)
    device = EpicsMonochromator(ioc.prefix, name="mono")
    RE(ensure_connected(device))
    return device


def test_a_scan_over_the_ioc(RE, mono):
    seen = []
    RE(bp.scan([mono], mono, 400, 440, 5), lambda name, doc: seen.append((name, doc)))
    events = [doc["data"]["mono-wavelength"] for name, doc in seen if name == "event"]
    assert events == pytest.approx([400, 410, 420, 430, 440], abs=0.01)


def test_stop_over_the_ioc_ends_the_move_short(RE, mono):
    RE(bps.mv(mono, 400))

    async def move_and_stop():
        status = mono.set(1400)
        await asyncio.sleep(0.3)
        await mono.stop(success=False)
        with pytest.raises(RuntimeError, match="stopped"):
            await asyncio.wait_for(status, BOUND)
        return await mono.wavelength.get_value()

    stopped_at = call_in_bluesky_event_loop(move_and_stop(), timeout=BOUND + 5)
    assert 400 < stopped_at < 1400


def test_a_refused_move_over_the_ioc_fails_with_its_message(RE, mono):
    with pytest.raises(Exception, match="assigned wavelength"):
        RE(bps.mv(mono, -5))
