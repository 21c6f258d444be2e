"""Peaks: a shape, a name, and for every parameter (area included) a starting value, a tie,
whether it is held fixed, and its bounds."""
import keyword
import math
import numbers
import warnings

from .shapes import AREA, SHAPE_NAMES, SHAPES
from .ties import constant_value, parse_tie

# Names a peak may not take: a tie could not tell them from its own vocabulary.
RESERVED_NAMES = {"pi", "sqrt", "exp", "log", "sin", "cos", "tan", "asin", "acos", "atan",
                  "radians", "degrees", "bg", "background"}


def real(value, what):
    """``value`` as a finite float, or a TypeError/ValueError naming ``what``."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{what}: expected a real number, got {type(value).__name__}")
    value = float(value)
    if not math.isfinite(value):
        raise ValueError(f"{what}: expected a finite number, got {value!r}")
    return value


def names_of(value, what):
    """``value`` (a parameter name or a sequence of names) as a tuple of names; a TypeError
    naming ``what`` for anything else."""
    if isinstance(value, str):
        return (value,)
    try:
        return tuple(value)
    except TypeError:
        raise TypeError(f"{what}: expected a parameter name or a sequence of names, got "
                        f"{type(value).__name__}") from None


def check_bounds(spec_of, bounds, what):
    """Validated bounds ``{name: (lo, hi)}`` (a new dict): ``spec_of(name)`` gives the
    parameter's spec or raises KeyError; either end may be None or infinite (half-open)."""
    if bounds is None:
        return {}
    if not isinstance(bounds, dict):
        raise TypeError(f"{what}: expected a dict {{name: (lo, hi)}}, got "
                        f"{type(bounds).__name__}")
    out = {}
    for name, pair in bounds.items():
        try:
            spec = spec_of(name)
        except KeyError:
            raise ValueError(f"{what}: {name!r} is not a parameter here") from None
        if isinstance(pair, (str, bytes)) or not hasattr(pair, "__len__") or len(pair) != 2:
            raise TypeError(f"{what}[{name!r}]: expected a pair (lo, hi), got {pair!r}")
        ends = []
        for i, v in enumerate(pair):
            if v is None:
                ends.append(-math.inf if i == 0 else math.inf)
                continue
            if isinstance(v, bool) or not isinstance(v, numbers.Real) or math.isnan(v):
                raise TypeError(f"{what}[{name!r}][{i}]: expected a real number or None, "
                                f"got {v!r}")
            ends.append(float(v))
        lo, hi = ends
        if not lo < hi:
            raise ValueError(f"{what}[{name!r}]: lower bound {lo} is not below upper bound {hi}")
        if spec.kind != "location":  # bounds in the natural range (centres can go anywhere)
            nlo, nhi = spec.natural
            if lo < nlo or hi > nhi:
                raise ValueError(f"{what}[{name!r}]: ({lo}, {hi}) reaches outside the natural "
                                 f"range {spec.natural_text()} of {name!r}")
        out[name] = (lo, hi)
    return out


