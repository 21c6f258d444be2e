"""Sequential references for the pseudo-Voigt shape.

* Plain ``math`` evaluations of the profile, the part weights, the width equation S, the
  centre map U, the conditional maximisation and the eta grids, in the documented operation
  order (products left to right, squares as d * d): a correct extension agrees with them to the
  last bit (compare with ``==``).
* A vectorised log-likelihood T for SciPy's L-BFGS-B and the full optimisation with SciPy as
  its minimiser, for comparison within a tolerance.
* Synthetic Raman-like spectra: Poisson counts of overlapping pseudo-Voigt bands.
"""
import math

import numpy as np
from scipy.optimize import minimize

from reference import brentq, fdiv, fexp, flog

FWHM_PER_SIGMA = 2.3548200450309493
SQRT_2PI = 2.5066282746310002
PI = 3.141592653589793
INV_PI = 0.3183098861837907
TWO_PI = 6.283185307179586
EIGHT_LN2 = 5.545177444479562
FLOOR = 1e-300
GUARD = 1e-20
DELTA = 1e-10
FD_STEP = 1e-7


def fatan(a):
    return math.atan(a)


def mass(x0, g, x_min, x_max):
    a = fatan(fdiv(x_max - x0, g))
    b = fatan(fdiv(x_min - x0, g))
    z = (a - b) * INV_PI
    return z if z > FLOOR else FLOOR


class Peak:
    def __init__(self, x0, gamma, x_min, x_max):
        self.x0 = x0
        self.sigma = fdiv(gamma, FWHM_PER_SIGMA)
        self.g = 0.5 * gamma
        self.z = mass(x0, self.g, x_min, x_max)

    def normal(self, x):
        d = x - self.x0
        return fdiv(fexp(fdiv(fdiv(d, self.sigma) * (-0.5) * d, self.sigma)),
                    SQRT_2PI * self.sigma)

    def lorentz(self, x):
        d = x - self.x0
        return fdiv(self.g, (d * d + self.g * self.g) * PI)

    def profile(self, x, eta):
        return eta * self.normal(x) + fdiv(1.0 - eta, self.z) * self.lorentz(x)


def predict(x, x0, gamma, eta, x_min, x_max):
    p = Peak(x0, gamma, x_min, x_max)
    return [p.profile(float(v), eta) for v in x]


def loglik(x, w, x0, gamma, eta, x_min, x_max, one_minus=None):
    """T = sum_i w_i log(eta N + ((1 - eta)/Z) L + 1e-20)."""
    p = Peak(x0, gamma, x_min, x_max)
    coef = fdiv(1.0 - eta if one_minus is None else one_minus, p.z)
    t = 0.0
    for i in range(min(len(x), len(w))):
        t += w[i] * flog(eta * p.normal(x[i]) + coef * p.lorentz(x[i]) + GUARD)
    return t


# ---------------------------------------------------------------------------------------------
# Conditional maximisation


class PartWeights:
    def __init__(self, x, w, x0, gamma, eta, x_min, x_max):
        n = min(len(x), len(w))
        self.x, self.w, self.x_min, self.x_max = x[:n], w[:n], x_min, x_max
        p = Peak(x0, gamma, x_min, x_max)
        self.rg, self.rl = [], []
        for i in range(n):
            gauss, lor = p.normal(x[i]), p.lorentz(x[i])
            d = eta * gauss + fdiv(1.0 - eta, p.z) * lor + FLOOR
            self.rg.append(fdiv(eta * gauss, d))
            self.rl.append(fdiv((1.0 - eta) * lor, d))
        self.e = self.f = 0.0
        for i in range(n):
            self.e += w[i] * self.rg[i]
        for i in range(n):
            self.f += w[i] * self.rl[i]


