"""Connecting, identifying, closing, and everything that keeps a connection from happening."""

import builtins
import threading

import pytest

import brivel
from conftest import FAST


class TestIdentify:
    MEMORY = {  # an instrument unlike the factory one; grating before what it converts
        "instrument_no": 4711,
        "year": 9,
        "grating": 4,            # 150 lines/mm, 0.05 nm per step
        "zero": 500,
        "power_on_nm": 435.83,   # kept as 8717 steps: 435.85 nm
        "speed": 120,
        "filters": [400, 700],
    }

    def test_every_property_after_open(self):
        m = brivel.Monochromator.simulated(memory=self.MEMORY, rate=FAST)
        m.open()
        try:
            assert m.connected is True and m.busy is False
            assert m.instrument_no == 4711
            assert m.year == "09"
            assert m.grating_lines == 150
            assert m.step_nm == pytest.approx(0.05)
            assert m.zero_offset == 500
            assert m.power_on_wavelength == pytest.approx(435.85)
            assert m.wavelength == pytest.approx(435.85)  # the motor starts at power-on
            assert m.speed == 120
            assert m.filter_wheel is True
            assert m.filters == [400.0, 700.0]
            assert m.language == "en"
            assert m.com == 1
            assert m.device.startswith("/dev/")
            assert m.is_simulated is True
        finally:
            m.close()

    def test_the_control_member_names_read_the_same(self, tmp_path):
        m = brivel.Monochromator.simulated(memory=self.MEMORY, rate=FAST)
        m.OpenCom()
        try:
            assert m.BlnMonConnectFlag is True and m.BlnBusy is False
            assert (m.LngInstrumentNo, m.IntGratingLines, m.LngZeroPos) == (4711, 150, 500)
            assert (m.DblMonoStep, m.DblOpenPos, m.DblMonoWaveLen) == (m.step_nm, 435.85, m.wavelength)
            assert (m.StrYear, m.IntUseCom, m.IntLanguage) == ("09", 1, 1)
            assert m.IntSpeed == 250  # what the host last set; the instrument's is `speed`
            m.IntLanguage = 0
            assert (m.IntLanguage, m.language) == (0, "zh")
            m.IntLanguage = 1
            m.SaveParameter(tmp_path / "p.txt")
            assert (tmp_path / "p.txt").read_text().startswith("04711\t")
            m.ShowParaFace()
            m.ShowRunFace()
        finally:
            m.CloseCom()
        assert m.BlnMonConnectFlag is False


def test_with_opens_and_closes_even_after_an_exception_and_connects_again():
    m = brivel.Monochromator.simulated(rate=FAST)
    with pytest.raises(RuntimeError, match="boom"):
        with m as inside:
            assert inside is m and m.connected
            m.move_to(505)
            raise RuntimeError("boom")
    assert not m.connected
    # The device is free again: another instrument can have it, and so can this one.
    other = brivel.Monochromator(m.device)
    other.open()
    assert other.connected and other.wavelength == pytest.approx(505)
    other.close()
    with m:
        assert m.wavelength == pytest.approx(505)


class TestCannotConnect:
    def test_a_device_that_does_not_exist(self, tmp_path):
        missing = str(tmp_path / "ttyUSB9")
        m = brivel.Monochromator(missing)
        with pytest.raises(brivel.ConnectionError) as caught:
            m.open()
        error = caught.value
        assert isinstance(error, builtins.ConnectionError)
        assert error.device == missing and missing in error.reason
        assert error.text_en == "Monochromator connection failed."
        assert error.text_zh == "单色仪连接失败!"
        assert [msg.kind for msg in error.messages] == ["failure"]
        assert not m.connected and not m.busy

    def test_a_port_already_in_use(self, mono):
        second = brivel.Monochromator(mono.device)
        with pytest.raises(brivel.ConnectionError) as caught:
            second.open()
        assert caught.value.device == mono.device
        # The instrument that has the port keeps it and works.
        assert mono.connected
        assert mono.move_to(510) == pytest.approx(510)

    def test_a_controller_that_does_not_answer(self):
        m = brivel.Monochromator.simulated(faults=["silent"])
        with pytest.raises(brivel.ConnectionError) as caught:
            m.open()
        assert m.device in caught.value.reason
        assert not m.connected and not m.busy

    def test_operations_before_open_send_nothing(self):
        m = brivel.Monochromator.simulated()
        for operation in (lambda: m.move_to(500), lambda: m.move_by(1), m.reposition, m.refresh,
                          lambda: m.scan(400, 500, 1), lambda: setattr(m, "speed", 100),
                          lambda: setattr(m, "filter_wheel", True)):
            with pytest.raises(brivel.NotConnectedError) as caught:
                operation()
            assert isinstance(caught.value, brivel.RefusedError)
            assert isinstance(caught.value, builtins.ConnectionError)
        assert m.simulator_log == []


class TestArguments:
    @pytest.mark.parametrize("kwargs, error", [
        ({"com": 0}, ValueError),
        ({"com": 17}, ValueError),
        ({"com": "3"}, TypeError),
        ({"com": 2.0}, TypeError),
        ({"device": 3}, TypeError),
        ({"device": ""}, ValueError),
        ({"device": "/dev/ttyUSB0", "com": 2}, ValueError),
        ({"confirm": "yes"}, TypeError),
    ])
    def test_constructor(self, kwargs, error):
        with pytest.raises(error):
            brivel.Monochromator(**kwargs)

    @pytest.mark.parametrize("kwargs, error", [
        ({"faults": ["nonsense"]}, ValueError),
        ({"faults": "stall"}, TypeError),
        ({"rate": 0}, ValueError),
        ({"rate": float("inf")}, ValueError),
        ({"memory": {"bogus": 1}}, ValueError),
        ({"memory": {"speed": 999}}, ValueError),
        ({"memory": ["speed"]}, TypeError),
        ({"memory": {"filters": b"\x90\x01"}}, TypeError),
        ({"memory": {"instrument_no": 2**80}}, ValueError),
        ({"rate": b"1"}, TypeError),
    ])
    def test_simulated(self, kwargs, error):
        with pytest.raises(error):
            brivel.Monochromator.simulated(**kwargs)

    def test_a_port_number_maps_to_its_device(self, monkeypatch, tmp_path):
        missing = str(tmp_path / "nothing")
        monkeypatch.setenv("BRIVEL_COM3", missing)
        m = brivel.Monochromator(com=3)
        assert m.com == 3 and m.device == missing
        with pytest.raises(brivel.ConnectionError) as caught:
            m.open()
        assert caught.value.device == missing

    def test_a_device_wins_over_the_port_variable(self, monkeypatch, tmp_path):
        monkeypatch.setenv("BRIVEL_COM1", str(tmp_path / "not-this-one"))
        sim = brivel.Monochromator.simulated()
        m = brivel.Monochromator(sim.device)
        m.open()
        assert m.connected
        m.close()


def test_an_instrument_made_on_one_thread_works_on_another(mono):
    results = []
    worker = threading.Thread(target=lambda: results.extend([mono.move_to(520), mono.wavelength]))
    worker.start()
    worker.join()
    assert results == pytest.approx([520, 520])
    assert mono.move_to(530) == pytest.approx(530)
