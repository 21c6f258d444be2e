"""Backgrounds fitted beside the peaks.

A background is one or more mixture columns of the core's EM fit: each column is a fixed
non-negative function on the fitting window, normalised so that its expected counts over the
data channels sum to one, and its mixing weight (its share of the counts) is fitted with the
peaks.  The columns are handed to the core as basis columns, so the likelihood the core
maximises and every curve the layer draws use the same numbers.

========== ==================================================================================
name       columns
========== ==================================================================================
uniform    a constant
sqrt       sqrt(x) (x >= 0)
linear     a rising and a falling ramp: any non-negative straight line, its slope fitted
spline     cubic B-spline basis functions on ``knots`` (interior knots: a number or positions)
shirley    a constant and the Shirley step, recomputed from the fitted peaks between rounds of
           EM until it changes by less than ``tol`` (an active Shirley background)
========== ==================================================================================

Shirley convention: ``energy="binding"`` (the default) takes x as binding energy, so the step
rises towards larger x: the background under every x is proportional to the peak area at
smaller x (electrons that lost energy appear at higher binding energy).  With
``energy="kinetic"`` the step rises towards smaller x.  The order in which x is stored does
not matter.
"""
import copy
import numbers

import numpy as np


class Background:
    """Base of the background models; see the module documentation for the kinds."""

    name = ""
    #: names of the fitted quantities, in the order of the covariance
    free_names = ()
    #: names of quantities derived from the fitted ones (reported, not in the covariance)
    derived_names = ()

    def bind(self, x, du, window):
        """Prepare the columns for the data grid ``x`` (sorted, inside ``window``)."""
        self.x = x
        self.du = du
        self.window = window
        raw = self.raw(x)
        self.norm = np.einsum("bi,i->b", raw, du) if raw.size else np.zeros(0)
        return self

    def raw(self, x):
        """Unnormalised columns at ``x`` (shape: columns × points), zero outside the window."""
        return np.zeros((0, np.size(x)))

    def inside(self, x):
        lo, hi = self.window
        return (x >= lo) & (x <= hi)

    def columns(self, x):
        """Column densities per internal grid step at ``x`` (sum over the data channels = 1)."""
        raw = self.raw(np.asarray(x, dtype=np.float64))
        return raw / self.norm[:, None] if raw.size else raw

    def quantities(self, counts):
        """Fitted quantities from the column counts, and their Jacobian d(quantities)/d(counts).

        Returns ``(free values, free Jacobian, derived values, derived Jacobian)``.
        """
        b = len(counts)
        return np.asarray(counts, float), np.eye(b), np.zeros(0), np.zeros((0, b))

    def describe(self):
        return self.name


class NoBackground(Background):
    name = "none"

    def raw(self, x):
        return np.zeros((0, np.size(x)))


class Uniform(Background):
    """A constant background."""

    name = "uniform"
    free_names = ("counts",)

    def raw(self, x):
        return self.inside(x)[None, :].astype(np.float64)


class Sqrt(Background):
    """A background proportional to sqrt(x) (zero where x < 0)."""

    name = "sqrt"
    free_names = ("counts",)

    def raw(self, x):
        x = np.asarray(x, dtype=np.float64)
        root = np.sqrt(np.where(x >= 0, x, 0.0))
        return np.where(self.inside(x), root, 0.0)[None, :]


class Linear(Background):
    """A straight line: a rising and a falling ramp, each with a non-negative weight.

    Together they give every non-negative straight line over the window, rising or falling.
    Reported as ``counts`` (its total) and ``slope`` (change of its counts per channel, per
    unit of x; a channel is the median grid step).
    """

    name = "linear"
    free_names = ("counts", "slope")

    def raw(self, x):
        lo, hi = self.window
        x = np.asarray(x, dtype=np.float64)
        inside = self.inside(x)
        return np.array([np.where(inside, x - lo, 0.0), np.where(inside, hi - x, 0.0)])

    def quantities(self, counts):
        # Counts per channel of the line at x: width * (A_r (x - lo) / n_r + A_f (hi - x) / n_f),
        # with the channel width of the data (median): its slope is width (A_r/n_r - A_f/n_f).
        width = float(np.median(self.du))
        jac = np.array([[1.0, 1.0], [width / self.norm[0], -width / self.norm[1]]])
        return jac @ np.asarray(counts, float), jac, np.zeros(0), np.zeros((0, 2))


class Spline(Background):
    """Cubic B-spline basis columns with non-negative weights.

    Parameters
    ----------
    knots : int or sequence of float
        Interior knots: their number (spread evenly over the window) or their positions,
        strictly inside the window.
    degree : int
        Degree of the B-splines (3: cubic).
    """

    name = "spline"
    derived_names = ("counts",)

    def __init__(self, knots=4, degree=3):
        self.knots = knots
        self.degree = degree

    def bind(self, x, du, window):
        lo, hi = window
        if isinstance(self.knots, numbers.Integral):
            inner = np.linspace(lo, hi, int(self.knots) + 2)[1:-1]
        else:
            inner = np.sort(np.asarray(self.knots, dtype=np.float64))
        k = self.degree
        self.t = np.concatenate([np.full(k + 1, lo), inner, np.full(k + 1, hi)])
        self.free_names = tuple(f"b{j}" for j in range(len(self.t) - k - 1))
        return super().bind(x, du, window)

    def raw(self, x):
        from scipy.interpolate import BSpline

        x = np.atleast_1d(np.asarray(x, dtype=np.float64))
        inside = self.inside(x)
        out = np.zeros((len(self.t) - self.degree - 1, x.size))
        if inside.any():
            lo, hi = self.window
            xi = np.clip(x[inside], lo, hi)
            out[:, inside] = BSpline.design_matrix(xi, self.t, self.degree).toarray().T
        return out

    def quantities(self, counts):
        b = len(counts)
        return (np.asarray(counts, float), np.eye(b), np.array([np.sum(counts)]),
                np.ones((1, b)))

    def describe(self):
        return f"spline ({len(self.t) - 2 * (self.degree + 1)} interior knots)"


