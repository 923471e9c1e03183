"""A port that vanishes or cannot be opened, a client that goes away, a server stopped by
a signal: a clear state or error, and the server goes on (or ends cleanly)."""

import signal
import subprocess
import sys
import time

import pytest
import tango

from conftest import FAULT, MOVING, ON, stop, wait_state, wait_until


def test_a_port_that_vanishes_mid_move_shows_fault_and_open_recovers(lab):
    device, sim, _ = lab.device("--fault", "vanish")
    states = lab.events(device, "State")
    device.Wavelength = 700.0  # the simulator vanishes 0.5 s into the move
    states.wait_for(lambda s: s == FAULT, "FAULT after the port went away")
    assert sim.link in device.status() and not device.Connected
    with pytest.raises(tango.DevFailed):
        device.Wavelength = 600.0
    with pytest.raises(tango.DevFailed) as refused:  # Open fails while the device is gone
        device.Open()
    assert refused.value.args[0].reason == "BRIVEL_connection_lost" and sim.link in refused.value.args[0].desc
    wait_state(device, FAULT)
    assert "no such device" in device.status()
    back = lab.sim(link=sim.link)
    device.Open()
    wait_state(device, ON)
    assert device.Connected and back.commands()[:1] == ["y"]


@pytest.mark.parametrize("port", ["no-such-device", "17"])
def test_a_port_that_cannot_be_opened_is_a_fault_naming_it(lab, tmp_path, port):
    port = port if port == "17" else str(tmp_path / port)
    device = lab.server(port).proxy()
    wait_state(device, FAULT)
    assert ("Port 17" if port == "17" else port) in device.status()
    with pytest.raises(tango.DevFailed) as refused:
        device.Open()
    assert refused.value.args[0].desc and device.state() == FAULT


CLIENT = """import sys, time, tango
tango.DeviceProxy(sys.argv[1]).subscribe_event("Wavelength", tango.EventType.CHANGE_EVENT, lambda event: None)
print("subscribed", flush=True)
time.sleep(600)
"""


def test_a_client_that_goes_away_harms_no_one_and_sigterm_mid_move_stops_the_motor(lab):
    device, sim, server = lab.device()
    client = subprocess.Popen([sys.executable, "-c", CLIENT, server.url], stdout=subprocess.PIPE, text=True)
    try:
        assert client.stdout.readline().strip() == "subscribed"
        positions = lab.events(device, "Wavelength")
        device.Wavelength = 560.0
        positions.wait_for(lambda nm: nm > 510.0, "the move under way")
        stop(client, signal.SIGKILL)
        mark = len(positions)
        wait_state(device, ON)
        positions.wait_for(lambda nm: nm == pytest.approx(560.0), "the end of the move")
        assert len(positions) > mark, "events went on after the other client died"
    finally:
        stop(client, signal.SIGKILL)
        client.stdout.close()
    device.Wavelength = 900.0
    positions.wait_for(lambda nm: nm > 580.0, "the move under way")
    positions.close()
    mark, happened = sim.mark(quiet=0), len(sim.events)
    assert stop(server.process) == 0
    assert "k" in sim.commands(mark), sim.commands(mark)
    wait_until(lambda: sim.hung_up(happened), "the port closed")


def test_subscriptions_outlive_the_clients_heartbeat_window(lab):
    """Clients call an event channel dead after 10 s without a heartbeat; without a
    database libtango 9.3 would publish it under a name they do not listen for."""
    device, _, _ = lab.device("--rate", "400")
    states = lab.events(device, "State")
    states.wait_for(lambda s: s == ON, "the first State event")
    time.sleep(13)  # past the clients' heartbeat window
    mark = len(states)
    device.Wavelength = 520.0
    states.wait_for(lambda s: s == MOVING, "MOVING after the window", since=mark)
    wait_state(device, ON)
    states.wait_for(lambda s: s == ON, "ON after the move", since=mark + 1)
    assert states.errors == [], states.errors
