"""Horiba (Jobin Yvon) LabSpec exports: Raman spectra, line scans and maps.

Two exports are read:

- Text (``.txt``), recognised by its header of ``#key=value`` lines naming the acquisition
  (``#Acq. time (s)=``, ``#Accumulations=``, ``#Laser (nm)=``, ``#Grating=``, ...), then
  tab-separated data.  A spectrum is lines of ``shift<TAB>intensity``.  A line scan or a map
  opens with a line of the Raman shifts after one empty field (line scan) or two (map), and
  each following line is the point's coordinates (the position; or x, then y) and its
  intensities.  RosettaSciIO does not read this export, so it is parsed here.
- XML (``.xml``), read by RosettaSciIO (``rsciio``, maintained); intensities in counts per
  second ("Cnt/sec") are turned into counts with the acquisition time and accumulations.
"""
import os

import numpy as np

from .columns import parse_number
from .common import (FileError, axis_from_label, check_counts, choose, counts_from_rate,
                     not_counts, number, read_bytes, spectrum)
from .rosetta import axes_of, read_rsciio

# Header keys LabSpec writes; two of them (with the "#key=" layout) mark a LabSpec export.
KEYS = ("Acq. time (s)", "Accumulations", "Laser (nm)", "Grating", "ND Filter", "Hole",
        "Objective", "Instrument", "Detector", "Spike filter", "Binning", "Range",
        "Spectro", "Delay time (s)", "DeNoise", "Dark correction")


FORMAT = "Horiba LabSpec text or XML export"
EXTENSIONS = (".txt", ".xml")


def recognise(path, head):
    """Whether the file is a LabSpec XML export (``LSX`` elements) or a LabSpec text export
    (a header naming the acquisition)."""
    if head.lstrip(b"\xef\xbb\xbf \t\r\n").startswith(b"<"):
        return b"<LSX" in head
    return _is_labspec_header(head)


def _text(path):
    raw = read_bytes(path)
    try:
        return raw.decode("utf-8-sig")
    except UnicodeDecodeError:
        return raw.decode("cp1252", errors="replace")  # LabSpec on Windows writes ANSI text


def _header(lines):
    header = {}
    for line in lines:
        if not line.startswith("#"):
            break
        key, sep, value = line[1:].partition("=")
        if sep:
            header[key.strip()] = value.strip()
    return header


def _is_labspec_header(head):
    text = head.decode("utf-8", errors="replace").lstrip("\ufeff")
    header = _header(text.splitlines())
    return sum(any(k.startswith(word) for word in KEYS) for k in header) >= 2


def regions(path):
    """A LabSpec export holds one measurement: its name is "spectrum"."""
    return ["spectrum"]


def read(path, region=None):
    """A LabSpec text or XML export as an ``xarray.DataArray`` of counts (see
    :func:`velmora.read`)."""
    choose(path, ["spectrum"], region)
    if read_bytes(path, 4096).lstrip(b"\xef\xbb\xbf \t\r\n").startswith(b"<"):
        return _read_xml(path)
    return _read_text(path)


def _read_text(path):
    lines = _text(path).splitlines()
    header = _header(lines)
    data = [(k + 1, line) for k, line in enumerate(lines)
            if line.strip() and not line.startswith("#")]
    if not data:
        raise FileError(f"{path}: a LabSpec header and no data")
    rows = []
    for number_, line in data:
        fields = line.rstrip("\r\n").split("\t") if "\t" in line else line.split()
        while fields and fields[-1].strip() == "":
            fields.pop()
        rows.append((number_, fields))
    lead = 0
    while lead < len(rows[0][1]) and rows[0][1][lead].strip() == "":
        lead += 1
    if lead > 2:
        raise FileError(f"{path}, line {rows[0][0]}: {lead} empty fields before the shifts; "
                        f"a LabSpec line scan has one, a map two")

    def numbers(number_, fields, n):
        try:
            values = [parse_number(f.strip(), True) for f in fields]
        except ValueError:
            raise FileError(f"{path}, line {number_}: expected {n} numbers separated by tabs, "
                            f"got {' '.join(fields)[:60]!r}") from None
        if len(values) != n:
            raise FileError(f"{path}, line {number_}: {len(values)} numbers where {n} belong")
        return values

    axis = _axis(header)
    attrs = _attrs(path, header)
    if lead == 0:
        table = np.array([numbers(n, f[:2], 2) for n, f in rows])
        values, grid, dims, coords = table[:, 1], table[:, 0], (), {}
    else:
        grid = np.array(numbers(rows[0][0], rows[0][1][lead:], len(rows[0][1]) - lead))
        if len(rows) < 2:
            raise FileError(f"{path}: the shifts of a line scan or map and no spectra")
        table = np.array([numbers(n, f, lead + grid.size) for n, f in rows[1:]])
        points, values = table[:, :lead], table[:, lead:]
        if lead == 1:
            dims = ("position",)
            coords = {"position": (points[:, 0], {"long_name": "Position"})}
        else:
            values, dims, coords = _map(path, points, values)
    check_counts(path, values)
    return spectrum(path, grid, values, axis, attrs, dims, coords)


