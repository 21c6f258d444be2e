"""The parameter table: one record per parameter, from the peaks to the result.

As lmfit's ``Parameters``: an ordered mapping of names to :class:`Parameter` records, here
``"Au4f7.x0"``, ``"Au4f7.area"`` for the peaks' parameters and ``"bg.offset"``, ``"bg.step"``
for the background's coefficients, in the order the engine fits them.  A record holds what the
model says of its parameter (its starting value, bounds, whether it is fixed, its tie) and,
after a fit, what the fit says (the estimate, its standard error, whether it ended on a
bound, whether the data determine it).  :attr:`velmora.Model.params` is the table of a model
before any fit, :attr:`velmora.FitResult.params` that of a fit.
"""
from collections.abc import Mapping
from dataclasses import dataclass
import math

import numpy as np

__all__ = ["Estimate", "Parameter", "Parameters"]


@dataclass
class Estimate:
    """A fitted quantity.

    Attributes
    ----------
    name : str
    value : float
    stderr : float or None
        None when held fixed; NaN when not determined (on a bound, left without signal, or a
        peak that is no detection).
    fixed : bool
    at_bound : bool
        The fit ended on one of the parameter's bounds.  Its standard error is given when the
        data determine it there (and then counts in the others'); otherwise it is held on the
        bound for the uncertainties and its standard error is NaN.
    tie : str or None
        The expression of a tied parameter.
    """

    name: str
    value: object
    stderr: object = None
    fixed: bool = False
    at_bound: bool = False
    tie: object = None

    def __post_init__(self):
        if self.value is not None:
            self.value = float(self.value)
        if self.stderr is not None:
            self.stderr = float(self.stderr)

    @property
    def relative(self):
        """Standard error relative to the value (NaN when undefined)."""
        if self.stderr is None or not self.value:
            return math.nan
        return abs(self.stderr / self.value)

    def __float__(self):
        return float(self.value)

    def __repr__(self):
        kind = type(self).__name__
        if self.value is None:
            if self.tie:
                return f"<{kind} {self.name} (tied: {self.tie})>"
            return f"<{kind} {self.name} = read from the data{' (fixed)' if self.fixed else ''}>"
        if self.fixed:
            return f"<{kind} {self.name} = {self.value:.8g} (fixed)>"
        if self.at_bound:
            return f"<{kind} {self.name} = {self.value:.8g} (at bound)>"
        tail = f" (tied: {self.tie})" if self.tie else ""
        if self.stderr is None:
            return f"<{kind} {self.name} = {self.value:.8g}{tail}>"
        return f"<{kind} {self.name} = {self.value:.8g} +/- {self.stderr:.3g}{tail}>"

    def to_dict(self):
        """Value, standard error, fixed, at bound and tie as plain values (JSON-ready: NaN
        and infinities become None)."""
        return {"value": plain_number(self.value), "stderr": plain_number(self.stderr),
                "fixed": self.fixed, "at_bound": self.at_bound, "tie": self.tie}


@dataclass(repr=False)
class Parameter(Estimate):
    """One parameter of a model: a peak's shape parameter or area, or a background
    coefficient.

    Attributes
    ----------
    name : str
        ``"peak.param"`` (``"Au4f7.x0"``), or ``"bg.<coefficient>"`` for the background.
    value : float or None
        Before a fit the starting value (None where it is read from the data); after it the
        estimate.
    stderr : float or None
        After a fit: None for a fixed parameter, NaN where the data do not determine it (see
        :class:`Estimate`).
    fixed : bool
        Held at its value (a fixed parameter without a value is held where the data put it).
    at_bound : bool
        After a fit: it ended on one of its bounds.
    tie : str or None
        The expression a tied parameter follows.
    peak : str or None
        The peak it belongs to (None for a background coefficient).
    param : str
        Its name within the peak (``"x0"``, ``"area"``) or the background.
    kind : {"location", "width", "plain", "count"}
        What it measures: a place or a width on x (units of x), a number without units, or
        counts.
    min, max : float or None
        Its bounds, in its units.  Before a fit None where the defaults apply (they depend on
        the window and the grid: a centre stays in the window, a width between half a grid
        step and the window's width, an area and a background count are not negative); a
        fit's table holds the bounds it used.
    determined : bool
        After a fit: the data determine it (False for a parameter left without signal, and
        whatever depends on it).
    """

    peak: object = None
    param: str = ""
    kind: str = "plain"
    min: object = None
    max: object = None
    determined: bool = True

    @property
    def vary(self):
        """Whether the fit varies it (neither fixed nor tied), as lmfit's ``vary``."""
        return not self.fixed and self.tie is None

    @property
    def bounds(self):
        """``(min, max)``."""
        return self.min, self.max

    def __repr__(self):
        text = super().__repr__()
        if self.vary and self.min is not None:
            text = text[:-1] + f", bounds [{self.min:.6g}, {self.max:.6g}]>"
        return text


class Parameters(Mapping):
    """The parameters of a model or a fit by name (``params["Au4f7.x0"]``), in the order the
    engine fits them.

    Examples
    --------
    >>> import velmora
    >>> model = velmora.Model(velmora.Peak("gaussian", name="p", x0=4.0, fix="x0"))
    >>> list(model.params)
    ['p.x0', 'p.sigma', 'p.area']
    >>> model.params["p.x0"]
    <Parameter p.x0 = 4 (fixed)>
    >>> model.params.valuesdict()
    {'p.x0': 4.0, 'p.sigma': None, 'p.area': None}
    """

    def __init__(self, records):
        self._records = {r.name: r for r in records}

    def __getitem__(self, name):
        try:
            return self._records[name]
        except KeyError:
            raise KeyError(f"no parameter is called {name!r}; the parameters are "
                           f"{', '.join(self._records)}") from None

    def __iter__(self):
        return iter(self._records)

    def __len__(self):
        return len(self._records)

    def valuesdict(self):
        """``{name: value}`` of every parameter, as lmfit's ``Parameters.valuesdict``."""
        return {name: r.value for name, r in self._records.items()}

    @property
    def free(self):
        """The names of the parameters the fit varies (neither fixed nor tied), in the order
        of :attr:`velmora.FitResult.covariance`."""
        return [name for name, r in self._records.items() if r.vary]

    def __repr__(self):
        lines = [f"Parameters({len(self)}):"]
        for r in self._records.values():
            value = "guessed" if r.value is None else f"{r.value:.8g}"
            role = "fixed" if r.fixed else f"tied: {r.tie}" if r.tie else "free"
            bounds = "" if r.min is None or not r.vary else f" in [{r.min:.6g}, {r.max:.6g}]"
            stderr = "" if r.stderr is None or r.fixed else f" +/- {r.stderr:.3g}"
            lines.append(f"    {r.name} = {value}{stderr} ({role}){bounds}")
        return "\n".join(lines)


def plain_number(v):
    """A number as a plain Python value for JSON: a bool or an int as it is, a float, None for
    None, NaN and infinities."""
    if v is None:
        return None
    if isinstance(v, (bool, np.bool_)):
        return bool(v)
    if isinstance(v, (int, np.integer)):
        return int(v)
    v = float(v)
    return v if math.isfinite(v) else None
