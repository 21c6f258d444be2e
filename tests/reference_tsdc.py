"""Slow, obviously sequential evaluations of the exponential integrals and of the TSDC model,
its root fit and its mixture fit, for exact comparison with the extension.

Plain Python floats and the ``math`` module call the same C library as the extension, and
every operation below is written in the extension's order, so a correct extension agrees with
these functions to the last bit (compare with ``==`` or on the bytes).

The parallel sums of the TSDC fits are reproduced by ``block_sum``: blocks of ``SUM_GRAIN``
points summed in index order from -0.0, combined by a fixed pairwise tree.
"""
import math

import reference
from reference import fdiv, fexp, flog

EULER = 0.5772156649015329
K_B = 8.61733034e-5
INV_K_B = 11604.522056653568
AREA_FLOOR = 1e-100
LOG_FLOOR = 1e-200
SCORE_FLOOR = 1e-10
EMPTY_WEIGHT = 1e-300
ROOT_TOL = 1e-8
SUM_GRAIN = 256
EN_UNDERFLOW = 709.782712893384
TWO_M53 = 2.0 ** -53
TWO_57 = 2.0 ** 57
TWO_M57 = 2.0 ** -57


def flog10(a):
    if a > 0.0 or math.isnan(a) or math.isinf(a):
        return math.log10(a) if a > 0.0 else math.nan
    return -math.inf if a == 0.0 else math.nan


# ---------------------------------------------------------------------------------------------
# Exponential integrals


def ei(x):
    x = float(x)
    if x == 0.0:
        return -math.inf
    if x < 0.0 and x >= -1.0:
        big = -x
        s, r = 1.0, 1.0
        for k in range(1, 26):
            r = (((-r) * k) * big) / ((k + 1) * (k + 1))
            s = s + r
            if abs(r) <= abs(s) * 1e-15:
                break
        return -(((-EULER) - math.log(big)) + big * s)
    if x < -1.0:
        big = -x
        m = int(math.trunc(-80.0 / x)) + 20
        t = 0.0
        for k in range(m, 0, -1):
            t = k / (k / (big + t) + 1.0)
        return -((1.0 / (big + t)) * fexp(-big))
    if x > 0.0 and x <= 40.0:
        s, r = 1.0, 1.0
        for k in range(1, 101):
            r = ((r * k) * x) / ((k + 1) * (k + 1))
            s = s + r
            if abs(r / s) <= 1e-15:
                break
        return (math.log(x) + EULER) + s * x
    if x > 1.7976931348623157e308:
        return math.inf
    s, r = 1.0, 1.0
    for k in range(1, 21):
        r = (r * k) / x
        s = s + r
    return (fexp(x) / x) * s


