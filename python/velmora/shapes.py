"""Peak shapes, as the core's registry describes them.

The core holds one registry of shapes (``velmora_core._shapes()``): each shape's code, its
parameters with their kinds, natural ranges, default bounds and descriptions, and the
quantities particular to it.  This module reads it once; nothing here writes a line-shape
formula, a shape code or a parameter table of its own.

Fits run in *internal coordinates* ``u = (x - centre) / step`` (the window's centre and the
median grid step) for every shape fitted in grid units (all but TSDC, whose temperatures are
absolute): a ``location`` parameter is a position in grid steps, a ``width`` a number of grid
steps, a ``plain`` parameter the same in both.

Every name means one thing whatever the shape: a peak's ``area`` is its expected counts
inside the fitting window (``area_total``, where finite, the whole line's), ``gamma`` the half
width at half maximum of a Lorentzian part, and ``fwhm`` the full width at half maximum.  A
shape with a *primary width* (the one parameter a full width stands for) has an *fwhm variant*
in the registry, whose parameter in that place is ``fwhm``: a peak whose FWHM is fixed,
bounded or tied is fitted as its shape's variant (:attr:`ShapeSpec.fwhm_variant`).
"""
from dataclasses import dataclass
import functools
import math

import numpy as np
import velmora_core


@dataclass(frozen=True)
class ParamSpec:
    """One parameter of a shape.

    Attributes
    ----------
    name : str
    kind : {"location", "width", "plain"}
    natural : (float, float)
        The range of values for which the shape is defined; ``natural_open`` says which ends
        are excluded.
    natural_open : (bool, bool)
    default_rule : {"window", "grid", "absolute"}
        Default bounds: the fitting window, ``default`` as (grid steps, window widths), or
        ``default`` as it stands.
    default : (float, float)
    description : str
    """

    name: str
    kind: str
    natural: tuple
    natural_open: tuple
    default_rule: str
    default: tuple
    description: str

    def in_natural_range(self, value):
        """Whether ``value`` (internal units for widths) lies in the natural range."""
        lo, hi = self.natural
        lo_open, hi_open = self.natural_open
        above = value > lo if lo_open else value >= lo
        below = value < hi if hi_open else value <= hi
        return bool(above and below)

    def natural_text(self):
        lo, hi = self.natural
        return (f"{'(' if self.natural_open[0] else '['}{lo:g}, {hi:g}"
                f"{')' if self.natural_open[1] else ']'}")


@dataclass(frozen=True)
class ShapeSpec:
    """A peak shape: its code in the core, whether it is fitted in grid units (``framed``) and
    takes a thermogram's heating rate, its parameters and derived quantities."""

    code: int
    name: str
    framed: bool
    heating_rate: bool
    params: tuple
    extras: tuple
    extra_kinds: tuple = ()
    primary: object = None
    fwhm_of: object = None

    @functools.cached_property
    def names(self):
        """Parameter names in the core's order."""
        return tuple(p.name for p in self.params)

    def param(self, name):
        for p in self.params:
            if p.name == name:
                return p
        raise KeyError(name)

    @property
    def location(self):
        """The parameter that places a peak on the axis."""
        return next(p.name for p in self.params if p.kind == "location")

    @property
    def widths(self):
        return tuple(p.name for p in self.params if p.kind == "width")

    @property
    def fwhm_variant(self):
        """The shape's fwhm variant (``fwhm`` in the primary width's place), or None."""
        return FWHM_VARIANTS.get(self.name) if self.fwhm_of is None else None

    def extra_kind(self, name):
        """The kind of a derived quantity (``"count"`` for ``area_total``)."""
        return self.extra_kinds[self.extras.index(name)]

    def start(self, position, fwhm):
        """Starting parameter values of a peak at ``position`` with full width at half maximum
        ``fwhm`` (the core's rule for the shape)."""
        return {name: float(v[0]) for name, v in self.starts([position], [fwhm]).items()}

    def starts(self, positions, fwhms):
        """:meth:`start` of many peaks: a dict of name to an array over the peaks."""
        positions = np.ascontiguousarray(positions, dtype=np.float64)
        params = velmora_core._shape_starts(self.code, positions,
                                            np.ascontiguousarray(fwhms, dtype=np.float64))
        params = params["params"].reshape(positions.size, len(self.params))
        return {name: params[:, q] for q, name in enumerate(self.names)}


def _read_registry():
    """The shapes by name, and their fwhm variants by the name of the shape."""
    entries = velmora_core._shapes()
    shapes, variants = {}, {}
    for entry in entries:
        params = tuple(ParamSpec(
            name=p["name"], kind=p["kind"], natural=(p["natural_lo"], p["natural_hi"]),
            natural_open=(p["lo_open"], p["hi_open"]), default_rule=p["default_rule"],
            default=(p["default_lo"], p["default_hi"]), description=p["description"])
            for p in entry["params"])
        base = entries[entry["fwhm_of"]]["name"] if entry["fwhm_of"] >= 0 else None
        spec = ShapeSpec(code=entry["code"], name=entry["name"], framed=entry["framed"],
                         heating_rate=entry["heating_rate"], params=params,
                         extras=tuple(e["name"] for e in entry["extras"]),
                         extra_kinds=tuple(e["kind"] for e in entry["extras"]),
                         primary=params[entry["primary"]].name if entry["primary"] >= 0
                         else None, fwhm_of=base)
        (variants if base is not None else shapes)[entry["name"]] = spec
    return shapes, variants


SHAPES, FWHM_VARIANTS = _read_registry()
SHAPE_NAMES = tuple(SHAPES)

#: The kind of a peak's area and of background coefficients: counts, unchanged by the frame.
AREA = ParamSpec(name="area", kind="count", natural=(0.0, math.inf), natural_open=(False, True),
                 default_rule="absolute", default=(0.0, math.inf), description="counts")
