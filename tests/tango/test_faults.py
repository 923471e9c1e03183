"""A port that vanishes or cannot be opened, clients that go away, a server stopped by
a signal: a clear state or error, and the server goes on (or ends cleanly)."""

import signal
import subprocess
import sys
import textwrap
import time

import pytest
import tango

from conftest import Events, wait_state, wait_until

ON, FAULT, MOVING = tango.DevState.ON, tango.DevState.FAULT, tango.DevState.MOVING


def test_a_port_that_vanishes_mid_move_shows_fault_and_open_recovers(lab):
    sim = lab.sim("--fault", "vanish")
    server = lab.server(sim.link)
    device = server.proxy()
    wait_state(device, ON)
    states = Events(device, "State")

    device.Wavelength = 700.0  # the simulator vanishes 0.5 s into the move
    states.wait_for(lambda s: s == FAULT, what="FAULT after the port went away")
    status = device.status()
    assert sim.link in status, status
    assert not device.Connected
    with pytest.raises(tango.DevFailed):
        device.Wavelength = 600.0

    # Open fails while the device is gone, and recovers once it is back.
    with pytest.raises(tango.DevFailed) as refused:
        device.Open()
    assert refused.value.args[0].reason == "BRIVEL_connection_lost"
    assert sim.link in refused.value.args[0].desc
    wait_state(device, FAULT)
    assert "no such device" in device.status()
    back = lab.sim(link=sim.link)
    device.Open()
    wait_state(device, ON)
    assert device.Connected
    assert back.commands()[:1] == ["y"]
    states.close()


def test_a_port_that_cannot_be_opened_is_a_fault_naming_the_device(lab, tmp_path):
    missing = tmp_path / "no-such-device"
    server = lab.server(str(missing))
    device = server.proxy()
    wait_state(device, FAULT)
    assert str(missing) in device.status()
    with pytest.raises(tango.DevFailed) as refused:
        device.Open()
    assert refused.value.args[0].desc
    assert device.state() == FAULT


def test_an_unusable_port_property_is_a_fault(lab):
    server = lab.server("17")
    device = server.proxy()
    wait_state(device, FAULT)
    assert "Port 17" in device.status()


CLIENT = textwrap.dedent("""
    import sys, time, tango
    device = tango.DeviceProxy(sys.argv[1])
    device.subscribe_event("Wavelength", tango.EventType.CHANGE_EVENT, lambda event: None)
    print("subscribed", flush=True)
    time.sleep(600)
""")


def test_a_client_that_goes_away_while_subscribed_harms_no_one(slow):
    device, _, server = slow
    client = subprocess.Popen([sys.executable, "-c", CLIENT, server.url], stdout=subprocess.PIPE, text=True)
    try:
        assert client.stdout.readline().strip() == "subscribed"
        positions = Events(device, "Wavelength")
        device.Wavelength = 560.0
        positions.wait_for(lambda nm: nm > 510.0, what="the move under way")
        client.kill()
        client.wait(10)
        mark = len(positions)
        wait_state(device, ON)
        positions.wait_for(lambda nm: nm == pytest.approx(560.0), what="the end of the move")
        assert len(positions) > mark, "events went on after the other client died"
        device.Wavelength = 540.0
        wait_state(device, ON)
        assert device.Wavelength == pytest.approx(540.0)
        positions.close()
    finally:
        if client.poll() is None:
            client.kill()
            client.wait(10)
        client.stdout.close()


def test_sigterm_mid_move_stops_the_motor_first(lab):
    sim = lab.sim()
    server = lab.server(sim.link)
    device = server.proxy()
    wait_state(device, ON)
    positions = Events(device, "Wavelength")
    device.Wavelength = 900.0
    positions.wait_for(lambda nm: nm > 520.0, what="the move under way")
    positions.close()
    mark, happened = sim.mark(quiet=0), sim.happenings_mark()
    assert server.stop(signal.SIGTERM) == 0
    commands = sim.commands(mark)
    assert "k" in commands, commands
    # The port was closed: the simulator saw its client go.
    wait_until(lambda: sim.hung_up(happened), what="the port closed")


def test_subscriptions_outlive_the_clients_heartbeat_window(quick):
    """Clients call an event channel dead when they hear no heartbeat for 10 s; without
    a database libtango 9.3 would publish it under a name they do not listen for."""
    device, _, _ = quick
    states = Events(device, "State")
    states.wait_for(lambda s: s == ON, what="the first State event")
    time.sleep(13)  # past the clients' heartbeat window: the subscription must stay up
    mark = len(states)
    device.Wavelength = 520.0
    states.wait_for(lambda s: s == MOVING, what="MOVING after the window")
    wait_state(device, ON)
    states.wait_for(lambda s: s == ON and len(states.since(mark)) >= 2, what="ON after the move")
    assert states.errors == [], states.errors