def en(n, x):
    x = float(x)
    if math.isnan(x) or x < 0.0:
        return math.nan
    if x > EN_UNDERFLOW:
        return 0.0
    if x == 0.0:
        return math.inf if n == 1 else 1.0 / (n - 1)
    if x <= 1.0:
        psi = (-EULER) - math.log(x)
        for i in range(1, n):
            psi = psi + 1.0 / i
        s = 0.0 if n == 1 else 1.0 / (1 - n)
        y, p, j = 1.0, 1.0 - n, 0.0
        while True:
            j = j + 1.0
            y = y * ((-x) / j)
            p = p + 1.0
            if p != 0.0:
                s = s + y / p
            if s != 0.0 and abs(y / s) <= TWO_M53:
                break
        assert n in (1, 2)  # 1/Gamma(n) is exactly 1
        return (math.pow(-x, n - 1) * psi) * 1.0 - s
    k, p2, q2, p1, q1 = 1, 1.0, x, 1.0, n + x
    a = 1.0 / q1
    while True:
        k += 1
        if k % 2:
            u, v = 1.0, float(n + (k - 1) // 2)
        else:
            u, v = x, float(k // 2)
        p = p1 * u + p2 * v
        q = q1 * u + q2 * v
        if q != 0.0:
            r = p / q
            t = abs((a - r) / r)
            a = r
        else:
            t = 1.0
        p2, p1, q2, q1 = p1, p, q1, q
        if abs(p) > TWO_57:
            p2, p1, q2, q1 = p2 * TWO_M57, p1 * TWO_M57, q2 * TWO_M57, q1 * TWO_M57
        if t <= TWO_M53:
            break
    return fexp(-x) * a


# ---------------------------------------------------------------------------------------------
# Peak model


def peak_current(t, ea, tau0, beta):
    z = fdiv(ea * INV_K_B, t)
    e = en(2, z)
    q = fdiv(-1.0, beta * tau0) * t
    a = fdiv(fdiv(ea, -K_B), t)
    return fdiv(fexp(e * q + a), beta * tau0)


def tsdc_pdf(t, ea, tau0, beta):
    t = [float(v) for v in t]
    out = [peak_current(ti, ea, tau0, beta) for ti in t]
    area = -0.0
    for i in range(len(out) - 1):
        area = area + (t[i + 1] - t[i]) * ((out[i] + out[i + 1]) * 0.5)
    area = area + AREA_FLOOR
    return [fdiv(v, area) for v in out]


def tau0_from_tp(ea, tp, beta):
    u = K_B * tp
    return fexp(fdiv(-ea, u)) * fdiv(tp * u, beta * ea)


def log_likelihood(t, w, ea, tau0, beta):
    p = tsdc_pdf(t, ea, tau0, beta)
    ll = -0.0
    for i in range(min(len(t), len(w))):
        ll += flog(p[i] + LOG_FLOOR) * w[i]
    return ll


def block_sum(terms, grain=SUM_GRAIN):
    """The extension's parallel sum: fixed blocks from -0.0, fixed pairwise tree."""
    if not terms:
        return -0.0
    parts = []
    for b in range(0, len(terms), grain):
        acc = -0.0
        for v in terms[b:b + grain]:
            acc += v
        parts.append(acc)

    def combine(lo, hi):
        if hi - lo == 1:
            return parts[lo]
        mid = lo + (hi - lo) // 2
        return combine(lo, mid) + combine(mid, hi)

    return combine(0, len(parts))


def sums_a_b(t, w, ea):
    m = min(len(t), len(w))
    a_terms, b_terms = [], []
    for i in range(m):
        z = fdiv(ea * INV_K_B, t[i])
        a_terms.append(en(2, z) * (w[i] * t[i]))
        b_terms.append(ei(fdiv(ea * -INV_K_B, t[i])) * (w[i] * -INV_K_B))
    return block_sum(a_terms), block_sum(b_terms)


# ---------------------------------------------------------------------------------------------
# Root fit


def fit_find_root(t, w, ea, tau0, tp, ea_min, ea_max, beta, fix_ea=False, fix_tp=False):
    """Returns (error or None, ea, tau0, tp), the values as the fit leaves them."""
    t, w = [float(v) for v in t], [float(v) for v in w]
    if fix_ea:
        return None, ea, tau0, tp
    m = min(len(t), len(w))
    w_sum = block_sum(w)
    c_sum = block_sum([fdiv(w[i], t[i] * K_B) for i in range(m)])
    seen = {}

    def ab(e):
        if e not in seen:
            seen[e] = sums_a_b(t, w, e)
        return seen[e]

    def g(e):
        a, b = ab(e)
        return flog10((c_sum + SCORE_FLOOR) * beta) + (
            (flog10(a) - flog10((w_sum + SCORE_FLOOR) * beta)) - flog10(b))

    root, error = reference.brentq(g, ea_min, ea_max, ROOT_TOL)
    if error:
        return "brentq failed: " + error, ea, tau0, tp
    ea = root
    total = 0.0
    for v in w:
        total += v
    tau0 = fdiv(ab(ea)[0], total * beta)
    if fix_tp:
        return None, ea, tau0_from_tp(ea, tp, beta), tp
    log_tau0 = flog(tau0)

    def h(temp):
        return (flog(fdiv(temp * (temp * K_B), beta * ea)) - fdiv(ea, temp * K_B)) - log_tau0

    root, error = reference.brentq(h, 1.0, 2000.0, ROOT_TOL)
    if error:
        return "brentq failed: " + error, ea, tau0, tp
    return None, ea, tau0, root


# ---------------------------------------------------------------------------------------------
# Mixture fit


def run_em_tsdc(t, intensity, ea, tau0, tp, pi, alpha, fix_ea, fix_tp, beta, ea_min, ea_max,
                t_min, t_max, max_iter, r_eps, bg_type=0, s_tri=0.0, basis=()):
    """The TSDC mixture fit.  The quasi-Newton fallback of a component is the extension's own
    tsdc_mle_lbfgsb (an L-BFGS-B run cannot be replayed in Python); an error of it leaves the
    values the root fit left.  Returns (n_iter, ll_history, rel_history, ea, tau0, tp, pi,
    s_tri)."""
    import numpy as np
    import velmora_core

    t, intensity = [float(v) for v in t], [float(v) for v in intensity]
    ea, tau0, tp, pi = (list(map(float, v)) for v in (ea, tau0, tp, pi))
    alpha = list(map(float, alpha))
    k_count = len(ea)

    def peak_columns():
        if len(tau0) < k_count:
            raise reference.LengthError("tau0 shorter than ea")
        return [tsdc_pdf(t, ea[k], tau0[k], beta) for k in range(k_count)]

    def update(k, w):
        total = 0.0
        for v in w:
            total += v
        if total < EMPTY_WEIGHT:
            return
        if k >= len(tp) or k >= len(fix_ea) or k >= len(fix_tp):
            raise reference.LengthError("per-component array shorter than ea")
        error, e, t0, p = fit_find_root(t, w, ea[k], tau0[k], tp[k], ea_min, ea_max, beta,
                                        fix_ea[k], fix_tp[k])
        if error:
            try:
                e, t0, p = velmora_core.tsdc_mle_lbfgsb(
                    np.array(t), np.array(w), e, t0, p, ea_min, ea_max, t_min, t_max, beta,
                    bool(fix_ea[k]), bool(fix_tp[k]))
            except RuntimeError:
                pass
        ea[k], tau0[k], tp[k] = e, t0, p

    n_iter, ll_hist, rel_hist, pi, s_tri = reference.run_em(t, intensity, pi, alpha, k_count,
                                                            peak_columns, update, max_iter,
                                                            r_eps, t_min, t_max, bg_type, s_tri,
                                                            basis)
    return n_iter, ll_hist, rel_hist, ea, tau0, tp, pi, s_tri
