"""Spin-orbit doublets and Kα2 partners as users fit them: calibration and speed against lmfit.

Two tied models, each drawn N times with Poisson noise from the core's own profile functions
(so that the fitted model is exactly the true one), fitted from starting values off the truth
by a few percent:

* ``doublet``: Au 4f as ``velmora.doublet("voigt", name="Au4f", orbital="f")`` (4f5/2 at
  +3.67 eV with 3/4 of the 4f7/2 area, one sigma and one gamma) on an active Shirley
  background, 0.05 eV channels;
* ``kalpha2``: three reflections of a Cu-anode powder pattern (pseudo-Voigt lines, 0.02°
  steps) each with its Kα2 partner from ``velmora.kalpha2`` (centre by Bragg's law, half the
  area, shared widths), on a linear background.

Printed per free parameter (the background's too): the share of fits with |estimate - truth| <= 1.96 stderr (target
[0.92, 0.98]) and the mean and spread of (estimate - truth) / stderr.  Then the time per fit
beside lmfit's fit of the same tied model (least squares with sqrt-count weights; its Shirley
term written as a model function, since lmfit has none; the partner's centre as an lmfit
expression of the same Bragg relation), median of all fits, and the largest centre difference
between the two on the first spectra, in channels.

    python bench/bench_lines.py [--n 200] [--seed 0] [--case doublet kalpha2] [--lmfit 40]
"""
import argparse
import time
import warnings

import numpy as np

import velmora
import velmora_core

TARGET = (0.92, 0.98)
Z95 = 1.96

# Cu Kα1 and Kα2 wavelengths in Å, the package's (International Tables Vol. C): the spectra
# are drawn from exactly the model fitted, the Bragg relation itself written out here.
CU_KA1, CU_KA2 = velmora.lines.ANODES["Cu"]


def bragg_partner(two_theta):
    """The Kα2 reflection of a Kα1 reflection at ``two_theta`` (degrees)."""
    return 2.0 * np.degrees(np.arcsin(CU_KA2 / CU_KA1 * np.sin(np.radians(two_theta / 2.0))))


# ----------------------------------------------------------------------------- the cases

DOUBLET = dict(x=np.linspace(78.0, 94.0, 321), x0=84.0, sigma=0.28, gamma=0.14,
               area=40000.0, splitting=3.67, ratio=0.75, offset=60.0, share=0.003)
KALPHA2 = dict(x=np.arange(25.0, 60.0 + 1e-9, 0.02),
               lines=[(28.44, 0.10, 0.55, 30000.0), (47.30, 0.12, 0.50, 20000.0),
                      (56.12, 0.13, 0.45, 12000.0)],  # (2θ, FWHM, eta, area)
               ratio=0.5, intercept=25.0, slope=-0.2)


def doublet_truth():
    d = DOUBLET
    x = d["x"]
    step = x[1] - x[0]
    lines = [(d["x0"], d["area"]), (d["x0"] + d["splitting"], d["ratio"] * d["area"])]
    peaks = sum(a * step * velmora_core.voigt_predict(x, x0, d["sigma"], d["gamma"], x[0], x[-1])
                for x0, a in lines)
    shirley = d["share"] * (np.cumsum(peaks) - 0.5 * peaks)
    want = {"Au4f7.x0": d["x0"], "Au4f7.sigma": d["sigma"], "Au4f7.gamma": d["gamma"],
            "Au4f7.area": d["area"], "background.offset": d["offset"] * x.size,
            "background.step": shirley.sum()}
    return x, peaks + d["offset"] + shirley, want


