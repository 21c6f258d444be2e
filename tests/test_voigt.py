"""Voigt mixture: recovery of synthetic peaks, the M-step against SciPy's L-BFGS-B on the same
objective, independence of the pool size, flags and degenerate components, the clamp failure
and bad input."""
import inspect
import math

import numpy as np
import pytest

import reference_peaks as rp
import reference_voigt as rv
import velmora_core
from conftest import InternalError, run_python

em = velmora_core.run_voigt_em_loop
LO, HI = 0.0, 100.0
BOUNDS = (0.05, 20.0, 0.05, 20.0)  # sigma_min, sigma_max, gamma_min, gamma_max


def fit(x, intensity, x0, sigma, gamma, pi, max_iter, r_eps=1e-10, fix=None, bounds=BOUNDS,
        bg_type=0, s_tri=0.0, window=(LO, HI)):
    k = len(x0)
    fx, fs, fg = fix or ([False] * k,) * 3
    return em(x, intensity, x0, sigma, gamma, pi, np.ones(len(pi)), fx, fs, fg, *window, *bounds,
              max_iter, r_eps, bg_type, s_tri)


PEAKS = {  # centre, sigma, gamma, area
    2: [(35.0, 1.2, 0.8, 4e5), (50.0, 2.0, 1.5, 3e5)],
    3: [(25.0, 1.0, 1.0, 3e5), (33.0, 1.5, 0.6, 4e5), (70.0, 2.5, 2.0, 5e5)],
    4: [(20.0, 1.2, 0.5, 3e5), (28.0, 0.8, 1.2, 2e5), (55.0, 2.0, 1.0, 5e5), (63.0, 1.5, 2.0, 4e5)],
}


@pytest.mark.parametrize("k, bg_type", [(2, 0), (3, 1), (4, 3)])
def test_mixture_recovers_voigt_peaks(k, bg_type):
    peaks = PEAKS[k]
    x, intensity = rv.spectrum(peaks, n=600, background=200.0 if bg_type else 0.0,
                               slope=0.5 if bg_type == 3 else 0.0, seed=k)
    c, s, g = (np.array([p[j] for p in peaks]) for j in range(3))
    rng = np.random.default_rng(10 * k + bg_type)
    x0, sigma, gamma = c + rng.uniform(-0.5, 0.5, k), s * rng.uniform(0.7, 1.4, k), \
        g * rng.uniform(0.7, 1.4, k)
    m = k + (bg_type != 0)
    pi = np.full(m, 1.0 / m)
    n_iter, ll, rel, s_tri = fit(x, intensity, x0, sigma, gamma, pi, 500, bg_type=bg_type)
    assert n_iter < 500 and abs(rel[-1]) < 1e-10
    widths = np.array([rv.fwhm(a, b) for a, b in zip(s, g)])
    assert np.all(np.abs(x0 - c) < 0.02 * widths)
    assert np.allclose(sigma, s, rtol=0.1) and np.allclose(gamma, g, rtol=0.1)
    if bg_type == 3:
        assert s_tri == pytest.approx(0.2, abs=0.02)  # a ramp from 1 to 1.5
    # The last log-likelihood is that of the parameters written back, to the last bit.
    again = fit(x, intensity, x0.copy(), sigma.copy(), gamma.copy(), pi.copy(), 0,
                bg_type=bg_type, s_tri=s_tri)
    assert again[1][0] == ll[-1]


# ---------------------------------------------------------------------------------------------
# The M-step against SciPy


FLAG_SETS = [(False, False, False), (True, False, False), (False, True, False),
             (False, False, True), (True, True, False)]


