"""The engine behind velmora.fit: its information against differences of its own likelihood,
its end point against an independent optimiser, ties and bounds as the fit leaves them, the
standard error of a Poisson total, and the model arguments it refuses."""
import math

import numpy as np
import pytest
import velmora_core
from scipy.optimize import minimize

import velmora

STEP = 0.02
BE = np.arange(80.0, 92.0 + STEP / 2, STEP)  # binding energy, eV


def au4f(seed=1, scale=1.0):
    """An Au 4f doublet of Doniach-Sunjic lines, a Gaussian loss feature and a Shirley step."""
    ds = lambda x0, g, a: velmora_core.doniach_sunjic_predict(BE, x0, g, a)  # noqa: E731
    peaks = scale * STEP * (50000 * ds(84.0, 0.35, 0.1) + 37500 * ds(87.67, 0.35, 0.1)
                            + 3000 * velmora_core.gaussian_predict(BE, 88.8, 0.6))
    rate = peaks + 40 + 0.02 * (np.cumsum(peaks) - 0.5 * peaks)
    return np.random.default_rng(seed).poisson(rate).astype(float)


def au4f_peaks():
    return [velmora.Peak("doniach_sunjic", name="Au4f7", x0=84.0, bounds={"x0": (83.5, 84.5)}),
            velmora.Peak("doniach_sunjic", name="Au4f5", x0="Au4f7.x0 + 3.67",
                         gamma="Au4f7.gamma", alpha="Au4f7.alpha", area="0.75 * Au4f7.area"),
            velmora.Peak("gaussian", name="loss", x0=88.5)]


@pytest.fixture(scope="module")
def doublet():
    counts = au4f()
    return counts, velmora.fit(BE, counts, au4f_peaks(), background="shirley")


def loglik(result, theta):
    return velmora_core._engine_loglik(result.setup.engine_model(result.state.values),
                                       result.counts, np.asarray(theta))


def test_ties_hold_exactly_and_report_their_expressions(doublet):
    _, r = doublet
    assert r.converged
    p7, p5 = r.peaks["Au4f7"], r.peaks["Au4f5"]
    assert p5["x0"].value - p7["x0"].value == pytest.approx(3.67, abs=1e-12)
    assert p5["area"].value == pytest.approx(0.75 * p7["area"].value, rel=1e-14)
    for name in ("gamma", "alpha"):
        assert p5[name].value == p7[name].value
        assert p5[name].tie == f"Au4f7.{name}" and p5[name].stderr == pytest.approx(
            p7[name].stderr)
    # Standard errors of tied parameters follow their ties: a shift keeps its error, a
    # proportional area scales it.
    assert p5["x0"].stderr == pytest.approx(p7["x0"].stderr, rel=1e-12)
    assert p5["area"].stderr == pytest.approx(0.75 * p7["area"].stderr, rel=1e-12)
    assert p7["x0"].tie is None and not p7["x0"].at_bound
    assert r.peaks[1] is p5 and r.peaks.names == ["Au4f7", "Au4f5", "loss"]
    assert "== 'Au4f7.x0 + 3.67'" in r.report()
    # Only the free parameters are in the covariance.
    assert "Au4f5_x0" not in r.param_names and "Au4f7_x0" in r.param_names


def test_observed_information_is_minus_the_hessian_of_the_likelihood(doublet):
    # Away from the optimum (every free parameter moved by a standard error) the score is not
    # zero and every term of the information counts, Shirley and tie terms included.
    _, r = doublet
    sd = np.sqrt(np.diag(r.covariance)) / r.setup.scale[r.setup.free]
    theta = r.state.theta + sd * np.where(np.arange(sd.size) % 2, 1.0, -1.0)
    report = velmora_core._engine_report(r.setup.engine_model(r.state.values), r.counts, theta)
    n = theta.size
    info = report["information"].reshape(n, n)
    h = 0.02 * sd
    grad = np.zeros(n)
    hess = np.zeros((n, n))
    f0 = loglik(r, theta)
    for a in range(n):
        ea = np.eye(n)[a] * h[a]
        grad[a] = (loglik(r, theta + ea) - loglik(r, theta - ea)) / (2 * h[a])
        for b in range(a + 1):
            eb = np.eye(n)[b] * h[b]
            if a == b:
                hess[a, a] = (loglik(r, theta + ea) - 2 * f0 + loglik(r, theta - ea)) / h[a] ** 2
            else:
                hess[a, b] = hess[b, a] = (
                    loglik(r, theta + ea + eb) - loglik(r, theta + ea - eb)
                    - loglik(r, theta - ea + eb) + loglik(r, theta - ea - eb)) / (4 * h[a] * h[b])
    scale = np.sqrt(np.outer(np.diag(-hess), np.diag(-hess)))
    assert np.max(np.abs((info + hess) / scale)) < 3e-4
    assert np.max(np.abs((report["score"] - grad) / np.sqrt(np.diag(-hess)))) < 3e-4


