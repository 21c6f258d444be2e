"""The hard cases of real spectra, simulated: does ``velmora.fit`` reach the maximum of its
likelihood, and how long does it take beside lmfit?

Six spectra, each with Poisson counts, each fitted from the same starting values by:

* ``velmora.fit`` (time: median of three runs);
* lmfit's least-squares fit of the same model (the same peaks, bounds and ties; lmfit's Voigt
  with gamma freed; 1/sqrt(counts) weights; median of three runs);
* SciPy's L-BFGS-B on velmora's own objective over the same free parameters and bounds, from
  the same start and from four perturbed ones (an independent optimiser; its gradient by its
  own differences).

Printed per case: the times and lmfit / velmora (target >= 1), velmora's iterations, and its
log-likelihood against the best SciPy run, relative (target >= -1e-8).

The cases:

1. ``lorentzian_reflections``: five Lorentzian reflections fitted with Voigt peaks (each
   sigma runs to its lower bound);
2. ``unmodelled_hump``: three Voigt lines beside a weak broad hump the model does not have;
3. ``pattern_10``: a 10-reflection, 3001-point powder pattern (pairs and a triplet
   overlapping, weak and strong reflections, falling background) with Voigt peaks;
4. ``voigt_doublet``: a 78-point Voigt doublet whose second line is Gaussian (its gamma ends
   on its bound), the pair tied (splitting, area ratio);
5. ``xps_triplet_shirley``: an XPS C 1s triplet of pseudo-Voigt lines on an active Shirley
   background;
6. ``no_signal``: one Voigt line and a second Voigt peak started where there is nothing.

    python bench/bench_hard_cases.py [--case NAME]

lmfit is a benchmark dependency only (requirements-bench.txt).
"""
import argparse
import os
import time
import warnings

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402
import velmora_core  # noqa: E402
from scipy.optimize import minimize  # noqa: E402

import velmora  # noqa: E402

FWHM_PER_SIGMA = 2.3548200450309493


def poisson(rate, seed):
    return np.random.default_rng(seed).poisson(rate).astype(np.float64)


def voigt(x, x0, sigma, gamma, lo, hi):
    return velmora_core.voigt_predict(x, x0, sigma, gamma, lo, hi)


# ------------------------------------------------------------------------------- the cases
#
# Each case returns (x, counts, peaks, fit options, lmfit description).  The lmfit description
# is a list of (kind, prefix, start dict, ties dict) per peak and the background kind.

def lorentzian_reflections():
    x = np.linspace(30.0, 50.0, 2001)
    step = x[1] - x[0]
    lines = [(32.0, 0.04, 40000.0), (35.5, 0.05, 25000.0), (39.2, 0.05, 60000.0),
             (44.1, 0.06, 15000.0), (47.8, 0.07, 30000.0)]
    rate = 30.0 + 0.5 * (50.0 - x)
    for c, hwhm, area in lines:
        rate += area * step * velmora_core.lorentzian_predict(x, c, 2 * hwhm, 30.0, 50.0)
    counts = poisson(rate, 11)
    peaks = [velmora.Peak("voigt", x0=c + 0.01, sigma=0.03, gamma=0.8 * hwhm, area=0.9 * a)
             for c, hwhm, a in lines]
    return x, counts, peaks, dict(background="linear")


def unmodelled_hump():
    x = np.linspace(0.0, 20.0, 1601)
    step = x[1] - x[0]
    lines = [(6.0, 0.20, 0.10, 30000.0), (7.1, 0.25, 0.08, 12000.0), (12.0, 0.3, 0.15, 20000.0)]
    rate = 25.0 + 8.0 * np.exp(-0.5 * ((x - 9.5) / 1.2) ** 2)  # the hump
    for c, s, g, a in lines:
        rate += a * step * voigt(x, c, s, g, 0.0, 20.0)
    counts = poisson(rate, 5)
    peaks = [velmora.Peak("voigt", x0=c - 0.05, sigma=1.2 * s, gamma=1.2 * g, area=a)
             for c, s, g, a in lines]
    return x, counts, peaks, dict(background="linear")


