"""The dispersion of the counts about the fitted model and the standard errors it chooses:
phi and its p-value against a direct computation, the "auto" rule on both sides of its
threshold, the scaling of every standard error, the detections, a batch of one."""
import math

import numpy as np
import pytest
from scipy.special import gammainc, gammaincc

import velmora
from velmora.packing import DISPERSION_P, errors_scaled

X = np.linspace(0.0, 10.0, 301)


def rate(area=4000.0, x0=4.0, sigma=0.3, level=40.0):
    step = X[1] - X[0]
    return area * step * np.exp(-0.5 * ((X - x0) / sigma) ** 2) / (
        sigma * math.sqrt(2 * math.pi)) + level


def fit(counts, errors="auto", peaks=1):
    shapes = [velmora.Peak("gaussian", name="a", x0=4.0)]
    if peaks == 2:
        shapes.append(velmora.Peak("gaussian", name="b", x0=6.0, sigma=0.3))
    return velmora.fit(X, counts, shapes, background="uniform", errors=errors)


def test_dispersion_and_its_p_value_as_computed_directly():
    counts = np.random.default_rng(1).poisson(rate(level=0.0)).astype(float)
    result = velmora.fit(X, counts, velmora.Peak("gaussian"))
    mu = result.eval()
    used = mu >= 1.0
    assert 0 < used.sum() < mu.size  # the tails of the line, without a background, leave
    dof = int(used.sum()) - result.n_free
    counts, mu = counts[used], mu[used]
    chi2 = float(np.sum((counts - mu) ** 2 / mu))
    assert result.dispersion_dof == dof
    assert result.dispersion == pytest.approx(chi2 / dof, rel=1e-10)
    # The two-sided p-value of chi2 against a chi-square matched to Poisson counts' first two
    # moments (variance widened by the 1/mu term of their fourth moment).
    variance = dof / used.sum() * np.sum(2.0 + 1.0 / mu)
    g = variance / (2.0 * dof)
    h = dof / g
    tails = gammainc(h / 2, chi2 / (2 * g)), gammaincc(h / 2, chi2 / (2 * g))
    assert result.dispersion_p == pytest.approx(min(1.0, 2 * min(tails)), rel=1e-9)
    assert "dispersion" in result.report() and f"{result.dispersion:.5g}" in result.report()


def test_auto_rule_on_both_sides_of_its_threshold():
    phi = np.array([1.2, 1.2, 0.8, 0.8, np.nan, np.inf])
    p = np.array([DISPERSION_P * 1.01, DISPERSION_P * 0.99, DISPERSION_P * 1.01,
                  DISPERSION_P * 0.99, np.nan, 0.0])
    assert errors_scaled("auto", phi, p).tolist() == [False, True, False, True, False, False]
    assert errors_scaled("scaled", phi, p).tolist() == [True] * 4 + [False, False]
    assert not errors_scaled("poisson", phi, p).any()


@pytest.mark.parametrize("transform, low", [
    (lambda c, rng: c, None),                       # Poisson counts: no scaling, no finding
    (lambda c, rng: c / 0.1, False),                 # counts per second of a 0.1 s dwell
    (lambda c, rng: rng.poisson(4 * rate()) / 4.0, True),  # the mean of four sweeps
])
def test_auto_scales_only_counts_that_are_not_poisson(transform, low):
    rng = np.random.default_rng(7)
    result = fit(transform(rng.poisson(rate()).astype(float), rng))
    found = [w for w in result.warnings if "dispersion" in w]
    if low is None:
        assert result.errors == "poisson" and not found and result.dispersion_p >= DISPERSION_P
        return
    assert result.errors == "scaled" and len(found) == 1
    assert (result.dispersion < 1) == low
    assert ("averaged" in found[0]) == low and ("missing" in found[0]) == (not low)
    assert f"{result.dispersion:.3g}" in found[0]


def test_scaled_multiplies_every_standard_error_by_the_root_of_phi():
    counts = np.random.default_rng(3).poisson(rate()) * 3.0
    plain, scaled = fit(counts, "poisson"), fit(counts, "scaled")
    assert plain.errors == "poisson" and scaled.errors == "scaled"
    assert scaled.dispersion == plain.dispersion
    root = math.sqrt(scaled.dispersion)
    for peak_p, peak_s in zip(plain.peaks, scaled.peaks):
        for name in peak_p:
            assert peak_s[name].value == peak_p[name].value
            assert peak_s[name].stderr == pytest.approx(root * peak_p[name].stderr, rel=1e-12)
    for name, est in plain.background.items():
        assert scaled.background[name].stderr == pytest.approx(root * est.stderr, rel=1e-12)
    assert np.allclose(scaled.covariance, scaled.dispersion * plain.covariance, rtol=1e-12)
    # The dispersion is of the counts about the model, whatever the errors chosen.
    assert fit(counts).errors == "scaled"


def test_detection_uses_the_errors_chosen():
    # A second line of about two true standard errors, in data scaled by ten: Poisson errors
    # of the scaled data make it a detection, the scaled ones do not.
    truth = rate() + 60 * (X[1] - X[0]) * np.exp(-0.5 * ((X - 6.0) / 0.3) ** 2) / (
        0.3 * math.sqrt(2 * math.pi))
    counts = 10.0 * np.random.default_rng(11).poisson(truth)
    plain, auto = fit(counts, "poisson", peaks=2), fit(counts, peaks=2)
    assert auto.errors == "scaled"
    assert plain.peaks["b"].detected and not auto.peaks["b"].detected
    assert any(w.startswith("b: its area") for w in auto.warnings)


def test_a_batch_of_one_is_the_single_fit():
    counts = np.random.default_rng(5).poisson(rate()) / 0.1
    single = fit(counts)
    batch = velmora.fit_many(X, counts[None, :], [velmora.Peak("gaussian", name="a", x0=4.0)],
                             background="uniform", workers=1, progress=False)
    assert single.errors == "scaled" and bool(batch.errors_scaled[0])
    assert batch.dispersion[0] == single.dispersion
    assert batch.dispersion_p[0] == single.dispersion_p
    assert np.array_equal(batch.result(0)._row, single._row, equal_nan=True)
    assert batch.stderr["a.area"][0] == single.peaks["a"]["area"].stderr


@pytest.mark.parametrize("call", [
    lambda: velmora.Model(velmora.Peak("gaussian"), errors="lmfit"),
    lambda: velmora.fit(X, rate(), velmora.Peak("gaussian"), errors=None),
    lambda: velmora.fit_many(X, rate()[None, :], [velmora.Peak("gaussian")], errors="Scaled"),
])
def test_errors_argument_is_one_of_three(call):
    with pytest.raises(ValueError, match="errors: expected one of 'auto', 'poisson', 'scaled'"):
        call()


def test_a_store_keeps_the_dispersion_and_one_of_an_older_layout_is_refused(tmp_path):
    zarr = pytest.importorskip("zarr")
    Y = np.random.default_rng(2).poisson(rate(), size=(2, X.size)) / 0.1
    path = tmp_path / "batch.zarr"
    batch = velmora.fit_many(X, Y, [velmora.Peak("gaussian", x0=4.0)], background="uniform",
                             store=path, progress=False)
    stored = velmora.open_batch(path)
    assert np.array_equal(stored.dispersion, batch.dispersion)
    assert stored.errors_scaled.all()
    packed = zarr.open_array(store=str(path), path="packed", mode="r+")
    packed.attrs["record"] = [r for r in packed.attrs["record"]
                              if not r.startswith(("dispersion", "errors"))]
    with pytest.raises(ValueError, match="not laid out as this version"):
        velmora.open_batch(path)
