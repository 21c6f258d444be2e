"""Speed of the TSDC fits against the same algorithms written with NumPy and SciPy, measured in
the same run:

* tsdc_mle_find_root against scipy.optimize.brentq on the same score equation in ea (sums
  A and B with scipy.special.expn and expi), tau0 in closed form, then brentq on the peak
  condition for tp;
* tsdc_mle_lbfgsb against scipy.optimize.minimize(method="L-BFGS-B") on the same objective
  (grid-normalised density from scipy.special.expn) with the same analytic gradient
  (scipy.special.expn for E_1), the same bounds, m = 10, pgtol = 1e-5 and no test on the
  relative decrease of f (ftol = 0).  The objective is timed twice: with NumPy's own sums
  (pairwise, more accurate) for the area and the log-likelihood, and with those two sums in
  index order (np.cumsum), as ours are.  Their rounding is the noise of f near the optimum,
  which decides how many evaluations both minimisers spend there; only the second version
  walks the same path as ours, so its ratio compares the implementations;
* run_tsdc_em_loop with K = 3 peaks at N = 2 000 points: time per iteration, measured in child
  processes with RAYON_NUM_THREADS=1 and 2, and the speed-up from 1 to 2 threads.

Every time is the median of several calls; the single-peak data are Poisson counts (1e6 in
all) of one peak with ea = 1 eV, tp = 300 K, beta = 0.1 K/s on 200..400 K, fitted from
ea = 0.6 eV, tp = 285 K.  Both implementations must agree on the fitted values.

    PYTHONPATH=build/dev python3 bench/bench_tsdc.py [--quick]
"""
import argparse
import os
import statistics
import subprocess
import sys
import time

# The baselines run on one thread, as NumPy's own loops do (a BLAS pool would only spin).
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402
from scipy import optimize, special  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))

try:
    import velmora_core
except ImportError:  # fall back to the developer build of this checkout
    sys.path.insert(0, os.path.join(HERE, "..", "build", "dev"))
    import velmora_core

K_B = 8.61733034e-5
INV_K_B = 11604.522056653568
BETA = 0.1
TARGET = 5.0
START = dict(ea=0.6, tau0=1.0, tp=285.0)
BOUNDS = dict(ea_min=0.1, ea_max=3.0, t_min=200.0, t_max=400.0)
# Fitted values of the two implementations agree to this (the sums are formed in different
# orders, and SciPy's brentq and L-BFGS-B stop at slightly different points).
AGREEMENT = dict(ea=1e-6, tp=1e-4)


def positive_int(text):
    return int(text) if text and text.isdigit() and int(text) > 0 else None


def pool_size():
    for name in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"):
        n = positive_int(os.environ.get(name, ""))
        if n:
            return n, name
    return max(1, len(os.sched_getaffinity(0))), "sched_getaffinity"


def tau0_from_tp(ea, tp, beta=BETA):
    u = K_B * tp
    return np.exp(-ea / u) * ((tp * u) / (beta * ea))


def thermogram(peaks, lo, hi, n, counts, seed):
    t = np.linspace(lo, hi, n)
    rate = np.zeros(n)
    for ea, tp, share in peaks:
        rate += share * velmora_core.tsdc_predict(t, ea, tau0_from_tp(ea, tp), BETA)
    return t, np.random.default_rng(seed).poisson(rate * counts * (t[1] - t[0])).astype(float)


# ---------------------------------------------------------------------------------------------
# The same fits in NumPy and SciPy


def numpy_find_root(t, w, ea_min, ea_max, beta):
    w_sum = w.sum()
    c_sum = np.sum(w / (t * K_B))
    wt, wb = w * t, w * -INV_K_B

    def sum_a(e):
        return np.dot(special.expn(2, (e * INV_K_B) / t), wt)

    def g(e):
        a = sum_a(e)
        b = np.dot(special.expi((e * -INV_K_B) / t), wb)
        return np.log10((c_sum + 1e-10) * beta) + (
            (np.log10(a) - np.log10((w_sum + 1e-10) * beta)) - np.log10(b))

    ea = optimize.brentq(g, ea_min, ea_max, xtol=1e-8)
    tau0 = sum_a(ea) / (w_sum * beta)
    log_tau0 = np.log(tau0)

    def h(temp):
        return (np.log((temp * (temp * K_B)) / (beta * ea)) - ea / (temp * K_B)) - log_tau0

    return ea, tau0, optimize.brentq(h, 1.0, 2000.0, xtol=1e-8)


def in_order_sum(v):
    return np.cumsum(v)[-1] if len(v) else 0.0


