"""brivel-ioc: the monochromator as an EPICS IOC, over Channel Access and PV Access.

    brivel-ioc --port /dev/ttyUSB0 --prefix BL1:MONO
    brivel-ioc --simulated --prefix SIM:MONO

The IOC runs EPICS base's own IOC core (pythonSoftIOC) and drives the instrument
through the brivel package's non-blocking calls. Its records (P is the prefix):

    P:VAL        nm, 0 to 99999: a put starts a move; a put with completion
                 completes when the move has ended
    P:RBV        nm, every position report the controller sends
    P:DMOV       1 done, 0 moving          P:MOVN   1 moving, 0 done
    P:STOP       a put of 1 stops the motor, as the stop button does
    P:SPEED      motor speed 1 to 250, read back from the controller
    P:CONNECTED  1 connected, 0 not (a MAJOR alarm)
    P:MSG        the last operator message, English
    P:FILTERS    the filters' start wavelengths, nm, up to six
    P:WHEEL      the filter wheel on or off
    P:TWV        the tweak step, nm; P:TWF / P:TWR move up / down by it

A put the instrument refuses leaves the grating where it is, puts the control's
message into P:MSG and raises the record's alarm (MAJOR, WRITE). A port that is lost
sets P:CONNECTED to 0 and P:RBV to INVALID (COMM); the IOC tries to connect again.
docs/epics.md has the whole of it.
"""

import argparse
import asyncio
import logging
import math
import sys
import time

try:
    from softioc import alarm, asyncio_dispatcher, builder, softioc
except ImportError as missing:  # pragma: no cover - an installation error
    raise ImportError(
        f"brivel-ioc needs pythonSoftIOC ({missing}); install the package with its "
        f"EPICS extra: pip install 'brivel[epics]'") from missing

from . import _bridge

log = logging.getLogger("brivel.ioc")

HIGHEST_NM = 99999.0
FILTER_SLOTS = 6
MESSAGE_LENGTH = 256


