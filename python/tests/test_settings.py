"""Settings, questions, messages, the filter wheel, parameter files: checks and each refusal's exception."""

import logging

import pytest

import brivel
from conftest import commands_since, sends_nothing


@pytest.mark.parametrize("name, value, error", [
    ("speed", 0, ValueError), ("speed", 251, ValueError), ("speed", -5, ValueError), ("speed", 1.5, TypeError),
    ("speed", True, TypeError), ("speed", "100", TypeError), ("IntSpeed", 70000, ValueError),
    ("power_on_wavelength", 6553.6, ValueError), ("power_on_wavelength", -1, ValueError),
    ("power_on_wavelength", float("nan"), ValueError), ("language", "de", ValueError), ("language", 1, TypeError),
    ("filters", [], ValueError), ("filters", [100] * 7, ValueError), ("filters", [-1], ValueError),
    ("filters", [50000.5], ValueError), ("filters", [float("nan")], ValueError), ("filters", [2**1024], ValueError),
    ("filters", "350", TypeError), ("filters", 350, TypeError), ("filters", ["350"], TypeError),
    ("filters", b"\x90\x01", TypeError), ("filters", bytearray(b"\x90"), TypeError),  # bytes are no numbers
    ("filters", memoryview(b"\x90"), TypeError), ("filters", [b"\x90"], TypeError)])
def test_bad_settings_send_nothing(mono, name, value, error):
    sends_nothing(mono, lambda: setattr(mono, name, value), error)
    assert (mono.speed, mono.language, mono.filters) == (250, "en", [350.0, 650.0, 800.0])


def test_settings_are_read_back_and_the_control_property_refuses_with_its_message(mono):
    mono.speed = 120
    assert mono.speed == 120 and mono.IntSpeed == 120
    mono.filter_wheel = False
    assert mono.filter_wheel is False
    mono.filter_wheel = True
    mono.filters = [800, 350, 650.5]
    assert mono.filter_wheel is True and mono.filters == [350.0, 650.5, 800.0]
    with pytest.raises(brivel.RefusedError) as caught:
        mono.DblOpenPos = 7000
    assert caught.value.text_en == "Please enter a value between 0 and 6553.5."


def test_a_wheel_that_is_not_set_up_refuses_with_the_controls_message(make):
    m = make(memory={"filter_state": 2})
    assert m.filter_wheel is None and m.filters == []
    with pytest.raises(brivel.RefusedError) as caught:
        m.filter_wheel = True
    assert caught.value.text_en == "Please set the parameters for filter wheel first."
    m.filters = [420]  # writing a table sets the wheel up, switched off
    assert m.filter_wheel is False and m.filters == [420.0]


def test_questions_default_to_yes_and_are_logged_with_their_messages(mono, caplog):
    mark = len(mono.simulator_log)
    with caplog.at_level(logging.INFO, logger="brivel"):
        mono.power_on_wavelength = 435.83
    assert "M" in commands_since(mono, mark) and mono.power_on_wavelength == pytest.approx(435.83)
    assert "Will the initial wavelength be changed to 435.83 nm? -> yes" in caplog.messages
    assert "Initial wavelength set successfully." in caplog.messages


def test_a_callable_sees_the_question_and_decides_and_false_declines_everything(make):
    asked = []
    m = make(confirm=lambda question: asked.append(question) or False)
    mark = len(m.simulator_log)
    m.reposition()  # declined: no error, nothing sent
    m.power_on_wavelength = 600
    assert asked == ["Do you really want to reposition?", "Will the initial wavelength be changed to 600 nm?"]
    assert commands_since(m, mark) == ["m"]  # the declined change only re-reads the stored value
    assert m.power_on_wavelength == pytest.approx(500)
    m = make(confirm=False)
    m.filter_wheel = False
    assert m.filter_wheel is True


def test_an_exception_of_the_callable_reaches_the_script(make):
    def confirm(question):
        raise LookupError("no answer")

    m = make(confirm=confirm)
    sends_nothing(m, m.reposition, LookupError)
    assert not m.busy


def test_chinese(make):
    m = make(faults=["stall"])
    m.language = "zh"
    assert m.language == "zh" and m.IntLanguage == 0
    with pytest.raises(brivel.OperationError) as caught:
        m.move_to(600)
    assert str(caught.value) == caught.value.text == "单色仪位置无变化，请检查！"
    assert caught.value.text_en == "The position doesn't change, please check."
    m.language = "en"


class TestParameterFiles:
    def test_save_then_load_from_a_path_or_a_string(self, mono, tmp_path):
        path = tmp_path / "params.txt"
        mono.save_parameters(path)
        assert path.read_bytes().startswith(b"12345\t130\t")
        mark = len(mono.simulator_log)
        mono.load_parameters(str(path))
        assert commands_since(mono, mark)[0] == "N"
        assert mono.connected and not mono.busy

    def test_a_file_that_does_not_exist(self, mono, tmp_path):
        sends_nothing(mono, lambda: mono.load_parameters(tmp_path / "missing.txt"), FileNotFoundError)

    @pytest.mark.parametrize("content, where", [
        (b"", "empty"),
        (b"\x7fELF\x02\x01\x01\x00" + bytes(range(256)), "text"),                # binary
        (b"04711\t130\tabc\t1200\t09\t435.85\t0\t\r\n2\t\r\n", "line 1 field 3"),
    ])
    def test_a_file_that_is_no_parameter_file_sends_nothing(self, mono, tmp_path, content, where):
        path = tmp_path / "notes.txt"
        path.write_bytes(content)
        error = sends_nothing(mono, lambda: mono.load_parameters(path), ValueError)  # not even the first field
        assert where in str(error) and "nothing was sent" in str(error) and not isinstance(error, brivel.BrivelError)
        assert len(str(error)) < 400 and mono.connected  # the file is not repeated at length

    def test_saving_where_no_file_can_be(self, mono, tmp_path):
        with pytest.raises(brivel.OperationError) as caught:
            mono.save_parameters(tmp_path / "no" / "such" / "folder.txt")
        assert caught.value.text_en == "Failed to save parameters."

    @pytest.mark.parametrize("path, error", [(None, TypeError), (3, TypeError), ("", ValueError)])
    def test_bad_paths(self, mono, path, error):
        with pytest.raises(error):
            mono.save_parameters(path)
