"""TSDC peaks: the density against the sequential reference, the two single-peak fits, the
mixture fit, their failure messages and length rules, and independence of the pool size."""
import inspect
import math

import numpy as np
import pytest
from scipy import optimize

import reference
import reference_tsdc as ref
import velmora_core
from conftest import InternalError, run_python

BETA = 0.1  # K/s


def thermogram(peaks, lo, hi, n, counts, seed=1, beta=BETA):
    """Grid and Poisson counts of a sum of TSDC peaks [(ea, tp, share), ...]."""
    t = np.linspace(lo, hi, n)
    rate = np.zeros(n)
    for ea, tp, share in peaks:
        rate += share * velmora_core.tsdc_predict(t, ea, ref.tau0_from_tp(ea, tp, beta), beta)
    rng = np.random.default_rng(seed)
    return t, rng.poisson(rate * counts * (t[1] - t[0])).astype(np.float64)


def tau0_of(ea, tp, beta=BETA):
    """tau0 from the peak condition, entry by entry, as the reference computes it."""
    return np.array([ref.tau0_from_tp(e, p, beta) for e, p in zip(ea, tp)])


def same_bits(a, b):
    """Equal shapes, NaN where the other has NaN, every other entry equal bit for bit."""
    a, b = np.asarray(a, np.float64), np.asarray(b, np.float64)
    if a.shape != b.shape or not np.array_equal(np.isnan(a), np.isnan(b)):
        return False
    keep = ~np.isnan(a)
    return np.array_equal(a[keep].view(np.uint64), b[keep].view(np.uint64))


# ---------------------------------------------------------------------------------------------
# Density and prediction

PEAK_GRID = np.linspace(150.0, 450.0, 1201)
PDF_CASES = {  # (t, ea, tau0, beta)
    "one peak, five sum blocks": (PEAK_GRID, 1.0, ref.tau0_from_tp(1.0, 300.0, BETA), BETA),
    "non-uniform long grid": (np.geomspace(80.0, 700.0, 4000), 2.0,
                              ref.tau0_from_tp(2.0, 500.0, 0.5), 0.5),
    "descending grid": (PEAK_GRID[::-1].copy(), 1.0, ref.tau0_from_tp(1.0, 300.0, BETA), BETA),
    "zero and negative temperatures": (np.linspace(-20.0, 300.0, 321), 0.5,
                                       ref.tau0_from_tp(0.5, 150.0, BETA), BETA),
    "ea zero": (np.linspace(0.0, 50.0, 101), 0.0, 10.0, 1.0),
    "E2 argument beyond 709.78": (np.linspace(5.0, 40.0, 200), 3.0, 1e-30, 1.0),
    "negative beta": (PEAK_GRID, 1.0, 1e-16, -0.1),
    "single temperature": (np.array([300.0]), 1.0, 1e-16, BETA),
    "empty grid": (np.array([]), 1.0, 1e-16, BETA),
}

PDF_SCRIPT = """
import numpy as np, velmora_core
cases = {cases!r}
for t, ea, tau0, beta in cases:
    print(velmora_core.tsdc_predict(np.array(t, dtype=float), ea, tau0, beta).tobytes().hex())
"""


def test_pdf_bit_identical_to_reference_for_any_pool_size():
    cases = [(list(map(float, t)), ea, tau0, beta) for t, ea, tau0, beta in PDF_CASES.values()]
    expected = [np.array(ref.tsdc_pdf(*c), dtype=np.float64) for c in cases]
    for threads in (1, 2, 3):
        lines = run_python(PDF_SCRIPT.format(cases=cases), threads=threads).splitlines()
        got = [np.frombuffer(bytes.fromhex(line), dtype=np.float64) for line in lines]
        for name, g, e in zip(PDF_CASES, got, expected):
            assert same_bits(g, e), (threads, name)


