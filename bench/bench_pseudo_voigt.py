"""Speed of the pseudo-Voigt fits against the same algorithms written with NumPy/SciPy,
measured in the same run:

1. pseudo_voigt_mle_conditional_max at N = 1 000 and 20 000 against a NumPy version: vectorised
   part weights, width equation S and centre map U, the same Brent iteration (written in Python,
   with a cache of the values it has already computed, as ours has), the same grids and rules,
   and the eta grid as one broadcast (20 x N) evaluation.  Results must agree to 1e-9 relative.
2. pseudo_voigt_mle_full_optimization at N = 1 000 and 20 000 against NumPy + SciPy: the same
   objective and forward-difference gradient minimised by scipy.optimize.minimize(L-BFGS-B)
   with the same settings, and the eta grid as one broadcast (100 x N) evaluation.  The two
   minimisers are different codes, so their results agree to about 1e-6 only.  The NumPy
   version is timed twice: with NumPy's own (pairwise, more accurate) sums, and with every
   sum in index order as ours are.  The rounding of the sums is the noise of the
   finite-difference gradient near the optimum, which decides how many evaluations the
   minimisers spend there; only the in-order version walks the same path as ours.
3. run_pv_em_loop with K = 5 bands at N = 5 000, both M-steps: time per EM iteration with 1 and
   2 worker threads (each in a fresh interpreter) and the speed-up.

Times are medians of repeated calls.  Target: at least 10x over the NumPy versions, and at least
1.7x from one to two threads.

    PYTHONPATH=build/dev python3 bench/bench_pseudo_voigt.py [--quick]
"""
import argparse
import functools
import math
import os
import statistics
import subprocess
import sys
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402
from scipy.optimize import minimize  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))
try:
    import velmora_core
except ImportError:  # fall back to the developer build of this checkout
    sys.path.insert(0, os.path.join(HERE, "..", "build", "dev"))
    import velmora_core

from reference import brentq  # noqa: E402  (the Brent iteration our root searches run)

FWHM_PER_SIGMA = 2.3548200450309493
SQRT_2PI = 2.5066282746310002
PI = 3.141592653589793
EIGHT_LN2 = 5.545177444479562
FLOOR = 1e-300
GUARD = 1e-20
DELTA = 1e-10
FD_STEP = 1e-7


# ---------------------------------------------------------------------------------------------
# Data


def raman(n, k, seed):
    """Poisson counts of k overlapping pseudo-Voigt bands on [200, 1800] plus a flat
    background; returns the grid, the counts, and the true centres and widths."""
    rng = np.random.default_rng(seed)
    x = np.linspace(200.0, 1800.0, n)
    centres = np.linspace(500.0, 1500.0, k) + rng.uniform(-20, 20, k)
    widths = rng.uniform(60.0, 90.0, k)
    etas = rng.uniform(0.8, 0.99, k)
    areas = rng.uniform(2e4, 6e4, k) * n / 1000
    rate = np.full(n, 5.0)
    for c, gm, e, a in zip(centres, widths, etas, areas):
        s, g = gm / FWHM_PER_SIGMA, gm / 2
        rate += a * (x[1] - x[0]) * (e * np.exp(-0.5 * ((x - c) / s) ** 2) / (SQRT_2PI * s)
                                     + (1 - e) * g / (PI * ((x - c) ** 2 + g * g)))
    return x, rng.poisson(rate).astype(np.float64), centres, widths


# ---------------------------------------------------------------------------------------------
# NumPy versions


def parts(x, x0, gamma, x_min, x_max):
    s, g = gamma / FWHM_PER_SIGMA, 0.5 * gamma
    z = max((math.atan((x_max - x0) / g) - math.atan((x_min - x0) / g)) * (1 / PI), FLOOR)
    d = x - x0
    return np.exp(d / s * (-0.5) * d / s) / (SQRT_2PI * s), g / ((d * d + g * g) * PI), z


def pairwise_sum(v, axis=-1):
    return np.sum(v, axis=axis)


def in_order_sum(v, axis=-1):
    """The sum along `axis` taken in index order (as ours are), not NumPy's pairwise order."""
    return np.cumsum(v, axis=axis).take(-1, axis=axis)


