"""Same numbers, same speed: a fixed set of fits against another build of the package.

A change to the core that should not change any result is checked here against the build it
started from.  The set covers every peak shape, the tie forms (an expression, a shared width,
an area ratio, a doublet, a Kα2 partner, bounds, fixed parameters), every background kind (none,
uniform, sqrt, linear, spline, Shirley on binding and kinetic energy, Tougaard's universal and
three-parameter cross-sections), a many-peak fit and a batch; every spectrum is simulated with
a fixed seed.  Three commands:

    python bench/bench_same_fits.py record REF.json     # this build's fits, to a file
    python bench/bench_same_fits.py compare REF.json    # this build's fits against the file
    python bench/bench_same_fits.py time --baseline PY  # single fit and batch, both builds

``compare`` prints, per fit, the relative difference of the maximum log-likelihood (target:
at most 1e-9) and the largest relative change of an estimate or standard error, and exits
with status 1 when a log-likelihood moved by more.  ``time`` runs the timed fits in child
processes of this interpreter and of ``PY`` (another build's Python, such as
``/work/main/.venv/bin/python``) in turn and prints the medians and the ratios ours / theirs
(target: at most 1 for the single fit's time, at least 1 for the batch's throughput; the
shared machine moves single timings by up to ±30%, so the rounds alternate).

Each run imports the velmora installed in the interpreter that runs it, never the source tree.
"""
import argparse
import json
import math
import os
import statistics
import subprocess
import sys
import time
import warnings

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

LL_TOLERANCE = 1e-9  # largest relative difference of a maximum log-likelihood

# ----------------------------------------------------------------------------- spectra


def gauss(x, x0, sigma):
    return np.exp(-0.5 * ((x - x0) / sigma) ** 2) / (sigma * math.sqrt(2.0 * math.pi))


def lorentz(x, x0, fwhm):
    g = 0.5 * fwhm
    return g / math.pi / ((x - x0) ** 2 + g * g)


def counts_of(rate, seed):
    return np.random.default_rng(seed).poisson(rate).astype(np.float64)


def two_peaks(shape, seed):
    """Two overlapping peaks of ``shape`` (drawn as Gaussians or Lorentzians of similar
    width: the fit's start and path matter here, not the truth)."""
    x = np.linspace(0.0, 10.0, 401)
    step = x[1] - x[0]
    draw = lorentz if shape in ("lorentzian", "doniach_sunjic") else \
        (lambda x, c, w: gauss(x, c, w / 2.3548))
    rate = 20.0 + step * (20000.0 * draw(x, 4.0, 0.7) + 12000.0 * draw(x, 5.2, 0.9))
    return x, counts_of(rate, seed)


def xps(seed, n=601, lo=80.0, hi=92.0, kinetic=False):
    """An Au 4f-like doublet on a Shirley-like step (binding energy unless ``kinetic``)."""
    x = np.linspace(lo, hi, n)
    step = x[1] - x[0]
    peaks = 30000.0 * lorentz(x, 84.0, 0.6) + 22500.0 * lorentz(x, 87.67, 0.6)
    cum = np.cumsum(peaks) * step
    tail = cum[::-1] if kinetic else cum
    rate = 40.0 + step * peaks * 1.0 + 0.004 * tail * 40.0
    return x, counts_of(rate, seed)


def thermogram(seed):
    t = np.linspace(150.0, 350.0, 801)
    rate = 20.0 + 900.0 * np.exp(-0.5 * ((t - 245.0) / 12.0) ** 2) \
        + 600.0 * np.exp(-0.5 * ((t - 290.0) / 10.0) ** 2)
    return t, counts_of(rate, seed)


def xrd(seed):
    """A reflection with its Cu Kα2 partner on a low background."""
    x = np.linspace(27.5, 29.5, 801)
    step = x[1] - x[0]
    rate = 15.0 + step * (40000.0 * lorentz(x, 28.44, 0.08) + 20000.0 * lorentz(x, 28.512, 0.08))
    return x, counts_of(rate, seed)


