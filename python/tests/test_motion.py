"""Moves, scans and relative moves: return values, bad input refused unsent, each failure's exception."""

import math
import warnings

import pytest

import brivel
from conftest import sends_nothing

INF, NAN = math.inf, math.nan


def test_move_returns_the_wavelength_reached_and_the_control_method_none_or_its_refusal(mono):
    assert mono.move_to(546.07) == pytest.approx(546.07) == mono.wavelength
    assert mono.MonochromatorMoveTo(512.5) is None and mono.DblMonoWaveLen == pytest.approx(512.5)
    with pytest.raises(brivel.RefusedError) as caught:
        mono.MonochromatorMoveTo(-12.5)
    assert caught.value.text_en == "Can't move to the assigned wavelength:-12.5"
    assert caught.value.operation == "MonochromatorMoveTo"
    sends_nothing(mono, lambda: mono.MonochromatorMoveTo(NAN), ValueError)


@pytest.mark.parametrize("target, error", [
    (NAN, ValueError), (INF, ValueError), (-INF, ValueError), (-0.01, ValueError), (1e6, ValueError),
    (2**1024, ValueError), ("500", TypeError), (b"500", TypeError), (bytearray(b"\x01\xf4"), TypeError),
    (None, TypeError), (True, TypeError), ([500], TypeError), (1 + 2j, TypeError)])
def test_bad_targets(mono, target, error):
    sends_nothing(mono, lambda: mono.move_to(target), error)
    assert mono.wavelength == pytest.approx(500)


@pytest.mark.parametrize("distance, error", [
    (INF, ValueError), (2**31, ValueError), (-2**63, ValueError), (2**1024, ValueError), (100000, ValueError),
    ("1", TypeError), (b"1", TypeError), (True, TypeError),
    (-2000, brivel.OutOfRangeError)])  # 320000 steps down, more than the down button's 200000
def test_bad_distances(mono, distance, error):
    sends_nothing(mono, lambda: mono.move_by(distance), error)
    assert issubclass(brivel.OutOfRangeError, ValueError)


def test_move_by_up_down_and_zero(mono):
    assert [mono.move_by(d) for d in (2.5, -10, 0)] == pytest.approx([502.5, 492.5, 492.5])


@pytest.mark.parametrize("start, stop, step, points", [
    (520, 521, 0.25, [520, 520.25, 520.5, 520.75, 521]),
    (503, 501, -1, [503, 502, 501]),
    (510, 510.3, 0.1, [510, 510.1, 510.2, 510.3]),  # decimal steps land on hundredths
    (400, 700, 1e12, [400]), (700, 400, -1e12, [700]),  # one step beyond stop: the start alone
    (501, 501, -3, [501]),  # start is stop: one point whatever the step
    (501, 503, 1.5, [501, 502.5])])  # stop between steps is not reached
def test_the_points_of_a_scan_one_move_each(mono, start, stop, step, points):
    mark = len(mono.simulator_log)
    scan = mono.scan(start, stop, step)
    assert len(scan) == len(points)
    assert list(scan) == pytest.approx(points)
    assert len([e for e in mono.simulator_log[mark:] if e.startswith("W")]) == len(points)


@pytest.mark.parametrize("start, stop, step, error", [
    (400, 500, 0, ValueError), (500, 400, 1, ValueError), (400, NAN, 1, ValueError), (-5, 500, 1, ValueError),
    (400, 500, "1", TypeError), (500, 510, -1e308, ValueError), (500, 510, -1e-300, ValueError),
    (500, 510, -5e-324, ValueError)])
def test_bad_scans(mono, start, stop, step, error):
    sends_nothing(mono, lambda: mono.scan(start, stop, step), error)


def test_a_step_finer_than_the_motor_step_warns_once(mono):
    with pytest.warns(brivel.ResolutionWarning, match="0.00625 nm") as caught:
        scan = mono.scan(500, 500.01, 0.001)
    assert len(caught) == 1 and len(scan) == 11
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        mono.scan(500, 500.02, 0.00625)  # one motor step: fine
        mono.scan(500, 500, 0.001)  # one point: nothing to land twice


def test_a_stall_raises_the_controls_failure_and_ends_a_scan(make):
    m = make(faults=["stall"])
    with pytest.raises(brivel.OperationError) as caught:
        m.move_to(600)
    assert caught.value.text_en == "The position doesn't change, please check."
    assert caught.value.messages[0].kind == "failure"
    assert m.connected and not m.busy and m.wavelength == pytest.approx(500)
    scan = m.scan(510, 520, 5)
    with pytest.raises(brivel.OperationError):
        next(scan)
    assert list(scan) == []


@pytest.mark.parametrize("fault, call", [("vanish", lambda m: m.move_to(600)),
                                         ("silent-after=10", lambda m: m.refresh())])
def test_a_controller_lost_during_an_operation(make, fault, call):
    m = make(faults=[fault], rate=None)
    with pytest.raises(brivel.ConnectionError) as caught:
        call(m)
    assert caught.value.device == m.device and not m.connected and not m.busy
    with pytest.raises(brivel.NotConnectedError):
        m.move_to(550)
