"""The core's whole-spectrum fits for the velmora package: bad arguments and pool size."""
import math

import numpy as np
import pytest
import velmora_core as v

from conftest import run_python

U = np.linspace(-50.0, 50.0, 201)
COUNTS = np.round(400 * np.exp(-0.5 * (U / 4.0) ** 2) + 5)
INF = math.inf


def arguments(**change):
    """A Gaussian peak on a uniform-density basis column."""
    args = dict(shape=0, u=U, counts=COUNTS, p0=np.array([1.0]), p1=np.array([5.0]),
                p2=np.zeros(1), pi=np.array([0.7, 0.3]), fix0=[False], fix1=[False],
                fix2=[False], x_min=-50.0, x_max=50.0,
                bounds=np.array([-INF, INF, -INF, INF, -INF, INF]), use_full_opt=False,
                beta=1.0, tol=1e-9, max_iter=200, spline_basis_preds=[np.full(U.size, 0.01)])
    args.update(change)
    return args


@pytest.mark.parametrize("change, message", [
    (dict(shape=6), "shape"),
    (dict(p1=np.array([5.0, 5.0])), "p1"),
    (dict(pi=np.array([1.0])), "pi"),
    (dict(fix1=[False, True]), "flag list 1"),
    (dict(bounds=np.zeros(4)), "bounds"),
    (dict(counts=COUNTS[:-1]), "counts"),
    (dict(spline_basis_preds=[np.ones(3)]), "spline_basis_preds"),
    (dict(p0=np.zeros(0), p1=np.zeros(0), pi=np.array([1.0])), "p0"),
])
def test_inconsistent_arguments_raise_value_error_and_leave_the_arrays(change, message):
    args = arguments(**change)
    before = {k: a.copy() for k, a in args.items() if isinstance(a, np.ndarray)}
    with pytest.raises(ValueError, match=message):
        v._accelerated_fit(**args)
    for k, a in before.items():
        assert np.array_equal(args[k], a)
    with pytest.raises(ValueError, match=message):
        v._fit_spectra(**dict(args, counts=np.tile(args["counts"], 2), warm=True,
                              skip=[False, False]))


POOL_SCRIPT = """
import numpy as np, velmora
from scipy.special import voigt_profile
rng = np.random.default_rng(5)
x = np.linspace(0.0, 100.0, 2000)
peaks = ((30, 1.0, 1.5, 3e5), (36, 2.0, 0.5, 2e5), (60, 1.5, 1.0, 4e5))
y = rng.poisson(sum(a * voigt_profile(x - c, s, g) / 20 for c, s, g, a in peaks) + 5)
r = velmora.fit(x, y, [velmora.Peak("voigt", x0=c) for c in (29.0, 37.0, 61.0)],
                background="linear")
print(" ".join(float(e.value).hex() + float(e.stderr).hex() for p in r.peaks for e in p.values()),
      r.n_iter)
"""


def test_fit_results_do_not_depend_on_pool_size():
    outputs = {run_python(POOL_SCRIPT, threads=t).splitlines()[-1] for t in (1, 2)}
    assert len(outputs) == 1
