"""References for the Voigt shape.

* The window-normalised Voigt density in NumPy: ``scipy.special.voigt_profile`` divided by the
  window mass, which is summed with the extension's quadrature table (read from the generated
  header) in the documented order.  SciPy's profile and ours come from the same Faddeeva
  algorithm but not necessarily with the same operation order, so comparisons use tolerances.
* The extension's own component log-likelihood as a callable (a one-component fit with
  ``pi = [1]`` and ``max_iter = 0`` returns sum_i I_i log(f_i + 1e-200) as its starting
  log-likelihood), the exact objective of our M-step when the weights are the intensities.
* Synthetic spectra: Poisson counts of Voigt peaks, optionally on a flat or sloping background.
"""
import math
import pathlib
import re

import numpy as np
from scipy.special import voigt_profile

import velmora_core

MASS_FLOOR = 1e-300
LL_GUARD = 1e-200
TABLE = pathlib.Path(__file__).resolve().parents[1] / "src" / "special" / "gauss_legendre_100.hpp"


def _table():
    blocks = re.findall(r"=\s*\{(.*?)\};", TABLE.read_text(), re.S)
    nodes, weights = ([float(v) for v in b.replace(",", " ").split()] for b in blocks)
    return nodes, weights


NODES, WEIGHTS = _table()


def cdf(b, x0, sigma, gamma):
    """P(X < b): the far half-line summed node by node, in order."""
    left = x0 >= b
    total = 0.0
    for t, w in zip(NODES, WEIGHTS):
        u = t / (1.0 - t)
        offset = (b - u) - x0 if left else (u + b) - x0
        total += float(voigt_profile(offset, sigma, gamma)) * w * (1.0 / ((1.0 - t) * (1.0 - t)))
    return total if left else 1.0 - total


def window_mass(x0, sigma, gamma, x_min, x_max):
    return cdf(x_max, x0, sigma, gamma) - cdf(x_min, x0, sigma, gamma)


def pdf(x, x0, sigma, gamma, x_min, x_max):
    mass = window_mass(x0, sigma, gamma, x_min, x_max)
    mass = mass if mass > MASS_FLOOR else MASS_FLOOR
    return voigt_profile(np.asarray(x, float) - x0, sigma, gamma) / mass


def loglik(x, w, x_min, x_max):
    """LV(x0, sigma, gamma) = sum_i w_i log(f_i + 1e-200) in NumPy."""
    n = min(len(x), len(w))
    x, w = np.asarray(x[:n], float), np.asarray(w[:n], float)

    def f(x0, sigma, gamma):
        return float(np.sum(w * np.log(pdf(x, x0, sigma, gamma, x_min, x_max) + LL_GUARD)))
    return f


_ONE = np.ones(1)


def module_loglik(x, intensity, x_min, x_max):
    """The extension's LV(x0, sigma, gamma) with the intensities as weights."""
    def f(x0, sigma, gamma):
        return float(velmora_core.run_voigt_em_loop(
            x, intensity, np.array([x0], float), np.array([sigma], float),
            np.array([gamma], float), _ONE.copy(), _ONE, [False], [False], [False], x_min,
            x_max, 0.0, 1.0, 0.0, 1.0, 0, 0.0)[1][0])
    return f


def responsibilities(x, intensity, params, pi, x_min, x_max, background=None):
    """Weights I * r_k of every peak after the E-step at (params, pi), as in the EM driver;
    ``background`` is the density column of a single background component, if any."""
    cols = [pdf(x, *p, x_min, x_max) for p in params]
    if background is not None:
        cols.append(np.asarray(background, float))
    mix = sum(p * c for p, c in zip(pi, cols))
    return [np.asarray(intensity, float) * (c * p / (mix + 1e-20)) for c, p in zip(cols, pi)]


def spectrum(peaks, n=800, lo=0.0, hi=100.0, background=0.0, slope=0.0, seed=0):
    """Grid and Poisson counts of Voigt peaks (centre, sigma, gamma, area) on a background of
    ``background`` counts per channel at the low end rising by ``slope`` times that at the
    high end."""
    rng = np.random.default_rng(seed)
    x = np.linspace(lo, hi, n)
    step = x[1] - x[0]
    rate = sum(a * step * voigt_profile(x - c, s, g) for c, s, g, a in peaks)
    rate = rate + background * (1.0 + slope * (x - lo) / (hi - lo))
    return x, rng.poisson(rate).astype(np.float64)


def fwhm(sigma, gamma):
    """Full width at half maximum of a Voigt profile (Olivero & Longbothum, 0.02 %)."""
    fg, fl = 2.0 * sigma * math.sqrt(2.0 * math.log(2.0)), 2.0 * gamma
    return 0.5346 * fl + math.sqrt(0.2166 * fl * fl + fg * fg)
