"""Fixtures of the Tango server's tests: the simulated controller and brivel-tango on
free ports of 127.0.0.1, with Tango's file database, always stopped afterwards.

Run with Debian's interpreter, which has PyTango: /usr/bin/python3 -m pytest tests/tango.
BRIVEL_SIM and BRIVEL_TANGO name the programs (ctest sets them); otherwise they are
looked for in build/.
"""

import faulthandler
import os
import signal
import socket
import subprocess
import threading
import time
from pathlib import Path

import pytest

tango = pytest.importorskip("tango")

ROOT = Path(__file__).resolve().parents[2]
SIM = os.environ.get("BRIVEL_SIM", str(ROOT / "build" / "brivel-sim"))
SERVER = os.environ.get("BRIVEL_TANGO", str(ROOT / "build" / "apps" / "brivel-tango" / "brivel-tango"))
DEVICE = "lab/mono/1"

# Bounds of every wait (seconds): generous, since the machine may be busy. They bound
# the tests; none of them is a measurement.
START_BOUND = 30.0
WAIT_BOUND = 30.0
TEST_BOUND = float(os.environ.get("BRIVEL_TEST_BOUND", "240"))


@pytest.fixture(autouse=True)
def time_bound():
    faulthandler.dump_traceback_later(TEST_BOUND, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_until(predicate, bound=WAIT_BOUND, what="a condition"):
    end = time.monotonic() + bound
    while time.monotonic() < end:
        value = predicate()
        if value:
            return value
        time.sleep(0.02)
    raise AssertionError(f"{what} did not come within {bound} s")


class Sim:
    """brivel-sim on a pseudo-terminal, reached through a link that outlives it, with its
    traffic trace collected (the commands it framed)."""

    def __init__(self, link, *options):
        self.link = str(link)
        self.options = list(options)
        self.process = None
        self.trace = []
        self.happenings = []  # the link's own events: hang-up, reopened, vanished
        self.lock = threading.Lock()

    def start(self):
        self.process = subprocess.Popen(
            [SIM, "--link", self.link, "--trace", *self.options],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.device = self.process.stdout.readline().strip()
        assert self.device.startswith("/dev/"), f"brivel-sim did not start: {self.device!r}"
        threading.Thread(target=self._read_trace, args=(self.process.stderr,), daemon=True).start()
        return self

    def _read_trace(self, stream):
        for line in stream:
            parts = line.split(None, 2)
            if len(parts) == 3 and parts[1] in "=-":
                with self.lock:
                    (self.trace if parts[1] == "=" else self.happenings).append(parts[2].strip())

    def commands(self, since=0):
        """The letters of the commands framed since `since` (a length of the log)."""
        with self.lock:
            return [entry.split()[0] for entry in self.trace[since:] if entry]

    def mark(self, quiet=0.2):
        """A place in the log, once the trace has been quiet for `quiet` seconds (the
        trace reaches this process a little after the simulator framed a command).
        quiet=0: at once (during a motion the trace is never quiet)."""
        end = time.monotonic() + 5.0
        with self.lock:
            seen = len(self.trace)
        if quiet <= 0:
            return seen
        while time.monotonic() < end:
            time.sleep(quiet)
            with self.lock:
                if len(self.trace) == seen:
                    break
                seen = len(self.trace)
        return seen

    def wait_for_command(self, letter, since=0):
        wait_until(lambda: letter in self.commands(since), what=f"the command {letter!r}")

    def happenings_mark(self):
        with self.lock:
            return len(self.happenings)

    def hung_up(self, since=0):
        """Whether the simulator saw its client close the device after `since` (a
        happenings_mark())."""
        with self.lock:
            return any("hang-up" in text for text in self.happenings[since:])

    def alive(self):
        return self.process is not None and self.process.poll() is None

    def stop(self):
        if self.alive():
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(10)
        if self.process is not None:
            self.process.stdout.close()


class Server:
    """brivel-tango with a file database on 127.0.0.1:port."""

    def __init__(self, folder, port_property, **properties):
        self.folder = Path(folder)
        self.folder.mkdir(parents=True, exist_ok=True)
        self.port = free_port()
        self.database = self.folder / "tango.db"
        lines = [f'brivel-tango/test/DEVICE/BrivelMonochromator: "{DEVICE}"',
                 f'{DEVICE}->Port: "{port_property}"']
        lines += [f'{DEVICE}->{name}: "{value}"' for name, value in properties.items()]
        self.database.write_text("\n".join(lines) + "\n")
        self.log = self.folder / "brivel-tango.log"
        self.process = None

    @property
    def url(self):
        return f"tango://127.0.0.1:{self.port}/{DEVICE}#dbase=no"

    def start(self):
        self.output = open(self.log, "w")
        self.process = subprocess.Popen(
            [SERVER, "test", f"-file={self.database}", "-ORBendPoint", f"giop:tcp:127.0.0.1:{self.port}"],
            stdin=subprocess.DEVNULL, stdout=self.output, stderr=subprocess.STDOUT)
        wait_until(lambda: "Ready to accept request" in self.log.read_text() or self.process.poll() is not None,
                   START_BOUND, "the server's start")
        assert self.process.poll() is None, f"brivel-tango ended: {self.log.read_text()}"
        return self

    def proxy(self):
        device = tango.DeviceProxy(self.url)
        device.set_timeout_millis(5000)
        return device

    def stop(self, sig=signal.SIGTERM):
        """Stops the server; gives its exit status."""
        if self.process is None:
            return None
        if self.process.poll() is None:
            self.process.send_signal(sig)
            try:
                self.process.wait(20)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(10)
        self.output.close()
        return self.process.returncode


# Every subscription a test made, ended before its servers stop (a subscription left to a
# server that is gone keeps the client library reconnecting).
_subscriptions = []


class Events:
    """A change-event subscription that keeps every event it gets."""

    def __init__(self, device, attribute):
        self.device = device
        self.values = []
        self.errors = []
        self.condition = threading.Condition()
        self.id = device.subscribe_event(attribute, tango.EventType.CHANGE_EVENT, self)
        _subscriptions.append(self)

    def push_event(self, event):
        with self.condition:
            if event.err:
                self.errors.append(event.errors)
            elif event.attr_value is not None:
                self.values.append(event.attr_value.value)
            self.condition.notify_all()

    def wait_for(self, predicate, bound=WAIT_BOUND, what="an event"):
        end = time.monotonic() + bound
        with self.condition:
            while True:
                if any(predicate(v) for v in self.values):
                    return
                left = end - time.monotonic()
                if left <= 0:
                    raise AssertionError(f"{what} did not come within {bound} s; got {self.values[-10:]}")
                self.condition.wait(left)

    def since(self, mark):
        with self.condition:
            return list(self.values[mark:])

    def __len__(self):
        with self.condition:
            return len(self.values)

    def close(self):
        if self.id is None:
            return
        try:
            self.device.unsubscribe_event(self.id)
        except tango.DevFailed:
            pass
        self.id = None


def wait_state(device, state, bound=WAIT_BOUND):
    wait_until(lambda: device.state() == state, bound, f"state {state}")


@pytest.fixture
def lab(tmp_path):
    """Starts simulated controllers and servers for a test; stops all of them after it."""

    class Lab:
        def __init__(self):
            self.sims = []
            self.servers = []

        def sim(self, *options, link=None):
            sim = Sim(link or tmp_path / f"mono{len(self.sims)}", *options).start()
            self.sims.append(sim)
            return sim

        def server(self, port_property, **properties):
            server = Server(tmp_path / f"server{len(self.servers)}", port_property, **properties)
            self.servers.append(server)
            return server.start()

    lab = Lab()
    yield lab
    while _subscriptions:
        _subscriptions.pop().close()
    for server in lab.servers:
        server.stop()
    for sim in lab.sims:
        sim.stop()


@pytest.fixture
def quick(lab):
    """A connected device on a simulated controller with quick moves: (device, sim, server)."""
    sim = lab.sim("--rate", "400")
    server = lab.server(sim.link)
    device = server.proxy()
    wait_state(device, tango.DevState.ON)
    return device, sim, server


@pytest.fixture
def slow(lab):
    """A connected device on a simulated controller at its own speed (62.5 nm/s)."""
    sim = lab.sim()
    server = lab.server(sim.link)
    device = server.proxy()
    wait_state(device, tango.DevState.ON)
    return device, sim, server