def gamma_score(pw, x0, gamma):
    """S(x0, gamma)."""
    g = gamma / 2
    h = 0.0
    for i in range(len(pw.x)):
        d = pw.x[i] - x0
        h += fdiv(0.5 * pw.w[i] * pw.rl[i], d * d + g * g)
    spread = 0.0
    for i in range(len(pw.x)):
        d = pw.x[i] - x0
        spread += pw.w[i] * pw.rg[i] * (d * d)
    z = mass(x0, g, pw.x_min, pw.x_max)
    a = fdiv(x0 - pw.x_max, (x0 - pw.x_max) * (x0 - pw.x_max) + g * g)
    b = fdiv(x0 - pw.x_min, (x0 - pw.x_min) * (x0 - pw.x_min) + g * g)
    g2 = gamma * gamma
    g3 = gamma * gamma * gamma
    g4 = gamma * gamma * gamma * gamma
    return ((pw.f - pw.e) * g2 - g4 * h - fdiv(g3 * pw.f * (a - b), TWO_PI * z)
            + EIGHT_LN2 * spread)


def x0_update(pw, x0, gamma):
    """U(x0, gamma)."""
    g = gamma / 2
    z = mass(x0, g, pw.x_min, pw.x_max)
    c, d = pw.x_min - x0, pw.x_max - x0
    k = fdiv(EIGHT_LN2, gamma * gamma)
    sgx = s1 = s2 = 0.0
    for i in range(len(pw.x)):
        sgx += pw.w[i] * pw.rg[i] * pw.x[i]
    for i in range(len(pw.x)):
        di = pw.x[i] - x0
        s1 += fdiv(pw.w[i] * pw.rl[i] * (2 * pw.x[i]), di * di + g * g)
    for i in range(len(pw.x)):
        di = pw.x[i] - x0
        s2 += fdiv(pw.w[i] * pw.rl[i] * 2, di * di + g * g)
    ends = fdiv(g, (c * c + g * g) * PI) - fdiv(g, (d * d + g * g) * PI)
    return fdiv(k * sgx + s1 - fdiv(pw.f, z) * ends, k * pw.e + s2 + FLOOR)


def best_width(pw, x0):
    """gstar(x0), or None."""
    hi = pw.x_max - pw.x_min
    if gamma_score(pw, x0, 0.1) * gamma_score(pw, x0, hi) >= 0:  # a NaN product goes on
        return None
    root, error = brentq(lambda gm: gamma_score(pw, x0, gm), 0.1, hi, DELTA)
    return None if error else root


def residual(pw, x0):
    gs = best_width(pw, x0)
    return None if gs is None else x0_update(pw, x0, gs) - x0


def sign(v):
    return v if math.isnan(v) else math.copysign(1.0, v)


def conditional_max(x, intensity, x0, gamma, eta, x_min, x_max, fix_x0=False, fix_gamma=False,
                    fix_eta=False, trace=None):
    """The conditional maximisation; returns (x0, gamma, eta).  ``trace``, a dict, receives
    the intermediate lists (brackets, refined, residuals, candidates)."""
    x, w = [float(v) for v in x], [float(v) for v in intensity]
    x0, gamma, eta, x_min, x_max = map(float, (x0, gamma, eta, x_min, x_max))
    trace = {} if trace is None else trace
    if (fix_x0 and fix_gamma and fix_eta) or not w:
        return x0, gamma, eta
    total = 0.0
    for v in w:
        total += v
    if total == 0:
        return x0, gamma, eta
    eta0 = eta
    if not (fix_x0 and fix_gamma):
        pw = PartWeights(x, w, x0, gamma, eta0, x_min, x_max)
        width = x_max - x_min
        coarse = [x_min + k * width / 9 for k in range(10)]
        brackets = [p for p in coarse
                    if sign(gamma_score(pw, p, 0.1)) * sign(gamma_score(pw, p, width)) < 0]
        trace["brackets"] = brackets
        if brackets:
            lo, hi = brackets[0], brackets[-1]
            refined = [lo] if hi - lo < 1e-12 else [lo + j * (hi - lo) / 9 for j in range(10)]
            trace["refined"] = refined
            if len(refined) >= 2:
                res = [residual(pw, q) for q in refined]
                res = [math.nan if r is None else r for r in res]
                trace["residuals"] = res
                candidates = []
                for j in range(len(refined) - 1):
                    a, b = res[j], res[j + 1]
                    if math.isfinite(a) and math.isfinite(b) and a * b < 0:
                        def inner(t):
                            r = residual(pw, t)
                            return 0.0 if r is None else r
                        root, error = brentq(inner, refined[j], refined[j + 1], DELTA)
                        if error is None:
                            gs = best_width(pw, root)
                            if gs is not None:
                                candidates.append((root, gs))
                trace["candidates"] = candidates
                best, best_score = None, None
                for cx, cg in candidates:
                    p = Peak(cx, cg, x_min, x_max)
                    score = 0.0
                    for i in range(min(len(x), len(w))):
                        score += w[i] * flog((1.0 - eta0) * p.lorentz(x[i])
                                             + eta0 * p.normal(x[i]) + GUARD)
                    if best is None or not best_score > score:
                        best, best_score = (cx, cg), score
                if best is not None:
                    x0, gamma = best
    if not fix_eta:
        eta = conditional_eta(x, w, x0, gamma, x_min, x_max)
    return x0, gamma, eta


