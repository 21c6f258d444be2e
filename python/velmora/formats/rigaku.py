"""Rigaku ``.ras`` files (SmartLab Guidance, SmartLab Studio): X-ray diffraction scans, text.

Why a reader of our own.  The readers were compared before writing one:

- ``xrayutilities`` 1.8.0 (2026-07, maintained; brings scipy, h5py, lmfit): reads the scans'
  rows as they stand, trusting ``*MEAS_DATA_COUNT`` for how many lines to take (a damaged
  count silently takes the wrong lines), drops every header byte that is not ASCII (the
  Japanese names and the ``|`` English parts with them), ignores the intensity unit (counts
  or counts per second) and keeps no tube or wavelength.
- ``xylib`` (bindings last released 2022): reads Rigaku ``.dat`` and binary ``.raw``, not
  ``.ras``.

The format is lines of text, so it is parsed here::

    *RAS_DATA_START
    *RAS_HEADER_START            one header and one block of rows per scan
    *KEY "value"                 Shift-JIS text; names in two languages as "日本語|English"
    *RAS_HEADER_END
    *RAS_INT_START
    x intensity attenuation      one row per point
    *RAS_INT_END
    ...
    *RAS_DATA_END

Header keys read: ``*FILE_SAMPLE``, ``*FILE_MEMO``, ``*HW_XG_TARGET_NAME`` (the anode),
``*HW_XG_WAVE_LENGTH_ALPHA1``/``ALPHA2``, ``*MEAS_SCAN_AXIS_X``, ``*MEAS_SCAN_UNIT_X``/``_Y``,
``*MEAS_SCAN_MODE``, ``*MEAS_SCAN_STEP``, ``*MEAS_SCAN_SPEED`` and its unit,
``*MEAS_SCAN_START_TIME`` and ``*MEAS_DATA_COUNT`` (checked against the rows).

Counts: the intensity column as the counter gave it, for the Poisson likelihood; in counts
per second (``*MEAS_SCAN_UNIT_Y "cps"``) it is multiplied by the counting time of a point:
the speed in seconds per step of a step scan, or step / speed of a continuous scan in degrees
per minute.  The attenuation factor of each row is kept beside the counts (the coordinate
``attenuation``: the beam's intensity is counts x factor), never applied to them.  Several
scans on one grid are one series (the ``scan`` axis); on different grids they are regions
"scan 1", "scan 2", ...
"""
import os
import re

import numpy as np

from . import scans as scan_regions
from .common import (FileError, axis_from_label, check_counts, counts_from_rate, not_counts,
                     number, read_bytes)

FORMAT = "Rigaku RAS"
EXTENSIONS = (".ras",)

_KEY = re.compile(r'^\*(\S+)\s*"?(.*?)"?\s*$')


def recognise(path, head):
    """Whether the file starts with ``*RAS_DATA_START`` (or a scan's ``*RAS_HEADER_START``)."""
    return head.lstrip(b"\xef\xbb\xbf \t\r\n").startswith((b"*RAS_DATA_START",
                                                           b"*RAS_HEADER_START"))


def _text(path):
    raw = read_bytes(path)
    try:
        return raw.decode("utf-8-sig")
    except UnicodeDecodeError:
        return raw.decode("cp932", errors="replace")  # Shift-JIS, as SmartLab writes


def _english(value):
    """The English part of a value written "日本語|English" (the value when it has none)."""
    return value.rpartition("|")[2].strip() if "|" in value else value.strip()


def _scans(path):
    lines = _text(path).splitlines()
    found, k, n = [], 0, len(lines)
    while k < n:
        line = lines[k].strip()
        k += 1
        if line == "*RAS_HEADER_START":
            header, start = {}, k
            while k < n and lines[k].strip() != "*RAS_HEADER_END":
                match = _KEY.match(lines[k].strip())
                if match:
                    header[match.group(1)] = match.group(2)
                k += 1
            if k >= n:
                raise FileError(f"{path}: the header of scan {len(found) + 1} (line {start}) "
                                f"has no *RAS_HEADER_END (a truncated file?)")
            k += 1
            while k < n and not lines[k].strip():
                k += 1
            if k >= n or lines[k].strip() != "*RAS_INT_START":
                raise FileError(f"{path}, line {k + 1}: *RAS_INT_START expected after the "
                                f"header of scan {len(found) + 1}")
            first = k = k + 1
            while k < n and lines[k].strip() != "*RAS_INT_END":
                k += 1
            if k >= n:
                raise FileError(f"{path}: the rows of scan {len(found) + 1} (from line "
                                f"{first + 1}) have no *RAS_INT_END (a truncated file?)")
            found.append(_scan(path, header, lines[first:k], first + 1, len(found) + 1))
            k += 1
        elif line == "*RAS_DATA_END":
            break
        elif line and line.startswith(("*RAS_INT_", "*RAS_HEADER_END")):
            raise FileError(f"{path}, line {k}: {line} outside a scan")
    if not found:
        raise FileError(f"{path}: no scan (no *RAS_HEADER_START ... *RAS_INT_END)")
    return found