def test_pdf_edge_semantics():
    out = velmora_core.tsdc_predict(np.array([0.0, 100.0, 200.0]), 0.5, 1e-10, BETA)
    assert out[0] == 0.0 and out[1] > 0.0  # T = 0: E2(inf) = 0 and exp(-inf) = 0
    # A negative temperature is NaN (E2 of a negative argument), and so is the area.
    out = velmora_core.tsdc_predict(np.array([-50.0, 100.0, 200.0]), 0.5, 1e-10, BETA)
    assert np.isnan(out).all()
    single = velmora_core.tsdc_predict(np.array([300.0]), 1.0, 1e-16, BETA)
    assert single[0] == ref.peak_current(300.0, 1.0, 1e-16, BETA) / 1e-100
    up = velmora_core.tsdc_predict(PEAK_GRID, 1.0, ref.tau0_from_tp(1.0, 300.0, BETA), BETA)
    down = velmora_core.tsdc_predict(PEAK_GRID[::-1], 1.0, ref.tau0_from_tp(1.0, 300.0, BETA),
                                     BETA)
    assert np.allclose(down[::-1], -up, rtol=1e-13, atol=0)
    flat = velmora_core.tsdc_predict(np.linspace(0.1, 50, 500), 0.0, 10.0, 1.0)  # ea = 0
    assert np.allclose(flat[1:] / flat[:-1], math.exp(-0.1 / 10.0), rtol=1e-10)


@pytest.mark.parametrize("ea, tp, beta", [
    (0.1, 100.0, 1.0), (0.3, 150.0, 0.05), (1.0, 300.0, BETA), (1.6, 420.0, 2.0),
    (3.0, 600.0, 10.0), (2.0, 250.0, 0.01),
])
def test_predict_integrates_to_one_and_peaks_at_tp(ea, tp, beta):
    width = ref.K_B * tp * tp / ea  # the rise of the peak's exponential
    t = np.arange(max(tp - 40 * width, 1.0), tp + 15 * width, width / 50.0)
    p = velmora_core.tsdc_predict(t, ea, ref.tau0_from_tp(ea, tp, beta), beta)
    assert np.sum(np.diff(t) * (p[1:] + p[:-1]) / 2) == pytest.approx(1.0, rel=1e-12)
    assert abs(t[np.argmax(p)] - tp) <= t[1] - t[0]


def test_predict_result_and_arguments():
    t = np.linspace(100.0, 400.0, 601)
    base = t.copy()
    out = velmora_core.tsdc_predict(t=t[::2], ea=1.0, tau0=1e-15, beta=BETA)
    assert out.dtype == np.float64 and out.flags.c_contiguous and not np.shares_memory(out, t)
    assert out.shape == (301,) and np.array_equal(t, base)
    assert same_bits(out, velmora_core.tsdc_predict(t[::2].copy(), 1.0, 1e-15, BETA))
    with pytest.raises(TypeError, match="^argument 't': "):
        velmora_core.tsdc_predict(list(t), 1.0, 1e-15, BETA)
    with pytest.raises(TypeError, match="^argument 'beta': "):
        velmora_core.tsdc_predict(t, 1.0, 1e-15, "fast")


def test_signatures():
    expected = {
        "run_tsdc_em_loop": "(t, intensity, ea, tau0, tp, pi, dirichlet_alpha, fix_ea, fix_tp, "
                            "beta, ea_min, ea_max, t_min, t_max, max_iter, r_eps, bg_type=0, "
                            "s_tri=0.0, spline_basis_preds=None)",
        "tsdc_predict": "(t, ea, tau0, beta)",
        "tsdc_mle_find_root": "(t, intensity, ea, tau0, tp, ea_min, ea_max, beta, fix_ea=False, "
                              "fix_tp=False)",
        "tsdc_mle_lbfgsb": "(t, intensity, ea, tau0, tp, ea_min, ea_max, t_min, t_max, beta, "
                           "fix_ea=False, fix_tp=False)",
    }
    for name, text in expected.items():
        assert str(inspect.signature(getattr(velmora_core, name))) == text


# ---------------------------------------------------------------------------------------------
# Single-peak fits

