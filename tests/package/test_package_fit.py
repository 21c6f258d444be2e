"""velmora.fit end to end: every shape and background, the result's contract, the EM fixed
point at the end, and the model curves against the core's own likelihood."""
import math

import numpy as np
import pytest

import velmora
import velmora_core
from scipy.special import gammaln
from simulated import CASES, simulate


def location(shape):
    return "tp" if shape == "tsdc" else "x0"


@pytest.mark.parametrize("shape", sorted(CASES))
def test_every_shape_recovers_its_peaks_at_a_maximum_of_the_likelihood(shape):
    x, counts, truth, options = simulate(shape, seed=3)
    result = velmora.fit(x, counts, [velmora.Peak(shape, **options) for _ in truth],
                         background="uniform", tol=1e-9)
    assert result.converged and result.decrement <= 1e-9 * abs(result.log_likelihood)
    fitted = sorted(result.peaks, key=lambda p: p[location(shape)].value)
    for peak, (p, area) in zip(fitted, truth):
        for name in (location(shape), "area"):
            est = peak[name]
            want = area if name == "area" else p[name]
            assert abs(est.value - want) < 4 * est.stderr, (name, est, want)
    # The curves the layer draws are the expected counts inside the fit: the Poisson
    # log-likelihood formed from them is the engine's.
    mu = result.eval()
    c = result.counts
    ll = float(np.sum(np.where(c > 0, c * np.log(mu), 0.0) - mu - gammaln(c + 1.0)))
    assert ll == pytest.approx(result.log_likelihood, rel=1e-12)
    # No free parameter can move the likelihood up: it is a maximum to within tol.
    setup = result.setup
    theta = result.state.theta
    model = setup.engine_model(result.state.values)
    loglik = lambda t: velmora_core._engine_loglik(model, c, t)
    for a in range(theta.size):
        h = 1e-4 * max(abs(theta[a]), 1.0)
        for step in (h, -h):
            moved = theta.copy()
            moved[a] += step
            if setup.lower[a] <= moved[a] <= setup.upper[a]:
                assert loglik(moved) <= result.log_likelihood + 1e-9 * abs(result.log_likelihood)


