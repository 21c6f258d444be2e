"""Slow, obviously sequential evaluations of the EM fit, for exact comparison.

Plain Python floats and the ``math`` module call the same C library as the extension, and
every sum here runs in the documented order, so a correct extension agrees with these
functions to the last bit (compare with ``==``).
"""
import math

RESP_FLOOR = 1e-20
LL_FLOOR = 1e-200


def fdiv(a, b):
    """IEEE division (Python raises on a zero divisor where C gives inf or nan)."""
    try:
        return a / b
    except ZeroDivisionError:
        if a == 0.0 or math.isnan(a):
            return math.nan
        return math.copysign(math.inf, a) * math.copysign(1.0, b)


def flog(a):
    """C's log: -inf at zero and nan below (Python raises for both)."""
    if a > 0.0 or math.isnan(a) or math.isinf(a):
        return math.log(a) if a > 0.0 else math.nan
    return -math.inf if a == 0.0 else math.nan


class LengthError(Exception):
    """A length precondition the extension reports with its internal-error exception."""


def gaussian_density(x, mu, sigma):
    c = fdiv(1.0, sigma * 1.4142135623730951)
    q = math.sqrt(sigma * (sigma * 6.283185307179586))
    out = []
    for xi in x:
        z = (xi - mu) * c
        out.append(fdiv(math.exp(-z * z), q))
    return out


def gaussian_update(w, x, mu, sigma, fix_mu, fix_sigma):
    n = len(w)
    if (fix_mu and fix_sigma) or n == 0:
        return mu, sigma
    s = 0.0
    for wi in w:
        s += wi
    if s < 1e-300:
        return mu, sigma
    f = s + 1e-100
    m = min(n, len(x))
    new_mu = mu
    if not fix_mu:
        acc = 0.0
        for i in range(m):
            acc += x[i] * w[i]
        new_mu = fdiv(acc, f)
    new_sigma = sigma
    if not fix_sigma:
        acc = 0.0
        for i in range(m):
            d = x[i] - new_mu
            acc += w[i] * d * d
        v = fdiv(acc, f)
        new_sigma = max(math.sqrt(v), 1e-5) if v > 0 else 1e-5
    return new_mu, new_sigma


def e_step(intensity, density, pi):
    """Returns (ll, mixture, responsibilities); density and responsibilities are column lists."""
    w_len, p_len = len(intensity), len(pi)
    if p_len > len(density):
        raise LengthError("pi longer than the number of columns")
    n = len(density[0]) if density else 0
    if w_len > n:
        raise LengthError("intensity longer than the grid")
    resp = [[0.0] * n for _ in density]
    mixture = [0.0] * n
    if w_len == 0:
        return 0.0, mixture, resp
    for i in range(w_len):
        m = 0.0
        for j in range(p_len):
            m += pi[j] * density[j][i]
        mixture[i] = m
    for j in range(p_len):
        for i in range(w_len):
            resp[j][i] = fdiv(density[j][i] * pi[j], mixture[i] + RESP_FLOOR)
    ll = 0.0
    for i in range(w_len):
        ll += intensity[i] * flog(mixture[i] + LL_FLOOR)
    return ll, mixture, resp


def update_mixing_weights(pi, intensity, resp, alpha):
    p_len = len(pi)
    if p_len == 0:
        return list(pi)
    if len(alpha) < p_len:
        raise LengthError("dirichlet_alpha shorter than pi")
    v = []
    for k in range(p_len):
        n_k = 0.0
        for i in range(min(len(intensity), len(resp[k]))):
            n_k += intensity[i] * resp[k][i]
        v.append((n_k + alpha[k]) - 1.0)
    s = 0.0
    for vk in v:
        s += vk
    w = []
    for vk in v:
        q = fdiv(vk, s)
        w.append(q if q > 0 else 0.0)
    t = 0.0
    for wk in w:
        t += wk
    return [fdiv(wk, t) for wk in w]


def run_em_gaussian(x, intensity, mu, sigma, pi, alpha, fix_mu, fix_sigma, max_iter, r_eps,
                    background=None):
    """The Gaussian EM fit.  ``background(x, s_tri) -> list of columns`` supplies the background
    columns (none by default).  Returns (n_iter, ll_history, rel_history, mu, sigma, pi)."""
    x, intensity = list(map(float, x)), list(map(float, intensity))
    mu, sigma, pi = list(map(float, mu)), list(map(float, sigma)), list(map(float, pi))
    alpha = list(map(float, alpha))
    k_count = len(mu)
    n = len(x)
    bg = background or (lambda grid: [])

    def densities():
        cols = []
        for k in range(k_count):
            cols.append(gaussian_density(x, mu[k], sigma[k]) if k < len(sigma) else [0.0] * n)
        return cols + bg(x)

    ll_prev, _, resp = e_step(intensity, densities(), pi)
    ll_hist, rel_hist, n_iter = [ll_prev], [0.0], 0
    while n_iter < max_iter:
        pi = update_mixing_weights(pi, intensity, resp, alpha)
        results = []
        for k in range(k_count):
            if k >= len(sigma) or k >= len(fix_mu) or k >= len(fix_sigma):
                raise LengthError("per-component array shorter than mu")
            w = [intensity[i] * resp[k][i] for i in range(min(len(intensity), n))]
            results.append(gaussian_update(w, x, mu[k], sigma[k], fix_mu[k], fix_sigma[k]))
        for k, (m, s) in enumerate(results):
            mu[k], sigma[k] = m, s
        ll, _, resp = e_step(intensity, densities(), pi)
        rel = fdiv(ll - ll_prev, abs(ll_prev))
        ll_hist.append(ll)
        rel_hist.append(rel)
        n_iter += 1
        if r_eps > abs(rel):
            break
        ll_prev = ll
    return n_iter, ll_hist, rel_hist, mu, sigma, pi
