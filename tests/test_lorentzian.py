"""Lorentzian shape: density and log-likelihood against the sequential reference, the single-peak
fit against SciPy's L-BFGS-B on the same objective, its early returns and flags, the line it
prints, and the mixture fit."""
import math

import numpy as np
import pytest

import reference_peaks as rp
import velmora_core
from conftest import InternalError, run_python

mle = velmora_core.lorentzian_mle


def starting_ll(x, intensity, x0, gamma, x_min, x_max):
    """The extension's sum_i I_i log(p_i + 1e-200) (a one-peak fit with max_iter 0)."""
    return rp.module_lorentzian_ll(np.asarray(x, float), np.asarray(intensity, float), x_min,
                                   x_max)(x0, gamma)


GRID = np.linspace(-3.0, 7.0, 41)
COUNTS = np.round(200 / (1 + ((GRID - 2.2) / 0.7) ** 2)) + 1
LONG = np.linspace(-3.0, 7.0, 10001)

LL_CASES = {
    "ordinary": (GRID, COUNTS, 2.0, 1.3, -3.0, 7.0),
    "narrower than a grid step": (GRID, COUNTS, 2.11, 0.01, -3.0, 7.0),
    "very wide": (GRID, COUNTS, 2.0, 1e4, -3.0, 7.0),
    "centre outside the window": (GRID, COUNTS, 9.0, 0.5, -3.0, 7.0),
    "window far from the peak (tiny mass)": (GRID, COUNTS, 0.0, 1e-3, 50.0, 60.0),
    "reversed window (mass floored)": (GRID, COUNTS, 2.0, 1.3, 7.0, -3.0),
    "negative width": (GRID, COUNTS, 2.0, -1.3, -3.0, 7.0),
    "zero width (nan at the centre)": (GRID, COUNTS, float(GRID[12]), 0.0, -3.0, 7.0),
    "one grid point (T floored)": (GRID[:1], COUNTS[:1], 0.5, 2.0, -3.0, 7.0),
    "two grid points": (GRID[:2], COUNTS[:2], -2.9, 0.3, -3.0, 7.0),
    "decreasing grid (T floored)": (GRID[::-1], COUNTS[::-1], 2.0, 1.3, -3.0, 7.0),
    "long grid (split across the pool)": (LONG, np.round(50 / (1 + (LONG - 3.0) ** 2)) + 1, 3.0,
                                          1.0, -3.0, 7.0),
    "intensity shorter than x": (GRID, COUNTS[:25], 2.0, 1.3, -3.0, 7.0),
}


@pytest.mark.parametrize("case", LL_CASES, ids=list(LL_CASES))
def test_log_likelihood_is_bit_identical_to_sequential_reference(case):
    x, intensity, x0, gamma, lo, hi = LL_CASES[case]
    ours = starting_ll(x, intensity, x0, gamma, lo, hi)
    ref = rp.lorentzian_ll(x, intensity, x0, gamma, lo, hi)
    assert ours == ref or (math.isnan(ours) and math.isnan(ref))


# ---------------------------------------------------------------------------------------------
# Single-peak fit against SciPy


