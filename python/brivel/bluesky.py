"""The monochromator as an ophyd-async device, for Bluesky plans.

    from bluesky import RunEngine
    import bluesky.plans as bp
    from ophyd_async.core import init_devices
    from brivel.bluesky import Monochromator

    RE = RunEngine()
    with init_devices():
        mono = Monochromator(simulated=True)        # or port="/dev/ttyUSB0"
    RE(bp.scan([det, mono], mono, 400, 700, 31))

`Monochromator` drives the instrument directly through the brivel package's
non-blocking calls (no IOC): it is Movable (set() reports its progress and completes
when the move has ended), Stoppable, and Readable, with `wavelength` (event key
`<name>-wavelength`, nm) read and `speed`, `filters` and `filter_wheel` in its
configuration; these three can be set as well (`bps.mv(mono.speed, 100)`).

`EpicsMonochromator(prefix)` is the same device over brivel-ioc's records (Channel
Access, or PV Access with the prefix written "pva://P"). docs/bluesky.md has both.
"""

import asyncio

try:
    import numpy as np
    from bluesky.protocols import Movable, Stoppable
    from ophyd_async.core import (
        Array1D,
        AsyncStatus,
        DeviceConnector,
        StandardReadable,
        WatchableAsyncStatus,
        WatcherUpdate,
        observe_value,
        soft_signal_r_and_setter,
        soft_signal_rw,
    )
    from ophyd_async.core import StandardReadableFormat as Format
except ImportError as missing:  # pragma: no cover - an installation error
    raise ImportError(
        f"brivel.bluesky needs ophyd-async and bluesky ({missing}); install the "
        f"package with its Bluesky extra: pip install 'brivel[bluesky]'") from missing

from . import _bridge

__all__ = ["Monochromator", "EpicsMonochromator"]

UNITS = "nm"
PRECISION = 2


class _Opener(DeviceConnector):
    """Connecting the device opens the instrument (on the owner thread)."""

    async def connect_real(self, device, timeout, force_reconnect):
        await device._open(timeout, force_reconnect)

    async def connect_mock(self, device, mock):
        await super().connect_mock(device, mock)


class Monochromator(StandardReadable, Movable[float], Stoppable):
    """The monochromator on a serial port, or the simulated one.

    port: the serial device ("/dev/ttyUSB0", "/dev/serial/by-id/..."); com: a port
    number 1 to 16 instead; simulated=True: the simulated controller in this process
    (sim_rate: motor steps per second per unit of speed, sim_faults: faults to inject);
    instrument: an already made brivel.Monochromator to use instead of all these.
    """

    def __init__(self, port=None, *, com=None, simulated=False, sim_rate=None,
                 sim_faults=(), instrument=None, name=""):
        chosen = sum(x is not None and x is not False for x in (port, com, instrument)) + bool(simulated)
        if chosen != 1:
            raise ValueError("give one of port, com, simulated=True or instrument")
        self._where = dict(port=port, com=com, simulated=simulated, sim_rate=sim_rate,
                           sim_faults=list(sim_faults))
        self._instrument = instrument
        self._owner = _bridge.Owner()
        self._subscription = None
        self._loop = None
        self._status = None
        self._stop_success = None

        with self.add_children_as_readables(Format.HINTED_SIGNAL):
            self.wavelength, self._show_wavelength = soft_signal_r_and_setter(
                float, 0.0, units=UNITS, precision=PRECISION)
        with self.add_children_as_readables(Format.CONFIG_SIGNAL):
            self.speed = soft_signal_rw(int, 250, setter=self._apply_speed)
            self.filters = soft_signal_rw(Array1D[np.float64], np.array([], dtype=np.float64),
                                          units=UNITS, precision=1,
                                          setter=self._apply_filters)
            self.filter_wheel = soft_signal_rw(bool, False, setter=self._apply_filter_wheel)
        self.target, self._show_target = soft_signal_r_and_setter(
            float, 0.0, units=UNITS, precision=PRECISION)
        super().__init__(name=name, connector=_Opener())

    # ---- connecting -------------------------------------------------------------------

    def _make(self):
        import brivel
        if self._instrument is None:
            where = self._where
            if where["simulated"]:
                options = {"faults": where["sim_faults"]}
                if where["sim_rate"] is not None:
                    options["rate"] = where["sim_rate"]
                self._instrument = brivel.Monochromator.simulated(**options)
            elif where["com"] is not None:
                self._instrument = brivel.Monochromator(com=where["com"])
            else:
                self._instrument = brivel.Monochromator(where["port"])
        return self._instrument

    async def _open(self, timeout, force_reconnect):
        self._loop = asyncio.get_running_loop()
        instrument = await self._owner.call(self._make)
        if self._subscription is None:
            self._subscription = await self._owner.call(instrument.subscribe, self._on_position)
        if force_reconnect or not instrument.connected:
            await asyncio.wait_for(self._owner.call(instrument.open), timeout)
        await self._read_back()

    async def _read_back(self):
        instrument = self._instrument

        def read():
            return (instrument.wavelength, instrument.speed, list(instrument.filters),
                    instrument.filter_wheel)

        nm, speed, filters, wheel = await self._owner.call(read)
        self._show_wavelength(nm)
        self._show_target(nm)
        self.speed._connector.backend.set_value(int(speed))
        self.filters._connector.backend.set_value(np.array(filters, dtype=np.float64))
        self.filter_wheel._connector.backend.set_value(bool(wheel))

    async def close(self):
        """Stops a motion in progress and closes the port."""
        if self._instrument is None:
            return
        status = self._status
        if status is not None:
            status.cancel()
        _bridge.unsubscribe(self._instrument, self._subscription)
        self._subscription = None
        await self._owner.call(self._instrument.close)

    @property
    def instrument(self):
        """The brivel.Monochromator (after connect())."""
        return self._instrument

    def _on_position(self, nm):
        # On the control's thread: the signal belongs to the loop.
        loop = self._loop
        if loop is not None and not loop.is_closed():
            loop.call_soon_threadsafe(self._show_wavelength, nm)

    # ---- moving -------------------------------------------------------------------------

    @WatchableAsyncStatus.wrap
    async def set(self, value: float, timeout=None):
        """Moves to `value` nm; the status reports each position and completes when the
        move has ended (it fails with the package's exception when the move does)."""
        target = float(value)
        self._stop_success = None
        initial = await self.wavelength.get_value()
        status = await self._owner.call(self._instrument.move_to, target, wait=False)
        self._status = status
        self._show_target(target)
        ended = asyncio.ensure_future(_bridge.finished(status))
        try:
            async for current in observe_value(self.wavelength, done_status=AsyncStatus(ended)):
                yield WatcherUpdate(current=current, initial=initial, target=target,
                                    name=self.name, unit=UNITS, precision=PRECISION)
            await asyncio.wait_for(asyncio.shield(ended), timeout)
        except Exception as error:
            import brivel
            if not (isinstance(error, brivel.StoppedError) and self._stop_success):
                raise
        finally:
            self._status = None

    async def stop(self, success=True):
        """The stop button: the motion in progress ends where the grating is. With
        success=False the move's status fails (StoppedError)."""
        self._stop_success = success
        status = self._status
        if status is not None:
            status.cancel()

    async def locate(self):
        return {"setpoint": await self.target.get_value(),
                "readback": await self.wavelength.get_value()}

    # ---- settings -----------------------------------------------------------------------

    async def _apply(self, name, value):
        instrument = self._instrument

        def apply():
            setattr(instrument, name, value)
            return getattr(instrument, name)

        return await self._owner.call(apply)

    async def _apply_speed(self, value):
        return int(await self._apply("speed", int(value)))

    async def _apply_filters(self, value):
        confirmed = await self._apply("filters", [float(v) for v in value])
        return np.array(confirmed, dtype=np.float64)

    async def _apply_filter_wheel(self, value):
        return bool(await self._apply("filter_wheel", bool(value)))