class Peak:
    """One peak of a fit.

    Parameters
    ----------
    shape : str
        ``"gaussian"`` (x0, sigma), ``"lorentzian"`` (x0, gamma), ``"pseudo_voigt"`` (x0,
        gamma, eta: Gaussian share), ``"voigt"`` (x0, sigma: Gaussian standard deviation,
        gamma), ``"doniach_sunjic"`` (x0, gamma, alpha: asymmetry) or ``"tsdc"`` (ea:
        activation energy in eV, tp: peak temperature in K); ``gamma`` is always the half
        width at half maximum of the Lorentzian part.  Shapes mix freely within a fit, except
        TSDC peaks (thermograms) with the others.
    fwhm : float or str, optional
        The full width at half maximum, for every shape.  A starting value alone fills the
        widths not given through the shape's start rule; fixed (``fix="fwhm"``), bounded
        (``bounds={"fwhm": ...}``) or tied, it is a parameter of the fit in place of the
        shape's primary width (sigma of a Gaussian, gamma of a Lorentzian, pseudo-Voigt or
        Doniach-Sunjic line, gamma of a Voigt peak given its sigma, ea of a TSDC peak given
        its tp), which then follows from it exactly and is reported as a derived quantity.
    name : str, optional
        How ties and results name the peak (a Python identifier).  Default ``p0``, ``p1``,
        ... by position in the fit.
    fix : str or sequence of str, optional
        Parameters held at their value (``"area"`` included).  A fixed parameter without a
        value is held at its value guessed from the data.
    bounds : dict, optional
        ``{name: (lo, hi)}`` for any parameter, area included; either end may be None
        (half-open).  Values are in the units of x (counts for the area).  Without bounds a
        centre stays in the fitting window and a width between a fraction of a grid step and
        twice the window.
    beta : float, optional
        TSDC only: the heating rate (K per time unit of tau0); default 1.
    area : float or str, optional
        Starting area: the line's expected counts inside the fitting window (otherwise
        estimated from the data), or a tie proportional to another peak's area, such as
        ``"0.75 * Au4f7.area"``.  The whole line's area, where finite, is reported as
        ``area_total``.
    method : str, optional
        Accepted for compatibility and ignored (with a DeprecationWarning): eta is fitted as a
        continuous parameter in [0, 1].
    **values : float or str
        Starting values by parameter name; missing ones are guessed from the data.  A string
        ties the parameter to others: an expression in ``peak.param`` names, numbers,
        ``+ - * / **``, parentheses, ``pi`` and sqrt, exp, log, sin, cos, tan, asin, acos,
        atan, radians, degrees, such as ``"Au4f7.x0 + 3.67"``.

    Raises
    ------
    TypeError
        For a parameter the shape does not have, or a value that is not a real number or a
        string.
    ValueError
        For an unknown shape, a value (or a constant tie such as ``sigma="0.8"``) outside the
        parameter's natural range, a tie that does not parse, a parameter both fixed and tied, bounds that do not hold the value, or a
        ``fwhm`` together with every width (over-determined) or, fixed, bounded or tied,
        together with the primary width it stands for.

    Examples
    --------
    >>> import velmora
    >>> velmora.Peak("voigt", x0=28.44, sigma=0.04, gamma=0.03)
    Peak('voigt', x0=28.44, sigma=0.04, gamma=0.03)
    >>> velmora.Peak("doniach_sunjic", name="Au4f5", x0="Au4f7.x0 + 3.67", area="0.75 * Au4f7.area")
    Peak('doniach_sunjic', name='Au4f5', x0='Au4f7.x0 + 3.67', gamma=None, alpha=None, area='0.75 * Au4f7.area')
    """

    def __init__(self, shape, *, name=None, fix=(), bounds=None, method=None, beta=None,
                 area=None, **values):
        if not isinstance(shape, str):
            raise TypeError(f"shape: expected a string, got {type(shape).__name__}")
        if shape not in SHAPES:
            raise ValueError(f"shape: unknown shape {shape!r}; expected one of "
                             f"{', '.join(repr(s) for s in SHAPE_NAMES)}")
        spec = SHAPES[shape]
        self.shape = shape
        if name is not None:
            if not isinstance(name, str) or not name.isidentifier() or keyword.iskeyword(name) \
                    or name in RESERVED_NAMES:
                raise ValueError(f"name: {name!r} is not usable as a peak name (expected an "
                                 f"identifier such as 'Au4f7', not a keyword or a function "
                                 f"name of ties)")
        self.name = name
        label = name or "peak"
        fix = names_of(fix, "fix")
        spec, self.fwhm_start = _fwhm_mode(spec, values, fix, bounds)
        self.spec = spec
        for key in values:
            if key not in spec.names:
                raise TypeError(f"Peak() got an unexpected parameter {key!r} for the {shape} "
                                f"shape (its parameters: {', '.join(spec.names + ('fwhm',))})")
        self.values = {}
        self.ties = {}
        for pname in spec.names:
            self._set(pname, values.get(pname), spec.param(pname), label)
        self._set("area", area, AREA, label)
        self.area = self.values.pop("area")

        allowed = spec.names + ("area",)
        for pname in fix:
            if not isinstance(pname, str) or pname not in allowed:
                raise ValueError(f"fix: {pname!r} is not a parameter of the {shape} shape (its "
                                 f"parameters: {', '.join(allowed + (('fwhm',) if 'fwhm' not in allowed else ()))})")
            if pname in self.ties:
                raise ValueError(f"fix: {label}.{pname} is tied ({self.ties[pname]!r}); a "
                                 f"parameter is either fixed or tied")
        self.fix = tuple(n for n in allowed if n in fix)

        if method is not None:
            if shape != "pseudo_voigt":
                raise ValueError(f"method: only the pseudo_voigt shape took a method, not "
                                 f"{shape}")
            if method not in ("full", "conditional"):
                raise ValueError(f"method: expected 'full' or 'conditional', got {method!r}")
            warnings.warn("Peak(method=...) has no effect: eta is fitted as a continuous "
                          "parameter in [0, 1] by the joint fit", DeprecationWarning,
                          stacklevel=2)
        self.method = method

        if beta is not None and not spec.heating_rate:
            raise ValueError(f"beta: the {shape} shape takes no heating rate (only thermogram "
                             f"shapes such as tsdc do)")
        if spec.heating_rate:
            beta = 1.0 if beta is None else real(beta, "beta")
            if beta <= 0:
                raise ValueError(f"beta: the heating rate must be positive, got {beta}")
        self.beta = beta

        def spec_of(pname):
            return AREA if pname == "area" else spec.param(pname)

        self.bounds = check_bounds(spec_of, bounds, "bounds")
        for pname, (lo, hi) in self.bounds.items():
            if pname in self.ties:
                raise ValueError(f"bounds: {label}.{pname} is tied ({self.ties[pname]!r}); a "
                                 f"tied parameter follows its tie and takes no bounds")
            value = self.area if pname == "area" else self.values.get(pname)
            if value is not None and not lo <= value <= hi:
                raise ValueError(f"{pname}: starting value {value} lies outside its bounds "
                                 f"({lo}, {hi})")

    def _set(self, pname, value, spec, label):
        if value is None:
            self.values[pname] = None
            return
        if isinstance(value, str):
            tie = parse_tie(value, label, pname)  # refuses what does not parse, before any fit
            if not tie.references:
                # A constant is held to the parameter's range as the number itself is.
                constant = constant_value(tie)
                if not math.isfinite(constant):
                    raise ValueError(f"{pname}: its tie {value!r} gives {constant}, not a "
                                     f"finite number")
                if spec.kind != "location" and not spec.in_natural_range(constant):
                    raise ValueError(f"{pname}: its tie {value!r} gives {constant}, outside the "
                                     f"range of the parameter {spec.natural_text()}")
            self.ties[pname] = value
            self.values[pname] = None
            return
        value = real(value, pname)
        if spec.kind != "location" and not spec.in_natural_range(value):
            raise ValueError(f"{pname}: {value} is outside the range of the parameter "
                             f"{spec.natural_text()}")
        self.values[pname] = value

    @property
    def params(self):
        """The peak's parameter names, in order: the shape's, with ``fwhm`` in place of the
        primary width where the FWHM is fixed, bounded or tied."""
        return self.spec.names

    @property
    def missing(self):
        """Names of the parameters without a starting value or tie."""
        return tuple(n for n, v in self.values.items() if v is None and n not in self.ties)

    def value_of(self, pname):
        """The starting value of ``pname`` (``"area"`` included), None when guessed or tied."""
        return self.area if pname == "area" else self.values[pname]

    def replace(self, **values):
        """A copy with some starting values replaced (name, ties, fix, bounds and options kept;
        a value given here replaces a tie of the same parameter)."""
        new = {n: self.ties.get(n, v) for n, v in self.values.items()}
        if self.fwhm_start is not None and "fwhm" not in values:
            new["fwhm"] = self.fwhm_start
        area = self.ties.get("area", self.area)
        if "area" in values:
            area = values.pop("area")
        new.update(values)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            return Peak(self.shape, name=self.name, fix=self.fix, bounds=self.bounds or None,
                        method=self.method,
                        beta=self.beta if SHAPES[self.shape].heating_rate else None,
                        area=area, **new)

    def __repr__(self):
        parts = [repr(self.shape)]
        if self.name is not None:
            parts.append(f"name={self.name!r}")
        parts += [f"{n}={self.ties.get(n, v)!r}" for n, v in self.values.items()]
        if self.fwhm_start is not None:
            parts.append(f"fwhm={self.fwhm_start!r}")
        if self.fix:
            parts.append(f"fix={self.fix!r}")
        if self.bounds:
            parts.append(f"bounds={self.bounds!r}")
        if SHAPES[self.shape].heating_rate and self.beta != 1.0:
            parts.append(f"beta={self.beta!r}")
        area = self.ties.get("area", self.area)
        if area is not None:
            parts.append(f"area={area!r}")
        return f"Peak({', '.join(parts)})"