def sweep_problem(rng):
    """A spectrum with one Lorentzian peak, Poisson noise and a weak flat background: grid step
    1, 60 to 600 points, width 0.2 to 50 grid units, the peak inside the window or within a few
    per cent of either end, sometimes a window narrower than the grid, and one of the three
    fixed/free combinations (fixed values a fraction of a width off the truth).

    Left out on purpose: a width fixed below one grid step with the centre free.  The objective
    then has a local optimum at nearly every grid point, both minimisers end in a failed line
    search in whichever one they reach, and neither is better in general."""
    n = int(rng.integers(60, 600))
    x = np.arange(n) + rng.uniform(-200.0, 200.0)
    span = x[-1] - x[0]
    where = rng.choice(["inside", "low end", "high end"])
    centre = {"inside": x[0] + rng.uniform(0.2, 0.8) * span,
              "low end": x[0] + rng.uniform(-0.02, 0.05) * span,
              "high end": x[-1] - rng.uniform(-0.02, 0.05) * span}[where]
    fwhm = math.exp(rng.uniform(math.log(0.2), math.log(50.0)))
    rate = rp.lorentzian_rate(x, [(centre, fwhm, 10 ** rng.uniform(2.5, 5))])
    intensity = rng.poisson(rate + rng.uniform(0.0, 1.0)).astype(float)
    fixed = [(False, False), (True, False), (False, True)][int(rng.integers(3))]
    if fixed[1] and fwhm < 1.0:
        fixed = (False, False)
    lo, hi = x[0], x[-1]
    if rng.uniform() < 0.3:
        lo, hi = lo + 0.1 * span, hi - 0.1 * span
    values = [centre + rng.uniform(-0.25, 0.25) * fwhm, fwhm * rng.uniform(0.8, 1.25)]
    return x, intensity, values, lo, hi, fixed


SWEEP_SEED = 20240611

def sweep(cases):
    """Yields (index, problem) for the first `cases` problems of the seeded sweep."""
    rng = np.random.default_rng(SWEEP_SEED)
    for case in range(cases):
        yield case, sweep_problem(rng)


def relative_excess(problem):
    """(f(ours) - f(SciPy's optimum)) / |f(SciPy's optimum)| with f = -LL, and our result."""
    x, intensity, values, lo, hi, fixed = problem
    loglik = rp.module_lorentzian_ll(x, intensity, lo, hi)
    start = rp.lorentzian_start(x, intensity)
    ref = rp.scipy_fit(loglik, values, fixed, start, [lo, 0.1], [hi, 2000.0])
    ours = mle(x, intensity, *values, lo, hi, *fixed)
    f_ours, f_ref = -loglik(*ours), -loglik(*ref)
    return (f_ours - f_ref) / abs(f_ref), ours


def test_fit_matches_scipy_optimum_on_seeded_sweep():
    """250 problems: the objective at our result is never worse than at SciPy's by more than
    1e-7 relative (better is allowed), and fixed values come back exactly."""
    for case, problem in sweep(250):
        rel, ours = relative_excess(problem)
        values, fixed = problem[2], problem[5]
        assert all(ours[j] == values[j] for j in range(2) if fixed[j]), case
        assert rel <= 1e-7, (case, fixed, ours, rel)


UPHILL_SCRIPT = """
import sys
sys.path.insert(0, {tests!r})
import test_lorentzian as t
x, intensity, values, lo, hi, fixed = dict(t.sweep(59))[58]
t.mle(x, intensity, *values, lo, hi, *fixed)
"""


def test_only_the_line_reaches_standard_output_when_a_search_direction_is_uphill():
    """Case 58 of the sweep meets a search direction that is not downhill, where the reference
    L-BFGS-B writes a diagnostic of its own to standard output."""
    import pathlib
    out = run_python(UPHILL_SCRIPT.format(tests=str(pathlib.Path(__file__).parent)))
    assert out == "LBFGSB finished\n"


# ---------------------------------------------------------------------------------------------
# Single-peak fit: starts, flags, early returns, window

X = np.linspace(0.0, 20.0, 201)
PEAK = np.random.default_rng(4).poisson(rp.lorentzian_rate(X, [(8.3, 1.6, 5e3)]) + 0.5) * 1.0


def test_free_fit_does_not_depend_on_the_values_passed_in():
    first = mle(X, PEAK, 8.0, 1.0, 0.0, 20.0)
    assert mle(X, PEAK, -500.0, 1e6, 0.0, 20.0) == first
    assert first[0] == pytest.approx(8.3, abs=0.05) and first[1] == pytest.approx(1.6, rel=0.1)


