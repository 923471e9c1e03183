"""Operations that do not block: brivel.Status, callbacks, asyncio, subscribers, other threads."""

import asyncio
import threading
import time

import pytest

import brivel
from conftest import commands_since


def test_a_move_runs_while_another_thread_reads_it_and_a_second_operation_is_refused(slow_mono):
    m = slow_mono
    before = len(m.simulator_log)
    status = m.move_to(560, wait=False)  # about a second at the simulator's own speed
    assert isinstance(status, brivel.Status) and status.operation == "move_to"
    seen, stop = [], threading.Event()

    def reader():
        while not stop.is_set():
            seen.append((m.connected, m.busy, m.wavelength))
            stop.wait(0.01)

    thread = threading.Thread(target=reader)
    thread.start()
    try:
        with pytest.raises(TimeoutError):
            status.wait(timeout=0.05)
        assert not status.done  # the timeout left it running
        deadline = time.monotonic() + 10  # the move's command goes out from the control's thread
        while not any(entry[0] == "W" for entry in m.simulator_log[before:]):
            assert time.monotonic() < deadline, "the move sent nothing"
            time.sleep(0.005)
        mark = len(m.simulator_log)
        for start in (lambda: m.move_to(600), lambda: m.move_by(1, wait=False), lambda: m.reposition(wait=False),
                      lambda: setattr(m, "speed", 100)):
            with pytest.raises(brivel.BusyError, match="busy") as caught:
                start()
            assert isinstance(caught.value, brivel.RefusedError)
        assert not any(entry[0] in "WUDKV" for entry in m.simulator_log[mark:])
        assert status.wait(timeout=30) == pytest.approx(560)
    finally:
        stop.set()
        thread.join()
    assert all(connected for connected, _, _ in seen)
    assert any(busy and 500 < nm < 560 for _, busy, nm in seen)
    assert not m.busy and m.wavelength == pytest.approx(560)


def test_wait_gives_the_exception_of_the_operation_every_time_and_checks_its_timeout(make):
    status = make(faults=["stall"]).move_to(600, wait=False)
    for timeout, error in ((-1, ValueError), ("1", TypeError), (float("nan"), ValueError)):
        with pytest.raises(error):
            status.wait(timeout)
    for timeout in (None, 0):
        with pytest.raises(brivel.OperationError) as caught:
            status.wait(timeout)
        assert caught.value.operation == "move_to"


@pytest.mark.parametrize("how", ["cancel", "stop from another thread"])
def test_cancel_or_stop_ends_the_move_and_stops_the_motor(slow_mono, how):
    m, mark = slow_mono, len(slow_mono.simulator_log)
    status = m.move_to(1500, wait=False)
    threading.Event().wait(0.3)
    if how == "cancel":
        status.cancel()
    else:
        threading.Thread(target=m.stop).start()
    with pytest.raises(brivel.StoppedError):
        status.wait(timeout=30)
    letters = commands_since(m, mark)
    assert "k" in letters[letters.index("W"):]
    assert not m.busy and 500 < m.wavelength < 1500
    status.cancel()  # ended: nothing happens
    assert m.move_by(1) == pytest.approx(m.wavelength)


def test_callbacks_once_after_the_end_off_the_main_thread_at_once_when_late_faults_reported(mono, monkeypatch):
    calls, reported, ended = [], [], threading.Event()
    monkeypatch.setattr("sys.unraisablehook", lambda report: reported.append(report.exc_value))

    def on_done(s):
        calls.append((s, s.done, s.wait(0), threading.current_thread() is not threading.main_thread()))
        ended.set()

    def bad(_):
        raise RuntimeError("a faulty callback")

    status = mono.move_to(520, wait=False)
    status.add_callback(bad)
    status.add_callback(on_done)
    assert ended.wait(30)
    status.wait()
    assert calls == [(status, True, pytest.approx(520), True)]
    assert [str(error) for error in reported] == ["a faulty callback"]
    late = []
    status.add_callback(late.append)
    assert late == [status]
    with pytest.raises(TypeError):
        status.add_callback(None)
    with pytest.raises(TypeError):
        mono.subscribe("print")


def test_the_next_move_from_a_callback(mono):
    second = []
    first = mono.move_to(510, wait=False)
    first.add_callback(lambda s: second.append(mono.move_to(s.wait(0) + 5, wait=False)))
    first.wait()
    deadline = threading.Event()
    while not second and not deadline.wait(0.01):
        pass
    assert second[0].wait(timeout=30) == pytest.approx(515)


def test_awaited_moves_share_the_loop_a_failure_raises_and_cancelling_stops_the_motor(slow_mono, mono):
    ticks = []

    async def ticker():
        while True:
            ticks.append(slow_mono.wavelength)
            await asyncio.sleep(0.02)

    async def main():
        task = asyncio.create_task(ticker())
        reached = await slow_mono.move_to(530, wait=False)  # half a second
        task.cancel()
        with pytest.raises(brivel.OperationError, match="stopped at"):
            await mono.move_to(15000, wait=False)  # beyond the travel end
        moving = asyncio.ensure_future(slow_mono.move_to(1500, wait=False))
        await asyncio.sleep(0.3)
        moving.cancel()
        with pytest.raises(asyncio.CancelledError):
            await moving
        return reached

    assert asyncio.run(main()) == pytest.approx(530)
    assert len(ticks) > 5 and any(500 < nm < 530 for nm in ticks)
    while slow_mono.busy:  # the stop sequence ends on the control's thread
        threading.Event().wait(0.01)
    assert 530 < slow_mono.wavelength < 1500
    assert slow_mono.move_by(1) == pytest.approx(slow_mono.wavelength)


def test_every_report_once_in_order_to_subscribers_of_any_thread(slow_mono):
    m = slow_mono
    got = {"here": [], "there": []}
    subscriptions = {"here": m.subscribe(got["here"].append)}
    thread = threading.Thread(target=lambda: subscriptions.update(there=m.subscribe(got["there"].append)))
    thread.start()
    thread.join()
    m.move_to(520)
    for s in subscriptions.values():
        s.unsubscribe()
        assert not s.active
    reports = got["here"]
    assert got["there"] == reports and len(reports) > 3 and reports == sorted(reports)
    assert reports[-1] == pytest.approx(520)
    m.move_to(510)
    assert got["here"] == reports  # not called after unsubscribe


def test_unsubscribe_from_another_thread_while_it_is_called(slow_mono):
    m, calls = slow_mono, []
    inside, release = threading.Event(), threading.Event()

    def slow_subscriber(nm):
        calls.append(nm)
        inside.set()
        release.wait(5)

    subscription = m.subscribe(slow_subscriber)
    status = m.move_to(520, wait=False)
    assert inside.wait(30)
    threading.Timer(0.2, release.set).start()
    subscription.unsubscribe()  # returns once the call in progress has ended
    assert release.is_set()
    count = len(calls)
    status.wait()
    m.move_to(510)
    assert len(calls) == count


def test_a_subscriber_that_raises_keeps_getting_reports(mono, monkeypatch):
    calls, reported = [], []
    monkeypatch.setattr("sys.unraisablehook", lambda report: reported.append(report.exc_value))

    def faulty(nm):
        calls.append(nm)
        raise ValueError("a faulty subscriber")

    with mono.subscribe(faulty):
        mono.move_to(510)
    assert len(calls) > 1 and len(reported) == len(calls)
