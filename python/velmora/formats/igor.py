"""Igor Pro binary waves (``.ibw``, version 5), as Scienta SES saves a region: the intensities,
the energy scaling of the wave's x dimension with its units ("Binding Energy [eV]"), and the
SES keys of the region in the wave's note.

Why a parser of our own.  ``igor2`` 0.5.15 (2026-11, maintained, LGPL) reads every version of
the format, but it trusts the sizes in the header: a note size of 10^9 in a 3.5 kB file
ends in a MemoryError, a declared point count of 10^9 made it take 8 GB of memory before it
was stopped, and a truncated file raises TypeError, ValueError or AssertionError by where it
ends.  Version 5 (Igor Pro 3 and later, and what SES writes) is two fixed headers and
blocks of declared sizes, so it is parsed here, every size checked against the file's own
before anything is read.

The layout (byte order told by the version field, 5)::

    BinHeader5 (64 bytes)    version, checksum, wfmSize (WaveHeader5 and data), formulaSize,
                             noteSize, dataEUnitsSize, dimEUnitsSize[4], dimLabelsSize[4],
                             sIndicesSize, optionsSize1, optionsSize2
    WaveHeader5 (320 bytes)  npnts at 12, type at 16, bname at 28, nDim[4] at 68,
                             sfA[4] (delta) at 84, sfB[4] (start) at 116, dataUnits at 148,
                             dimUnits[4][4] at 152
    data                     npnts values of the type, the first dimension running fastest
    formula, note, data units, dimension units, dimension labels, ... (the sizes above)

The 16-bit words of both headers sum to zero (the checksum), which is how a wave is told
from other bytes.  A two-dimensional wave (energy by angle or slice) is a series along its
second dimension.
"""
import math
import os
import re
import struct

import numpy as np

from . import scienta
from .common import (FileError, axis_from_label, check_counts, choose, read_bytes, snake,
                     spectrum)

FORMAT = "WaveMetrics Igor binary wave"
EXTENSIONS = (".ibw",)

_BIN = struct.Struct("hhiiii4i4iiii")
_HEADERS = 64 + 320
# The wave types: Igor's numeric type codes (complex and text waves are not spectra).
_TYPES = {2: "f4", 4: "f8", 8: "i1", 0x10: "i2", 0x20: "i4",
          0x48: "u1", 0x50: "u2", 0x60: "u4"}
_UNITS = re.compile(r"^(.*?)\s*\[([^\]]*)\]\s*$")


def _order(head):
    """The byte order of a version-5 wave ("<" or ">"), or None."""
    if head[:2] == b"\x05\x00":
        return "<"
    if head[:2] == b"\x00\x05":
        return ">"
    return None


def recognise(path, head):
    """Whether the file starts with the headers of a version-5 wave, their checksum true; or,
    named .ibw, with the version number of an older wave (refused with its version when
    read)."""
    order = _order(head)
    if order is None:
        return os.fspath(path).lower().endswith(".ibw") and head[:2] in (
            b"\x01\x00", b"\x02\x00", b"\x03\x00", b"\x00\x01", b"\x00\x02", b"\x00\x03")
    if len(head) < _HEADERS:
        return False
    words = np.frombuffer(head[:_HEADERS], dtype=f"{order}u2")
    return int(words.sum(dtype=np.int64)) % 65536 == 0


