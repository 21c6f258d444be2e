"""Lines that come in pairs: spin-orbit doublets of photoelectron spectra, and the Kα2
partners of X-ray diffraction reflections.

Both are built from ordinary :class:`velmora.Peak` objects tied as the physics says, so the
fit, its standard errors, the report and the plot treat them like any other tied peaks:

- :func:`doublet`: the two lines of a p, d or f level (``Au4f7`` and ``Au4f5``), the second
  at a fixed splitting above the first, with the (2j + 1) area ratio and shared widths;
- :func:`kalpha2`: the Kα2 reflection of a Kα1 reflection, placed by Bragg's law from the
  anode's two wavelengths, with a fixed share of its area and the same widths.
"""
import keyword
import math
import numbers
import re

from .peaks import RESERVED_NAMES, Peak, names_of
from .shapes import SHAPE_NAMES, SHAPES

__all__ = ["doublet", "kalpha2", "wavelength_ratio", "positive", "SPLITTINGS", "ORBITAL_RATIOS",
           "ANODES"]

# ------------------------------------------------------------------------ spin-orbit doublets

#: Area of the lower-j line over that of the higher-j line, (2j + 1) / (2j' + 1):
#: p 2/4 (p1/2 : p3/2), d 4/6 (d3/2 : d5/2), f 6/8 (f5/2 : f7/2).
ORBITAL_RATIOS = {"p": 1 / 2, "d": 2 / 3, "f": 3 / 4}

# The numerators of j of each orbital's two lines, (higher j, lower j): 2p3/2 and 2p1/2 are
# "2p3" and "2p1", 3d5/2 and 3d3/2 "3d5" and "3d3", 4f7/2 and 4f5/2 "4f7" and "4f5".
_J_NUMERATORS = {"p": ("3", "1"), "d": ("5", "3"), "f": ("7", "5")}

#: Spin-orbit splittings in eV, by element and level, of the element (metallic state).
#:
#: Sources: J. F. Moulder, W. F. Stickle, P. E. Sobol, K. D. Bomben, *Handbook of X-ray
#: Photoelectron Spectroscopy* (Perkin-Elmer, 1992) and the NIST X-ray Photoelectron
#: Spectroscopy Database (NIST SRD 20), as commonly tabulated for peak fitting; Si 2p from
#: F. J. Himpsel et al., Phys. Rev. B 38, 6084 (1988) (0.608 eV).  The splitting depends a
#: little on the chemical state (Ti 2p: 6.1 eV in the metal, 5.7 eV in TiO2; Fe, Co, Ni and
#: Cu 2p of oxides and high-spin compounds differ by a few tenths): pass ``splitting=`` for
#: anything but the metal, or when in doubt.
SPLITTINGS = {
    ("Al", "2p"): 0.44,
    ("Si", "2p"): 0.61,
    ("S", "2p"): 1.18,
    ("Ti", "2p"): 6.1,
    ("Cr", "2p"): 9.3,
    ("Fe", "2p"): 13.1,
    ("Co", "2p"): 15.05,
    ("Ni", "2p"): 17.3,
    ("Cu", "2p"): 19.75,
    ("Zn", "2p"): 23.1,
    ("Mo", "3d"): 3.13,
    ("Pd", "3d"): 5.26,
    ("Ag", "3d"): 6.0,
    ("W", "4f"): 2.18,
    ("Pt", "4f"): 3.33,
    ("Au", "4f"): 3.67,
}

_LEVEL = re.compile(r"([A-Z][a-z]?)(\d)([spdf])")


