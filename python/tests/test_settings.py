"""Settings, questions, messages, the filter wheel and parameter files."""

import logging

import pytest

import brivel
from conftest import FAST, commands_since


class TestSpeed:
    def test_set_and_read_back(self, mono):
        mono.speed = 120
        assert mono.speed == 120 and mono.IntSpeed == 120
        with pytest.raises(ValueError):
            mono.IntSpeed = 70000  # not a 16-bit number

    @pytest.mark.parametrize("speed, error", [(0, ValueError), (251, ValueError), (-5, ValueError),
                                              (1.5, TypeError), (True, TypeError), ("100", TypeError)])
    def test_bad_speeds_send_nothing(self, mono, speed, error):
        mark = len(mono.simulator_log)
        with pytest.raises(error):
            mono.speed = speed
        assert mono.simulator_log[mark:] == [] and mono.speed == 250


class TestQuestions:
    def test_default_answers_yes(self, mono):
        mark = len(mono.simulator_log)
        mono.power_on_wavelength = 435.83
        assert "M" in commands_since(mono, mark)
        assert mono.power_on_wavelength == pytest.approx(435.83)

    def test_a_callable_sees_the_question_and_decides(self):
        asked = []

        def confirm(question):
            asked.append(question)
            return False

        m = brivel.Monochromator.simulated(rate=FAST, confirm=confirm)
        with m:
            mark = len(m.simulator_log)
            m.reposition()  # declined: no error, nothing sent
            m.power_on_wavelength = 600
            assert asked == ["Do you really want to reposition?",
                             "Will the initial wavelength be changed to 600 nm?"]
            # The declined power-on change only re-reads the stored value.
            assert commands_since(m, mark) == ["m"]
            assert m.power_on_wavelength == pytest.approx(500)

    def test_false_declines_everything(self):
        m = brivel.Monochromator.simulated(rate=FAST, confirm=False)
        with m:
            m.filter_wheel = False
            assert m.filter_wheel is True

    def test_an_exception_of_the_callable_reaches_the_script(self):
        def confirm(question):
            raise LookupError("no answer")

        m = brivel.Monochromator.simulated(rate=FAST, confirm=confirm)
        with m:
            mark = len(m.simulator_log)
            with pytest.raises(LookupError, match="no answer"):
                m.reposition()
            assert m.simulator_log[mark:] == [] and not m.busy


class TestMessages:
    def test_success_goes_to_the_logger(self, mono, tmp_path, caplog):
        with caplog.at_level(logging.INFO, logger="brivel"):
            mono.save_parameters(tmp_path / "p.txt")
        assert "Parameters saved successfully." in caplog.messages

    def test_questions_and_answers_are_logged(self, mono, caplog):
        with caplog.at_level(logging.INFO, logger="brivel"):
            mono.power_on_wavelength = 510
        assert "Will the initial wavelength be changed to 510 nm? -> yes" in caplog.messages
        assert "Initial wavelength set successfully." in caplog.messages

    def test_chinese(self):
        m = brivel.Monochromator.simulated(faults=["stall"], rate=FAST)
        with m:
            m.language = "zh"
            try:
                assert m.language == "zh" and m.IntLanguage == 0
                with pytest.raises(brivel.OperationError) as caught:
                    m.move_to(600)
                assert str(caught.value) == caught.value.text == "单色仪位置无变化，请检查！"
                assert caught.value.text_en == "The position doesn't change, please check."
            finally:
                m.language = "en"

    @pytest.mark.parametrize("language, error", [("de", ValueError), (1, TypeError)])
    def test_bad_languages(self, mono, language, error):
        with pytest.raises(error):
            mono.language = language
        assert mono.language == "en"

    def test_the_power_on_wavelength_has_a_range(self, mono):
        mark = len(mono.simulator_log)
        for bad in (6553.6, -1, float("nan")):
            with pytest.raises(ValueError):
                mono.power_on_wavelength = bad
        assert mono.simulator_log[mark:] == []

    def test_the_control_property_refuses_with_its_message(self, mono):
        with pytest.raises(brivel.RefusedError) as caught:
            mono.DblOpenPos = 7000
        assert caught.value.text_en == "Please enter a value between 0 and 6553.5."


class TestFilterWheel:
    def test_switch_off_and_on_and_write_the_table(self, mono):
        mono.filter_wheel = False
        assert mono.filter_wheel is False
        mono.filter_wheel = True
        assert mono.filter_wheel is True
        mono.filters = [800, 350, 650.5]
        assert mono.filters == [350.0, 650.5, 800.0]

    @pytest.mark.parametrize("table, error", [
        ([], ValueError),
        ([100] * 7, ValueError),
        ([-1], ValueError),
        ([50000.5], ValueError),
        ([float("nan")], ValueError),
        ("350", TypeError),
        (350, TypeError),
        (["350"], TypeError),
        (b"\x90\x01", TypeError),         # bytes are not the numbers 144 and 1
        (bytearray(b"\x90"), TypeError),
        (memoryview(b"\x90"), TypeError),
        ([b"\x90"], TypeError),
        ([2**1024], ValueError),
    ])
    def test_bad_tables_send_nothing(self, mono, table, error):
        mark = len(mono.simulator_log)
        with pytest.raises(error):
            mono.filters = table
        assert mono.simulator_log[mark:] == []
        assert mono.filters == [350.0, 650.0, 800.0]

    def test_a_wheel_that_is_not_set_up_refuses_with_the_controls_message(self):
        m = brivel.Monochromator.simulated(memory={"filter_state": 2}, rate=FAST)
        with m:
            assert m.filter_wheel is None and m.filters == []
            with pytest.raises(brivel.RefusedError) as caught:
                m.filter_wheel = True
            assert caught.value.text_en == "Please set the parameters for filter wheel first."
            # Writing a table sets the wheel up (switched off).
            m.filters = [420]
            assert m.filter_wheel is False and m.filters == [420.0]


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
        mark = len(mono.simulator_log)
        with pytest.raises(FileNotFoundError):
            mono.load_parameters(tmp_path / "missing.txt")
        assert mono.simulator_log[mark:] == []

    @pytest.mark.parametrize("content, where", [
        (b"", "empty"),
        (b"\x7fELF\x02\x01\x01\x00" + bytes(range(256)), "text"),                # binary
        (b"04711\t130\tabc\t1200\t09\t435.85\t0\t\r\n2\t\r\n", "line 1 field 3"),
    ])
    def test_a_file_that_is_no_parameter_file_sends_nothing(self, mono, tmp_path, content, where):
        path = tmp_path / "notes.txt"
        path.write_bytes(content)
        mark = len(mono.simulator_log)
        with pytest.raises(ValueError) as caught:
            mono.load_parameters(path)
        assert where in str(caught.value) and "nothing was sent" in str(caught.value)
        assert not isinstance(caught.value, brivel.BrivelError)
        # Not even the first field went out, and the file is not repeated at length.
        assert mono.simulator_log[mark:] == []
        assert len(str(caught.value)) < 400
        assert mono.connected and not mono.busy

    def test_saving_where_no_file_can_be(self, mono, tmp_path):
        with pytest.raises(brivel.OperationError) as caught:
            mono.save_parameters(tmp_path / "no" / "such" / "folder.txt")
        assert caught.value.text_en == "Failed to save parameters."

    @pytest.mark.parametrize("path, error", [(None, TypeError), (3, TypeError), ("", ValueError)])
    def test_bad_paths(self, mono, path, error):
        with pytest.raises(error):
            mono.save_parameters(path)
