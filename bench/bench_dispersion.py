"""Coverage of 95 % intervals (estimate +- 1.96 standard errors) of every free parameter over
simulated spectra, with the standard errors errors="auto" chooses beside the Poisson ones.

One Gaussian line (area 20 000 counts, centre 4, sigma 0.3) on a flat background of 40
counts per channel, 301 channels over [0, 10], fitted as a Gaussian on a uniform background,
in four cases:

* Poisson counts;
* counts per second: the same counts divided by a dwell time of 0.1 s (not whole numbers;
  velmora takes any finite counts >= 0);
* averaged counts: the mean of four sweeps of the same counts (dispersion 1/4; their Poisson
  errors are twice too wide, coverage near 1);
* overdispersed counts: negative binomial with variance 4 mu (dispersion 4);
* a missing component: Poisson counts of the line with a shoulder of 8 % of its area 0.45
  to its right (one sigma and a half), fitted without the shoulder.  Coverage is of the true
  values of the line and the background, which the missing shoulder biases; and, on the next
  line, of the values the model without the shoulder takes for the expected counts
  themselves (where its fits scatter about).

The areas and background counts true in velmora's conventions are those of a fit to the
expected counts themselves.  A missing component is a bias, not noise: scaling by sqrt(phi)
widens the errors with the misfit, but by much less than the bias it brings to the line's
own parameters, whose intervals then miss the true values with either kind of errors.

Per case: the median dispersion, the share of fits whose errors "auto" scaled, and the
coverage of every free parameter and of all four intervals at once (about 0.95^4 = 0.81 for
independent estimates), "auto" / "poisson".

    .venv/bin/python bench/bench_dispersion.py [--quick]
"""
import argparse
import math
import warnings

import numpy as np

import velmora

X = np.linspace(0.0, 10.0, 301)
STEP = X[1] - X[0]
AREA, X0, SIGMA, LEVEL = 20000.0, 4.0, 0.3, 40.0
SHOULDER, SHOULDER_AT = 0.08, X0 + 1.5 * SIGMA
DWELL = 0.1
PARAMS = ("line.x0", "line.sigma", "line.area", "background.counts")


def gaussian(area, x0, sigma):
    return area * STEP * np.exp(-0.5 * ((X - x0) / sigma) ** 2) / (sigma * math.sqrt(2 * math.pi))


def true_values(peaks, mu):
    """The values every parameter takes for the expected counts ``mu`` themselves (the
    generating ones, in velmora's conventions of areas and background counts)."""
    result = velmora.fit(X, mu, peaks, "uniform", errors="poisson")
    return {name: (result.background["counts"].value if name.startswith("background")
                   else result.params[name].value) for name in PARAMS}


def cases(rng, m, peaks):
    """(name, spectra, true values by parameter) of every case."""
    mu = gaussian(AREA, X0, SIGMA) + LEVEL
    truth = true_values(peaks, mu)
    yield "Poisson counts", rng.poisson(mu, size=(m, X.size)).astype(float), truth
    yield (f"counts per second ({DWELL} s dwell)", rng.poisson(mu, size=(m, X.size)) / DWELL,
           true_values(peaks, mu / DWELL))
    yield ("mean of four sweeps (phi = 1/4)",
           rng.poisson(4 * mu, size=(m, X.size)) / 4.0, truth)
    # Negative binomial with mean mu and variance 4 mu: p = 1/4, n = mu / 3.
    yield ("overdispersed counts (phi = 4)",
           rng.negative_binomial(mu / 3.0, 0.25, size=(m, X.size)).astype(float), truth)
    shoulder = mu + gaussian(SHOULDER * AREA, SHOULDER_AT, SIGMA)
    spectra = rng.poisson(shoulder, size=(m, X.size)).astype(float)
    yield "missing shoulder (8 % of the line)", spectra, truth
    yield "  the same, about the model's own limit", spectra, true_values(peaks, shoulder)


def coverage(batch, truth):
    ok = batch.status == 0
    out = {}
    inside_all = ok.copy()
    for name in PARAMS:
        value, se = batch.values[name], batch.stderr[name]
        with np.errstate(invalid="ignore"):
            inside = np.abs(value - truth[name]) <= 1.96 * se
        out[name] = float(np.mean(inside[ok]))
        inside_all &= inside
    out["all"] = float(np.mean(inside_all[ok]))
    return out, int(ok.sum())


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="100 spectra per case, not 400")
    args = parser.parse_args()
    m = 100 if args.quick else 400
    rng = np.random.default_rng(20261208)
    peaks = [velmora.Peak("gaussian", name="line", x0=X0, sigma=SIGMA)]
    print(f"{m} spectra per case; coverage of 95 % intervals, auto / poisson")
    header = f"{'case':<38} {'phi':>7} {'scaled':>7}  " + "  ".join(
        f"{n.split('.')[-1]:>13}" for n in PARAMS) + f"  {'all':>13}"
    print(header)
    for name, spectra, truth in cases(rng, m, peaks):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            auto = velmora.fit_many(X, spectra, peaks, "uniform", warm_start="none",
                                    progress=False)
            plain = velmora.fit_many(X, spectra, peaks, "uniform", warm_start="none",
                                     progress=False, errors="poisson")
        cov_auto, fitted = coverage(auto, truth)
        cov_plain, _ = coverage(plain, truth)
        phi = float(np.nanmedian(auto.dispersion))
        share = float(np.mean(auto.errors_scaled[auto.status == 0]))
        cells = "  ".join(f"{cov_auto[k]:>6.3f}/{cov_plain[k]:<6.3f}" for k in PARAMS + ("all",))
        print(f"{name:<38} {phi:>7.3g} {share:>7.2f}  {cells}"
              + ("" if fitted == m else f"  ({m - fitted} fits not ok)"))


if __name__ == "__main__":
    main()
