"""One meaning for every parameter name: a peak's area is its expected counts inside the
window (the whole line's area_total where finite), and fwhm is a start, a bound or a fixed
value for every shape.  The lines are drawn from formulas written here (SciPy's special
functions), not from the core."""
import math

import numpy as np
import pytest
from scipy import integrate, optimize, special

import velmora

K_B = 8.61733034e-5


def _tsdc(t, ea, tp):
    # The current of a first-order peak at tp (beta tau0 from the peak condition).
    bt = K_B * tp * tp / ea * np.exp(-ea / (K_B * tp))
    z = ea / (K_B * t)
    return np.exp(-ea / (K_B * t) - t / bt * special.expn(2, z)) / bt


def _ds(x, x0, gamma, alpha):
    d = x - x0
    return np.cos(np.pi * alpha / 2 + (1 - alpha) * np.arctan(d / gamma)) / \
        (d * d + gamma * gamma) ** ((1 - alpha) / 2)


# shape: (x, window, truth, the line's profile (unnormalised), whole line finite)
LINES = {
    "gaussian": (np.linspace(0, 20, 2001), dict(x0=19.0, sigma=0.8),
                 lambda x: np.exp(-0.5 * ((x - 19.0) / 0.8) ** 2), True),
    "lorentzian": (np.linspace(0, 20, 2001), dict(x0=19.2, gamma=0.5),
                   lambda x: 1 / ((x - 19.2) ** 2 + 0.25), True),
    "voigt": (np.linspace(0, 20, 2001), dict(x0=1.0, sigma=0.4, gamma=0.3),
              lambda x: special.voigt_profile(x - 1.0, 0.4, 0.3), True),
    "doniach_sunjic": (np.linspace(0, 20, 2001), dict(x0=18.5, gamma=0.4, alpha=0.2),
                       lambda x: _ds(x, 18.5, 0.4, 0.2), False),
    "tsdc": (np.linspace(250, 400, 1501), dict(ea=0.9, tp=390.0),
             lambda t: _tsdc(t, 0.9, 390.0), True),
}


def _fit_line(shape, line, area=50000.0, level=5.0, **peak):
    """A noise-free line near the window's edge (rate as counts): the fit, and the line's
    counts inside the window as the channels hold them."""
    x, truth, profile, _ = line
    step = x[1] - x[0]
    inside = integrate.quad(profile, x[0], x[-1], limit=500, points=[truth.get("x0", 390)])[0]
    rate = area * profile(x) / inside * step + level
    start = {k: v * 1.02 for k, v in truth.items()}
    if peak.get("fix") == "fwhm" or "bounds" in peak:  # fwhm stands for the primary width
        start.pop(velmora.shapes.SHAPES[shape].primary)
    r = velmora.fit(x, rate, [velmora.Peak(shape, name="p", **{**start, **peak})],
                    background="uniform")
    assert r.converged, (shape, r.status)
    return r, area


@pytest.mark.parametrize("shape", sorted(LINES))
def test_area_is_the_counts_inside_the_window_and_area_total_the_whole_line(shape):
    x, truth, profile, finite = LINES[shape]
    r, inside = _fit_line(shape, LINES[shape])
    p = r.peaks["p"]
    assert p["area"].value == pytest.approx(inside, rel=2e-4)
    if finite:
        # The window holds a clear share of the line (a line at its edge), so the two differ.
        # (A TSDC current integrates to 1 from 0 K up.)
        whole = 1.0 if shape == "tsdc" else integrate.quad(profile, -np.inf, np.inf,
                                                           limit=500)[0]
        window = integrate.quad(profile, x[0], x[-1], limit=500)[0]
        assert window / whole < 0.9
        assert p["area_total"].value == pytest.approx(inside * whole / window, rel=2e-4)
        assert p["area_total"].stderr > p["area"].stderr * 0.9
    else:
        assert math.isnan(p["area_total"].value)


def _fwhm_of(profile, at, lo, hi):
    """The full width at half maximum of a profile with its maximum near ``at``."""
    top = optimize.minimize_scalar(lambda u: -profile(u), bounds=(at - 1, at + 1),
                                   method="bounded", options={"xatol": 1e-10})
    half = -top.fun / 2
    left = optimize.brentq(lambda u: profile(u) - half, lo, top.x, xtol=1e-14)
    right = optimize.brentq(lambda u: profile(u) - half, top.x, hi, xtol=1e-14)
    return right - left


# shape: (x, truth, profile of the fitted parameters, FWHM of the truth)
WIDTHS = {
    "gaussian": (dict(x0=10.0, sigma=0.6),
                 lambda p: 2 * np.sqrt(2 * np.log(2)) * p["sigma"]),
    "lorentzian": (dict(x0=10.0, gamma=0.4), lambda p: 2 * p["gamma"]),
    "pseudo_voigt": (dict(x0=10.0, gamma=0.4, eta=0.4), lambda p: 2 * p["gamma"]),
    "voigt": (dict(x0=10.0, sigma=0.4, gamma=0.3), lambda p: _fwhm_of(
        lambda u: special.voigt_profile(u - p["x0"], p["sigma"], p["gamma"]), p["x0"], 0, 20)),
    "doniach_sunjic": (dict(x0=10.0, gamma=0.4, alpha=0.2), lambda p: _fwhm_of(
        lambda u: _ds(u, p["x0"], p["gamma"], p["alpha"]), p["x0"], 0, 20)),
    "tsdc": (dict(ea=0.9, tp=320.0), lambda p: _fwhm_of(
        lambda t: _tsdc(t, p["ea"], p["tp"]), p["tp"], 200, 450)),
}