def test_the_end_point_is_at_least_as_good_as_an_independent_optimiser(doublet):
    counts, r = doublet
    setup = r.setup
    lower, upper = setup.lower, setup.upper
    theta0 = setup.read_starts(r.counts).theta[0]
    scale = np.maximum(np.abs(theta0), 1.0)
    best = -np.inf
    rng = np.random.default_rng(0)
    for k in range(5):
        start = theta0 * (1.0 if k == 0 else 1.0 + 0.02 * rng.standard_normal(scale.size))
        start = np.clip(start, lower, upper)
        res = minimize(lambda z: -loglik(r, z * scale), start / scale, method="L-BFGS-B",
                       bounds=list(zip(lower / scale, upper / scale)),
                       options=dict(maxiter=20000, maxfun=200000, ftol=1e-15, gtol=1e-10))
        best = max(best, -res.fun)
    assert r.log_likelihood >= best - 1e-8 * abs(best)


def test_one_peak_without_background_has_the_standard_error_of_a_poisson_total():
    x = np.linspace(0.0, 20.0, 801)
    rate = 5000 * velmora_core.gaussian_predict(x, 10.0, 1.2) * (x[1] - x[0])
    counts = np.random.default_rng(3).poisson(rate).astype(float)
    r = velmora.fit(x, counts, [velmora.Peak("gaussian")])
    area = r.peaks[0]["area"]
    n = counts.sum()
    assert area.value == pytest.approx(n, rel=1e-6)
    assert area.stderr == pytest.approx(math.sqrt(n), rel=1e-4)


def test_bounds_are_never_crossed_and_a_bound_that_holds_is_reported():
    counts = au4f(seed=4)
    peaks = au4f_peaks()
    peaks[0] = velmora.Peak("doniach_sunjic", name="Au4f7", x0=83.9,
                            bounds={"x0": (83.7, 83.95), "alpha": (0.0, 0.05),
                                    "gamma": (0.2, None)})
    r = velmora.fit(BE, counts, peaks, background="shirley")
    p7 = r.peaks["Au4f7"]
    assert 83.7 <= p7["x0"].value <= 83.95 and 0.0 <= p7["alpha"].value <= 0.05
    # The data want x0 = 84.0 and alpha = 0.1: both stay on their bounds, and say so.
    assert p7["x0"].value == 83.95 and p7["x0"].at_bound
    assert p7["alpha"].value == 0.05 and p7["alpha"].at_bound
    # The data determine the centre where it is held (its error is well below its scale), so
    # its uncertainty is given and counts in the others'.
    assert 0 < p7["x0"].stderr < 0.02 and "(at bound)" in r.report()
    assert any("Au4f7.x0 ended on its bound 83.95" in w for w in r.warnings)
    # The tie follows the bounded centre exactly.
    assert r.peaks["Au4f5"]["x0"].value == pytest.approx(83.95 + 3.67, abs=1e-12)
    assert r.converged


def test_mixed_shapes_recover_their_lines():
    x = np.linspace(0.0, 20.0, 1001)
    step = x[1] - x[0]
    rate = (20000 * step * velmora_core.gaussian_predict(x, 7.0, 0.5)
            + 15000 * step * velmora_core.lorentzian_predict(x, 11.0, 0.8, 0.0, 20.0) + 30.0)
    counts = np.random.default_rng(5).poisson(rate).astype(float)
    r = velmora.fit(x, counts, [velmora.Peak("gaussian", x0=6.5),
                                velmora.Peak("lorentzian", x0=11.5)], background="uniform")
    assert r.shape == "mixed" and r.converged
    g, lo = r.peaks
    for est, want in ((g["x0"], 7.0), (g["sigma"], 0.5), (g["area"], 20000.0),
                      (lo["x0"], 11.0), (lo["gamma"], 0.4), (lo["area"], 15000.0)):
        assert abs(est.value - want) < 4 * est.stderr, (est, want)


