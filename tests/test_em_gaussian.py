"""The Gaussian EM fit against the sequential reference, the stopping rule and length rules."""
import math

import numpy as np
import pytest

import reference
import velmora_core
from conftest import InternalError, run_python, spectrum


def call(args, **overrides):
    """Runs run_em_loop on copies of the in-place arrays; returns (result, mu, sigma, pi)."""
    a = as_arrays(dict(args, **overrides))
    return velmora_core.run_em_loop(**a), a["mu"], a["sigma"], a["pi"]


def as_arrays(args):
    """The arguments with every array parameter as a fresh float64 array."""
    arrays = ("x", "intensity", "mu", "sigma", "pi", "dirichlet_alpha")
    return {k: np.array(v, dtype=np.float64) if k in arrays else v for k, v in args.items()}


def assert_matches_reference(args, **overrides):
    a = dict(args, **overrides)
    (n_iter, ll, rel, s_tri), mu, sigma, pi = call(a)
    ref = reference.run_em_gaussian(
        a["x"], a["intensity"], a["mu"], a["sigma"], a["pi"], a["dirichlet_alpha"], a["fix_mu"],
        a["fix_sigma"], a["max_iter"], a["r_eps"], a["x_min"], a["x_max"], a.get("bg_type", 0),
        a.get("s_tri", 0.0), a.get("spline_basis_preds") or ())
    r_iter, r_ll, r_rel, r_mu, r_sigma, r_pi, r_s_tri = ref
    assert s_tri == r_s_tri
    same = lambda a, b: np.array_equal(np.asarray(a), np.asarray(b), equal_nan=True)  # noqa: E731
    assert n_iter == r_iter
    assert same(ll, r_ll) and same(rel, r_rel)
    assert same(mu, r_mu) and same(sigma, r_sigma) and same(pi, r_pi)
    return n_iter


CASES = {
    "three free peaks": {},
    "one peak": dict(mu=[4.0], sigma=[2.0], pi=[1.0], dirichlet_alpha=[1.0], fix_mu=[False],
                     fix_sigma=[False]),
    "fixed centres": dict(fix_mu=[True, False, True]),
    "fixed widths": dict(fix_sigma=[True, True, False]),
    "all fixed": dict(fix_mu=[True] * 3, fix_sigma=[True] * 3),
    "negative start width": dict(sigma=[-2.0, 1.0, 0.5]),
    "strong prior": dict(dirichlet_alpha=[50.0, 0.5, 2.0]),
    "prior zeroes a weight": dict(dirichlet_alpha=[1.0, 1.0, -1e6]),
    "short intensity": dict(intensity=spectrum(n=120)[1][:70]),
    "pi leaves last peak out": dict(pi=[0.5, 0.5], dirichlet_alpha=[1.0, 1.0]),
    "far-away peak (zero densities)": dict(mu=[2.5, 5.5, 1e4], sigma=[1.0, 1.0, 1e-3]),
    "longer flag lists": dict(fix_mu=[False] * 5, fix_sigma=(False,) * 4),
    "zero intensity": dict(intensity=np.zeros(120)),
}


@pytest.mark.parametrize("case", CASES, ids=list(CASES))
def test_bit_identical_to_sequential_reference(small_fit, case):
    assert_matches_reference(small_fit, **CASES[case])


def test_larger_spectrum_with_many_components_is_bit_identical():
    # Long enough that the density and E-step work is split into several blocks.
    x, intensity = spectrum(n=20000, seed=3)
    args = dict(x=x, intensity=intensity, mu=np.linspace(1, 9, 6), sigma=np.ones(6),
                pi=np.full(6, 1 / 6), dirichlet_alpha=np.ones(6), fix_mu=[False] * 6,
                fix_sigma=[False] * 6, max_iter=3, r_eps=0.0, x_min=0.0, x_max=10.0)
    assert assert_matches_reference(args) == 3


def test_max_iter_zero_returns_starting_point(small_fit):
    (n_iter, ll, rel, s_tri), mu, sigma, pi = call(small_fit, max_iter=0, s_tri=0.3)
    assert (n_iter, len(ll), list(rel), s_tri) == (0, 1, [0.0], 0.3)
    assert np.array_equal(mu, small_fit["mu"]) and np.array_equal(pi, small_fit["pi"])
    assert np.array_equal(sigma, small_fit["sigma"])


@pytest.mark.parametrize("r_eps, expected", [(0.0, 20), (1e300, 1), (math.nan, 20)])
def test_stopping_rule_is_strict(small_fit, r_eps, expected):
    (n_iter, ll, rel, _), *_ = call(small_fit, r_eps=r_eps)
    assert n_iter == expected and len(ll) == len(rel) == expected + 1


