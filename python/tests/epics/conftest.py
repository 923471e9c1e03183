"""Fixtures of the EPICS and Bluesky tests: loopback-only Channel Access and PV Access
on free ports, IOCs run as child processes, and the instrument package to drive.

The instrument is the brivel package's simulated controller. Every IOC a test starts is ended by the fixture that
started it, and every wait has a bound (a hung test is ended by faulthandler).
"""

import faulthandler
import os
import signal
import socket
import subprocess
import sys
import time
import warnings

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)


def _free_port():
    """A port free for both TCP and UDP on the loopback address."""
    for _ in range(50):
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as tcp:
            tcp.bind(("127.0.0.1", 0))
            port = tcp.getsockname()[1]
            try:
                with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as udp:
                    udp.bind(("127.0.0.1", port))
            except OSError:
                continue
            return port
    raise RuntimeError("no free port")


def _loopback_only():
    """Servers and clients of this process and its children talk on 127.0.0.1 only,
    on ports nobody else uses. Set before any EPICS library starts."""
    ports = set()
    while len(ports) < 4:
        ports.add(_free_port())
    ca_server, ca_repeater, pva_server, pva_broadcast = sorted(ports)
    os.environ.update({
        "EPICS_CA_AUTO_ADDR_LIST": "NO",
        "EPICS_CA_ADDR_LIST": "127.0.0.1",
        "EPICS_CAS_INTF_ADDR_LIST": "127.0.0.1",
        "EPICS_CA_SERVER_PORT": str(ca_server),
        "EPICS_CA_REPEATER_PORT": str(ca_repeater),
        "EPICS_PVA_AUTO_ADDR_LIST": "NO",
        "EPICS_PVA_ADDR_LIST": "127.0.0.1",
        "EPICS_PVAS_INTF_ADDR_LIST": "127.0.0.1",
        "EPICS_PVA_SERVER_PORT": str(pva_server),
        "EPICS_PVA_BROADCAST_PORT": str(pva_broadcast),
    })


_loopback_only()


import brivel  # noqa: E402  (after the loopback environment is set)

# Seconds a single test may take.
TEST_BOUND = float(os.environ.get("BRIVEL_TEST_BOUND", "120"))
# Seconds an IOC may take to serve its records and connect.
IOC_START_BOUND = 60.0


@pytest.fixture(autouse=True)
def time_bound():
    faulthandler.dump_traceback_later(TEST_BOUND, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


class Ioc:
    """brivel-ioc in a child process, driving the simulated controller."""

    count = 0

    def __init__(self, *sim_args):
        Ioc.count += 1
        self.prefix = f"BRIVELTEST{os.getpid()}-{Ioc.count}"
        command = [sys.executable, os.path.join(HERE, "run_ioc.py")]
        command += ["--simulated", "--prefix", self.prefix, "--reconnect", "0", *sim_args]
        self.log_path = os.path.join(os.environ.get("TMPDIR", "/tmp"),
                                     f"brivel-ioc-{self.prefix}.log")
        self._log = open(self.log_path, "w+")
        self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=self._log,
                                        stderr=subprocess.STDOUT)

    def pv(self, name):
        return f"{self.prefix}:{name}"

    def output(self):
        self._log.flush()
        with open(self.log_path) as log:
            return log.read()

    def wait_connected(self, caget):
        end = time.monotonic() + IOC_START_BOUND
        while time.monotonic() < end:
            if self.process.poll() is not None:
                raise RuntimeError("brivel-ioc ended:\n" + self.output())
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")  # "timed out" while the IOC starts
                if caget(self.pv("CONNECTED"), timeout=0.5) == 1:
                    return
            time.sleep(0.1)
        raise RuntimeError("brivel-ioc did not connect:\n" + self.output())

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(15)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(5)
        self._log.close()
        os.unlink(self.log_path)


@pytest.fixture(scope="module")
def start_ioc():
    """Starts IOCs for a test module; each is stopped at the module's end."""
    started = []

    def start(*sim_args, caget):
        ioc = Ioc(*sim_args)
        started.append(ioc)
        try:
            ioc.wait_connected(caget)
        except Exception:
            ioc.stop()
            started.remove(ioc)
            raise
        return ioc

    yield start
    for ioc in started:
        ioc.stop()