def conditional_eta(x, w, x0, gamma, x_min, x_max):
    best = loglik(x, w, x0, gamma, 0.8, x_min, x_max, one_minus=0.19999999999999996)
    best_eta = 0.8
    for k in range(1, 20):
        e = k * 0.01 + 0.8
        t = loglik(x, w, x0, gamma, e, x_min, x_max)
        if not t < best:
            best_eta = e
        best = best if best > t else t
    return best_eta


def full_eta(x, w, x0, gamma, eta, x_min, x_max):
    """The eta grid of the full optimisation: first strict maximum over 0.00 .. 0.99."""
    best, best_eta = -math.inf, eta
    for k in range(100):
        t = loglik(x, w, x0, gamma, k * 0.01, x_min, x_max)
        if t > best:
            best, best_eta = t, k * 0.01
    return best_eta


def run_pv_em(x, intensity, x0, gamma, eta, pi, alpha, fix_x0, fix_gamma, fix_eta, x_min,
              x_max, max_iter, r_eps, bg_type=0, s_tri=0.0, m_step=None):
    """run_pv_em_loop, sequentially.  ``m_step(x, w, x0, gamma, eta, fix_x0, fix_gamma,
    fix_eta)`` returns a component's new (x0, gamma, eta); the default is the conditional
    maximisation above (use_full_opt false).
    Returns (n_iter, ll_history, rel_history, x0, gamma, eta, pi, s_tri)."""
    if m_step is None:
        def m_step(xs, w, a, b, c, fa, fb, fc):
            return conditional_max(xs, w, a, b, c, x_min, x_max, fa, fb, fc)
    from reference import run_em
    x, intensity = [float(v) for v in x], [float(v) for v in intensity]
    x0, gamma, eta = [float(v) for v in x0], [float(v) for v in gamma], [float(v) for v in eta]
    pi, alpha = [float(v) for v in pi], [float(v) for v in alpha]
    k_count = len(x0)

    def peak_columns():
        return [predict(x, x0[k], gamma[k], eta[k], x_min, x_max) for k in range(k_count)]

    def update(k, w):
        x0[k], gamma[k], eta[k] = m_step(x, w, x0[k], gamma[k], eta[k], fix_x0[k], fix_gamma[k],
                                         fix_eta[k])

    n_iter, ll_hist, rel_hist, pi, s_tri = run_em(x, intensity, pi, alpha, k_count,
                                                  peak_columns, update, max_iter, r_eps,
                                                  x_min, x_max, bg_type, s_tri)
    return n_iter, ll_hist, rel_hist, x0, gamma, eta, pi, s_tri


# ---------------------------------------------------------------------------------------------
# Full optimisation with SciPy's L-BFGS-B


def np_loglik(x, w, x0, gamma, eta, x_min, x_max):
    """T, vectorised (agrees with ``loglik`` to rounding)."""
    n = min(len(x), len(w))
    x, w = np.asarray(x[:n], float), np.asarray(w[:n], float)
    p = Peak(x0, gamma, x_min, x_max)
    d = x - x0
    gauss = np.exp(d / p.sigma * (-0.5) * d / p.sigma) / (SQRT_2PI * p.sigma)
    lor = p.g / ((d * d + p.g * p.g) * PI)
    return float(np.sum(w * np.log(eta * gauss + (1.0 - eta) / p.z * lor + GUARD)))