def test_falling_likelihood_stops_as_readily_as_rising(small_fit):
    # A heavy prior drags the weights away from their likelihood optimum: LL falls.
    args = dict(small_fit, mu=[3.0, 5.0, 7.5], sigma=[0.6, 0.9, 0.4], fix_mu=[True] * 3,
                fix_sigma=[True] * 3)
    _, _, _, best_pi = call(args, r_eps=0.0, max_iter=300)  # likelihood-optimal weights
    args.update(pi=best_pi, dirichlet_alpha=[1.0, 1.0, 40.0])
    (_, _, rel, _), *_ = call(args, r_eps=0.0, max_iter=1)
    assert rel[1] < 0
    (n_iter, *_), *_ = call(args, r_eps=abs(rel[1]) * 1.5)
    assert n_iter == 1


def test_fitted_parameters_recover_truth():
    x, intensity = spectrum(n=1000, heights=(3000, 2000, 2500), seed=7)
    mu, sigma, pi = np.array([2.6, 5.4, 7.2]), np.ones(3), np.full(3, 1 / 3)
    n_iter, ll, rel, _ = velmora_core.run_em_loop(
        x, intensity, mu, sigma, pi, np.ones(3), [False] * 3, [False] * 3, 500, 1e-10, 0.0, 10.0)
    assert np.allclose(mu, [3.0, 5.0, 7.5], atol=0.05)
    assert np.allclose(sigma, [0.6, 0.9, 0.4], rtol=0.08)
    assert 1 < n_iter < 500 and abs(rel[-1]) < 1e-10
    assert np.all(np.diff(ll) > -1e-9 * np.abs(ll[1:]))  # EM never lowers the likelihood here


def test_weights_on_one_point_give_floor_width():
    x = np.linspace(0, 1, 11)
    intensity = np.zeros(11)
    intensity[4] = 10.0
    mu, sigma = np.array([0.4]), np.array([0.3])
    velmora_core.run_em_loop(x, intensity, mu, sigma, np.array([1.0]), np.ones(1), [False],
                             [False], 1, 0.0, 0.0, 1.0)
    assert mu[0] == pytest.approx(0.4, abs=1e-15) and sigma[0] == 1e-5


@pytest.mark.parametrize("overrides, max_iter", [
    (dict(intensity=np.ones(121)), 0),
    (dict(sigma=[1.0, 1.0]), 1),
    (dict(fix_mu=[False, False]), 1),
    (dict(fix_sigma=[False]), 1),
    (dict(pi=[0.25] * 4, dirichlet_alpha=[1.0] * 4), 0),
    (dict(dirichlet_alpha=[1.0, 1.0]), 1),
], ids=["intensity longer than x", "sigma short", "fix_mu short", "fix_sigma short",
        "pi longer than columns", "alpha shorter than pi"])
def test_length_rules_raise_internal_error_and_leave_arrays(small_fit, overrides, max_iter):
    a = as_arrays(dict(small_fit, max_iter=max_iter, **overrides))
    before = {k: v.copy() for k, v in a.items() if isinstance(v, np.ndarray)}
    with pytest.raises(InternalError, match="entries|points"):
        velmora_core.run_em_loop(**a)
    assert all(np.array_equal(before[k], a[k]) for k in before)


def test_short_lists_unnoticed_without_iterations(small_fit):
    (n_iter, *_), *_ = call(small_fit, sigma=[1.0], fix_mu=[], max_iter=0)
    assert n_iter == 0


POOL_SCRIPT = """
import numpy as np, velmora_core
rng = np.random.default_rng(5)
x = np.linspace(-5, 15, 50000)
intensity = rng.poisson(100 * np.exp(-0.5 * (x - 5) ** 2) + 3).astype(float)
mu, sigma, pi = np.linspace(0, 10, 7), np.full(7, 1.5), np.full(7, 1 / 7)
res = velmora_core.run_em_loop(x, intensity, mu, sigma, pi, np.ones(7), [False] * 7,
                               [False] * 7, 4, 0.0, -5.0, 15.0)
print(res[0], res[1].tobytes().hex(), res[2].tobytes().hex(), mu.tobytes().hex(),
      sigma.tobytes().hex(), pi.tobytes().hex())
"""


def test_results_do_not_depend_on_pool_size():
    outputs = {run_python(POOL_SCRIPT, threads=t) for t in (1, 2, 3)}
    assert len(outputs) == 1
