"""Bruker (Siemens) DIFFRAC ``.raw`` files: X-ray diffraction scans, binary.

Why a reader of our own.  The readers were compared before writing one:

- ``xylib`` (C++, LGPL; its Python bindings ``xylib-py`` last released 2020, the wheels
  2022, and they no longer build without SWIG): reads versions 1 ("RAW "), 2 ("RAW2") and
  3 ("RAW1.01"), not 4 ("RAW4.00"); reads the declared number of steps without checking it
  against the file (a damaged count reads past the end), and keeps no anode.
- ``xrayutilities`` 1.8.0, ``yadg`` 7.0.1: no Bruker .raw reader.

So version 3 ("RAW1.01", DIFFRAC plus) is read here: the layout xylib follows (from Bruker's
DIFFRAC plus XCH manual, appendix A), each field used checked on a real file, little-endian
throughout::

    file header, 712 bytes
        0  "RAW1.01"           8  status (1 done, 2 active, 3 aborted, 4 interrupted)
       12  ranges (uint32)    16  date (10 chars)   26  time (10 chars)
       36  user (72 chars)   326  sample id (60)   386  comment (160)
      608  anode (4 chars)   616  wavelengths (float64): average, Kα1, Kα2, Kβ, Kα2/Kα1
    per range: a range header of at least 304 bytes
        0  its length (uint32)       4  steps (uint32)
        8  start θ (float64)        16  start 2θ (float64)
      176  step size (float64)     192  time per step (float32)
      256  supplementary headers' length (uint32)
    then the supplementary headers, then one float32 count per step.

The ranges must fill the file exactly: a range whose steps run past its end, or bytes after
the last one, are refused (a layout read wrong gives wrong numbers).  The grid is 2θ, from
the start 2θ by the step size.  The counts are counts as the detector gave them; the time
per step is the ``dwell_time``.  Versions 1, 2 and 4 are refused with a message naming the
version: none was at hand to check a reading against.  Several ranges on one grid are one
series (the ``scan`` axis); on different grids they are regions "range 1", "range 2", ...
"""
import os
import struct

import numpy as np

from . import scans as scan_regions
from .common import AXES, FileError, check_counts, looks_like_text, read_bytes

FORMAT = "Bruker RAW"
EXTENSIONS = (".raw",)

_FILE_HEADER = 712
_RANGE_HEADER = 304
_VERSIONS = {b"RAW ": "1 ('RAW ')", b"RAW2": "2 ('RAW2')", b"RAW4": "4 ('RAW4.00')"}
_STATUS = {2: "active", 3: "aborted", 4: "interrupted"}


def recognise(path, head):
    """Whether the file is binary and starts with a Bruker RAW signature."""
    signed = head.startswith((b"RAW1.01", b"RAW ", b"RAW2", b"RAW4"))
    return signed and not looks_like_text(head)


def _string(raw, offset, length):
    return raw[offset:offset + length].split(b"\0", 1)[0].decode("latin-1").strip()


def _scans(path):
    raw = read_bytes(path)
    size = len(raw)
    if not raw.startswith(b"RAW1.01"):
        version = _VERSIONS.get(raw[:4], repr(raw[:7].decode("latin-1")))
        raise FileError(f"{path}: a Bruker RAW file of version {version}; only version 3 "
                        f"('RAW1.01') is read: export the scan from DIFFRAC as .brml or "
                        f"RAW version 3")
    if size < _FILE_HEADER + _RANGE_HEADER:
        raise FileError(f"{path}: {size} bytes, fewer than the {_FILE_HEADER}-byte file header "
                        f"and one {_RANGE_HEADER}-byte range header (a truncated file?)")
    status, ranges = struct.unpack_from("<II", raw, 8)
    if not 1 <= ranges <= (size - _FILE_HEADER) // _RANGE_HEADER:
        raise FileError(f"{path}: declares {ranges} ranges, which a file of {size} bytes "
                        f"cannot hold")
    average, alpha1, alpha2, _, ratio = struct.unpack_from("<5d", raw, 616)
    attrs = {"technique": "XRD", "source_file": os.path.basename(os.fspath(path)),
             "sample": _string(raw, 326, 60), "comment": _string(raw, 386, 160),
             "anode": _string(raw, 608, 4),
             "date": " ".join(filter(None, (_string(raw, 16, 10), _string(raw, 26, 10)))),
             "status": _STATUS.get(status)}
    for name, value in (("wavelength_kalpha1", alpha1), ("wavelength_kalpha2", alpha2),
                        ("kalpha2_ratio", ratio)):
        if np.isfinite(value) and 0 < value < 100:
            attrs[name] = value
    found, at = [], _FILE_HEADER
    for k in range(1, ranges + 1):
        found.append(_range(path, raw, at, k, attrs))
        at = found[-1][1]
    if at != size:
        raise FileError(f"{path}: {size - at} bytes after the last of its {ranges} ranges (a "
                        f"layout not read here, or a damaged file)")
    return [scan for scan, _ in found]


def _range(path, raw, at, k, attrs):
    """Range ``k``, whose header starts at byte ``at``: the Scan and where the next range
    starts."""
    size = len(raw)
    if size - at < _RANGE_HEADER:
        raise FileError(f"{path}: range {k} starts {size - at} bytes before the end of the "
                        f"file, too few for its {_RANGE_HEADER}-byte header")
    length, steps = struct.unpack_from("<II", raw, at)
    start_theta, start = struct.unpack_from("<dd", raw, at + 8)
    (step,) = struct.unpack_from("<d", raw, at + 176)
    (dwell,) = struct.unpack_from("<f", raw, at + 192)
    (supplementary,) = struct.unpack_from("<I", raw, at + 256)
    if length < _RANGE_HEADER:
        raise FileError(f"{path}: range {k} declares a header of {length} bytes; version 3 "
                        f"range headers have {_RANGE_HEADER} or more")
    data = at + length + supplementary
    if data > size or steps < 2 or steps > (size - data) // 4:
        raise FileError(f"{path}: range {k} declares {steps} steps after "
                        f"{length + supplementary} header bytes, which the {size - at} bytes "
                        f"left cannot hold as 4-byte counts (or fewer than 2 steps)")
    if not (np.isfinite(start) and np.isfinite(step) and step != 0):
        raise FileError(f"{path}: range {k} gives a start 2θ {start!r} and a step {step!r}, "
                        f"not a grid")
    counts = np.frombuffer(raw, dtype="<f4", count=steps, offset=data).astype(np.float64)
    if not np.all(np.isfinite(counts)):
        raise FileError(f"{path}: range {k} holds counts that are not finite numbers")
    check_counts(path, counts)
    scan_attrs = dict(attrs)
    if np.isfinite(dwell) and dwell > 0:
        scan_attrs["dwell_time"] = float(f"{dwell:.7g}")  # a float32 as written
    if np.isfinite(start_theta):
        scan_attrs["start_theta"] = start_theta
    grid = start + step * np.arange(steps)
    return scan_regions.Scan(grid, counts, AXES["two_theta"], scan_attrs), data + 4 * steps


def regions(path):
    """The regions of a RAW file: one when every range has the same grid (read as a series),
    else "range 1", "range 2", ..."""
    return scan_regions.names(_scans(path), "range")


def read(path, region=None):
    """A RAW file's ranges as an ``xarray.DataArray`` of counts (see :func:`velmora.read`)."""
    return scan_regions.read(path, _scans(path), region, "range")
