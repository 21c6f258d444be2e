"""The exponential integrals Ei and E_n of the extension against SciPy, against each other and
against the sequential transcription in reference_tsdc.

They are not module functions: the tests call them through the small C interface of
tests/capi, built with the C++ unit tests (the Makefile passes its path in VELMORA_TEST_CAPI).
"""
import ctypes
import math
import os
import pathlib

import numpy as np
import pytest
from scipy import special

import reference_tsdc

_DEFAULT_CAPI = pathlib.Path(__file__).parents[1] / "build/cpp-tests/libvelmora_test_capi.so"
_CAPI = pathlib.Path(os.environ.get("VELMORA_TEST_CAPI", _DEFAULT_CAPI))
if not _CAPI.exists():
    raise RuntimeError(f"{_CAPI} is missing: build the C++ tests first (make test-cpp)")
_lib = ctypes.CDLL(str(_CAPI))
ei = _lib.velmora_test_ei
ei.restype, ei.argtypes = ctypes.c_double, [ctypes.c_double]
en = _lib.velmora_test_en
en.restype, en.argtypes = ctypes.c_double, [ctypes.c_int32, ctypes.c_double]

# Dense sweeps of every branch, each including its end points and the doubles next to them.
EI_BRANCHES = {
    "continued fraction x < -1": np.concatenate(
        [-np.geomspace(1 + 1e-15, 745.0, 4000), [np.nextafter(-1.0, -2.0), -1e300]]),
    "series -1 <= x < 0": np.concatenate(
        [-np.geomspace(1e-300, 1.0, 4000), [-1.0, -np.nextafter(0.0, 1.0)]]),
    "series 0 < x <= 40": np.concatenate([np.geomspace(1e-300, 40.0, 4000), [40.0]]),
    "asymptotic x > 40": np.concatenate(
        [np.linspace(np.nextafter(40.0, 41.0), 709.0, 4000), [1e3, 1e300]]),
}
EN_BRANCHES = {
    "series 0 < x <= 1": np.concatenate([np.geomspace(1e-300, 1.0, 4000), [1.0]]),
    "continued fraction x > 1": np.concatenate(
        [np.linspace(np.nextafter(1.0, 2.0), 709.782712893384, 4000)]),
}


def rel_err(got, want):
    """Relative error with NaN and infinities compared exactly."""
    got, want = np.asarray(got, float), np.asarray(want, float)
    same = (got == want) | (np.isnan(got) & np.isnan(want))
    with np.errstate(divide="ignore", invalid="ignore"):
        err = np.abs(got - want) / np.abs(want)
    return np.where(same, 0.0, err)


@pytest.mark.parametrize("branch", EI_BRANCHES)
def test_ei_against_scipy(branch):
    # SciPy's expi follows the same algorithm (Zhang & Jin's EIX/E1XB), so the two agree far
    # below 1e-14 everywhere.  Both share its weak spots, where the error against the true
    # Ei exceeds 1e-14 although they agree with each other: near the zero x0 = 0.37250741 of
    # Ei the series cancels against ln x + gamma (absolute error about 1e-16, relative error
    # about 1e-16 / |x - x0|), and just above 40 the 20-term asymptotic series is truncated
    # (relative error about 3e-14 at 40, below 1e-15 from 47 on).
    xs = EI_BRANCHES[branch]
    ours = np.array([ei(x) for x in xs])
    assert rel_err(ours, special.expi(xs)).max() <= 1e-14


@pytest.mark.parametrize("n", [1, 2])
@pytest.mark.parametrize("branch", EN_BRANCHES)
def test_en_against_scipy(branch, n):
    # SciPy's expn is Cephes' algorithm, the one used here.  Above x = 708.4 e^-x is subnormal
    # and the result loses relative precision in both (about 3e-13 at 709.78).
    xs = EN_BRANCHES[branch]
    ours = np.array([en(n, x) for x in xs])
    assert rel_err(ours, special.expn(n, xs)).max() <= 1e-14
    if n == 1:  # exp1 is computed by the other algorithm (E1XB), so less close
        assert rel_err(ours, special.exp1(xs)).max() <= 1e-14


