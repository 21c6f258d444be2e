"""Doniach-Sunjic shape: density and log-likelihood against the sequential reference, the
single-peak fit against SciPy's L-BFGS-B on the same objective, bounds and their clamps, and
the mixture fit."""
import math

import numpy as np
import pytest

import reference_peaks as rp
import velmora_core
from conftest import InternalError, run_python

mle = velmora_core.doniach_sunjic_mle


def starting_ll(x, intensity, x0, gamma, alpha):
    return rp.module_ds_ll(np.asarray(x, float), np.asarray(intensity, float))(x0, gamma, alpha)


GRID = np.linspace(-3.0, 7.0, 41)
COUNTS = np.round(200 / (1 + ((GRID - 2.2) / 0.7) ** 2)) + 1
LONG = np.linspace(-3.0, 7.0, 10001)

LL_CASES = {
    "asymmetric": (GRID, COUNTS, 2.0, 0.6, 0.2),
    "symmetric": (GRID, COUNTS, 2.0, 0.6, 0.0),
    "negative asymmetry (negative profile, nan)": (GRID, COUNTS, 2.0, 0.6, -0.3),
    "asymmetry above one": (GRID, COUNTS, 2.0, 0.6, 1.5),
    "narrower than a grid step": (GRID, COUNTS, 2.11, 0.003, 0.1),
    "zero width (nan at the centre)": (GRID, COUNTS, float(GRID[12]), 0.0, 0.1),
    "profile below the floor (all zero)": (GRID, COUNTS, 2.0, 50.0, -300.0),
    "one grid point (all zero)": (GRID[:1], COUNTS[:1], 0.5, 1.0, 0.1),
    "two grid points": (GRID[:2], COUNTS[:2], -2.9, 0.3, 0.1),
    "decreasing grid (negative T)": (GRID[::-1], COUNTS[::-1], 2.0, 0.6, 0.2),
    "long grid (split across the pool)": (LONG, np.round(50 / (1 + (LONG - 3.0) ** 2)) + 1, 3.0,
                                          1.0, 0.2),
    "intensity shorter than x": (GRID, COUNTS[:25], 2.0, 0.6, 0.2),
}


@pytest.mark.parametrize("case", LL_CASES, ids=list(LL_CASES))
def test_log_likelihood_is_bit_identical_to_sequential_reference(case):
    x, intensity, x0, gamma, alpha = LL_CASES[case]
    ours = starting_ll(x, intensity, x0, gamma, alpha)
    ref = rp.ds_ll(x, intensity, x0, gamma, alpha)
    assert ours == ref or (math.isnan(ours) and math.isnan(ref))


def test_all_zero_density_gives_the_guard_log_likelihood():
    ll = starting_ll(GRID[:1], [3.0], 0.5, 1.0, 0.1)
    assert ll == 3.0 * math.log(1e-200)


@pytest.mark.parametrize("window", [(-3.0, 7.0), (1.0, 2.0), (-100.0, 100.0)])
def test_symmetric_shape_is_the_lorentzian_of_twice_the_width(window):
    ds = starting_ll(GRID, COUNTS, 2.0, 0.6, 0.0)
    lor = rp.module_lorentzian_ll(GRID, COUNTS, *window)(2.0, 1.2)
    assert ds == pytest.approx(lor, rel=1e-13)


# ---------------------------------------------------------------------------------------------
# Single-peak fit against SciPy

SWEEP_SEED = 7031


