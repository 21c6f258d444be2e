"""Pseudo-Voigt shape: the profile and the conditional maximisation against the sequential
reference (bit for bit), the full optimisation against SciPy's L-BFGS-B and the exact eta grid,
the mixture fit (wiring, recovery of synthetic Raman bands, threads), and bad input."""
import inspect
import math

import numpy as np
import pytest

import reference_pv as R
import velmora_core
from conftest import InternalError, run_python

predict = velmora_core.pseudo_voigt_predict
cmax = velmora_core.pseudo_voigt_mle_conditional_max
full = velmora_core.pseudo_voigt_mle_full_optimization


def same(a, b):
    """Equal as doubles, NaN equal to NaN."""
    return np.array_equal(np.asarray(a, float), np.asarray(b, float), equal_nan=True)


GRID = np.linspace(0.0, 10.0, 60)
COUNTS = np.round(R.pv_counts(GRID, [(4.2, 1.5, 0.85, 5000.0)])) + 2.0
X30 = np.linspace(0.0, 10.0, 30)
TWO_POINTS = np.zeros(30)  # all counts on two grid points far apart
TWO_POINTS[9], TWO_POINTS[28] = 610.0, 757.0

# ---------------------------------------------------------------------------------------------
# Profile

PREDICT_CASES = {
    "ordinary": (GRID, 4.2, 1.5, 0.85, 0.0, 10.0),
    "pure Lorentzian": (GRID, 4.2, 1.5, 0.0, 0.0, 10.0),
    "pure Gaussian": (GRID, 4.2, 1.5, 1.0, 0.0, 10.0),
    "centre outside the window": (GRID, 14.0, 2.0, 0.5, 0.0, 10.0),
    "window far from the peak (mass floored)": (GRID, 0.0, 1.0, 0.5, 1e20, 2e20),
    "reversed window (mass floored)": (GRID, 4.2, 1.5, 0.5, 10.0, 0.0),
    "negative width": (GRID, 4.2, -1.5, 0.5, 0.0, 10.0),
    "zero width (nan at the centre)": (GRID, float(GRID[10]), 0.0, 0.5, 0.0, 10.0),
    "strided reversed view": (GRID[::-3], 4.2, 1.5, 0.3, 0.0, 10.0),
    "empty": (np.empty(0), 4.2, 1.5, 0.3, 0.0, 10.0),
}


@pytest.mark.parametrize("case", PREDICT_CASES, ids=list(PREDICT_CASES))
def test_predict_is_bit_identical_to_sequential_reference(case):
    x, *params = PREDICT_CASES[case]
    before = x.copy()
    p = predict(x, *params)
    assert isinstance(p, np.ndarray) and p.dtype == np.float64 and p.ndim == 1
    assert p.flags.c_contiguous and p.shape == x.shape and not np.shares_memory(p, x)
    assert same(p, R.predict(x, *params))
    assert same(x, before)


def test_floored_window_mass_keeps_profile_finite():
    p = predict(*PREDICT_CASES["window far from the peak (mass floored)"])
    assert np.all(np.isfinite(p)) and p.max() > 1e299


@pytest.mark.parametrize("eta", [0.0, 0.4, 1.0])
def test_profile_mass_on_window_is_gaussian_share_plus_lorentzian(eta):
    # Analytic: the Lorentzian part has mass 1 on the window, the untruncated Gaussian part
    # only erf-share of it (centre near the upper end, so a good part lies outside).
    lo, hi, x0, gamma = 0.0, 10.0, 9.0, 2.0
    x = np.linspace(lo, hi, 200001)
    p = predict(x, x0, gamma, eta, lo, hi)
    s = gamma / 2.3548200450309493 * math.sqrt(2.0)
    gauss_mass = 0.5 * (math.erf((hi - x0) / s) - math.erf((lo - x0) / s))
    area = float(np.sum(np.diff(x) * (p[1:] + p[:-1]) * 0.5))
    assert area == pytest.approx(eta * gauss_mass + (1 - eta), rel=1e-8)


# ---------------------------------------------------------------------------------------------
# Conditional maximisation

