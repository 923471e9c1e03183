"""Figures of the Python package's non-blocking interface, on the simulated controller.

  1. A 61-point scan (400 to 700 nm, 5 nm steps) with the non-blocking calls
     (move_to(wait=False) then Status.wait()) and a position subscriber, against the
     blocking scan(): time per point, and their ratio (goal: at most 1.02).
  2. How long after a position report reaches the control's thread the subscriber is
     called: median and 99th percentile.

Run with the package importable (PYTHONPATH=build/python/package, or installed):
    python3 python/bench/bench_python.py [--rounds N]
Exits with 1 when the ratio misses its goal.
"""

import argparse
import statistics
import sys
import time

import brivel

GOAL = 1.02
RATE = 2000  # motor steps per second per unit of speed: quick moves, as a test bench has


def blocking_scan(m):
    start = time.perf_counter()
    points = sum(1 for _ in m.scan(400, 700, 5))
    return (time.perf_counter() - start) / points


def nonblocking_scan(m, lags):
    def on_position(nm):
        lag = brivel._brivel._report_lag()
        if lag is not None:
            lags.append(lag)

    with m.subscribe(on_position):
        start = time.perf_counter()
        points = 0
        for i in range(61):
            m.move_to(400 + 5 * i, wait=False).wait()
            points += 1
        return (time.perf_counter() - start) / points


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5, help="scans of each kind (alternating)")
    args = parser.parse_args()

    with brivel.Monochromator.simulated(rate=RATE) as m:
        m.move_to(700)
        blocking, nonblocking, lags = [], [], []
        for _ in range(args.rounds):
            m.move_to(700)
            blocking.append(blocking_scan(m))
            m.move_to(700)
            nonblocking.append(nonblocking_scan(m, lags))
    per_blocking = statistics.median(blocking)
    per_nonblocking = statistics.median(nonblocking)
    ratio = per_nonblocking / per_blocking
    lags.sort()
    p99 = lags[min(len(lags) - 1, int(round(0.99 * (len(lags) - 1))))]
    print(f"scan 400-700 nm, 5 nm steps, 61 points, median of {args.rounds} rounds each")
    print(f"  blocking scan():                    {per_blocking * 1e3:8.2f} ms per point")
    print(f"  move_to(wait=False) + subscriber:   {per_nonblocking * 1e3:8.2f} ms per point")
    print(f"  ratio non-blocking / blocking:      {ratio:8.3f}   (goal <= {GOAL})")
    print(f"subscriber latency after a report ({len(lags)} reports)")
    print(f"  median {statistics.median(lags) * 1e6:8.1f} us   p99 {p99 * 1e6:8.1f} us")
    return 0 if ratio <= GOAL else 1


if __name__ == "__main__":
    sys.exit(main())