def _rows(path, rows, first, number_):
    """The rows of a scan as a (points, 2 or 3) array."""
    table = []
    for offset, line in enumerate(rows):
        fields = line.split()
        if not fields:
            continue
        try:
            if len(fields) not in (2, 3):
                raise ValueError(line)
            table.append([float(f) for f in fields] + ([1.0] if len(fields) == 2 else []))
        except ValueError:
            raise FileError(f"{path}, line {first + offset}: expected x, intensity and "
                            f"attenuation factor of scan {number_}, got {line.strip()[:60]!r}"
                            ) from None
    if len(table) < 2:
        raise FileError(f"{path}: scan {number_} holds {len(table)} row"
                        f"{'s' * (len(table) != 1)}")
    table = np.array(table)
    if not np.all(np.isfinite(table)):
        raise FileError(f"{path}: scan {number_} holds values that are not finite numbers")
    return table


def _scan(path, header, rows, first, number_):
    table = _rows(path, rows, first, number_)
    declared = number(header.get("MEAS_DATA_COUNT"))
    if declared is not None and declared != len(table):
        raise FileError(f"{path}: scan {number_} declares {declared:g} points "
                        f"(*MEAS_DATA_COUNT) and holds {len(table)} rows")
    grid, values, factor = table[:, 0], table[:, 1], table[:, 2]
    label = _english(header.get("MEAS_SCAN_AXIS_X", "")) or "x"
    units = header.get("MEAS_SCAN_UNIT_X", "").strip()
    axis = axis_from_label(label, units)
    if axis[0] == "x" and units.lower() in ("deg", "degree"):
        axis = ("x", "degree", label)
    attrs = {"technique": "XRD", "source_file": os.path.basename(os.fspath(path)),
             "sample": header.get("FILE_SAMPLE", "").strip(),
             "comment": header.get("FILE_MEMO", "").strip(),
             "anode": header.get("HW_XG_TARGET_NAME", "").strip(),
             "scan_mode": header.get("MEAS_SCAN_MODE", "").strip().lower(),
             "date": header.get("MEAS_SCAN_START_TIME", "").strip()}
    for key, name in (("HW_XG_WAVE_LENGTH_ALPHA1", "wavelength_kalpha1"),
                      ("HW_XG_WAVE_LENGTH_ALPHA2", "wavelength_kalpha2")):
        value = number(header.get(key))
        if value is not None and value > 0:
            attrs[name] = value
    dwell = _counting_time(header)
    if dwell is not None:
        attrs["dwell_time"] = dwell
    unit = header.get("MEAS_SCAN_UNIT_Y", "counts").strip().lower()
    if unit == "cps":
        values = counts_from_rate(path, values, dwell, 1, attrs)
        if "counts_from" in attrs:
            attrs["counts_from"] = attrs["counts_from"].replace(" x 1 scan", "")
    elif unit in ("counts", "count", "cts", ""):
        check_counts(path, values)
    else:
        not_counts(path, f"in {unit!r}, not counts")
    if not np.all(factor > 0):
        raise FileError(f"{path}: scan {number_} has attenuation factors that are not "
                        f"positive")
    extra = {"attenuation": (factor, {"long_name": "Attenuation factor (the beam's intensity "
                                                   "is counts x factor)"})}
    return scan_regions.Scan(grid, values, axis, attrs, extra)


def _counting_time(header):
    """The counting time of one point in seconds: a step scan's speed in seconds, or step /
    speed of a continuous scan in degrees per minute; None when the header does not say."""
    speed = number(header.get("MEAS_SCAN_SPEED"))
    unit = header.get("MEAS_SCAN_SPEED_UNIT", "").strip().lower()
    if speed is None or speed <= 0:
        return None
    if unit in ("s", "sec", "second", "seconds", "s/step", "sec/step"):
        return speed
    step = number(header.get("MEAS_SCAN_STEP"))
    if unit in ("deg/min", "°/min") and step is not None and step != 0:
        return abs(step) / speed * 60.0
    return None


def regions(path):
    """The regions of a .ras file: one when every scan has the same grid (read as a series
    of scans), else "scan 1", "scan 2", ..."""
    return scan_regions.names(_scans(path))


def read(path, region=None):
    """A .ras file's scans as an ``xarray.DataArray`` of counts (see :func:`velmora.read`)."""
    return scan_regions.read(path, _scans(path), region)
