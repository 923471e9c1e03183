"""Operations that do not block: brivel.Status, callbacks, asyncio, subscribers, other
threads, and the honest end of a move."""

import asyncio
import threading
import time

import pytest

import brivel
from conftest import FAST, commands_since


class TestStatus:
    def test_a_move_runs_while_another_thread_reads_it_and_waits_with_a_timeout(self, slow_mono):
        m = slow_mono
        status = m.move_to(560, wait=False)   # about a second at the simulator's own speed
        assert isinstance(status, brivel.Status) and status.operation == "move_to"
        seen, stop = [], threading.Event()

        def reader():
            while not stop.is_set():
                seen.append((m.connected, m.busy, m.wavelength))
                stop.wait(0.01)

        thread = threading.Thread(target=reader)
        thread.start()
        with pytest.raises(TimeoutError):
            status.wait(timeout=0.05)
        assert not status.done   # the timeout left it running
        try:
            assert status.wait(timeout=30) == pytest.approx(560)
        finally:
            stop.set()
            thread.join()
        assert all(connected for connected, _, _ in seen)
        assert any(busy and 500 < nm < 560 for _, busy, nm in seen)
        assert not m.busy and m.wavelength == pytest.approx(560)

    def test_wait_gives_the_exception_of_the_operation_every_time(self):
        m = brivel.Monochromator.simulated(faults=["stall"], rate=FAST)
        with m:
            status = m.move_to(600, wait=False)
            with pytest.raises(brivel.OperationError) as caught:
                status.wait()
            assert caught.value.operation == "move_to"
            with pytest.raises(brivel.OperationError):
                status.wait(0)

    @pytest.mark.parametrize("timeout, error", [(-1, ValueError), ("1", TypeError), (float("nan"), ValueError)])
    def test_bad_timeouts(self, mono, timeout, error):
        status = mono.move_to(501, wait=False)
        with pytest.raises(error):
            status.wait(timeout)
        status.wait()

    def test_a_second_operation_meanwhile_is_refused_at_once(self, slow_mono):
        m = slow_mono
        before = len(m.simulator_log)
        status = m.move_to(560, wait=False)
        # The move's own command goes out from the control's thread: wait for it first.
        deadline = time.monotonic() + 10
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
        assert status.wait() == pytest.approx(560)

    @pytest.mark.parametrize("how", ["cancel", "stop from another thread"])
    def test_cancel_or_stop_ends_the_move_and_stops_the_motor(self, slow_mono, how):
        m = slow_mono
        mark = len(m.simulator_log)
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
        status.cancel()   # ended: nothing happens
        assert m.move_by(1) == pytest.approx(m.wavelength)


class TestCallbacks:
    def test_called_once_after_the_end_off_the_main_thread_and_at_once_when_late(self, mono):
        calls = []
        ended = threading.Event()
        status = mono.move_to(520, wait=False)

        def on_done(s):
            calls.append((s, s.done, s.wait(0), threading.current_thread() is not threading.main_thread()))
            ended.set()

        status.add_callback(on_done)
        assert ended.wait(30)
        status.wait()
        assert len(calls) == 1
        s, done, nm, elsewhere = calls[0]
        assert s is status and done and nm == pytest.approx(520) and elsewhere
        late = []
        status.add_callback(late.append)
        assert late == [status]

    def test_a_callback_that_raises_does_not_stop_the_others(self, mono, monkeypatch):
        seen, reported = [], []
        monkeypatch.setattr("sys.unraisablehook", lambda report: reported.append(report.exc_value))

        def bad(_):
            raise RuntimeError("a faulty callback")

        status = mono.move_to(510, wait=False)
        status.add_callback(bad)
        status.add_callback(lambda s: seen.append(s.done))
        status.wait()
        mono.move_to(511)   # a later operation: the callbacks of the first have run
        assert seen == [True]
        assert [str(error) for error in reported] == ["a faulty callback"]

    def test_the_next_move_from_a_callback(self, mono):
        second = []
        first = mono.move_to(510, wait=False)
        first.add_callback(lambda s: second.append(mono.move_to(s.wait(0) + 5, wait=False)))
        first.wait()
        deadline = threading.Event()
        while not second and not deadline.wait(0.01):
            pass
        assert second[0].wait(timeout=30) == pytest.approx(515)

    def test_callbacks_must_be_callable(self, mono):
        status = mono.move_to(501, wait=False)
        with pytest.raises(TypeError):
            status.add_callback(None)
        with pytest.raises(TypeError):
            mono.subscribe("print")
        assert status.wait() == pytest.approx(501)