ONE_PEAK = thermogram([(1.0, 300.0, 1.0)], 200.0, 400.0, 700, 1e5, seed=2)


def find_root_both(t, intensity, *args, **flags):
    """(extension result or message, reference result or message)."""
    try:
        ours = velmora_core.tsdc_mle_find_root(t, intensity, *args, **flags)
    except RuntimeError as exc:
        ours = str(exc)
    error, *values = ref.fit_find_root(t, intensity, *args, **flags)
    return ours, error or tuple(values)


ROOT_CASES = {  # (t, intensity, ea, tau0, tp, ea_min, ea_max, beta), flags
    "free": ((*ONE_PEAK, 0.6, 1.0, 280.0, 0.1, 3.0, BETA), {}),
    "reversed bracket": ((*ONE_PEAK, 0.6, 1.0, 280.0, 3.0, 0.1, BETA), {}),
    "fix_tp": ((*ONE_PEAK, 0.6, 1.0, 280.0, 0.1, 3.0, BETA), dict(fix_tp=True)),
    "intensity longer than t": ((ONE_PEAK[0][:500], ONE_PEAK[1], 0.6, 1.0, 280.0, 0.1, 3.0,
                                 BETA), {}),
    "intensity shorter than t": ((ONE_PEAK[0], ONE_PEAK[1][:400], 0.6, 1.0, 280.0, 0.1, 3.0,
                                  BETA), {}),
    "fewer points than a block": ((ONE_PEAK[0][::5], ONE_PEAK[1][::5], 0.6, 1.0, 280.0, 0.1,
                                   3.0, BETA), {}),
    "no bracket": ((*ONE_PEAK, 0.6, 1.0, 280.0, 2.0, 3.0, BETA), {}),
}


@pytest.mark.parametrize("case", ROOT_CASES)
def test_find_root_bit_identical_to_reference(case):
    args, flags = ROOT_CASES[case]
    ours, theirs = find_root_both(*args, **flags)
    assert ours == theirs


def test_find_root_fix_ea_returns_inputs():
    for fix_tp in (False, True):
        assert velmora_core.tsdc_mle_find_root(*ONE_PEAK, 0.6, 1.0, 280.0, 0.1, 3.0, BETA,
                                               fix_ea=True, fix_tp=fix_tp) == (0.6, 1.0, 280.0)


@pytest.mark.parametrize("args, message", [
    ((*ONE_PEAK, 0.6, 1.0, 280.0, 2.0, 3.0, BETA), "NoBracketing"),
    # The peak lies above 2000 K: the ea search succeeds, the peak-temperature search cannot.
    ((*thermogram([(3.0, 2800.0, 1.0)], 2400.0, 3200.0, 400, 1e5), 2.0, 1.0, 2500.0, 0.5,
      10.0, BETA), "NoBracketing"),
    # A negative heating rate makes every score value NaN; the search never stops by itself.
    ((*ONE_PEAK, 0.6, 1.0, 280.0, 0.1, 3.0, -BETA), "NoConvergency"),
    ((*ONE_PEAK, 0.6, 1.0, 280.0, math.nan, 3.0, BETA), "NoConvergency"),
], ids=["ea bounds", "peak above 2000 K", "negative beta", "NaN bound"])
def test_find_root_failures_raise_runtime_error(args, message):
    with pytest.raises(RuntimeError, match=f"^brentq failed: {message}$"):
        velmora_core.tsdc_mle_find_root(*args)


def lbfgsb(t, intensity, ea=0.6, tau0=1.0, tp=280.0, ea_min=0.1, ea_max=3.0, t_min=200.0,
           t_max=400.0, beta=BETA, **flags):
    return velmora_core.tsdc_mle_lbfgsb(t, intensity, ea, tau0, tp, ea_min, ea_max, t_min,
                                        t_max, beta, **flags)