# (x, intensity, x0, gamma, eta, x_min, x_max, fix flags, expected branch of the joint search:
#  number of bracketing coarse points and of candidates, each capped at 2)
BRANCH_CASES = {
    "no coarse point brackets": (GRID, COUNTS, 8.66, 9.73, 0.52, -1.2, 2.0, (0, 0)),
    "exactly one coarse point brackets": (GRID, COUNTS, 10.4, 1.04, 0.52, 0.6, 3.7, (1, 0)),
    "brackets, residual never changes sign": (GRID, COUNTS, 7.49, 0.21, 0.5, 0.8, 4.1, (2, 0)),
    "one candidate": (GRID, COUNTS, 3.6, 5.02, 0.05, -1.3, 12.0, (2, 1)),
    "two candidates, later wins": (X30, TWO_POINTS, 1.3771388623732062, 3.070433640211478,
                                   0.9525383807471433, 0.0, 10.0, (2, 2)),
}


@pytest.mark.parametrize("case", BRANCH_CASES, ids=list(BRANCH_CASES))
def test_joint_search_branches_match_reference(case):
    x, intensity, x0, gamma, eta, lo, hi, (brackets, candidates) = BRANCH_CASES[case]
    trace = {}
    ref = R.conditional_max(x, intensity, x0, gamma, eta, lo, hi, trace=trace)
    # The case really takes the branch it is named after.
    assert (min(len(trace["brackets"]), 2), min(len(trace.get("candidates", [])), 2)) == \
        (brackets, candidates)
    ours = cmax(x, intensity, x0, gamma, eta, lo, hi)
    assert ours == ref
    if candidates == 0:
        assert ours[:2] == (x0, gamma)
    if candidates == 2:
        assert ours[:2] == trace["candidates"][-1]


CM_CASES = {
    "only fix_x0 (joint search still runs)": dict(fix_x0=True),
    "only fix_gamma": dict(fix_gamma=True),
    "fix_x0 and fix_gamma (eta only)": dict(fix_x0=True, fix_gamma=True),
    "fix_eta": dict(fix_eta=True),
    "intensity shorter than x": dict(intensity=COUNTS[:45]),
    "x shorter than intensity": dict(x=GRID[:40]),
    "starting eta outside [0, 1]": dict(eta=1.7),
    "negative counts": dict(intensity=COUNTS - 30.0),
}


@pytest.mark.parametrize("case", CM_CASES, ids=list(CM_CASES))
def test_conditional_max_is_bit_identical_to_reference(case):
    a = dict(x=GRID, intensity=COUNTS, x0=3.5, gamma=2.5, eta=0.5, x_min=0.0, x_max=10.0)
    a.update(CM_CASES[case])
    ref = R.conditional_max(**a)
    ours = cmax(**a)
    assert same(ours, ref)
    if a.get("fix_x0") and a.get("fix_gamma"):
        assert ours[:2] == (a["x0"], a["gamma"])
    if a.get("fix_x0") and not a.get("fix_gamma"):
        assert ours[0] != a["x0"]  # only the pair (fix_x0, fix_gamma) stops the search
    if a.get("fix_eta"):
        assert ours[2] == a["eta"]
    else:
        assert ours[2] in [k * 0.01 + 0.8 for k in range(1, 20)] + [0.8]


@pytest.mark.parametrize("intensity", [np.zeros(60), np.empty(0)], ids=["zero sum", "empty"])
@pytest.mark.parametrize("fit", ["conditional", "full"])
def test_nothing_changes_without_weight(fit, intensity):
    start = (3.5, 2.5, 0.5)
    if fit == "conditional":
        assert cmax(GRID, intensity, *start, 0.0, 10.0) == start
    else:
        assert full(GRID, intensity, *start, 0.0, 10.0, 0.1, 50.0, 5, 0.0) == start


@pytest.mark.parametrize("fit", ["conditional", "full"])
def test_all_flags_set_changes_nothing(fit):
    start = (3.5, 2.5, 0.5)
    if fit == "conditional":
        assert cmax(GRID, COUNTS, *start, 0.0, 10.0, True, True, True) == start
    else:
        assert full(GRID, COUNTS, *start, 0.0, 10.0, 0.1, 50.0, 5, 0.0, True, True, True) == start


