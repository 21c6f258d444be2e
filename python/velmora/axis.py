"""What the x axis of a spectrum is: its coordinate's name, long name and units, and whether
it is a binding-energy axis (drawn from high to low, as photoelectron spectra are).

The conventions are those of the file readers: coordinates named ``binding_energy`` or
``kinetic_energy`` (eV), ``two_theta`` (degree) and ``raman_shift`` (1/cm), the attributes
``units`` and ``long_name`` of a coordinate, a DataArray attribute ``energy`` of
``"binding"`` or ``"kinetic"`` and its ``excitation_energy`` (eV).  xarray is never imported
here: an object is recognised as one of xarray's by its module and read through its
attributes.
"""
from dataclasses import dataclass
import math

# Coordinate name: (label, units when the coordinate has none, what kind of energy it is).
KNOWN = {
    "binding_energy": ("Binding energy", "eV", "binding"),
    "kinetic_energy": ("Kinetic energy", "eV", "kinetic"),
    "two_theta": ("2θ", "degree", None),
    "raman_shift": ("Raman shift", "1/cm", None),
}
_ENERGY_LABELS = {"binding": "Binding energy", "kinetic": "Kinetic energy"}


def is_xarray(obj):
    """Whether ``obj`` is one of xarray's objects (without importing xarray)."""
    return type(obj).__module__.split(".")[0] == "xarray"


def _text(value):
    return None if value is None else str(value)


@dataclass(frozen=True)
class Axis:
    """The x axis of a fit, as far as the data told it.

    Attributes
    ----------
    name : str or None
        The coordinate's name (``"binding_energy"``), None for a plain array.
    long_name, units : str or None
        The coordinate's attributes of these names.
    energy : {"binding", "kinetic", None}
        The DataArray's ``energy`` attribute (or the coordinate's).
    excitation : float or None
        The DataArray's ``excitation_energy`` attribute (or the coordinate's), eV: the photon
        energy that turns kinetic into binding energy and back.

    Examples
    --------
    >>> from velmora.axis import Axis
    >>> be = Axis(name="binding_energy", units="eV")
    >>> be.label(), be.inverted()
    ('Binding energy (eV)', True)
    >>> Axis(name="two_theta").label(), Axis().label(), Axis(name="shift", units="cm-1").label()
    ('2θ (degree)', 'x', 'shift (cm-1)')
    """

    name: object = None
    long_name: object = None
    units: object = None
    energy: object = None
    excitation: object = None

    def kind(self, background=None):
        """``"binding"`` or ``"kinetic"`` for an energy axis, else None: what the coordinate's
        name or the ``energy`` attribute says, and, where the data say nothing, the energy
        convention of the background (a Shirley or Tougaard background's ``energy``)."""
        if self.name in KNOWN and KNOWN[self.name][2] is not None:
            return KNOWN[self.name][2]
        if self.energy is not None:
            return self.energy
        if self.name in KNOWN:
            return None  # two_theta, raman_shift: not an energy
        energy = getattr(background, "energy", None)
        return energy if energy in _ENERGY_LABELS else None

    def said(self):
        """How the data said what energy :meth:`kind` reads, for messages: "the coordinate
        'kinetic_energy'", "energy='kinetic' in the attributes"; None when they said nothing."""
        if self.name in KNOWN and KNOWN[self.name][2] is not None:
            return f"the coordinate {self.name!r}"
        if self.energy is not None:
            return f"energy={self.energy!r} in the attributes"
        return None

    def inverted(self, background=None):
        """Whether the axis is drawn from high to low: a binding-energy axis."""
        return self.kind(background) == "binding"

    def label(self, background=None):
        """The axis label: ``"Binding energy (eV)"``, ``"2θ (degree)"``, ``"shift (cm-1)"``,
        ``"x"``."""
        known = KNOWN.get(self.name, (None, None, None))
        text = self.long_name or known[0]
        if text is None:
            text = _ENERGY_LABELS.get(self.kind(background)) or self.name or "x"
        units = self.units or known[1]
        return f"{text} ({units})" if units else text


def axis_of(x, counts):
    """The :class:`Axis` of a fit's ``x`` and ``counts``: from ``x`` when it is an xarray
    coordinate (DataArray), else from the coordinate of the last dimension of ``counts`` (the
    channels) when that is a DataArray with one; ``energy`` and ``excitation_energy`` from
    either's attributes (``counts``' first)."""
    coord = None
    energy = excitation = None
    if is_xarray(counts):
        energy = counts.attrs.get("energy")
        excitation = counts.attrs.get("excitation_energy")
        dims = getattr(counts, "dims", ())
        if dims and dims[-1] in counts.coords:
            coord = counts.coords[dims[-1]]
    if is_xarray(x):
        coord = x
    if coord is not None and energy is None:
        energy = coord.attrs.get("energy")
    if coord is not None and excitation is None:
        excitation = coord.attrs.get("excitation_energy")
    if energy not in _ENERGY_LABELS:
        energy = None
    excitation = _photon_energy(excitation)
    if coord is None:
        return Axis(energy=energy, excitation=excitation)
    attrs = coord.attrs
    return Axis(name=_text(coord.name), long_name=_text(attrs.get("long_name")),
                units=_text(attrs.get("units")), energy=energy, excitation=excitation)


def _photon_energy(value):
    """An ``excitation_energy`` attribute as a positive finite float, else None."""
    try:
        value = float(value)
    except (TypeError, ValueError):
        return None
    return value if math.isfinite(value) and value > 0 else None


@dataclass(frozen=True)
class EnergyKind:
    """The energy kind a fit took x to be, for a background that depends on it (Shirley,
    Tougaard), and where it came from.

    Attributes
    ----------
    kind : {"binding", "kinetic"}
    source : {"data", "argument", "default"}
        ``"data"``: the DataArray's coordinate name or ``energy`` attribute (an explicit energy
        that agrees included); ``"argument"``: ``energy=`` or the background object's own,
        on data that say nothing; ``"default"``: neither, so binding energy was assumed.
    reason : str or None
        Why the default was taken (``"plain array"``).

    Examples
    --------
    >>> from velmora.axis import EnergyKind
    >>> str(EnergyKind("kinetic", "data")), str(EnergyKind("binding", "argument"))
    ('kinetic energy, from the data', 'binding energy, as given')
    >>> str(EnergyKind("binding", "default", "plain array"))
    "binding energy, assumed: plain array; pass energy='kinetic' for kinetic energies"
    """

    kind: str
    source: str
    reason: object = None

    def __str__(self):
        if self.source == "data":
            return f"{self.kind} energy, from the data"
        if self.source == "argument":
            return f"{self.kind} energy, as given"
        return (f"{self.kind} energy, assumed: {self.reason or 'the data do not say'}; pass "
                f"energy='kinetic' for kinetic energies")

    def to_dict(self):
        return {"kind": self.kind, "source": self.source, "reason": self.reason}


def plain(values):
    """The values of an xarray object (a NumPy array), anything else as it is."""
    return values.values if is_xarray(values) else values