def np_loglik(x, w, x0, gamma, eta, x_min, x_max, total=pairwise_sum):
    gauss, lor, z = parts(x, x0, gamma, x_min, x_max)
    return float(total(w * np.log(eta * gauss + (1 - eta) / z * lor + GUARD)))


def np_eta_grid(x, w, x0, gamma, etas, one_minus, x_min, x_max, total=pairwise_sum):
    """T at every eta of a grid, as one (len(etas) x N) evaluation."""
    gauss, lor, z = parts(x, x0, gamma, x_min, x_max)
    dens = etas[:, None] * gauss + (one_minus / z)[:, None] * lor + GUARD
    return total(w * np.log(dens), axis=1)


def np_conditional_max(x, w, x0, gamma, eta, x_min, x_max):
    n = min(len(x), len(w))
    x, w = x[:n], w[:n]
    gauss, lor, z0 = parts(x, x0, gamma, x_min, x_max)
    den = eta * gauss + (1 - eta) / z0 * lor + FLOOR
    wrg, wrl = w * (eta * gauss / den), w * ((1 - eta) * lor / den)
    e, f, sgx = wrg.sum(), wrl.sum(), (wrg * x).sum()
    width = x_max - x_min

    def mass(c, g):
        return max((math.atan((x_max - c) / g) - math.atan((x_min - c) / g)) / PI, FLOOR)

    @functools.lru_cache(maxsize=None)
    def score(c, gm):
        g = gm / 2
        d2 = (x - c) ** 2
        h = np.sum(0.5 * wrl / (d2 + g * g))
        a = (c - x_max) / ((c - x_max) ** 2 + g * g)
        b = (c - x_min) / ((c - x_min) ** 2 + g * g)
        return ((f - e) * gm ** 2 - gm ** 4 * h - gm ** 3 * f * (a - b) / (2 * PI * mass(c, g))
                + EIGHT_LN2 * np.sum(wrg * d2))

    def update(c, gm):
        g = gm / 2
        den = (x - c) ** 2 + g * g
        k = EIGHT_LN2 / gm ** 2
        ends = g / (((x_min - c) ** 2 + g * g) * PI) - g / (((x_max - c) ** 2 + g * g) * PI)
        return ((k * sgx + np.sum(wrl * 2 * x / den) - f / mass(c, g) * ends)
                / (k * e + np.sum(wrl * 2 / den) + FLOOR))

    @functools.lru_cache(maxsize=None)
    def gstar(c):
        if score(c, 0.1) * score(c, width) >= 0:
            return None
        root, error = brentq(lambda gm: score(c, gm), 0.1, width, DELTA)
        return None if error else root

    @functools.lru_cache(maxsize=None)
    def residual(c):
        gs = gstar(c)
        return math.nan if gs is None else update(c, gs) - c

    def sign(v):
        return v if math.isnan(v) else math.copysign(1.0, v)

    coarse = [x_min + k * width / 9 for k in range(10)]
    br = [p for p in coarse if sign(score(p, 0.1)) * sign(score(p, width)) < 0]
    if br and br[-1] - br[0] >= 1e-12:
        lo, hi = br[0], br[-1]
        q = [lo + j * (hi - lo) / 9 for j in range(10)]
        r = [residual(p) for p in q]
        best, best_score = None, None
        for j in range(9):
            if math.isfinite(r[j]) and math.isfinite(r[j + 1]) and r[j] * r[j + 1] < 0:
                root, error = brentq(lambda c: 0.0 if gstar(c) is None else residual(c),
                                     q[j], q[j + 1], DELTA)
                if error is None and gstar(root) is not None:
                    gauss, lor, _ = parts(x, root, gstar(root), x_min, x_max)
                    sc = float(np.sum(w * np.log((1 - eta) * lor + eta * gauss + GUARD)))
                    if best is None or not best_score > sc:
                        best, best_score = (root, gstar(root)), sc
        if best is not None:
            x0, gamma = best
    etas = np.array([0.8] + [k * 0.01 + 0.8 for k in range(1, 20)])
    t = np_eta_grid(x, w, x0, gamma, etas, 1 - etas, x_min, x_max)
    best, best_eta = t[0], etas[0]
    for k in range(1, 20):
        if not t[k] < best:
            best_eta = etas[k]
        best = best if best > t[k] else t[k]
    return x0, gamma, float(best_eta)