def _wave(path):
    """The wave of an .ibw file: a dict of its values, dimensions, scaling, units and note."""
    raw = read_bytes(path)
    order = _order(raw)
    if order is None:
        version = max(raw[:2]) if len(raw) >= 2 and min(raw[:2]) == 0 else None
        if version in (1, 2, 3):
            raise FileError(f"{path}: an Igor binary wave of version {version}; version 5 "
                            f"(Igor Pro 3 and later, Scienta SES) is read")
        raise FileError(f"{path}: not an Igor binary wave (no version 5 at its start)")
    if len(raw) < _HEADERS:
        raise FileError(f"{path}: {len(raw)} bytes, shorter than the {_HEADERS} bytes of a "
                        f"wave's headers (a truncated file?)")
    if not recognise(path, raw[:_HEADERS]):
        raise FileError(f"{path}: the checksum of the wave's headers is wrong (a damaged "
                        f"file)")
    fields = struct.unpack_from(order + _BIN.format, raw, 0)
    wfm, formula, note, data_units, dim_units, labels = (
        fields[2], fields[3], fields[4], fields[5], fields[6:10], fields[10:14])
    rest = fields[14:17]
    sizes = (wfm, formula, note, data_units, *dim_units, *labels, *rest)
    if min(sizes) < 0 or 64 + sum(sizes) > len(raw):
        raise FileError(f"{path}: the header declares blocks of {64 + sum(sizes)} bytes in "
                        f"all, the file has {len(raw)} (a truncated or damaged file)")
    npnts, kind = struct.unpack_from(order + "ih", raw, 64 + 12)
    n_dim = struct.unpack_from(order + "4i", raw, 64 + 68)
    delta = struct.unpack_from(order + "4d", raw, 64 + 84)
    start = struct.unpack_from(order + "4d", raw, 64 + 116)
    if kind not in _TYPES:
        what = "a text wave" if kind == 0 else "complex" if kind & 1 else f"type {kind}"
        raise FileError(f"{path}: the wave holds {what}, not real numbers")
    dtype = np.dtype(order + _TYPES[kind])
    dims = [n for n in n_dim if n > 0]
    if npnts < 1 or min(n_dim) < 0 or not dims or math.prod(dims) != npnts:
        raise FileError(f"{path}: {npnts} points in dimensions {tuple(n_dim)}: a damaged "
                        f"wave header")
    if len(dims) > 2:
        raise FileError(f"{path}: a wave of {len(dims)} dimensions; spectra (one) and series "
                        f"of them (two) are read")
    if 320 + npnts * dtype.itemsize > wfm:
        raise FileError(f"{path}: {npnts} values of {dtype.itemsize} bytes do not fit the "
                        f"{wfm - 320} data bytes the header declares")
    values = np.frombuffer(raw, dtype=dtype, count=npnts, offset=_HEADERS).astype(np.float64)
    # After the data: the formula, the note, the data's units, each dimension's units.
    at = 64 + wfm + formula
    texts = []
    for size in (note, data_units, *dim_units):
        texts.append(raw[at:at + size].decode("latin-1"))
        at += size
    note_text, data_text, x_text, y_text = texts[:4]
    short = [raw[64 + 152 + 4 * k:64 + 156 + 4 * k].split(b"\0")[0].decode("latin-1")
             for k in range(2)]
    return {"values": values.reshape(dims[::-1]), "dims": dims, "start": start,
            "delta": delta, "note": note_text,
            "name": raw[64 + 28:64 + 60].split(b"\0")[0].decode("latin-1"),
            "data_units": data_text or raw[64 + 148:64 + 152].split(b"\0")[0].decode("latin-1"),
            "x_units": x_text or short[0], "y_units": y_text or short[1]}


def _note(text):
    """The key=value lines of a wave note (SES separates them by CR)."""
    keys = {}
    for line in re.split(r"\r\n|\r|\n", text):
        key, sep, value = line.partition("=")
        if sep:
            keys.setdefault(key.strip(), value.strip())
    return keys


def _name(wave, keys):
    return keys.get("Region Name") or wave["name"] or "spectrum"


def regions(path):
    """An .ibw file holds one wave: its region's name (from the SES note), else the wave's."""
    wave = _wave(path)
    return [_name(wave, _note(wave["note"]))]


def read(path, region=None):
    """The wave of an .ibw file as an ``xarray.DataArray`` of counts (see
    :func:`velmora.read`)."""
    wave = _wave(path)
    keys = _note(wave["note"])
    name = _name(wave, keys)
    choose(path, [name], region)
    if not (np.isfinite(wave["start"][0]) and np.isfinite(wave["delta"][0])
            and wave["delta"][0] != 0):
        raise FileError(f"{path}: the wave's x scaling (start {wave['start'][0]:g}, step "
                        f"{wave['delta'][0]:g}) is no grid")
    x = wave["start"][0] + wave["delta"][0] * np.arange(wave["dims"][0])
    match = _UNITS.match(wave["x_units"])
    label, units = (match.group(1), match.group(2)) if match else ("", wave["x_units"])
    axis = axis_from_label(label, units)
    scale = keys.get("Energy Scale", "").strip().lower()
    if axis[0] not in ("binding_energy", "kinetic_energy") and scale in ("kinetic", "binding") \
            and units.strip() in ("", "eV"):
        axis = axis_from_label(scale, "eV")
    if axis[0] in ("binding_energy", "kinetic_energy"):
        attrs = scienta.metadata(path, keys, name, keys.get("Version"), axis)
    else:
        attrs = {"region": name, "source_file": os.path.basename(os.fspath(path))}
    values, dims, coords = wave["values"], (), {}
    if len(wave["dims"]) == 1:
        values = values.reshape(-1)
    else:
        match = _UNITS.match(wave["y_units"])
        label2, units2 = (match.group(1), match.group(2)) if match else ("", wave["y_units"])
        dim = snake(label2) if label2 else "slice"
        grid = wave["start"][1] + wave["delta"][1] * np.arange(wave["dims"][1])
        if not np.all(np.isfinite(grid)):
            grid = np.arange(wave["dims"][1], dtype=np.float64)
        dim_attrs = {"long_name": label2 or "Slice"}
        if units2:
            dim_attrs["units"] = units2
        dims, coords = (dim,), {dim: (grid, dim_attrs)}
    check_counts(path, values, f"{wave['data_units'] or 'no units'}")
    return spectrum(path, x, values, axis, attrs, dims, coords)