def test_a_curved_tie_holds_and_its_curvature_enters_the_information():
    # A K-alpha2 partner placed by Bragg's law: its centre is a curved function of the
    # K-alpha1 centre, and the information includes the tie's second derivative.
    two_theta = np.linspace(40.0, 41.6, 801)
    step = two_theta[1] - two_theta[0]
    ratio = 1.0024848
    ka2 = 2 * np.degrees(np.arcsin(ratio * np.sin(np.radians(40.7 / 2))))
    rate = (30000 * step * velmora_core.voigt_predict(two_theta, 40.7, 0.02, 0.02, 40.0, 41.6)
            + 15000 * step * velmora_core.voigt_predict(two_theta, ka2, 0.02, 0.02, 40.0, 41.6)
            + 20.0)
    counts = np.random.default_rng(2).poisson(rate).astype(float)
    peaks = [velmora.Peak("voigt", name="Ka1", x0=40.69),
             velmora.Peak("voigt", name="Ka2", sigma="Ka1.sigma", gamma="Ka1.gamma",
                          x0=f"2*degrees(asin({ratio}*sin(radians(Ka1.x0/2))))",
                          area="0.5 * Ka1.area")]
    r = velmora.fit(two_theta, counts, peaks, background="linear")
    assert r.converged
    x1 = r.peaks["Ka1"]["x0"].value
    want = 2 * math.degrees(math.asin(ratio * math.sin(math.radians(x1 / 2))))
    assert r.peaks["Ka2"]["x0"].value == pytest.approx(want, abs=1e-11)
    assert abs(x1 - 40.7) < 4 * r.peaks["Ka1"]["x0"].stderr
    # d(Ka2.x0) / d(Ka1.x0) carries the error over.
    slope = ratio * math.cos(math.radians(x1 / 2)) / math.sqrt(
        1 - (ratio * math.sin(math.radians(x1 / 2))) ** 2)
    assert r.peaks["Ka2"]["x0"].stderr == pytest.approx(slope * r.peaks["Ka1"]["x0"].stderr,
                                                        rel=1e-9)


def test_a_neighbouring_fit_as_start_converges_in_a_few_steps(doublet):
    _, r = doublet
    nearby = au4f(seed=2)
    warm = velmora.fit(BE, nearby, au4f_peaks(), background="shirley", start=r)
    cold = velmora.fit(BE, nearby, au4f_peaks(), background="shirley")
    assert warm.converged and warm.n_iter <= 4 < cold.n_iter
    assert warm.log_likelihood == pytest.approx(cold.log_likelihood, rel=2e-9)