def many_peaks(count, n, seed):
    """``count`` overlapping Voigt-like peaks over ``n`` channels on a Shirley-like step."""
    x = np.linspace(0.0, 100.0, n)
    step = x[1] - x[0]
    centres = np.linspace(5.0, 95.0, count)
    peaks = sum(3000.0 * (0.5 * gauss(x, c, 0.6) + 0.5 * lorentz(x, c, 1.2)) for c in centres)
    rate = 20.0 + step * peaks + 0.002 * np.cumsum(peaks) * step
    return x, counts_of(rate, seed), centres


# ------------------------------------------------------------------------------- fits


def cases(velmora):
    """(name, function returning a FitResult or a BatchResult) of every fit of the set."""
    Peak = velmora.Peak
    out = []

    for shape in ("gaussian", "lorentzian", "pseudo_voigt", "voigt", "doniach_sunjic"):
        def one(shape=shape):
            x, y = two_peaks(shape, 1)
            return velmora.fit(x, y, [Peak(shape, x0=3.8), Peak(shape, x0=5.4)],
                               background="uniform")
        out.append((f"shape {shape}", one))

    def tsdc():
        t, y = thermogram(2)
        return velmora.fit(t, y, [Peak("tsdc", tp=240.0, beta=0.1),
                                  Peak("tsdc", tp=295.0, beta=0.1)], background="uniform")
    out.append(("shape tsdc", tsdc))

    backgrounds = {
        "none": dict(background=None),
        "uniform": dict(background="uniform"),
        "sqrt": dict(background="sqrt"),
        "linear": dict(background="linear"),
        "spline": dict(background="spline", knots=3),
        "shirley binding": dict(background="shirley"),
        "shirley kinetic": dict(background="shirley", energy="kinetic"),
        "tougaard": dict(background="tougaard"),
        "tougaard3": dict(background=velmora.Tougaard(C=551.0, D=436.0)),
    }
    for name, options in backgrounds.items():
        def bg(options=options, kinetic=name.endswith("kinetic")):
            x, y = xps(3, kinetic=kinetic)
            if kinetic:
                x = 1486.6 - x[::-1]
                y = y[::-1]
            x0 = (1486.6 - 84.0, 1486.6 - 87.67) if kinetic else (84.0, 87.67)
            return velmora.fit(x, y, [Peak("voigt", name="a", x0=x0[0]),
                                      Peak("voigt", name="b", x0=x0[1])], **options)
        out.append((f"background {name}", bg))

    def expression_ties():
        x, y = xps(4)
        return velmora.fit(x, y, [
            Peak("pseudo_voigt", name="a", x0=84.1, bounds={"x0": (83.5, 84.5)}),
            Peak("pseudo_voigt", name="b", x0="a.x0 + 3.67", gamma="a.gamma",
                 eta="a.eta", area="0.75 * a.area")], background="shirley")
    out.append(("ties expression, shared, area", expression_ties))

    def curved_tie():
        x, y = xps(5)
        return velmora.fit(x, y, [
            Peak("voigt", name="a", x0=84.1, fix=("gamma",), gamma=0.3),
            Peak("voigt", name="b", x0="a.x0 * exp(log(1.0437))", sigma="a.sigma",
                 gamma=0.3, fix=("gamma",))], background="linear")
    out.append(("ties curved, fixed", curved_tie))

    def doublet():
        x, y = xps(6)
        return velmora.fit(x, y, velmora.doublet("doniach_sunjic", "Au4f", x0=84.0),
                           background="shirley")
    out.append(("doublet doniach_sunjic", doublet))

    def kalpha2():
        x, y = xrd(7)
        ka1 = Peak("pseudo_voigt", name="r", x0=28.45)
        return velmora.fit(x, y, [ka1, velmora.kalpha2(ka1, "Cu")], background="uniform")
    out.append(("Kα2 partner", kalpha2))

    def bounded():
        x, y = two_peaks("voigt", 8)
        return velmora.fit(x, y, [Peak("voigt", x0=3.8, bounds={"sigma": (0.05, 0.2)}),
                                  Peak("voigt", x0=5.4)], background="sqrt",
                           bounds={"gamma": (0.01, 0.3)})
    out.append(("bounds", bounded))

    def mixed():
        x, y = two_peaks("pseudo_voigt", 9)
        return velmora.fit(x, y, [Peak("gaussian", x0=3.8), Peak("lorentzian", x0=5.4),
                                  Peak("doniach_sunjic", x0=6.5)], background="spline")
    out.append(("mixed shapes", mixed))

    def many():
        x, y, centres = many_peaks(12, 2000, 10)
        return velmora.fit(x, y, [Peak("voigt", x0=float(c)) for c in centres],
                           background="shirley", energy="binding")
    out.append(("12 Voigt peaks, Shirley", many))

    def batch():
        x, y = xps(11)
        rng = np.random.default_rng(12)
        Y = np.stack([rng.poisson(np.maximum(y * s, 0.0)).astype(np.float64)
                      for s in np.linspace(0.8, 1.2, 12)])
        return velmora.fit_many(x, Y, [Peak("voigt", name="a", x0=84.0),
                                       Peak("voigt", name="b", x0=87.67)],
                                background="shirley", progress=False, workers=1)
    out.append(("batch of 12, Shirley", batch))

    def batch_tougaard():
        x, y = xps(13)
        rng = np.random.default_rng(14)
        Y = np.stack([rng.poisson(np.maximum(y * s, 0.0)).astype(np.float64)
                      for s in np.linspace(0.9, 1.1, 6)])
        return velmora.fit_many(x, Y, [Peak("pseudo_voigt", name="a", x0=84.0),
                                       Peak("pseudo_voigt", name="b", x0=87.67)],
                                background="tougaard", progress=False, workers=1)
    out.append(("batch of 6, Tougaard", batch_tougaard))
    return out


