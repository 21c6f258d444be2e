"""What every instrument reader shares: the x axis's name, units and long name; counts from
what a file stores (counts, counts per second, or values that are not counts); picking a
region by name; and building the ``xarray.DataArray`` that :func:`velmora.read` returns.

The conventions are those of the package's results and plots: the channel axis is named
``binding_energy`` or ``kinetic_energy`` (eV), ``two_theta`` (degree), ``raman_shift`` (1/cm)
or ``x``, and carries the attributes ``units`` and ``long_name``; the counts' attributes say
what was measured (``technique``, ``energy``, ``excitation_energy``, ``dwell_time``,
``scans``, ``sample``, ``region``, ``source_file``, ``counts_from``, ``anode``, ...).
"""
import os
import re
import sys
import warnings

import numpy as np

from ..io import CountsWarning, FileError

#: The channel axes a reader can name: (dimension name, units, long name).
AXES = {
    "binding": ("binding_energy", "eV", "Binding energy"),
    "kinetic": ("kinetic_energy", "eV", "Kinetic energy"),
    "two_theta": ("two_theta", "degree", "2θ"),
    "raman": ("raman_shift", "1/cm", "Raman shift"),
}

# A value this close to a whole number is taken for one (counts written as "1234.0", or as
# single-precision floats by Raman software).
_WHOLE = 1e-6


def axis_from_label(label, units=""):
    """The channel axis (name, units, long name) that a file's label and units describe: an
    energy, 2θ or a Raman shift where the words say so, else ``x`` with the file's own label
    and units."""
    words = re.sub(r"[\s_\-]+", " ", str(label).strip().lower())
    unit_words = str(units).strip().lower()
    if "binding" in words:
        return AXES["binding"]
    if "kinetic" in words:
        return AXES["kinetic"]
    if re.search(r"2 ?theta|2 ?θ|two theta", words):
        return AXES["two_theta"]
    if "raman" in words or (("shift" in words or "wavenumber" in words)
                            and re.search(r"cm ?-1|cm-¹|1/cm|cm\^-1", unit_words)):
        return AXES["raman"]
    return "x", str(units).strip(), str(label).strip() or "x"


def region_names(names):
    """Names made unique in file order: a repeated name gets " (2)", " (3)", ..."""
    seen, unique = {}, []
    for name in names:
        seen[name] = seen.get(name, 0) + 1
        unique.append(name if seen[name] == 1 else f"{name} ({seen[name]})")
    return unique


def choose(path, names, region):
    """The index of ``region`` among ``names``; with ``region=None`` the only one. A
    FileError names the ones there are."""
    listed = ", ".join(repr(n) for n in names)
    if region is None:
        if len(names) == 1:
            return 0
        raise FileError(f"{path}: holds {len(names)} regions ({listed}); choose one with "
                        f"region=... (--region on the command line)")
    if not isinstance(region, str):
        raise TypeError(f"region: expected a name (str), got {type(region).__name__}")
    if region in names:
        return names.index(region)
    folded = [n.casefold().strip() for n in names]
    if region.casefold().strip() in folded:
        return folded.index(region.casefold().strip())
    raise FileError(f"{path}: no region {region!r}; the file holds {listed}")


def is_whole(values):
    """Whether every finite value is a whole number (NaN marks a missing spectrum)."""
    finite = values[np.isfinite(values)]
    return bool(np.all(np.abs(finite - np.round(finite)) <= _WHOLE * np.maximum(1.0,
                                                                                np.abs(finite))))


def counts_from_rate(path, rate, dwell, scans, attrs):
    """Counts from counts per second: times the dwell time and the number of scans (both
    needed: without them the rates are kept, with a warning)."""
    if dwell is None or not dwell > 0:
        not_counts(path, "counts per second and the file gives no dwell time to turn them "
                         "into counts")
        return rate
    scans = 1 if scans is None or scans < 1 else int(scans)
    attrs["counts_from"] = (f"counts per second x dwell time {dwell:g} s x {scans} scan"
                            f"{'' if scans == 1 else 's'}")
    return rate * (dwell * scans)


def check_counts(path, values, source=None):
    """Warns where the intensities cannot be counts (values that are not whole numbers, or
    negative); the values are kept.  ``source`` names what the file calls them."""
    finite = values[np.isfinite(values)]
    named = f"{source}; " if source else ""
    if finite.size and finite.min() < 0:
        not_counts(path, f"negative in places ({named}processed data)")
    elif not is_whole(values):
        not_counts(path, f"not whole numbers ({named}normalised or processed data)")


def not_counts(path, why):
    """The warning for intensities kept as they are although they are not counts."""
    warnings.warn(f"{path}: the intensities are {why}; they are kept as they are, but the "
                  f"Poisson likelihood of velmora.fit needs counts (its standard errors and "
                  f"tests assume them)", CountsWarning, stacklevel=_outside())


def _outside():
    """The stack level of the first caller outside the package (the warning points there)."""
    package = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    frame, level = sys._getframe(1), 1
    while frame is not None and os.path.abspath(frame.f_code.co_filename).startswith(package):
        frame, level = frame.f_back, level + 1
    return level


def spectrum(path, x, values, axis, attrs, dims=(), coords=None, extra=None):
    """The DataArray :func:`velmora.read` returns: ``values`` of shape (spectrum axes...,
    channels), the channel axis ``axis`` = (name, units, long name) with grid ``x``, the
    spectrum axes ``dims`` with ``coords`` = {dim: (values, attrs)}, channel-long extras
    ``extra`` = {name: (values, attrs)} (a transmission function), and ``attrs``."""
    import xarray as xr

    name, units, long_name = axis
    if name in dims:  # an unnamed channel axis beside a spatial axis "x"
        dims = tuple(f"map_{d}" if d in ("x", "y") else d for d in dims)
        coords = {(f"map_{d}" if d in ("x", "y") else d): v for d, v in (coords or {}).items()}
    x = np.asarray(x, dtype=np.float64)
    values = np.asarray(values, dtype=np.float64)
    if x.ndim != 1 or x.size == 0 or values.shape[-1] != x.size:
        raise FileError(f"{path}: {values.shape[-1] if values.ndim else 0} intensities for a "
                        f"grid of {x.size} points")
    if not np.all(np.isfinite(x)):
        raise FileError(f"{path}: the {long_name.lower()} grid holds values that are not "
                        f"finite numbers")
    axis_attrs = {"long_name": long_name}
    if units:
        axis_attrs["units"] = units
    all_coords = {name: (name, x, axis_attrs)}
    for dim, (vals, dim_attrs) in (coords or {}).items():
        all_coords[dim] = (dim, np.asarray(vals), dict(dim_attrs))
    for key, (vals, key_attrs) in (extra or {}).items():
        all_coords[key] = (name, np.asarray(vals, dtype=np.float64), dict(key_attrs))
    attrs = {k: v for k, v in attrs.items() if v is not None and v != ""}
    attrs.setdefault("source_file", os.path.basename(os.fspath(path)))
    return xr.DataArray(values, dims=tuple(dims) + (name,), coords=all_coords,
                        name="counts", attrs=attrs)


def number(text):
    """A float from a file's text, or None."""
    try:
        value = float(str(text).strip().replace(",", "."))
    except (TypeError, ValueError):
        return None
    return value if np.isfinite(value) else None


def snake(label):
    """A dimension name from a label: "Etch Time" -> "etch_time"."""
    name = re.sub(r"[^0-9a-zA-Z]+", "_", str(label).strip()).strip("_").lower()
    return name or "series"