class MonochromatorIoc:
    """The records of one monochromator and what their puts do.

    `make_instrument` is called once, on the owner thread, and gives the
    brivel.Monochromator (not yet open). Create the object before
    softioc.iocInit() (that makes the records), then call start(loop) once the IOC
    runs; stop() before the process ends.
    """

    def __init__(self, make_instrument, *, reconnect=5.0, poll=0.2):
        self._make_instrument = make_instrument
        self._reconnect_period = reconnect
        self._poll_period = poll
        self._owner = _bridge.Owner()
        self._loop = None
        self._instrument = None
        self._subscription = None
        self._running = None            # the status of the motion the IOC started
        self._drop_queued_put = False   # a put of VAL made during a move that STOP ended
        self._connected = False
        self._last_attempt = -math.inf
        self._speed = None
        self._filters = None
        self._wheel = None
        self._poller = None
        self._closing = False
        self._make_records()

    # ---- records ---------------------------------------------------------------------

    def _make_records(self):
        # Records that tell about a motion process at high priority, as VAL's completion
        # does: the callback queue keeps their order, so that RBV and DMOV have
        # reached clients when a put with completion ends.
        high = dict(PRIO="HIGH")
        self.val = builder.aOut(
            "VAL", initial_value=0.0, EGU="nm", PREC=2, LOPR=0, HOPR=HIGHEST_NM,
            always_update=True, blocking=True, on_update=self._put_val, **high)
        self.rbv = builder.aIn(
            "RBV", initial_value=0.0, EGU="nm", PREC=2, LOPR=0, HOPR=HIGHEST_NM,
            MDEL=-1, ADEL=-1, **high)
        self.dmov = builder.boolIn("DMOV", ZNAM="Moving", ONAM="Done", initial_value=1, **high)
        self.movn = builder.boolIn("MOVN", ZNAM="Stopped", ONAM="Moving", initial_value=0, **high)
        self.stop_record = builder.Action("STOP", ZNAM="Idle", ONAM="Stop", initial_value=0,
                                          on_update=self._put_stop)
        self.speed = builder.longOut("SPEED", DRVL=1, DRVH=250, initial_value=250,
                                     blocking=True, on_update=self._put_speed)
        self.connected = builder.boolIn("CONNECTED", ZNAM="Disconnected", ONAM="Connected",
                                        ZSV="MAJOR", initial_value=0)
        self.msg = builder.longStringIn("MSG", length=MESSAGE_LENGTH, initial_value="")
        self.filters = builder.WaveformOut("FILTERS", length=FILTER_SLOTS, datatype=float,
                                           EGU="nm", PREC=1, blocking=True,
                                           on_update=self._put_filters)
        self.wheel = builder.boolOut("WHEEL", ZNAM="Off", ONAM="On", initial_value=0,
                                     blocking=True, on_update=self._put_wheel)
        self.twv = builder.aOut("TWV", initial_value=1.0, EGU="nm", PREC=2, LOPR=0,
                                HOPR=HIGHEST_NM)
        self.twf = builder.Action("TWF", ZNAM="Idle", ONAM="Tweak", initial_value=0, blocking=True,
                                  on_update=lambda value: self._put_tweak(value, +1))
        self.twr = builder.Action("TWR", ZNAM="Idle", ONAM="Tweak", initial_value=0, blocking=True,
                                  on_update=lambda value: self._put_tweak(value, -1))

    # ---- life --------------------------------------------------------------------------

    def start(self, loop):
        """Connects (from the loop) and begins watching the connection."""
        self._loop = loop
        done = asyncio.run_coroutine_threadsafe(self._begin(), loop)
        done.result()

    async def _begin(self):
        self._instrument = await self._owner.call(self._make_instrument)
        self._subscription = await self._owner.call(self._instrument.subscribe, self._on_position)
        _MessageHandler.attach(self)
        await self._try_connect()
        self._poller = asyncio.ensure_future(self._watch())

    def stop(self, timeout=10.0):
        """Stops a motion in progress and closes the port (from any thread but the loop's)."""
        if self._loop is None:
            return
        asyncio.run_coroutine_threadsafe(self._end(), self._loop).result(timeout)
        self._owner.shutdown()

    async def _end(self):
        self._closing = True
        _MessageHandler.detach(self)
        if self._poller is not None:
            self._poller.cancel()
        instrument = self._instrument
        if instrument is None:
            return
        running = self._running
        if running is not None:
            running.cancel()
            try:
                await asyncio.wait_for(_bridge.finished(running), 5.0)
            except Exception:  # noqa: BLE001 - stopped or gone, either way it ended
                pass
        _bridge.unsubscribe(instrument, self._subscription)
        try:
            await self._owner.call(instrument.close)
        except Exception as error:  # noqa: BLE001 - closing a lost port
            log.info("closing the port: %s", _bridge.message_of(error))

    # ---- connection ------------------------------------------------------------------

    async def _watch(self):
        while not self._closing:
            await asyncio.sleep(self._poll_period)
            try:
                if self._connected and not self._instrument.connected:
                    self._lost("The connection to the monochromator was lost.")
                if (not self._connected and self._reconnect_period > 0
                        and time.monotonic() - self._last_attempt >= self._reconnect_period):
                    await self._try_connect()
            except asyncio.CancelledError:
                raise
            except Exception:  # noqa: BLE001 - the watch must go on
                log.exception("watching the connection")

    async def _try_connect(self):
        self._last_attempt = time.monotonic()
        try:
            await self._owner.call(self._instrument.open)
        except Exception as error:  # noqa: BLE001 - reported, tried again later
            self._say(_bridge.message_of(error))
            self._show_disconnected()
            return
        self._connected = True
        self.connected.set(1)
        nm = self._instrument.wavelength
        self.rbv.set(nm)
        self.val.set(nm, process=False)
        await self._read_settings()

    async def _read_settings(self):
        instrument = self._instrument

        def read():
            return instrument.speed, list(instrument.filters), instrument.filter_wheel

        try:
            speed, filters, wheel = await self._owner.call(read)
        except Exception as error:  # noqa: BLE001
            self._say(_bridge.message_of(error))
            return
        self._show_speed(speed)
        self._show_filters(filters)
        self._show_wheel(wheel)

    def _lost(self, text):
        if self._connected:
            self._say(text)
        self._show_disconnected()

    def _show_disconnected(self):
        self._connected = False
        self.connected.set(0, severity=alarm.MAJOR_ALARM, alarm=alarm.STATE_ALARM)
        self.rbv.set(self.rbv.get(), severity=alarm.INVALID_ALARM, alarm=alarm.COMM_ALARM)

    # ---- position reports (on the control's thread) ---------------------------------------

    def _on_position(self, nm):
        # scanIoRequest only queues the record's processing: this does not block.
        self.rbv.set(nm)

    # ---- messages ------------------------------------------------------------------------

    def _say(self, text):
        self.msg.set(text[:MESSAGE_LENGTH - 1])

    def _refuse(self, record, error):
        """The put was refused: its message in MSG, and the record in alarm."""
        self._say(_bridge.message_of(error))
        record.process_severity(record._record, alarm.MAJOR_ALARM, alarm.WRITE_ALARM)
        if isinstance(error, _brivel().ConnectionError) and not self._instrument.connected:
            self._lost(_bridge.message_of(error))

    # ---- motion -------------------------------------------------------------------------

    async def _put_val(self, nm):
        if self._drop_queued_put:
            # A put made while the last move ran, which STOP then ended: not carried out.
            self._drop_queued_put = False
            self.val.set(self.rbv.get(), process=False)
            return
        instrument = self._instrument

        def start():
            if nm < 0 or not math.isfinite(nm):
                # The control refuses this itself, with its own message.
                instrument.MonochromatorMoveTo(nm)
            return instrument.move_to(nm, wait=False)

        await self._run_motion(self.val, start)

    async def _put_tweak(self, value, sign):
        if not value:
            return
        distance = sign * self.twv.get()
        await self._run_motion(
            self.twf if sign > 0 else self.twr,
            lambda: self._instrument.move_by(distance, wait=False))

    async def _run_motion(self, record, start):
        if self._instrument is None:
            self._refuse(record, RuntimeError("The IOC is starting."))
            return
        try:
            status = await self._owner.call(start)
        except Exception as error:  # noqa: BLE001 - refused: nothing moved
            self._refuse(record, error)
            return
        self._running = status
        self.dmov.set(0)
        self.movn.set(1)
        try:
            await _bridge.finished(status)
        except Exception as error:  # noqa: BLE001
            if isinstance(error, _brivel().StoppedError):
                self._say(_bridge.message_of(error))
            else:
                self._refuse(record, error)
        finally:
            self._running = None
            connected = self._instrument.connected
            if connected:
                self.rbv.set(self._instrument.wavelength)
            else:
                self._lost("The connection to the monochromator was lost.")
            self.dmov.set(1)
            self.movn.set(0)

    def _put_stop(self, value):
        if not value:
            return
        running = self._running
        if running is not None:
            # A put of VAL made during this move is waiting to be processed after it;
            # the stop ends that too.
            if self.val.get_field("RPRO") not in ("0", ""):
                self._drop_queued_put = True
            running.cancel()
        elif self._instrument is not None and self._connected:
            # The stop button also for a motion the IOC did not start.
            self._instrument.stop()
        self.stop_record.set(0, process=False)

    # ---- settings --------------------------------------------------------------------------

    async def _put_speed(self, value):
        if self._speed is not None and value == self._speed:
            return
        instrument = self._instrument

        def apply():
            instrument.speed = int(value)
            return instrument.speed

        await self._apply_setting(self.speed, apply, self._show_speed, self._speed)

    async def _put_filters(self, values):
        wanted = [float(v) for v in values]
        if self._filters is not None and wanted == self._filters:
            return
        instrument = self._instrument

        def apply():
            instrument.filters = wanted
            return list(instrument.filters)

        await self._apply_setting(self.filters, apply, self._show_filters, self._filters)

    async def _put_wheel(self, value):
        wanted = bool(value)
        if self._wheel is not None and wanted == self._wheel:
            return
        instrument = self._instrument

        def apply():
            instrument.filter_wheel = wanted
            return instrument.filter_wheel

        await self._apply_setting(self.wheel, apply, self._show_wheel, self._wheel)

    async def _apply_setting(self, record, apply, show, held):
        """Sends a setting; the record then shows what the controller holds, in alarm
        if the put was refused."""
        try:
            confirmed = await self._owner.call(apply)
            refused = False
        except Exception as error:  # noqa: BLE001
            self._refuse(record, error)
            confirmed, refused = held, True
        # The put's processing is still under way (PACT): the value stored now is what
        # its completion posts.
        show(confirmed, refused, inside_put=True)

    # Settings records show what the controller holds. The value and its alarm are
    # stored without processing; outside a put the record is then processed to post
    # them (the values are equal, so the put handler does not run again).

    @staticmethod
    def _post(record, value, refused=False, inside_put=False):
        if refused:
            severity, status = alarm.MAJOR_ALARM, alarm.WRITE_ALARM
        else:
            severity, status = alarm.NO_ALARM, alarm.NO_ALARM
        record.set(value, process=False, severity=severity, alarm=status)
        if not inside_put:
            record.set(value)

    def _show_speed(self, speed, refused=False, inside_put=False):
        if speed is None:
            return
        self._speed = int(speed)
        self._post(self.speed, self._speed, refused, inside_put)

    def _show_filters(self, filters, refused=False, inside_put=False):
        if filters is None:
            return
        self._filters = [float(v) for v in filters][:FILTER_SLOTS]
        self._post(self.filters, self._filters, refused, inside_put)

    def _show_wheel(self, wheel, refused=False, inside_put=False):
        # None: the wheel is not set up; shown as Off.
        self._wheel = bool(wheel) if wheel is not None else False
        self._post(self.wheel, int(self._wheel), refused, inside_put)


