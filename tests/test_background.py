"""Background components in run_em_loop: column values, the slope fit, bases and length rules."""
import math

import numpy as np
import pytest

import velmora_core
from conftest import InternalError, spectrum
from test_em_gaussian import assert_matches_reference

NO_PEAK = dict(mu=np.empty(0), sigma=np.empty(0), fix_mu=[], fix_sigma=[])


def background_values(bg_type, x, lo, hi, s_tri=0.0, basis=None):
    """The background column at each grid value, read back through the likelihood of a fit
    with no peaks and all weight on the background: LL = ln(b_i + 1e-200) for one count at i."""
    values = []
    for i in range(len(x)):
        intensity = np.zeros(len(x))
        intensity[i] = 1.0
        _, ll, _, _ = velmora_core.run_em_loop(
            x, intensity, pi=np.array([1.0]), dirichlet_alpha=np.ones(1), max_iter=0, r_eps=0.0,
            x_min=lo, x_max=hi, bg_type=bg_type, s_tri=s_tri, spline_basis_preds=basis,
            **{k: (v.copy() if isinstance(v, np.ndarray) else v) for k, v in NO_PEAK.items()})
        values.append(math.exp(ll[0]) - 1e-200 if ll[0] > -460 else 0.0)
    return np.array(values)


@pytest.mark.parametrize("bg_type, x, lo, hi, s_tri, expected", [
    (1, [-1, 0, 2, 4, 5], 0.0, 4.0, 0.0, [0, 0.25, 0.25, 0.25, 0]),
    (1, [0, 1, 2], 1.0, 1.0, 0.0, [0, 0, 0]),
    (True, [0, 2, 4], 0.0, 4.0, 0.0, [0.25, 0.25, 0.25]),
    (2, [-0.5, 0, 0.25, 1, 2], 0.0, 1.0, 0.0, [0, 0, 0.75, 1.5, 0]),
    (2, [-0.5, 0, 0.25, 1], -1.0, 1.0, 0.0, [0, 0, 0.5, 1.0]),
    (3, [0, 1, 2, 3], 0.0, 2.0, 0.5, [0.25, 0.5, 0.75, 0]),
    (3, [0, 2, 4], 0.0, 4.0, 0.0, [0.25, 0.25, 0.25]),
    (3, [0, 0.5, 1.0, 1.5, 2.0], 0.0, 2.0, -2.0, [1.5, 1.0, 0.5, 0, 0]),
    (7, [0, 1, 2], 0.0, 2.0, 0.0, [0, 0, 0]),
])
def test_background_column_values(bg_type, x, lo, hi, s_tri, expected):
    got = background_values(bg_type, np.array(x, dtype=float), lo, hi, s_tri)
    assert np.allclose(got, expected, rtol=1e-14, atol=0)


def test_spline_basis_forms_agree_and_are_copied_as_given():
    x = np.linspace(0, 1, 5)
    rows = np.array([[1.0, 2.0, 3.0, 4.0, 5.0], [0.5, 0.0, -0.5, 0.0, 0.5]])
    forms = [rows, [list(r) for r in rows], [r.copy() for r in rows], (tuple(r) for r in rows),
             [np.asarray(r, dtype=np.float32) for r in rows]]
    results = []
    for basis in forms:
        basis = list(basis) if not isinstance(basis, np.ndarray) else basis
        results.append(background_values(4, x, 0.0, 1.0, basis=basis[:1]))
    for got in results:
        assert np.allclose(got, rows[0], rtol=1e-14)


def fit_args(bg_type, n_background, **extra):
    x, intensity = spectrum(n=150, seed=4)
    intensity = intensity + np.random.default_rng(9).poisson(5 + 0.8 * x)  # sloping background
    k = 3
    m = k + n_background
    args = dict(x=x, intensity=intensity, mu=np.array([2.5, 5.5, 7.0]), sigma=np.ones(3),
                pi=np.full(m, 1.0 / m), dirichlet_alpha=np.ones(m), fix_mu=[False] * 3,
                fix_sigma=[False] * 3, max_iter=25, r_eps=1e-12, x_min=0.0, x_max=10.0,
                bg_type=bg_type, s_tri=0.1)
    args.update(extra)
    return args


