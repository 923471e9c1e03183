"""Operations that do not block: brivel.Status, callbacks, asyncio, subscribers, threads,
and the honest end of a move."""

import asyncio
import threading
import time

import pytest

import brivel
from conftest import FAST, commands_since


class TestStatus:
    def test_a_move_runs_while_the_script_reads_its_progress(self, slow_mono):
        m = slow_mono
        status = m.move_to(510, wait=False)   # 0.16 s at the simulator's own speed
        assert isinstance(status, brivel.Status) and status.operation == "move_to"
        seen = []
        while not status.done:
            seen.append((m.busy, m.wavelength))
            threading.Event().wait(0.01)
        assert status.wait() == pytest.approx(510)
        assert seen and seen[0][0]                     # busy from the start
        assert any(500 < nm < 510 for _, nm in seen)   # positions between start and target
        assert not m.busy and m.wavelength == pytest.approx(510)

    def test_wait_gives_the_exception_of_the_operation(self):
        m = brivel.Monochromator.simulated(faults=["stall"], rate=FAST)
        with m:
            status = m.move_to(600, wait=False)
            with pytest.raises(brivel.OperationError) as caught:
                status.wait()
            assert caught.value.operation == "move_to"
            # Asked again, it raises again: the result stays.
            with pytest.raises(brivel.OperationError):
                status.wait(0)

    def test_a_timeout_leaves_the_operation_running(self, slow_mono):
        status = slow_mono.move_to(560, wait=False)     # about a second
        with pytest.raises(TimeoutError):
            status.wait(timeout=0.05)
        assert not status.done
        assert status.wait(timeout=30) == pytest.approx(560)

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

    def test_cancel_stops_the_motor(self, slow_mono):
        m = slow_mono
        mark = len(m.simulator_log)
        status = m.move_to(1500, wait=False)
        threading.Event().wait(0.3)
        status.cancel()
        with pytest.raises(brivel.StoppedError):
            status.wait(timeout=30)
        letters = commands_since(m, mark)
        assert "k" in letters[letters.index("W"):]
        assert not m.busy and 500 < m.wavelength < 1500
        status.cancel()   # ended: nothing happens
        assert m.move_by(1) == pytest.approx(m.wavelength)

    def test_move_by_and_reposition_without_waiting(self, mono):
        assert mono.move_by(2.5, wait=False).wait() == pytest.approx(502.5)
        assert mono.move_by(0, wait=False).wait() == pytest.approx(502.5)
        assert mono.reposition(wait=False).wait() is None
        assert mono.wavelength == pytest.approx(500)


class TestCallbacks:
    def test_called_once_with_the_status_after_the_end(self, mono):
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
        # Added once it has ended: called at once, here.
        late = []
        status.add_callback(late.append)
        assert late == [status]

    def test_a_callback_that_raises_does_not_stop_the_others(self, mono, monkeypatch):
        seen = []
        reported = []
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

    def test_a_cancel_from_a_position_callback(self, slow_mono):
        m = slow_mono
        status = m.move_to(1500, wait=False)
        reports = []

        def on_position(nm):
            reports.append(nm)
            if nm > 520:
                status.cancel()

        with m.subscribe(on_position):
            with pytest.raises(brivel.StoppedError):
                status.wait(timeout=30)
        assert 520 < m.wavelength < 600
        assert not m.busy

    def test_the_next_move_from_a_callback(self, mono):
        second = []
        first = mono.move_to(510, wait=False)
        first.add_callback(lambda s: second.append(mono.move_to(s.wait(0) + 5, wait=False)))
        first.wait()
        deadline = threading.Event()
        while not second and not deadline.wait(0.01):
            pass
        assert second[0].wait(timeout=30) == pytest.approx(515)

    def test_a_callback_must_be_callable(self, mono):
        status = mono.move_to(501, wait=False)
        with pytest.raises(TypeError):
            status.add_callback(None)
        with pytest.raises(TypeError):
            mono.subscribe("print")
        assert status.wait() == pytest.approx(501)