def summary(result):
    """The numbers of a fit to compare: log-likelihoods and every estimate with its error."""
    if hasattr(result, "names"):  # a BatchResult
        values = {n: result.values[n].tolist() for n in result.names}
        errors = {n: result.stderr[n].tolist() for n in result.names}
        return {"log_likelihood": result.log_likelihood.tolist(),
                "status": result.status.tolist(), "values": values, "stderr": errors}
    values, errors = {}, {}
    for peak in result.peaks:
        for key, est in peak.items():
            values[f"{peak.name}.{key}"] = est.value
            errors[f"{peak.name}.{key}"] = est.stderr
    for key, est in result.background.items():
        values[f"background.{key}"] = est.value
        errors[f"background.{key}"] = est.stderr
    return {"log_likelihood": [result.log_likelihood], "status": [result.status],
            "iterations": result.n_iter, "values": values, "stderr": errors}


def run_all():
    import velmora

    warnings.simplefilter("ignore")
    out = {}
    for name, fn in cases(velmora):
        out[name] = summary(fn())
    return {"core": velmora.__file__, "fits": out}


# --------------------------------------------------------------------------- comparing


def relative(a, b):
    if a is None or b is None:
        return 0.0 if a is b else math.inf
    a, b = float(a), float(b)
    if math.isnan(a) and math.isnan(b):
        return 0.0
    if a == b:
        return 0.0
    return abs(a - b) / max(abs(a), abs(b), 1e-300)


def compare(ref, new):
    """Prints the comparison; returns the worst relative log-likelihood difference."""
    worst = 0.0
    print(f"{'fit':34s} {'LL rel. diff':>13s} {'estimates':>10s} {'errors':>10s}  largest move")
    for name, r in ref["fits"].items():
        n = new["fits"].get(name)
        if n is None:
            print(f"{name:34s} missing")
            worst = math.inf
            continue
        ll = max((relative(a, b) for a, b in zip(r["log_likelihood"], n["log_likelihood"])),
                 default=0.0)
        worst = max(worst, ll)
        moves = []
        for field in ("values", "stderr"):
            for key, a in r[field].items():
                b = n[field].get(key)
                pairs = zip(a, b) if isinstance(a, list) else [(a, b)]
                moves.append((max(relative(u, v) for u, v in pairs), field, key))
        est = max((m for m in moves if m[1] == "values"), default=(0.0, "", ""))
        err = max((m for m in moves if m[1] == "stderr"), default=(0.0, "", ""))
        top = max(moves, default=(0.0, "", ""))
        where = f"{top[2]} ({top[1]})" if top[0] > 0 else "-"
        status = "" if r["status"] == n["status"] else f"  status {r['status']} -> {n['status']}"
        print(f"{name:34s} {ll:13.2e} {est[0]:10.2e} {err[0]:10.2e}  {where}{status}")
    print(f"worst relative log-likelihood difference: {worst:.2e} (target <= {LL_TOLERANCE:g})")
    return worst


