"""Figures of brivel-ioc and the Bluesky device against the simulated controller.

    PYTHONPATH=build/python/package .venv/epics/bin/python python/bench/epics_bench.py

1. RBV monitor updates per second over the position reports per second of the same
   move made with the package directly (goal >= 0.9).
2. How long after the last position of a move reaches the client a put with
   completion on VAL returns (goal <= 50 ms; median and worst of several moves).
3. Time per point of a 31-point Bluesky scan over the package's own scan() on the same
   simulator (goal <= 1.2).

Channel Access runs on the loopback address and on free ports only. Exit status 1 if
a goal is missed.
"""

import os
import statistics
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TESTS = os.path.join(HERE, "..", "tests", "epics")
sys.path.insert(0, TESTS)

import conftest  # noqa: E402 - sets the loopback environment before EPICS starts

brivel = conftest.brivel
RATE = 40          # the simulator's own speed: 62.5 nm/s
START, STOP, POINTS = 400.0, 700.0, 31
MOVE_NM = 60.0


def reports_per_second():
    """Position reports per second during a move made with the package directly."""
    m = brivel.Monochromator.simulated(rate=RATE)
    m.open()
    try:
        m.move_to(START)
        times = []
        handle = m.subscribe(lambda nm: times.append(time.monotonic()))
        m.move_to(START + MOVE_NM)
        conftest_unsubscribe(m, handle)
        return (len(times) - 1) / (times[-1] - times[0]), len(times)
    finally:
        m.close()


def conftest_unsubscribe(instrument, handle):
    from brivel import _bridge
    _bridge.unsubscribe(instrument, handle)


def package_scan_per_point():
    m = brivel.Monochromator.simulated(rate=RATE)
    m.open()
    try:
        m.move_to(START)
        began = time.monotonic()
        points = list(m.scan(START, STOP, (STOP - START) / (POINTS - 1)))
        assert len(points) == POINTS
        return (time.monotonic() - began) / POINTS
    finally:
        m.close()


def bluesky_scan_per_point():
    import bluesky.plan_stubs as bps
    import bluesky.plans as bp
    from bluesky import RunEngine
    from bluesky.run_engine import call_in_bluesky_event_loop
    from ophyd_async.plan_stubs import ensure_connected

    from brivel.bluesky import Monochromator

    RE = RunEngine({})  # noqa: N806
    mono = Monochromator(simulated=True, sim_rate=RATE, name="mono")
    RE(ensure_connected(mono))
    try:
        RE(bps.mv(mono, START))
        began = time.monotonic()
        RE(bp.scan([mono], mono, START, STOP, POINTS))
        return (time.monotonic() - began) / POINTS
    finally:
        call_in_bluesky_event_loop(mono.close())


def ioc_figures():
    """RBV updates per second during a move, and put-completion delays."""
    import epics

    ioc = conftest.Ioc("--sim-rate", str(RATE))
    try:
        ioc.wait_connected(epics.caget)
        epics.caput(ioc.pv("VAL"), START, wait=True, timeout=60)
        arrivals = []
        lock = threading.Lock()

        def arrived(value=None, **_):
            with lock:
                arrivals.append((time.monotonic(), value))

        rbv = epics.PV(ioc.pv("RBV"), auto_monitor=True, callback=arrived)
        rbv.wait_for_connection(10)
        time.sleep(0.5)
        delays = []
        rate = None
        for move in range(6):
            target = START + MOVE_NM if move % 2 == 0 else START
            with lock:
                arrivals.clear()
            epics.caput(ioc.pv("VAL"), target, wait=True, timeout=60)
            returned = time.monotonic()
            with lock:
                during = list(arrivals)
            final = next(t for t, v in during if abs(v - target) <= 0.005)
            delays.append(returned - final)
            if move == 0:
                moving = [t for t, v in during if t <= final]
                rate = (len(moving) - 1) / (final - moving[0])
        rbv.clear_callbacks()
        rbv.disconnect()
        return rate, delays
    finally:
        ioc.stop()


def main():
    print(f"brivel EPICS and Bluesky figures, against the simulated controller at {RATE} steps/s per unit "
          f"of speed")
    missed = []

    report_rate, reports = reports_per_second()
    monitor_rate, delays = ioc_figures()
    ratio = monitor_rate / report_rate
    print(f"  position reports during a {MOVE_NM:g} nm move: {reports} "
          f"({report_rate:.1f}/s)")
    print(f"  RBV monitor updates during the same move over CA: {monitor_rate:.1f}/s")
    print(f"  RBV updates / reports: {ratio:.2f} (goal >= 0.9)")
    if ratio < 0.9:
        missed.append("RBV updates")
    worst, median = max(delays) * 1e3, statistics.median(delays) * 1e3
    print(f"  put with completion returns after the final position arrived: median "
          f"{median:.1f} ms, worst {worst:.1f} ms of {len(delays)} moves (goal <= 50 ms)")
    if worst > 50:
        missed.append("put completion")

    direct = package_scan_per_point()
    plan = bluesky_scan_per_point()
    print(f"  {POINTS}-point scan {START:g}-{STOP:g} nm: package scan() {direct * 1e3:.0f} ms "
          f"per point, Bluesky bp.scan {plan * 1e3:.0f} ms per point")
    print(f"  Bluesky / package time per point: {plan / direct:.2f} (goal <= 1.2)")
    if plan / direct > 1.2:
        missed.append("Bluesky scan")

    print("  all goals met" if not missed else f"  goals missed: {', '.join(missed)}")
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