@pytest.mark.parametrize("t, intensity, flags", [
    (*ONE_PEAK, dict(fix_ea=True, fix_tp=True)),
    (ONE_PEAK[0], np.array([]), {}),
    (ONE_PEAK[0], np.full(700, 1e-305), {}),
    (ONE_PEAK[0], np.zeros(700), {}),
], ids=["both fixed", "empty intensity", "total below 1e-300", "zero intensity"])
def test_lbfgsb_early_returns_change_nothing(t, intensity, flags):
    assert lbfgsb(t, intensity, **flags) == (0.6, 1.0, 280.0)


@pytest.mark.parametrize("flags", [{}, dict(fix_ea=True), dict(fix_tp=True)])
def test_lbfgsb_ties_tau0_to_ea_and_tp(flags):
    ea, tau0, tp = lbfgsb(*ONE_PEAK, **flags)
    assert tau0 == ref.tau0_from_tp(ea, tp, BETA)
    if flags.get("fix_ea"):
        assert ea == 0.6 and 200.0 <= tp <= 400.0 and tp != 280.0
    if flags.get("fix_tp"):
        assert tp == 280.0 and ea != 0.6


@pytest.mark.parametrize("bounds, free_flag", [
    (dict(ea_min=3.0, ea_max=0.1), "fix_ea"),
    (dict(t_min=400.0, t_max=200.0), "fix_tp"),
])
def test_lbfgsb_reversed_box_fails_until_that_parameter_is_fixed(bounds, free_flag):
    with pytest.raises(RuntimeError, match="^L-BFGS-B failed$"):
        lbfgsb(*ONE_PEAK, **bounds)
    ea, tau0, tp = lbfgsb(*ONE_PEAK, **bounds, **{free_flag: True})
    assert tau0 == ref.tau0_from_tp(ea, tp, BETA)


def test_lbfgsb_nan_bound_of_a_free_parameter_is_an_internal_error():
    with pytest.raises(InternalError, match="NaN"):
        lbfgsb(*ONE_PEAK, t_min=math.nan)
    lbfgsb(*ONE_PEAK, t_min=math.nan, fix_tp=True)


def test_lbfgsb_start_outside_box_and_result_inside():
    ea, _, tp = lbfgsb(*ONE_PEAK, ea=9.0, tp=50.0, ea_min=0.5, ea_max=0.9)
    assert 0.5 <= ea <= 0.9 and 200.0 <= tp <= 400.0


def test_lbfgsb_lands_on_optimum_of_grid_likelihood():
    # The analytic gradient is that of the density normalised on [0, inf), the objective that
    # of the grid-normalised density.  On a grid that covers the whole peak the two optima
    # agree closely, so L-BFGS-B must end where a derivative-free search of the actual
    # objective ends, and where the root fit (same [0, inf) score equations) ends.
    t, intensity = thermogram([(1.0, 300.0, 1.0)], 200.0, 400.0, 1500, 1e6, seed=7)
    ea, _, tp = lbfgsb(t, intensity, ea=0.6, tp=285.0)

    def objective(p):
        e, temp = p
        dens = velmora_core.tsdc_predict(t, e, ref.tau0_from_tp(e, temp, BETA), BETA)
        return -np.sum(np.log(dens + 1e-200) * intensity)

    best = optimize.minimize(objective, [ea, tp], method="Nelder-Mead",
                             options=dict(xatol=1e-10, fatol=1e-10, maxiter=2000)).x
    assert ea == pytest.approx(best[0], rel=1e-6) and tp == pytest.approx(best[1], abs=1e-4)
    root = velmora_core.tsdc_mle_find_root(t, intensity, 0.6, 1.0, 285.0, 0.1, 3.0, BETA)
    assert ea == pytest.approx(root[0], rel=1e-6) and tp == pytest.approx(root[2], abs=1e-4)


