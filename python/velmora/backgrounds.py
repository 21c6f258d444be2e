"""Backgrounds fitted beside the peaks.

A background is a sum of terms, each with a fitted non-negative count.  A term is either a
fixed column (a non-negative function on the window, normalised so that its expected counts
over the data channels sum to one) or a term that *follows the peaks*: a linear operator on the
peaks' own counts, recomputed by the engine at every evaluation -- the peaks' counts integrated
from one side of the window (the active Shirley background) or spread over the loss side by an
inelastic cross-section (the active Tougaard background).  The engine fits both kinds in the
one likelihood, so the
background under the peaks is always that of the peaks being fitted; a background kind only
says which terms it has (:meth:`Background.terms`) and how its fitted counts are reported
(:meth:`Background.quantities`).  The kinds of terms that follow the peaks -- their codes,
parameters, kernels and the names their counts and shares are reported under -- are the core's
registry (:mod:`velmora.follows`).

========== ==================================================================================
name       terms
========== ==================================================================================
uniform    a constant
sqrt       sqrt(x) (x >= 0)
linear     a rising and a falling ramp: any non-negative straight line, its slope fitted
spline     cubic B-spline basis functions on ``knots`` (interior knots: a number or positions,
           spread over the data inside the window)
shirley    a constant and the Shirley step of the fitted peaks (an active Shirley background)
tougaard   a constant and the inelastic-loss tail of the fitted peaks by Tougaard's universal
           cross-section K(T) = B T / (C + T^2)^2 (C = 1643 eV^2), or his three-parameter
           form B T / ((C - T^2)^2 + D T^2) with ``Tougaard(C=..., D=...)`` (an active
           Tougaard background; B fitted and reported in eV^2)
========== ==================================================================================

Shirley convention: on a binding-energy axis the step rises towards larger x: the background
under every x is proportional to the peak counts at smaller x (electrons that lost energy
appear at higher binding energy).  On a kinetic-energy axis the step rises towards smaller x.
The order in which x is stored does not matter.  The Tougaard background follows the same
convention: its tail lies at larger x on a binding-energy axis and at smaller x on a
kinetic-energy one.  Which axis x is, :func:`settle_energy` decides for both, once per fit: what
the data say (a DataArray's ``binding_energy`` or ``kinetic_energy`` coordinate, or its
``energy`` attribute), else the energy given (``energy=`` or ``Shirley(energy=...)``), else
binding energy; an energy given that contradicts the data is refused.

Tougaard's background under channel i (x in eV) is

    b_i = B dx_i sum_{l on the loss side of i} K(|x_i - x_l|) pi_l

(pi_l the peaks' expected counts in channel l, dx_i the channel's width in eV): the midpoint
rule of b(x) = B integral K(|x - x'|) p(x') dx' over the peaks' density p, with K(0) = 0 (a
channel's own counts, lost by less than half a channel, add nothing).  B is that of the peaks
alone: Tougaard's universal B of about 2866 eV^2 describes a background that extends over the
spectrum's whole tail, so a peaks-only B is comparable with it only where the peaks' own
losses make the background.
"""
import copy
from dataclasses import dataclass
import math
import numbers

import numpy as np

