"""Refused operations raise DevFailed with the control's own text and send nothing."""

import os

import pytest
import tango

from conftest import OFF, ON, wait_state


def refused(operation):
    with pytest.raises(tango.DevFailed) as failure:
        operation()
    return failure.value.args[0].desc


def test_refusals_send_nothing_and_say_why(lab, tmp_path):
    device, sim, _ = lab.device("--rate", "400")
    mark = sim.mark()
    assert refused(lambda: setattr(device, "Wavelength", -5)) == "Can't move to the assigned wavelength:-5"
    assert device.state() == ON and "Can't move to the assigned wavelength:-5" in device.status()
    for name, value in (("Speed", 300), ("Speed", 0), ("PowerOnWavelength", 6553.6), ("PowerOnWavelength", -1.0),
                        ("Filters", [400.0, 50001.0]), ("Filters", [100.0] * 7)):  # 7: more than the wheel has
        refused(lambda: device.write_attribute(name, value))
    for path in (tmp_path / "missing.par", tmp_path):  # a file that cannot be read
        assert refused(lambda: device.LoadParameters(str(path)))
    assert sim.commands(mark) == [] and device.Speed == 250 and device.state() == ON

    device.SaveParameters(str(tmp_path / "mono.par"))
    assert (tmp_path / "mono.par").read_bytes().startswith(b"12345\t130\t")
    assert "Parameters saved successfully." in device.status()
    unwritable = tmp_path / "no" / "such" / "mono.par"
    refused(lambda: device.SaveParameters(str(unwritable)))
    assert not os.path.exists(unwritable)

    device.Close()
    wait_state(device, OFF)
    mark = sim.mark()
    for operation in (lambda: setattr(device, "Wavelength", 510.0), lambda: device.MoveBy(1.0), device.Refresh,
                      device.Reposition):
        assert "not connected" in refused(operation)
    assert sim.commands(mark) == [] and not device.Connected
    device.Open()
    wait_state(device, ON)


def test_questions_are_answered_as_the_property_says_and_messages_in_its_language(lab):
    device, sim, _ = lab.device("--rate", "4000", AnswerQuestions="no", Language="zh")
    mark = sim.mark()
    try:
        device.Reposition()  # it asks first; answered "no", it does not happen
    except tango.DevFailed:
        pass
    wait_state(device, ON)
    assert "K" not in sim.commands(mark)
    # Tango strings are bytes: the server sends UTF-8, which PyTango 9.3 decodes as Latin-1.
    text = refused(lambda: setattr(device, "Wavelength", -5))
    assert text.encode("latin-1").decode("utf-8") == "无法走到这个波长：-5"