def test_contract_of_the_result():
    x, counts, truth, _ = simulate("voigt", seed=5)
    x_before, counts_before = x.copy(), counts.copy()
    peaks = [velmora.Peak("voigt", x0=3.45, sigma=0.2, gamma=0.15),
             velmora.Peak("voigt", x0=4.75, fix=("gamma",))]
    peaks_before = repr(peaks)
    result = velmora.fit(x, counts, peaks, background="linear", window=None, tol=1e-9,
                         max_iter=2000)
    assert np.array_equal(x, x_before) and np.array_equal(counts, counts_before)
    assert repr(peaks) == peaks_before

    assert set(result.peaks[0]) == {"x0", "sigma", "gamma", "area", "height", "fwhm",
                                    "area_total"}
    # Derived: the width at half maximum (Olivero's approximation of the Voigt width, good to
    # 2e-4) and the height of the curve.
    p0 = result.peaks[0]
    s, g = p0["sigma"].value, p0["gamma"].value
    olivero = 1.0692 * g + math.sqrt(0.8664 * g * g + (2.3548200450309493 * s) ** 2)
    assert p0["fwhm"].value == pytest.approx(olivero, rel=5e-4)
    assert 0 < p0["fwhm"].stderr < p0["fwhm"].value
    fixed = result.peaks[1]["gamma"]
    assert fixed.fixed and fixed.stderr is None
    assert fixed.value == pytest.approx(result.peaks[1]["gamma"].value)
    assert set(result.background) == {"counts", "slope"}
    assert result.n_iter > 0 and result.converged
    assert result.param_names == ["p0_x0", "p0_sigma", "p0_gamma", "p0_area", "p1_x0",
                                  "p1_sigma", "p1_area", "bg_rising", "bg_falling"]
    assert result.covariance.shape == (9, 9)
    assert np.allclose(result.covariance, result.covariance.T)
    sd = np.sqrt(np.diag(result.covariance))
    assert sd[0] == pytest.approx(result.peaks[0]["x0"].stderr)
    assert result.aic == pytest.approx(-2 * result.log_likelihood + 2 * 9)
    assert result.bic == pytest.approx(-2 * result.log_likelihood + 9 * math.log(x.size))

    parts = result.eval_components(x)
    assert set(parts) == {"p0", "p1", "background"}
    assert np.allclose(sum(parts.values()), result.eval(x))
    # Areas and background counts are what the curves hold, and together they are the data.
    step = x[1] - x[0]
    assert parts["p0"].sum() == pytest.approx(result.peaks[0]["area"].value, rel=2e-3)
    assert parts["p0"].max() == pytest.approx(p0["height"].value, rel=2e-3)
    # At the maximum of the Poisson likelihood the expected counts add up to the data's (the
    # score of a common scale of every term vanishes: to within what tol leaves of it,
    # sqrt(2 tol |log-likelihood| N)), and the areas nearly so.
    assert result.eval().sum() == pytest.approx(counts.sum(), rel=2e-5)
    total = sum(p["area"].value for p in result.peaks) + result.background["counts"].value
    assert total == pytest.approx(counts.sum(), rel=1e-3)
    # On a finer grid the curves are counts per data channel, so they keep their area.
    fine = np.linspace(x[0], x[-1], 4 * x.size - 3)
    assert result.eval(fine).sum() * (fine[1] - fine[0]) / step == pytest.approx(
        counts.sum(), rel=1e-3)

    report = result.report()
    assert "+/-" in report and "(fixed)" in report and "[[Correlations]]" in report
    assert result.to_dict()["param_names"] == result.param_names
    try:
        import matplotlib  # noqa: F401  (plots are optional: the NumPy 1.x suite has none)
    except ImportError:
        pass
    else:
        assert len(result.plot().axes) == 2

    # The same spectrum in descending order gives the same fit.
    reverse = velmora.fit(x[::-1], counts[::-1], peaks, background="linear")
    assert reverse.peaks[0]["x0"].value == result.peaks[0]["x0"].value


def falling(x):
    return 60.0 - 4.0 * x


@pytest.mark.parametrize("background, model, check", [
    ("uniform", None, lambda r: r.background["counts"].value),
    ("sqrt", lambda x: 8.0 * np.sqrt(x), lambda r: r.background["counts"].value),
    # A falling straight line: its slope must come out negative (-4 counts per unit x).
    ("linear", falling, lambda r: r.background["slope"].value),
    ("spline", lambda x: 30.0 + 10.0 * np.sin(x / 2.0), lambda r: r.background["counts"].value),
])
def test_backgrounds(background, model, check):
    x, counts, truth, _ = simulate("gaussian", seed=11, background=model)
    result = velmora.fit(x, counts, [velmora.Peak("gaussian") for _ in truth],
                         background=background, knots=4 if background == "spline" else None)
    assert result.converged
    true_bg = np.full(x.size, 20.0) if model is None else model(x)
    if background == "linear":
        want, est = -4.0, result.background["slope"]
    else:
        want, est = true_bg.sum(), result.background["counts"]
    assert abs(check(result) - want) < 4 * est.stderr
    areas = sorted((p["x0"].value, p["area"]) for p in result.peaks)
    for (_, est), (_, area) in zip(areas, truth):
        assert abs(est.value - area) < 4 * est.stderr


def test_results_do_not_depend_on_the_number_of_workers():
    from conftest import run_python

    script = """
import numpy as np, velmora
from simulated import simulate
x, counts, truth, _ = simulate("voigt", seed=4)
r = velmora.fit(x, counts, [velmora.Peak("voigt") for _ in truth], background="linear")
print(repr([e.value for p in r.peaks for e in p.values()] + r.covariance.ravel().tolist()))
"""
    import os
    here = os.path.dirname(os.path.abspath(__file__))
    code = f"import sys; sys.path.insert(0, {here!r})\n" + script
    assert run_python(code, threads=1) == run_python(code, threads=2)


