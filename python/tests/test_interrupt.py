"""Ctrl-C and stop() during long calls: the motor stops as the stop button stops it,
the call ends with busy False, and the script sees KeyboardInterrupt (or StoppedError).

The SIGINT comes from a timer thread, so these tests also prove that a long call lets
other Python threads run: a call that held the GIL would never let the timer fire.
"""

import os
import signal
import threading

import pytest

import brivel
from conftest import commands_since


def ctrl_c_after(seconds):
    timer = threading.Timer(seconds, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    return timer


def assert_stopped_like_the_stop_button(m, mark, long_command):
    letters = commands_since(m, mark)
    assert long_command in letters
    after = letters[letters.index(long_command):]
    assert "k" in after, letters
    # After "k", the closing position request.
    assert after[after.index("k") + 1] == "w"


@pytest.mark.usefixtures("sigint_raises")
class TestCtrlC:
    @pytest.mark.parametrize("command", ["W", "K"])
    def test_during_a_move_or_a_reposition(self, slow_mono, command):
        m = slow_mono
        mark = len(m.simulator_log)
        timer = ctrl_c_after(0.3)
        with pytest.raises(KeyboardInterrupt):
            if command == "W":
                m.move_to(1500)  # 16 s at the simulator's own speed
            else:
                m.reposition()   # 8 s down to the reference
        timer.join()
        assert not m.busy and m.connected
        assert_stopped_like_the_stop_button(m, mark, command)
        if command == "W":
            assert 500 < m.wavelength < 1500   # stopped on the way up
        else:
            assert 0 < m.wavelength < 500      # stopped on the way down to the reference
        # The motor really stands: two fresh position reports find it at one place.
        m.refresh()
        stopped_at = m.wavelength
        m.refresh()
        assert m.wavelength == stopped_at
        # And the instrument takes the next call.
        assert m.move_to(stopped_at + 1) == pytest.approx(stopped_at + 1)

    def test_while_waiting_for_a_status(self, slow_mono):
        m = slow_mono
        mark = len(m.simulator_log)
        status = m.move_to(1500, wait=False)
        timer = ctrl_c_after(0.3)
        with pytest.raises(KeyboardInterrupt):
            status.wait()
        timer.join()
        # The operation was stopped, not left running behind the script's back.
        assert status.done and not m.busy
        with pytest.raises(brivel.StoppedError):
            status.wait(0)
        assert_stopped_like_the_stop_button(m, mark, "W")

    def test_during_a_scan(self, slow_mono):
        m = slow_mono
        reached = []
        timer = ctrl_c_after(0.5)
        with pytest.raises(KeyboardInterrupt):
            for nm in m.scan(500.5, 1500, 100):  # the second step takes 1.6 s
                reached.append(nm)
        timer.join()
        assert reached == pytest.approx([500.5])
        assert not m.busy and 500.5 < m.wavelength < 600.5

    def test_during_a_parameter_download(self, slow_mono, tmp_path):
        m = slow_mono
        saved = tmp_path / "params.txt"
        m.save_parameters(saved)
        mark = len(m.simulator_log)
        timer = ctrl_c_after(0.3)
        with pytest.raises(KeyboardInterrupt):
            m.load_parameters(saved)  # a few seconds of settings, then a reset
        timer.join()
        assert not m.busy and m.connected
        # It stopped among the settings: the reset that ends a download never went out.
        letters = commands_since(m, mark)
        assert letters[0] == "N" and "K" not in letters

    def test_during_a_connection(self):
        # A controller that answers slowly keeps the identification going for a while.
        m = brivel.Monochromator.simulated(faults=["slow=0.2"])
        timer = ctrl_c_after(0.3)
        with pytest.raises(KeyboardInterrupt):
            m.open()
        timer.join()
        assert not m.connected and not m.busy

    def test_a_handler_that_raises_something_else(self, slow_mono):
        # Whatever the signal handler raises is what the script sees.
        class Alarm(Exception):
            pass

        def handler(signum, frame):
            raise Alarm()

        previous = signal.signal(signal.SIGINT, handler)
        try:
            timer = ctrl_c_after(0.3)
            with pytest.raises(Alarm):
                slow_mono.move_to(1500)
            timer.join()
        finally:
            signal.signal(signal.SIGINT, previous)
        assert not slow_mono.busy


def test_a_stop_while_idle_sends_nothing_and_is_forgotten(mono):
    mark = len(mono.simulator_log)
    stopper = threading.Thread(target=mono.stop)
    stopper.start()
    stopper.join()
    mono.stop()
    assert mono.simulator_log[mark:] == []
    assert mono.move_to(520) == pytest.approx(520)