# Non-finite log-likelihoods on every grid eta.  A NaN count makes every T NaN; an infinite
# count makes every T +inf where the density there exceeds 1 (narrow peak on that point) and
# -inf where it is below 1.  The conditional grid lets a later eta win all three (0.99); the
# full grid keeps the smallest eta on ties of +inf (0.00), and the starting eta when nothing
# exceeds -inf (NaN never wins).
@pytest.mark.parametrize("bad, gamma, conditional, full_grid", [
    (math.nan, 2.5, 0.99, 0.37),
    (math.inf, 0.2, 0.99, 0.0),
    (math.inf, 2.5, 0.99, 0.37),
], ids=["nan count", "inf count, T = +inf", "inf count, T = -inf"])
def test_eta_grid_tie_and_nan_rules(bad, gamma, conditional, full_grid):
    intensity = COUNTS.copy()
    intensity[7] = bad
    x0 = float(GRID[7])
    assert cmax(GRID, intensity, x0, gamma, 0.37, 0.0, 10.0, True, True) == \
        (x0, gamma, conditional)
    assert full(GRID, intensity, x0, gamma, 0.37, 0.0, 10.0, 0.1, 50.0, 1, 0.0, True, True) == \
        (x0, gamma, full_grid)


# ---------------------------------------------------------------------------------------------
# Full optimisation

RAMAN1 = R.raman_spectrum(1, 0, seed=11, n=300)
FULL_CASES = {
    "all free": (GRID, COUNTS, (3.5, 2.5, 0.5), 0.0, 10.0, False, False),
    "only fix_gamma": (GRID, COUNTS, (3.0, 1.2, 0.9), 0.0, 10.0, False, True),
    "only fix_x0": (GRID, COUNTS, (4.6, 0.6, 0.2), 0.0, 10.0, True, False),
    "Raman band": (RAMAN1["x"], RAMAN1["intensity"],
                   (RAMAN1["start_x0"][0], RAMAN1["start_gamma"][0], 0.5), 200.0, 1800.0,
                   False, False),
}


@pytest.mark.parametrize("case", FULL_CASES, ids=list(FULL_CASES))
def test_each_cycle_matches_scipy_and_exact_eta_grid(case):
    x, intensity, state, lo, hi, fix_x0, fix_gamma = FULL_CASES[case]
    g_lo, g_hi = 0.1, hi - lo
    for _ in range(3):
        x0, gamma, eta = state
        # The (x0, gamma) step alone (eta fixed) against SciPy from the same start.
        step = full(x, intensity, x0, gamma, eta, lo, hi, g_lo, g_hi, 1, 0.0, fix_x0, fix_gamma,
                    True)
        theirs = R.scipy_step(x, intensity, x0, gamma, eta, lo, hi, g_lo, g_hi, fix_x0,
                              fix_gamma)
        ours_t = R.np_loglik(x, intensity, step[0], step[1], eta, lo, hi)
        their_t = R.np_loglik(x, intensity, *theirs, eta, lo, hi)
        assert ours_t == pytest.approx(their_t, rel=1e-7)
        if fix_x0:
            assert step[0] == x0
        if fix_gamma:
            assert step[1] == gamma
        # The eta step alone is the exact grid argmax.
        grid_eta = full(x, intensity, step[0], step[1], eta, lo, hi, g_lo, g_hi, 1, 0.0, True,
                        True)[2]
        assert grid_eta == R.full_eta(x, intensity, step[0], step[1], eta, lo, hi)
        # One whole cycle is the two steps in turn.
        state = full(x, intensity, x0, gamma, eta, lo, hi, g_lo, g_hi, 1, 0.0, fix_x0, fix_gamma)
        assert state == (step[0], step[1], grid_eta)


@pytest.mark.parametrize("r_eps", [0.0, 1e-6, 1e300, -math.inf])
def test_cycles_stop_on_signed_relative_change(r_eps):
    # A run of max_iter cycles equals single cycles chained under the stopping rule
    # r_eps > (T_new - T_prev) / max(|T_prev|, 1e-300), with T from the sequential reference.
    start, lo, hi, max_iter = (3.0, 4.0, 0.3), 0.0, 10.0, 6
    state = start
    t_prev = R.loglik(GRID, COUNTS, *state, lo, hi)
    cycles = 0
    for _ in range(max_iter):
        state = full(GRID, COUNTS, *state, lo, hi, 0.1, 10.0, 1, 0.0)
        cycles += 1
        t_new = R.loglik(GRID, COUNTS, *state, lo, hi)
        if r_eps > (t_new - t_prev) / max(abs(t_prev), 1e-300):
            break
        t_prev = t_new
    assert full(GRID, COUNTS, *start, lo, hi, 0.1, 10.0, max_iter, r_eps) == state
    assert cycles == {1e300: 1, -math.inf: max_iter}.get(r_eps, cycles)