def single_peak_problem(rng, fixed):
    """One Voigt peak with Poisson noise on a 200- to 800-point grid, its centre inside the
    window or near one end, a start off the truth, and sometimes an active width bound."""
    n = int(rng.integers(200, 800))
    x = np.linspace(0.0, 60.0, n)
    s, g = math.exp(rng.uniform(math.log(0.3), math.log(3.0))), \
        math.exp(rng.uniform(math.log(0.2), math.log(3.0)))
    c = rng.choice([rng.uniform(15.0, 45.0), rng.uniform(-1.0, 3.0), rng.uniform(57.0, 61.0)])
    _, intensity = rv.spectrum([(c, s, g, 10 ** rng.uniform(3.5, 6))], n=n, hi=60.0,
                               background=rng.uniform(0.0, 2.0), seed=int(rng.integers(1 << 30)))
    bounds = [0.0, 60.0, 0.05, 20.0, 0.05, 20.0]
    if rng.uniform() < 0.3:  # a width bound the optimum presses against
        bounds[3] = s * 0.6
    start = [c + rng.uniform(-0.5, 0.5) * (s + g), s * rng.uniform(0.6, 1.6),
             g * rng.uniform(0.6, 1.6)]
    return x, intensity, start, fixed, bounds


def ours_one_m_step(x, intensity, start, fixed, bounds):
    """One EM iteration of a single component: pi stays 1, the weights are the intensities
    times responsibilities f / (f + 1e-20), equal to 1 wherever f exceeds about 1e-4."""
    p = [np.array([v]) for v in start]
    em(x, intensity, *p, np.ones(1), np.ones(1), [fixed[0]], [fixed[1]], [fixed[2]], *bounds,
       1, 0.0)
    return [float(v[0]) for v in p]


def test_m_step_reaches_scipy_optimum_on_seeded_problems():
    rng = np.random.default_rng(77)
    for case in range(15):
        fixed = FLAG_SETS[case % len(FLAG_SETS)]
        x, intensity, start, fixed, b = single_peak_problem(rng, fixed)
        objective = rv.module_loglik(x, intensity, b[0], b[1])
        ref = rp.scipy_fit(objective, start, fixed, start, b[0::2], b[1::2])
        ours = ours_one_m_step(x, intensity, start, fixed, b)
        for j in range(3):
            if fixed[j]:
                assert ours[j] == start[j]
        f_ours, f_ref = -objective(*ours), -objective(*ref)
        assert (f_ours - f_ref) / abs(f_ref) <= 1e-7, (case, fixed, ours, ref)


def test_m_steps_of_a_mixture_reach_scipy_optima():
    """First iteration of a three-peak fit with background: every component's M-step, given the
    weights of the starting E-step, against SciPy on the NumPy objective with those weights."""
    x, intensity = rv.spectrum(PEAKS[3], n=500, background=150.0, seed=3)
    start = [(26.0, 1.4, 0.7), (32.0, 1.0, 1.0), (71.0, 2.0, 2.6)]
    pi = np.array([0.25, 0.25, 0.3, 0.2])
    w = rv.responsibilities(x, intensity, start, pi, LO, HI, background=np.full(500, 1 / HI))
    x0, sigma, gamma = (np.array([p[j] for p in start]) for j in range(3))
    fit(x, intensity, x0, sigma, gamma, pi.copy(), 1, bg_type=1)
    lower, upper = [LO, BOUNDS[0], BOUNDS[2]], [HI, BOUNDS[1], BOUNDS[3]]
    for k in range(3):
        objective = rv.loglik(x, w[k], LO, HI)
        ref = rp.scipy_fit(objective, start[k], [False] * 3, start[k], lower, upper)
        f_ours, f_ref = -objective(x0[k], sigma[k], gamma[k]), -objective(*ref)
        assert (f_ours - f_ref) / abs(f_ref) <= 1e-7, (k, (x0[k], sigma[k], gamma[k]), ref)


# ---------------------------------------------------------------------------------------------
# Pool size