def kalpha2_truth():
    d = KALPHA2
    x = d["x"]
    step = x[1] - x[0]
    rate = d["intercept"] + d["slope"] * (x - x[0])
    want = {"background.counts": rate.sum(), "background.slope": d["slope"]}
    for k, (tt, fwhm, eta, area) in enumerate(d["lines"]):
        for centre, a in ((tt, area), (bragg_partner(tt), d["ratio"] * area)):
            rate = rate + a * step * velmora_core.pseudo_voigt_predict(x, centre, fwhm, eta,
                                                                       x[0], x[-1])
        # velmora's gamma is the half width; the mixture fits' curve takes the full width
        want.update({f"r{k}.x0": tt, f"r{k}.gamma": 0.5 * fwhm, f"r{k}.eta": eta,
                     f"r{k}.area": area})
    return x, rate, want


def doublet_model(rng):
    d = DOUBLET
    off = lambda v: v * (1.0 + 0.03 * rng.standard_normal())  # noqa: E731
    return velmora.doublet("voigt", name="Au4f", x0=d["x0"] + 0.05 * rng.standard_normal(),
                           splitting=d["splitting"], orbital="f",
                           sigma=off(d["sigma"]), gamma=off(d["gamma"]))


def kalpha2_model(rng):
    peaks = []
    for k, (tt, fwhm, eta, _) in enumerate(KALPHA2["lines"]):
        p = velmora.Peak("pseudo_voigt", name=f"r{k}", x0=tt + 0.01 * rng.standard_normal(),
                         gamma=0.5 * fwhm * (1.0 + 0.05 * rng.standard_normal()), eta=0.5)
        peaks += [p, velmora.kalpha2(p, anode="Cu", ratio=KALPHA2["ratio"])]
    return peaks


CASES = {
    "doublet": dict(truth=doublet_truth, model=doublet_model, background="shirley",
                    title="Au 4f Voigt doublet on an active Shirley background"),
    "kalpha2": dict(truth=kalpha2_truth, model=kalpha2_model, background="linear",
                    title="three Cu Kα1 reflections with their Kα2 partners, linear background"),
}


# ---------------------------------------------------------------- lmfit, the same models

def lmfit_doublet():
    from lmfit import Model
    from lmfit.lineshapes import voigt

    d = DOUBLET

    def au4f(x, x0, sigma, gamma, area, offset, share):
        step = x[1] - x[0]
        peaks = area * step * (voigt(x, 1.0, x0, sigma, gamma)
                               + d["ratio"] * voigt(x, 1.0, x0 + d["splitting"], sigma, gamma))
        return peaks + offset + share * (np.cumsum(peaks) - 0.5 * peaks)

    model = Model(au4f)
    params = model.make_params(x0=d["x0"] - 0.02, sigma=d["sigma"], gamma=d["gamma"],
                               area=0.9 * d["area"], offset=50.0, share=0.002)
    params["sigma"].set(min=1e-3)
    params["gamma"].set(min=0.0)
    params["area"].set(min=0.0)
    return model, params, ["x0"]


def lmfit_kalpha2():
    from lmfit.models import LinearModel, PseudoVoigtModel

    d = KALPHA2
    total = LinearModel(prefix="bg_")
    ratio = CU_KA2 / CU_KA1
    for k in range(len(d["lines"])):
        total = total + PseudoVoigtModel(prefix=f"r{k}_") + PseudoVoigtModel(prefix=f"a{k}_")
    params = total.make_params(bg_slope=0.0, bg_intercept=20.0)
    for k, (tt, fwhm, eta, area) in enumerate(d["lines"]):
        params[f"r{k}_center"].set(value=tt + 0.005)
        params[f"r{k}_sigma"].set(value=fwhm / 2.0, min=1e-3)  # lmfit's sigma: half the FWHM
        params[f"r{k}_fraction"].set(value=0.5, min=0.0, max=1.0)  # the Lorentzian share
        params[f"r{k}_amplitude"].set(value=0.9 * area * (d["x"][1] - d["x"][0]), min=0.0)
        params[f"a{k}_center"].set(
            expr=f"2*degrees(arcsin({ratio!r}*sin(radians(r{k}_center/2))))")
        params[f"a{k}_sigma"].set(expr=f"r{k}_sigma")
        params[f"a{k}_fraction"].set(expr=f"r{k}_fraction")
        params[f"a{k}_amplitude"].set(expr=f"{d['ratio']}*r{k}_amplitude")
    return total, params, [f"r{k}_center" for k in range(len(d["lines"]))]


