"""SQUAREM: squared extrapolation of the core's EM steps.

Varadhan, R. & Roland, C. (2008), "Simple and globally convergent methods for accelerating the
convergence of any EM algorithm", Scand. J. Statist. 35, 335-353; scheme S3 with the adaptive
maximum step length and the monotone safeguard of their SQUAREM package.

One cycle, from the point p (F is one EM iteration of the core, a ``max_iter=1`` call):

    p1 = F(p),  p2 = F(p1),  r = p1 - p,  v = p2 - 2 p1 + p
    a  = clip(|r| / |v|, 1, step_max)
    p' = F(p + 2 a r + a^2 v)          (the extrapolated point, stabilised by one EM step)

If p' has a lower log-likelihood than p (or is not finite) the cycle falls back to p2, which
plain EM guarantees to be no worse, and step_max shrinks; when the longest step is accepted
step_max grows fourfold.  The fit ends at the first EM step that changes the log-likelihood by
less than ``tol`` relative, and returns that step's *starting* point: a point that one more EM
iteration of the core moves by less than ``tol``, which is exactly what the core's own
stopping rule tests.
"""
import math

import numpy as np

STEP_MIN = 1.0
STEP_MAX0 = 1.0
MSTEP = 4.0


def relative_change(ll_old, ll_new):
    """The core's stopping quantity: (new - old) / |old|."""
    with np.errstate(divide="ignore", invalid="ignore"):
        return (ll_new - ll_old) / abs(ll_old)


def converged(ll_old, ll_new, tol):
    rel = relative_change(ll_old, ll_new)
    return bool(tol > abs(rel))


def squarem(step, pack, unpack, state, tol, max_steps, ll=None):
    """Accelerated EM from ``state``.

    Parameters
    ----------
    step : callable
        ``step(state) -> (new_state, ll_before, ll_after)``: one EM iteration.
    pack : callable
        ``pack(state) -> 1-D array``: the coordinates in which to extrapolate (entries that are
        not finite are not extrapolated).
    unpack : callable
        ``unpack(vector, reference_state) -> state``: a state from coordinates, completed and
        made feasible from ``reference_state``.
    state : object
        The starting point.
    ll : float, optional
        Its log-likelihood, if known (reported when no step is taken).
    tol : float
        Relative log-likelihood change below which an EM step counts as converged.
    max_steps : int
        Most EM iterations to spend.

    Returns
    -------
    state, ll, n_steps, converged
    """
    step_max = STEP_MAX0
    n = 0
    ll_state = math.nan if ll is None else ll
    while n < max_steps:
        s1, ll0, ll1 = step(state)
        n += 1
        if converged(ll0, ll1, tol):
            return state, ll0, n, True
        if n >= max_steps:
            return s1, ll1, n, False
        s2, _, ll2 = step(s1)
        n += 1
        if converged(ll1, ll2, tol):
            return s1, ll1, n, True
        if n >= max_steps:
            return s2, ll2, n, False

        v0, v1, v2 = pack(state), pack(s1), pack(s2)
        usable = np.isfinite(v0) & np.isfinite(v1) & np.isfinite(v2)
        with np.errstate(invalid="ignore"):
            r = np.where(usable, v1 - v0, 0.0)
            v = np.where(usable, v2 - 2.0 * v1 + v0, 0.0)
        sr2, sv2 = float(r @ r), float(v @ v)
        if not (sv2 > 0 and math.isfinite(sr2) and math.isfinite(sv2)):
            state, ll_state = s2, ll2
            continue
        alpha = min(step_max, max(STEP_MIN, math.sqrt(sr2 / sv2)))
        with np.errstate(invalid="ignore"):
            trial = np.where(usable, v0 + 2.0 * alpha * r + alpha * alpha * v, v2)
        s3, _, ll3 = step(unpack(trial, s2))
        n += 1
        if not math.isfinite(ll3) or ll3 < ll0:
            # Monotone safeguard: two plain EM steps never lower the likelihood.
            state, ll_state = s2, ll2
            if alpha == step_max:
                step_max = max(STEP_MAX0, step_max / MSTEP)
        else:
            state, ll_state = s3, ll3
            if alpha == step_max:
                step_max *= MSTEP
    return state, ll_state, n, False

