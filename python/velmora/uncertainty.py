"""Standard errors from the observed information of the binned likelihood.

Given the total count N, the counts are multinomial over the grid with cell probabilities
proportional to the mixture density m(x_i) = sum_j pi_j f_j(x_i), where the f_j are the peak
densities of the core and the background columns; its log-likelihood is the core's own,
l = sum_i c_i log m(x_i).  The observed information is -d2l over every free shape parameter
and the mixing weights, parametrised so that they sum to one (the largest weight is the one
eliminated; the result does not depend on that choice).  Derivatives of the component
densities are central differences of the core's profile functions; the core computes the
score and the information.  The total N is Poisson and independent of the multinomial part, so
an area N pi_j has the variance N^2 var(pi_j) + N pi_j^2.
"""
import numpy as np

import velmora_core


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


def score_and_information(shape, ctx, u, counts, comps, pi, free, background_columns):
    """Score and observed information of the multinomial likelihood, from the core.

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
        The information matrix over the free shape parameters (peak by peak, in the shape's
        parameter order) followed by the weights but the largest.
    lmap : ndarray
        The map from those weights to all weights (see :func:`weight_map`).
    """
    k = len(comps)
    state = {n: [p[n] for p in comps] for n in shape.params}
    arrays, _, _ = shape.core_arguments(state, {n: [False] * k for n in shape.params}, ctx)
    flags = [[n in free[j] for j in range(k)] for n in shape.params]
    flags += [[False] * k] * (3 - len(shape.params))
    basis = [np.ascontiguousarray(c) for c in background_columns] or None
    score, flat = velmora_core._information(
        shape.code, u, counts, *arrays, np.asarray(pi, dtype=np.float64), *flags, ctx.lo,
        ctx.hi, ctx.beta if ctx.beta is not None else 1.0, basis)
    lmap, _ = weight_map(np.asarray(pi))
    return score, flat.reshape(score.size, score.size), lmap


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
