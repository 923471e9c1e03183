"""A stand-in for the brivel package's non-blocking interface, for the EPICS and
Bluesky tests when the compiled package is not at hand.

It behaves as the package promises: one operation at a time (a second one raises
RefusedError), moves that report their position from a thread of their own (the
"control's thread") at a steady rate, statuses that end once with a result or an
exception, stop() and Status.cancel() that end a motion with StoppedError, a "vanish"
fault that loses the port halfway through the first motion, and the control's refusal
of a negative target. `install()` makes `import brivel` give this module with the
brivel/ folder of the source tree as its package path, so `brivel.ioc` and
`brivel.bluesky` import as they would from the real package.
"""

import os
import sys
import threading
import time
import types

HERE = os.path.dirname(os.path.abspath(__file__))
PACKAGE_DIR = os.path.normpath(os.path.join(HERE, "..", "..", "brivel"))


class BrivelError(Exception):
    def __init__(self, text_en, operation=""):
        super().__init__(text_en)
        self.text = self.text_en = text_en
        self.text_zh = text_en
        self.detail = ""
        self.operation = operation
        self.messages = []


class RefusedError(BrivelError):
    pass


class OutOfRangeError(RefusedError, ValueError):
    pass


class OperationError(BrivelError):
    pass


class ConnectionError(BrivelError, OSError):  # noqa: A001 - the package's own name
    pass


class NotConnectedError(RefusedError, ConnectionError):
    pass


class StoppedError(BrivelError):
    pass


class Status:
    def __init__(self):
        self._event = threading.Event()
        self._lock = threading.Lock()
        self._callbacks = []
        self._result = None
        self._error = None
        self._cancel = None

    @property
    def done(self):
        return self._event.is_set()

    def _finish(self, result=None, error=None):
        with self._lock:
            if self._event.is_set():
                return
            self._result, self._error = result, error
            self._event.set()
            callbacks, self._callbacks = self._callbacks, []
        for callback in callbacks:
            callback(self)

    def add_callback(self, fn):
        with self._lock:
            if not self._event.is_set():
                self._callbacks.append(fn)
                return
        fn(self)

    def wait(self, timeout=None):
        if not self._event.wait(timeout):
            raise TimeoutError("the operation has not ended")
        if self._error is not None:
            raise self._error
        return self._result

    def cancel(self):
        if self._cancel is not None and not self.done:
            self._cancel()


class Subscription:
    def __init__(self, owner, fn):
        self._owner, self._fn = owner, fn

    def unsubscribe(self):
        with self._owner._lock:
            if self._fn in self._owner._observers:
                self._owner._observers.remove(self._fn)