def test_max_iter_zero_returns_start():
    assert full(GRID, COUNTS, 3.5, 2.5, 0.5, 0.0, 10.0, 0.1, 50.0, 0, 0.0) == (3.5, 2.5, 0.5)


def test_reversed_width_bounds_keep_centre_and_width_but_fit_eta():
    out = full(GRID, COUNTS, 3.5, 2.5, 0.5, 0.0, 10.0, 5.0, 1.0, 3, 0.0)
    assert out[:2] == (3.5, 2.5)
    assert out[2] == R.full_eta(GRID, COUNTS, 3.5, 2.5, 0.5, 0.0, 10.0) != 0.5


@pytest.mark.parametrize("bounds", [(math.nan, 50.0), (0.1, math.nan)], ids=["min", "max"])
def test_nan_width_bound_is_an_internal_error_when_width_is_free(bounds):
    with pytest.raises(InternalError, match=r"^min > max, or either was NaN\. min = "):
        full(GRID, COUNTS, 3.5, 2.5, 0.5, 0.0, 10.0, *bounds, 2, 0.0)
    # With the width fixed nothing is clamped: the fit runs.
    out = full(GRID, COUNTS, 3.5, 2.5, 0.5, 0.0, 10.0, *bounds, 2, 0.0, fix_gamma=True)
    assert out[1] == 2.5 and out[0] != 3.5


# ---------------------------------------------------------------------------------------------
# Mixture fit


def em_args(d, k, bg_type, use_full_opt, max_iter=300, r_eps=1e-9, **overrides):
    m = k + (1 if bg_type else 0)
    a = dict(x=d["x"], intensity=d["intensity"], x0=np.array(d["start_x0"], float),
             gamma_pv=np.array(d["start_gamma"], float), eta=np.full(k, 0.9),
             pi=np.full(m, 1.0 / m), dirichlet_alpha=np.ones(m), fix_x0=[False] * k,
             fix_gamma=[False] * k, fix_eta=[False] * k, use_full_opt=use_full_opt,
             x_min=float(d["x"][0]), x_max=float(d["x"][-1]), gamma_min=1.0,
             gamma_max=float(d["x"][-1] - d["x"][0]), max_iter=max_iter, r_eps=r_eps,
             bg_type=bg_type, s_tri=0.2)
    a.update(overrides)
    return a


def reference_em(a, m_step=None):
    return R.run_pv_em(a["x"], a["intensity"], a["x0"], a["gamma_pv"], a["eta"], a["pi"],
                       a["dirichlet_alpha"], a["fix_x0"], a["fix_gamma"], a["fix_eta"],
                       a["x_min"], a["x_max"], a["max_iter"], a["r_eps"], a["bg_type"],
                       a["s_tri"], m_step=m_step)


SMALL = R.raman_spectrum(2, 3, seed=8, n=70)


@pytest.mark.parametrize("use_full_opt", [False, True], ids=["conditional", "full"])
@pytest.mark.parametrize("bg_type, flags", [(0, {}), (3, {}), (1, dict(fix_x0=[True, False])),
                                            (3, dict(fix_eta=[False, True]))],
                         ids=["no background", "triangular", "fixed centre", "fixed eta"])
def test_em_is_bit_identical_to_sequential_reference(bg_type, flags, use_full_opt):
    a = em_args(SMALL, 2, bg_type, use_full_opt, max_iter=3, r_eps=0.0, **flags)
    m_step = None
    if use_full_opt:
        # The component step is the single-peak full optimisation with the loop's own max_iter
        # and r_eps (its agreement with SciPy is tested above).
        def m_step(x, w, x0, gamma, eta, fx, fg, fe):
            return full(np.array(x), np.array(w), x0, gamma, eta, a["x_min"], a["x_max"],
                        a["gamma_min"], a["gamma_max"], a["max_iter"], a["r_eps"], fx, fg, fe)
    ref = reference_em(a, m_step)
    n_iter, ll, rel, s_tri = velmora_core.run_pv_em_loop(**a)
    assert n_iter == ref[0] == 3
    assert same(ll, ref[1]) and same(rel, ref[2]) and s_tri == ref[7]
    assert same(a["x0"], ref[3]) and same(a["gamma_pv"], ref[4]) and same(a["eta"], ref[5])
    assert same(a["pi"], ref[6])