def test_e1_from_both_algorithms_agree():
    # Ei(-x) = -E_1(x): the Ei series and continued fraction against the E_n series and
    # continued fraction, which are independent algorithms with different branch points.
    xs = np.concatenate([np.geomspace(1e-200, 700.0, 3000), [1.0, 1.0000001]])
    from_ei = np.array([-ei(-x) for x in xs])
    from_en = np.array([en(1, x) for x in xs])
    assert rel_err(from_ei, from_en).max() <= 5e-15


def test_e2_recurrence():
    # E_2(x) = e^-x - x E_1(x) (DLMF 8.19.12), away from the cancellation at large x.
    xs = np.geomspace(1e-12, 30.0, 2000)
    e1 = np.array([en(1, x) for x in xs])
    e2 = np.array([en(2, x) for x in xs])
    assert rel_err(e2, np.exp(-xs) - xs * e1).max() <= 1e-13


@pytest.mark.parametrize("func, branches", [("ei", EI_BRANCHES), ("en", EN_BRANCHES)])
def test_bit_identical_to_sequential_transcription(func, branches):
    # The reference module's transcription is what the TSDC tests compare against.
    for xs in branches.values():
        for x in xs[::7]:
            if func == "ei":
                assert ei(x) == reference_tsdc.ei(x), x
            else:
                assert en(1, x) == reference_tsdc.en(1, x), x
                assert en(2, x) == reference_tsdc.en(2, x), x


def sign_of(value):
    return math.copysign(1.0, value)


@pytest.mark.parametrize("x, expected", [
    (0.0, -math.inf), (-0.0, -math.inf), (math.inf, math.inf), (-math.inf, -0.0),
    (1.7976931348623157e308, math.inf),  # e^x overflows inside the asymptotic series
    (-1e308, -0.0),                       # e^-x underflows in the continued fraction
])
def test_ei_special_values(x, expected):
    got = ei(x)
    assert got == expected and sign_of(got) == sign_of(expected)


def test_ei_nan():
    assert math.isnan(ei(math.nan))


@pytest.mark.parametrize("n, x, expected", [
    (1, 0.0, math.inf), (1, -0.0, math.inf), (2, 0.0, 1.0), (2, -0.0, 1.0),
    (1, 710.0, 0.0), (2, 710.0, 0.0), (1, math.inf, 0.0), (2, math.inf, 0.0),
    (1, np.nextafter(709.782712893384, 710.0), 0.0),
    (1, -1e-300, math.nan), (2, -1.0, math.nan), (1, -math.inf, math.nan),
    (1, math.nan, math.nan), (2, math.nan, math.nan),
    (0, 1.0, math.nan), (-3, 1.0, math.nan),  # orders below 1
])
def test_en_special_values(n, x, expected):
    got = en(n, x)
    assert got == expected or (math.isnan(got) and math.isnan(expected))


def test_en_just_below_underflow_is_positive():
    assert en(1, 709.782712893384) > 0.0 and en(2, 709.782712893384) > 0.0


def test_branch_points_use_the_documented_branch():
    # Ei(-1) is the series for E_1(1), Ei just below -1 the continued fraction (m = 99);
    # Ei(40) the power series, Ei just above 40 the asymptotic series; E_n(1) the series, E_n
    # just above 1 the continued fraction.  The two neighbouring branches differ in the last
    # bits at these points, so equality with the transcription pins the branch.
    below_m1 = np.nextafter(-1.0, -2.0)
    above_40 = np.nextafter(40.0, 41.0)
    for x in (-1.0, -1.0000001, below_m1, 40.0, above_40):
        assert ei(x) == reference_tsdc.ei(x)
    for n in (1, 2):
        assert en(n, 1.0) == reference_tsdc.en(n, 1.0)
        assert en(n, np.nextafter(1.0, 2.0)) == reference_tsdc.en(n, np.nextafter(1.0, 2.0))