POOL_SCRIPT = """
import numpy as np, velmora_core as v
from scipy.special import voigt_profile
rng = np.random.default_rng(4)
x = np.linspace(0.0, 100.0, 3000)
peaks = ((30, 1.0, 1.5, 3e5), (36, 2.0, 0.5, 2e5), (60, 1.5, 1.0, 4e5))
I = rng.poisson(sum(a * voigt_profile(x - c, s, g) / 30 for c, s, g, a in peaks) + 5).astype(float)
x0, s, g, pi = np.array([29.0, 37.0, 61.0]), np.full(3, 1.2), np.full(3, 1.2), np.full(4, 0.25)
res = v.run_voigt_em_loop(x, I, x0, s, g, pi, np.ones(4), [False] * 3, [False, True, False],
                          [False] * 3, 0.0, 100.0, 0.05, 20.0, 0.05, 20.0, 4, 0.0, 3, 0.1)
print(" ".join(a.tobytes().hex() for a in (res[1], res[2], x0, s, g, pi)), repr(res[3]))
"""


def test_results_do_not_depend_on_pool_size():
    outputs = {run_python(POOL_SCRIPT, threads=t).splitlines()[-1] for t in (1, 2)}
    assert len(outputs) == 1


# ---------------------------------------------------------------------------------------------
# Flags, degenerate components, clamp failure

X, I3 = rv.spectrum(PEAKS[3], n=300, background=50.0, seed=9)


def start3():
    return np.array([26.0, 32.0, 71.0]), np.full(3, 1.3), np.full(3, 1.1), np.full(3, 1 / 3)


def test_held_components_keep_their_parameters_while_weights_move():
    # Component 0: all flags set.  Component 2: pi 0 gives it zero weights, which never grow.
    x0, s, g, pi = start3()
    pi[:] = [0.5, 0.5, 0.0]
    fix = ([True, False, False],) * 3
    fit(X, I3, x0, s, g, pi, 3, r_eps=0.0, fix=fix)
    assert (x0[0], s[0], g[0]) == (26.0, 1.3, 1.1) and (x0[2], s[2], g[2]) == (71.0, 1.3, 1.1)
    assert pi[2] == 0.0 and pi[0] != 0.5 and x0[1] != 32.0


def test_reversed_sigma_bounds_leave_every_component_unchanged():
    x0, s, g, pi = start3()
    n_iter, *_ = fit(X, I3, x0, s, g, pi, 3, r_eps=0.0, bounds=(2.0, 1.0, 0.05, 20.0))
    assert n_iter == 3 and np.array_equal(x0, start3()[0]) and np.array_equal(g, start3()[2])
    assert not np.array_equal(pi, start3()[3])
    # With sigma fixed the reversed pair is never used: the fit goes on.
    x0, s, g, pi = start3()
    fit(X, I3, x0, s, g, pi, 2, fix=([False] * 3, [True] * 3, [False] * 3),
        bounds=(2.0, 1.0, 0.05, 20.0))
    assert np.all(s == 1.3) and not np.array_equal(x0, start3()[0])


def test_component_far_outside_the_window_has_floored_mass_and_finite_densities():
    # A pure Gaussian far away has window mass exactly 0: floored at 1e-300, its densities are
    # 0, not NaN, and the fit runs on.
    x0, s, g, pi = start3()
    x0[2], g[2] = 5000.0, 0.0
    n_iter, ll, _, _ = fit(X, I3, x0, s, g, pi, 2, r_eps=0.0, fix=([False] * 3,) * 2 + (
        [False, False, True],))
    assert n_iter == 2 and np.all(np.isfinite(ll)) and np.all(np.isfinite(pi))


@pytest.mark.parametrize("bounds, fix_sigma, message", [
    ((math.nan, 20.0, 0.05, 20.0), False, "min = NaN, max = 20.0"),
    ((0.05, 20.0, 0.05, math.nan), False, "min = 0.05, max = NaN"),
    ((0.05, math.nan, math.nan, 20.0), False, "min = 0.05, max = NaN"),
    ((math.nan, 20.0, math.nan, 20.0), True, "min = NaN, max = 20.0"),
], ids=["sigma_min", "gamma_max", "sigma before gamma", "gamma with sigma fixed"])
def test_nan_width_bound_raises_internal_error_and_leaves_arrays(bounds, fix_sigma, message):
    x0, s, g, pi = start3()
    with pytest.raises(InternalError, match=r"^min > max, or either was NaN\. " + message + "$"):
        fit(X, I3, x0, s, g, pi, 2, fix=([False] * 3, [fix_sigma] * 3, [False] * 3),
            bounds=bounds)
    assert all(np.array_equal(a, b) for a, b in zip((x0, s, g, pi), start3()))