BASIS = [list(np.linspace(0, 1, 150)), list(np.linspace(1, 0, 150) * 0.2)]


@pytest.mark.parametrize("bg_type, n_background, extra", [
    (1, 1, {}), (2, 1, {}), (3, 1, {}), (3, 1, dict(s_tri=-3.0)), (4, 2, dict(
        spline_basis_preds=BASIS)), (4, 0, {}), (7, 1, dict(dirichlet_alpha=[1, 1, 1, 4.0])),
    (255, 1, {}), (1, 1, dict(x_min=3.0, x_max=3.0)), (3, 1, dict(x_min=2.0, x_max=8.0)),
    (2, 1, dict(x_min=-1.0)), (3, 0, {}),
], ids=["uniform", "square root", "triangular", "triangular steep start", "spline",
        "spline without basis", "zero column", "code 255", "empty window",
        "triangular narrow window", "square root negative window", "triangular out of mixture"])
def test_bit_identical_to_sequential_reference(bg_type, n_background, extra):
    assert_matches_reference(fit_args(bg_type, n_background, **extra))


def test_background_left_out_of_the_mixture_changes_nothing():
    without = fit_args(0, 0)
    out_of_mixture = fit_args(1, 0)
    a = velmora_core.run_em_loop(**without)
    b = velmora_core.run_em_loop(**out_of_mixture)
    assert np.array_equal(a[1], b[1])
    assert np.array_equal(without["mu"], out_of_mixture["mu"])


def test_zero_column_weight_follows_its_prior():
    args = fit_args(7, 1, dirichlet_alpha=np.array([1.0, 1.0, 1.0, 6.0]), max_iter=1)
    velmora_core.run_em_loop(**args)
    total = args["intensity"].sum()  # peak counts sum to the total, the zero column counts 0
    assert args["pi"][3] == pytest.approx(5.0 / (total + 5.0), rel=1e-9)


@pytest.mark.parametrize("slope", [0.1, 0.4, 0.8])
def test_triangular_slope_is_recovered(slope):
    x = np.linspace(0.0, 10.0, 20001)
    density = (1 - slope) / 10 + 2 * slope * x / 100
    _, _, _, s_tri = velmora_core.run_em_loop(
        x, 1e6 * density, np.empty(0), np.empty(0), np.array([1.0]), np.ones(1), [], [], 1, 0.0,
        0.0, 10.0, bg_type=3)
    assert slope <= s_tri < slope + 0.01


def test_falling_background_fits_as_uniform_and_other_codes_keep_s_tri():
    x = np.linspace(0.0, 10.0, 101)
    falling = 20.0 - x
    _, _, _, s_tri = velmora_core.run_em_loop(
        x, falling, np.empty(0), np.empty(0), np.array([1.0]), np.ones(1), [], [], 3, 0.0, 0.0,
        10.0, bg_type=3, s_tri=0.5)
    assert s_tri == 0.0
    for code in (0, 1, 2, 7):
        args = fit_args(code, 0 if code == 0 else 1, s_tri=-7.5)
        assert velmora_core.run_em_loop(**args)[3] == -7.5


def test_spline_length_rule_raises_and_leaves_arrays():
    args = fit_args(4, 2, spline_basis_preds=[BASIS[0], BASIS[1][:-1]])
    before = {k: v.copy() for k, v in args.items() if isinstance(v, np.ndarray)}
    with pytest.raises(InternalError, match="basis vector 1 has 149 values"):
        velmora_core.run_em_loop(**args)
    assert all(np.array_equal(v, args[k]) for k, v in before.items())
