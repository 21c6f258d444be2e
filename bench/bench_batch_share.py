"""How much of a batch the interpreter holds: the share of a 1-worker batch's time spent
outside the engine's fits (reading starts, packing rows, scheduling), and the speed-up from 1
to 2 workers that Amdahl's law then allows, 1 / (s + (1 - s) / 2).  A busy machine cannot
show the 1 -> 2 worker speed-up itself; this share it can.

Cases as ``bench/bench_maps.py`` and ``bench/bench_same_speed.py`` fit them: a map of 200 Raman
spectra (three pseudo-Voigt bands, a linear background) and a 10 x 20 map of Au 4f doublets on
a Shirley background, placed from a given centre and from centres read from each spectrum,
with ``warm_start="none"`` and ``"previous"``.

    PYTHONPATH=<tree>/python python bench/bench_batch_share.py
"""
import os
import sys
import time
import warnings

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import velmora  # noqa: E402
import velmora_core  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench_maps  # noqa: E402

warnings.simplefilter("ignore")
spent = [0.0]
engine = velmora_core._engine_spectra


def timed(*args, **kwargs):
    began = time.perf_counter()
    try:
        return engine(*args, **kwargs)
    finally:
        spent[0] += time.perf_counter() - began


velmora_core._engine_spectra = timed
Y, _ = bench_maps.raman_map((10, 20))
x, Y2 = bench_maps.doublet_map()
cases = {
    "raman 200 pv": (bench_maps.X, Y, lambda: bench_maps.velmora_peaks("pv-full"), "linear"),
    "au4f given": (x, Y2, lambda: velmora.doublet("voigt", "Au4f", x0=84.0, sigma=0.3,
                                                  gamma=0.1), "shirley"),
    "au4f guessed": (x, Y2, lambda: velmora.doublet("voigt", "Au4f"), "shirley"),
}
for name, (x, Y, peaks, background) in cases.items():
    for warm in ("none", "previous"):
        best = None
        for _ in range(3):
            spent[0] = 0.0
            began = time.perf_counter()
            velmora.fit_many(x, Y, peaks(), background=background, warm_start=warm, workers=1,
                             progress=False)
            total = time.perf_counter() - began
            if best is None or total < best[0]:
                best = (total, 1.0 - spent[0] / total)
        total, share = best
        print(f"{name:14s} warm={warm:8s} 1 worker {total:.3f} s, outside the engine "
              f"{100 * share:4.1f}%: 1 -> 2 workers at most {1 / (share + (1 - share) / 2):.2f}")