RECOVERY = [(2, 1, 1), (3, 3, 2), (4, 1, 3), (5, 3, 4), (6, 1, 5)]


@pytest.mark.parametrize("use_full_opt", [False, True], ids=["conditional", "full"])
@pytest.mark.parametrize("k, bg_type, seed", RECOVERY,
                         ids=[f"{k} bands, {'constant' if b == 1 else 'triangular'}"
                              for k, b, _ in RECOVERY])
def test_em_recovers_overlapping_raman_bands(k, bg_type, seed, use_full_opt):
    d = R.raman_spectrum(k, bg_type, seed)
    a = em_args(d, k, bg_type, use_full_opt)
    n_iter, ll, rel, _ = velmora_core.run_pv_em_loop(**a)
    assert n_iter < 300 and abs(rel[-1]) < 1e-9
    assert np.all(np.abs(a["x0"] - d["centres"]) < 0.05 * d["widths"])
    assert np.allclose(a["gamma_pv"], d["widths"], rtol=0.1)
    if not use_full_opt:
        assert np.all(np.isin(a["eta"], [k2 * 0.01 + 0.8 for k2 in range(1, 20)] + [0.8]))


def test_conditional_em_ignores_width_bounds():
    results = []
    for bounds in [(1.0, 1600.0), (math.nan, math.nan), (500.0, 2.0)]:
        a = em_args(SMALL, 2, 1, False, max_iter=5, gamma_min=bounds[0], gamma_max=bounds[1])
        out = velmora_core.run_pv_em_loop(**a)
        results.append((out[1].tobytes(), a["x0"].tobytes(), a["gamma_pv"].tobytes(),
                        a["eta"].tobytes()))
    assert results[0] == results[1] == results[2]


@pytest.mark.parametrize("overrides", [
    dict(gamma_pv=np.array([80.0])),
    dict(eta=np.array([0.9])),
    dict(fix_eta=[False]),
    dict(fix_gamma=[False]),
    dict(use_full_opt=True, gamma_min=math.nan),
    dict(intensity=np.ones(71)),
], ids=["gamma_pv short", "eta short", "fix_eta short", "fix_gamma short", "nan width bound",
        "intensity longer than x"])
def test_em_failures_raise_internal_error_and_leave_arrays(overrides):
    a = dict(em_args(SMALL, 2, 1, False, max_iter=2), **overrides)
    before = {k: v.copy() for k, v in a.items() if isinstance(v, np.ndarray)}
    with pytest.raises(InternalError):
        velmora_core.run_pv_em_loop(**a)
    assert all(same(before[k], a[k]) for k in before)


THREAD_SCRIPT = """
import numpy as np, velmora_core, reference_pv as R
out = []
d = R.raman_spectrum(5, 3, seed=4, n=1500)
for full in (False, True):
    x0, g, eta = d["start_x0"].copy(), d["start_gamma"].copy(), np.full(5, 0.9)
    pi = np.full(6, 1 / 6)
    res = velmora_core.run_pv_em_loop(d["x"], d["intensity"], x0, g, eta, pi, np.ones(6),
                                      [False] * 5, [False] * 5, [False] * 5, full, 200.0, 1800.0,
                                      1.0, 1600.0, 3, 0.0, bg_type=3, s_tri=0.2)
    out += [res[1].tobytes().hex(), x0.tobytes().hex(), g.tobytes().hex(), eta.tobytes().hex(),
            pi.tobytes().hex(), float(res[3]).hex()]
args = (d["x"], d["intensity"], 700.0, 150.0, 0.5, 200.0, 1800.0)
out.append(repr(velmora_core.pseudo_voigt_mle_conditional_max(*args)))
out.append(repr(velmora_core.pseudo_voigt_mle_full_optimization(*args, 1.0, 1600.0, 5, 0.0)))
print(*out)
"""