def pattern_10():
    lo, hi, n = 20.0, 80.0, 3001
    reflections = [(25.00, 60000.0), (25.13, 9000.0), (31.70, 40000.0), (31.86, 22000.0),
                   (38.40, 2500.0), (45.30, 50000.0), (45.43, 18000.0), (45.60, 6000.0),
                   (56.10, 30000.0), (66.20, 3000.0)]
    x = np.linspace(lo, hi, n)
    step = x[1] - x[0]
    rate = 40.0 + 60.0 * (hi - x) / (hi - lo)
    peaks = []
    for k, (c, area) in enumerate(reflections):
        s, g = 0.025 + 0.0008 * (c - lo), 0.02 + 0.0006 * (c - lo)
        rate += area * step * voigt(x, c, s, g, lo, hi)
        sign = 1 if k % 2 else -1
        fw = FWHM_PER_SIGMA * s + 2 * g
        peaks.append(velmora.Peak("voigt", x0=c + sign * 0.25 * fw, sigma=1.3 * s,
                                  gamma=1.3 * g, area=area * (1 + 0.25 * sign)))
    return x, poisson(rate, 7), peaks, dict(background="linear")


def voigt_doublet():
    x = np.linspace(99.0, 106.7, 78)
    step = x[1] - x[0]
    rate = 15.0 + voigt(x, 101.5, 0.35, 0.12, x[0], x[-1]) * 8000 * step \
        + voigt(x, 102.7, 0.35, 0.0005, x[0], x[-1]) * 4000 * step
    counts = poisson(rate, 3)
    peaks = [velmora.Peak("voigt", name="p3", x0=101.4, sigma=0.3, gamma=0.1),
             velmora.Peak("voigt", name="p1", x0="p3.x0 + 1.2", sigma="p3.sigma", gamma=0.1,
                          area="0.5 * p3.area")]
    return x, counts, peaks, dict(background="linear")


def xps_triplet_shirley():
    be = np.linspace(280.0, 294.0, 561)
    step = be[1] - be[0]
    states = [(284.8, 1.1, 0.7, 60000.0), (286.3, 1.3, 0.7, 18000.0), (288.1, 1.4, 0.7, 9000.0)]
    peaks_rate = np.zeros_like(be)
    for c, fwhm, eta, area in states:
        peaks_rate += area * step * velmora_core.pseudo_voigt_predict(be, c, fwhm, eta, be[0],
                                                                      be[-1])
    cumulative = np.cumsum(peaks_rate) - 0.5 * peaks_rate
    rate = peaks_rate + 120.0 + 0.004 * cumulative
    counts = poisson(rate, 9)
    peaks = [velmora.Peak("pseudo_voigt", x0=c + 0.1, gamma=0.6 * f, eta=0.5)
             for c, f, _, _ in states]
    return be, counts, peaks, dict(background="shirley")


def no_signal():
    x = np.arange(10.0, 20.0 + 1e-9, 0.05)
    rate = 20000 * 0.05 * voigt(x, 13.0, 0.15, 0.1, 10.0, 20.0) + 40.0
    counts = poisson(rate, 4)
    peaks = [velmora.Peak("voigt", x0=13.0, sigma=0.2, gamma=0.1),
             velmora.Peak("voigt", x0=15.0, sigma=0.2, gamma=0.1, area=500.0)]
    return x, counts, peaks, dict(background="uniform")


CASES = {f.__name__: f for f in (lorentzian_reflections, unmodelled_hump, pattern_10,
                                 voigt_doublet, xps_triplet_shirley, no_signal)}


# ----------------------------------------------------------------------------------- lmfit