def test_engine_refuses_inconsistent_models_and_leaves_the_arrays():
    counts = au4f()
    r = velmora.fit(BE, counts, au4f_peaks(), background="shirley")
    theta = r.state.theta.copy()
    model = r.setup.engine_model(r.state.values)
    with pytest.raises(ValueError, match="counts"):
        velmora_core._engine_fit(model, counts[:-1], theta, 1e-9, 100)
    with pytest.raises(ValueError, match="theta"):
        velmora_core._engine_fit(model, counts, theta[:-1].copy(), 1e-9, 100)
    with pytest.raises(ValueError, match="tol"):
        velmora_core._engine_fit(model, counts, theta, 0.0, 100)
    with pytest.raises(TypeError, match="model"):
        velmora_core._engine_fit("a model", counts, theta, 1e-9, 100)
    assert np.array_equal(theta, r.state.theta)
    u = np.linspace(-5.0, 5.0, 11)
    ints = lambda *v: np.array(v, dtype=np.int64)  # noqa: E731
    ok = dict(u=u, widths=np.ones(11), window=np.array([-5.0, 5.0]), shapes=ints(0),
              betas=np.array([1.0]), roles=ints(0, 0, 0), slots=ints(0, 1, 2),
              values=np.array([0.0, 1.0, 10.0]), scale=np.ones(3), offset=np.zeros(3),
              lower=np.array([-5.0, 0.1, 0.0]), upper=np.array([5.0, 10.0, np.inf]),
              tie_code=np.zeros(0), tie_start=ints(0), tie_target=ints(), columns=[],
              follows=[])
    velmora_core._engine_model(ok)
    tied = dict(roles=ints(0, 0, 2), lower=np.array([-5.0, 0.1]), upper=np.array([5.0, 10.0]),
                tie_start=ints(0, 1), tie_target=ints(2), slots=ints(0, 1, 0))
    for change, words in [
        # Malformed descriptions: a missing or unknown entry, codes as floats, a bad shape.
        (dict(roles=None), "'roles' expected a one-dimensional integer array"),
        (dict(roles=np.zeros(3)), "'roles' expected an array of an integer dtype"),
        (dict(shapes=np.array([0.0])), "'shapes' expected an array of an integer dtype"),
        (dict(slots=ints(0, -1, 2)), "'slots' entry 1 is negative"),
        (dict(u=u.reshape(1, -1)), "'u' expected a one-dimensional"),
        (dict(window=np.array([-5.0])), "'window' expected"),
        (dict(follows=[(1, 1)]), r"'follows\[0\]' expected a tuple"),
        (dict(bogus=1), "'bogus' is not an entry"),
        (dict(starts=dict(x=u)), "'starts.step' is missing"),
        # Descriptions that do not hold together.
        (dict(shapes=ints(99)), "shapes"),
        (dict(roles=ints(0, 0)), "roles"),
        (dict(roles=ints(0, 3, 0)), "roles"),
        (dict(slots=ints(0, 0, 1)), "used twice"),
        (dict(lower=np.array([6.0, 0.1, 0.0])), "reversed"),
        (dict(u=u[::-1].copy()), "increasing"),
        (dict(widths=-np.ones(11)), "widths"),
        (dict(tied, tie_code=np.array([1.0, 2.0])), "itself"),
        (dict(tied, tie_code=np.array([1.0, 7.0])), "reference"),
        (dict(follows=[(5, 1, np.zeros(0))]), "kind"),
        (dict(follows=[(1, 0, np.array([1.0, 1643.0]))]), "side"),
        (dict(follows=[(1, 1, np.array([1.0]))]), "takes 2 parameters"),
        (dict(follows=[(1, 1, np.array([1.0, -5.0]))]), "C must be finite and positive"),
        (dict(follows=[(2, -1, np.array([1.0, 551.0, np.nan]))]),
         "D must be finite and positive"),
        (dict(follows=[(1, 1, np.array([0.0, 1643.0]))]), "x_scale"),
    ]:
        description = dict(ok, **change)
        if change.get("roles", 0) is None:
            del description["roles"]
            words = "'roles' is missing"
        with pytest.raises(ValueError, match=words):
            velmora_core._engine_model(description)
    with pytest.raises(TypeError, match="expected a dict"):
        velmora_core._engine_model(list(ok.items()))


def test_results_do_not_depend_on_the_number_of_workers_with_ties_and_shirley():
    from conftest import run_python

    code = f"""
import sys; sys.path.insert(0, {__file__.rsplit('/', 1)[0]!r})
from test_package_engine import BE, au4f, au4f_peaks
import velmora
r = velmora.fit(BE, au4f(), au4f_peaks(), background="shirley")
print(repr([e.value for p in r.peaks for e in p.values()] + r.covariance.ravel().tolist()),
      r.n_iter)
"""
    assert run_python(code, threads=1) == run_python(code, threads=2)


def test_a_result_survives_pickling_with_its_model(doublet):
    import pickle

    _, r = doublet
    again = pickle.loads(pickle.dumps(r))
    x = np.linspace(81.0, 91.0, 333)
    assert np.array_equal(again.eval(x), r.eval(x))
    assert again.peaks["Au4f5"]["x0"].tie == "Au4f7.x0 + 3.67"
    warm = velmora.fit(BE, au4f(seed=3), au4f_peaks(), background="shirley", start=again)
    assert warm.converged
