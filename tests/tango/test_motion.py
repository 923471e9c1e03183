"""Connecting, moving with events, stopping, and a second client, through PyTango."""

import pytest
import tango

from conftest import Events, wait_state, wait_until

ON, MOVING = tango.DevState.ON, tango.DevState.MOVING


def test_start_identifies_the_instrument(quick):
    device, sim, _ = quick
    # The simulator's factory memory, as the identification read it: one attribute of
    # each type the server maps.
    assert device.Connected and device.FilterWheel
    assert (device.InstrumentNo, device.Year, device.Speed) == (12345, "21", 250)
    assert device.Wavelength == pytest.approx(500.0)
    assert list(device.Filters) == pytest.approx([350.0, 650.0, 800.0])
    assert sim.link in device.status()
    config = device.get_attribute_config("Wavelength")
    assert config.unit == "nm"
    assert config.writable == tango.AttrWriteType.READ_WRITE


def test_a_move_reports_every_position_as_an_event(slow):
    device, _, _ = slow
    positions = Events(device, "Wavelength")
    states = Events(device, "State")
    positions.wait_for(lambda nm: nm == pytest.approx(500.0), what="the first Wavelength event")
    mark = len(positions)

    device.Wavelength = 560.0
    # The write started the move and returned while the grating still turns.
    assert device.state() == MOVING
    states.wait_for(lambda s: s == MOVING, what="MOVING")
    wait_state(device, ON)
    states.wait_for(lambda s: s == ON, what="ON after the move")

    moved = positions.since(mark)
    assert len(moved) >= 5, moved
    assert moved == sorted(moved), "positions go one way"
    assert moved[-1] == pytest.approx(560.0)
    assert device.Wavelength == pytest.approx(560.0)
    assert device.PositionReports >= len(moved)
    positions.close()
    states.close()


def test_stop_ends_a_move_where_the_grating_is(slow):
    device, sim, _ = slow
    positions = Events(device, "Wavelength")
    device.Wavelength = 800.0
    positions.wait_for(lambda nm: nm > 520.0, what="the move under way")
    mark = sim.mark(quiet=0)
    device.Stop()
    wait_state(device, ON)
    assert "k" in sim.commands(mark), "the motor was told to stop"
    stopped = device.Wavelength
    assert 520.0 < stopped < 800.0
    assert positions.since(0)[-1] == pytest.approx(stopped)
    positions.close()


def test_move_by_steps_from_where_it_is(quick):
    device, _, _ = quick
    device.MoveBy(-12.5)
    wait_until(lambda: device.state() == ON and device.Wavelength == pytest.approx(487.5),
               what="the step down")
    device.MoveBy(2.5)
    wait_until(lambda: device.state() == ON and device.Wavelength == pytest.approx(490.0),
               what="the step up")


def test_a_second_client_is_refused_while_the_first_moves(slow):
    first, sim, server = slow
    second = server.proxy()
    before = sim.mark()
    first.Wavelength = 700.0
    sim.wait_for_command("W", before)
    mark = sim.mark(quiet=0)
    with pytest.raises(tango.DevFailed) as refused:
        second.Wavelength = 400.0
    assert "running" in refused.value.args[0].desc or "busy" in refused.value.args[0].desc.lower()
    with pytest.raises(tango.DevFailed):
        second.MoveBy(5.0)
    # The second client reads freely meanwhile; the first move goes on to its target.
    assert second.state() == MOVING
    assert "W" not in sim.commands(mark) and "U" not in sim.commands(mark)
    wait_state(first, ON)
    assert second.Wavelength == pytest.approx(700.0)


def test_settings_reach_the_controller(quick):
    device, _, _ = quick
    speeds = Events(device, "Speed")
    device.Speed = 120
    # Busy with the exchange (no motor turns), then idle with what the controller confirmed.
    assert device.state() in (tango.DevState.RUNNING, ON)
    wait_state(device, ON)
    assert device.Speed == 120
    speeds.wait_for(lambda v: v == 120, what="the speed's change event")

    device.PowerOnWavelength = 435.83
    wait_state(device, ON)
    assert device.PowerOnWavelength == pytest.approx(435.83, abs=0.01)

    device.Filters = [400.0, 700.0]
    wait_state(device, ON)
    assert list(device.Filters) == pytest.approx([400.0, 700.0], abs=0.1)
    device.FilterWheel = False
    wait_state(device, ON)
    assert not device.FilterWheel
    device.FilterWheel = True
    wait_state(device, ON)
    assert device.FilterWheel


def test_reposition_moves_and_refreshes(lab):
    sim = lab.sim("--rate", "4000")
    server = lab.server(sim.link)
    device = server.proxy()
    wait_state(device, ON)
    states = Events(device, "State")
    mark = sim.mark()
    device.Reposition()
    states.wait_for(lambda s: s == MOVING, what="MOVING during the reposition")
    wait_state(device, ON)
    commands = sim.commands(mark)
    assert "K" in commands and "y" in commands, commands  # the reposition, then the read-out
    assert device.Wavelength == pytest.approx(500.0)
    states.close()


def test_close_while_moving_stops_the_motor_before_the_port_closes(slow):
    device, sim, _ = slow
    positions = Events(device, "Wavelength")
    device.Wavelength = 800.0
    positions.wait_for(lambda nm: nm > 520.0, what="the move under way")
    mark, happened = sim.mark(quiet=0), sim.happenings_mark()
    device.Close()
    wait_state(device, tango.DevState.OFF)
    assert "k" in sim.commands(mark), "the motor was told to stop"
    wait_until(lambda: sim.hung_up(happened), what="the port closed")
    assert not device.Connected
    assert 520.0 < device.Wavelength < 800.0