def sweep_problem(rng):
    """A spectrum with one Doniach-Sunjic peak (asymmetry 0 to 0.4), Poisson noise and a weak
    flat background: grid step 1, 60 to 600 points, full width 0.2 to 50 grid units, the peak
    inside the window or within a few per cent of either end, one of the seven fixed/free
    combinations, starts and fixed values around the truth (starting asymmetries from -0.2 to
    0.7, so some lie outside the bounds [0, 0.6] and are projected; fixed ones from 0 to 0.9,
    so some lie outside the bounds and are kept).  A negative asymmetry makes the profile
    negative on the low side, and the objective not a number, so none is fixed below 0.

    Left out, as in the Lorentzian sweep: a width fixed below half a grid step with the centre
    free (an objective with a local optimum at nearly every grid point)."""
    n = int(rng.integers(60, 600))
    x = np.arange(n) + rng.uniform(-200.0, 200.0)
    span = x[-1] - x[0]
    where = rng.choice(["inside", "low end", "high end"])
    centre = {"inside": x[0] + rng.uniform(0.2, 0.8) * span,
              "low end": x[0] + rng.uniform(-0.02, 0.05) * span,
              "high end": x[-1] - rng.uniform(-0.02, 0.05) * span}[where]
    gamma = math.exp(rng.uniform(math.log(0.2), math.log(50.0))) / 2
    alpha = rng.uniform(0.0, 0.4)
    rate = rp.ds_rate(x, [(centre, gamma, alpha, 10 ** rng.uniform(2.5, 5))])
    intensity = rng.poisson(rate + rng.uniform(0.0, 1.0)).astype(float)
    fixed = tuple(bool(b) for b in rng.integers(0, 2, 3))
    if all(fixed):
        fixed = (False, False, True)
    if fixed[1] and not fixed[0] and gamma < 0.5:
        fixed = (False, False, fixed[2])
    values = [centre + rng.uniform(-1.0, 1.0) * gamma, gamma * math.exp(rng.uniform(-0.5, 0.5)),
              rng.uniform(0.0, 0.9) if fixed[2] else rng.uniform(-0.2, 0.7)]
    bounds = [x[0], x[-1], 0.05, 60.0, 0.0, 0.6]
    return x, intensity, values, bounds, fixed



def sweep(cases):
    rng = np.random.default_rng(SWEEP_SEED)
    for case in range(cases):
        yield case, sweep_problem(rng)


def relative_excess(problem):
    """(f(ours) - f(SciPy's optimum)) / |f(SciPy's optimum)| with f = -LL, and our result."""
    x, intensity, values, b, fixed = problem
    loglik = rp.module_ds_ll(x, intensity)
    ref = rp.scipy_fit(loglik, values, fixed, values, b[0::2], b[1::2])
    ours = mle(x, intensity, *values, *b, *fixed)
    f_ours, f_ref = -loglik(*ours), -loglik(*ref)
    assert math.isfinite(f_ours) and math.isfinite(f_ref)
    return (f_ours - f_ref) / abs(f_ref), ours


def test_fit_matches_scipy_optimum_on_seeded_sweep():
    """250 problems: the objective at our result is never worse than at SciPy's by more than
    1e-7 relative; fixed values come back exactly, free ones within their bounds."""
    for case, problem in sweep(250):
        rel, ours = relative_excess(problem)
        values, b, fixed = problem[2:]
        for j in range(3):
            if fixed[j]:
                assert ours[j] == values[j], (case, j)
            else:
                assert b[2 * j] <= ours[j] <= b[2 * j + 1], (case, j)
        assert rel <= 1e-7, (case, fixed, ours, rel)


# ---------------------------------------------------------------------------------------------
# Single-peak fit: starts, bounds, flags, early returns

X = np.linspace(280.0, 295.0, 301)
PEAK = np.random.default_rng(4).poisson(rp.ds_rate(X, [(285.0, 0.4, 0.15, 2e4)])) * 1.0
BOUNDS = (280.0, 295.0, 0.05, 3.0, 0.0, 0.5)


def test_starts_outside_the_bounds_are_projected_and_fixed_values_kept():
    # Only the width is free: a start above its upper bound starts at that bound.
    above = mle(X, PEAK, 285.0, 40.0, 0.9, *BOUNDS, fix_x0=True, fix_alpha=True)
    at = mle(X, PEAK, 285.0, 3.0, 0.9, *BOUNDS, fix_x0=True, fix_alpha=True)
    assert above == at and above[2] == 0.9 and 0.05 <= above[1] <= 3.0
    # A fixed centre outside the window stays where it is.
    assert mle(X, PEAK, 300.0, 1.0, 0.1, *BOUNDS, fix_x0=True)[0] == 300.0


EARLY = {
    "all fixed": (PEAK, dict(fix_x0=True, fix_gamma=True, fix_alpha=True), BOUNDS),
    "empty intensity": (np.zeros(0), {}, BOUNDS),
    "zero intensity": (np.zeros_like(X), {}, BOUNDS),
    "reversed centre window": (PEAK, {}, (295.0, 280.0) + BOUNDS[2:]),
    "reversed width bounds": (PEAK, {}, BOUNDS[:2] + (3.0, 0.05) + BOUNDS[4:]),
    "reversed asymmetry bounds": (PEAK, dict(fix_x0=True), BOUNDS[:4] + (0.5, 0.0)),
    "reversed pair before a NaN bound": (PEAK, {}, (295.0, 280.0, math.nan, 3.0, 0.0, 0.5)),
    "NaN centre bound": (PEAK, {}, (math.nan,) + BOUNDS[1:]),
    "NaN width bound, width fixed": (PEAK, dict(fix_gamma=True, fix_x0=True, fix_alpha=True),
                                     BOUNDS[:2] + (math.nan, 3.0) + BOUNDS[4:]),
}