def _map(path, points, values):
    """A map's spectra on their (y, x) grid, from rows of x, y and intensities."""
    xs, ys = np.unique(points[:, 0]), np.unique(points[:, 1])
    if xs.size * ys.size != len(points):
        raise FileError(f"{path}: {len(points)} map points do not fill a grid of {ys.size} y "
                        f"by {xs.size} x positions")
    grid = np.full((ys.size, xs.size, values.shape[1]), np.nan)
    for (x, y), row in zip(points, values):
        i, j = np.searchsorted(ys, y), np.searchsorted(xs, x)
        if not np.isnan(grid[i, j, 0]):
            raise FileError(f"{path}: two spectra at map position x={x:g}, y={y:g}")
        grid[i, j] = row
    return grid, ("y", "x"), {"y": (ys, {"long_name": "Y", "units": "µm"}),
                              "x": (xs, {"long_name": "X", "units": "µm"})}


def _axis(header):
    keys = " ".join(header)
    if "(nm)" in keys and "cm-" not in keys and "cm-¹" not in keys and "Range" not in keys:
        return axis_from_label("Wavelength", "nm")
    return axis_from_label("Raman shift", "1/cm")


def _attrs(path, header):
    attrs = {"technique": "Raman", "source_file": os.path.basename(os.fspath(path)),
             "sample": header.get("Sample"), "title": header.get("Title"),
             "instrument": header.get("Instrument"),
             "date": header.get("Acquired") or header.get("Date")}
    dwell = number(header.get("Acq. time (s)"))
    if dwell:
        attrs["dwell_time"] = dwell
    scans = number(header.get("Accumulations"))
    if scans and scans == int(scans):
        attrs["scans"] = int(scans)
    laser = number(header.get("Laser (nm)"))
    if laser:
        attrs["laser_wavelength"] = laser
    return attrs


def _read_xml(path):
    head = read_bytes(path, 4096)
    if b"<!DOCTYPE" in head or b"<!ENTITY" in head:
        raise FileError(f"{path}: an XML file with a document type declaration; LabSpec "
                        f"exports have none")
    if b"LSX" not in head:
        raise FileError(f"{path}: not a LabSpec XML export (no LSX elements)")
    found, _ = read_rsciio(path, "rsciio.jobinyvon")
    x, axis, dims, coords = axes_of(path, found)
    values = np.asarray(found["data"], dtype=np.float64)
    setup = found.get("original_metadata", {}).get("experimental_setup", {})
    meta = found.get("metadata", {})
    detector = meta.get("Acquisition_instrument", {}).get("Detector", {})
    attrs = {"technique": "Raman", "source_file": os.path.basename(os.fspath(path)),
             "title": meta.get("General", {}).get("title"),
             "sample": meta.get("Sample", {}).get("description"),
             "instrument": setup.get("Instrument")}
    laser = meta.get("Acquisition_instrument", {}).get("Laser", {}).get("wavelength")
    if isinstance(laser, float) and laser > 0:
        attrs["laser_wavelength"] = laser
    dwell, frames = detector.get("exposure_per_frame"), detector.get("frames")
    if dwell:
        attrs["dwell_time"] = float(dwell)
    if frames and float(frames) == int(frames):
        attrs["scans"] = int(frames)
    units = str(setup.get("signal units", "Cnt"))
    if units == "Cnt/sec":
        values = counts_from_rate(path, values, attrs.get("dwell_time"), attrs.get("scans"),
                                  attrs)
    elif units != "Cnt":
        not_counts(path, f"in {units!r}, not counts")
    else:
        check_counts(path, values)
    if axis[0] == "x" and axis[2] == "Raman Shift":
        axis = axis_from_label("Raman shift", "1/cm")
    return spectrum(path, x, values, axis, attrs, dims, coords)
