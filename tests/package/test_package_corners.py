"""Corners of the model language where a fit could look better than it is: centres that a tie
pulls out of the window, directions the data cannot determine, derived quantities out of
range, constant ties, background terms on their bounds; and the rules under them (the
at-bound covariance rule, the default chunks of a batch, the log-likelihood itself)."""
import math

import numpy as np
import pytest
import scipy.stats
import velmora_core

import velmora
from velmora.packing import derived_out_of_range
from velmora.schedule import _default_chunks

X = np.linspace(0.0, 20.0, 401)


def one_gaussian(seed, area=2000.0, level=20.0):
    rate = area * 0.05 * velmora_core.gaussian_predict(X, 10.0, 0.8) + level
    return np.random.default_rng(seed).poisson(rate).astype(float)


@pytest.mark.filterwarnings("ignore::velmora.ConvergenceWarning")
def test_no_centre_leaves_the_window():
    # Flat counts: a peak whose centre is tied to a third of its area wants ever more area,
    # and so a centre ever further out.  The fit refuses steps past the window's edge, holds
    # the centre there, does not call that converged, and names the peak.
    flat = np.random.default_rng(0).poisson(np.full(X.size, 50.0)).astype(float)
    r = velmora.fit(X, flat, [velmora.Peak("gaussian", name="A", x0="A.area / 3", area=30.0)])
    assert not r.converged
    assert 19.99 < r.params["A.x0"].value <= 20.0
    assert any(w.startswith("A.x0:") and "edge 20" in w for w in r.warnings)
    # A tie that keeps the centre inside is no finding.
    r = velmora.fit(X, flat, [velmora.Peak("gaussian", name="A", x0="A.area / 100",
                                           area=1000.0)])
    assert r.converged and r.params["A.x0"].value < 19.9
    assert not any("edge" in w for w in r.warnings)
    # A free centre's bounds are cut to the window; bounds wholly outside it are refused.
    r = velmora.fit(X, flat, [velmora.Peak("gaussian", name="A", x0=19.0,
                                           bounds={"x0": (5.0, 100.0)})])
    assert (r.params["A.x0"].min, r.params["A.x0"].max) == (5.0, 20.0)
    assert r.params["A.x0"].value <= 20.0
    with pytest.raises(ValueError, match="A.x0: its bounds .* leave no room inside the fitting"):
        velmora.fit(X, flat, [velmora.Peak("gaussian", name="A",
                                           bounds={"x0": (30.0, 100.0)})])


def test_a_direction_the_data_cannot_fix_leaves_every_parameter_along_it_undetermined():
    counts = one_gaussian(1)
    # Two peaks at one place with one width: any split of the counts fits equally well.
    r = velmora.fit(X, counts, [velmora.Peak("gaussian", name="A", x0=10.0),
                                velmora.Peak("gaussian", name="B", x0="A.x0", sigma="A.sigma")],
                    background="uniform")
    for name in ("A.area", "B.area"):
        assert not r.params[name].determined and math.isnan(r.params[name].stderr), name
        assert any(w.startswith(name) and "do not determine" in w for w in r.warnings)
    # What the data do fix keeps its error: the place, the width, the background.
    for name in ("A.x0", "A.sigma", "bg.counts"):
        assert r.params[name].determined and 0 < r.params[name].stderr < math.inf, name
    # Two peaks the data tell apart keep both areas.
    r = velmora.fit(X, counts, [velmora.Peak("gaussian", name="A", x0=10.0),
                                velmora.Peak("gaussian", name="B", x0=14.0, sigma="A.sigma")],
                    background="uniform")
    assert r.params["A.area"].determined and r.params["B.area"].determined
    assert math.isfinite(r.params["B.area"].stderr)


@pytest.mark.filterwarnings("ignore::velmora.ConvergenceWarning")
def test_derived_quantities_out_of_range_are_no_converged_fit():
    counts = one_gaussian(2)
    results = {}
    for alpha in (0.999999, 0.95, 0.1):
        results[alpha] = velmora.fit(X, counts, [velmora.Peak(
            "doniach_sunjic", name="A", x0=10.0, alpha=alpha, fix="alpha")],
            background="uniform")
    r = results[0.999999]
    assert math.isnan(r.peaks["A"]["fwhm"].value) and not r.converged
    assert any(w.startswith("A: its fwhm is not finite") for w in r.warnings)
    r = results[0.95]
    assert r.peaks["A"]["fwhm"].value > 20.0 and not r.converged
    assert "beyond the window" in r.status
    assert any(w.startswith("A: its fwhm") and "wider than the window (20)" in w
               for w in r.warnings)
    r = results[0.1]
    assert r.converged and r.peaks["A"]["fwhm"].value < 20.0
    assert not any("its fwhm" in w for w in r.warnings)
    # A batch counts such a spectrum as not converged too.
    batch = velmora.fit_many(X, np.stack([counts, counts]), [velmora.Peak(
        "doniach_sunjic", name="A", x0=10.0, alpha=0.95, fix="alpha")], background="uniform")
    assert not np.any(batch.converged) and batch.result(0).converged is False
    # The rule on both sides of its edges: a FWHM as wide as the window is fine, a hair wider
    # is not; a NaN whole-line area (a tail without a finite whole) is fine, an infinite one
    # is not.
    got = derived_out_of_range([1.0, 1.0, 1.0, np.nan, 1.0, 1.0],
                               [20.0, 20.000001, -20.5, 1.0, 1.0, 1.0],
                               [5.0, 5.0, 5.0, 5.0, np.nan, np.inf], 20.0)
    assert got.tolist() == [False, True, True, True, False, True]


