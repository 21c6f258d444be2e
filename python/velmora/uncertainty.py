"""Standard errors from the observed information of the binned likelihood.

Given the total count N, the counts are multinomial over the grid with cell probabilities
proportional to the mixture density m(x_i) = sum_j pi_j f_j(x_i), where the f_j are the peak
densities of the core and the background columns; its log-likelihood is the core's own,
l = sum_i c_i log m(x_i).  The observed information is -d2l over every free shape parameter
and the mixing weights, parametrised so that they sum to one (the largest weight is the one
eliminated; the result does not depend on that choice).  Derivatives of the component
densities are central differences of the core's profile functions.  The total N is Poisson
and independent of the multinomial part, so an area N pi_j has the variance
N^2 var(pi_j) + N pi_j^2.
"""
import numpy as np


def fd_steps(shape, p, names):
    """Difference steps for the parameters ``names`` of one component (internal units)."""
    width = max((p[n] for n in ("sigma", "gamma") if n in p), default=1.0)
    steps = {}
    for name in names:
        kind = shape.kinds[name]
        if name == "tp":
            steps[name] = 1e-5 * p["tp"]
        elif name == "ea" or kind == "scale":
            steps[name] = 1e-4 * abs(p[name])
        elif kind == "location":
            steps[name] = 1e-4 * width
        else:
            steps[name] = 1e-4
    return steps


def density_derivatives(shape, ctx, u, p, names):
    """The density of one component, its gradient and Hessian in ``names`` (by differences).

    Returns ``f`` (n), ``d`` (n x q) and ``h`` (q x q x n).
    """
    q = len(names)
    h = fd_steps(shape, p, names)
    f0 = shape.density(u, p, ctx)

    def at(**shift):
        moved = dict(p)
        for name, sign in shift.items():
            moved[name] = p[name] + sign * h[name]
        return shape.density(u, moved, ctx)

    d = np.zeros((u.size, q))
    hess = np.zeros((q, q, u.size))
    for a, na in enumerate(names):
        plus, minus = at(**{na: 1}), at(**{na: -1})
        d[:, a] = (plus - minus) / (2.0 * h[na])
        hess[a, a] = (plus - 2.0 * f0 + minus) / (h[na] * h[na])
        for b in range(a):
            nb = names[b]
            mixed = (at(**{na: 1, nb: 1}) - at(**{na: 1, nb: -1}) - at(**{na: -1, nb: 1})
                     + at(**{na: -1, nb: -1})) / (4.0 * h[na] * h[nb])
            hess[a, b] = hess[b, a] = mixed
    return f0, d, hess


def weight_map(pi):
    """Sum-to-one parametrisation: pi = L phi + e, phi the weights but the largest one."""
    m = pi.size
    ref = int(np.argmax(pi))
    keep = [j for j in range(m) if j != ref]
    lmap = np.zeros((m, m - 1))
    for col, j in enumerate(keep):
        lmap[j, col] = 1.0
        lmap[ref, col] = -1.0
    return lmap, keep


def observed_information(shape, ctx, u, counts, comps, pi, free, background_columns):
    """Observed information of the multinomial likelihood (see :func:`score_and_information`).
    """
    _, info, lmap = score_and_information(shape, ctx, u, counts, comps, pi, free,
                                          background_columns)
    return info, lmap


def score_and_information(shape, ctx, u, counts, comps, pi, free, background_columns):
    """Score and observed information of the multinomial likelihood.

    Parameters
    ----------
    comps : list of dict
        Parameters of every peak (internal units).
    pi : ndarray
        Mixing weights: the peaks, then the background columns.
    free : list of tuple of str
        Free shape parameters of every peak.
    background_columns : ndarray
        Background densities on the grid (columns x points).

    Returns
    -------
    score : ndarray
        The gradient of the log-likelihood, in the order of ``info``.
    info : ndarray
        The information matrix over the free shape parameters (peak by peak, in ``free``'s
        order) followed by the weights but the largest.
    lmap : ndarray
        The map from those weights to all weights (see :func:`weight_map`).
    """
    k = len(comps)
    dens, grads, hessians = [], [], []
    for p, names in zip(comps, free):
        f, d, hh = density_derivatives(shape, ctx, u, p, names)
        dens.append(f)
        grads.append(d)
        hessians.append(hh)
    columns = np.vstack([np.array(dens).reshape(k, u.size), background_columns])
    mixture = np.einsum("j,ji->i", pi, columns)
    lmap, _ = weight_map(pi)
    with np.errstate(divide="ignore", invalid="ignore"):
        ratio = np.where(counts > 0, counts / mixture, 0.0)      # c_i / m_i
        scaled = np.where(counts > 0, np.sqrt(counts) / mixture, 0.0)

    # Gradient of m with respect to every free parameter, column by column.
    blocks = [pi[j] * grads[j] for j in range(k)]
    blocks.append(np.einsum("ji,jb->ib", columns, lmap))
    g = np.hstack(blocks)
    gs = g * scaled[:, None]
    # einsum's own loops rather than BLAS: right after a fit the core's worker threads are
    # still spinning, and a threaded BLAS product competes with them for the cores.
    info = np.einsum("ia,ib->ab", gs, gs)                     # sum c g g^T / m^2

    # Minus the second-derivative terms of m: within a peak, and between a peak's shape
    # parameters and the weights.
    offset = 0
    n_shape = sum(len(names) for names in free)
    for j in range(k):
        q = len(free[j])
        if q:
            info[offset:offset + q, offset:offset + q] -= pi[j] * np.einsum(
                "abi,i->ab", hessians[j], ratio)
            cross = np.outer(np.einsum("ia,i->a", grads[j], ratio), lmap[j])  # q x (M - 1)
            info[offset:offset + q, n_shape:] -= cross
            info[n_shape:, offset:offset + q] -= cross.T
        offset += q
    return np.einsum("ia,i->a", g, ratio), info, lmap


def invert(info, n_shape=None):
    """Covariance from an information matrix.

    Where the matrix is not positive definite (a component collapsed onto a grid point or
    left without signal, a parameter the data do not determine), a parameter that weighs in
    its weakest direction is left out, and so on until the rest is positive definite; the rows
    and columns of the parameters left out are NaN.  Shape parameters (the first ``n_shape``)
    go before weights, on which every area depends.
    """
    p = info.shape[0]
    n_shape = p if n_shape is None else n_shape
    cov = np.full((p, p), np.nan)
    keep = list(range(p))
    while keep:
        sub = info[np.ix_(keep, keep)]
        scale = np.sqrt(np.abs(np.diag(sub)))
        scale[scale == 0] = 1.0
        normed = sub / np.outer(scale, scale)
        try:
            chol = np.linalg.cholesky(normed)
        except np.linalg.LinAlgError:
            _, vectors = np.linalg.eigh(normed)
            weight = np.abs(vectors[:, 0])
            shape_part = np.array([i < n_shape for i in keep])
            if shape_part.any() and weight[shape_part].max() > 1e-3:
                weight = np.where(shape_part, weight, 0.0)
            del keep[int(np.argmax(weight))]
            continue
        inv = np.linalg.inv(chol)
        cov[np.ix_(keep, keep)] = (inv.T @ inv) / np.outer(scale, scale)
        break
    return cov