class EpicsMonochromator(StandardReadable, Movable[float], Stoppable):
    """The monochromator through brivel-ioc's records: P:VAL, P:RBV, P:STOP, ...

    A put with completion on P:VAL is the move, a put of 1 to P:STOP stops it.
    `prefix` is the IOC's --prefix; "pva://P" uses PV Access (ophyd-async's pva
    extra), "ca://P" or a plain "P" Channel Access.
    """

    def __init__(self, prefix, name=""):
        from ophyd_async.epics.core import epics_signal_r, epics_signal_rw, epics_signal_w

        with self.add_children_as_readables(Format.HINTED_SIGNAL):
            self.wavelength = epics_signal_r(float, prefix + ":RBV")
        with self.add_children_as_readables(Format.CONFIG_SIGNAL):
            self.speed = epics_signal_rw(int, prefix + ":SPEED")
            self.filters = epics_signal_rw(Array1D[np.float64], prefix + ":FILTERS")
            self.filter_wheel = epics_signal_rw(bool, prefix + ":WHEEL")
        self.target = epics_signal_rw(float, prefix + ":VAL")
        self.done = epics_signal_r(bool, prefix + ":DMOV")
        self.connected = epics_signal_r(bool, prefix + ":CONNECTED")
        self.message = epics_signal_r(str, prefix + ":MSG")
        # A put with completion on STOP would wait for nothing useful.
        self.stop_ = epics_signal_w(bool, prefix + ":STOP", wait=False)
        self._moving = None
        self._stop_success = None
        super().__init__(name=name)

    @WatchableAsyncStatus.wrap
    async def set(self, value: float, timeout=None):
        """Puts P:VAL with completion; the status reports each P:RBV and completes
        when the IOC completes the put. A refused put (P:VAL in alarm) fails it with
        the IOC's message."""
        target = float(value)
        self._stop_success = None
        initial = await self.wavelength.get_value()
        self._moving = asyncio.ensure_future(self.target.set(target, timeout=timeout))
        try:
            async for current in observe_value(self.wavelength,
                                               done_status=AsyncStatus(asyncio.shield(self._moving))):
                yield WatcherUpdate(current=current, initial=initial, target=target,
                                    name=self.name, unit=UNITS, precision=PRECISION)
            await self._moving
        finally:
            self._moving = None
        reading = await self.target.read()
        severity = reading[self.target.name].get("alarm_severity", 0)
        if severity and self._stop_success is None:
            raise RuntimeError(f"{self.name}: {await self.message.get_value()}")
        if self._stop_success is False:
            raise RuntimeError(f"{self.name} was stopped")

    async def stop(self, success=True):
        """Puts 1 to P:STOP."""
        self._stop_success = success
        if self._moving is not None or not await self.done.get_value():
            await self.stop_.set(True)

    async def locate(self):
        return {"setpoint": await self.target.get_value(),
                "readback": await self.wavelength.get_value()}