class Shirley(Background):
    """The active Shirley background: a constant plus the Shirley step of the fitted peaks.

    Parameters
    ----------
    energy : {"binding", "kinetic"}
        What x is.  On a binding-energy axis the step rises towards larger x (the background
        under x is proportional to the peak area at smaller x); on a kinetic-energy axis it
        rises towards smaller x.
    """

    name = "shirley"
    free_names = ("offset", "step")
    derived_names = ("counts",)

    def __init__(self, energy="binding"):
        if energy not in ("binding", "kinetic"):
            raise ValueError(f"energy: expected 'binding' or 'kinetic', got {energy!r}")
        self.energy = energy

    def bind(self, x, du, window):
        self.x = x
        self.window = window
        self.du = du
        self.step = None
        return self

    def initial_step(self, signal):
        """Start from the classic Shirley step of the data: iterated on ``signal`` itself."""
        n = max(3, signal.size // 50)
        left, right = float(np.mean(signal[:n])), float(np.mean(signal[-n:]))
        base, top = (left, right) if self.energy == "binding" else (right, left)
        jump = max(top - base, 0.0)
        step = np.zeros_like(signal)
        for _ in range(50):
            cumulative = self._cumulative(np.clip(signal - (base + jump * step), 0.0, None))
            total = cumulative.max()
            if not total > 0:
                break
            new = cumulative / total
            converged = np.max(np.abs(new - step)) < 1e-6
            step = new
            if converged:
                break
        if not step.max() > 0:
            step = self._cumulative(np.ones_like(signal))
        self.set_step(step)

    def _cumulative(self, density):
        """Integral of ``density`` (on the data grid) from the low-energy side of the window."""
        x = self.x
        pieces = np.diff(x) * 0.5 * (density[1:] + density[:-1])
        rising = np.concatenate([[0.0], np.cumsum(pieces)])
        if self.energy == "binding":
            return rising
        return rising[-1] - rising

    def set_step(self, step):
        self.step = np.asarray(step, dtype=np.float64)
        raw = self.raw(self.x)
        self.norm = np.einsum("bi,i->b", raw, self.du)

    def update(self, peak_density):
        """Recompute the step from the peaks' density on the data grid."""
        self.set_step(self._cumulative(peak_density))

    def raw(self, x):
        x = np.asarray(x, dtype=np.float64)
        inside = self.inside(x).astype(np.float64)
        if self.step is None:
            return np.array([inside, inside])
        return np.array([inside, inside * np.interp(x, self.x, self.step)])

    def quantities(self, counts):
        b = len(counts)
        return (np.asarray(counts, float), np.eye(b), np.array([np.sum(counts)]),
                np.ones((1, b)))

    def describe(self):
        return f"shirley ({self.energy} energy)"


_KINDS = {"uniform": Uniform, "sqrt": Sqrt, "linear": Linear, "spline": Spline,
          "shirley": Shirley}
BACKGROUND_NAMES = ("none",) + tuple(_KINDS)


def make_background(background, knots=None, energy=None):
    """A background model from the ``background`` argument of :func:`velmora.fit`."""
    if background is None or (isinstance(background, str) and background == "none"):
        if knots is not None:
            raise ValueError("knots: given without background='spline'")
        return NoBackground()
    if isinstance(background, Background):
        if knots is not None:
            raise ValueError("knots: give the knots to the Spline object instead")
        if energy is not None:
            raise ValueError("energy: give the energy axis to the Shirley object instead")
        # A fit binds its background to its grid (and a Shirley step to its counts): every fit
        # gets its own copy, so that fits on several threads never share one.
        return copy.deepcopy(background)
    if not isinstance(background, str):
        raise TypeError("background: expected None, one of "
                        f"{', '.join(repr(n) for n in BACKGROUND_NAMES)} or a Background, "
                        f"got {type(background).__name__}")
    if background not in _KINDS:
        raise ValueError(f"background: unknown background {background!r}; expected one of "
                         f"{', '.join(repr(n) for n in BACKGROUND_NAMES)}")
    if background == "spline":
        return Spline(knots if knots is not None else 4)
    if knots is not None:
        raise ValueError(f"knots: only the 'spline' background takes knots, not {background!r}")
    if background == "shirley":
        return Shirley(energy if energy is not None else "binding")
    if energy is not None:
        raise ValueError("energy: only the 'shirley' background takes an energy axis")
    return _KINDS[background]()