from .axis import EnergyKind
from .follows import FOLLOW_KINDS
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
    follows : tuple of tuple
        One entry per term that follows the peaks, as the engine takes it
        (:meth:`velmora.follows.FollowKind.engine_term`): the kind's code, the side (+1 for the
        peaks' counts below, at smaller x, -1 for those above), then the kind's parameters in
        the registry's order.
    names : tuple of str
        The fitted coefficients: the columns' counts, then the shares of the terms that follow
        the peaks.
    """

    columns: tuple
    follows: tuple
    names: tuple

    @property
    def sides(self):
        return tuple(f[1] for f in self.follows)

    @property
    def count(self):
        """The fitted terms (columns, then terms that follow the peaks)."""
        return len(self.columns) + len(self.follows)

    @property
    def reported(self):
        """What the engine reports of the background: every term's counts, then the share of
        every term that follows the peaks."""
        return self.count + len(self.follows)


def _ends(signal):
    """Mean levels of the first and last few points of ``signal``."""
    n = max(3, signal.size // 50)
    return float(np.mean(signal[:n])), float(np.mean(signal[-n:]))


class Background:
    """Base of the background kinds; see the module documentation."""

    name = ""
    #: Whether the background depends on the energy kind of x (binding or kinetic): its
    #: ``energy`` attribute then holds the kind given (None: from the data, else binding).
    takes_energy = False
    #: The kind of its terms that follow the peaks (a name of the core's registry,
    #: :data:`velmora.follows.FOLLOW_KINDS`), or None without such terms.
    follow_kind = None

    def on_energy(self, kind):
        """The background on an axis of energy ``kind``: a copy with that ``energy``, or
        itself when it does not depend on it."""
        if not self.takes_energy:
            return self
        other = copy.copy(self)
        other.energy = kind
        return other

    def raw(self, x, window):
        """Unnormalised fixed columns at ``x`` (columns x points)."""
        return np.zeros((0, np.size(x)))

    def sides(self):
        """The terms that follow the peaks (+1 below, -1 above)."""
        return ()

    def _follow(self):
        """The registry's entry of :attr:`follow_kind`, or None."""
        return None if self.follow_kind is None else FOLLOW_KINDS[self.follow_kind]

    def follow_values(self, step):
        """The parameters of its terms that follow the peaks, by the registry's names: the
        internal unit of x (``step``, in units of x) as ``x_scale``, and a kind's own."""
        return {"x_scale": float(step)}

    def follows(self, step):
        """The terms that follow the peaks as the engine takes them (see :class:`Terms`;
        ``step`` the internal unit in units of x)."""
        kind = self._follow()
        if kind is None:
            return ()
        values = self.follow_values(step)
        return tuple(kind.engine_term(side, values) for side in self.sides())

    def column_names(self, count):
        return tuple(f"c{j}" for j in range(count))

    def side_names(self):
        """The names the counts of its terms that follow the peaks are reported under."""
        kind = self._follow()
        return () if kind is None else (kind.counts,) * len(self.sides())

    def unit_of(self, name):
        """The unit of the reported quantity ``name``: counts, unless the registry gives a
        share's own (Tougaard's B, eV^2)."""
        kind = self._follow()
        if kind is not None and kind.share is not None and name == kind.share:
            return kind.share_unit
        return "counts"

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
        return Terms(columns=columns, follows=tuple(self.follows(step)),
                     names=self.column_names(len(columns)) + tuple(self.side_names()))

    def start(self, x, counts, share):
        """Starting coefficients: ``share`` of the counts spread over the columns (the peaks'
        shares of the terms that follow them start at zero)."""
        n_columns = self.raw(x[:1], (x[0], x[-1])).shape[0]
        total = float(np.sum(counts))
        return [share * total / max(n_columns, 1)] * n_columns + [0.0] * len(self.sides())

    def quantities(self, counts, x, du, step, window):
        """Reported quantities from what the engine reports of the background (every term's
        counts, then the share of every term that follows the peaks: :attr:`Terms.reported`),
        and their Jacobian.

        Returns ``(names, values, jacobian)``; by default every term's counts, then their
        total as ``"counts"`` when there are several, then the share of every term that
        follows the peaks whose share the registry reports (Tougaard's B)."""
        counts = np.asarray(counts, dtype=np.float64)
        n_follows = len(self.sides())
        n_terms = len(counts) - n_follows
        names = list(self.column_names(n_terms - n_follows) + tuple(self.side_names()))
        jac = np.eye(n_terms, len(counts))
        if n_terms > 1:
            names.append("counts")
            jac = np.vstack([jac, np.concatenate([np.ones(n_terms), np.zeros(n_follows)])[None]])
        kind = self._follow()
        if kind is not None and kind.share is not None:
            names += [kind.share] * n_follows
            jac = np.vstack([jac, np.eye(n_follows, len(counts), n_terms)])
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

    def unit_of(self, name):
        return None if name == "slope" else "counts"

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

    The basis has ``knots + degree + 1`` functions, each a column over the data in the
    window: there must be fewer of them than data points there, and at most
    :attr:`MAX_BASIS` whatever the data (the columns are held as dense arrays).

    Parameters
    ----------
    knots : int or sequence of float
        Interior knots: their number (spread evenly over the data inside the window) or their
        positions, strictly inside the data's range.
    degree : int
        Degree of the B-splines (3: cubic).

    Raises
    ------
    TypeError, ValueError
        For knots or a degree that are not what is described, or a basis of more than
        :attr:`MAX_BASIS` functions (the fit refuses one of as many functions as the window
        has data points, before building it).
    """

    name = "spline"
    #: Most basis functions a spline background may have: a background smooth enough to lie
    #: under peaks needs far fewer, and a basis over every channel of a long spectrum would
    #: take gigabytes.
    MAX_BASIS = 10_000

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
        size = self.size()
        if size > self.MAX_BASIS:
            raise ValueError(f"knots: {self._counted()} make {size} basis functions; a spline "
                             f"background takes at most {self.MAX_BASIS}")

    def size(self):
        """The number of basis functions (columns): interior knots + degree + 1."""
        count = self.knots if isinstance(self.knots, int) else len(self.knots)
        return count + self.degree + 1

    def _counted(self):
        count = self.knots if isinstance(self.knots, int) else len(self.knots)
        return f"{count} interior knots of degree {self.degree}"

    def prepare(self, x, window):
        # Refused before anything of the basis's size exists: a basis of as many functions as
        # data points (or more) leaves nothing to tell the background from the peaks.
        size = self.size()
        if size >= x.size:
            raise ValueError(f"knots: {self._counted()} make {size} basis functions, not fewer "
                             f"than the {x.size} data points in the window")
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
    energy : {None, "binding", "kinetic"}
        What x is.  On a binding-energy axis the step rises towards larger x (the background
        under x is proportional to the peak counts at smaller x); on a kinetic-energy axis it
        rises towards smaller x.  None (the default): what the data say (a DataArray's
        ``binding_energy`` or ``kinetic_energy`` coordinate, or its ``energy`` attribute),
        else binding energy, as for plain arrays.  An energy given that contradicts the data
        is refused by the fit.
    """

    name = "shirley"
    takes_energy = True
    follow_kind = "shirley"

    def __init__(self, energy=None):
        self.energy = _energy_kind(energy)

    def raw(self, x, window):
        return np.ones((1, np.size(x)))

    def sides(self):
        return (-1,) if self.energy == "kinetic" else (1,)

    def column_names(self, count):
        return ("offset",)

    def start(self, x, counts, share):
        left, right = _ends(smooth(counts, 1.5))
        base, top = (right, left) if self.energy == "kinetic" else (left, right)
        jump = max(top - base, 0.0)
        n = counts.size
        total = float(np.sum(counts))
        peaks = max(total - base * n - 0.5 * jump * n, 0.1 * total)
        return [min(base * n, total), jump / peaks if peaks > 0 else 0.0]

    def describe(self, energy=None):
        """``"shirley (kinetic energy)"``; ``energy`` (an :class:`~velmora.axis.EnergyKind`)
        says where the kind came from instead."""
        return f"shirley ({energy or (self.energy or 'binding') + ' energy'})"