def scipy_step(x, w, x0, gamma, eta, x_min, x_max, gamma_min, gamma_max, fix_x0=False,
               fix_gamma=False):
    """SciPy's L-BFGS-B optimum of -T over the free ones of (x0, gamma) at fixed eta, with our
    settings (10 pairs, pgtol 1e-5, no test on the decrease of f) and the forward-difference
    gradient with the absolute step 1e-7.  Returns (x0, gamma)."""
    free = [j for j, f in enumerate((fix_x0, fix_gamma)) if not f]
    values = [x0, gamma]
    lower, upper = [x_min, gamma_min], [x_max, gamma_max]

    def full(v):
        p = list(values)
        for j, vj in zip(free, v):
            p[j] = float(vj)
        return p

    def fun(v):
        t = np_loglik(x, w, *full(v), eta, x_min, x_max)
        g = np.empty(len(v))
        for i in range(len(v)):
            s = np.array(v, dtype=float)
            s[i] += FD_STEP
            g[i] = -(np_loglik(x, w, *full(s), eta, x_min, x_max) - t) / FD_STEP
        return -t, g

    lo, hi = [lower[j] for j in free], [upper[j] for j in free]
    res = minimize(fun, np.clip([values[j] for j in free], lo, hi), jac=True, method="L-BFGS-B",
                   bounds=list(zip(lo, hi)),
                   options=dict(maxcor=10, gtol=1e-5, ftol=0.0, maxiter=10000, maxfun=100000))
    return tuple(full(res.x))


# ---------------------------------------------------------------------------------------------
# Synthetic spectra


def pv_counts(x, bands):
    """Expected counts per channel of pseudo-Voigt bands (centre, FWHM, eta, area)."""
    step = x[1] - x[0]
    rate = np.zeros_like(x)
    for c, fwhm, eta, area in bands:
        s, g = fwhm / FWHM_PER_SIGMA, fwhm / 2
        gauss = np.exp(-0.5 * ((x - c) / s) ** 2) / (SQRT_2PI * s)
        lor = g / (PI * ((x - c) ** 2 + g * g))
        rate += area * step * (eta * gauss + (1 - eta) * lor)
    return rate


def raman_spectrum(k, bg_type, seed, n=600, lo=200.0, hi=1800.0):
    """Poisson counts of k overlapping pseudo-Voigt bands on [lo, hi] plus a constant
    (bg_type 1) or triangular (bg_type 3, slope 0.4) background.  Returns a dict with the
    grid, the counts, the true bands and a starting guess a fraction of a width off."""
    rng = np.random.default_rng(seed)
    x = np.linspace(lo, hi, n)
    span = hi - lo
    widths = rng.uniform(0.03, 0.05, k) * span
    while True:  # neighbours one to two widths apart: the bands overlap
        centres = np.sort(rng.uniform(lo + 0.15 * span, hi - 0.15 * span, k))
        gaps = np.diff(centres) / np.maximum(widths[:-1], widths[1:])
        if np.all((gaps > 1.1) & (gaps < 2.5)) or k == 1:
            break
    etas = rng.uniform(0.8, 0.99, k)
    areas = rng.uniform(2e4, 6e4, k)
    rate = pv_counts(x, zip(centres, widths, etas, areas))
    d, s_tri, bg_area = hi - lo, 0.4, 2e4
    if bg_type == 1:
        rate = rate + bg_area * (x[1] - x[0]) / d
    elif bg_type == 3:
        rate = rate + bg_area * (x[1] - x[0]) * ((1 - s_tri) / d + 2 * s_tri / d ** 2 * (x - lo))
    start_x0 = centres + rng.uniform(-0.25, 0.25, k) * widths
    start_gamma = widths * rng.uniform(0.8, 1.25, k)
    return dict(x=x, intensity=rng.poisson(rate).astype(float), centres=centres, widths=widths,
                etas=etas, start_x0=start_x0, start_gamma=start_gamma)