@pytest.mark.parametrize("case", EARLY, ids=list(EARLY))
def test_degenerate_calls_give_back_the_values_passed_in(case):
    intensity, flags, bounds = EARLY[case]
    assert mle(X, intensity, 285.5, 0.7, 0.25, *bounds, **flags) == (285.5, 0.7, 0.25)


@pytest.mark.parametrize("bounds, flags, message", [
    (BOUNDS[:2] + (math.nan, 3.0) + BOUNDS[4:], {}, "min = NaN, max = 3.0"),
    (BOUNDS[:3] + (math.nan,) + BOUNDS[4:], dict(fix_x0=True), "min = 0.05, max = NaN"),
    (BOUNDS[:4] + (0.0, math.nan), {}, "min = 0.0, max = NaN"),
    (BOUNDS[:2] + (math.nan, 3.0, math.nan, 0.5), dict(fix_gamma=True), "min = NaN, max = 0.5"),
], ids=["width lower", "width upper", "asymmetry upper", "asymmetry lower, width fixed"])
def test_nan_bound_of_a_clamped_parameter_raises_internal_error(bounds, flags, message):
    with pytest.raises(InternalError) as info:
        mle(X, PEAK, 285.0, 0.7, 0.2, *bounds, **flags)
    assert str(info.value) == "min > max, or either was NaN. " + message


def test_intensity_beyond_the_grid_counts_only_in_the_total():
    # Zero weight on the grid and one extra entry: the fit runs on a flat objective and stops
    # at the projected start.
    extra = np.concatenate([np.zeros_like(X), [1.0]])
    assert mle(X, extra, 270.0, 10.0, -1.0, *BOUNDS) == (280.0, 3.0, 0.0)


# ---------------------------------------------------------------------------------------------
# Mixture fit


def ds_peak(x, c, fwhm, area):
    return rp.ds_rate(x, [(c, fwhm / 2, 0.15, area)])


def em(data, x0, gamma, alpha, pi, max_iter, r_eps=1e-9, bg_type=0, s_tri=0.0, fix=None):
    k = len(x0)
    fix = fix or [False] * k
    return velmora_core.run_ds_em_loop(
        data["x"], data["intensity"], x0, gamma, alpha, pi, np.ones(len(pi)), fix, fix, fix, 0.0,
        100.0, 0.05, 30.0, 0.0, 0.5, max_iter, r_eps, bg_type, s_tri, data["basis"])


@pytest.mark.parametrize("k, bg_type", [(2, 0), (3, 1), (4, 2), (5, 3), (3, 4)])
def test_mixture_recovers_overlapping_peaks(k, bg_type):
    data = rp.mixture_spectrum(k, bg_type, seed=10 * k + bg_type, peak_rate=ds_peak, n=300)
    rng, c, w = data["rng"], data["centres"], data["widths"]
    m = len(data["pi"])
    x0 = c + rng.uniform(-0.3, 0.3, k) * w
    gamma = w / 2 * rng.uniform(0.7, 1.4, k)
    alpha, pi = np.full(k, 0.05), np.full(m, 1.0 / m)
    n_iter, ll, rel, s_tri = em(data, x0, gamma, alpha, pi, 400, bg_type=bg_type)
    assert np.all(np.abs(x0 - c) < 0.1 * w)
    truth_ll = em(data, c.copy(), w / 2, np.full(k, 0.15), data["pi"].copy(), 0, bg_type=bg_type,
                  s_tri=data["s_tri"])[1][0]
    assert ll[-1] >= truth_ll - 1e-9 * abs(truth_ll)
    # Each M-step starts from the current estimates and only lowers its objective.
    assert np.all(np.diff(ll) >= -1e-9 * np.abs(ll[1:]))
    # The final log-likelihood is that of the written-back parameters, to the last bit.
    cols = [rp.ds_pdf(data["x"], a, b, d) for a, b, d in zip(x0, gamma, alpha)]
    assert ll[-1] == rp.reference_mixture_ll(data["x"], data["intensity"], cols, pi, bg_type,
                                             0.0, 100.0, s_tri, data["basis"])


