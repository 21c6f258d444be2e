"""Speed and memory of run_em_loop (Gaussian peaks, no background) against two baselines
measured in the same run:

* a vectorised NumPy implementation of the same EM iteration (same floors, same update
  order, same stopping rule), whose final values must agree with ours to 1e-10 relative;
* the "floor": the K*N scalar exp calls and N scalar log calls one iteration cannot avoid,
  timed single-threaded in C++ (bench/exp_log_floor.cpp) and divided by min(K, pool size).

Times per iteration are (t(k) - t(0)) / k with t(k) the median wall time of a call with
max_iter=k and r_eps=0, so argument conversion, allocation and the initial E-step are not
counted.  Peak memory is measured per case in a fresh interpreter.

    PYTHONPATH=build/dev python3 bench/bench_em.py [--quick]
    RAYON_NUM_THREADS=1 PYTHONPATH=build/dev python3 bench/bench_em.py
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

# NumPy's BLAS is not used here; keeping its worker threads from starting leaves both cores of a
# small machine to the pool under test.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))

try:
    import velmora_core
except ImportError:  # fall back to the developer build of this checkout
    sys.path.insert(0, os.path.join(HERE, "..", "build", "dev"))
    import velmora_core

SQRT2 = 1.4142135623730951
TWO_PI = 6.283185307179586
RESP_FLOOR = 1e-20
LL_FLOOR = 1e-200
SIGMA_FLOOR = 1e-5
EMPTY_WEIGHT = 1e-300
WEIGHT_OFFSET = 1e-100
TOLERANCE = 1e-10  # NumPy's exp/log/sums differ from the C library's in the last bits


def positive_int(text):
    if text and text.isdigit() and int(text) > 0:
        return int(text)
    return None


def pool_size():
    """The worker pool's size: RAYON_NUM_THREADS, else RAYON_RS_NUM_CPUS, else the CPUs
    this process may run on."""
    for name in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"):
        n = positive_int(os.environ.get(name, ""))
        if n:
            return n, name
    return max(1, len(os.sched_getaffinity(0))), "sched_getaffinity"


# ---------------------------------------------------------------------------------------------
# Synthetic data


def make_case(n, k, seed):
    """A grid on [0, 100], Poisson counts of K Gaussian peaks on a flat background, and a
    starting guess some way off the truth."""
    rng = np.random.default_rng(seed)
    x = np.linspace(0.0, 100.0, n)
    centres = np.linspace(10.0, 90.0, k) + rng.uniform(-2.0, 2.0, k)
    widths = rng.uniform(0.8, 3.0, k)
    heights = rng.uniform(50.0, 500.0, k)
    rate = np.full(n, 2.0)
    for c, w, h in zip(centres, widths, heights):
        rate += h * np.exp(-0.5 * ((x - c) / w) ** 2)
    intensity = rng.poisson(rate).astype(np.float64)
    start = dict(mu=centres + rng.normal(0.0, 0.4, k) * widths,
                 sigma=widths * rng.uniform(1.1, 1.6, k),
                 pi=np.full(k, 1.0 / k),
                 dirichlet_alpha=np.full(k, 2.0))
    return x, intensity, start


def ours(x, intensity, start, max_iter, r_eps=0.0):
    mu, sigma, pi = start["mu"].copy(), start["sigma"].copy(), start["pi"].copy()
    k = len(mu)
    n_iter, ll, rel, _ = velmora_core.run_em_loop(
        x, intensity, mu, sigma, pi, start["dirichlet_alpha"], [False] * k, [False] * k,
        max_iter, r_eps, float(x[0]), float(x[-1]))
    return n_iter, ll, rel, mu, sigma, pi


# ---------------------------------------------------------------------------------------------
# The same EM in vectorised NumPy


def numpy_em(x, intensity, start, max_iter, r_eps=0.0, fix_mu=None, fix_sigma=None):
    mu = start["mu"].astype(np.float64).copy()
    sigma = start["sigma"].astype(np.float64).copy()
    pi = start["pi"].astype(np.float64).copy()
    alpha = start["dirichlet_alpha"]
    k, n = len(mu), len(x)
    fix_mu = np.zeros(k, bool) if fix_mu is None else np.asarray(fix_mu, bool)
    fix_sigma = np.zeros(k, bool) if fix_sigma is None else np.asarray(fix_sigma, bool)
    dens = np.empty((k, n))    # densities, then scratch in the M-step
    resp = np.empty((k, n))    # responsibilities, then the weights I * gamma
    mix = np.empty(n)
    row = np.empty(n)
    col = (slice(None), None)

    def refresh():
        nonlocal dens, mix, resp, row  # updated in place only
        c = 1.0 / (sigma * SQRT2)
        q = np.sqrt(sigma * (sigma * TWO_PI))
        np.subtract(x, mu[col], out=dens)
        dens *= c[col]
        np.multiply(dens, dens, out=dens)
        np.negative(dens, out=dens)
        np.exp(dens, out=dens)
        dens /= q[col]
        # mixture density, columns added in increasing order
        np.multiply(dens[0], pi[0], out=mix)
        for j in range(1, k):
            np.multiply(dens[j], pi[j], out=row)
            mix += row
        np.multiply(dens, pi[col], out=resp)
        np.add(mix, RESP_FLOOR, out=row)
        resp /= row
        np.add(mix, LL_FLOOR, out=row)
        np.log(row, out=row)
        row *= intensity
        return float(row.sum())

    def m_step():
        nonlocal mu, sigma, pi, dens, resp  # arrays updated in place only
        resp *= intensity                      # w = I * gamma, one row per component
        total = resp.sum(axis=1)
        # Dirichlet MAP mixing weights, clipped at zero
        v = (total + alpha) - 1.0
        qv = v / v.sum()
        v = np.where(qv > 0.0, qv, 0.0)
        pi = v / v.sum()
        # closed-form Gaussian update with the weight offset and the width floor
        frozen = (fix_mu & fix_sigma) | (total < EMPTY_WEIGHT)
        f = total + WEIGHT_OFFSET
        np.multiply(resp, x, out=dens)
        new_mu = np.where(fix_mu | frozen, mu, dens.sum(axis=1) / f)
        np.subtract(x, new_mu[col], out=dens)
        resp *= dens
        resp *= dens
        var = resp.sum(axis=1) / f
        with np.errstate(invalid="ignore"):
            s = np.where(var > 0.0, np.maximum(np.sqrt(np.where(var > 0.0, var, 1.0)),
                                               SIGMA_FLOOR), SIGMA_FLOOR)
        new_sigma = np.where(fix_sigma | frozen, sigma, s)
        mu, sigma = new_mu, new_sigma

    with np.errstate(divide="ignore", invalid="ignore", over="ignore", under="ignore"):
        ll_prev = refresh()
        ll_hist, rel_hist, n_iter = [ll_prev], [0.0], 0
        while n_iter < max_iter:
            m_step()
            ll = refresh()
            rel = float(np.float64(ll - ll_prev) / abs(np.float64(ll_prev)))
            ll_hist.append(ll)
            rel_hist.append(rel)
            n_iter += 1
            if r_eps > abs(rel):
                break
            ll_prev = ll
    return n_iter, np.array(ll_hist), np.array(rel_hist), mu, sigma, pi


def max_rel_diff(a, b):
    a, b = np.asarray(a, np.float64), np.asarray(b, np.float64)
    scale = np.maximum(np.abs(a), np.abs(b))
    diff = np.abs(a - b)
    with np.errstate(invalid="ignore", divide="ignore"):
        rel = np.where(diff == 0.0, 0.0, diff / scale)
    return float(rel.max()) if rel.size else 0.0


# ---------------------------------------------------------------------------------------------
# Timing


def wall(fn):
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def build_floor(workdir):
    exe = os.path.join(workdir, "exp_log_floor")
    cmd = ["g++", "-std=c++20", "-O2", "-ffp-contract=off", "-o", exe,
           os.path.join(HERE, "exp_log_floor.cpp"), "-lm"]
    subprocess.run(cmd, check=True)
    return exe


class Floor:
    """The exp/log loop of bench/exp_log_floor.cpp for one case, kept running so that its
    samples can be taken between the other timings."""

    def __init__(self, exe, workdir, x, mu, sigma, pi):
        xf, pf = os.path.join(workdir, "x.bin"), os.path.join(workdir, "params.bin")
        np.ascontiguousarray(x, np.float64).tofile(xf)
        np.concatenate([mu, sigma, pi]).astype(np.float64).tofile(pf)
        self.proc = subprocess.Popen([exe, xf, pf], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True)
        if self.proc.stdout.readline().strip() != "ready":
            raise SystemExit("FAIL: exp_log_floor did not start")

    def sample(self, passes):
        """Single-threaded seconds of the K*N exp calls and of the N log calls (medians)."""
        self.proc.stdin.write(f"{passes}\n")
        self.proc.stdin.flush()
        out = self.proc.stdout.readline().split()
        return float(out[0]), float(out[1])

    def close(self):
        self.proc.stdin.close()
        self.proc.wait()


def time_case(x, intensity, start, iters, rounds, floor):
    """Per-iteration seconds of ours and of NumPy, (t(iters) - t(0)) / iters from medians,
    and the floor's exp and log seconds.  The four timings are taken in turn in every round so
    that a slow spell of this shared machine weighs on all of them alike."""
    n, k = len(x), len(start["mu"])
    passes = max(1, int(2e6 // (n * k)))   # at least ~10 ms per floor sample
    t = {name: [] for name in ("ours0", "oursk", "np0", "npk", "exp", "log")}
    for r in range(rounds):
        e, lg = floor.sample(passes)
        t["exp"].append(e)
        t["log"].append(lg)
        t["ours0"].append(wall(lambda: ours(x, intensity, start, 0)))
        t["oursk"].append(wall(lambda: ours(x, intensity, start, iters)))
        if r % 2 == 0 or rounds <= 5:   # NumPy is slower; half the rounds are enough
            t["np0"].append(wall(lambda: numpy_em(x, intensity, start, 0)))
            t["npk"].append(wall(lambda: numpy_em(x, intensity, start, iters)))
    med = {name: statistics.median(v) for name, v in t.items()}
    per_it = lambda a, b: max(med[a] - med[b], 0.0) / iters  # noqa: E731
    return per_it("oursk", "ours0"), per_it("npk", "np0"), med["exp"], med["log"]


# ---------------------------------------------------------------------------------------------
# Peak memory, in a fresh interpreter per case

# The child reads its peak RSS from /proc/self/status (VmHWM) rather than getrusage: a freshly
# started interpreter's ru_maxrss also carries the peak of the process that started it (Linux
# keeps the larger of the two across exec), which would hide the fit's allocations.  VmHWM is
# the same high-water mark for the child's own address space alone.
MEMORY_CHILD = r"""
import sys
import numpy as np
import velmora_core
x = np.load(sys.argv[1]); intensity = np.load(sys.argv[2]); start = np.load(sys.argv[3])
k = len(start["mu"])
def fit(x, intensity, iters):
    mu, sigma, pi = start["mu"].copy(), start["sigma"].copy(), start["pi"].copy()
    velmora_core.run_em_loop(x, intensity, mu, sigma, pi, start["dirichlet_alpha"],
                             [False] * k, [False] * k, iters, 0.0, float(x[0]), float(x[-1]))
