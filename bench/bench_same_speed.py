"""The same fits timed under two source trees, side by side in one run.

Each tree's ``velmora`` runs in an interpreter of its own (``PYTHONPATH=<tree>/python``), both
asked for the same case in turn (the order swapped every round), several rounds, the best time
of each case kept, so that whatever else the machine runs weighs on both alike:

* single fits with ``velmora.fit``: two Gaussians on a uniform background, two Voigt peaks on
  a line, an Au 4f doublet whose centre is read from the data on a Shirley background, two
  reflections with their Kα2 partners, three pseudo-Voigt bands of a 600-channel Raman
  spectrum (the time of one fit, the best of many);
* batches as ``bench/bench_maps.py`` fits them: maps of 50, 200 and 1000 Raman spectra
  (three pseudo-Voigt bands, a linear background), and a 10 x 20 XPS map of Au 4f doublets
  (Voigt lines tied by ``velmora.doublet`` on a Shirley background) placed from a given centre
  and from centres read from each spectrum's data; every one with ``warm_start="none"`` and
  ``"previous"`` on 1 and 2 workers.

Printed per case: both trees' times, their ratio (after / before; target: at most 1, within
the machine's noise), and for batches each tree's speed-up from 1 to 2 workers (target: at
least 1.8 for 50 spectra or more).

    python bench/bench_same_speed.py --before /path/to/old/tree --after /path/to/new/tree
        [--before-python PYTHON] [--after-python PYTHON] [--sizes 50 200 1000] [--rounds 3]

A change of the core needs each tree's own build: ``--before-python`` and ``--after-python``
name the interpreters whose installed ``velmora_core`` each tree runs on (such as each
tree's ``.venv/bin/python``; default: this interpreter for both).
"""
import argparse
import json
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def single_cases():
    import numpy as np
    import velmora

    sys.path.insert(0, HERE)
    import bench_maps
    import bench_same_fits as same

    x, counts = same.two_peaks("gaussian", seed=1)
    xv, cv = same.two_peaks("voigt", seed=1)
    xa, ca = same.au4f(seed=20)
    xk, ck = same.xrd(seed=30)
    Y, _ = bench_maps.raman_map((1, 1))
    return {
        "gaussian/uniform": lambda: velmora.fit(x, counts, [velmora.Peak("gaussian"),
                                                            velmora.Peak("gaussian")],
                                                background="uniform"),
        "voigt/linear": lambda: velmora.fit(xv, cv, [velmora.Peak("voigt"),
                                                     velmora.Peak("voigt")],
                                            background="linear"),
        "au4f-guessed/shirley": lambda: velmora.fit(xa, ca, velmora.doublet("voigt", "Au4f"),
                                                    background="shirley"),
        "kalpha2/linear": lambda: velmora.fit(
            xk, ck, [p for c in (38.2, 44.4) for p in (
                velmora.Peak("pseudo_voigt", name=f"r{int(c)}", x0=c),
                velmora.kalpha2(velmora.Peak("pseudo_voigt", name=f"r{int(c)}", x0=c), "Cu"))],
            background="linear"),
        "raman-pv/linear": lambda: velmora.fit(bench_maps.X, Y[0, 0],
                                               bench_maps.velmora_peaks("pv-full"),
                                               background="linear"),
    }, np


def batch_cases(sizes):
    import velmora

    sys.path.insert(0, HERE)
    import bench_maps

    cases = {}
    for n in sizes:
        Y, _ = bench_maps.raman_map(bench_maps.SHAPES[n])
        peaks = bench_maps.velmora_peaks("pv-full")
        cases[f"raman {n} pv"] = (bench_maps.X, Y, lambda p=peaks: p, "linear")
    x, Y = bench_maps.doublet_map()
    cases["au4f 200 given"] = (x, Y, lambda: velmora.doublet("voigt", "Au4f", x0=84.0,
                                                             sigma=0.3, gamma=0.1), "shirley")
    cases["au4f 200 guessed"] = (x, Y, lambda: velmora.doublet("voigt", "Au4f"), "shirley")
    return cases