def lmfit_fit(x, counts, result):
    """lmfit's least-squares fit of the same model, from the same starting values."""
    import lmfit

    setup = result.setup
    step = float(np.median(np.diff(x)))
    names = [pk.name for pk in setup.peaks]
    params = lmfit.Parameters()
    start = {}
    for p in setup.parameters:
        f = setup.frame
        start[(p.peak, p.name)] = f.from_u(p.kind, p.value) if p.kind != "count" else p.value

    def pname(peak, name):
        return f"{peak}_{name}"

    # Starting values and bounds of every peak parameter, in velmora's terms.
    for p in setup.parameters:
        if p.peak is None:
            continue
        key = pname(p.peak, p.name)
        if p.role == "tied":
            expr = p.tie
            for other in names:
                expr = expr.replace(f"{other}.", f"{other}_")
            params.add(key, expr=expr)
            continue
        f = setup.frame if p.kind != "count" else None
        value = start[(p.peak, p.name)]
        lo, hi = p.bounds if f is None else sorted(f.from_u(p.kind, b) for b in p.bounds)
        params.add(key, value=value, min=lo, max=hi, vary=p.role == "free")
    shapes = {pk.name: pk.shape for pk in setup.peaks}
    bg = setup.background.name
    lo_x, hi_x = setup.window
    if bg in ("linear",):
        level = float(np.percentile(counts, 10))
        params.add("bg_a", value=level)
        params.add("bg_b", value=0.0)
    elif bg == "uniform":
        params.add("bg_a", value=float(np.percentile(counts, 10)), min=0)
    elif bg == "shirley":
        params.add("bg_a", value=float(np.percentile(counts, 5)), min=0)
        params.add("bg_k", value=1e-3, min=0)

    from scipy.special import voigt_profile

    def peak_curve(shape, v, name):
        c = v[pname(name, "x0")]
        a = v[pname(name, "area")] * step
        if shape == "voigt":
            return a * voigt_profile(x - c, v[pname(name, "sigma")], v[pname(name, "gamma")])
        if shape == "pseudo_voigt":
            # gamma is the half width at half maximum of both parts, as velmora's
            fwhm, eta = 2.0 * v[pname(name, "gamma")], v[pname(name, "eta")]
            sig = fwhm / FWHM_PER_SIGMA
            g = np.exp(-0.5 * ((x - c) / sig) ** 2) / (sig * np.sqrt(2 * np.pi))
            lor = (fwhm / 2) / (np.pi * ((x - c) ** 2 + (fwhm / 2) ** 2))
            return a * (eta * g + (1 - eta) * lor)
        raise ValueError(shape)

    def model(v):
        total = sum(peak_curve(shapes[n], v, n) for n in names)
        if bg == "linear":
            return total + v["bg_a"] + v["bg_b"] * (x - lo_x)
        if bg == "uniform":
            return total + v["bg_a"]
        cumulative = np.cumsum(total) - 0.5 * total
        return total + v["bg_a"] + v["bg_k"] * cumulative

    weights = 1.0 / np.sqrt(np.maximum(counts, 1.0))

    def residual(pars):
        return (model(pars.valuesdict()) - counts) * weights

    t = time.perf_counter()
    out = lmfit.minimize(residual, params)
    return time.perf_counter() - t, out


# ----------------------------------------------------------------------------------- scipy

def best_independent(result, seed=0):
    """The best log-likelihood SciPy's L-BFGS-B reaches on velmora's objective from the fit's
    start and four perturbed ones."""
    setup = result.setup
    counts = result.counts
    lower = np.array([p.bounds[0] for p in setup.free])
    upper = np.array([p.bounds[1] for p in setup.free])
    theta0 = setup.theta0
    scale = np.maximum(np.abs(theta0), 1.0)
    rng = np.random.default_rng(seed)
    best = -np.inf

    def objective(z):
        v = velmora_core._engine_loglik(setup.model, counts, z * scale)
        return -v if np.isfinite(v) else 1e300

    for k in range(5):
        start = theta0 if k == 0 else theta0 * (1 + 0.05 * rng.standard_normal(theta0.size))
        start = np.clip(start, lower, upper)
        res = minimize(objective, start / scale, method="L-BFGS-B",
                       bounds=list(zip(lower / scale, upper / scale)),
                       options=dict(maxiter=20000, maxfun=400000, ftol=1e-15, gtol=1e-10))
        best = max(best, -res.fun)
    return best


def run(name):
    x, counts, peaks, options = CASES[name]()
    times = []
    for _ in range(3):
        t = time.perf_counter()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            result = velmora.fit(x, counts, peaks, **options)
        times.append(time.perf_counter() - t)
    ours = float(np.median(times))
    try:
        lm_times = [lmfit_fit(x, counts, result)[0] for _ in range(3)]
        lm = float(np.median(lm_times))
    except ImportError:
        lm = float("nan")
    best = best_independent(result)
    rel = (result.log_likelihood - best) / abs(best)
    flags = "; ".join(w[:70] for w in result.warnings)
    print(f"{name:22s} {x.size:5d} pts  velmora {ours * 1e3:8.1f} ms ({result.n_iter:3d} it, "
          f"{result.status})  lmfit {lm * 1e3:8.1f} ms  lmfit/velmora {lm / ours:6.2f} "
          f"(target >= 1)  log-likelihood - best SciPy: {rel:+.2e} relative "
          f"(target >= -1e-8)", flush=True)
    if flags:
        print(f"{'':22s} findings: {flags}", flush=True)
    return lm / ours, rel


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--case", choices=sorted(CASES), action="append")
    args = parser.parse_args()
    ratios, rels = [], []
    for name in args.case or list(CASES):
        r, rel = run(name)
        ratios.append(r)
        rels.append(rel)
    print(f"smallest lmfit/velmora time ratio {min(ratios):.2f}; smallest relative "
          f"log-likelihood margin over SciPy {min(rels):+.2e}")


if __name__ == "__main__":
    main()