def test_constant_ties_are_held_to_the_ranges_and_bounds_of_numbers():
    counts = one_gaussian(3)
    with pytest.raises(ValueError, match=r"A.sigma: starting value 1e\+300 lies outside its "
                                         r"bounds .* \(the default bounds"):
        velmora.fit(X, counts, [velmora.Peak("gaussian", name="A", x0=10.0, sigma=1e300)])
    with pytest.raises(ValueError, match=r"A.sigma: its constant tie '1e300' gives 1e\+300, "
                                         r"outside its bounds .* \(the default bounds"):
        velmora.fit(X, counts, [velmora.Peak("gaussian", name="A", x0=10.0, sigma="1e300")])
    with pytest.raises(ValueError, match=r"sigma: its tie '-1' gives -1.0, outside the range"):
        velmora.Peak("gaussian", x0=10.0, sigma="-1")
    with pytest.raises(ValueError, match="not a finite number"):
        velmora.Peak("gaussian", x0=10.0, sigma="1e308 * 10")
    # Inside the bounds a constant tie fits like a fixed number.
    tied = velmora.fit(X, counts, [velmora.Peak("gaussian", name="A", x0=10.0, sigma="0.8")])
    fixed = velmora.fit(X, counts, [velmora.Peak("gaussian", name="A", x0=10.0, sigma=0.8,
                                                 fix="sigma")])
    assert tied.converged and tied.params["A.area"].value == pytest.approx(
        fixed.params["A.area"].value, rel=1e-9)


def test_a_background_term_on_its_bound_is_marked_with_its_finding():
    line = 2000 * 0.05 * velmora_core.gaussian_predict(X, 10.0, 0.8) + 20
    rng = np.random.default_rng(4)
    up, down = (rng.poisson(line + 10 * side).astype(float) for side in (X > 10, X < 10))
    peaks = [velmora.Peak("gaussian", name="A", x0=10.0)]
    # On a binding-energy axis the Shirley step rises towards larger x: under counts that
    # step down there it has nowhere to go but its bound, zero.
    r = velmora.fit(X, down, peaks, background="shirley")
    step = r.background["step"]
    assert step.value == 0.0 and step.at_bound and math.isnan(step.stderr)
    assert r.params["bg.step"].at_bound
    assert any(w.startswith("background.step ended on its bound 0") for w in r.warnings)
    assert not r.background["offset"].at_bound
    assert math.isfinite(r.background["offset"].stderr)
    # Under counts that step up the step is found, and not on a bound.
    r = velmora.fit(X, up, peaks, background="shirley")
    step = r.background["step"]
    assert step.value > 0 and not step.at_bound and 0 < step.stderr < step.value
    assert not any(w.startswith("background.") for w in r.warnings)


def test_an_area_on_its_bound_counts_in_the_others_errors_when_the_data_determine_it():
    # A fixed Gaussian over a dip: its area ends on zero.  Its standard error there, beside
    # the reach of its scale (a thousandth of all counts), decides: within it the area counts
    # in the others' errors (its own is given); beyond it the area is held on its bound (no
    # standard error).  Background 500: error 173 within a reach of 194; background 300:
    # error 150 beyond a reach of 117.
    g = velmora_core.gaussian_predict(X, 10.0, 0.5)
    peaks = [velmora.Peak("gaussian", name="A", x0=10.0, sigma=0.5, fix=("x0", "sigma"))]
    # Noise-free data: Poisson errors, not the dispersion's scaling, are the rule's subject.
    kept, held = (velmora.fit(X, np.round(level * (1 - 0.5 * g / g.max())), peaks,
                              background="uniform", errors="poisson") for level in (500, 300))
    area = kept.params["A.area"]
    assert area.value == 0.0 and area.at_bound
    assert 150 < area.stderr < 0.001 * kept.counts.sum()
    area = held.params["A.area"]
    assert area.value == 0.0 and area.at_bound and math.isnan(area.stderr)
    # Held, the area leaves the background count's error as if the area were known.
    assert held.params["bg.counts"].stderr < 1.05 * math.sqrt(held.counts.sum())


@pytest.mark.parametrize("shape, chunks", [
    ((100,), ((13, 13, 13, 13, 12, 12, 12, 12),)),
    ((7,), ((4, 3),)),
    ((3, 50), ((1, 1, 1), (17, 17, 16))),
    ((10, 4), ((1,) * 10, (4,))),
    ((2, 1000), ((1, 1), (63,) * 8 + (62,) * 8)),
])
def test_default_chunks_of_a_batch(shape, chunks):
    assert _default_chunks(shape) == chunks


def test_the_log_likelihood_is_poissons_with_empty_channels():
    # Few counts: many channels are empty, where log Gamma(c + 1) and c log mu vanish.
    rate = 200 * 0.05 * velmora_core.gaussian_predict(X, 10.0, 0.8) + 0.3
    counts = np.random.default_rng(5).poisson(rate).astype(float)
    assert (counts == 0).sum() > 100
    r = velmora.fit(X, counts, [velmora.Peak("gaussian", x0=10.0)], background="uniform")
    expected = scipy.stats.poisson.logpmf(counts, r.eval()).sum()
    assert r.log_likelihood == pytest.approx(expected, rel=1e-10, abs=1e-8)
