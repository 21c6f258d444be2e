"""Peaks: the shape of a peak, its starting values, what is held fixed, and its bounds."""
import math
import numbers

from .shapes import SHAPES

# Where a parameter's range is limited by the model itself.
_RANGES = {
    "sigma": (0.0, math.inf, False), "gamma": (0.0, math.inf, False),
    "eta": (0.0, 1.0, True), "alpha": (0.0, 1.0, True),
    "ea": (0.0, math.inf, False), "tp": (0.0, math.inf, False),
}

SHAPE_NAMES = tuple(SHAPES)


def _real(value, what):
    """``value`` as a finite float, or a TypeError/ValueError naming ``what``."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{what}: expected a real number, got {type(value).__name__}")
    value = float(value)
    if not math.isfinite(value):
        raise ValueError(f"{what}: expected a finite number, got {value!r}")
    return value


def check_bounds(shape, bounds, what):
    """Validated bounds ``{name: (lo, hi)}`` of a shape (a new dict)."""
    if bounds is None:
        return {}
    if not isinstance(bounds, dict):
        raise TypeError(f"{what}: expected a dict {{name: (lo, hi)}}, got "
                        f"{type(bounds).__name__}")
    out = {}
    for name, pair in bounds.items():
        if name not in shape.params and name != "area":
            raise ValueError(f"{what}: {name!r} is not a parameter of the {shape.name} shape "
                             f"(its parameters: {', '.join(shape.params)})")
        if name not in shape.boundable:
            takes = ", ".join(shape.boundable) or "none of its parameters"
            raise ValueError(f"{what}: the core's {shape.name} fit has no bounds for {name!r} "
                             f"(it takes bounds for {takes}; centres are kept in the window)")
        if isinstance(pair, (str, bytes)) or not hasattr(pair, "__len__") or len(pair) != 2:
            raise TypeError(f"{what}[{name!r}]: expected a pair (lo, hi), got {pair!r}")
        lo = _real(pair[0], f"{what}[{name!r}][0]")
        hi = _real(pair[1], f"{what}[{name!r}][1]")
        if not lo < hi:
            raise ValueError(f"{what}[{name!r}]: lower bound {lo} is not below upper bound {hi}")
        low, _, _ = _RANGES.get(name, (-math.inf, math.inf, True))
        if lo < low:
            raise ValueError(f"{what}[{name!r}]: lower bound {lo} is below {low}")
        out[name] = (lo, hi)
    return out


class Peak:
    """One peak of a fit.

    Parameters
    ----------
    shape : str
        ``"gaussian"`` (x0, sigma), ``"lorentzian"`` (x0, gamma: full width at half
        maximum), ``"pseudo_voigt"`` (x0, gamma: full width at half maximum, eta: Gaussian
        weight), ``"voigt"`` (x0, sigma: Gaussian standard deviation, gamma: Lorentzian half
        width at half maximum), ``"doniach_sunjic"`` (x0, gamma: half width, alpha:
        asymmetry) or ``"tsdc"`` (ea: activation energy in eV, tp: peak temperature in K).
    fix : str or sequence of str, optional
        Parameters held at their starting value.  A pseudo-Voigt fitted with
        ``method="conditional"`` holds x0 and gamma only together; a TSDC peak whose ``ea`` is
        fixed is held whole, so ``ea`` is fixed only together with ``tp``.
    bounds : dict, optional
        ``{name: (lo, hi)}`` for the parameters the core bounds: Voigt sigma and gamma,
        pseudo-Voigt gamma (full optimisation), Doniach-Sunjic gamma and alpha, TSDC ea.  The
        core shares one pair per parameter among all peaks of a fit, so peaks of one fit must
        agree.  Centres (and TSDC peak temperatures) are kept in the fitting window.
    method : {"full", "conditional"}, optional
        Pseudo-Voigt only: the core's component update.  ``"full"`` (default) alternates a
        bounded fit of centre and width with a search of eta over 0.00 ... 0.99;
        ``"conditional"`` solves for centre and width and picks eta from 0.80 ... 0.99.
    beta : float, optional
        TSDC only: the heating rate (K per time unit of tau0); default 1.
    area : float, optional
        Starting area in counts (otherwise estimated from the data).
    **values : float
        Starting values by parameter name; missing ones are guessed from the data.

    Raises
    ------
    TypeError
        For a parameter the shape does not have, or a value that is not a real number.
    ValueError
        For an unknown shape, a value outside the parameter's range, a fixed name that is not a
        parameter (or ``"area"``), or bounds the core does not take.

    Examples
    --------
    >>> import velmora
    >>> velmora.Peak("voigt", x0=28.44, sigma=0.04, gamma=0.03)
    Peak('voigt', x0=28.44, sigma=0.04, gamma=0.03)
    >>> velmora.Peak("voigt", x0=28.80, fix=("gamma",))
    Peak('voigt', x0=28.8, sigma=None, gamma=None, fix=('gamma',))
    """

    def __init__(self, shape, *, fix=(), bounds=None, method=None, beta=None, area=None,
                 **values):
        if not isinstance(shape, str):
            raise TypeError(f"shape: expected a string, got {type(shape).__name__}")
        if shape not in SHAPES:
            raise ValueError(f"shape: unknown shape {shape!r}; expected one of "
                             f"{', '.join(repr(s) for s in SHAPE_NAMES)}")
        model = SHAPES[shape]
        self.shape = shape
        for name in values:
            if name not in model.params:
                raise TypeError(f"Peak() got an unexpected parameter {name!r} for the {shape} "
                                f"shape (its parameters: {', '.join(model.params)})")
        self.values = {}
        for name in model.params:
            value = values.get(name)
            if value is not None:
                value = _real(value, name)
                low, high, closed = _RANGES.get(name, (-math.inf, math.inf, True))
                inside = (low <= value <= high) if closed else (low < value < high)
                if not inside:
                    raise ValueError(f"{name}: {value} is outside the range of the parameter "
                                     f"({'[' if closed else '('}{low}, {high}"
                                     f"{']' if closed else ')'})")
            self.values[name] = value

        if isinstance(fix, str):
            fix = (fix,)
        try:
            fix = tuple(fix)
        except TypeError:
            raise TypeError(f"fix: expected a parameter name or a sequence of names, got "
                            f"{type(fix).__name__}") from None
        for name in fix:
            if name == "area":
                raise ValueError("fix: 'area' cannot be fixed (the core fits every mixing "
                                 "weight)")
            if not isinstance(name, str) or name not in model.params:
                raise ValueError(f"fix: {name!r} is not a parameter of the {shape} shape (its "
                                 f"parameters: {', '.join(model.params)})")
        self.fix = tuple(n for n in model.params if n in fix)

        if method is not None and not model.has_method:
            raise ValueError(f"method: only the pseudo_voigt shape takes a method, not {shape}")
        if model.has_method:
            method = "full" if method is None else method
            if method not in ("full", "conditional"):
                raise ValueError(f"method: expected 'full' or 'conditional', got {method!r}")
            if method == "conditional" and ("x0" in self.fix) != ("gamma" in self.fix):
                raise ValueError("fix: with method='conditional' the core holds x0 and gamma "
                                 "only as a pair; fix both or neither")
        self.method = method

        if beta is not None and shape != "tsdc":
            raise ValueError(f"beta: only the tsdc shape takes a heating rate, not {shape}")
        if shape == "tsdc":
            beta = 1.0 if beta is None else _real(beta, "beta")
            if beta <= 0:
                raise ValueError(f"beta: the heating rate must be positive, got {beta}")
            if "ea" in self.fix and "tp" not in self.fix:
                raise ValueError("fix: the core holds a TSDC peak whole when ea is fixed; fix "
                                 "('ea', 'tp') together, or fix tp alone")
        self.beta = beta

        if area is not None:
            area = _real(area, "area")
            if area < 0:
                raise ValueError(f"area: must be >= 0, got {area}")
        self.area = area

        self.bounds = check_bounds(model, bounds, "bounds")
        for name, (lo, hi) in self.bounds.items():
            value = self.values.get(name)
            if value is not None and not lo <= value <= hi:
                raise ValueError(f"{name}: starting value {value} lies outside its bounds "
                                 f"({lo}, {hi})")

    @property
    def params(self):
        """The shape's parameter names, in order."""
        return SHAPES[self.shape].params

    @property
    def missing(self):
        """Names of the parameters without a starting value."""
        return tuple(n for n, v in self.values.items() if v is None)

    def replace(self, **values):
        """A copy with some starting values replaced (fix, bounds and options kept)."""
        new = dict(self.values)
        new.update(values)
        return Peak(self.shape, fix=self.fix, bounds=self.bounds or None, method=self.method,
                    beta=self.beta if self.shape == "tsdc" else None, area=self.area, **new)

    def __repr__(self):
        parts = [repr(self.shape)] + [f"{n}={v!r}" for n, v in self.values.items()]
        if self.fix:
            parts.append(f"fix={self.fix!r}")
        if self.bounds:
            parts.append(f"bounds={self.bounds!r}")
        if self.method not in (None, "full"):
            parts.append(f"method={self.method!r}")
        if self.shape == "tsdc" and self.beta != 1.0:
            parts.append(f"beta={self.beta!r}")
        if self.area is not None:
            parts.append(f"area={self.area!r}")
        return f"Peak({', '.join(parts)})"
