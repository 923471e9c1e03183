"""Connecting, moving with events, stopping, closing, a second client and settings through PyTango."""

import pytest
import tango

from conftest import MOVING, OFF, ON, wait_state, wait_until


def test_identify_move_with_events_a_second_client_stop_and_close(lab):
    device, sim, server = lab.device()  # at the simulator's own speed, 62.5 nm/s
    positions, states = lab.events(device, "Wavelength"), lab.events(device, "State")  # early: see Events
    # The factory memory as the identification read it: an attribute of each mapped type.
    assert device.Connected and device.FilterWheel and sim.link in device.status()
    assert (device.InstrumentNo, device.Year, device.Speed) == (12345, "21", 250)

    assert list(device.Filters) == pytest.approx([350.0, 650.0, 800.0])
    config = device.get_attribute_config("Wavelength")
    assert (config.unit, config.writable) == ("nm", tango.AttrWriteType.READ_WRITE)

    positions.wait_for(lambda nm: nm == pytest.approx(500.0), "the first Wavelength event")
    mark = len(positions)
    device.Wavelength = 560.0
    assert device.state() == MOVING  # the write returned while the grating turns
    wait_state(device, ON)
    states.wait_for(lambda s: s == MOVING, "MOVING")
    states.wait_for(lambda s: s == ON, "ON after the move", since=states.values.index(MOVING))
    moved = positions.since(mark)
    assert len(moved) >= 5 and moved == sorted(moved), moved
    assert moved[-1] == pytest.approx(560.0) == device.Wavelength
    assert device.PositionReports >= len(moved)

    # A second client reads freely during a move, and is refused what would move.
    second = server.proxy()
    device.Wavelength = 800.0
    positions.wait_for(lambda nm: nm > 580.0, "the move under way")
    mark = sim.mark(quiet=0)
    with pytest.raises(tango.DevFailed) as refused:
        second.Wavelength = 400.0
    assert "running" in refused.value.args[0].desc or "busy" in refused.value.args[0].desc.lower()
    with pytest.raises(tango.DevFailed):
        second.MoveBy(5.0)
    assert second.state() == MOVING and not {"W", "U"} & set(sim.commands(mark))

    device.Stop()  # ends the move where the grating is
    wait_state(device, ON)
    assert "k" in sim.commands(mark), "the motor was told to stop"
    assert 580.0 < device.Wavelength < 800.0 and positions.since(0)[-1] == pytest.approx(device.Wavelength)

    device.Wavelength = 400.0  # Close while moving stops the motor before the port closes
    positions.wait_for(lambda nm: nm < 560.0, "the move under way", since=len(positions))
    mark, happened = sim.mark(quiet=0), len(sim.events)
    device.Close()
    wait_state(device, OFF)
    assert "k" in sim.commands(mark), "the motor was told to stop"
    wait_until(lambda: sim.hung_up(happened), "the port closed")
    assert not device.Connected and 400.0 < device.Wavelength < 560.0


def test_move_by_settings_and_reposition(lab):
    device, sim, _ = lab.device("--rate", "4000")
    speeds, states = lab.events(device, "Speed"), lab.events(device, "State")  # early: see Events
    device.MoveBy(-12.5)
    wait_until(lambda: device.state() == ON and device.Wavelength == pytest.approx(487.5), "the step down")
    device.MoveBy(2.5)
    wait_until(lambda: device.state() == ON and device.Wavelength == pytest.approx(490.0), "the step up")

    device.Speed = 120
    assert device.state() in (tango.DevState.RUNNING, ON)  # busy with the exchange, no motor turns
    wait_state(device, ON)
    assert device.Speed == 120
    speeds.wait_for(lambda v: v == 120, "the speed's change event")
    for name, value in (("PowerOnWavelength", 435.83), ("Filters", [400.0, 700.0]), ("FilterWheel", False),
                        ("FilterWheel", True)):
        device.write_attribute(name, value)
        read = lambda: device.read_attribute(name).value  # noqa: E731
        wait_until(lambda: device.state() == ON and (list(read()) if name == "Filters" else read())
                   == pytest.approx(value, abs=0.1), f"{name} read back")

    mark, since = sim.mark(), len(states)
    device.Reposition()
    states.wait_for(lambda s: s == MOVING, "MOVING during the reposition", since=since)
    wait_state(device, ON)
    commands = sim.commands(mark)
    assert "K" in commands and "y" in commands, commands  # the reposition, then the read-out

