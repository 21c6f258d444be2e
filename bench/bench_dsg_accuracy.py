"""Accuracy and speed of the Doniach-Sunjic line broadened by a Gaussian
(``doniach_sunjic_gaussian``).

1. Accuracy: the shape's density, as the package evaluates it (``FitResult.eval_components``
   of a fit whose centre, gamma, alpha and sigma are held), against the Doniach-Sunjic line
   convolved with the Gaussian by ``scipy.integrate.quad`` (relative tolerance 1e-13, split
   where the line peaks), over alpha in [0, 0.49] and sigma / gamma in [0.01, 100], at offsets
   across the line, in its tails (50 and 200 widths out) and on both sides of the radius where
   the core changes from its quadrature to its asymptotic series.  Reported: the worst error
   relative to the line's largest value, per alpha and over all.  Target: at most 1e-8.

2. Speed: a fit of one line on 401 channels with a linear background, best wall time of
   several fits of noisy spectra, for this shape and for ``doniach_sunjic`` (the same data),
   and their ratio.

    .venv/bin/python bench/bench_dsg_accuracy.py [--quick]
"""
import argparse
import math
import time

import numpy as np
from scipy import integrate

import velmora

SHAPE = "doniach_sunjic_gaussian"
RADIUS = 8.5  # |gamma + i d| / sigma beyond which the shape sums its asymptotic series


def ds(d, gamma, alpha):
    return (math.cos(math.pi * alpha / 2 + (1 - alpha) * math.atan(d / gamma))
            / (d * d + gamma * gamma) ** ((1 - alpha) / 2))


def reference(d, gamma, alpha, sigma):
    """int ds(d - s) g_sigma(s) ds over |s| < 40 sigma by adaptive quadrature."""
    norm = 1.0 / (sigma * math.sqrt(2 * math.pi))
    summit = d - gamma * math.cos(math.pi / (2 - alpha)) / math.sin(math.pi / (2 - alpha))
    cuts = sorted({-40 * sigma, 40 * sigma, *(c for c in (summit - 10 * gamma, summit,
                                                          summit + 10 * gamma)
                                            if abs(c) < 40 * sigma)})
    total = 0.0
    for a, b in zip(cuts[:-1], cuts[1:]):
        total += integrate.quad(lambda s: ds(d - s, gamma, alpha) * math.exp(-0.5 * (s / sigma)
                                                                              ** 2) * norm,
                                a, b, epsabs=0.0, epsrel=1e-13, limit=1000)[0]
    return total


def package_density(offsets, gamma, alpha, sigma):
    """The package's density of a line at 0 with the given parameters, at `offsets` (up to
    its area and window mass): a fit that holds every shape parameter and fits the area."""
    width = gamma + sigma
    x = np.linspace(-250 * width, 250 * width, 401)
    counts = np.full(x.size, 50.0)
    peak = velmora.Peak(SHAPE, name="p", x0=0.0, gamma=gamma, alpha=alpha, sigma=sigma,
                        fix=("x0", "gamma", "alpha", "sigma"))
    r = velmora.fit(x, counts, [peak])
    return r.eval_components(np.asarray(offsets, dtype=float))["p"]


def accuracy(alphas, ratios):
    worst_all = 0.0
    for alpha in alphas:
        worst = (0.0, None)
        for ratio in ratios:
            gamma, sigma = 1.0, ratio
            width = gamma + sigma
            offsets = list(np.linspace(-12 * width, 12 * width, 49))
            offsets += [f * w for f in (-200, -50, 50, 200) for w in (width,)]
            x = gamma / sigma
            if x < RADIUS:
                edge = sigma * math.sqrt(RADIUS ** 2 - x * x)
                offsets += [s * f * edge for s in (-1, 1) for f in (0.999, 1.001)]
            got = package_density(offsets, gamma, alpha, sigma)
            want = np.array([reference(d, gamma, alpha, sigma) for d in offsets])
            top = int(np.argmax(want))
            scale = want[top] / got[top]  # the package's density is the line over its mass
            error = float(np.max(np.abs(got * scale - want)) / want[top])
            if error > worst[0]:
                worst = (error, ratio)
        worst_all = max(worst_all, worst[0])
        print(f"  alpha {alpha:4.2f}: worst {worst[0]:.1e} of the peak (at sigma/gamma "
              f"{worst[1]:g})")
    print(f"accuracy: worst error {worst_all:.1e} of the peak (target <= 1e-8): "
          f"{'ok' if worst_all <= 1e-8 else 'MISSED'}")


def fit_time(shape, spectra, x, repeats):
    model = velmora.Model([velmora.Peak(shape, x0=9.1)], background="linear")
    model.fit(x, spectra[0])  # the model's grid is built on the first fit
    best = math.inf
    for _ in range(repeats):
        t = time.perf_counter()
        for y in spectra:
            r = model.fit(x, y)
            assert r.converged, (shape, r.status)
        best = min(best, (time.perf_counter() - t) / len(spectra))
    return best


def speed(repeats):
    x = np.linspace(0.0, 20.0, 401)
    d = x - 9.0
    q = np.array([reference(v, 0.25, 0.1, 0.3) for v in d])
    rate = 30000.0 * q / q.sum() + 20.0
    spectra = [np.random.default_rng(seed).poisson(rate).astype(float) for seed in range(5)]
    mine = fit_time(SHAPE, spectra, x, repeats)
    base = fit_time("doniach_sunjic", spectra, x, repeats)
    print(f"fit of 401 channels: {SHAPE} {1e3 * mine:.1f} ms, doniach_sunjic "
          f"{1e3 * base:.1f} ms, ratio {mine / base:.1f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a smaller grid, fewer repeats")
    args = parser.parse_args()
    if args.quick:
        alphas, ratios, repeats = (0.0, 0.25, 0.49), (0.01, 1.0, 100.0), 2
    else:
        alphas = (0.0, 0.05, 0.15, 0.25, 0.35, 0.45, 0.49)
        ratios = (0.01, 0.03, 0.1, 0.3, 1.0, 3.0, 10.0, 30.0, 100.0)
        repeats = 5
    accuracy(alphas, ratios)
    speed(repeats)


if __name__ == "__main__":
    main()