class TestAsyncio:
    def test_await_a_move(self, mono):
        async def main():
            reached = await mono.move_to(700, wait=False)
            down = await mono.move_by(-100, wait=False)
            return reached, down

        assert asyncio.run(main()) == pytest.approx((700, 600))

    def test_moves_and_other_tasks_share_the_loop(self, slow_mono):
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

    def test_an_awaited_failure_raises(self):
        m = brivel.Monochromator.simulated(rate=FAST)
        with m:
            async def main():
                await m.move_to(15000, wait=False)   # beyond the travel end

            with pytest.raises(brivel.OperationError, match="stopped at"):
                asyncio.run(main())

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
    def test_every_report_in_order(self, slow_mono):
        m = slow_mono
        reports = []
        subscription = m.subscribe(reports.append)
        m.move_to(520)
        subscription.unsubscribe()
        assert not subscription.active
        assert len(reports) > 3
        assert reports == sorted(reports)              # upwards, in order
        assert reports[-1] == pytest.approx(520)
        count = len(reports)
        m.move_to(510)
        assert len(reports) == count                    # not called after unsubscribe

    def test_subscribers_from_two_threads(self, slow_mono):
        m = slow_mono
        got = {"a": [], "b": []}
        subscriptions = {}
        ready = threading.Barrier(3)

        def subscribe(name):
            subscriptions[name] = m.subscribe(got[name].append)
            ready.wait()

        threads = [threading.Thread(target=subscribe, args=(name,)) for name in got]
        for t in threads:
            t.start()
        ready.wait()
        for t in threads:
            t.join()
        m.move_to(515)
        for s in subscriptions.values():
            s.unsubscribe()
        assert got["a"] == got["b"] and len(got["a"]) > 2
        assert got["a"][-1] == pytest.approx(515)

    def test_unsubscribe_from_another_thread_while_it_is_called(self, slow_mono):
        m = slow_mono
        inside = threading.Event()
        release = threading.Event()
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
        calls = []
        reported = []
        monkeypatch.setattr("sys.unraisablehook", lambda report: reported.append(report.exc_value))

        def faulty(nm):
            calls.append(nm)
            raise ValueError("a faulty subscriber")

        with mono.subscribe(faulty):
            mono.move_to(510)
        assert len(calls) > 1 and len(reported) == len(calls)


class TestThreads:
    def test_state_from_other_threads_while_a_move_runs(self, slow_mono):
        m = slow_mono
        readings = []
        stop = threading.Event()

        def reader():
            while not stop.is_set():
                readings.append((m.connected, m.busy, m.wavelength))
                stop.wait(0.01)

        readers = [threading.Thread(target=reader) for _ in range(2)]
        for r in readers:
            r.start()
        try:
            m.move_to(520)
        finally:
            stop.set()
            for r in readers:
                r.join()
        assert all(connected for connected, _, _ in readings)
        assert any(busy and 500 < nm < 520 for _, busy, nm in readings)

    def test_stop_from_another_thread(self, slow_mono):
        m = slow_mono
        threading.Timer(0.3, m.stop).start()
        with pytest.raises(brivel.StoppedError):
            m.move_to(1500)
        assert not m.busy and m.wavelength < 1500


class TestHonestMoves:
    def test_a_travel_end_is_an_error_saying_where_it_stopped(self, mono):
        with pytest.raises(brivel.OperationError) as caught:
            mono.move_to(15000)
        assert caught.value.text_en.startswith("The grating stopped at ")
        assert str(mono.wavelength) in caught.value.text_en or f"{mono.wavelength:g}" in caught.value.text_en
        assert mono.wavelength < 15000 and not mono.busy

    def test_a_move_that_arrives_returns_the_wavelength(self, mono):
        assert mono.move_to(12000) == pytest.approx(12000)