@pytest.mark.parametrize("ea, tp, lo, hi", [
    (0.1, 100.0, 10.0, 400.0), (0.3, 150.0, 60.0, 300.0), (1.0, 300.0, 200.0, 400.0),
    (2.5, 550.0, 440.0, 650.0),
])
def test_fits_recover_known_peak(ea, tp, lo, hi):
    t, intensity = thermogram([(ea, tp, 1.0)], lo, hi, 1500, 1e6, seed=11)
    start = (0.6 * ea, 1.0, tp - 15.0)
    for fitted in (velmora_core.tsdc_mle_find_root(t, intensity, *start, 0.05, 5.0, BETA),
                   velmora_core.tsdc_mle_lbfgsb(t, intensity, *start, 0.05, 5.0, lo, hi, BETA)):
        assert fitted[0] == pytest.approx(ea, rel=0.01) and abs(fitted[2] - tp) < 0.5
        assert fitted[1] == pytest.approx(ref.tau0_from_tp(ea, tp, BETA), rel=0.5)


def test_single_peak_fits_do_not_touch_inputs():
    t, intensity = ONE_PEAK[0].copy(), ONE_PEAK[1].copy()
    velmora_core.tsdc_mle_find_root(t, intensity, 0.6, 1.0, 280.0, 0.1, 3.0, BETA)
    lbfgsb(t, intensity)
    assert np.array_equal(t, ONE_PEAK[0]) and np.array_equal(intensity, ONE_PEAK[1])


# ---------------------------------------------------------------------------------------------
# Pool independence

POOL_SCRIPT = """
import numpy as np, velmora_core
kb = 8.61733034e-5
def tau0(ea, tp, beta):
    u = kb * tp
    return np.exp(-ea / u) * (tp * u / (beta * ea))
t = np.linspace(100.0, 500.0, 3001)
rate = sum(s * velmora_core.tsdc_predict(t, ea, tau0(ea, tp, 0.1), 0.1)
           for ea, tp, s in [(0.6, 180.0, 0.3), (1.0, 280.0, 0.45), (1.6, 400.0, 0.25)])
intensity = np.random.default_rng(4).poisson(rate * 1e6 * (t[1] - t[0])).astype(float)
one = np.random.default_rng(5).poisson(
    velmora_core.tsdc_predict(t, 1.0, tau0(1.0, 280.0, 0.1), 0.1) * 1e5 * (t[1] - t[0]))
one = one.astype(float)
out = [velmora_core.tsdc_predict(t, 1.0, tau0(1.0, 280.0, 0.1), 0.1)]
out.append(velmora_core.tsdc_mle_find_root(t, one, 0.8, 1.0, 260.0, 0.1, 3.0, 0.1))
out.append(velmora_core.tsdc_mle_lbfgsb(t, one, 0.8, 1.0, 260.0, 0.1, 3.0, 100.0, 500.0, 0.1))
ea, tp = np.array([0.5, 1.2, 1.4]), np.array([170.0, 290.0, 390.0])
t0, pi = tau0(ea, tp, 0.1), np.full(3, 1 / 3)
res = velmora_core.run_tsdc_em_loop(t, intensity, ea, t0, tp, pi, np.ones(3), [False] * 3,
                                    [False] * 3, 0.1, 0.05, 5.0, 100.0, 500.0, 4, 0.0)
out += [res[1], res[2], ea, t0, tp, pi]
# Never-bracketing bounds: every component goes through the quasi-Newton fallback.
ea, tp = np.array([0.5, 1.2, 1.4]), np.array([170.0, 290.0, 390.0])
t0, pi = tau0(ea, tp, 0.1), np.full(3, 1 / 3)
res = velmora_core.run_tsdc_em_loop(t, intensity, ea, t0, tp, pi, np.ones(3), [False] * 3,
                                    [False] * 3, 0.1, 2.9, 3.0, 100.0, 500.0, 2, 0.0)
out += [res[1], ea, t0, tp, pi]
print(" ".join(np.asarray(v, dtype=float).tobytes().hex() for v in out))
"""


def test_results_do_not_depend_on_pool_size():
    outputs = {threads: run_python(POOL_SCRIPT, threads=threads) for threads in (1, 2, 3)}
    assert outputs[1] == outputs[2] == outputs[3]


# ---------------------------------------------------------------------------------------------
# Mixture fit