@pytest.mark.parametrize("gamma", [0.05, 1.6, 5000.0])
def test_fixed_width_is_kept_even_outside_the_width_bounds(gamma):
    x0, g = mle(X, PEAK, 3.0, gamma, 0.0, 20.0, fix_gamma=True)
    assert g == gamma and 0.0 <= x0 <= 20.0 and x0 != 3.0
    if gamma == 1.6:
        assert x0 == pytest.approx(8.3, abs=0.05)


@pytest.mark.parametrize("x0", [8.3, 25.0])
def test_fixed_centre_fits_the_width_within_its_bounds(x0):
    got_x0, gamma = mle(X, PEAK, x0, 0.5, 0.0, 20.0, fix_x0=True)
    assert got_x0 == x0 and 0.1 <= gamma <= 2000.0
    if x0 == 8.3:
        assert gamma == pytest.approx(1.6, rel=0.1)


def test_width_stops_at_its_lower_bound():
    # A spike on one grid point wants a width far below 0.1.
    spike = np.zeros_like(X)
    spike[83] = 1e4
    assert mle(X, spike, 8.0, 1.0, 0.0, 20.0)[1] == 0.1


EARLY = {
    "both fixed": (PEAK, dict(fix_x0=True, fix_gamma=True), (0.0, 20.0)),
    "empty intensity": (np.zeros(0), {}, (0.0, 20.0)),
    "zero intensity": (np.zeros_like(X), {}, (0.0, 20.0)),
    "negative total": (-PEAK, {}, (0.0, 20.0)),
    "extra entries cancel the total": (np.concatenate([PEAK, [-PEAK.sum()]]), {}, (0.0, 20.0)),
    "reversed window, centre free": (PEAK, {}, (20.0, 0.0)),
    "reversed window, width fixed": (PEAK, dict(fix_gamma=True), (20.0, 0.0)),
}


@pytest.mark.parametrize("case", EARLY, ids=list(EARLY))
def test_early_returns_give_back_the_values_passed_in(case):
    intensity, flags, (lo, hi) = EARLY[case]
    assert mle(X, intensity, 123.25, -7.5, lo, hi, **flags) == (123.25, -7.5)


def test_reversed_window_with_fixed_centre_still_fits_the_width():
    x0, gamma = mle(X, PEAK, 8.3, 1.0, 20.0, 0.0, fix_x0=True)
    assert x0 == 8.3 and gamma == pytest.approx(1.6, rel=0.1)


def test_intensity_beyond_the_grid_counts_only_in_the_total():
    # Zero weight on the grid and one extra entry: the fit runs on a flat objective and stops
    # at its projected start (mean 0 -> the window's low end, width 0 -> 0.1).
    extra = np.concatenate([np.zeros_like(X), [1.0]])
    assert mle(X, extra, 5.0, 5.0, 2.0, 20.0) == (2.0, 0.1)


# ---------------------------------------------------------------------------------------------
# The printed line

PRINT_SCRIPT = """
import os, numpy as np, velmora_core as v
x = np.linspace(0.0, 20.0, 201)
I = np.round(500 / (1 + ((x - 8.3) / 0.8) ** 2)) + 1.0
def mark(name):
    os.write(1, ("== " + name + "\\n").encode())
def em(k, it, fixed=(), lo=0.0, hi=20.0):
    x0, g, pi = np.linspace(4.0, 14.0, k), np.full(k, 2.0), np.full(k, 1.0 / k)
    fx = [i in fixed for i in range(k)]
    n = v.run_lorentzian_em_loop(x, I, x0, g, pi, np.ones(k), fx, fx, lo, hi, it, 0.0)[0]
    os.write(1, ("n_iter %d\\n" % n).encode())
mark("fit"); v.lorentzian_mle(x, I, 8.0, 1.0, 0.0, 20.0)
mark("fit, width fixed"); v.lorentzian_mle(x, I, 8.0, 1.0, 0.0, 20.0, fix_gamma=True)
mark("both fixed"); v.lorentzian_mle(x, I, 8.0, 1.0, 0.0, 20.0, True, True)
mark("zero intensity"); v.lorentzian_mle(x, 0 * I, 8.0, 1.0, 0.0, 20.0)
mark("reversed window"); v.lorentzian_mle(x, I, 8.0, 1.0, 20.0, 0.0)
mark("doniach-sunjic"); v.doniach_sunjic_mle(x, I, 8.0, 1.0, 0.1, 0.0, 20.0, 0.1, 5.0, 0.0, 0.5)
mark("em max_iter 0"); em(3, 0)
mark("em"); em(6, 3)
mark("em, one component fixed"); em(3, 2, fixed=(1,))
mark("em, reversed window"); em(3, 2, lo=20.0, hi=0.0)
import threading
mark("quiet thread"); was = v._status_line(False)
v.lorentzian_mle(x, I, 8.0, 1.0, 0.0, 20.0); em(2, 1)
mark("other thread"); t = threading.Thread(target=v.lorentzian_mle, args=(x, I, 8.0, 1.0, 0.0, 20.0))
t.start(); t.join()
mark("switched back"); os.write(1, ("%s %s\\n" % (was, v._status_line(True))).encode())
v.lorentzian_mle(x, I, 8.0, 1.0, 0.0, 20.0)
mark("end")
"""