class TestAsyncio:
    def test_awaited_moves_share_the_loop_and_a_failure_raises(self, slow_mono, mono):
        ticks = []

        async def ticker():
            while True:
                ticks.append(slow_mono.wavelength)
                await asyncio.sleep(0.02)

        async def main():
            task = asyncio.create_task(ticker())
            reached = await slow_mono.move_to(530, wait=False)   # half a second
            task.cancel()
            return reached

        assert asyncio.run(main()) == pytest.approx(530)
        assert len(ticks) > 5 and any(500 < nm < 530 for nm in ticks)

        async def failing():
            await mono.move_to(15000, wait=False)   # beyond the travel end

        with pytest.raises(brivel.OperationError, match="stopped at"):
            asyncio.run(failing())

    def test_cancelling_the_task_stops_the_motor(self, slow_mono):
        async def move(status):
            return await status

        async def main():
            task = asyncio.create_task(move(slow_mono.move_to(1500, wait=False)))
            await asyncio.sleep(0.3)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task

        asyncio.run(main())
        while slow_mono.busy:   # the stop sequence ends on the control's thread
            threading.Event().wait(0.01)
        assert 500 < slow_mono.wavelength < 1500
        assert slow_mono.move_by(1) == pytest.approx(slow_mono.wavelength)


class TestSubscribers:
    def test_every_report_once_in_order_to_subscribers_of_any_thread(self, slow_mono):
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
        assert got["there"] == reports and len(reports) > 3
        assert reports == sorted(reports)
        assert reports[-1] == pytest.approx(520)
        m.move_to(510)
        assert got["here"] == reports                  # not called after unsubscribe

    def test_unsubscribe_from_another_thread_while_it_is_called(self, slow_mono):
        m = slow_mono
        inside, release = threading.Event(), threading.Event()
        calls = []

        def slow_subscriber(nm):
            calls.append(nm)
            inside.set()
            release.wait(5)

        subscription = m.subscribe(slow_subscriber)
        status = m.move_to(520, wait=False)
        assert inside.wait(30)
        threading.Timer(0.2, release.set).start()
        subscription.unsubscribe()          # returns once the call in progress has ended
        assert release.is_set()
        count = len(calls)
        status.wait()
        m.move_to(510)
        assert len(calls) == count

    def test_a_subscriber_that_raises_keeps_getting_reports(self, mono, monkeypatch):
        calls, reported = [], []
        monkeypatch.setattr("sys.unraisablehook", lambda report: reported.append(report.exc_value))

        def faulty(nm):
            calls.append(nm)
            raise ValueError("a faulty subscriber")

        with mono.subscribe(faulty):
            mono.move_to(510)
        assert len(calls) > 1 and len(reported) == len(calls)


def test_a_travel_end_is_an_error_saying_where_it_stopped(mono):
    assert mono.move_to(12000) == pytest.approx(12000)
    with pytest.raises(brivel.OperationError) as caught:
        mono.move_to(15000)
    assert caught.value.text_en.startswith("The grating stopped at ")
    assert str(mono.wavelength) in caught.value.text_en or f"{mono.wavelength:g}" in caught.value.text_en
    assert mono.wavelength < 15000 and not mono.busy