TWO_PEAKS = thermogram([(0.7, 200.0, 0.4), (1.2, 290.0, 0.6)], 140.0, 340.0, 240, 2e4, seed=5)


def mixture_args(**overrides):
    t, intensity = TWO_PEAKS
    ea = np.array([0.6, 1.0])
    tp = np.array([195.0, 285.0])
    args = dict(t=t, intensity=intensity, ea=ea, tau0=tau0_of(ea, tp), tp=tp,
                pi=np.array([0.5, 0.5]), dirichlet_alpha=np.ones(2), fix_ea=[False, False],
                fix_tp=[False, False], beta=BETA, ea_min=0.1, ea_max=3.0, t_min=140.0,
                t_max=340.0, max_iter=2, r_eps=0.0)
    args.update(overrides)
    arrays = ("t", "intensity", "ea", "tau0", "tp", "pi", "dirichlet_alpha")
    return {k: np.array(v, dtype=np.float64) if k in arrays else v for k, v in args.items()}


def run_mixture(args):
    """Runs run_tsdc_em_loop on fresh copies; returns (result, ea, tau0, tp, pi)."""
    a = {k: v.copy() if isinstance(v, np.ndarray) else v for k, v in args.items()}
    return velmora_core.run_tsdc_em_loop(**a), a["ea"], a["tau0"], a["tp"], a["pi"]


MIXTURE_CASES = {
    "two free peaks": {},
    "fix_tp on one": dict(fix_tp=[False, True]),
    "fix_ea on all": dict(fix_ea=[True, True], fix_tp=[False, False]),
    "bounds never bracket (quasi-Newton fallback)": dict(ea_min=2.5, ea_max=3.0),
    "zero-weight component without tp or flags": dict(pi=[1.0, 0.0], tp=[195.0],
                                                       tau0=[1.0, 1.0], fix_ea=[False],
                                                       fix_tp=[False]),
    "uniform background": dict(pi=[0.45, 0.45, 0.1], dirichlet_alpha=np.ones(3), bg_type=1),
    "triangular background": dict(pi=[0.45, 0.45, 0.1], dirichlet_alpha=np.ones(3), bg_type=3,
                                  s_tri=0.2),
    "intensity shorter than t": dict(intensity=TWO_PEAKS[1][:200]),
}


@pytest.mark.parametrize("case", MIXTURE_CASES)
def test_mixture_bit_identical_to_reference(case):
    a = mixture_args(**MIXTURE_CASES[case])
    (n_iter, ll, rel, s_tri), ea, tau0, tp, pi = run_mixture(a)
    expected = ref.run_em_tsdc(a["t"], a["intensity"], a["ea"], a["tau0"], a["tp"], a["pi"],
                               a["dirichlet_alpha"], a["fix_ea"], a["fix_tp"], a["beta"],
                               a["ea_min"], a["ea_max"], a["t_min"], a["t_max"], a["max_iter"],
                               a["r_eps"], a.get("bg_type", 0), a.get("s_tri", 0.0))
    r_iter, r_ll, r_rel, r_ea, r_tau0, r_tp, r_pi, r_s_tri = expected
    assert n_iter == r_iter and s_tri == r_s_tri
    for got, want in ((ll, r_ll), (rel, r_rel), (ea, r_ea), (tau0, r_tau0), (tp, r_tp),
                      (pi, r_pi)):
        assert same_bits(got, want)


def test_mixture_with_every_ea_fixed_changes_only_pi():
    a = mixture_args(fix_ea=[True, True], max_iter=3)
    _, ea, tau0, tp, pi = run_mixture(a)
    assert np.array_equal(ea, a["ea"]) and np.array_equal(tau0, a["tau0"])
    assert np.array_equal(tp, a["tp"]) and not np.array_equal(pi, a["pi"])


def test_mixture_fallback_leaves_tau0_on_the_peak_condition():
    _, ea, tau0, tp, _ = run_mixture(mixture_args(ea_min=2.5, ea_max=3.0))
    assert np.all((ea >= 2.5) & (ea <= 3.0))
    assert np.array_equal(tau0, tau0_of(ea, tp))