fit(x[:64].copy(), intensity[:64].copy(), 1)   # starts the worker pool
def status(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key):
                return int(line.split()[1]) * 1024
before = status("VmHWM:")
slack = before - status("VmRSS:")
fit(x, intensity, int(sys.argv[4]))
print(status("VmHWM:") - before, slack)
"""


def peak_memory(workdir, x, intensity, start, iters):
    paths = [os.path.join(workdir, f) for f in ("mx.npy", "mi.npy", "ms.npz")]
    np.save(paths[0], x)
    np.save(paths[1], intensity)
    np.savez(paths[2], **start)
    env = dict(os.environ)
    module_dir = os.path.dirname(os.path.abspath(velmora_core.__file__))
    env["PYTHONPATH"] = os.pathsep.join([module_dir] + [p for p in [env.get("PYTHONPATH")] if p])
    out = subprocess.run([sys.executable, "-c", MEMORY_CHILD, *paths, str(iters)], env=env,
                         check=True, capture_output=True, text=True).stdout.split()
    return int(out[0]), int(out[1])


# ---------------------------------------------------------------------------------------------


class MachineShare:
    """How much of the machine other processes took while this benchmark ran: CPU time of the
    whole machine (/proc/stat) minus that of this process and its children."""

    def __init__(self):
        self.t0, self.own0, self.busy0 = time.perf_counter(), self.own(), self.busy()

    @staticmethod
    def own():
        t = os.times()
        return t.user + t.system + t.children_user + t.children_system

    @staticmethod
    def busy():
        """(busy seconds, steal seconds) of all CPUs, or None where /proc/stat is missing."""
        try:
            with open("/proc/stat") as f:
                fields = [int(v) for v in f.readline().split()[1:]]
        except OSError:
            return None
        hz = os.sysconf("SC_CLK_TCK")
        user, nice, system, idle, iowait, irq, softirq, steal = (fields + [0] * 8)[:8]
        return (user + nice + system + irq + softirq) / hz, steal / hz

    def stop(self):
        """(others' share, steal share) of the machine's CPU time since construction."""
        busy = self.busy()
        if busy is None or self.busy0 is None:
            return 0.0, 0.0
        capacity = (time.perf_counter() - self.t0) * os.cpu_count()
        others = (busy[0] - self.busy0[0]) - (self.own() - self.own0)
        return max(others, 0.0) / capacity, (busy[1] - self.busy0[1]) / capacity


def check_stopping_rule(x, intensity, start):
    """Both implementations must stop on the same iteration of a converging fit."""
    r_eps = 1e-9
    a = ours(x, intensity, start, 1000, r_eps)
    b = numpy_em(x, intensity, start, 1000, r_eps)
    if a[0] != b[0]:
        raise SystemExit(f"FAIL: stopping rule: ours stopped after {a[0]} iterations, "
                         f"NumPy after {b[0]}")
    return a[0], max_rel_diff(a[1], b[1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="tiny smoke run")
    args = parser.parse_args()

    pool, pool_source = pool_size()
    if args.quick:
        sizes, ks, iters = [2_000, 10_000], [2, 5], 3
        repeats = {2_000: 3, 10_000: 3}
    else:
        sizes, ks, iters = [10_000, 100_000, 1_000_000], [2, 5, 10], 10
        repeats = {10_000: 21, 100_000: 15, 1_000_000: 5}

    print(f"run_em_loop benchmark  (numpy {np.__version__}, python "
          f"{sys.version.split()[0]}, module {velmora_core.__file__})")
    machine = MachineShare()
    print(f"pool size: {pool}  (from {pool_source}); CPUs available: "
          f"{len(os.sched_getaffinity(0))}; load average at start: "
          f"{' '.join(f'{v:.2f}' for v in os.getloadavg())}")
    built = time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(os.path.getmtime(velmora_core.__file__)))
    print(f"module built {built}")
    print(f"per-iteration times are (t({iters}) - t(0)) / {iters}, medians; floor = single-thread "
          f"exp+log time / min(K, {pool})")
    print("peak = VmHWM increase over the fit in a fresh interpreter; 2MN8 = density and "
          "responsibility matrices;\nextra/8N = (peak - 2MN8) in vectors of N doubles")
    print()

    header = (f"{'N':>9} {'K':>3} | {'ours ms/it':>10} {'numpy ms/it':>11} {'np/ours':>7} | "
              f"{'floor ms':>8} {'ours/floor':>10} | {'ns/(N*K)':>8} | {'max rel diff':>12} | "
              f"{'peak MB':>8} {'2MN8 MB':>8} {'peak/2MN8':>9} {'extra/8N':>8}")
    print(header)
    print("-" * len(header))

    rows = []
    workdir = tempfile.mkdtemp(prefix="bench_em_")
    try:
        exe = build_floor(workdir)
        for n in sizes:
            for k in ks:
                x, intensity, start = make_case(n, k, seed=k)

                # agreement of the two implementations on the timed iteration count
                a = ours(x, intensity, start, iters)
                b = numpy_em(x, intensity, start, iters)
                diff = max(max_rel_diff(a[1], b[1]), max_rel_diff(a[3], b[3]),
                           max_rel_diff(a[4], b[4]), max_rel_diff(a[5], b[5]))
                if a[0] != b[0] or not diff <= TOLERANCE:
                    raise SystemExit(f"FAIL: N={n} K={k}: NumPy and ours disagree "
                                     f"(n_iter {a[0]} vs {b[0]}, max rel diff {diff:.3e})")

                floor_loop = Floor(exe, workdir, x, a[3], a[4], a[5])
                try:
                    t_ours, t_np, t_exp, t_log = time_case(x, intensity, start, iters,
                                                           repeats[n], floor_loop)
                finally:
                    floor_loop.close()
                floor = (t_exp + t_log) / min(k, pool)
                peak, slack = peak_memory(workdir, x, intensity, start, 3)
                matrices = 2 * k * n * 8
                row = dict(n=n, k=k, ours=t_ours, numpy=t_np, floor=floor, diff=diff,
                           peak=peak, matrices=matrices, slack=slack, exp=t_exp, log=t_log)
                rows.append(row)
                print(f"{n:>9} {k:>3} | {t_ours * 1e3:>10.3f} {t_np * 1e3:>11.3f} "
                      f"{t_np / t_ours:>7.2f} | {floor * 1e3:>8.3f} {t_ours / floor:>10.2f} | "
                      f"{t_ours * 1e9 / (n * k):>8.2f} | {diff:>12.2e} | "
                      f"{peak / 1e6:>8.2f} {matrices / 1e6:>8.2f} {peak / matrices:>9.2f} "
                      f"{(peak - matrices) / (8 * n):>8.2f}",
                      flush=True)
                if slack > 0.05 * matrices:
                    print(f"    note: peak RSS was {slack / 1e6:.1f} MB above the current RSS "
                          "before the call; the peak increase may be understated")
    finally:
        shutil.rmtree(workdir, ignore_errors=True)

    # the stopping rule on a converging fit (smallest grid, every K)
    print()
    for k in ks:
        x, intensity, start = make_case(sizes[0], k, seed=k)
        n_iter, d = check_stopping_rule(x, intensity, start)
        print(f"stopping rule (r_eps=1e-9, N={sizes[0]}, K={k}): both stop after {n_iter} "
              f"iterations, ll history max rel diff {d:.2e}")

    print()
    print("single-thread floor detail (ns per call):")
    for r in rows:
        print(f"  N={r['n']:>8} K={r['k']:>2}: exp {r['exp'] * 1e9 / (r['n'] * r['k']):6.2f}  "
              f"log {r['log'] * 1e9 / r['n']:6.2f}")

    ns = [r["ours"] * 1e9 / (r["n"] * r["k"]) for r in rows]
    big = [v for r, v in zip(rows, ns) if r["n"] >= 100_000]
    scope = "over N >= 1e5"
    if not big:
        big, scope = ns, "over all cases"
    target = next((r for r in rows if r["n"] == 100_000 and r["k"] == 5), rows[-1])
    np_ratio = target["numpy"] / target["ours"]
    fl_ratio = target["ours"] / target["floor"]
    spread = max(big) / min(big)
    print()
    for k in ks:
        per_n = "  ".join(f"N={r['n']:.0e}: {v:6.2f}" for r, v in zip(rows, ns) if r["k"] == k)
        print(f"ours ns per (N*K), K={k:>2}:  {per_n}")
    print(f"ns per (N*K), ours: min {min(ns):.2f}  max {max(ns):.2f}  (all cases); "
          f"max/min {spread:.2f} {scope}")
    others, steal = machine.stop()
    print(f"CPU taken by other processes during the run: {others:.0%} of the machine; "
          f"steal: {steal:.0%}")
    if others > 0.1 or steal > 0.05:
        print("WARNING: this machine was shared during the run, so the times are noisy "
              "(the single-threaded floor suffers least from it)")
    print(f"SUMMARY N={target['n']} K={target['k']} pool={pool}: "
          f"numpy/ours = {np_ratio:.2f} (target >= 2: {'met' if np_ratio >= 2 else 'NOT met'}); "
          f"ours/floor = {fl_ratio:.2f} (target <= 1.5: {'met' if fl_ratio <= 1.5 else 'NOT met'}); "
          f"time linear in N*K: {'yes' if spread <= 1.5 else 'no'} "
          f"(ns/(N*K) max/min {spread:.2f} {scope})")


if __name__ == "__main__":
    main()
