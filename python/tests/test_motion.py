"""Moves, scans and relative moves, what the controller reports, and bad input."""

import math
import warnings

import pytest

import brivel
from conftest import FAST


class TestMoveTo:
    def test_move_reports_the_wavelength_reached_and_the_control_method_returns_none(self, mono):
        assert mono.move_to(546.07) == pytest.approx(546.07)
        assert mono.wavelength == pytest.approx(546.07) and not mono.busy
        assert mono.MonochromatorMoveTo(512.5) is None
        assert mono.DblMonoWaveLen == pytest.approx(512.5)

    def test_a_refusal_of_the_control_method(self, mono):
        # The control itself refuses a negative target with its message.
        with pytest.raises(brivel.RefusedError) as caught:
            mono.MonochromatorMoveTo(-12.5)
        assert caught.value.text_en == "Can't move to the assigned wavelength:-12.5"
        assert caught.value.operation == "MonochromatorMoveTo"

    @pytest.mark.parametrize("target, error", [
        (float("nan"), ValueError),
        (float("inf"), ValueError),
        (-float("inf"), ValueError),
        (-0.01, ValueError),
        (1e6, ValueError),
        (2**1024, ValueError),
        ("500", TypeError),
        (b"500", TypeError),
        (bytearray(b"\x01\xf4"), TypeError),
        (None, TypeError),
        (True, TypeError),
        ([500], TypeError),
        (1 + 2j, TypeError),
    ])
    def test_bad_targets_are_refused_before_anything_is_sent(self, mono, target, error):
        mark = len(mono.simulator_log)
        with pytest.raises(error):
            mono.move_to(target)
        assert mono.simulator_log[mark:] == []
        assert mono.wavelength == pytest.approx(500) and not mono.busy

        with pytest.raises(ValueError):
            mono.MonochromatorMoveTo(float("nan"))


class TestScan:
    def test_scan_moves_step_by_step_and_yields_the_reported_wavelengths(self, mono):
        mark = len(mono.simulator_log)
        reached = list(mono.scan(520, 521, 0.25))
        assert reached == pytest.approx([520, 520.25, 520.5, 520.75, 521])
        moves = [entry for entry in mono.simulator_log[mark:] if entry.startswith("W")]
        assert len(moves) == 5

    @pytest.mark.parametrize("start, stop, step, error", [
        (400, 500, 0, ValueError),
        (400, 500, -1, ValueError),
        (500, 400, 1, ValueError),
        (400, math.nan, 1, ValueError),
        (-5, 500, 1, ValueError),
        (400, 500, "1", TypeError),
    ])
    def test_bad_scans_are_refused_before_the_first_move(self, mono, start, stop, step, error):
        mark = len(mono.simulator_log)
        with pytest.raises(error):
            mono.scan(start, stop, step)
        assert mono.simulator_log[mark:] == []

    @pytest.mark.parametrize("start, stop, step, points", [
        (503, 501, -1, [503, 502, 501]),   # downwards
        (510, 510.3, 0.1, [510, 510.1, 510.2, 510.3]),   # decimal steps land on hundredths
        (400, 700, 1e12, [400]),          # one step beyond stop: the start alone
        (500, 500, -3, [500]),            # start is stop: one point whatever the step
        (500, 502, 1.5, [500, 501.5]),    # stop between steps is not reached
        (700, 400, -1e12, [700]),
    ])
    def test_the_points_of_a_scan(self, mono, start, stop, step, points):
        scan = mono.scan(start, stop, step)
        assert len(scan) == len(points)
        assert list(scan) == pytest.approx(points)

    @pytest.mark.parametrize("step", [-1e308, -20, -1e-300, 5e-324 * -1])
    def test_a_step_of_the_wrong_sign_never_moves(self, mono, step):
        mark = len(mono.simulator_log)
        with pytest.raises(ValueError, match="leads away"):
            mono.scan(500, 510, step)
        assert mono.simulator_log[mark:] == []

    def test_a_step_finer_than_the_motor_step_warns_once(self, mono):
        with pytest.warns(brivel.ResolutionWarning, match="0.00625 nm") as caught:
            scan = mono.scan(500, 500.01, 0.001)
        assert len(caught) == 1 and len(scan) == 11
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            mono.scan(500, 500.02, 0.00625)     # one motor step: fine
            mono.scan(500, 500, 0.001)          # one point: nothing to land twice

    def test_a_failed_step_ends_the_scan(self):
        m = brivel.Monochromator.simulated(faults=["stall"], rate=FAST)
        with m:
            scan = m.scan(510, 520, 5)
            with pytest.raises(brivel.OperationError):
                next(scan)
            assert list(scan) == []


class TestMoveBy:
    def test_up_down_and_zero(self, mono):
        assert mono.move_by(2.5) == pytest.approx(502.5)
        assert mono.move_by(-10) == pytest.approx(492.5)
        assert mono.move_by(0) == pytest.approx(492.5)

    def test_beyond_the_buttons_range(self, mono):
        mark = len(mono.simulator_log)
        # 2000 nm down is 320000 steps, more than the down button's 200000.
        with pytest.raises(brivel.OutOfRangeError) as caught:
            mono.move_by(-2000)
        assert isinstance(caught.value, ValueError)
        assert mono.simulator_log[mark:] == []

    @pytest.mark.parametrize("distance, error", [
        (math.inf, ValueError),
        (2**31, ValueError),        # no instrument moves that far: not a failed operation
        (-2**63, ValueError),
        (2**1024, ValueError),      # too large for a float
        (100000, ValueError),
        ("1", TypeError),
        (b"1", TypeError),
        (True, TypeError),
    ])
    def test_bad_distances(self, mono, distance, error):
        mark = len(mono.simulator_log)
        with pytest.raises(error):
            mono.move_by(distance)
        assert mono.simulator_log[mark:] == []


class TestFaults:
    def test_a_stalled_motor_raises_within_its_passes(self):
        m = brivel.Monochromator.simulated(faults=["stall"], rate=FAST)
        with m:
            with pytest.raises(brivel.OperationError) as caught:
                m.move_to(600)
            assert caught.value.text_en == "The position doesn't change, please check."
            assert caught.value.messages[0].kind == "failure"
            assert m.connected and not m.busy
            assert m.wavelength == pytest.approx(500)

    def test_a_controller_that_vanishes_mid_move(self):
        m = brivel.Monochromator.simulated(faults=["vanish"])
        m.open()
        with pytest.raises(brivel.ConnectionError) as caught:
            m.move_to(600)
        assert caught.value.device == m.device
        assert not m.connected and not m.busy
        with pytest.raises(brivel.NotConnectedError):
            m.move_to(550)

    def test_refresh_of_a_controller_gone_silent(self):
        # The controller answers identification and the filter read-back, then nothing.
        m = brivel.Monochromator.simulated(faults=["silent-after=10"], rate=FAST)
        m.open()
        with pytest.raises(brivel.ConnectionError):
            m.refresh()
        assert not m.connected