def numpy_lbfgsb(t, w, ea, tp, ea_min, ea_max, t_min, t_max, beta, total=np.sum):
    w_sum = w.sum()
    c_sum = np.sum(w / t) * INV_K_B
    wt = w * t

    def objective(p):
        e, temp = p
        s = beta * tau0_from_tp(e, temp, beta)
        z = (e * INV_K_B) / t
        e2 = special.expn(2, z)
        y = np.exp(e2 * ((-1.0 / s) * t) + (e / -K_B) / t) / s
        area = total(np.diff(t) * ((y[1:] + y[:-1]) * 0.5)) + 1e-100
        ll = total(np.log(y / area + 1e-200) * w)
        a = np.dot(e2, wt)
        d = np.dot(special.expn(1, z), w) * -INV_K_B
        r = a / s
        g = (1.0 / (K_B * temp) + 1.0 / e) * (w_sum - r) - c_sum
        d_tp = -((e * INV_K_B) / (temp * temp) + 2.0 / temp) * (r - w_sum)
        return -ll, np.array([-(g - d / s), d_tp])

    res = optimize.minimize(objective, [ea, tp], jac=True, method="L-BFGS-B",
                            bounds=[(ea_min, ea_max), (t_min, t_max)],
                            options=dict(maxcor=10, maxiter=10000, gtol=1e-5, ftol=0.0))
    e, temp = res.x
    return e, tau0_from_tp(e, temp, beta), temp


# ---------------------------------------------------------------------------------------------
# Timing


def median_time(fn, repeats):
    fn()  # warm-up (and starts the worker pool)
    times = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def interleaved(fns, repeats):
    """Median times of several functions, called in turn so that a slow phase of the machine
    hits all of them."""
    for fn in fns:
        fn()
    times = [[] for _ in fns]
    for _ in range(repeats):
        for i, fn in enumerate(fns):
            t0 = time.perf_counter()
            fn()
            times[i].append(time.perf_counter() - t0)
    return [statistics.median(ts) for ts in times]


def check_agreement(name, n, ours, theirs):
    d_ea = abs(ours[0] - theirs[0]) / theirs[0]
    d_tp = abs(ours[2] - theirs[2])
    if not (d_ea <= AGREEMENT["ea"] and d_tp <= AGREEMENT["tp"]):
        raise SystemExit(f"FAIL: {name} N={n}: ours {ours} vs NumPy/SciPy {theirs}")
    return d_ea, d_tp


# ---------------------------------------------------------------------------------------------
# The mixture, in a child process per pool size

EM_TRUTH = [(0.6, 180.0, 0.3), (1.0, 280.0, 0.45), (1.6, 400.0, 0.25)]
EM_START = dict(ea=[0.5, 1.2, 1.4], tp=[170.0, 290.0, 390.0])


def em_child(iters, repeats):
    t, intensity = thermogram(EM_TRUTH, 100.0, 500.0, 2000, 1e6, seed=3)

    def fit(max_iter):
        ea, tp = np.array(EM_START["ea"]), np.array(EM_START["tp"])
        velmora_core.run_tsdc_em_loop(t, intensity, ea, tau0_from_tp(ea, tp), tp,
                                      np.full(3, 1 / 3), np.ones(3), [False] * 3, [False] * 3,
                                      BETA, 0.05, 5.0, 100.0, 500.0, max_iter, 0.0)
        return ea, tp

    fit(1)
    t_0, t_k = [], []
    for _ in range(repeats):
        for m, out in ((0, t_0), (iters, t_k)):
            t0 = time.perf_counter()
            fit(m)
            out.append(time.perf_counter() - t0)
    per_iter = max(statistics.median(t_k) - statistics.median(t_0), 0.0) / iters
    ea, tp = fit(iters)
    print(per_iter, " ".join(f"{v!r}" for v in [*ea, *tp]))


