"""Readers of instrument files, one module per format, chosen by what the file holds.

Every reader module has

- ``FORMAT``, the format's name in messages, and ``EXTENSIONS``, the extensions its files
  usually carry (lower case);
- ``recognise(path, head)``, whether the file's first bytes ``head`` are of its format (a
  look at the signature or the header, never a parse of the whole file);
- ``read(path, region=None)``, an ``xarray.DataArray`` of counts with the channels last (see
  :func:`velmora.read`);
- ``regions(path)``, the names of what the file holds, in file order;
- optionally ``read_all(path)``, every region as ``[(name, DataArray), ...]`` after one
  parse, which :func:`regions` then uses.

A file goes to the first reader of ``READERS`` that recognises it, those of its extension
first, so a file saved under an unusual extension still opens and a file of one format is
never parsed by another format's reader.  A new format is a module here and an entry in
``READERS``.
"""
import math
import os
import warnings

import numpy as np

from . import (brml, bruker_raw, igor, labspec, maps, prodigy, renishaw, rigaku, scienta,
               tables, text, vamas, xrdml)
from .common import (FileError, Region, RegionList, file_size, has_module, looks_like_text,
                     read_bytes)

#: The readers, in the order they are tried; the plain text of columns comes last, as it
#: takes any text.
READERS = (vamas, xrdml, brml, bruker_raw, rigaku, renishaw, scienta, igor, prodigy, labspec,
           tables, maps, text)

# Enough of a file to recognise its format by.
_HEAD = 1 << 16


def formats_read():
    """The formats read, for messages: "VAMAS (.vms, .npl), ..."."""
    return "; ".join(f"{r.FORMAT} ({', '.join(r.EXTENSIONS)})" for r in READERS)


def reader_for(path):
    """The reader module of ``path``; a FileError for a path that is not a regular file (a
    Zarr store: a folder) or a file no reader recognises."""
    if isinstance(path, bytes) or not isinstance(path, (str, os.PathLike)):
        raise TypeError(f"path: expected a str or path-like, got {type(path).__name__}")
    name = os.fspath(path).rstrip("/" + os.sep) or os.fspath(path)
    ext = os.path.splitext(name)[1].lower()
    if os.path.isdir(name):
        if ext == ".zarr":
            file_size(name, folder=True)
            return maps
        raise FileError(f"cannot read {path}: is a directory")
    file_size(name)
    head = read_bytes(name, _HEAD)
    # Readers of the extension first; the text of columns, which takes any text, last.
    ordered = sorted(READERS, key=lambda r: (r is text, ext not in r.EXTENSIONS))
    for reader in ordered:
        if reader.recognise(name, head) or (reader is text and ext in text.EXTENSIONS
                                            and looks_like_text(head)):
            return reader
    suggested = " or ".join(r.FORMAT for r in READERS if ext in r.EXTENSIONS)
    empty = " (it is empty)" if not head else ""
    if suggested:
        what = (f"not a {suggested} file as its extension suggests{empty}, nor of another "
                f"format read here")
    else:
        what = f"not of a format read here{empty}"
    raise FileError(f"{path}: {what}; files read: {formats_read()}")


def _needs_xarray():
    if not has_module("xarray"):
        raise FileError("reading files needs xarray: pip install 'velmora[io]'")


def read(path, region=None, energy=None):
    """A spectrum, series or map from an instrument file (see :func:`velmora.read`)."""
    _needs_xarray()
    if energy not in (None, "binding", "kinetic"):
        raise ValueError(f"energy: expected None, 'binding' or 'kinetic', got {energy!r}")
    if isinstance(region, Region):
        region = region.name
    counts = reader_for(path).read(path, region)
    return counts if energy is None else energy_axis(counts, energy, path)


def regions(path):
    """The regions of a file, in file order, as a :class:`RegionList` (see
    :func:`velmora.regions`)."""
    _needs_xarray()
    reader = reader_for(path)
    found = RegionList()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # what the values are is said when a region is read
        named = reader.read_all(path) if hasattr(reader, "read_all") else \
            ((name, reader.read(path, name)) for name in reader.regions(path))
        for name, counts in named:
            found.append(Region.of(name, counts))
    return found


_ENERGY_NAMES = {"binding": ("binding_energy", "Binding energy"),
                 "kinetic": ("kinetic_energy", "Kinetic energy")}


def energy_axis(counts, energy, path):
    """``counts`` on the ``energy`` axis: binding from kinetic energy or back, through the
    excitation energy (E_B + E_K = h nu, the work function taken as zero)."""
    axis = counts.dims[-1]
    name, label = _ENERGY_NAMES[energy]
    if axis == name:
        return counts
    if axis not in ("binding_energy", "kinetic_energy"):
        raise FileError(f"{path}: energy={energy!r}: the channel axis is {axis!r}, not an "
                        f"electron energy")
    excitation = counts.attrs.get("excitation_energy")
    try:
        excitation = float(excitation)
    except (TypeError, ValueError):
        excitation = math.nan
    if not (math.isfinite(excitation) and excitation > 0):
        raise FileError(f"{path}: energy={energy!r}: the file gives no excitation energy to "
                        f"convert {axis.replace('_', ' ')} with")
    values = excitation - np.asarray(counts[axis].values, dtype=np.float64)
    out = counts.assign_coords({axis: values}).rename({axis: name})
    out[name].attrs = {"units": "eV", "long_name": label}
    if values.size > 1 and values[0] > values[-1]:
        out = out.isel({name: slice(None, None, -1)})
    out.attrs = dict(counts.attrs, energy=energy, energy_from=(
        f"{label.lower()} = excitation energy {excitation:g} eV - "
        f"{axis.replace('_', ' ')} (work function taken as zero)"))
    return out
