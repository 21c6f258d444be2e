"""What every instrument reader shares: the x axis's name, units and long name; counts from
what a file stores (counts, counts per second, or values that are not counts); picking a
region by name; and building the ``xarray.DataArray`` that :func:`velmora.read` returns.

The conventions are those of the package's results and plots: the channel axis is named
``binding_energy`` or ``kinetic_energy`` (eV), ``two_theta`` (degree), ``raman_shift`` (1/cm)
or ``x``, and carries the attributes ``units`` and ``long_name``; the counts' attributes say
what was measured (``technique``, ``energy``, ``excitation_energy``, ``dwell_time``,
``scans``, ``sample``, ``region``, ``source_file``, ``counts_from``, ``anode``, ...).
"""
import importlib.util
import os
import re
import stat
import sys
import warnings
from dataclasses import dataclass

import numpy as np


class FileError(ValueError):
    """A file that cannot be read as a spectrum (a ValueError); the message says why in one
    line."""


class CountsWarning(UserWarning):
    """Intensities read from a file that cannot be counts (normalised or processed data, rates
    without a dwell time): they are kept, but the Poisson likelihood of a fit needs counts."""


#: The largest file read whole into memory.  Spectra, maps in text and instrument exports are
#: far smaller; a larger file is refused before it is read.
MAX_FILE_BYTES = 1 << 30


def has_module(name):
    """Whether the module ``name`` can be imported (without importing it)."""
    return importlib.util.find_spec(name) is not None


def _oserror(path, exc):
    return FileError(f"cannot read {path}: {exc.strerror or exc}")


def file_size(path, folder=False):
    """The size in bytes of the regular file ``path`` (with ``folder``, of every file in the
    folder ``path``); a FileError for anything else: a path that is not there, a device, a
    pipe or a socket (read without end, or never answering), or a folder where a file is
    expected.  Links are followed: a link to /dev/zero is a device."""
    try:
        st = os.stat(path)
    except FileNotFoundError:
        raise FileError(f"cannot read {path}: no such file or directory") from None
    except OSError as exc:
        raise _oserror(path, exc) from None
    if stat.S_ISDIR(st.st_mode):
        if not folder:
            raise FileError(f"cannot read {path}: is a directory")
        total = 0
        for root, _, files in os.walk(path):
            for name in files:
                total += file_size(os.path.join(root, name))
        return total
    if not stat.S_ISREG(st.st_mode):
        raise FileError(f"cannot read {path}: not a regular file (a device, a pipe or a "
                        f"socket)")
    return st.st_size


def read_bytes(path, limit=None):
    """The bytes of a regular file (its first ``limit`` when given), a FileError saying why
    when it cannot be read; a file larger than :data:`MAX_FILE_BYTES` is refused unread."""
    size = file_size(path)
    if limit is None and size > MAX_FILE_BYTES:
        raise FileError(f"cannot read {path}: {size / 2**30:.1f} GiB, more than the "
                        f"{MAX_FILE_BYTES >> 30} GiB a spectrum file is read up to")
    try:
        with open(path, "rb") as handle:
            return handle.read(-1 if limit is None else limit)
    except OSError as exc:
        raise _oserror(path, exc) from None


def decode(raw, path, fallback=None):
    """Text from a file's bytes: UTF-8 with or without a byte-order mark, else the 8-bit
    ``fallback`` encoding when given (instrument software on Windows writes Latin-1 or
    cp1252), else a FileError; UTF-16 is refused with a hint either way."""
    if raw.startswith((b"\xff\xfe", b"\xfe\xff")):
        raise FileError(f"cannot read {path}: it is UTF-16 text; save it as UTF-8")
    try:
        return raw.decode("utf-8-sig")
    except UnicodeDecodeError as exc:
        if fallback is not None:
            return raw.decode(fallback, errors="replace")
        raise FileError(f"cannot read {path}: not UTF-8 text (byte 0x{raw[exc.start]:02x} at "
                        f"offset {exc.start}); save it as UTF-8") from None