def test_mixture_flags_and_max_iter_zero():
    data = rp.mixture_spectrum(2, 0, seed=2, peak_rate=ds_peak, n=300)
    start = lambda: (data["centres"] + 1.0, np.full(2, 2.0), np.full(2, 0.1),  # noqa: E731
                     np.full(2, 0.5))
    arrays = start()
    n_iter, ll, _, _ = em(data, *arrays, 0)
    assert n_iter == 0 and all(np.array_equal(a, b) for a, b in zip(arrays, start()))
    arrays = start()
    em(data, *arrays, 4, fix=[True, False])
    assert [a[0] for a in arrays[:3]] == [a[0] for a in start()[:3]]
    assert all(a[1] != b[1] for a, b in zip(arrays[:3], start()[:3]))


POOL_SCRIPT = """
import os, numpy as np, velmora_core as v
rng = np.random.default_rng(9)
x = np.linspace(280.0, 295.0, 9000)
def ds(c, g, a):
    d = x - c
    return np.cos(np.arctan(d / g) * (1 - a) + np.pi * a / 2) / (d * d + g * g) ** ((1 - a) / 2)
I = rng.poisson(80 * ds(284.8, 0.5, 0.1) + 30 * ds(286.2, 0.6, 0.2) + 50 * ds(289.0, 0.4, 0.0)
                + 60 * ds(290.0, 0.7, 0.3) + 3).astype(float)
x0, g, a = np.array([284.5, 286.5, 289.2, 290.3]), np.full(4, 0.8), np.full(4, 0.1)
pi = np.full(5, 0.2)
res = v.run_ds_em_loop(x, I, x0, g, a, pi, np.ones(5), [False] * 4, [False, True, False, False],
                       [False] * 4, 280.0, 295.0, 0.05, 5.0, 0.0, 0.5, 4, 0.0, 1)
single = v.doniach_sunjic_mle(x, I, 285.0, 0.5, 0.1, 280.0, 295.0, 0.05, 5.0, 0.0, 0.5)
os.write(1, " ".join(b.tobytes().hex() for b in (res[1], res[2], x0, g, a, pi)).encode()
         + repr(single).encode() + b"\\n")
"""


def test_results_do_not_depend_on_pool_size():
    """A mixture and a single-peak fit on a grid long enough to be split across the pool."""
    outputs = {run_python(POOL_SCRIPT, threads=t) for t in (1, 2)}
    assert len(outputs) == 1


# ---------------------------------------------------------------------------------------------
# Bad input


def em_args(**overrides):
    a = dict(x=X.copy(), intensity=PEAK.copy(), x0=np.array([284.0, 287.0]),
             gamma_ds=np.array([1.0, 1.0]), alpha=np.array([0.1, 0.1]), pi=np.array([0.5, 0.5]),
             dirichlet_alpha=np.ones(2), fix_x0=[False] * 2, fix_gamma=[False] * 2,
             fix_alpha=[False] * 2, x_min=280.0, x_max=295.0, gamma_min=0.05, gamma_max=3.0,
             alpha_min=0.0, alpha_max=0.5, max_iter=2, r_eps=0.0)
    a.update(overrides)
    return a


@pytest.mark.parametrize("overrides, match", [
    (dict(gamma_ds=np.array([1.0]), max_iter=0), "gamma_ds"),
    (dict(alpha=np.array([0.1]), max_iter=0), "alpha"),
    (dict(fix_alpha=[False]), "fix_alpha"),
    (dict(intensity=np.ones(302)), "points"),
    (dict(alpha_max=math.nan), "min > max, or either was NaN. min = 0.0, max = NaN"),
    (dict(alpha=None), None),
], ids=["gamma_ds short", "alpha short", "fix_alpha short", "intensity longer than x",
        "NaN bound", "same array in two in-place roles"])
def test_mixture_errors_raise_internal_error_and_leave_arrays(overrides, match):
    a = em_args(**overrides)
    if a["alpha"] is None:
        a["alpha"] = a["gamma_ds"]
    before = {k: v.copy() for k, v in a.items() if isinstance(v, np.ndarray)}
    with pytest.raises(InternalError, match=match and match.replace(".", r"\.")):
        velmora_core.run_ds_em_loop(**a)
    assert all(np.array_equal(before[k], a[k]) for k in before)


@pytest.mark.parametrize("position, value, name", [
    (0, list(X), "x"), (4, "0.1", "alpha"), (10, None, "alpha_max"), (13, 0, "fix_alpha"),
])
def test_single_peak_conversion_errors_name_the_parameter(position, value, name):
    args = [X, PEAK, 285.0, 0.7, 0.2, *BOUNDS, False, False, False]
    args[position] = value
    with pytest.raises(TypeError, match=f"^argument '{name}': "):
        mle(*args)