def test_max_iter_zero_returns_starting_point():
    a = mixture_args(max_iter=0, s_tri=0.3)
    (n_iter, ll, rel, s_tri), ea, tau0, tp, pi = run_mixture(a)
    assert (n_iter, len(ll), list(rel), s_tri) == (0, 1, [0.0], 0.3)
    for got, k in ((ea, "ea"), (tau0, "tau0"), (tp, "tp"), (pi, "pi")):
        assert np.array_equal(got, a[k])


@pytest.mark.parametrize("overrides", [
    dict(tau0=[1.0], max_iter=0),
    dict(tp=[195.0], max_iter=1),
    dict(fix_ea=[False], max_iter=1),
    dict(fix_tp=[False], max_iter=1),
    dict(intensity=np.ones(241), max_iter=0),
], ids=["tau0 short (tested before any iteration)", "tp short", "fix_ea short",
        "fix_tp short", "intensity longer than t"])
def test_length_rules_raise_internal_error_and_leave_arrays(overrides):
    a = mixture_args(**overrides)
    before = {k: v.copy() for k, v in a.items() if isinstance(v, np.ndarray)}
    with pytest.raises(InternalError):
        velmora_core.run_tsdc_em_loop(**a)
    assert all(np.array_equal(before[k], a[k]) for k in before)


def test_short_tp_unnoticed_without_iterations():
    (n_iter, *_), *_ = run_mixture(mixture_args(tp=[195.0], fix_ea=[], max_iter=0))
    assert n_iter == 0


def test_nan_bound_in_fallback_is_an_internal_error():
    a = mixture_args(ea_min=2.5, ea_max=3.0, t_min=math.nan)
    before = {k: v.copy() for k, v in a.items() if isinstance(v, np.ndarray)}
    with pytest.raises(InternalError):
        velmora_core.run_tsdc_em_loop(**a)
    assert all(np.array_equal(before[k], a[k]) for k in before)


def test_three_peak_mixture_recovers_every_peak():
    truth = [(0.6, 180.0, 0.3), (1.0, 280.0, 0.45), (1.6, 400.0, 0.25)]
    t, intensity = thermogram(truth, 100.0, 500.0, 2000, 1e6, seed=3)
    ea, tp = np.array([0.45, 1.25, 1.3]), np.array([170.0, 292.0, 385.0])
    tau0, pi = tau0_of(ea, tp), np.full(3, 1 / 3)
    n_iter, ll, rel, _ = velmora_core.run_tsdc_em_loop(
        t, intensity, ea, tau0, tp, pi, np.ones(3), [False] * 3, [False] * 3, BETA, 0.05, 5.0,
        100.0, 500.0, 200, 1e-10)
    assert n_iter < 200 and abs(rel[-1]) < 1e-10
    for k, (e, p, share) in enumerate(truth):
        assert ea[k] == pytest.approx(e, rel=0.01) and abs(tp[k] - p) < 0.5
        assert pi[k] == pytest.approx(share, abs=0.01)
        assert tau0[k] == pytest.approx(ref.tau0_from_tp(ea[k], tp[k], BETA), rel=1e-6)


@pytest.mark.parametrize("bounds, message", [
    ((0.5, math.nan, 300.0, 400.0), "min = 0.5, max = NaN"),
    ((0.5, 2.0, math.nan, 400.0), "min = NaN, max = 400.0"),
], ids=["activation energy", "peak temperature"])
def test_lbfgsb_nan_bound_raises_the_clamp_message(bounds, message):
    t = np.linspace(300.0, 400.0, 201)
    intensity = 1e4 * velmora_core.tsdc_predict(t, 1.0, 1e-12, 0.1)
    with pytest.raises(InternalError) as info:
        velmora_core.tsdc_mle_lbfgsb(t, intensity, 1.0, 1e-12, 350.0, bounds[0], bounds[1],
                                     bounds[2], bounds[3], 0.1)
    assert str(info.value) == "min > max, or either was NaN. " + message