LMFIT = {"doublet": lmfit_doublet, "kalpha2": lmfit_kalpha2}


# ------------------------------------------------------------------------------- running

def run(case, n, seed, n_lmfit):
    spec = CASES[case]
    x, rate, want = spec["truth"]()
    names = list(want)
    rng = np.random.default_rng(seed)
    dev = {q: [] for q in names}
    seconds, converged, ours_centres, spectra = [], [], [], []
    for i in range(n):
        counts = rng.poisson(rate).astype(float)
        peaks = spec["model"](rng)
        t = time.perf_counter()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            r = velmora.fit(x, counts, peaks, background=spec["background"])
        seconds.append(time.perf_counter() - t)
        converged.append(r.converged)
        for q in names:
            peak, param = q.split(".")
            e = r.background[param] if peak == "background" else r.peaks[peak][param]
            dev[q].append((e.value - want[q], e.stderr))
        if i < n_lmfit:
            spectra.append(counts)
            ours_centres.append([r.peaks[q.split(".")[0]]["x0"].value for q in names
                                 if q.endswith(".x0")])

    model, params, centre_names = LMFIT[case]()
    lm_seconds, lm_centres = [], []
    for counts in spectra:
        t = time.perf_counter()
        out = model.fit(counts, params, x=x, weights=1.0 / np.sqrt(np.maximum(counts, 1.0)))
        lm_seconds.append(time.perf_counter() - t)
        lm_centres.append([out.params[c].value for c in centre_names])

    step = x[1] - x[0]
    print(f"== {case}: {spec['title']}; {n} spectra (seed {seed}), {x.size} points, "
          f"step {step:g}")
    print(f"   {'parameter':<18} | {'coverage':>8} {'target':>12} | {'z mean':>7} {'sd':>5}")
    ok = True
    for q in names:
        a = np.array(dev[q], dtype=float)
        hit = np.abs(a[:, 0]) <= Z95 * a[:, 1]  # NaN (no stderr) is a miss
        z = a[:, 0] / a[:, 1]
        z = z[np.isfinite(z)]
        inside = TARGET[0] <= hit.mean() <= TARGET[1]
        ok &= inside
        print(f"   {q:<18} | {hit.mean():8.3f} [{TARGET[0]:.2f},{TARGET[1]:.2f}]"
              f"{' ' if inside else '!'} | {z.mean():+7.3f} {z.std(ddof=1):5.2f}")
    print(f"   (a coverage of {n} fits has a sampling sd of {np.sqrt(0.95 * 0.05 / n):.3f})")
    ours, theirs = np.median(seconds), np.median(lm_seconds)
    diff = np.max(np.abs(np.array(ours_centres) - np.array(lm_centres))) / step
    print(f"   converged {np.mean(converged):.3f}; velmora {1e3 * ours:.1f} ms per fit, lmfit "
          f"{1e3 * theirs:.1f} ms (same tied model, {len(spectra)} spectra): {theirs / ours:.2f}x")
    print(f"   largest centre difference from lmfit: {diff:.3f} channels")
    print(f"   coverage of every free parameter within [{TARGET[0]}, {TARGET[1]}]: "
          f"{'yes' if ok else 'NO'}")
    return ok


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=200, help="spectra per case")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--case", choices=sorted(CASES), nargs="+", default=list(CASES))
    parser.add_argument("--lmfit", type=int, default=40, help="spectra fitted by lmfit too")
    args = parser.parse_args()
    for case in args.case:
        run(case, args.n, args.seed, min(args.lmfit, args.n))


if __name__ == "__main__":
    main()