def test_nan_bound_of_a_fixed_width_is_never_used():
    x0, s, g, pi = start3()
    n_iter, *_ = fit(X, I3, x0, s, g, pi, 2, r_eps=0.0,
                     fix=([False] * 3, [True] * 3, [False] * 3),
                     bounds=(math.nan, math.nan, 0.05, 20.0))
    assert n_iter == 2 and np.all(s == 1.3)


# ---------------------------------------------------------------------------------------------
# Bad input


def em_args(**overrides):
    x0, s, g, pi = start3()
    a = dict(x=X.copy(), intensity=I3.copy(), x0=x0, sigma_v=s, gamma_v=g, pi=pi,
             dirichlet_alpha=np.ones(3), fix_x0=[False] * 3, fix_sigma=[False] * 3,
             fix_gamma=[False] * 3, x_min=LO, x_max=HI, sigma_min=0.05, sigma_max=20.0,
             gamma_min=0.05, gamma_max=20.0, max_iter=2, r_eps=0.0)
    a.update(overrides)
    return a


@pytest.mark.parametrize("overrides, error, match", [
    (dict(sigma_v=np.ones(2), max_iter=0), InternalError, "sigma_v"),
    (dict(gamma_v=np.ones(2), max_iter=0), InternalError, "gamma_v"),
    (dict(fix_x0=[False] * 2), InternalError, "fix_x0"),
    (dict(fix_sigma=[False] * 2), InternalError, "fix_sigma"),
    (dict(fix_gamma=[False] * 2), InternalError, "fix_gamma"),
    (dict(intensity=np.ones(301)), InternalError, "points"),
    (dict(x=list(X)), TypeError, "^argument 'x': "),
    (dict(gamma_v=np.ones(3, np.float32)), TypeError, "^argument 'gamma_v': "),
    (dict(fix_sigma="abc"), TypeError, "^argument 'fix_sigma': Can't extract `str` to `Vec`"),
    (dict(fix_gamma=[0, 1, 0]), TypeError, "^argument 'fix_gamma': "),
    (dict(sigma_max="20"), TypeError, "^argument 'sigma_max': "),
    (dict(bg_type=256), OverflowError, "out of range integral type conversion attempted"),
], ids=["sigma_v short", "gamma_v short", "fix_x0 short", "fix_sigma short", "fix_gamma short",
        "intensity longer than x", "x a list", "gamma_v float32", "fix_sigma a str",
        "integer flags", "sigma_max a str", "bg_type 256"])
def test_bad_input_raises_and_leaves_arrays(overrides, error, match):
    a = em_args(**overrides)
    before = {k: v.copy() for k, v in a.items() if isinstance(v, np.ndarray)}
    with pytest.raises(error, match=match):
        em(**a)
    assert all(np.array_equal(before[k], a[k]) for k in before)


def test_same_array_in_two_in_place_roles_is_refused():
    a = em_args()
    a["gamma_v"] = a["sigma_v"]
    with pytest.raises(InternalError):
        em(**a)
    assert np.all(a["sigma_v"] == 1.3)


def test_signature():
    assert str(inspect.signature(em)) == (
        "(x, intensity, x0, sigma_v, gamma_v, pi, dirichlet_alpha, fix_x0, fix_sigma, "
        "fix_gamma, x_min, x_max, sigma_min, sigma_max, gamma_min, gamma_max, max_iter, r_eps, "
        "bg_type=0, s_tri=0.0, spline_basis_preds=None)")
