"""brivel-sim and brivel-tango (file database) on 127.0.0.1, always stopped afterwards. Run with Debian's
/usr/bin/python3 (PyTango); BRIVEL_SIM and BRIVEL_TANGO name the programs (ctest sets them)."""

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
BOUND = 30.0  # seconds of every wait: a bound, not a measurement
ON, OFF, FAULT, MOVING = tango.DevState.ON, tango.DevState.OFF, tango.DevState.FAULT, tango.DevState.MOVING


@pytest.fixture(autouse=True)
def time_bound():
    faulthandler.dump_traceback_later(float(os.environ.get("BRIVEL_TEST_BOUND", "240")), exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


def wait_until(predicate, what="a condition"):
    end = time.monotonic() + BOUND
    while not predicate():
        assert time.monotonic() < end, f"{what} did not come within {BOUND} s"
        time.sleep(0.02)


def wait_state(device, state):
    wait_until(lambda: device.state() == state, f"state {state}")


def stop(process, sig=signal.SIGTERM):
    if process.poll() is None:
        process.send_signal(sig)
        try:
            process.wait(20)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait(10)
    return process.returncode


class Sim:
    """brivel-sim on a pseudo-terminal behind a link that outlives it: `trace` holds the
    commands it framed, `events` what happened to its device (hang-up, reopened, vanished)."""

    def __init__(self, link, *options):
        self.link, self.trace, self.events, self.lock = str(link), [], [], threading.Lock()
        self.process = subprocess.Popen([SIM, "--link", self.link, "--trace", *options], stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        assert self.process.stdout.readline().startswith("/dev/"), "brivel-sim did not start"
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stderr:
            parts = line.split(None, 2)
            if len(parts) == 3 and parts[1] in "=-":
                with self.lock:
                    (self.trace if parts[1] == "=" else self.events).append(parts[2].strip())

    def commands(self, since=0):
        with self.lock:
            return [entry.split()[0] for entry in self.trace[since:] if entry]

    def mark(self, quiet=0.2):
        """A place in the trace, once it has been quiet for `quiet` s (it comes a little
        after the simulator framed a command); quiet=0: at once (a motion is never quiet)."""
        seen = -1
        for _ in range(25 if quiet else 0):
            with self.lock:
                if len(self.trace) == seen:
                    break
                seen = len(self.trace)
            time.sleep(quiet)
        with self.lock:
            return len(self.trace)

    def hung_up(self, since):
        with self.lock:
            return any("hang-up" in text for text in self.events[since:])


class Server:
    """brivel-tango with a file database on 127.0.0.1:port."""

    def __init__(self, folder, port_property, **properties):
        folder.mkdir(parents=True)
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        self.url = f"tango://127.0.0.1:{port}/{DEVICE}#dbase=no"
        lines = {"brivel-tango/test/DEVICE/BrivelMonochromator": DEVICE, f"{DEVICE}->Port": port_property}
        lines.update({f"{DEVICE}->{name}": value for name, value in properties.items()})
        (folder / "tango.db").write_text("".join(f'{key}: "{value}"\n' for key, value in lines.items()))
        log = folder / "brivel-tango.log"
        with open(log, "w") as out:
            self.process = subprocess.Popen(
                [SERVER, "test", f"-file={folder / 'tango.db'}", "-ORBendPoint", f"giop:tcp:127.0.0.1:{port}"],
                stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
        wait_until(lambda: "Ready to accept request" in log.read_text() or self.process.poll() is not None,
                   "the server's start")
        assert self.process.poll() is None, f"brivel-tango ended: {log.read_text()}"

    def proxy(self):
        device = tango.DeviceProxy(self.url)
        device.set_timeout_millis(5000)
        return device


class Events:
    """A change-event subscription that keeps every value it gets.

    Its first value comes from a read during the subscription; the later ones over the
    event channel, which the server's publisher joins a moment after subscribe_event()
    returns (libtango gives no handshake for it). An event pushed in that moment is
    lost, so a test subscribes before the steps that lead up to the event it waits for,
    never right before the action that pushes it."""

    def __init__(self, device, attribute):
        self.device, self.values, self.errors, self.condition = device, [], [], threading.Condition()
        self.id = device.subscribe_event(attribute, tango.EventType.CHANGE_EVENT, self)

    def push_event(self, event):
        with self.condition:
            if event.err:
                self.errors.append(event.errors)
            elif event.attr_value is not None:
                self.values.append(event.attr_value.value)
            self.condition.notify_all()

    def wait_for(self, predicate, what="an event", since=0):
        with self.condition:
            if not self.condition.wait_for(lambda: any(predicate(v) for v in self.values[since:]), BOUND):
                raise AssertionError(f"{what} did not come within {BOUND} s; got {self.values[-10:]}")

    def since(self, mark):
        with self.condition:
            return list(self.values[mark:])

    def __len__(self):
        with self.condition:
            return len(self.values)

    def close(self):
        try:
            if self.id is not None:
                self.device.unsubscribe_event(self.id)
        except tango.DevFailed:
            pass
        self.id = None


@pytest.fixture
def lab(tmp_path):
    """Simulators, servers and subscriptions, ended after the test (subscriptions first: they reconnect)."""

    class Lab:
        sims, servers, subscriptions = [], [], []

        def sim(self, *options, link=None):
            self.sims.append(Sim(link or tmp_path / f"mono{len(self.sims)}", *options))
            return self.sims[-1]

        def server(self, port_property, **properties):
            self.servers.append(Server(tmp_path / f"server{len(self.servers)}", port_property, **properties))
            return self.servers[-1]

        def device(self, *sim_options, **properties):
            """A connected device on a new simulator: (device, sim, server)."""
            sim = self.sim(*sim_options)
            server = self.server(sim.link, **properties)
            device = server.proxy()
            wait_state(device, ON)
            return device, sim, server

        def events(self, device, attribute):
            self.subscriptions.append(Events(device, attribute))
            return self.subscriptions[-1]

    lab = Lab()
    yield lab
    for item in lab.subscriptions:
        item.close()
    for item in lab.servers + lab.sims:
        stop(item.process)
    for sim in lab.sims:
        sim.process.stdout.close()
