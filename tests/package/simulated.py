"""Simulated spectra with a known truth, drawn from the core's own profile functions.

The peaks' parameters are in the package's meaning (a Lorentzian's gamma is its half width;
the mixture-fit functions take the full width), and the true area of a line is its expected
counts on the grid, which is the window."""
import numpy as np

import velmora_core

K_B = 8.61733034e-5


def tau0_from_tp(ea, tp, beta):
    u = K_B * tp
    return np.exp(-ea / u) * ((tp * u) / (beta * ea))


# shape: (grid, window, peaks as (parameters, area)), background counts per point, options
CASES = {
    "gaussian": (np.linspace(0.0, 10.0, 401), [
        (dict(x0=3.5, sigma=0.3), 20000.0), (dict(x0=4.6, sigma=0.45), 12000.0)], 20.0, {}),
    # Narrower than 0.1 in the units of x: the core's Lorentzian width bounds are absolute.
    "lorentzian": (np.linspace(20.0, 24.0, 801), [
        (dict(x0=21.5, gamma=0.025), 20000.0), (dict(x0=22.6, gamma=0.04), 12000.0)], 10.0, {}),
    "pseudo_voigt": (np.linspace(0.0, 10.0, 401), [
        (dict(x0=3.5, gamma=0.35, eta=0.5), 20000.0), (dict(x0=5.0, gamma=0.45, eta=0.7), 12000.0)],
        20.0, {}),
    "voigt": (np.linspace(0.0, 10.0, 401), [
        (dict(x0=3.5, sigma=0.2, gamma=0.15), 20000.0),
        (dict(x0=4.7, sigma=0.25, gamma=0.1), 12000.0)], 20.0, {}),
    "doniach_sunjic": (np.linspace(0.0, 10.0, 401), [
        (dict(x0=3.5, gamma=0.25, alpha=0.1), 20000.0),
        (dict(x0=6.0, gamma=0.3, alpha=0.05), 12000.0)], 20.0, {}),
    "tsdc": (np.linspace(150.0, 350.0, 801), [
        (dict(ea=0.8, tp=245.0), 200000.0), (dict(ea=1.1, tp=290.0), 120000.0)], 20.0,
        dict(beta=0.1)),
}


def density(shape, x, p, options, lo, hi):
    if shape == "gaussian":
        return velmora_core.gaussian_predict(x, p["x0"], p["sigma"])
    if shape == "lorentzian":
        return velmora_core.lorentzian_predict(x, p["x0"], 2 * p["gamma"], lo, hi)
    if shape == "pseudo_voigt":
        return velmora_core.pseudo_voigt_predict(x, p["x0"], 2 * p["gamma"], p["eta"], lo, hi)
    if shape == "voigt":
        return velmora_core.voigt_predict(x, p["x0"], p["sigma"], p["gamma"], lo, hi)
    if shape == "doniach_sunjic":
        return velmora_core.doniach_sunjic_predict(x, p["x0"], p["gamma"], p["alpha"])
    beta = options["beta"]
    return velmora_core.tsdc_predict(x, p["ea"], tau0_from_tp(p["ea"], p["tp"], beta), beta)


def simulate(shape, seed=0, scale=1.0, background=None):
    """(x, counts, truth, options): a two-peak spectrum of ``shape`` with Poisson noise."""
    x, peaks, level, options = CASES[shape]
    lo, hi = x[0], x[-1]
    step = x[1] - x[0]
    rate = np.full(x.size, level) if background is None else background(x)
    truth = []
    for p, area in peaks:
        line = scale * area * step * density(shape, x, p, options, lo, hi)
        rate = rate + line
        truth.append((p, float(line.sum())))
    counts = np.random.default_rng(seed).poisson(rate).astype(np.float64)
    return x, counts, truth, options

