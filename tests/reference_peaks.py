"""References for the Lorentzian and Doniach-Sunjic shapes.

* Sequential ``math`` evaluations of the densities and log-likelihoods, in the documented
  operation order: a correct extension agrees with them to the last bit (compare with ``==``).
* The extension's own log-likelihoods as callables (a one-component fit with ``pi = [1]`` and
  ``max_iter = 0`` returns sum_i I_i log(p_i + 1e-200) as its starting log-likelihood), so that
  an independent minimiser can be run on exactly the objective our fits minimise.
* The optimum ``scipy.optimize.minimize(method="L-BFGS-B")`` finds from the same start, with
  the same bounds and the same forward-difference gradient.
* Synthetic spectra: Poisson counts of Lorentzian or Doniach-Sunjic peaks.
"""
import math

import numpy as np
from scipy.optimize import minimize

import velmora_core
from reference import fdiv, flog

INV_PI = 0.3183098861837907
PI = 3.141592653589793
LN4 = 1.3862943611198906
FLOOR = 1e-300
LL_GUARD = 1e-200
FD_STEP = 1e-7


def cpow(a, b):
    """C's pow for the cases the densities meet (Python raises where C returns inf or nan)."""
    try:
        return math.pow(a, b)
    except OverflowError:
        return math.inf
    except ValueError:
        if a == 0.0 and b < 0:
            return math.inf
        return math.nan


def trapezoid(x, q):
    t = 0.0
    for j in range(len(x) - 1):
        t += (x[j + 1] - x[j]) * ((q[j] + q[j + 1]) * 0.5)
    return t


def weighted_ll(p, w):
    ll = 0.0
    for i in range(min(len(p), len(w))):
        ll += w[i] * flog(p[i] + LL_GUARD)
    return ll


def lorentzian_pdf(x, x0, gamma, x_min, x_max):
    x = [float(v) for v in x]
    g = 0.5 * gamma
    a = math.atan(fdiv(x_max - x0, g))
    b = math.atan(fdiv(x_min - x0, g))
    z = a * INV_PI - b * INV_PI
    if not z > FLOOR:
        z = FLOOR
    d_norm = z * PI
    q = [fdiv(gamma, ((xi - x0) * (xi - x0) + g * g) * d_norm) for xi in x]
    t = FLOOR if len(x) < 2 else trapezoid(x, q)
    if not t > FLOOR:
        t = FLOOR
    return [fdiv(qi, t) for qi in q]


def lorentzian_ll(x, w, x0, gamma, x_min, x_max):
    return weighted_ll(lorentzian_pdf(x, x0, gamma, x_min, x_max), [float(v) for v in w])


def ds_pdf(x, x0, gamma, alpha):
    x = [float(v) for v in x]
    phi = (PI * alpha) * 0.5
    a = 1.0 - alpha
    e = 0.5 * a
    g2 = gamma * gamma
    q = []
    for xi in x:
        d = xi - x0
        theta = math.atan(fdiv(d, gamma))
        q.append(fdiv(math.cos(theta * a + phi), cpow(d * d + g2, e)))
    t = trapezoid(x, q)
    if abs(t) < FLOOR:
        return [0.0] * len(x)
    return [fdiv(qi, t) for qi in q]


def ds_ll(x, w, x0, gamma, alpha):
    return weighted_ll(ds_pdf(x, x0, gamma, alpha), [float(v) for v in w])


# ---------------------------------------------------------------------------------------------
# The extension's log-likelihoods, and SciPy's optimum of the same objective

_ONE = np.ones(1)


def module_lorentzian_ll(x, w, x_min, x_max):
    """loglik(x0, gamma) of the extension (the starting LL of a one-peak fit)."""
    def loglik(x0, gamma):
        return float(velmora_core.run_lorentzian_em_loop(
            x, w, np.array([x0], float), np.array([gamma], float), _ONE.copy(), _ONE, [False],
            [False], x_min, x_max, 0, 0.0)[1][0])
    return loglik


def module_ds_ll(x, w):
    """loglik(x0, gamma, alpha) of the extension."""
    def loglik(x0, gamma, alpha):
        return float(velmora_core.run_ds_em_loop(
            x, w, np.array([x0], float), np.array([gamma], float), np.array([alpha], float),
            _ONE.copy(), _ONE, [False], [False], [False], 0.0, 1.0, 0.0, 1.0, 0.0, 1.0, 0,
            0.0)[1][0])
    return loglik


def scipy_fit(loglik, values, fixed, start, lower, upper):
    """SciPy's L-BFGS-B optimum of -loglik over the free parameters, with the settings of our
    fits (10 correction pairs, projected-gradient tolerance 1e-5, no test on the decrease of f)
    and the forward-difference gradient with the absolute step 1e-7.  Fixed parameters keep
    ``values``.  Returns the full parameter list."""
    free = [j for j, f in enumerate(fixed) if not f]

    def full(v):
        p = [float(a) for a in values]
        for j, vj in zip(free, v):
            p[j] = float(vj)
        return p

    def fun(v):
        ll = loglik(*full(v))
        g = np.empty(len(v))
        for i in range(len(v)):
            s = np.array(v, dtype=float)
            s[i] += FD_STEP
            g[i] = -(loglik(*full(s)) - ll) / FD_STEP
        return -ll, g

    lo = [lower[j] for j in free]
    hi = [upper[j] for j in free]
    res = minimize(fun, np.clip([start[j] for j in free], lo, hi), jac=True, method="L-BFGS-B",
                   bounds=list(zip(lo, hi)),
                   options=dict(maxcor=10, gtol=1e-5, ftol=0.0, maxiter=10000, maxfun=100000))
    return full(res.x)


