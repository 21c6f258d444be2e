"""PANalytical (Malvern Panalytical) ``.xrdml`` files: X-ray diffraction scans, XML.

Why a parser of our own.  The readers on PyPI were compared before writing one:

- ``xrdtools`` 0.1.1 (last release 2018-04): unmaintained; needs lxml and validates every
  file against the schemas it ships (1.0 to 1.5), so files of later versions are refused.
- ``yadg`` 7.0.1 (2026-08, maintained): its XRDML extractor reads one scan (a file of several
  fails), start/end positions only (no ``listPositions``), the ``intensities`` element only
  (not the later ``counts``), asserts a "Completed" status and fails on files without the
  pulse-height comment line; it brings pandas, openpyxl, pint and a schema package along.
- ``pypowder`` 1.0: described by its authors as an attempt.

The format is plain XML, so it is read here with the standard library's ``xml.etree``.  The
element names are those of the XRDML schema (namespaces ignored, so every version reads)::

    xrdMeasurements/sample/{id, name}
    xrdMeasurements/xrdMeasurement/usedWavelength/{kAlpha1, kAlpha2, ratioKAlpha2KAlpha1}
    xrdMeasurements/xrdMeasurement/incidentBeamPath/xRayTube/anodeMaterial
    xrdMeasurements/xrdMeasurement/scan[@scanAxis, @mode]/dataPoints/
        positions[@axis, @unit]/{startPosition, endPosition | listPositions | commonPosition}
        {commonCountingTime | countingTimes}
        {commonBeamAttenuationFactor | beamAttenuationFactors}
        {intensities | counts}[@unit]

Counts: ``counts`` holds counts as the detector gave them (XRDML 2.0), ``intensities``
counts times the beam attenuation factor (the schema's words), so they are divided by the
factor where one is given; either way the factors are kept beside the counts (the coordinate
``attenuation``: the beam's intensity is counts x factor), since a scan whose attenuator
went in and out (an X-ray reflectivity scan) is fitted on the counts with the factor known.
A unit of counts per second is multiplied by the counting time.  Several scans on one grid
are one series (the ``scan`` axis); scans on different grids are regions "scan 1",
"scan 2", ...
"""
import os

import numpy as np

from . import scans as scan_regions
from .common import AXES, FileError, check_counts, counts_from_rate, not_counts, read_bytes
from .xmltree import child as _child
from .xmltree import children as _children
from .xmltree import local as _local
from .xmltree import parse


FORMAT = "PANalytical XRDML"
EXTENSIONS = (".xrdml",)


def recognise(path, head):
    """Whether the file is XML whose root element is ``xrdMeasurements``."""
    return head.lstrip(b"\xef\xbb\xbf \t\r\n").startswith(b"<") and b"xrdMeasurements" in head


def _numbers(path, element, what):
    try:
        return np.array(element.text.split(), dtype=np.float64)
    except (AttributeError, ValueError):
        raise FileError(f"{path}: the {what} are not a list of numbers") from None


def _parse(path):
    root = parse(path, read_bytes(path), "XRDML")
    if _local(root.tag) != "xrdMeasurements":
        raise FileError(f"{path}: not an XRDML file (its root element is "
                        f"{_local(root.tag)!r}, not 'xrdMeasurements')")
    return root


def _scans(path):
    """Every scan of the file: (grid, counts, axis, attrs)."""
    root = _parse(path)
    common = {"technique": "XRD", "source_file": os.path.basename(os.fspath(path))}
    sample = _child(root, "sample")
    if sample is not None:
        for key in ("name", "id"):
            element = _child(sample, key)
            if element is not None and (element.text or "").strip():
                common["sample"] = element.text.strip()
                break
    measurements = _children(root, "xrdMeasurement")
    if not measurements:
        raise FileError(f"{path}: no xrdMeasurement element (no scans)")
    scans = []
    for measurement in measurements:
        attrs = dict(common)
        if measurement.get("measurementType"):
            attrs["measurement_type"] = measurement.get("measurementType")
        wavelength = _child(measurement, "usedWavelength")
        if wavelength is not None:
            for key, name in (("kAlpha1", "wavelength_kalpha1"), ("kAlpha2", "wavelength_kalpha2"),
                              ("ratioKAlpha2KAlpha1", "kalpha2_ratio")):
                element = _child(wavelength, key)
                if element is not None:
                    try:
                        attrs[name] = float(element.text)
                    except (TypeError, ValueError):
                        pass
        beam = _child(measurement, "incidentBeamPath")
        tube = _child(beam, "xRayTube") if beam is not None else None
        anode = _child(tube, "anodeMaterial") if tube is not None else None
        if anode is not None and (anode.text or "").strip():
            attrs["anode"] = anode.text.strip()
        for scan in _children(measurement, "scan"):
            scans.append(_scan(path, scan, attrs, len(scans) + 1))
    if not scans:
        raise FileError(f"{path}: no scan element (no data)")
    return scans


