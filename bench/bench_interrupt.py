"""How soon every long fit answers Ctrl-C, against the half second it is allowed.

For each fit of the module, a child process starts a long call (10**6 grid points, or more for
the two fits that finish sooner than half a second on that many), the parent sends SIGINT a
fixed time after the call began, and the child reports when KeyboardInterrupt reached it.  The
delay is the time from the signal to the exception; the ratio printed is delay / 0.5 s.  Each
case runs with 1 and 2 worker threads, several times, at several signal times (so the signal
lands in different phases of the fit); the worst delay of each is printed.

Then the same for a fit through the package of 55 overlapping Voigt peaks with a Shirley step
(222 parameters on 3000 channels): once cut short after three steps, so that the signals land
in its report (the covariance of a singular information over the 222 parameters), and once
run in full (about two minutes), the signals landing in its steps.

    python3 bench/bench_interrupt.py [--repeat N] [--many-peaks-only]
"""
import argparse
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

from conftest import interrupt  # noqa: E402
from test_interrupt import CASES, CHILD, MANY_PEAKS, MANY_PEAKS_STEPS  # noqa: E402

BOUND = 0.5
AFTER = (0.15, 0.6, 1.2)  # seconds from the start of the call to the signal
# The many-peak fit: (max_iter, signal times).
MANY_PEAK_RUNS = ((MANY_PEAKS_STEPS, (0.3, 1.5, 4.0, 12.0, 25.0)),
                  (1000, (0.3, 3.0, 10.0, 30.0, 60.0)))


def delay(case, threads, after):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    return interrupt(CHILD, [case], after=after, env=env)[0]  # None: ended before the signal


def many_peak_delay(max_iter, threads, after):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    return interrupt(MANY_PEAKS, [str(max_iter)], after=after, env=env, timeout=600)[0]


def line(name, threads, delays):
    measured = [d for d in delays if d is not None]
    ended = len(delays) - len(measured)
    worst = max(measured) if measured else float("nan")
    note = f"  ({ended} calls ended before the signal)" if ended else ""
    print(f"{name:38s} {threads:7d} {worst:16.3f} {worst / BOUND:14.2f}{note}", flush=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument("--many-peaks-only", action="store_true")
    args = parser.parse_args()
    print(f"{'function':38s} {'threads':>7s} {'worst delay (s)':>16s} {'delay / 0.5 s':>14s}")
    for case in [] if args.many_peaks_only else CASES:
        for threads in (1, 2):
            line(case, threads,
                 [delay(case, threads, after) for after in AFTER for _ in range(args.repeat)])
    for max_iter, afters in MANY_PEAK_RUNS:
        name = f"55 Voigt peaks, max_iter={max_iter}"
        for threads in (1, 2):
            line(name, threads, [many_peak_delay(max_iter, threads, after) for after in afters])


if __name__ == "__main__":
    main()