def lorentzian_start(x, w):
    """Start of the Lorentzian fit: weighted mean and second moment about zero."""
    n = min(len(x), len(w))
    total = float(np.sum(w))
    mean = float(np.sum(x[:n] * w[:n])) / total
    spread = math.sqrt(float(np.sum(x[:n] * x[:n] * w[:n])) / total * LN4)
    return [mean, max(spread, 0.1)]


# ---------------------------------------------------------------------------------------------
# Synthetic spectra


def lorentzian_rate(x, peaks):
    """Expected counts per channel of Lorentzian peaks (centre, FWHM, area)."""
    step = x[1] - x[0]
    rate = np.zeros_like(x)
    for c, fwhm, area in peaks:
        g = fwhm / 2
        rate += area * step * g / (math.pi * ((x - c) ** 2 + g * g))
    return rate


def ds_profile(x, c, gamma, alpha):
    """Doniach-Sunjic profile normalised to unit trapezoid area on the grid."""
    d = x - c
    q = np.cos(np.arctan(d / gamma) * (1 - alpha) + math.pi * alpha / 2) / \
        (d * d + gamma * gamma) ** ((1 - alpha) / 2)
    return q / np.sum(np.diff(x) * (q[:-1] + q[1:]) * 0.5)


def ds_rate(x, peaks):
    """Expected counts per channel of Doniach-Sunjic peaks (centre, gamma, alpha, area)."""
    step = x[1] - x[0]
    return sum(area * step * ds_profile(x, c, g, a) for c, g, a, area in peaks)


def background_rate(x, bg_type, lo, hi, s_tri):
    """Density of a background kind on the grid (the basis case is built by the caller)."""
    d = hi - lo
    inside = (x >= lo) & (x <= hi)
    if bg_type == 1:
        return np.where(inside, 1 / d, 0.0)
    if bg_type == 2:
        return np.where(inside & (x >= 0), np.sqrt(np.abs(x)) / ((hi ** 1.5 - lo ** 1.5) * (2 / 3)),
                        0.0)
    if bg_type == 3:
        return np.where(inside, np.maximum((1 - s_tri) / d + 2 * s_tri / d ** 2 * (x - lo), 0), 0.0)
    raise ValueError(bg_type)


def mixture_spectrum(k, bg_type, seed, peak_rate, n=400):
    """Poisson counts of k overlapping peaks on [0, 100] plus a background of the given kind.

    ``peak_rate(x, centre, fwhm, area)`` gives one peak's expected counts.  Returns a dict with
    the grid, the counts, the true centres, widths (FWHM), mixing weights (peaks, then the
    background columns), the spline basis (bg_type 4) and the true triangular slope."""
    rng = np.random.default_rng(seed)
    x = np.linspace(0.0, 100.0, n)
    step = x[1] - x[0]
    widths = rng.uniform(2.0, 5.0, k)
    while True:  # neighbours a little more than one width apart: the peaks overlap
        centres = np.sort(rng.uniform(15.0, 85.0, k))
        if np.all(np.diff(centres) > 1.2 * np.maximum(widths[:-1], widths[1:])):
            break
    areas = rng.uniform(2e4, 6e4, k)
    rate = sum(peak_rate(x, c, w, a) for c, w, a in zip(centres, widths, areas))
    bg_area, s_tri, basis, bg_split = (3e4 if bg_type else 0.0), 0.4, None, []
    if bg_type in (1, 2, 3):
        rate = rate + bg_area * step * background_rate(x, bg_type, 0.0, 100.0, s_tri)
        bg_split = [1.0]
    elif bg_type == 4:
        basis = [np.clip(1 - x / 100, 0, 1) / 50.0, np.clip(x / 100, 0, 1) / 50.0]
        bg_split = [0.7, 0.3]
        rate = rate + bg_area * step * (0.7 * basis[0] + 0.3 * basis[1])
    total = areas.sum() + bg_area
    pi = np.array(list(areas / total) + [f * bg_area / total for f in bg_split])
    return dict(x=x, intensity=rng.poisson(rate).astype(float), centres=centres, widths=widths,
                pi=pi, basis=basis, s_tri=s_tri, rng=rng)


def reference_mixture_ll(x, intensity, peak_columns, pi, bg_type, x_min, x_max, s_tri, basis):
    """The mixture log-likelihood of the E-step from reference densities (sequential)."""
    from reference import background_columns, e_step
    x = [float(v) for v in x]
    cols = list(peak_columns) + background_columns(bg_type, x, x_min, x_max, s_tri,
                                                   basis if basis is not None else ())
    return e_step([float(v) for v in intensity], cols, [float(p) for p in pi])[0]