def printed_lines(threads):
    out = run_python(PRINT_SCRIPT, threads=threads)
    sections, name = {}, None
    for line in out.splitlines():
        if line.startswith("== "):
            name = line[3:]
            sections[name] = []
        else:
            sections[name].append(line)
    return sections


@pytest.mark.parametrize("threads", [1, 2])
def test_one_whole_line_per_successful_minimisation_on_file_descriptor_1(threads):
    s = printed_lines(threads)
    line = "LBFGSB finished"
    assert s["fit"] == [line] and s["fit, width fixed"] == [line]
    for quiet in ("both fixed", "zero intensity", "reversed window", "doniach-sunjic", "end"):
        assert s[quiet] == [], quiet
    assert s["em max_iter 0"] == ["n_iter 0"]
    assert s["em"] == [line] * 18 + ["n_iter 3"]  # 6 components x 3 iterations, never torn
    assert s["em, one component fixed"] == [line] * 4 + ["n_iter 2"]
    assert s["em, reversed window"] == ["n_iter 2"]
    # The private switch silences the calling thread's fits only.
    assert s["quiet thread"] == ["n_iter 1"] and s["other thread"] == [line]
    assert s["switched back"] == ["True False", line]


WRITE_FAILURE_SCRIPT = """
import os, signal, numpy as np, velmora_core as v
x = np.linspace(0.0, 20.0, 201)
I = np.round(500 / (1 + ((x - 8.3) / 0.8) ** 2)) + 1.0
def fits():
    x0, g, pi = np.array([6.0, 10.0]), np.array([2.0, 2.0]), np.array([0.5, 0.5])
    one = v.lorentzian_mle(x, I, 8.0, 1.0, 0.0, 20.0)
    n = v.run_lorentzian_em_loop(x, I, x0, g, pi, np.ones(2), [False] * 2, [False] * 2, 0.0,
                                 20.0, 3, 0.0)[0]
    return [one, n, x0.tolist(), g.tolist(), pi.tolist()]
saved = os.dup(1)
os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
expected = fits()
if {target!r} == "closed":
    os.close(1)
elif {target!r} == "/dev/full":
    os.dup2(os.open("/dev/full", os.O_WRONLY), 1)
else:  # a pipe whose reader has gone, with SIGPIPE at its default action (death)
    r, w = os.pipe()
    os.close(r)
    os.dup2(w, 1)
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
got = fits()
os.dup2(saved, 1)
print(got == expected)
"""


@pytest.mark.parametrize("target", ["closed", "/dev/full", "broken pipe"])
def test_a_status_line_that_cannot_be_written_never_fails_the_fit(target):
    assert run_python(WRITE_FAILURE_SCRIPT.format(target=target)) == "True\n"


# ---------------------------------------------------------------------------------------------
# Mixture fit