def em_in_child(threads, iters, repeats):
    env = dict(os.environ)
    env.pop("RAYON_RS_NUM_CPUS", None)
    env["RAYON_NUM_THREADS"] = str(threads)
    module_dir = os.path.dirname(os.path.abspath(velmora_core.__file__))
    env["PYTHONPATH"] = os.pathsep.join([module_dir] + [p for p in [env.get("PYTHONPATH")] if p])
    out = subprocess.run([sys.executable, os.path.abspath(__file__), "--em-child", str(iters),
                          str(repeats)], env=env, check=True, capture_output=True,
                         text=True).stdout.split()
    return float(out[0]), out[1:]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="tiny smoke run")
    parser.add_argument("--em-child", nargs=2, type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.em_child:
        em_child(*args.em_child)
        return

    pool, source = pool_size()
    repeats = 3 if args.quick else 15
    print(f"TSDC benchmark  (numpy {np.__version__}, python {sys.version.split()[0]}, "
          f"module {velmora_core.__file__})")
    print(f"pool size: {pool}  (from {source}); CPUs available: {len(os.sched_getaffinity(0))}; "
          f"load average at start: {' '.join(f'{v:.2f}' for v in os.getloadavg())}")
    print(f"times are medians of {repeats} calls, ours and NumPy/SciPy called in turn")
    print()
    header = (f"{'function':<31} {'N':>6} | {'ours ms':>9} {'numpy ms':>9} {'numpy/ours':>10} | "
              f"{'rel d ea':>9} {'d tp (K)':>9} | target >= {TARGET:g}x")
    print(header)
    print("-" * len(header))
    ratios = []
    for n in (1_000, 20_000):
        t, w = thermogram([(1.0, 300.0, 1.0)], 200.0, 400.0, n, 1e6, seed=1)
        s, b = START, BOUNDS
        cases = [
            ("tsdc_mle_find_root",
             lambda: velmora_core.tsdc_mle_find_root(t, w, s["ea"], s["tau0"], s["tp"],
                                                     b["ea_min"], b["ea_max"], BETA),
             lambda: numpy_find_root(t, w, b["ea_min"], b["ea_max"], BETA)),
            ("tsdc_mle_lbfgsb",
             lambda: velmora_core.tsdc_mle_lbfgsb(t, w, s["ea"], s["tau0"], s["tp"],
                                                  b["ea_min"], b["ea_max"], b["t_min"],
                                                  b["t_max"], BETA),
             lambda: numpy_lbfgsb(t, w, s["ea"], s["tp"], b["ea_min"], b["ea_max"],
                                  b["t_min"], b["t_max"], BETA)),
            ("tsdc_mle_lbfgsb, in-order sums",
             lambda: velmora_core.tsdc_mle_lbfgsb(t, w, s["ea"], s["tau0"], s["tp"],
                                                  b["ea_min"], b["ea_max"], b["t_min"],
                                                  b["t_max"], BETA),
             lambda: numpy_lbfgsb(t, w, s["ea"], s["tp"], b["ea_min"], b["ea_max"],
                                  b["t_min"], b["t_max"], BETA, in_order_sum)),
        ]
        for name, ours, theirs in cases:
            d_ea, d_tp = check_agreement(name, n, ours(), theirs())
            t_ours, t_np = interleaved([ours, theirs], repeats)
            ratio = t_np / t_ours
            ratios.append((name, n, ratio))
            print(f"{name:<31} {n:>6} | {t_ours * 1e3:>9.3f} {t_np * 1e3:>9.3f} {ratio:>10.2f} | "
                  f"{d_ea:>9.1e} {d_tp:>9.1e} | {'met' if ratio >= TARGET else 'NOT met'}",
                  flush=True)

    iters = 3 if args.quick else 10
    em_repeats = 3 if args.quick else 7
    print()
    print(f"run_tsdc_em_loop, K = 3, N = 2000: time per iteration = (t({iters}) - t(0)) / {iters}, "
          f"medians of {em_repeats}, in a child process per pool size")
    per_iter = {}
    fitted = {}
    for threads in (1, 2):
        per_iter[threads], fitted[threads] = em_in_child(threads, iters, em_repeats)
        print(f"  RAYON_NUM_THREADS={threads}: {per_iter[threads] * 1e3:8.2f} ms per iteration",
              flush=True)
    if fitted[1] != fitted[2]:
        raise SystemExit("FAIL: the mixture fit differs between 1 and 2 threads")
    speedup = per_iter[1] / per_iter[2]
    print(f"  speed-up 1 -> 2 threads: {speedup:.2f}x  (fitted values bit-identical: yes)")

    print()
    summary = ", ".join(f"{name} N={n}: {r:.2f}x" for name, n, r in ratios)
    met = all(r >= TARGET for _, _, r in ratios)
    print(f"SUMMARY pool={pool}: numpy/ours {summary} (target >= {TARGET:g}x: "
          f"{'met' if met else 'NOT met'}); run_tsdc_em_loop K=3 N=2000 "
          f"{per_iter[2] * 1e3:.2f} ms/iteration with 2 threads, speed-up 1->2 {speedup:.2f}x")


if __name__ == "__main__":
    main()