def positive(value, what):
    """``value`` as a positive finite float, or a TypeError/ValueError naming ``what``."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{what}: expected a positive number, got {type(value).__name__}")
    value = float(value)
    if not (math.isfinite(value) and value > 0):
        raise ValueError(f"{what}: expected a positive finite number, got {value!r}")
    return value


def _spectral(shape, what):
    """The ShapeSpec of ``shape``, refusing shapes that are not spectral lines."""
    if not isinstance(shape, str) or shape not in SHAPES:
        raise ValueError(f"shape: unknown shape {shape!r}; expected one of "
                         f"{', '.join(repr(s) for s in SHAPE_NAMES)}")
    spec = SHAPES[shape]
    if not spec.framed:
        raise ValueError(f"shape: {what} are lines of a spectrum; the {shape} shape "
                         f"(thermograms) has none")
    return spec


def doublet(shape, name, x0=None, splitting=None, orbital=None, ratio=None, share=None,
            **values):
    """The two lines of a spin-orbit doublet, tied as the physics says.

    The first line is the one of higher j (lower binding energy: 2p3/2, 3d5/2, 4f7/2); the
    second lies ``splitting`` above it, with ``ratio`` times its area and, by default, its
    widths and asymmetry.  Both are ordinary :class:`velmora.Peak` objects, named by the
    numerator of j: ``Au4f7`` and ``Au4f5`` (f), ``Cu2p3`` and ``Cu2p1`` (p), ``Ag3d5`` and
    ``Ag3d3`` (d).

    Parameters
    ----------
    shape : str
        The shape of both lines (see :class:`velmora.Peak`), such as ``"doniach_sunjic"``.
    name : str
        The level, such as ``"Au4f"``: an identifier that the lines' names extend.  A name of
        the form element, shell, orbital (``"Au4f"``, ``"Cu2p"``) gives the orbital and, from
        :data:`SPLITTINGS`, the splitting.
    x0 : float or str, optional
        Starting centre of the first line, in binding energy (or a tie).  Default: guessed
        from the data.
    splitting : float, optional
        The second centre minus the first (positive, in the units of x: eV of binding
        energy).  Default: the table's value for the element and level of ``name``.  The
        splitting is held fixed; to fit it, replace the second line's tie by a starting value
        (``second.replace(x0=87.7)``).
    orbital : {"p", "d", "f"}, optional
        Default: the orbital letter ending ``name``.  s levels have no doublet.
    ratio : float, optional
        Area of the second line over the first.  Default: the (2j + 1) ratio of the orbital,
        p 1/2, d 2/3, f 3/4 (:data:`ORBITAL_RATIOS`).
    share : sequence of str, optional
        The shape parameters of the second line tied to the first's (the centre excluded).
        Default: all of them (widths and asymmetry, or ``fwhm`` where the first line fits by
        its FWHM); ``share=()`` leaves the second line's widths free.  The areas are the
        lines' counts inside the window, so the ratio holds of those.
    **values
        Passed to the first line: starting values and ties of its parameters, ``area``,
        ``fix`` and ``bounds``, as :class:`velmora.Peak` takes them.

    Returns
    -------
    list of Peak
        ``[first, second]``.

    Raises
    ------
    TypeError
        For arguments of the wrong type, or a parameter the shape does not have.
    ValueError
        For an unknown or thermogram shape, a name that is not an identifier, an orbital
        other than p, d or f (or one that contradicts ``name``), a ratio or splitting that is
        not positive and finite, a level without a tabulated splitting when none is given,
        share names that are not shape parameters (or the centre), and whatever
        :class:`velmora.Peak` refuses in ``values``.

    Examples
    --------
    >>> import velmora
    >>> au7, au5 = velmora.doublet("doniach_sunjic", "Au4f", x0=84.0)
    >>> au5
    Peak('doniach_sunjic', name='Au4f5', x0='Au4f7.x0 + 3.67', gamma='Au4f7.gamma', alpha='Au4f7.alpha', area='0.75 * Au4f7.area')
    >>> [p.name for p in velmora.doublet("voigt", "Si2p", share=("sigma",))]
    ['Si2p3', 'Si2p1']
    """
    spec = _spectral(shape, "doublets")
    if not isinstance(name, str) or not name.isidentifier() or keyword.iskeyword(name) \
            or name in RESERVED_NAMES:
        raise ValueError(f"name: {name!r} is not usable as the name of a level (expected an "
                         f"identifier such as 'Au4f')")
    level = _LEVEL.fullmatch(name)
    if orbital is None:
        if level is None:
            raise ValueError(f"orbital: {name!r} does not end in an orbital letter (as in "
                             f"'Au4f' or 'Cu2p'); pass orbital='p', 'd' or 'f'")
        orbital = level.group(3)
    if orbital == "s":
        raise ValueError("orbital: an s level has j = 1/2 only and no spin-orbit doublet; fit "
                         "it as a single Peak")
    if orbital not in ORBITAL_RATIOS:
        raise ValueError(f"orbital: expected 'p', 'd' or 'f', got {orbital!r}")
    if level is not None and level.group(3) != orbital:
        raise ValueError(f"orbital: {orbital!r} contradicts the level {name!r} "
                         f"({level.group(3)!r})")
    if splitting is None:
        key = (level.group(1), level.group(2) + level.group(3)) if level else None
        if key not in SPLITTINGS:
            known = ", ".join(e + lv for e, lv in SPLITTINGS)
            raise ValueError(f"splitting: no tabulated splitting for {name!r} (the table has "
                             f"{known}); pass splitting= in the units of x")
        splitting = SPLITTINGS[key]
    splitting = positive(splitting, "splitting")
    ratio = ORBITAL_RATIOS[orbital] if ratio is None else positive(ratio, "ratio")

    high, low = (name + j for j in _J_NUMERATORS[orbital])
    if x0 is not None:
        values = {**values, spec.location: x0}
    first = Peak(shape, name=high, **values)
    # The first line's own parameters: fwhm in place of its primary width where it fits by it.
    others = tuple(n for n in first.params if n != spec.location)
    if share is None:
        share = others
    else:
        share = names_of(share, "share")
        for pname in share:
            if pname not in others:
                raise ValueError(f"share: {pname!r} is not a shared parameter of the {shape} "
                                 f"shape (expected some of: {', '.join(others) or 'none'}; the "
                                 f"centre follows the splitting, the area the ratio)")

    second = Peak(shape, name=low, area=f"{ratio!r} * {high}.area",
                  **{spec.location: f"{high}.{spec.location} + {splitting!r}"},
                  **{p: f"{high}.{p}" for p in others if p in share})
    return [first, second]


# ------------------------------------------------------------------------------ Kα2 partners

#: Kα1 and Kα2 wavelengths of X-ray anodes, in ångström.
#:
#: Cu (both) and Mo Kα1: International Tables for Crystallography, Vol. C (2nd ed.),
#: Table 4.2.2.1, p. 203 (Cu Kα1 1.54059292(45), Kα2 1.5444140(19), Mo Kα1 0.70931713(41),
#: after Härtwig, Hölzer et al.).  Cr, Fe, Co and Mo Kα2: J. A. Bearden, Rev. Mod. Phys. 39,
#: 78 (1967), converted from Å* to Å (a common factor, which Bragg's law does not see: only
#: λ2/λ1 enters a tie).  Ag: from the Kα1 and Kα2 energies of R. D. Deslattes et al., Rev.
#: Mod. Phys. 75, 35 (2003).  λ2/λ1 agrees with xraylib's line energies (KL2, KL3) to within
#: 3e-5 for every anode; tables differ in it by about 1e-5 (0.002° in 2θ at 2θ = 120°).
ANODES = {
    "Cr": (2.289760, 2.293663),
    "Fe": (1.936090, 1.940028),
    "Co": (1.789010, 1.792894),
    "Cu": (1.54059292, 1.5444140),
    "Mo": (0.70931713, 0.7136073),
    "Ag": (0.559421, 0.563812),
}


def wavelength_ratio(anode):
    """λ2/λ1 of ``anode``: a name from :data:`ANODES` or a pair (λ1, λ2)."""
    if isinstance(anode, str):
        if anode not in ANODES:
            raise ValueError(f"anode: unknown anode {anode!r}; expected one of "
                             f"{', '.join(ANODES)}, or a pair of wavelengths (λ1, λ2)")
        lam1, lam2 = ANODES[anode]
    else:
        if not hasattr(anode, "__len__") or len(anode) != 2:
            raise TypeError(f"anode: expected an anode's name or a pair (λ1, λ2), got "
                            f"{anode!r}")
        lam1, lam2 = (positive(v, f"anode[{i}]") for i, v in enumerate(anode))
        if not lam2 > lam1:
            raise ValueError(f"anode: Kα2 ({lam2}) must have the longer wavelength than Kα1 "
                             f"({lam1})")
    return lam2 / lam1


def kalpha2(peak, anode="Cu", ratio=0.5, name=None):
    """The Kα2 partner of a Kα1 reflection.

    The partner's centre follows the reflection's by Bragg's law at the anode's two
    wavelengths, 2θ₂ = 2 asin(λ2/λ1 · sin(2θ₁ / 2)), written as a tie that the engine
    evaluates (with its derivatives) during the fit; its area is ``ratio`` times the
    reflection's, and every other shape parameter (widths, mixing, asymmetry) is tied to the
    reflection's.

    Parameters
    ----------
    peak : Peak
        The Kα1 reflection, with a name (ties refer to it) and its centre ``x0`` in degrees
        of 2θ.
    anode : str or (float, float)
        ``"Cu"``, ``"Co"``, ``"Mo"``, ``"Fe"``, ``"Cr"`` or ``"Ag"`` (:data:`ANODES`), or the
        wavelengths (λ1, λ2) in any one unit.
    ratio : float
        Area of Kα2 over Kα1 (positive; about 0.5 for every anode).
    name : str, optional
        The partner's name; default ``<peak name>_a2``.

    Returns
    -------
    Peak
        The partner, of the same shape.  Fit it together with ``peak``.

    Raises
    ------
    TypeError
        For a ``peak`` that is not a Peak.
    ValueError
        For a peak without a name, a thermogram peak, an unknown anode, a ratio that is not
        positive and finite, a name that is not an identifier, and a reflection whose partner
        does not exist: λ2/λ1 · sin θ ≥ 1, or 2θ outside (0°, 180°), where its centre is
        known.

    Examples
    --------
    >>> import velmora
    >>> ka1 = velmora.Peak("pseudo_voigt", name="Si111", x0=28.44)
    >>> ka2 = velmora.kalpha2(ka1, "Cu")
    >>> ka2.name, ka2.ties["x0"]
    ('Si111_a2', '2 * degrees(asin(1.0024802658446594 * sin(radians(Si111.x0 / 2))))')
    >>> ka2.ties["area"], ka2.ties["gamma"]
    ('0.5 * Si111.area', 'Si111.gamma')
    """
    if not isinstance(peak, Peak):
        raise TypeError(f"peak: expected a velmora.Peak, got {type(peak).__name__}")
    spec = _spectral(peak.shape, "Kα2 partners")
    if peak.name is None:
        raise ValueError("peak: the Kα1 reflection needs a name for its partner's ties to "
                         "refer to (Peak(..., name='p0'))")
    q = wavelength_ratio(anode)
    ratio = positive(ratio, "ratio")
    if name is None:
        name = f"{peak.name}_a2"
    location = spec.location
    x0 = peak.values[location]
    if x0 is not None:
        if not 0.0 < x0 < 180.0:
            raise ValueError(f"{peak.name}.{location}: 2θ = {x0} lies outside (0°, 180°); a "
                             f"Kα2 partner needs the reflection's centre in degrees of 2θ")
        if q * math.sin(math.radians(x0 / 2)) >= 1.0:
            limit = 2 * math.degrees(math.asin(1.0 / q))
            raise ValueError(f"{peak.name}.{location}: the reflection at 2θ = {x0}° has no "
                             f"Kα2 partner (λ2/λ1 · sin θ ≥ 1: Kα2 reflects only below "
                             f"2θ = {limit:.4f}°)")
    ties = {p: f"{peak.name}.{p}" for p in peak.params if p != location}
    ties[location] = f"2 * degrees(asin({q!r} * sin(radians({peak.name}.{location} / 2))))"
    return Peak(peak.shape, name=name, area=f"{ratio!r} * {peak.name}.area", **ties)
