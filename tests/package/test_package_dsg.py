"""The Doniach-Sunjic line broadened by a Gaussian (``doniach_sunjic_gaussian``) in fits: a
doublet on a Shirley background drawn from a direct convolution recovers its asymmetry and
Gaussian width and fits better than a Voigt doublet, a batch gives its single fits, and the
FWHM serves as a start, a bound and a fixed value."""
import math

import numpy as np
import pytest
from scipy import optimize

import velmora

SHAPE = "doniach_sunjic_gaussian"


def dsg(x, x0, gamma, alpha, sigma):
    """The Doniach-Sunjic line convolved with a Gaussian, up to a constant factor, by the
    trapezoid rule over +-12 sigma: the integrand is smooth, so the rule is exact to rounding
    for a step well below gamma and sigma."""
    s = np.linspace(-12.0 * sigma, 12.0 * sigma, 4001)
    d = np.atleast_1d(np.asarray(x, dtype=float))[:, None] - x0 - s
    line = (np.cos(np.pi * alpha / 2 + (1 - alpha) * np.arctan(d / gamma))
            / (d * d + gamma * gamma) ** ((1 - alpha) / 2))
    f = line * np.exp(-0.5 * (s / sigma) ** 2)
    return (s[1] - s[0]) * (f.sum(axis=1) - 0.5 * (f[:, 0] + f[:, -1]))


BE = np.linspace(78.0, 95.0, 681)  # binding energy, eV
TRUE = dict(gamma=0.18, alpha=0.12, sigma=0.25)
AREA, RATIO, SPLIT = 40000.0, 0.75, 3.67


def au4f(seed):
    """Poisson counts of an Au 4f doublet on a Shirley background (constant + step); each line
    holds its area inside the window."""
    def line(x0, area):
        q = dsg(BE, x0, **TRUE)
        return area * q / q.sum()

    peaks = line(84.0, AREA) + line(84.0 + SPLIT, RATIO * AREA)
    cumulative = np.concatenate([[0.0], np.cumsum(0.5 * (peaks[1:] + peaks[:-1]))])
    rate = peaks + 30.0 + 40.0 * cumulative / cumulative[-1]
    return np.random.default_rng(seed).poisson(rate).astype(float)


def test_a_doublet_recovers_its_asymmetry_and_gaussian_width_and_beats_a_voigt_doublet():
    counts = au4f(seed=3)
    r = velmora.fit(BE, counts, velmora.doublet(SHAPE, "Au4f"), background="shirley")
    assert r.converged
    a7, a5 = r.peaks["Au4f7"], r.peaks["Au4f5"]
    assert a5["x0"].value - a7["x0"].value == pytest.approx(SPLIT, abs=1e-12)
    assert a5["area"].value / a7["area"].value == pytest.approx(RATIO, rel=1e-12)
    for name in TRUE:
        assert a5[name].value == a7[name].value
    for name, want in (*TRUE.items(), ("x0", 84.0), ("area", AREA)):
        assert abs(a7[name].value - want) < 3 * a7[name].stderr, (name, a7[name])
    for name in ("height", "fwhm"):
        assert a7[name].value > 0 and 0 < a7[name].stderr < 0.05 * a7[name].value
    assert math.isnan(a7["area_total"].value)  # the tail of alpha > 0 holds no finite area
    voigt = velmora.fit(BE, counts, velmora.doublet("voigt", "Au4f"), background="shirley")
    assert voigt.converged
    assert r.deviance < voigt.deviance - 100


def test_a_batch_of_spectra_gives_each_its_single_fit_bit_for_bit():
    Y = np.stack([au4f(seed) for seed in (4, 5, 6)])
    model = velmora.Model(velmora.doublet(SHAPE, "Au4f"), background="shirley")
    batch = model.fit_many(BE, Y, warm_start="none", workers=2)
    for index in range(len(Y)):
        alone = model.fit(BE, Y[index])
        assert batch.log_likelihood[index] == alone.log_likelihood
        for name in batch.names:
            where, key = name.split(".", 1)
            est = alone.background[key] if where == "background" else alone.peaks[where][key]
            stderr = math.nan if est.stderr is None else est.stderr
            assert np.array_equal([batch.values[name][index], batch.stderr[name][index]],
                                  [est.value, stderr], equal_nan=True), (name, index)


X = np.linspace(0.0, 20.0, 401)
LINE = dict(x0=9.0, gamma=0.25, alpha=0.1, sigma=0.3)


def reference_fwhm(p):
    """The full width at half maximum of the directly convolved line of parameters p."""
    top = optimize.minimize_scalar(lambda u: -dsg(u, **p)[0], bounds=(p["x0"] - 1, p["x0"] + 1),
                                   method="bounded", options={"xatol": 1e-10})
    half = -top.fun / 2
    left = optimize.brentq(lambda u: dsg(u, **p)[0] - half, p["x0"] - 5, top.x, xtol=1e-13)
    right = optimize.brentq(lambda u: dsg(u, **p)[0] - half, top.x, p["x0"] + 5, xtol=1e-13)
    return right - left


def test_fwhm_is_a_start_a_bound_and_a_fixed_value():
    q = dsg(X, **LINE)
    counts = 30000.0 * q / q.sum() + 20.0  # noise-free counts
    true_fwhm = reference_fwhm(LINE)
    shape_of = lambda peak: {k: peak[k].value for k in LINE}  # noqa: E731

    def fit(**peak):
        r = velmora.fit(X, counts, [velmora.Peak(SHAPE, name="p", x0=9.1, **peak)],
                        background="linear")
        assert r.converged, r.status
        return r.peaks["p"]

    held = fit(fwhm=1.1 * true_fwhm, fix="fwhm")
    assert held["fwhm"].fixed and held["fwhm"].value == 1.1 * true_fwhm
    assert reference_fwhm(shape_of(held)) == pytest.approx(1.1 * true_fwhm, rel=1e-8)
    assert held["gamma"].stderr > 0  # the width it stands for, reported with its error
    bounded = fit(bounds={"fwhm": (0.5 * true_fwhm, 0.95 * true_fwhm)})
    assert bounded["fwhm"].value == pytest.approx(0.95 * true_fwhm, rel=1e-12)
    assert reference_fwhm(shape_of(bounded)) == pytest.approx(0.95 * true_fwhm, rel=1e-8)
    started = fit(fwhm=1.3 * true_fwhm)
    for name, want in LINE.items():
        assert started[name].value == pytest.approx(want, rel=1e-4), name
    assert started["fwhm"].value == pytest.approx(true_fwhm, rel=1e-6)