class Monochromator:
    """Moves at `rate` nm/s and reports its position every `report_period` s."""

    def __init__(self, device=None, *, rate=62.5, faults=(), report_period=0.01):
        self.device = device or "/dev/fake"
        self._rate = float(rate)
        self._faults = set(faults)
        self._period = report_period
        self._lock = threading.Lock()
        self._observers = []
        self._wavelength = 0.0
        self._connected = False
        self._vanished = False
        self._running = None
        self._stop = threading.Event()
        self.speed_value = 250
        self._filters = [400.0, 700.0]
        self._wheel = True
        self.reports = 0
        self.language = "en"

    @classmethod
    def simulated(cls, *, rate=None, faults=(), memory=None, confirm=None):
        # As the simulated controller: 40 steps/s per unit of speed move 62.5 nm/s.
        return cls("/dev/pts/fake", rate=62.5 * (40 if rate is None else rate) / 40,
                   faults=faults)

    # ---- state, readable from any thread ----
    @property
    def wavelength(self):
        return self._wavelength

    @property
    def busy(self):
        return self._running is not None

    @property
    def connected(self):
        return self._connected

    # ---- connection ----
    def open(self):
        if self._vanished:
            raise ConnectionError("Monochromator connection failed.", "open")
        self._connected = True

    def close(self):
        self.stop()
        self._connected = False

    def __enter__(self):
        self.open()
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    # ---- motion ----
    def _start(self, operation, target):
        if not self._connected:
            raise NotConnectedError("Monochromator connection failed.", operation)
        with self._lock:
            if self._running is not None:
                raise RefusedError("The monochromator controller is running.", operation)
            status = Status()
            status._cancel = self.stop
            self._running = status
        self._stop.clear()
        threading.Thread(target=self._follow, args=(status, operation, target),
                         name="fake-control", daemon=True).start()
        return status

    def _follow(self, status, operation, target):
        start = self._wavelength
        distance = abs(target - start)
        began = time.monotonic()
        vanish = "vanish" in self._faults and distance > 0
        result = error = None
        while True:
            time.sleep(self._period)
            travelled = min(distance, (time.monotonic() - began) * self._rate)
            now = start + (travelled if target >= start else -travelled)
            self._report(round(now, 2))
            if vanish and travelled >= distance / 2:
                self._faults.discard("vanish")
                self._vanished = True
                self._connected = False
                error = ConnectionError("Monochromator connection failed.", operation)
                break
            if self._stop.is_set():
                error = StoppedError("Stopped.", operation)
                break
            if travelled >= distance:
                result = self._wavelength
                break
        with self._lock:
            self._running = None
        status._finish(result, error)

    def _report(self, nm):
        self._wavelength = nm
        self.reports += 1
        with self._lock:
            observers = list(self._observers)
        for fn in observers:
            fn(nm)

    def move_to(self, nm, wait=True):
        if nm < 0:
            raise RefusedError(f"Can't move to the assigned wavelength:{nm:g}", "move_to")
        if nm > 99999:
            raise ValueError(f"wavelength must be from 0 to 99999 nm, not {nm:g}")
        status = self._start("move_to", float(nm))
        return status.wait() if wait else status

    def move_by(self, nm, wait=True):
        status = self._start("move_by", self._wavelength + nm)
        return status.wait() if wait else status

    def scan(self, start, stop, step=1.0):
        count = int(round((stop - start) / step)) + 1
        for i in range(count):
            yield self.move_to(start + i * step)

    def MonochromatorMoveTo(self, nm):
        self.move_to(nm)

    def stop(self):
        self._stop.set()

    def subscribe(self, fn):
        with self._lock:
            self._observers.append(fn)
        return Subscription(self, fn)

    # ---- settings ----
    def _settle(self, operation):
        if not self._connected:
            raise NotConnectedError("Monochromator connection failed.", operation)
        if self._running is not None:
            raise RefusedError("The monochromator controller is running.", operation)

    @property
    def speed(self):
        return self.speed_value

    @speed.setter
    def speed(self, value):
        self._settle("speed")
        self.speed_value = max(1, min(250, int(value)))

    @property
    def filters(self):
        return list(self._filters)

    @filters.setter
    def filters(self, value):
        if len(value) > 6:
            raise ValueError("at most six filters")
        if any(not 0 <= v <= 50000 for v in value):
            raise ValueError("a filter's start wavelength must be from 0 to 50000 nm")
        self._settle("filters")
        self._filters = sorted(float(v) for v in value)

    @property
    def filter_wheel(self):
        return self._wheel

    @filter_wheel.setter
    def filter_wheel(self, value):
        self._settle("filter_wheel")
        self._wheel = bool(value)


def install():
    """Makes `import brivel` give this stand-in, with brivel.ioc and brivel.bluesky
    importable from the source tree."""
    package = types.ModuleType("brivel")
    package.__path__ = [PACKAGE_DIR]
    for name in ("BrivelError", "RefusedError", "OutOfRangeError", "OperationError",
                 "ConnectionError", "NotConnectedError", "StoppedError", "Status",
                 "Monochromator"):
        setattr(package, name, globals()[name])
    package.__version__ = "0.0-fake"
    package.FAKE = True
    sys.modules["brivel"] = package
    return package