def _scan(path, scan, attrs, number):
    points = _child(scan, "dataPoints")
    if points is None:
        raise FileError(f"{path}: scan {number} has no dataPoints")
    counts = _child(points, "counts")
    kind = "counts"
    if counts is None:
        counts = _child(points, "intensities")
        kind = "intensities"
    if counts is None:
        raise FileError(f"{path}: scan {number} has neither counts nor intensities")
    values = _numbers(path, counts, f"{kind} of scan {number}")
    n = values.size
    if n < 2:
        raise FileError(f"{path}: scan {number} holds {n} data point{'s' * (n != 1)}")
    positions = {}
    for element in _children(points, "positions"):
        grid = _positions(path, element, n, number)
        positions[element.get("axis", "")] = (grid, element.get("unit", ""))
    axis_name = scan.get("scanAxis", "")
    if "2Theta" in positions and np.ptp(positions["2Theta"][0]) > 0:
        grid, unit = positions["2Theta"]
        axis = AXES["two_theta"]
    else:
        moving = [(a, g, u) for a, (g, u) in positions.items() if np.ptp(g) > 0]
        if not moving:
            raise FileError(f"{path}: scan {number} gives no moving axis positions (scan "
                            f"axis {axis_name!r})")
        name, grid, unit = moving[0]
        axis = ("x", "degree" if unit == "deg" else unit, name)
    scan_attrs = dict(attrs)
    if scan.get("mode"):
        scan_attrs["scan_mode"] = scan.get("mode")
    if scan.get("status") and scan.get("status") != "Completed":
        scan_attrs["status"] = scan.get("status")
    time = _child(points, "commonCountingTime")
    dwell = None
    if time is not None:
        try:
            dwell = float(time.text)
            scan_attrs["dwell_time"] = dwell
        except (TypeError, ValueError):
            pass
    extra, divided = {}, False
    factors = _child(points, "beamAttenuationFactors")
    if factors is None:
        factors = _child(points, "commonBeamAttenuationFactor")
    if factors is not None:
        f = _numbers(path, factors, f"beam attenuation factors of scan {number}")
        if f.size not in (1, n) or not np.all(f > 0):
            raise FileError(f"{path}: scan {number} has {f.size} beam attenuation factors "
                            f"for {n} points (or factors that are not positive)")
        f = np.broadcast_to(f, (n,))
        if np.any(f != 1):
            extra["attenuation"] = (f, {"long_name": "Beam attenuation factor (the beam's "
                                                     "intensity is counts x factor)"})
            if kind == "intensities":
                values, divided = values / f, True
    times = _child(points, "countingTimes")
    unit = (counts.get("unit") or "counts").strip().casefold()
    if unit in ("cps", "counts per second", "counts/s"):
        if times is not None:
            per_point = _numbers(path, times, f"counting times of scan {number}")
            if per_point.size != n:
                raise FileError(f"{path}: scan {number} has {per_point.size} counting times "
                                f"for {n} points")
            values = values * per_point
            scan_attrs["counts_from"] = "counts per second x each point's counting time"
        else:
            values = counts_from_rate(path, values, dwell, 1, scan_attrs)
            scan_attrs["counts_from"] = scan_attrs.get("counts_from", "").replace(
                " x 1 scan", "")
    elif unit != "counts":
        not_counts(path, f"in {counts.get('unit')!r}, not counts")
    else:
        check_counts(path, values, kind)
    if divided:
        scan_attrs["counts_from"] = "; ".join(filter(None, (
            scan_attrs.get("counts_from"), "intensities / beam attenuation factor")))
    return scan_regions.Scan(grid, values, axis, scan_attrs, extra)


def _positions(path, element, n, number):
    axis = element.get("axis", "?")
    listed = _child(element, "listPositions")
    if listed is not None:
        grid = _numbers(path, listed, f"{axis} positions of scan {number}")
        if grid.size != n:
            raise FileError(f"{path}: scan {number} lists {grid.size} {axis} positions for "
                            f"{n} points")
        return grid
    start, end = _child(element, "startPosition"), _child(element, "endPosition")
    if start is not None and end is not None:
        lo = _numbers(path, start, f"{axis} start position of scan {number}")
        hi = _numbers(path, end, f"{axis} end position of scan {number}")
        if lo.size != 1 or hi.size != 1:
            raise FileError(f"{path}: scan {number}'s {axis} start or end position is not "
                            f"one number")
        return np.linspace(lo[0], hi[0], n)
    fixed = _child(element, "commonPosition")
    if fixed is not None:
        value = _numbers(path, fixed, f"{axis} position of scan {number}")
        if value.size != 1:
            raise FileError(f"{path}: scan {number}'s common {axis} position is not one number")
        return np.full(n, value[0])
    raise FileError(f"{path}: scan {number}'s {axis} positions give neither a start and an "
                    f"end, a list, nor a common position")


def regions(path):
    """The regions of an XRDML file: one when every scan has the same grid (read as a series
    of scans), else "scan 1", "scan 2", ..."""
    return scan_regions.names(_scans(path))


def read(path, region=None):
    """An XRDML file's scans as an ``xarray.DataArray`` of counts (see
    :func:`velmora.read`)."""
    return scan_regions.read(path, _scans(path), region)