class _MessageHandler(logging.Handler):
    """Puts what the package logs for the operator (logger `brivel`, INFO and up)
    into MSG."""

    _attached = {}

    def __init__(self, ioc):
        super().__init__(logging.INFO)
        self._ioc = ioc

    def emit(self, record):
        if record.name.startswith("brivel.ioc"):
            return
        try:
            self._ioc._say(record.getMessage())
        except Exception:  # noqa: BLE001 - logging must never fail the caller
            self.handleError(record)

    @classmethod
    def attach(cls, ioc):
        handler = cls(ioc)
        cls._attached[id(ioc)] = handler
        logging.getLogger("brivel").addHandler(handler)

    @classmethod
    def detach(cls, ioc):
        handler = cls._attached.pop(id(ioc), None)
        if handler is not None:
            logging.getLogger("brivel").removeHandler(handler)


def _brivel():
    import brivel
    return brivel


# ---- the command -------------------------------------------------------------------------

def _arguments(argv):
    parser = argparse.ArgumentParser(
        prog="brivel-ioc",
        description="Serves a monochromator over EPICS Channel Access and PV Access.")
    where = parser.add_mutually_exclusive_group(required=True)
    where.add_argument("--port", metavar="DEVICE",
                       help="the serial device, e.g. /dev/ttyUSB0 or /dev/serial/by-id/...")
    where.add_argument("--com", type=int, metavar="N",
                       help="port number 1 to 16, mapped as `brivelctl ports` shows")
    where.add_argument("--simulated", action="store_true",
                       help="the simulated controller, in this process")
    parser.add_argument("--prefix", required=True, metavar="P",
                        help="record names are P:VAL, P:RBV, ...")
    parser.add_argument("--sim-rate", type=float, metavar="STEPS",
                        help="simulated: motor steps per second per unit of speed (40)")
    parser.add_argument("--sim-fault", action="append", default=[], metavar="FAULT",
                        help="simulated: a fault to inject (repeatable), e.g. vanish")
    parser.add_argument("--reconnect", type=float, default=5.0, metavar="SECONDS",
                        help="try to connect again this often while not connected "
                             "(0: never; default 5)")
    parser.add_argument("--no-pva", action="store_true", help="serve Channel Access only")
    parser.add_argument("--interactive", action="store_true",
                        help="an interactive Python shell instead of waiting for a signal")
    parser.add_argument("-v", "--verbose", action="store_true", help="log at DEBUG")
    args = parser.parse_args(argv)
    if not args.simulated and (args.sim_rate is not None or args.sim_fault):
        parser.error("--sim-rate and --sim-fault need --simulated")
    if not args.prefix.strip() or any(c.isspace() or c == "." for c in args.prefix):
        parser.error("the prefix may not be empty nor hold blanks or dots")
    return args