def np_full_optimization(x, w, x0, gamma, eta, x_min, x_max, gamma_min, gamma_max, max_iter,
                         r_eps, total=pairwise_sum):
    n = min(len(x), len(w))
    x, w = x[:n], w[:n]
    etas = np.arange(100) * 0.01
    loglik = functools.partial(np_loglik, total=total)
    t_prev = loglik(x, w, x0, gamma, eta, x_min, x_max)
    for _ in range(max_iter):
        def fun(v, eta=eta):
            t = loglik(x, w, v[0], v[1], eta, x_min, x_max)
            g = [-(loglik(x, w, v[0] + FD_STEP, v[1], eta, x_min, x_max) - t) / FD_STEP,
                 -(loglik(x, w, v[0], v[1] + FD_STEP, eta, x_min, x_max) - t) / FD_STEP]
            return -t, np.array(g)
        res = minimize(fun, np.clip([x0, gamma], [x_min, gamma_min], [x_max, gamma_max]),
                       jac=True, method="L-BFGS-B",
                       bounds=[(x_min, x_max), (gamma_min, gamma_max)],
                       options=dict(maxcor=10, gtol=1e-5, ftol=0.0, maxiter=10000,
                                    maxfun=100000))
        x0, gamma = float(res.x[0]), min(max(float(res.x[1]), gamma_min), gamma_max)
        t = np_eta_grid(x, w, x0, gamma, etas, 1 - etas, x_min, x_max, total)
        t = np.where(np.isnan(t), -np.inf, t)
        if np.max(t) > -np.inf:
            eta = float(etas[int(np.argmax(t))])  # first maximum: ties keep the smallest eta
        t_new = loglik(x, w, x0, gamma, eta, x_min, x_max)
        if r_eps > (t_new - t_prev) / max(abs(t_prev), 1e-300):
            break
        t_prev = t_new
    return x0, gamma, eta


# ---------------------------------------------------------------------------------------------
# Timing


def median_time(fn, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        out = fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times), out