def _width_line(shape):
    truth, fwhm = WIDTHS[shape]
    if shape == "tsdc":
        x, profile = np.linspace(250, 400, 1501), (lambda t: _tsdc(t, truth["ea"], truth["tp"]))
    else:
        x = np.linspace(0, 20, 2001)
        profile = {
            "gaussian": lambda u: np.exp(-0.5 * ((u - 10) / 0.6) ** 2),
            "lorentzian": lambda u: 1 / ((u - 10) ** 2 + 0.16),
            "pseudo_voigt": lambda u: 0.4 * np.exp(-0.5 * ((u - 10) / (0.8 / 2.3548200450309493)) ** 2)
            / (0.8 / 2.3548200450309493 * np.sqrt(2 * np.pi))
            + 0.6 * 0.4 / np.pi / ((u - 10) ** 2 + 0.16),
            "voigt": lambda u: special.voigt_profile(u - 10, 0.4, 0.3),
            "doniach_sunjic": lambda u: _ds(u, 10.0, 0.4, 0.2),
        }[shape]
    return (x, truth, profile, True), fwhm(truth)


def _shape_params(peak, shape):
    return {n: peak[n].value for n in WIDTHS[shape][0]}


@pytest.mark.parametrize("shape", sorted(WIDTHS))
def test_fwhm_fixed_bounded_and_started_for_every_shape(shape):
    line, true_fwhm = _width_line(shape)
    measure = WIDTHS[shape][1]
    # Fixed off the truth: the fitted line's FWHM, from the derived widths, is the value.
    held = 1.1 * true_fwhm
    r, _ = _fit_line(shape, line, fwhm=held, fix="fwhm")
    p = r.peaks["p"]
    assert p["fwhm"].fixed and p["fwhm"].value == held
    assert measure(_shape_params(p, shape)) == pytest.approx(held, rel=1e-9)
    assert "p.fwhm" in r.params and r.params["p.fwhm"].fixed
    # A bound below the truth holds it there; one above it leaves the truth free.
    r, _ = _fit_line(shape, line, bounds={"fwhm": (0.5 * true_fwhm, 0.95 * true_fwhm)})
    assert r.params["p.fwhm"].at_bound
    assert r.params["p.fwhm"].value == pytest.approx(0.95 * true_fwhm, rel=1e-12)
    assert measure(_shape_params(r.peaks["p"], shape)) == pytest.approx(0.95 * true_fwhm,
                                                                       rel=1e-9)
    r, _ = _fit_line(shape, line, bounds={"fwhm": (0.5 * true_fwhm, 1.05 * true_fwhm)})
    assert not r.params["p.fwhm"].at_bound
    assert r.params["p.fwhm"].value == pytest.approx(true_fwhm, rel=1e-4)
    # A start alone: the shape's own parameters are fitted.
    truth = WIDTHS[shape][0]
    primary = velmora.shapes.SHAPES[shape].primary
    r, _ = _fit_line(shape, line, fwhm=1.3 * true_fwhm, **{primary: None})
    assert "p.fwhm" not in r.params
    assert r.peaks["p"][primary].value == pytest.approx(truth[primary], rel=1e-4)
    assert r.peaks["p"]["fwhm"].value == pytest.approx(true_fwhm, rel=1e-4)


def test_fwhm_refusals_and_model_files():
    velmora.Peak("voigt", fwhm=1.0)  # every shape takes it
    with pytest.raises(ValueError, match="one too many"):
        velmora.Peak("voigt", fwhm=1.0, sigma=0.3, gamma=0.2)
    with pytest.raises(ValueError, match="give sigma or fwhm"):
        velmora.Peak("gaussian", fwhm=1.0, fix="fwhm", sigma=0.4)
    with pytest.raises(ValueError, match="give gamma or fwhm"):
        velmora.Peak("pseudo_voigt", bounds={"fwhm": (0.5, 2), "gamma": (0.1, 1)})
    with pytest.raises(TypeError, match="fwhm"):
        velmora.Peak("voigt", width=1.0)  # the message names fwhm among the parameters
    pk = velmora.Peak("voigt", fwhm=1.2, fix="fwhm", sigma=None)
    assert pk.params == ("x0", "sigma", "fwhm")
    doublet = velmora.doublet("voigt", "Au4f", fwhm=1.2, fix="fwhm")
    assert doublet[1].ties["fwhm"] == "Au4f7.fwhm"


def test_a_voigt_held_at_a_fwhm_its_gaussian_part_fills_ends_a_gaussian_of_that_width():
    # A line without a Lorentzian part, fitted with its FWHM held a little above or below the
    # truth: the fit drives gamma to 0 and the Gaussian part to the whole width, where a step
    # or a difference stencil crosses into sigma > fwhm / 2.3548 (no Lorentzian width gives
    # the FWHM there; the fit used to end "not finite").
    x = np.linspace(0, 10, 401)
    rng = np.random.default_rng(1)
    counts = rng.poisson(2000 * 0.025 * np.exp(-0.5 * ((x - 6) / 0.3) ** 2)
                         / (0.3 * np.sqrt(2 * np.pi)) + 5)
    for held in (0.95 * 2.3548200450309493 * 0.3, 1.3 * 2.3548200450309493 * 0.3):
        r = velmora.fit(x, counts, [velmora.Peak("voigt", name="p", fwhm=held, fix="fwhm")],
                        background="uniform")
        assert r.converged and np.isfinite(r.log_likelihood)
        assert r.peaks["p"]["gamma"].value == 0.0 and r.peaks["p"]["fwhm"].value == held
