"""Backgrounds fitted beside the peaks.

A background is a sum of terms, each with a fitted non-negative count.  A term is either a
fixed column (a non-negative function on the window, normalised so that its expected counts
over the data channels sum to one) or a term that *follows the peaks*: the peaks' own counts
integrated from one side of the window, recomputed by the engine at every evaluation (the
active Shirley background).  The engine fits both kinds in the one likelihood, so the
background under the peaks is always that of the peaks being fitted; a background kind only
says which terms it has (:meth:`Background.terms`) and how its fitted counts are reported
(:meth:`Background.quantities`).

========== ==================================================================================
name       terms
========== ==================================================================================
uniform    a constant
sqrt       sqrt(x) (x >= 0)
linear     a rising and a falling ramp: any non-negative straight line, its slope fitted
spline     cubic B-spline basis functions on ``knots`` (interior knots: a number or positions,
           spread over the data inside the window)
shirley    a constant and the Shirley step of the fitted peaks (an active Shirley background)
========== ==================================================================================

Shirley convention: ``energy="binding"`` (the default) takes x as binding energy, so the step
rises towards larger x: the background under every x is proportional to the peak counts at
smaller x (electrons that lost energy appear at higher binding energy).  With
``energy="kinetic"`` the step rises towards smaller x.  The order in which x is stored does
not matter.
"""
from dataclasses import dataclass
import numbers

import numpy as np

from .guess import smooth
from .validation import as_array


@dataclass(frozen=True)
class Terms:
    """A background on one grid, as the engine fits it.

    Attributes
    ----------
    columns : tuple of ndarray
        Fixed columns on the data grid, per internal unit of x (their expected counts per
        channel are column times channel width, summing to one).
    sides : tuple of int
        One entry per term that follows the peaks: +1 for the peaks' counts below (at smaller
        x), -1 for those above.
    names : tuple of str
        The fitted coefficients: the columns' counts, then the shares of the terms that follow
        the peaks.
    """

    columns: tuple
    sides: tuple
    names: tuple

    @property
    def count(self):
        return len(self.columns) + len(self.sides)


