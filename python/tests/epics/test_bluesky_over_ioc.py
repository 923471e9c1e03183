"""The ophyd-async device over brivel-ioc's records (Channel Access through aioca)."""

import asyncio

import bluesky.plan_stubs as bps
import bluesky.plans as bp
import pytest
from aioca import caget
from bluesky import RunEngine
from bluesky.run_engine import call_in_bluesky_event_loop
from ophyd_async.plan_stubs import ensure_connected

from brivel.bluesky import EpicsMonochromator
from conftest import BOUND


def blocking_caget(name, timeout):
    """caget for the IOC fixture, which waits for CONNECTED outside any loop."""
    async def get():
        try:
            return await caget(name, timeout=timeout)
        except Exception:  # noqa: BLE001 - not served yet
            return None
    return call_in_bluesky_event_loop(get(), timeout=timeout + 5)


def test_scan_stop_and_refusal_over_the_ioc(start_ioc):
    RE = RunEngine({}, call_returns_result=True)  # noqa: N806 - the name Bluesky's documents use
    mono = EpicsMonochromator(start_ioc("--sim-rate", "200", caget=blocking_caget).prefix, name="mono")
    RE(ensure_connected(mono))
    seen = []
    RE(bp.scan([mono], mono, 400, 440, 5), lambda name, doc: seen.append((name, doc)))
    events = [doc["data"]["mono-wavelength"] for name, doc in seen if name == "event"]
    assert events == pytest.approx([400, 410, 420, 430, 440], abs=0.01)

    RE(bps.mv(mono, 400))

    async def move_and_stop():
        status = mono.set(1400)
        await asyncio.sleep(0.3)
        await mono.stop(success=False)
        with pytest.raises(RuntimeError, match="stopped"):
            await asyncio.wait_for(status, BOUND)
        return await mono.wavelength.get_value()

    assert 400 < call_in_bluesky_event_loop(move_and_stop(), timeout=BOUND + 5) < 1400
    with pytest.raises(Exception, match="assigned wavelength"):
        RE(bps.mv(mono, -5))