def lorentzian_peak(x, c, w, a):
    return rp.lorentzian_rate(x, [(c, w, a)])


def em(data, x0, gamma, pi, max_iter, r_eps=1e-8, bg_type=0, s_tri=0.0, fix=None):
    k = len(x0)
    fix = fix or [False] * k
    return velmora_core.run_lorentzian_em_loop(
        data["x"], data["intensity"], x0, gamma, pi, np.ones(len(pi)), fix, fix, 0.0, 100.0,
        max_iter, r_eps, bg_type, s_tri, data["basis"])


@pytest.mark.parametrize("k, bg_type", [(2, 0), (3, 1), (4, 2), (5, 3), (3, 4), (5, 0)])
def test_mixture_recovers_overlapping_peaks(k, bg_type):
    data = rp.mixture_spectrum(k, bg_type, seed=10 * k + bg_type, peak_rate=lorentzian_peak)
    rng, c, w = data["rng"], data["centres"], data["widths"]
    m = len(data["pi"])
    x0 = c + rng.uniform(-0.3, 0.3, k) * w
    gamma = w * rng.uniform(0.7, 1.4, k)
    pi = np.full(m, 1.0 / m)
    n_iter, ll, rel, s_tri = em(data, x0, gamma, pi, 500, bg_type=bg_type)
    assert n_iter < 500 and abs(rel[-1]) < 1e-8
    assert np.all(np.abs(x0 - c) < 0.05 * w)
    assert np.allclose(gamma, w, rtol=0.1)
    truth_ll = em(data, c.copy(), w.copy(), data["pi"].copy(), 0, bg_type=bg_type,
                  s_tri=data["s_tri"])[1][0]
    assert ll[-1] >= truth_ll - 1e-9 * abs(truth_ll)
    # The final log-likelihood is that of the written-back parameters, to the last bit.
    cols = [rp.lorentzian_pdf(data["x"], a, b, 0.0, 100.0) for a, b in zip(x0, gamma)]
    assert ll[-1] == rp.reference_mixture_ll(data["x"], data["intensity"], cols, pi, bg_type,
                                             0.0, 100.0, s_tri, data["basis"])


def test_mixture_flags_and_degenerate_windows():
    data = rp.mixture_spectrum(3, 0, seed=3, peak_rate=lorentzian_peak)
    start = lambda: (data["centres"] + 1.0, np.full(3, 3.0), np.full(3, 1 / 3))  # noqa: E731
    x0, gamma, pi = start()
    em(data, x0, gamma, pi, 0)
    assert all(np.array_equal(a, b) for a, b in zip((x0, gamma, pi), start()))  # max_iter 0
    x0, gamma, pi = start()
    em(data, x0, gamma, pi, 5, fix=[False, True, False])
    assert x0[1] == start()[0][1] and gamma[1] == 3.0
    assert x0[0] != start()[0][0] and gamma[2] != 3.0
    x0, gamma, pi = start()
    velmora_core.run_lorentzian_em_loop(data["x"], data["intensity"], x0, gamma, pi, np.ones(3),
                                        [False] * 3, [False] * 3, 100.0, 0.0, 3, 0.0)
    assert np.array_equal(x0, start()[0]) and np.array_equal(gamma, start()[1])
    assert not np.array_equal(pi, start()[2])  # the weights are still re-estimated


def test_mixture_without_components_runs_the_background_alone():
    data = rp.mixture_spectrum(2, 1, seed=5, peak_rate=lorentzian_peak)
    pi = np.array([1.0])
    n_iter, ll, _, _ = velmora_core.run_lorentzian_em_loop(
        data["x"], data["intensity"], np.zeros(0), np.zeros(0), pi, np.ones(1), [], [], 0.0,
        100.0, 3, 0.0, 1)
    assert n_iter == 3 and pi[0] == 1.0 and ll[0] == ll[-1]


