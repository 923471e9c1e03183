"""Connecting, identifying and closing; arguments; what keeps a connection from happening."""

import builtins
import threading

import pytest

import brivel

MEMORY = {"instrument_no": 4711, "year": 9, "grating": 4, "zero": 500, "power_on_nm": 435.83,
          "speed": 120, "filters": [400, 700]}  # 150 lines/mm: 0.05 nm per step


def test_properties_and_control_member_names_after_open(make, tmp_path):
    m = make(memory=MEMORY)
    assert (m.connected, m.busy, m.instrument_no, m.year, m.grating_lines, m.zero_offset) == \
        (True, False, 4711, "09", 150, 500)
    assert (m.step_nm, m.power_on_wavelength, m.wavelength) == pytest.approx((0.05, 435.85, 435.85))
    assert (m.speed, m.filter_wheel, m.filters, m.language, m.com, m.is_simulated) == \
        (120, True, [400.0, 700.0], "en", 1, True)
    assert m.device.startswith("/dev/")
    assert (m.BlnMonConnectFlag, m.BlnBusy, m.LngInstrumentNo, m.IntGratingLines, m.LngZeroPos) == \
        (True, False, 4711, 150, 500)
    assert (m.DblMonoStep, m.DblOpenPos, m.DblMonoWaveLen) == (m.step_nm, 435.85, m.wavelength)
    assert (m.StrYear, m.IntUseCom, m.IntLanguage, m.IntSpeed) == ("09", 1, 1, 250)  # IntSpeed: the host's
    m.IntLanguage = 0
    assert (m.IntLanguage, m.language) == (0, "zh")
    m.IntLanguage = 1
    m.SaveParameter(tmp_path / "p.txt")
    assert (tmp_path / "p.txt").read_text().startswith("04711\t")
    m.ShowParaFace()
    m.ShowRunFace()
    m.CloseCom()
    assert m.BlnMonConnectFlag is False


def test_with_closes_even_after_an_exception_and_the_device_is_free_again(make):
    m = make(open=False)
    with pytest.raises(RuntimeError, match="boom"):
        with m as inside:
            assert inside is m and m.connected
            m.move_to(505)
            raise RuntimeError("boom")
    assert not m.connected
    with brivel.Monochromator(m.device) as other:
        assert other.wavelength == pytest.approx(505)
    with m:
        assert m.wavelength == pytest.approx(505)


@pytest.mark.parametrize("how", ["missing", "silent", "in use"])
def test_cannot_connect(make, tmp_path, how):
    if how == "silent":
        m = make(open=False, faults=["silent"])
    else:
        m = brivel.Monochromator(str(tmp_path / "ttyUSB9") if how == "missing" else make().device)
    with pytest.raises(brivel.ConnectionError) as caught:
        m.open()
    error = caught.value
    assert isinstance(error, builtins.ConnectionError) and error.device == m.device
    assert (error.text_en, error.text_zh) == ("Monochromator connection failed.", "单色仪连接失败!")
    assert [msg.kind for msg in error.messages] == ["failure"]
    assert not m.connected and not m.busy
    if how != "in use":
        assert m.device in error.reason


def test_operations_before_open_send_nothing(make):
    m = make(open=False)
    for operation in (lambda: m.move_to(500), lambda: m.move_by(1), m.reposition, m.refresh,
                      lambda: m.scan(400, 500, 1), lambda: setattr(m, "speed", 100),
                      lambda: setattr(m, "filter_wheel", True)):
        with pytest.raises(brivel.NotConnectedError) as caught:
            operation()
        assert isinstance(caught.value, brivel.RefusedError) and isinstance(caught.value, builtins.ConnectionError)
    assert m.simulator_log == []


@pytest.mark.parametrize("factory, kwargs, error", [
    (brivel.Monochromator, {"com": 0}, ValueError), (brivel.Monochromator, {"com": 17}, ValueError),
    (brivel.Monochromator, {"com": "3"}, TypeError), (brivel.Monochromator, {"com": 2.0}, TypeError),
    (brivel.Monochromator, {"device": 3}, TypeError), (brivel.Monochromator, {"device": ""}, ValueError),
    (brivel.Monochromator, {"device": "/dev/ttyUSB0", "com": 2}, ValueError),
    (brivel.Monochromator, {"confirm": "yes"}, TypeError),
    (brivel.Monochromator.simulated, {"faults": ["nonsense"]}, ValueError),
    (brivel.Monochromator.simulated, {"faults": "stall"}, TypeError),
    (brivel.Monochromator.simulated, {"rate": 0}, ValueError),
    (brivel.Monochromator.simulated, {"rate": float("inf")}, ValueError),
    (brivel.Monochromator.simulated, {"rate": b"1"}, TypeError),
    (brivel.Monochromator.simulated, {"memory": {"bogus": 1}}, ValueError),
    (brivel.Monochromator.simulated, {"memory": {"speed": 999}}, ValueError),
    (brivel.Monochromator.simulated, {"memory": ["speed"]}, TypeError),
    (brivel.Monochromator.simulated, {"memory": {"filters": b"\x90\x01"}}, TypeError),
    (brivel.Monochromator.simulated, {"memory": {"instrument_no": 2**80}}, ValueError),
])
def test_bad_arguments(factory, kwargs, error):
    with pytest.raises(error):
        factory(**kwargs)


def test_a_port_number_maps_to_its_device_and_a_device_wins(make, monkeypatch, tmp_path):
    monkeypatch.setenv("BRIVEL_COM3", str(tmp_path / "nothing"))
    m = brivel.Monochromator(com=3)
    assert m.com == 3 and m.device == str(tmp_path / "nothing")
    with pytest.raises(brivel.ConnectionError) as caught:
        m.open()
    assert caught.value.device == m.device
    monkeypatch.setenv("BRIVEL_COM1", str(tmp_path / "not-this-one"))
    with brivel.Monochromator(make(open=False).device) as m:
        assert m.connected


def test_an_instrument_made_on_one_thread_works_on_another(mono):
    results = []
    worker = threading.Thread(target=lambda: results.extend([mono.move_to(520), mono.wavelength]))
    worker.start()
    worker.join()
    assert results == pytest.approx([520, 520])
    assert mono.move_to(530) == pytest.approx(530)