def _fwhm_mode(spec, values, fix, bounds):
    """The parameters a peak of shape ``spec`` is fitted with, and its starting FWHM alone.

    A ``fwhm`` that is fixed, bounded or tied makes the peak one of the shape's fwhm variant
    (``fwhm`` in place of the primary width, which may then be neither given nor fixed nor
    bounded); a ``fwhm`` value alone is a start for the widths not given, and is refused when
    every width is given."""
    fwhm = values.get("fwhm")
    bounded = isinstance(bounds, dict) and "fwhm" in bounds
    fixed = any(n == "fwhm" for n in fix if isinstance(n, str))
    if fwhm is None and not bounded and not fixed:
        return spec, None
    variant = spec.fwhm_variant
    if bounded or fixed or isinstance(fwhm, str):
        how = "fixed" if fixed else "bounded" if bounded else "tied"
        primary = spec.primary
        if values.get(primary) is not None or primary in fix or (
                isinstance(bounds, dict) and primary in bounds):
            raise ValueError(f"fwhm: a {how} fwhm of a {spec.name} peak sets its {primary}; "
                             f"give {primary} or fwhm, not both")
        values.pop(primary, None)
        return variant, None
    widths = spec.widths + ((spec.primary,) if spec.primary not in spec.widths else ())
    if all(values.get(n) is not None for n in widths):
        raise ValueError(f"fwhm: {', '.join(widths)} of the {spec.name} peak are given, and so "
                         f"is its fwhm: one too many (give fwhm in place of a width, or fix or "
                         f"bound it to fit it as a parameter)")
    return spec, real(values.pop("fwhm"), "fwhm")