POOL_SCRIPT = """
import os, numpy as np, velmora_core as v
rng = np.random.default_rng(8)
x = np.linspace(0.0, 100.0, 9000)
lines = ((30, 2, 400), (36, 3, 300), (60, 1.5, 500), (66, 4, 200))
rate = sum(a / (1 + ((x - c) / w) ** 2) for c, w, a in lines)
I = rng.poisson(rate + 5).astype(float)
single = v.lorentzian_mle(x, I, 0.0, 0.0, 0.0, 100.0)
x0, g, pi = np.array([29.0, 37.0, 61.0, 64.0]), np.full(4, 3.0), np.full(5, 0.2)
res = v.run_lorentzian_em_loop(x, I, x0, g, pi, np.ones(5), [False] * 4,
                               [False, True, False, False], 0.0, 100.0, 6, 0.0, 3, 0.1)
os.write(1, " ".join(a.tobytes().hex() for a in (res[1], res[2], x0, g, pi)).encode()
         + repr((res[3], single)).encode() + b"\\n")
"""


def test_results_do_not_depend_on_pool_size():
    """A mixture and a single-peak fit on a grid long enough to be split across the pool."""
    outputs = {run_python(POOL_SCRIPT, threads=t) for t in (1, 2)}
    assert len(outputs) == 1


# ---------------------------------------------------------------------------------------------
# Bad input


def em_args(**overrides):
    a = dict(x=X.copy(), intensity=PEAK.copy(), x0=np.array([6.0, 10.0]),
             gamma_lo=np.array([1.0, 1.0]), pi=np.array([0.5, 0.5]), dirichlet_alpha=np.ones(2),
             fix_x0=[False, False], fix_gamma=[False, False], x_min=0.0, x_max=20.0, max_iter=2,
             r_eps=0.0)
    a.update(overrides)
    return a


@pytest.mark.parametrize("overrides, match", [
    (dict(gamma_lo=np.array([1.0]), max_iter=0), "gamma_lo"),
    (dict(fix_x0=[False]), "fix_x0"),
    (dict(fix_gamma=[False]), "fix_gamma"),
    (dict(intensity=np.ones(202)), "points"),
], ids=["gamma_lo short (read before any iteration)", "fix_x0 short", "fix_gamma short",
        "intensity longer than x"])
def test_mixture_length_rules_raise_internal_error_and_leave_arrays(overrides, match):
    a = em_args(**overrides)
    before = {k: v.copy() for k, v in a.items() if isinstance(v, np.ndarray)}
    with pytest.raises(InternalError, match=match):
        velmora_core.run_lorentzian_em_loop(**a)
    assert all(np.array_equal(before[k], a[k]) for k in before)


def test_mixture_same_array_in_two_in_place_roles_is_refused():
    a = em_args()
    a["gamma_lo"] = a["x0"]
    with pytest.raises(InternalError):
        velmora_core.run_lorentzian_em_loop(**a)
    assert a["x0"].tolist() == [6.0, 10.0]


@pytest.mark.parametrize("args, kwargs, name", [
    ((list(X), PEAK, 8.0, 1.0, 0.0, 20.0), {}, "x"),
    ((X, PEAK.astype(np.float32), 8.0, 1.0, 0.0, 20.0), {}, "intensity"),
    ((X, PEAK, "8", 1.0, 0.0, 20.0), {}, "x0"),
    ((X, PEAK, 8.0, 1.0, 0.0, 20.0), dict(fix_x0=1), "fix_x0"),
    ((X, PEAK, 8.0, 1.0, 0.0, 20.0, False, None), {}, "fix_gamma"),
])
def test_single_peak_conversion_errors_name_the_parameter(args, kwargs, name):
    with pytest.raises(TypeError, match=f"^argument '{name}': "):
        mle(*args, **kwargs)


def test_single_peak_binding_errors():
    with pytest.raises(TypeError, match="lorentzian_mle"):
        mle(X, PEAK, 8.0, 1.0, 0.0)
    with pytest.raises(TypeError, match="lorentzian_mle"):
        mle(X, PEAK, 8.0, 1.0, 0.0, 20.0, False, False, False)