def test_lorentzian_fits_print_nothing():
    from conftest import run_python

    code = """
import numpy as np, velmora, velmora_core
x = np.linspace(0, 10, 301)
counts = np.random.default_rng(1).poisson(400 / (1 + ((x - 4) / 0.3) ** 2) + 5).astype(float)
velmora.fit(x, counts, [velmora.Peak("lorentzian")], background="uniform")
velmora_core.lorentzian_mle(x, counts, 4.0, 0.5, 0.0, 10.0)   # the core's own line stays
"""
    assert run_python(code) == "LBFGSB finished\n"


@pytest.mark.parametrize("module", ["velmora", "velmora.peaks", "velmora.params", "velmora.model",
                                    "velmora.fit", "velmora.guess",
                                    "velmora.batch"])
def test_docstring_examples_run(module):
    import doctest
    import sys

    assert doctest.testmod(sys.modules[module]).failed == 0


def test_a_parameter_on_its_bound_counts_when_determined_and_is_held_when_flat():
    # Gaussian data fitted with Voigt peaks whose Lorentzian width may not go below 0.02: the
    # data push gamma onto that bound, yet determine it there (its standard error is below its
    # value), so its uncertainty counts in the others'.
    x, counts, truth, _ = simulate("gaussian", seed=1)
    result = velmora.fit(x, counts, [velmora.Peak("voigt", bounds={"gamma": (0.02, 1.0)})
                                     for _ in truth], background="uniform")
    gammas = [p["gamma"] for p in result.peaks]
    assert all(g.at_bound and g.value == 0.02 for g in gammas)
    i = result.param_names.index("p0_gamma")
    assert 0 < gammas[0].stderr < 0.02
    assert result.covariance[i, i] == pytest.approx(gammas[0].stderr ** 2)
    for p in result.peaks:
        assert all(np.isfinite(p[n].stderr) for n in ("x0", "sigma", "area", "fwhm"))
    assert "(at bound)" in result.report()
    assert any("p0.gamma ended on its bound" in w for w in result.warnings)

    # Lorentzian data fitted with a Voigt peak: sigma runs onto its narrowest default width,
    # along which the likelihood is flat.  It is held there (no variance, its standard error
    # not given) and leaves the others determined.
    step = x[1] - x[0]
    rate = 30000 * step * velmora_core.lorentzian_predict(x, 5.0, 0.6, x[0], x[-1]) + 20.0
    counts = np.random.default_rng(0).poisson(rate).astype(float)
    r = velmora.fit(x, counts, [velmora.Peak("voigt", x0=4.9)], background="uniform")
    sigma = r.peaks[0]["sigma"]
    assert sigma.at_bound and math.isnan(sigma.stderr)
    assert r.covariance[r.param_names.index("p0_sigma")].tolist() == [0.0] * r.n_free
    assert abs(r.peaks[0]["fwhm"].value - 0.6) < 4 * r.peaks[0]["fwhm"].stderr
    assert any("held there" in w for w in r.warnings)


def test_a_peak_without_signal_leaves_the_others_determined():
    # The second peak finds nothing to fit and collapses onto a grid point (the Gaussian
    # update's width floor): its own errors are undetermined, the others' are not.
    x = np.linspace(0.0, 10.0, 201)
    counts = np.random.default_rng(0).poisson(300 * np.exp(-0.5 * ((x - 5) / 0.5) ** 2) + 5)
    result = velmora.fit(x, counts, [velmora.Peak("gaussian", x0=5.0),
                                     velmora.Peak("gaussian", x0=8.0, sigma=0.3)],
                         background="uniform")
    for name in ("x0", "sigma", "area"):
        assert np.isfinite(result.peaks[0][name].stderr)
    assert np.isfinite(result.background["counts"].stderr)


