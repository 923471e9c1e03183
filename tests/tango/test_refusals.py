"""Refused operations raise DevFailed with the control's own text and send nothing."""

import os

import pytest
import tango

from conftest import wait_state, wait_until

ON = tango.DevState.ON


def description(failure):
    return failure.value.args[0].desc


def test_a_negative_target_is_refused_with_the_controls_message(quick):
    device, sim, _ = quick
    mark = sim.mark()
    with pytest.raises(tango.DevFailed) as refused:
        device.Wavelength = -5
    assert description(refused) == "Can't move to the assigned wavelength:-5"
    assert device.state() == ON
    assert sim.commands(mark) == [], "nothing was sent"
    assert "Can't move to the assigned wavelength:-5" in device.status()


def test_writes_outside_the_attribute_limits_are_refused(quick):
    device, sim, _ = quick
    mark = sim.mark()
    for name, value in (("Speed", 300), ("Speed", 0), ("PowerOnWavelength", 6553.6),
                        ("PowerOnWavelength", -1.0), ("Filters", [400.0, 50001.0])):
        with pytest.raises(tango.DevFailed):
            device.write_attribute(name, value)
    with pytest.raises(tango.DevFailed):
        device.write_attribute("Filters", [100.0] * 7)  # more filters than the wheel has
    assert sim.commands(mark) == []
    assert device.Speed == 250


def test_operations_need_a_connection(quick):
    device, sim, _ = quick
    device.Close()
    wait_state(device, tango.DevState.OFF)
    assert not device.Connected
    mark = sim.mark()
    for operation in (lambda: setattr(device, "Wavelength", 510.0), lambda: device.MoveBy(1.0),
                      lambda: device.Refresh(), lambda: device.Reposition()):
        with pytest.raises(tango.DevFailed) as refused:
            operation()
        assert "not connected" in description(refused)
    assert sim.commands(mark) == []
    device.Open()
    wait_state(device, ON)


def test_parameters_are_saved_and_a_path_that_cannot_be_read_is_refused(quick, tmp_path):
    device, sim, _ = quick
    saved = tmp_path / "mono.par"
    device.SaveParameters(str(saved))
    assert saved.read_bytes().startswith(b"12345\t130\t")
    assert "Parameters saved successfully." in device.status()

    mark = sim.mark()
    for path in (tmp_path / "missing.par", tmp_path):
        with pytest.raises(tango.DevFailed) as refused:
            device.LoadParameters(str(path))
        assert description(refused)
    assert sim.commands(mark) == [], "nothing of an unreadable file was sent"
    assert device.state() == ON

    unwritable = tmp_path / "no" / "such" / "folder" / "mono.par"
    with pytest.raises(tango.DevFailed):
        device.SaveParameters(str(unwritable))
    assert not os.path.exists(unwritable)


def test_questions_are_answered_as_the_property_says(lab):
    sim = lab.sim("--rate", "4000")
    server = lab.server(sim.link, AnswerQuestions="no")
    device = server.proxy()
    wait_state(device, ON)
    mark = sim.mark()
    # The reposition asks first; answered "no", it does not happen.
    try:
        device.Reposition()
    except tango.DevFailed:
        pass
    wait_until(lambda: device.state() == ON, what="idle")
    assert "K" not in sim.commands(mark)


def test_chinese_messages(lab):
    sim = lab.sim()
    server = lab.server(sim.link, Language="zh")
    device = server.proxy()
    wait_state(device, ON)
    with pytest.raises(tango.DevFailed) as refused:
        device.Wavelength = -5
    # Tango strings are bytes: the server sends UTF-8, which PyTango 9.3 decodes as Latin-1.
    assert description(refused).encode("latin-1").decode("utf-8") == "无法走到这个波长：-5"