def looks_like_text(head):
    """Whether the first bytes of a file can be text: no NUL bytes and few control
    characters (UTF-16 text, which is refused with its own message, counts as text)."""
    if head.startswith((b"\xff\xfe", b"\xfe\xff")):
        return True
    if b"\x00" in head:
        return False
    controls = sum(head.count(bytes([c])) for c in range(32) if c not in (9, 10, 12, 13, 26))
    return controls <= len(head) // 100


def first_line(exc):
    """The first line of an exception's message (its type's name when it has none)."""
    text = str(exc).strip().splitlines()
    return text[0] if text else type(exc).__name__

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


def numpy_number(text):
    """Whether NumPy reads ``text`` as one finite number, as it reads a block of them at once
    (a control character that Python's own float() strips as blank counts against it)."""
    try:
        value = np.array([text], dtype=np.float64)[0]
    except ValueError:
        return False
    return bool(np.isfinite(value))


def snake(label):
    """A dimension name from a label: "Etch Time" -> "etch_time"."""
    name = re.sub(r"[^0-9a-zA-Z]+", "_", str(label).strip()).strip("_").lower()
    return name or "series"


@dataclass(frozen=True)
class Region:
    """One region of an instrument file, as :func:`velmora.regions` lists it.

    Attributes
    ----------
    name : str
        What :func:`velmora.read` takes as ``region=``.
    axis : str
        The channel axis: ``binding_energy``, ``kinetic_energy``, ``two_theta``,
        ``raman_shift`` or ``x``.
    units : str
        The channel axis's units ("" when the file does not say).
    start, stop : float
        The first and last channel, in file order.
    points : int
        Channels per spectrum.
    spectra : int
        Spectra in the region (more than one for a map or a series).
    sweeps : int or None
        Sweeps (scans, accumulations) summed into each spectrum, when the file says.
    energy : {"binding", "kinetic", None}
        The electron energy kind of the axis; None for any other axis.
    """

    name: str
    axis: str
    units: str
    start: float
    stop: float
    points: int
    spectra: int = 1
    sweeps: object = None
    energy: object = None

    @classmethod
    def of(cls, name, counts):
        """The region ``name`` as described by what :func:`velmora.read` returns for it."""
        axis = counts.dims[-1]
        grid = counts[axis].values
        sweeps = counts.attrs.get("scans")
        energy = counts.attrs.get("energy")
        return cls(name=name, axis=str(axis), units=str(counts[axis].attrs.get("units", "")),
                   start=float(grid[0]), stop=float(grid[-1]), points=int(grid.size),
                   spectra=int(np.prod(counts.shape[:-1], dtype=np.int64)),
                   sweeps=None if sweeps is None else int(sweeps),
                   energy=energy if energy in ("binding", "kinetic") else None)


class RegionList(list):
    """The regions of a file (a list of :class:`Region`), printed as a table; ``names`` gives
    their names in file order."""

    @property
    def names(self):
        return [r.name for r in self]

    _HEAD = ("region", "axis", "from", "to", "units", "points", "spectra", "sweeps")
    _RIGHT = (False, False, True, True, False, True, True, True)

    def _rows(self):
        return [(r.name, r.axis.replace("_", " "), f"{r.start:g}", f"{r.stop:g}", r.units,
                 str(r.points), str(r.spectra), "" if r.sweeps is None else str(r.sweeps))
                for r in self]

    def __str__(self):
        rows = [self._HEAD, *self._rows()]
        widths = [max(len(c) for c in column) for column in zip(*rows)]
        return "\n".join("  ".join(c.rjust(w) if right else c.ljust(w)
                                   for c, w, right in zip(row, widths, self._RIGHT)).rstrip()
                         for row in rows)

    def __repr__(self):
        return str(self)

    def _repr_html_(self):
        import html

        def cells(row, tag):
            return "".join(f"<{tag}>{html.escape(c)}</{tag}>" for c in row)

        return (f"<table><tr>{cells(self._HEAD, 'th')}</tr>"
                + "".join(f"<tr>{cells(row, 'td')}</tr>" for row in self._rows()) + "</table>")