def _energy_kind(energy):
    """``energy`` of a Shirley or Tougaard background, checked: None, "binding" or
    "kinetic"."""
    if energy is not None and (not isinstance(energy, str)
                               or energy not in ("binding", "kinetic")):
        raise ValueError(f"energy: expected None, 'binding' or 'kinetic', got {energy!r}")
    return energy


def _positive(value, name):
    """``value`` as a float when it is a finite positive real number; else the ValueError (or
    TypeError) naming ``name``."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name}: expected a number, got {type(value).__name__}")
    value = float(value)
    if not (math.isfinite(value) and value > 0):
        raise ValueError(f"{name}: expected a finite positive number (eV^2), got {value!r}")
    return value


class Tougaard(Background):
    """The active Tougaard background: a constant plus the inelastic-loss tail of the fitted
    peaks.

    The tail under channel i is ``B dx_i sum_l K(|x_i - x_l|) pi_l`` over the channels l on the
    loss side of i (pi_l the peaks' counts there, x in eV), with Tougaard's universal
    cross-section ``K(T) = T / (C + T^2)^2`` or, given D, his three-parameter form
    ``K(T) = T / ((C - T^2)^2 + D T^2)``; B is fitted.  Reported: ``offset`` and ``loss``
    (counts of the constant and of the tail in the window), ``counts`` (their sum) and ``B``
    (eV^2, with its standard error).

    Parameters
    ----------
    energy : {None, "binding", "kinetic"}
        What x is (in eV).  On a binding-energy axis the tail lies at larger x (the background
        under x gathers the peak counts at smaller x); on a kinetic-energy axis at smaller x.
        None (the default): what the data say, else binding energy, as for
        :class:`Shirley`.
    C : float
        C of the cross-section, eV^2 (default 1643, the universal one).
    D : float or None
        D of the three-parameter cross-section, eV^2 (Tougaard's polymers: C=551, D=436);
        None (the default) for the two-parameter universal form.
    """

    name = "tougaard"
    takes_energy = True

    def __init__(self, energy=None, C=1643.0, D=None):
        self.energy = _energy_kind(energy)
        self.C = _positive(C, "C")
        self.D = None if D is None else _positive(D, "D")

    def raw(self, x, window):
        return np.ones((1, np.size(x)))

    def sides(self):
        return (-1,) if self.energy == "kinetic" else (1,)

    @property
    def follow_kind(self):
        """The universal cross-section, or the three-parameter one when D is given."""
        return "tougaard" if self.D is None else "tougaard3"

    def follow_values(self, step):
        return {"x_scale": float(step), "C": self.C, "D": self.D}

    def column_names(self, count):
        return ("offset",)

    def kernel(self, t):
        """K(T) / B per eV at the losses ``t`` (eV): the core's kernel of the kind (per eV of
        loss, whatever the unit of x)."""
        return self._follow().kernel_at(t, self.follow_values(1.0))

    def start(self, x, counts, share):
        # The constant from the end before the peaks; B from the rise to the other end, as the
        # tail there of the counts above that constant.
        smoothed = smooth(counts, 1.5)
        left, right = _ends(smoothed)
        kinetic = self.energy == "kinetic"
        base, top = (right, left) if kinetic else (left, right)
        n = counts.size
        total = float(np.sum(counts))
        above = np.maximum(smoothed - base, 0.0)
        end = 0 if kinetic else n - 1
        width = float(abs(x[-1] - x[0])) / max(n - 1, 1)
        reach = width * float(self.kernel(np.abs(x - x[end])) @ above)
        b = max(top - base, 0.0) / reach if reach > 0 else 0.0
        return [min(base * n, total), b]

    def describe(self, energy=None):
        """``"tougaard (kinetic energy, C=1643 eV^2)"``; ``energy`` (an
        :class:`~velmora.axis.EnergyKind`) says where the kind came from instead."""
        form = f"C={self.C:g} eV^2" + ("" if self.D is None else f", D={self.D:g} eV^2")
        if energy is not None:
            return f"tougaard ({energy}; {form})"
        return f"tougaard ({self.energy or 'binding'} energy, {form})"


_KINDS = {"uniform": Uniform, "sqrt": Sqrt, "linear": Linear, "spline": Spline,
          "shirley": Shirley, "tougaard": Tougaard}
_ENERGY_KINDS = ("shirley", "tougaard")
BACKGROUND_NAMES = ("none",) + tuple(_KINDS)


def make_background(background, knots=None, energy=None):
    """A background from the ``background`` argument of :func:`velmora.fit`."""
    if background is None or (isinstance(background, str) and background == "none"):
        if knots is not None:
            raise ValueError("knots: given without background='spline'")
        if energy is not None:
            raise ValueError("energy: only the 'shirley' and 'tougaard' backgrounds take an "
                             "energy axis")
        return NoBackground()
    if isinstance(background, Background):
        if knots is not None:
            raise ValueError("knots: give the knots to the Spline object instead")
        if energy is not None:
            raise ValueError(f"energy: give the energy axis to the {type(background).__name__} "
                             "object instead")
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
    if background in _ENERGY_KINDS:
        return _KINDS[background](energy)
    if energy is not None:
        raise ValueError("energy: only the 'shirley' and 'tougaard' backgrounds take an "
                         "energy axis")
    return _KINDS[background]()


def settle_energy(background, axis, given="energy"):
    """The energy kind of x for a background, decided once for every fit (one spectrum or
    many, :func:`velmora.fit` and :func:`velmora.fit_many` alike).

    What the data say comes first (``axis``: a ``binding_energy`` or ``kinetic_energy``
    coordinate, or an ``energy`` attribute); else the energy given (the background's
    ``energy``, from ``energy=`` or the object); else binding energy.

    Parameters
    ----------
    background : Background
        From :func:`make_background`.
    axis : velmora.axis.Axis
        What the data said about x (an empty Axis for plain arrays).
    given : {"energy", "background"}
        The argument an explicit energy came from, for the message.

    Returns
    -------
    (Background, EnergyKind or None)
        The background on that kind and the :class:`~velmora.axis.EnergyKind`; the
        background itself and None when it does not depend on the energy kind.

    Raises
    ------
    ValueError
        For an energy given that contradicts the data (the message names both).
    """
    if not background.takes_energy:
        return background, None
    said, asked = axis.kind(), background.energy
    if said is not None and asked is not None and said != asked:
        raise ValueError(f"{given}: {asked} energy was given, but the data say {said} energy "
                         f"({axis.said()}); leave the energy out to take the data's, or turn the "
                         f"data into {asked} energy (velmora.read(..., energy={asked!r}))")
    if said is not None:
        energy = EnergyKind(said, "data")
    elif asked is not None:
        energy = EnergyKind(asked, "argument")
    else:
        reason = "plain array" if axis.name is None else \
            f"the coordinate {axis.name!r} says no energy kind"
        energy = EnergyKind("binding", "default", reason)
    return background.on_energy(energy.kind), energy