def _ends(signal):
    """Mean levels of the first and last few points of ``signal``."""
    n = max(3, signal.size // 50)
    return float(np.mean(signal[:n])), float(np.mean(signal[-n:]))


class Background:
    """Base of the background kinds; see the module documentation."""

    name = ""

    def raw(self, x, window):
        """Unnormalised fixed columns at ``x`` (columns x points)."""
        return np.zeros((0, np.size(x)))

    def sides(self):
        """The terms that follow the peaks (+1 below, -1 above)."""
        return ()

    def column_names(self, count):
        return tuple(f"c{j}" for j in range(count))

    def side_names(self):
        return ()

    def prepare(self, x, window):
        """The background with everything that depends on the data grid ``x`` (sorted, inside
        the window) fixed; checks that the data support it.  Returns a background to use on
        that grid (``self`` when nothing depends on it)."""
        return self

    def terms(self, x, du, step, window):
        """The terms on the sorted window data ``x`` with channel widths ``du`` (internal
        units; ``step`` the internal unit in units of x)."""
        raw = self.raw(x, window)
        norm = raw @ du if raw.size else np.zeros(0)
        columns = tuple(np.ascontiguousarray(r / n) for r, n in zip(raw, norm))
        return Terms(columns=columns, sides=tuple(self.sides()),
                     names=self.column_names(len(columns)) + tuple(self.side_names()))

    def start(self, x, counts, share):
        """Starting coefficients: ``share`` of the counts spread over the columns (the peaks'
        shares of the terms that follow them start at zero)."""
        n_columns = self.raw(x[:1], (x[0], x[-1])).shape[0]
        total = float(np.sum(counts))
        return [share * total / max(n_columns, 1)] * n_columns + [0.0] * len(self.sides())

    def quantities(self, counts, x, du, step, window):
        """Reported quantities from the counts of every term, and their Jacobian.

        Returns ``(names, values, jacobian)``; by default every term's counts, then their
        total as ``"counts"`` when there are several."""
        counts = np.asarray(counts, dtype=np.float64)
        names = list(self.column_names(len(counts) - len(self.sides())) + tuple(self.side_names()))
        jac = np.eye(len(counts))
        if len(counts) > 1:
            names.append("counts")
            jac = np.vstack([jac, np.ones((1, len(counts)))])
        return names, jac @ counts, jac

    def describe(self):
        return self.name


class NoBackground(Background):
    name = "none"


class Uniform(Background):
    """A constant background."""

    name = "uniform"

    def raw(self, x, window):
        return np.ones((1, np.size(x)))

    def column_names(self, count):
        return ("counts",)


class Sqrt(Background):
    """A background proportional to sqrt(x) (zero where x < 0)."""

    name = "sqrt"

    def raw(self, x, window):
        x = np.asarray(x, dtype=np.float64)
        return np.sqrt(np.where(x >= 0, x, 0.0))[None, :]

    def column_names(self, count):
        return ("counts",)

    def prepare(self, x, window):
        if not (x > 0).any():
            raise ValueError("background: the 'sqrt' background needs x > 0 inside the window")
        return self


class Linear(Background):
    """A straight line: a rising and a falling ramp, each with a non-negative count.

    Together they give every non-negative straight line over the window, rising or falling.
    Reported as ``counts`` (its total) and ``slope`` (change of its counts per channel, per
    unit of x; a channel is the median grid step).
    """

    name = "linear"

    def raw(self, x, window):
        lo, hi = window
        x = np.asarray(x, dtype=np.float64)
        return np.array([x - lo, hi - x])

    def column_names(self, count):
        return ("rising", "falling")

    def quantities(self, counts, x, du, step, window):
        # Counts per channel of the line at x: (C_r (x - lo) / n_r + C_f (hi - x) / n_f) du, with
        # n the masses of the ramps over the data and du the median channel width: its slope
        # per unit of x is du (C_r / n_r - C_f / n_f).
        norm = self.raw(x, window) @ du
        width = float(np.median(du))
        jac = np.array([[1.0, 1.0], [width / norm[0], -width / norm[1]]])
        return ["counts", "slope"], jac @ np.asarray(counts, float), jac


class Spline(Background):
    """Cubic B-spline basis columns with non-negative counts.

    Parameters
    ----------
    knots : int or sequence of float
        Interior knots: their number (spread evenly over the data inside the window) or their
        positions, strictly inside the data's range.
    degree : int
        Degree of the B-splines (3: cubic).
    """

    name = "spline"

    def __init__(self, knots=4, degree=3):
        if isinstance(knots, bool):
            raise TypeError("knots: expected a number of interior knots or their positions")
        if isinstance(knots, numbers.Integral):
            if knots < 0:
                raise ValueError(f"knots: expected a non-negative number of knots, got {knots}")
            knots = int(knots)
        else:
            knots = as_array(knots, "knots")
            if not np.isfinite(knots).all():
                raise ValueError("knots: positions must be finite")
            if np.unique(knots).size != knots.size:
                raise ValueError("knots: positions must be distinct")
            knots = tuple(float(k) for k in np.sort(knots))
        if isinstance(degree, bool) or not isinstance(degree, numbers.Integral) or degree < 0:
            raise ValueError(f"degree: expected a non-negative integer, got {degree!r}")
        self.knots = knots
        self.degree = int(degree)
        self.t = None

    def prepare(self, x, window):
        # The basis spans the data inside the window: a knot vector over an empty stretch of
        # the window would give basis functions without a single data point.
        lo, hi = float(x[0]), float(x[-1])
        if isinstance(self.knots, int):
            inner = np.linspace(lo, hi, self.knots + 2)[1:-1]
        else:
            inner = np.asarray(self.knots)
            if inner.size and not ((inner > lo) & (inner < hi)).all():
                raise ValueError(f"knots: positions must lie strictly inside the data in the "
                                 f"window, ({lo}, {hi})")
        k = self.degree
        bound = Spline(self.knots, self.degree)
        bound.t = np.concatenate([np.full(k + 1, lo), inner, np.full(k + 1, hi)])
        raw = bound.raw(x, window)
        empty = np.nonzero(~(raw.sum(axis=1) > 0))[0]
        if empty.size:
            raise ValueError(f"knots: {self.knots!r} are too many for the {x.size} data points: "
                             f"basis function b{int(empty[0])} covers none of them")
        return bound

    def raw(self, x, window):
        from scipy.interpolate import BSpline

        x = np.atleast_1d(np.asarray(x, dtype=np.float64))
        lo, hi = self.t[0], self.t[-1]
        inside = (x >= lo) & (x <= hi)
        out = np.zeros((len(self.t) - self.degree - 1, x.size))
        if inside.any():
            out[:, inside] = BSpline.design_matrix(x[inside], self.t, self.degree).toarray().T
        return out

    def column_names(self, count):
        return tuple(f"b{j}" for j in range(count))

    def start(self, x, counts, share):
        n_columns = len(self.t) - self.degree - 1
        return [share * float(np.sum(counts)) / n_columns] * n_columns

    def describe(self):
        count = self.knots if isinstance(self.knots, int) else len(self.knots)
        return f"spline ({count} interior knots)"


class Shirley(Background):
    """The active Shirley background: a constant plus the Shirley step of the fitted peaks.

    The step under channel i is the peaks' counts on one side of it (half of its own channel
    included) times a fitted share, so it is always that of the peaks being fitted.

    Parameters
    ----------
    energy : {"binding", "kinetic"}
        What x is.  On a binding-energy axis the step rises towards larger x (the background
        under x is proportional to the peak counts at smaller x); on a kinetic-energy axis it
        rises towards smaller x.
    """

    name = "shirley"

    def __init__(self, energy="binding"):
        if energy not in ("binding", "kinetic"):
            raise ValueError(f"energy: expected 'binding' or 'kinetic', got {energy!r}")
        self.energy = energy

    def raw(self, x, window):
        return np.ones((1, np.size(x)))

    def sides(self):
        return (1,) if self.energy == "binding" else (-1,)

    def column_names(self, count):
        return ("offset",)

    def side_names(self):
        return ("step",)

    def start(self, x, counts, share):
        left, right = _ends(smooth(counts, 1.5))
        base, top = (left, right) if self.energy == "binding" else (right, left)
        jump = max(top - base, 0.0)
        n = counts.size
        total = float(np.sum(counts))
        peaks = max(total - base * n - 0.5 * jump * n, 0.1 * total)
        return [min(base * n, total), jump / peaks if peaks > 0 else 0.0]

    def quantities(self, counts, x, du, step, window):
        counts = np.asarray(counts, dtype=np.float64)
        jac = np.array([[1.0, 0.0], [0.0, 1.0], [1.0, 1.0]])
        return ["offset", "step", "counts"], jac @ counts, jac

    def describe(self):
        return f"shirley ({self.energy} energy)"


_KINDS = {"uniform": Uniform, "sqrt": Sqrt, "linear": Linear, "spline": Spline,
          "shirley": Shirley}
BACKGROUND_NAMES = ("none",) + tuple(_KINDS)


def make_background(background, knots=None, energy=None):
    """A background from the ``background`` argument of :func:`velmora.fit`."""
    if background is None or (isinstance(background, str) and background == "none"):
        if knots is not None:
            raise ValueError("knots: given without background='spline'")
        if energy is not None:
            raise ValueError("energy: only the 'shirley' background takes an energy axis")
        return NoBackground()
    if isinstance(background, Background):
        if knots is not None:
            raise ValueError("knots: give the knots to the Spline object instead")
        if energy is not None:
            raise ValueError("energy: give the energy axis to the Shirley object instead")
        return background
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
