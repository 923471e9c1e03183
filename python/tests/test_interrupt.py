"""Ctrl-C and stop() during long calls: the motor stops as by the stop button, busy ends, the script
sees KeyboardInterrupt. The SIGINT comes from a timer thread: a call holding the GIL would block it."""

import os
import signal
import threading

import pytest

import brivel
from conftest import commands_since

pytestmark = pytest.mark.usefixtures("sigint_raises")


def interrupted(call, seconds=0.3, raises=KeyboardInterrupt):
    timer = threading.Timer(seconds, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    with pytest.raises(raises):
        call()
    timer.join()


def assert_stopped_like_the_stop_button(m, mark, long_command):
    letters = commands_since(m, mark)
    after = letters[letters.index(long_command):]
    assert after[after.index("k") + 1] == "w", letters  # "k", then the closing position request


@pytest.mark.parametrize("command", ["W", "K"])
def test_during_a_move_or_a_reposition(slow_mono, command):
    m, mark = slow_mono, len(slow_mono.simulator_log)
    interrupted(lambda: m.move_to(1500) if command == "W" else m.reposition())  # 16 s up / 8 s down
    assert not m.busy and m.connected
    assert_stopped_like_the_stop_button(m, mark, command)
    assert (500 < m.wavelength < 1500) if command == "W" else (0 < m.wavelength < 500)
    m.refresh()
    stopped_at = m.wavelength
    m.refresh()
    assert m.wavelength == stopped_at  # the motor really stands
    assert m.move_to(stopped_at + 1) == pytest.approx(stopped_at + 1)


def test_while_waiting_for_a_status(slow_mono):
    m, mark = slow_mono, len(slow_mono.simulator_log)
    status = m.move_to(1500, wait=False)
    interrupted(status.wait)
    assert status.done and not m.busy  # stopped, not left running behind the script's back
    with pytest.raises(brivel.StoppedError):
        status.wait(0)
    assert_stopped_like_the_stop_button(m, mark, "W")


def test_during_a_scan(slow_mono):
    reached = []
    interrupted(lambda: reached.extend(slow_mono.scan(500.5, 1500, 100)), 0.5)  # step 2 takes 1.6 s
    assert reached == pytest.approx([500.5])
    assert not slow_mono.busy and 500.5 < slow_mono.wavelength < 600.5


def test_during_a_parameter_download(slow_mono, tmp_path):
    m, saved = slow_mono, tmp_path / "params.txt"
    m.save_parameters(saved)
    mark = len(m.simulator_log)
    interrupted(lambda: m.load_parameters(saved))  # a few seconds of settings, then a reset
    letters = commands_since(m, mark)
    assert not m.busy and m.connected
    assert letters[0] == "N" and "K" not in letters  # the closing reset never went out


def test_during_a_connection(make):
    m = make(open=False, faults=["slow=0.2"], rate=None)  # a slow identification
    interrupted(m.open)
    assert not m.connected and not m.busy


def test_a_handler_that_raises_something_else(slow_mono):
    class Alarm(Exception):
        pass

    def handler(signum, frame):
        raise Alarm()

    previous = signal.signal(signal.SIGINT, handler)
    try:
        interrupted(lambda: slow_mono.move_to(1500), raises=Alarm)
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