def serve(sizes):
    """Times the case named on each line of standard input and prints its seconds: single
    fits the best of a second of them, batches one run."""
    import warnings

    import velmora

    warnings.simplefilter("ignore")
    singles, _ = single_cases()
    batches = batch_cases(sizes)
    for name in singles:
        singles[name]()  # the first call of each builds what later ones reuse
    names = [f"single {n}" for n in singles] + [
        f"batch {n} warm={w} workers={k}" for n in batches for w in ("none", "previous")
        for k in (1, 2)]
    print(json.dumps(names), flush=True)
    for line in sys.stdin:
        case = line.strip()
        if case.startswith("single "):
            call = singles[case[len("single "):]]
            best = float("inf")
            began = time.perf_counter()
            while time.perf_counter() - began < 0.5:
                t = time.perf_counter()
                call()
                best = min(best, time.perf_counter() - t)
        else:
            rest, workers = case[len("batch "):].rsplit(" workers=", 1)
            name, warm = rest.rsplit(" warm=", 1)
            x, Y, peaks, background = batches[name]
            t = time.perf_counter()
            velmora.fit_many(x, Y, peaks(), background=background, warm_start=warm,
                             workers=int(workers), progress=False)
            best = time.perf_counter() - t
        print(json.dumps(best), flush=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--before")
    parser.add_argument("--after")
    parser.add_argument("--before-python", default=sys.executable)
    parser.add_argument("--after-python", default=sys.executable)
    parser.add_argument("--sizes", type=int, nargs="+", default=[50, 200, 1000])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--serve", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.serve:
        serve(args.sizes)
        return 0
    if not (args.before and args.after):
        parser.error("give --before and --after (source trees with python/velmora)")
    # One interpreter per tree, asked for the same case in turn (the order swapped every
    # round), so that whatever else the machine runs weighs on both alike.
    servers = {}
    for which in ("before", "after"):
        env = dict(os.environ, PYTHONPATH=os.path.join(getattr(args, which), "python"),
                   OPENBLAS_NUM_THREADS="1")
        python = getattr(args, f"{which}_python")
        servers[which] = subprocess.Popen(
            [python, os.path.abspath(__file__), "--serve", "--sizes", *map(str, args.sizes)],
            env=env,
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    cases = [json.loads(servers[w].stdout.readline()) for w in servers][0]
    best = {"before": {}, "after": {}}
    for r in range(args.rounds):
        for case in cases:
            for which in (("before", "after") if r % 2 == 0 else ("after", "before")):
                server = servers[which]
                server.stdin.write(case + "\n")
                server.stdin.flush()
                t = json.loads(server.stdout.readline())
                best[which][case] = min(best[which].get(case, float("inf")), t)
    for server in servers.values():
        server.stdin.close()
        server.wait()
    before, after = best["before"], best["after"]
    worst = 0.0
    print(f"{'case':58s} {'before':>10s} {'after':>10s} {'after/before':>12s}")
    for case in cases:
        ratio = after[case] / before[case]
        worst = max(worst, ratio)
        unit, label = (1e3, "ms") if case.startswith("single") else (1.0, "s")
        print(f"{case:58s} {unit * before[case]:8.3f}{label:2s} {unit * after[case]:8.3f}"
              f"{label:2s} {ratio:12.3f}")
    print(f"largest after/before ratio {worst:.3f}")
    print("1 -> 2 workers (time with 1 / time with 2; target >= 1.8 for 50 spectra or more):")
    for case in cases:
        if case.startswith("batch") and case.endswith("workers=1"):
            two = case[:-1] + "2"
            print(f"  {case[6:-10]:44s} before {before[case] / before[two]:5.2f}  "
                  f"after {after[case] / after[two]:5.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
