"""EPICS and Bluesky tests: CA and PVA on 127.0.0.1 only, free ports, brivel-ioc as a child on the
simulated controller, every IOC stopped by the fixture that started it."""

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
BOUND = 30.0  # seconds of any single wait of the tests


def _free_port():
    """A port free for both TCP and UDP on the loopback address."""
    for _ in range(50):
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as tcp, \
                socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as udp:
            tcp.bind(("127.0.0.1", 0))
            try:
                udp.bind(("127.0.0.1", tcp.getsockname()[1]))
            except OSError:
                continue
            return tcp.getsockname()[1]
    raise RuntimeError("no free port")


# Set before any EPICS library starts, for this process and its children.
_ports = set()
while len(_ports) < 4:
    _ports.add(_free_port())
_ports = [str(p) for p in sorted(_ports)]
os.environ.update(dict(zip(
    ("EPICS_CA_SERVER_PORT", "EPICS_CA_REPEATER_PORT", "EPICS_PVA_SERVER_PORT", "EPICS_PVA_BROADCAST_PORT"), _ports)))
os.environ.update({"EPICS_CA_AUTO_ADDR_LIST": "NO", "EPICS_CA_ADDR_LIST": "127.0.0.1",
                   "EPICS_CAS_INTF_ADDR_LIST": "127.0.0.1", "EPICS_PVA_AUTO_ADDR_LIST": "NO",
                   "EPICS_PVA_ADDR_LIST": "127.0.0.1", "EPICS_PVAS_INTF_ADDR_LIST": "127.0.0.1"})

import brivel  # noqa: E402,F401  (after the loopback environment is set)


@pytest.fixture(autouse=True)
def time_bound():
    faulthandler.dump_traceback_later(float(os.environ.get("BRIVEL_TEST_BOUND", "120")), exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


class Ioc:
    """brivel-ioc in a child process, its output in a temporary file."""

    def __init__(self, prefix, args, caget):
        self.prefix = prefix
        self.log = open(os.path.join(os.environ.get("TMPDIR", "/tmp"), f"brivel-ioc-{prefix}.log"), "w+")
        self.process = subprocess.Popen(
            [sys.executable, "-c", "import sys; from brivel import ioc; ioc.main(sys.argv[1:])",
             "--simulated", "--prefix", prefix, "--reconnect", "0", *args],
            stdin=subprocess.DEVNULL, stdout=self.log, stderr=subprocess.STDOUT)
        end = time.monotonic() + 60
        while self.process.poll() is None and time.monotonic() < end:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")  # "timed out" while the IOC starts
                if caget(self.pv("CONNECTED"), timeout=0.5) == 1:
                    return
            time.sleep(0.1)
        self.stop()
        raise RuntimeError("brivel-ioc did not connect")

    def pv(self, name):
        return f"{self.prefix}:{name}"

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(15)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(5)
        self.log.seek(0)
        sys.stdout.write(self.log.read())  # shown by pytest when a test failed
        self.log.close()
        os.unlink(self.log.name)


@pytest.fixture(scope="module")
def start_ioc():
    """start_ioc(*ioc_args, caget=...): IOCs for a test module, stopped at its end."""
    started = []

    def start(*args, caget):
        started.append(Ioc(f"BRIVELTEST{os.getpid()}-{len(started)}", args, caget))
        return started[-1]

    yield start
    for ioc in started:
        ioc.stop()
