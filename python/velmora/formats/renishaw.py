"""Renishaw WiRE ``.wdf`` files: Raman spectra, series and maps, read by RosettaSciIO
(``rsciio``, the HyperSpy project's readers, maintained).

A ``.wdf`` file is a chain of blocks, each a 4-letter name, a 32-bit id and a 64-bit size
(header included), little-endian: ``WDF1`` (the 512-byte header: points per spectrum, number
of spectra, measurement type, intensity unit, laser wavenumber, title), ``XLST`` (the
spectral axis and its unit), ``DATA`` (32-bit floats, spectrum after spectrum), and for
series and maps ``ORGN`` (each spectrum's stage position or time) and ``WMAP`` (the map's
grid).  The chain is walked here first, so that a truncated or damaged file is refused with
a clear message instead of reaching the reader (whose block walk loops for ever on a block
of size 0).

A map gives the dimensions (y, x) and a series one dimension (``time``, ``z``, ...), each
with its coordinate and units; the spectral axis is ``raman_shift`` (1/cm) or ``x`` with the
file's unit (a wavelength in nm).
"""
import os
import struct

import numpy as np

from .common import FileError, check_counts, choose, not_counts, spectrum
from .rosetta import axes_of, read_rsciio

HEADER = struct.Struct("<4sIQ")
# Offsets into the WDF1 block (after its 16-byte block header) of the sizes the data need.
_POINTS, _SPECTRA = 44, 56   # uint32 points per spectrum; uint64 number of spectra


FORMAT = "Renishaw WiRE"
EXTENSIONS = (".wdf",)


def recognise(path, head):
    """Whether the file starts with the header block ``WDF1``."""
    return head.startswith(b"WDF1")


def _walk(path):
    """The blocks of a .wdf file: {name: (offset of the content, content size)}; a FileError
    for anything that is not a whole chain of blocks."""
    try:
        size = os.path.getsize(path)
        handle = open(path, "rb")
    except OSError as exc:
        raise FileError(f"cannot read {path}: {exc.strerror or exc}") from None
    blocks = {}
    with handle:
        if handle.read(4) != b"WDF1":
            raise FileError(f"{path}: not a Renishaw WiRE file (it does not start with 'WDF1')")
        pos = 0
        while pos < size:
            handle.seek(pos)
            raw = handle.read(HEADER.size)
            if len(raw) < HEADER.size:
                raise FileError(f"{path}: ends inside a block header at byte {pos} (a truncated "
                                f"file?)")
            name, uid, length = HEADER.unpack(raw)
            label = name.decode("latin-1")
            if length < HEADER.size or pos + length > size:
                raise FileError(f"{path}: block {label!r} at byte {pos} claims {length} bytes, "
                                f"{size - pos} remain (a truncated or damaged file)")
            blocks.setdefault(label.strip(), (pos + HEADER.size, length - HEADER.size))
            pos += length
        for need in ("WDF1", "XLST", "DATA"):
            if need not in blocks:
                raise FileError(f"{path}: no {need} block (a damaged file)")
        start, length = blocks["WDF1"]
        if length < 496:
            raise FileError(f"{path}: a header block of {length + 16} bytes; it has 512")
        handle.seek(start + _POINTS)
        points = struct.unpack("<I", handle.read(4))[0]
        handle.seek(start + _SPECTRA)
        spectra = struct.unpack("<Q", handle.read(8))[0]
    if points < 1 or spectra < 1:
        raise FileError(f"{path}: {points} points per spectrum, {spectra} spectra: no data")
    if blocks["DATA"][1] < 4 * points * spectra:
        raise FileError(f"{path}: the DATA block holds {blocks['DATA'][1]} bytes, {spectra} "
                        f"spectra of {points} points need {4 * points * spectra} (a truncated "
                        f"file?)")
    if blocks["XLST"][1] < 8 + 4 * points:
        raise FileError(f"{path}: the XLST block is too short for {points} points")
    return blocks


def regions(path):
    """A .wdf file holds one measurement: its name is "spectrum"."""
    _walk(path)
    return ["spectrum"]


def read(path, region=None):
    """A Renishaw .wdf file as an ``xarray.DataArray`` of counts (see :func:`velmora.read`)."""
    _walk(path)
    choose(path, ["spectrum"], region)
    found, messages = read_rsciio(path, "rsciio.renishaw")
    x, axis, dims, coords = axes_of(path, found)
    values = np.asarray(found["data"], dtype=np.float64)
    header = found.get("original_metadata", {}).get("WDF1_1", {})
    detector = found.get("metadata", {}).get("Acquisition_instrument", {}).get("Detector", {})
    attrs = {"technique": "Raman", "title": header.get("title") or None,
             "source_file": os.path.basename(os.fspath(path)),
             "measurement_type": header.get("measurement_type")}
    wavenumber = header.get("laser_wavenumber")
    if wavenumber and np.isfinite(wavenumber) and wavenumber > 0:
        attrs["laser_wavelength"] = float(1e7 / wavenumber)
    frames = detector.get("frames") or header.get("accumulations_per_spectrum")
    if frames:
        attrs["scans"] = int(frames)
    if detector.get("integration_time") and detector.get("frames"):
        attrs["dwell_time"] = float(detector["integration_time"]) / float(detector["frames"])
    averaged = any("averaged" in m for _, m in messages)
    if averaged:
        not_counts(path, "the mean of several spectra per point (the map's grid does not match "
                         "the number of spectra)")
    elif header.get("quantity_unit", "counts") != "counts":
        not_counts(path, f"in units {header.get('quantity_unit')!r}, not counts")
    else:
        check_counts(path, values)
    return spectrum(path, x, values, axis, attrs, dims, coords)