# ------------------------------------------------------------------------------ timing


def timed_single(repeat):
    """Seconds of one fit of 12 Voigt peaks with a Shirley step, best of ``repeat``."""
    import velmora

    warnings.simplefilter("ignore")
    x, y, centres = many_peaks(12, 2000, 20)
    peaks = [velmora.Peak("voigt", x0=float(c)) for c in centres]
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        velmora.fit(x, y, peaks, background="shirley")
        times.append(time.perf_counter() - start)
    return min(times)


def timed_batch(repeat):
    """Spectra per second of a batch of 64 two-peak Shirley fits on 2 workers, best of
    ``repeat``."""
    import velmora

    warnings.simplefilter("ignore")
    x, y = xps(21)
    rng = np.random.default_rng(22)
    Y = np.stack([rng.poisson(np.maximum(y * s, 0.0)).astype(np.float64)
                  for s in np.linspace(0.8, 1.2, 64)])
    peaks = [velmora.Peak("pseudo_voigt", name="a", x0=84.0),
             velmora.Peak("pseudo_voigt", name="b", x0=87.67)]
    rates = []
    for _ in range(repeat):
        start = time.perf_counter()
        velmora.fit_many(x, Y, peaks, background="shirley", progress=False, workers=2)
        rates.append(len(Y) / (time.perf_counter() - start))
    return max(rates)


def child(python, what, repeat):
    env = dict(os.environ, RAYON_NUM_THREADS="2")
    done = subprocess.run([python, os.path.abspath(__file__), "_child", what, str(repeat)],
                          capture_output=True, text=True, env=env, cwd="/", check=True)
    return float(done.stdout.split()[-1])


def timing(baseline, rounds, repeat):
    print(f"ours: {sys.executable}\ntheirs: {baseline}")
    for what, unit, better in (("single", "s per fit", "lower"),
                               ("batch", "spectra/s", "higher")):
        ours, theirs = [], []
        for _ in range(rounds):
            theirs.append(child(baseline, what, repeat))
            ours.append(child(sys.executable, what, repeat))
        o, t = statistics.median(ours), statistics.median(theirs)
        ratio = o / t
        target = "<= 1" if better == "lower" else ">= 1"
        print(f"{what:7s} ours {o:9.4f} theirs {t:9.4f} {unit:10s} ours/theirs {ratio:6.3f} "
              f"(target {target}; rounds ours {['%.4g' % v for v in ours]}, "
              f"theirs {['%.4g' % v for v in theirs]})", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    sub = parser.add_subparsers(dest="command", required=True)
    sub.add_parser("record").add_argument("path")
    sub.add_parser("compare").add_argument("path")
    t = sub.add_parser("time")
    t.add_argument("--baseline", required=True, help="the other build's Python")
    t.add_argument("--rounds", type=int, default=5)
    t.add_argument("--repeat", type=int, default=3)
    c = sub.add_parser("_child")
    c.add_argument("what")
    c.add_argument("repeat", type=int)
    args = parser.parse_args()
    if args.command == "record":
        with open(args.path, "w") as f:
            json.dump(run_all(), f, indent=1)
        print(f"written {args.path}")
    elif args.command == "compare":
        with open(args.path) as f:
            ref = json.load(f)
        worst = compare(ref, run_all())
        sys.exit(0 if worst <= LL_TOLERANCE else 1)
    elif args.command == "time":
        timing(args.baseline, args.rounds, args.repeat)
    else:
        fn = timed_single if args.what == "single" else timed_batch
        print(fn(args.repeat))


if __name__ == "__main__":
    main()