def instrument_factory(args):
    """What makes the brivel.Monochromator the command line names."""
    def make():
        import brivel
        if args.simulated:
            options = {"faults": list(args.sim_fault)}
            if args.sim_rate is not None:
                options["rate"] = args.sim_rate
            instrument = brivel.Monochromator.simulated(**options)
        elif args.com is not None:
            instrument = brivel.Monochromator(com=args.com)
        else:
            instrument = brivel.Monochromator(args.port)
        try:
            instrument.language = "en"
        except Exception:  # noqa: BLE001 - a package without languages
            pass
        return instrument
    return make


def main(argv=None):
    args = _arguments(argv)
    logging.basicConfig(level=logging.DEBUG if args.verbose else logging.INFO,
                        format="%(asctime)s %(name)s %(levelname)s %(message)s")
    dispatcher = asyncio_dispatcher.AsyncioDispatcher()
    builder.SetDeviceName(args.prefix)
    ioc = MonochromatorIoc(instrument_factory(args), reconnect=args.reconnect)
    builder.LoadDatabase()
    softioc.iocInit(dispatcher, enable_pva=not args.no_pva)
    ioc.start(dispatcher.loop)
    log.info("serving %s:VAL, %s:RBV, ... (%s)", args.prefix, args.prefix,
             "connected" if ioc._connected else "not connected yet")
    sys.stdout.flush()
    try:
        if args.interactive:
            softioc.interactive_ioc({"ioc": ioc, "instrument": ioc._instrument},
                                    call_exit=False)
        else:
            dispatcher.wait_for_quit()
    finally:
        ioc.stop()
    softioc.safeEpicsExit(0)


if __name__ == "__main__":
    main()