def test_results_do_not_depend_on_thread_count():
    one = run_python(THREAD_SCRIPT, threads=1)
    two = run_python(THREAD_SCRIPT, threads=2)
    assert one == two and one.strip()


# ---------------------------------------------------------------------------------------------
# Module surface

SIGNATURES = {
    "run_pv_em_loop": "(x, intensity, x0, gamma_pv, eta, pi, dirichlet_alpha, fix_x0, "
                      "fix_gamma, fix_eta, use_full_opt, x_min, x_max, gamma_min, gamma_max, "
                      "max_iter, r_eps, bg_type=0, s_tri=0.0, spline_basis_preds=None)",
    "pseudo_voigt_predict": "(x, x0, gamma, eta, x_min, x_max)",
    "pseudo_voigt_mle_conditional_max": "(x, intensity, x0, gamma, eta, x_min, x_max, "
                                        "fix_x0=False, fix_gamma=False, fix_eta=False)",
    "pseudo_voigt_mle_full_optimization": "(x, intensity, x0, gamma, eta, x_min, x_max, "
                                          "gamma_min, gamma_max, max_iter, r_eps, fix_x0=False, "
                                          "fix_gamma=False, fix_eta=False)",
}


@pytest.mark.parametrize("name", SIGNATURES)
def test_signature(name):
    assert str(inspect.signature(getattr(velmora_core, name))) == SIGNATURES[name]


def _readonly(a):
    a = np.array(a, float)
    a.flags.writeable = False
    return a


BAD_CALLS = {
    "x as a list": (predict, dict(x=[1.0, 2.0], x0=1.0, gamma=1.0, eta=0.5, x_min=0.0,
                                  x_max=3.0), TypeError, "^argument 'x': "),
    "float32 intensity": (cmax, dict(x=GRID, intensity=COUNTS.astype(np.float32), x0=3.0,
                                     gamma=1.0, eta=0.5, x_min=0.0, x_max=10.0), TypeError,
                          "^argument 'intensity': "),
    "integer flag": (cmax, dict(x=GRID, intensity=COUNTS, x0=3.0, gamma=1.0, eta=0.5,
                                x_min=0.0, x_max=10.0, fix_eta=1), TypeError,
                     "^argument 'fix_eta': "),
    "negative max_iter": (full, dict(x=GRID, intensity=COUNTS, x0=3.0, gamma=1.0, eta=0.5,
                                     x_min=0.0, x_max=10.0, gamma_min=0.1, gamma_max=9.0,
                                     max_iter=-1, r_eps=0.0), OverflowError, None),
    "float max_iter": (full, dict(x=GRID, intensity=COUNTS, x0=3.0, gamma=1.0, eta=0.5,
                                  x_min=0.0, x_max=10.0, gamma_min=0.1, gamma_max=9.0,
                                  max_iter=2.0, r_eps=0.0), TypeError, "^argument 'max_iter': "),
    "str as fix list": (velmora_core.run_pv_em_loop, em_args(SMALL, 2, 0, False, fix_eta="ab"),
                        TypeError, "^argument 'fix_eta': Can't extract `str` to `Vec`"),
    "integer use_full_opt": (velmora_core.run_pv_em_loop, em_args(SMALL, 2, 0, 0), TypeError,
                             "^argument 'use_full_opt': "),
    "read-only eta": (velmora_core.run_pv_em_loop,
                      em_args(SMALL, 2, 0, False, eta=_readonly([0.9, 0.9])), InternalError,
                      "writeable"),
}


@pytest.mark.parametrize("case", BAD_CALLS, ids=list(BAD_CALLS))
def test_bad_input_raises_and_leaves_arrays(case):
    fn, kwargs, error, message = BAD_CALLS[case]
    kwargs = {k: (v.copy() if isinstance(v, np.ndarray) and v.flags.writeable else v)
              for k, v in kwargs.items()}
    before = {k: np.array(v) for k, v in kwargs.items() if isinstance(v, np.ndarray)}
    with pytest.raises(error, match=message):
        fn(**kwargs)
    assert all(same(before[k], kwargs[k]) for k in before)


def test_same_array_as_centre_and_eta_is_refused():
    a = em_args(SMALL, 2, 0, False, max_iter=1)
    a["eta"] = a["x0"]
    with pytest.raises(InternalError):
        velmora_core.run_pv_em_loop(**a)