def test_linear_slope_is_per_data_channel_on_an_absolute_axis():
    # TSDC temperatures are fitted in kelvin, not in grid steps: the slope must still be in
    # counts per channel per kelvin (here 0.1).
    x, counts, truth, options = simulate("tsdc", seed=2, background=lambda t: 20 + 0.1 * (t - 150))
    result = velmora.fit(x, counts, [velmora.Peak("tsdc", **options) for _ in truth],
                         background="linear")
    slope = result.background["slope"]
    assert abs(slope.value - 0.1) < 4 * slope.stderr



def test_two_peaks_started_on_the_same_line_both_start_with_counts_and_split():
    # A line at 13.0 and one a fifth its size at 13.6, both peaks started at 13.0.  The first
    # takes the line's counts with it; the second still starts with some area (a peak started
    # at none would stay there) and the fit moves it onto the weaker line.
    from velmora.guess import fill_peaks

    x = np.arange(10.0, 16.0 + 1e-9, 0.02)
    rate = (50000 * 0.02 * velmora_core.gaussian_predict(x, 13.0, 0.2)
            + 10000 * 0.02 * velmora_core.gaussian_predict(x, 13.6, 0.2) + 20.0)
    counts = np.random.default_rng(3).poisson(rate).astype(float)
    peaks = [velmora.Peak("gaussian", x0=13.0), velmora.Peak("gaussian", x0=13.0)]
    started = fill_peaks(x, counts, peaks)
    assert all(p.area > 0 for p in started)
    r = velmora.fit(x, counts, peaks, background="uniform")
    assert r.converged
    strong, weak = sorted(r.peaks, key=lambda p: -p["area"].value)
    for peak, x0, area in ((strong, 13.0, 50000), (weak, 13.6, 10000)):
        assert abs(peak["x0"].value - x0) < 4 * peak["x0"].stderr
        assert abs(peak["area"].value - area) < 4 * peak["area"].stderr


def test_a_model_is_checked_once_and_its_parameter_table_runs_to_the_result():
    with pytest.raises(ValueError, match="every parameter of every peak is fixed or tied"):
        velmora.Model(velmora.Peak("gaussian", x0=1.0, sigma=0.2, area=5.0,
                                   fix=("x0", "sigma", "area")))
    with pytest.raises(ValueError, match="window: lower end"):
        velmora.Model(velmora.Peak("gaussian"), window=(5.0, 1.0))
    x, counts, _, _ = simulate("gaussian", seed=3)
    model = velmora.Model([velmora.Peak("gaussian", name="a", bounds={"x0": (3.0, 4.0)}),
                           velmora.Peak("gaussian", name="b", x0="a.x0 + 1.1",
                                        area="0.6 * a.area")], background="linear")
    a, b = model.params["a.x0"], model.params["b.x0"]
    assert (a.value, a.bounds, a.vary) == (None, (3.0, 4.0), True)
    assert (b.tie, b.vary, model.params["a.sigma"].bounds) == ("a.x0 + 1.1", False, (None, None))
    first = model.fit(x, counts)
    again = model.fit(x, counts[::-1][::-1].copy())
    assert again.setup is first.setup                 # the grid's part is built once
    assert again.log_likelihood == first.log_likelihood
    params = first.params
    assert list(params)[-2:] == ["bg.rising", "bg.falling"]
    assert params.free == [n.replace("_", ".", 1) for n in first.param_names]
    assert params["a.x0"] is first.peaks["a"]["x0"] and params["b.x0"].tie == "a.x0 + 1.1"
    assert params["b.x0"].value == pytest.approx(params["a.x0"].value + 1.1, abs=1e-12)
    assert params["a.x0"].bounds == (3.0, 4.0) and params["a.sigma"].min > 0
    assert params["bg.rising"].stderr > 0 and params["a.x0"].determined
    # velmora.fit keeps its models by what they are built from: a peak changed between two
    # calls is fitted as it now is.
    peak = velmora.Peak("gaussian", x0=3.5, fix="x0")
    assert velmora.fit(x, counts, peak).peaks[0]["x0"].value == pytest.approx(3.5, abs=1e-12)
    peak.values["x0"] = 3.6
    assert velmora.fit(x, counts, peak).peaks[0]["x0"].value == pytest.approx(3.6, abs=1e-12)
