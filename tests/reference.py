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


def fexp(a):
    """C's exp: +inf on overflow (Python raises)."""
    try:
        return math.exp(a)
    except OverflowError:
        return math.inf


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


def fpow(a, b):
    """C's pow for a real result: nan for a negative base with a fractional exponent."""
    try:
        r = math.pow(a, b)
    except ValueError:
        return math.nan
    return r


def brentq(f, lo, hi, delta):
    """Brent's method as the extension runs it; returns (root, error name or None)."""
    f_lo, f_hi = f(lo), f(hi)
    if abs(f_lo) > abs(f_hi):
        a, fa, b, fb = lo, f_lo, hi, f_hi
    else:
        a, fa, b, fb = hi, f_hi, lo, f_lo
    if f_lo * f_hi > 0:
        return None, "NoBracketing"
    c, fc, d, m = a, fa, a, True
    for _ in range(100):
        if abs(fa) < delta:
            return a, None
        if abs(fb) < delta:
            return b, None
        if abs(a - b) < delta:
            return c, None
        if fa != fc and fb != fc:
            t_a = fdiv((fb * a) * fc, (fa - fc) * (fa - fb))
            t_b = fdiv((fa * b) * fc, (fb - fc) * (fb - fa))
            t_c = fdiv((fa * c) * fb, (fc - fb) * (fc - fa))
            s = (t_b + t_a) + t_c
        else:
            s = b - fdiv((b - a) * fb, fb - fa)
        if (((a * 3 + b) * (-0.25) + s) * (s - b) > 0
                or (m and abs(s - b) >= abs(b - c) * 0.5)
                or (not m and abs(s - b) >= abs(c - d) * 0.5)
                or (m and abs(b - c) < delta)
                or (not m and abs(c - d) < delta)):
            s, m = (b + a) * 0.5, True
        else:
            m = False
        fs = f(s)
        d, c, fc = c, b, fb
        if fa * fs < 0:
            b, fb = s, fs
            fa = f(a)
        else:
            a, fa = s, fs
            fb = f(b)
        if not abs(fa) > abs(fb):
            a, b, fa, fb = b, a, fb, fa
    return None, "NoConvergency"


def background_columns(bg_type, x, lo, hi, s_tri, basis):
    """The background columns of the density matrix for a code."""
    n = len(x)
    inside = [lo <= xi <= hi for xi in x]
    if bg_type == 0:
        return []
    if bg_type == 4:
        if any(len(b) != n for b in basis):
            raise LengthError("basis vector length differs from the grid")
        return [list(map(float, b)) for b in basis]
    if bg_type == 1:
        d = hi - lo
        return [[fdiv(1.0, d) if d > 0 and ok else 0.0 for ok in inside]]
    if bg_type == 2:
        g = (fpow(hi, 1.5) - fpow(lo, 1.5)) * 0.6666666666666666
        if math.isnan(g) or not abs(g) > 1e-300:
            g = 1.0
        return [[math.sqrt(xi) / g if ok and xi >= 0 else 0.0 for xi, ok in zip(x, inside)]]
    if bg_type == 3:
        d = hi - lo
        a = fdiv(2.0 * s_tri, d * d)
        b = fdiv(1.0 - s_tri, d) - lo * a
        col = []
        for xi, ok in zip(x, inside):
            v = a * xi + b
            col.append(v if ok and v > 0 else 0.0)
        return [col]
    return [[0.0] * n]


def update_triangle_slope(x, v, lo, hi):
    n = min(len(v), len(x))
    d = hi - lo
    d2 = d * d
    e = fdiv(2.0, d2)
    f = fdiv(-1.0, d) - lo * e

    def score(s):
        a = fdiv(s + s, d2)
        b = fdiv(1.0 - s, d) - a * lo
        total = 0.0
        for i in range(n):
            if lo <= x[i] <= hi:
                total += fdiv((x[i] * e + f) * v[i], (a * x[i] + b) + 1e-5)
        return total

    s0, s1 = score(0.0), score(0.99999)
    end = 0.0 if s0 <= 0 else 0.99999
    if not s0 * s1 <= 0:
        return end
    root, error = brentq(score, 0.0, 0.99999, 1e-8)
    if error:
        return end
    return min(0.99999, max(0.0, root)) if not math.isnan(root) else root


def run_em(x, intensity, pi, alpha, k_count, peak_columns, update, max_iter, r_eps, x_min,
           x_max, bg_type=0, s_tri=0.0, basis=()):
    """The EM driver, sequentially.  ``peak_columns()`` gives the K peak density columns for
    the current parameters; ``update(k, w)`` refits component k in place from its weights
    (it reads only component k, so this equals collecting every result first).
    Returns (n_iter, ll_history, rel_history, pi, s_tri)."""
    n = len(x)

    def densities():
        return peak_columns() + background_columns(bg_type, x, x_min, x_max, s_tri, basis)

    ll_prev, _, resp = e_step(intensity, densities(), pi)
    ll_hist, rel_hist, n_iter = [ll_prev], [0.0], 0
    while n_iter < max_iter:
        pi = update_mixing_weights(pi, intensity, resp, alpha)
        for k in range(k_count):
            update(k, [intensity[i] * resp[k][i] for i in range(min(len(intensity), n))])
        if bg_type == 3:
            v = [intensity[i] * resp[k_count][i] for i in range(min(len(intensity), n))]
            s_tri = update_triangle_slope(x, v, x_min, x_max)
        ll, _, resp = e_step(intensity, densities(), pi)
        rel = fdiv(ll - ll_prev, abs(ll_prev))
        ll_hist.append(ll)
        rel_hist.append(rel)
        n_iter += 1
        if r_eps > abs(rel):
            break
        ll_prev = ll
    return n_iter, ll_hist, rel_hist, pi, s_tri


def run_em_gaussian(x, intensity, mu, sigma, pi, alpha, fix_mu, fix_sigma, max_iter, r_eps,
                    x_min=0.0, x_max=1.0, bg_type=0, s_tri=0.0, basis=()):
    """The Gaussian EM fit with an optional background.
    Returns (n_iter, ll_history, rel_history, mu, sigma, pi, s_tri)."""
    x, intensity = list(map(float, x)), list(map(float, intensity))
    x_min, x_max, s_tri = float(x_min), float(x_max), float(s_tri)
    mu, sigma, pi = list(map(float, mu)), list(map(float, sigma)), list(map(float, pi))
    alpha = list(map(float, alpha))
    k_count = len(mu)
    n = len(x)

    def peak_columns():
        return [gaussian_density(x, mu[k], sigma[k]) if k < len(sigma) else [0.0] * n
                for k in range(k_count)]

    def update(k, w):
        if k >= len(sigma) or k >= len(fix_mu) or k >= len(fix_sigma):
            raise LengthError("per-component array shorter than mu")
        mu[k], sigma[k] = gaussian_update(w, x, mu[k], sigma[k], fix_mu[k], fix_sigma[k])

    n_iter, ll_hist, rel_hist, pi, s_tri = run_em(x, intensity, pi, alpha, k_count,
                                                  peak_columns, update, max_iter, r_eps,
                                                  x_min, x_max, bg_type, s_tri, basis)
    return n_iter, ll_hist, rel_hist, mu, sigma, pi, s_tri