def single_peak(n, repeats):
    x, w, centres, widths = raman(n, 1, seed=n)
    x0, gamma, eta = centres[0] + 0.3 * widths[0], widths[0] * 1.3, 0.5
    lo, hi = float(x[0]), float(x[-1])
    rows = []

    ours_t, ours = median_time(
        lambda: velmora_core.pseudo_voigt_mle_conditional_max(x, w, x0, gamma, eta, lo, hi),
        repeats)
    base_t, base = median_time(lambda: np_conditional_max(x, w, x0, gamma, eta, lo, hi),
                               max(1, repeats // 3))
    agree = max(abs(a - b) / max(abs(b), 1e-300) for a, b in zip(ours, base))
    assert agree < 1e-9, (ours, base)
    rows.append(("pseudo_voigt_mle_conditional_max", n, ours_t, base_t, agree))

    # Per-pass cost: the profile on the grid, and one cycle of the eta grid alone (x0 and
    # gamma fixed: one pass of exp and 100 passes of log over the sample).
    ours_t, ours = median_time(lambda: velmora_core.pseudo_voigt_predict(x, x0, gamma, eta, lo,
                                                                         hi), repeats * 5)
    def np_predict():
        gauss, lor, z = parts(x, x0, gamma, lo, hi)
        return eta * gauss + (1 - eta) / z * lor
    base_t, base = median_time(np_predict, repeats * 5)
    rows.append(("pseudo_voigt_predict", n, ours_t, base_t,
                 float(np.max(np.abs(ours - base) / np.abs(base)))))
    etas = np.arange(100) * 0.01
    ours_t, ours = median_time(lambda: velmora_core.pseudo_voigt_mle_full_optimization(
        x, w, x0, gamma, eta, lo, hi, 1.0, hi - lo, 1, 0.0, True, True), repeats)
    base_t, base = median_time(lambda: etas[int(np.argmax(np_eta_grid(
        x, w, x0, gamma, etas, 1 - etas, lo, hi)))], repeats)
    rows.append(("eta grid of one full cycle", n, ours_t, base_t, abs(ours[2] - base)))

    args = (x, w, x0, gamma, eta, lo, hi, 1.0, hi - lo, 20, 1e-10)
    ours_t, ours = median_time(lambda: velmora_core.pseudo_voigt_mle_full_optimization(*args),
                               repeats)
    base_t, base = median_time(lambda: np_full_optimization(*args), max(1, repeats // 3))
    agree = max(abs(a - b) / max(abs(b), 1e-300) for a, b in zip(ours, base))
    rows.append(("pseudo_voigt_mle_full_optimization", n, ours_t, base_t, agree))
    base_t, base = median_time(lambda: np_full_optimization(*args, total=in_order_sum),
                               max(1, repeats // 3))
    agree = max(abs(a - b) / max(abs(b), 1e-300) for a, b in zip(ours, base))
    rows.append(("  the same, NumPy with in-order sums", n, ours_t, base_t, agree))
    return rows


EM_SCRIPT = r"""
import sys, time, statistics
import numpy as np
sys.path.insert(0, {bench!r})
sys.path[:0] = {path!r}
import velmora_core
from bench_pseudo_voigt import raman
x, w, centres, widths = raman(5000, 5, seed=5)
k, m = 5, 6

def call(max_iter, full):
    x0, g, eta = centres + 0.2 * widths, widths * 1.2, np.full(k, 0.9)
    out = velmora_core.run_pv_em_loop(x, w, x0, g, eta, np.full(m, 1 / m), np.ones(m),
                                      [False] * k, [False] * k, [False] * k, full, 200.0,
                                      1800.0, 1.0, 1600.0, max_iter, 0.0, bg_type=1)
    return out[0]

def timed(max_iter, full):
    start = time.perf_counter()
    n = call(max_iter, full)
    return time.perf_counter() - start, n

for full in (False, True):
    # Conversion, allocation and the first E-step (max_iter 0) are not counted.
    base = statistics.median(timed(0, full)[0] for _ in range(3))
    runs = [timed({iters}, full) for _ in range({repeats})]
    n = runs[0][1]
    print(full, n, (statistics.median(t for t, _ in runs) - base) / n)
"""


def em_per_iteration(threads, iters, repeats):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    env.pop("RAYON_RS_NUM_CPUS", None)
    code = EM_SCRIPT.format(bench=HERE, path=[p for p in sys.path if p], iters=iters,
                            repeats=repeats)
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                         check=True).stdout
    result = {}
    for line in out.splitlines():
        parts_ = line.split()
        if len(parts_) == 3 and parts_[0] in ("True", "False"):
            result[parts_[0] == "True"] = (int(parts_[1]), float(parts_[2]))
    return result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer repeats")
    args = parser.parse_args()
    repeats = 3 if args.quick else 9
    threads = os.environ.get("RAYON_NUM_THREADS", "(unset)")
    print(f"load average {os.getloadavg()[0]:.2f} on {os.cpu_count()} CPUs; "
          f"pool size of this process: RAYON_NUM_THREADS={threads}")

    print("\nSingle-peak fits (median wall time per call)")
    print(f"{'function':<36} {'N':>6} {'ours (ms)':>10} {'NumPy (ms)':>11} {'ratio':>7} "
          f"{'max rel. diff':>14}")
    for n in (1000, 20000):
        for name, size, ours_t, base_t, agree in single_peak(n, repeats):
            print(f"{name:<36} {size:>6} {ours_t * 1e3:>10.2f} {base_t * 1e3:>11.2f} "
                  f"{base_t / ours_t:>6.1f}x {agree:>14.1e}")

    print("\nrun_pv_em_loop, K = 5, N = 5000, flat background (time per EM iteration)")
    iters = 5 if args.quick else 10
    one = em_per_iteration(1, iters, max(1, repeats // 3))
    two = em_per_iteration(2, iters, max(1, repeats // 3))
    print(f"{'M-step':<26} {'iterations':>10} {'1 thread (ms)':>14} {'2 threads (ms)':>15} "
          f"{'speed-up':>9}")
    for full, label in ((False, "conditional maximisation"), (True, "full optimisation")):
        n, t1 = one[full]
        _, t2 = two[full]
        print(f"{label:<26} {n:>10} {t1 * 1e3:>14.2f} {t2 * 1e3:>15.2f} {t1 / t2:>8.2f}x")


if __name__ == "__main__":
    main()
