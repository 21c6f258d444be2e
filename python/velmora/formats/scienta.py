"""Scienta SES text exports (``.txt``): photoelectron spectra from Scienta Omicron analysers
(R3000, R4000, HiPP, DA30), one or several regions per file.

Why a parser of our own.  The readers on PyPI were compared before writing one:

- ``pynxtools-xps`` 0.6.3 (2026-10, maintained): a plug-in of the NeXus converter
  pynxtools, which it needs with its dependencies; it takes the first four lines for the
  file header whatever they hold, keeps only data lines of exactly two numbers (the slices of
  an angle-resolved or "Add Dimension" region are dropped without a word), and labels the
  ordinate counts per second although SES writes counts summed over the sweeps.
- ``specqp`` 1.1.9 (last release 2021-06, a plotting and fitting application): reads the
  layout below, but sums the slices of a two-dimensional region into one spectrum, finds the
  sections by text search (a comment holding "[Data 1]" derails it), and brings a Tk
  application's dependencies.

The layout is lines of ``key=value`` in sections, so it is parsed here::

    [Info]                        Number of Regions=0002, Version=1.3.1
    [Region 1]                    Region Name, Dimension 1 name ("Kinetic Energy [eV]" or
                                  "Binding Energy [eV]"), Dimension 1 size, Dimension 1
                                  scale; for a two-dimensional region Dimension 2 ...
    [Info 1]                      Lens Mode, Pass Energy, Number of Sweeps, Excitation
                                  Energy, Energy Scale (Kinetic or Binding), Acquisition
                                  Mode, Energy Step, Step Time (ms), Instrument, Sample,
                                  Date, Time, DetectorMode, ...
    [Run Mode Information 1]      (and [User Interface Information 1], [Manipulator 1])
    [Data 1]                      one line per energy: the energy, then one intensity per
                                  slice of dimension 2 (one for a plain spectrum)

The energy axis is named from the data's dimension name, else from ``Energy Scale``; the
grid is the data's first column, in file order (a binding-energy scale runs downwards).  A
two-dimensional region (an angle or a manipulator position along dimension 2) is a series
along that dimension.

The intensities.  SES accumulates a region sweep after sweep: the values are summed over
``Number of Sweeps``, each energy step exposed for ``Step Time`` ms per sweep.  With the
detector in pulse counting they are counts; in ADC mode (a camera measuring the brightness
of each electron's flash) they are proportional to counts but not whole numbers, and the
reader keeps them with a :class:`~velmora.formats.common.CountsWarning`.  An excitation
energy that is no photon energy (exports of some SES versions hold 3.1E-317) is left out.
"""
import os
import re

import numpy as np

from .columns import number_table
from .common import (FileError, axis_from_label, check_counts, choose, decode, number,
                     read_bytes, region_names, snake, spectrum)

FORMAT = "Scienta SES text export"
EXTENSIONS = (".txt",)

_LINE_ENDS = re.compile(r"\r\n|\r|\n")
_SECTION = re.compile(r"\[([^\[\]=]+?)\]\s*$")
_NUMBERED = re.compile(r"(.*?)\s+(\d+)$")
_UNITS = re.compile(r"^(.*?)\s*\[([^\]]*)\]\s*$")
# Photon energies of photoemission: from a helium lamp's 21 eV to hard X-rays.
_PHOTONS = (1.0, 1e6)


def recognise(path, head):
    """Whether the file opens with SES's ``[Info]`` section and its number of regions."""
    text = head.lstrip(b"\xef\xbb\xbf \t\r\n")
    return text.startswith(b"[Info]") and b"Number of Regions=" in text[:400]


def _sections(path):
    """The file's sections in order: [(name, number or None, first line, lines)], where
    ``lines`` are (line number, text) pairs."""
    text = decode(read_bytes(path), path, fallback="cp1252")
    sections = []
    for k, line in enumerate(_LINE_ENDS.split(text), 1):
        match = _SECTION.match(line.strip())
        if match:
            title = match.group(1).strip()
            numbered = _NUMBERED.match(title)
            name, index = (numbered.group(1), int(numbered.group(2))) if numbered \
                else (title, None)
            sections.append((name, index, k, []))
        elif sections:
            sections[-1][3].append((k, line))
        elif line.strip():
            raise FileError(f"{path}, line {k}: {line.strip()[:40]!r} before the first "
                            f"section; not a Scienta SES text export")
    if not sections or sections[0][:2] != ("Info", None):
        raise FileError(f"{path}: not a Scienta SES text export (no [Info] section first)")
    return sections


def _keys(lines):
    found = {}
    for _, line in lines:
        key, sep, value = line.partition("=")
        if sep:
            found.setdefault(key.strip(), value.strip())
    return found


def parse(path):
    """The regions of an SES text export: a list of dicts of each region's keys (its
    [Region], [Info] and further sections) and its data lines."""
    sections = _sections(path)
    info = _keys(sections[0][3])
    announced = number(info.get("Number of Regions"))
    found = {}
    for name, index, first, lines in sections[1:]:
        if index is None:
            raise FileError(f"{path}, line {first}: section [{name}] without a region number")
        region = found.setdefault(index, {"keys": {}, "data": None, "line": first,
                                          "index": index})
        if name == "Data":
            if region["data"] is not None:
                raise FileError(f"{path}, line {first}: a second [Data {index}] section")
            region["data"] = (first, lines)
        else:
            for key, value in _keys(lines).items():
                region["keys"].setdefault(key, value)
    regions = sorted(found.values(), key=lambda r: r["line"])
    if announced is None or announced != int(announced) or announced < 1:
        raise FileError(f"{path}: [Info] gives no number of regions (expected 'Number of "
                        f"Regions=' and a count)")
    if len(regions) != announced:
        raise FileError(f"{path}: [Info] announces {int(announced)} regions, the file holds "
                        f"{len(regions)} (a truncated file?)")
    for region in regions:
        if region["data"] is None:
            raise FileError(f"{path}: region {region['index']} has no [Data "
                            f"{region['index']}] section (a truncated file?)")
    return regions, info


def _names(regions):
    return region_names([r["keys"].get("Region Name") or f"region {r['index']}"
                         for r in regions])


def regions(path):
    """The names of the regions of an SES text export, in file order."""
    return _names(parse(path)[0])


def read(path, region=None):
    """One region of an SES text export as an ``xarray.DataArray`` of counts (see
    :func:`velmora.read`)."""
    found, info = parse(path)
    names = _names(found)
    k = choose(path, names, region)
    return _counts(path, found[k], names[k], info)


def read_all(path):
    """Every region of an SES text export, after one parse: [(name, DataArray), ...]."""
    found, info = parse(path)
    return [(name, _counts(path, r, name, info)) for name, r in zip(_names(found), found)]


def _size(path, keys, k, name):
    """The size of dimension ``k`` the region declares (None when it declares none)."""
    text = keys.get(f"Dimension {k} size")
    if text is None:
        return None
    size = number(text)
    if size is None or size != int(size) or size < 1:
        raise FileError(f"{path}: region {name!r}: 'Dimension {k} size={text[:20]}' is not a "
                        f"count")
    return int(size)


def _label(keys, k):
    """The label and units of dimension ``k``: "Kinetic Energy [eV]" -> ("Kinetic Energy",
    "eV")."""
    label = keys.get(f"Dimension {k} name", "")
    match = _UNITS.match(label)
    return (match.group(1), match.group(2)) if match else (label, "")


def _table(path, name, data, columns):
    """The data lines of a region as an array (lines, columns): the energy, then the
    intensity of every slice."""
    first, lines = data
    rows = [(k, line.split()) for k, line in lines if line.strip()]
    if not rows:
        raise FileError(f"{path}, line {first}: region {name!r} has no data lines")
    return number_table(path, rows, columns, f"region {name!r}")


def _counts(path, region, name, info):
    keys = region["keys"]
    if _size(path, keys, 3, name) is not None:
        raise FileError(f"{path}: region {name!r} has three dimensions; spectra (one "
                        f"dimension) and series of them (two) are read")
    points, slices = _size(path, keys, 1, name), _size(path, keys, 2, name)
    table = _table(path, name, region["data"], 1 + (slices or 1))
    if points is not None and table.shape[0] != points:
        raise FileError(f"{path}: region {name!r} declares {points} energies ('Dimension 1 "
                        f"size'), its data has {table.shape[0]} lines")
    label, units = _label(keys, 1)
    axis = axis_from_label(label, units or "eV")
    if axis[0] not in ("binding_energy", "kinetic_energy"):
        scale = keys.get("Energy Scale", "").strip().lower()
        if scale not in ("kinetic", "binding"):
            raise FileError(f"{path}: region {name!r}: neither the dimension name "
                            f"{label[:30]!r} nor the energy scale says kinetic or binding")
        axis = axis_from_label(scale, "eV")
    x, values = table[:, 0], table[:, 1:].T
    dims, coords = (), {}
    if slices is None or slices == 1:
        values = values[0]
    else:
        label2, units2 = _label(keys, 2)
        scale = [number(v) for v in keys.get("Dimension 2 scale", "").split()]
        if len(scale) != slices or None in scale:
            scale = list(range(slices))
        dim = snake(label2) if label2 else "slice"
        attrs = {"long_name": label2 or "Slice"}
        if units2:
            attrs["units"] = units2
        dims, coords = (dim,), {dim: (np.array(scale, dtype=np.float64), attrs)}
    attrs = metadata(path, keys, name, info.get("Version"), axis)
    check_counts(path, values, f"Scienta SES intensities, detector mode "
                               f"{keys.get('DetectorMode') or 'not given'}")
    return spectrum(path, x, values, axis, attrs, dims, coords)


def metadata(path, keys, name, version, axis):
    """The attributes of a region from the keys SES writes (its [Info] section in a text
    export, the wave note of an Igor wave): sample, instrument, lens and detector mode,
    excitation and pass energy, dwell time (``Step Time``, ms) and sweeps, date."""
    attrs = {"technique": "XPS", "region": name, "energy": axis[0].split("_")[0],
             "source_file": os.path.basename(os.fspath(path)),
             "sample": keys.get("Sample"), "instrument": keys.get("Instrument"),
             "lens_mode": keys.get("Lens Mode"),
             "acquisition_mode": keys.get("Acquisition Mode"),
             "detector_mode": keys.get("DetectorMode"), "software_version": version}
    photon = number(keys.get("Excitation Energy"))
    if photon is not None and _PHOTONS[0] <= photon <= _PHOTONS[1]:
        attrs["excitation_energy"] = photon
    pass_energy = number(keys.get("Pass Energy"))
    if pass_energy is not None and pass_energy > 0:
        attrs["pass_energy"] = pass_energy
    step = number(keys.get("Step Time"))
    if step is not None and step > 0:
        attrs["dwell_time"] = step / 1000.0  # SES gives milliseconds
    sweeps = number(keys.get("Number of Sweeps"))
    if sweeps is not None and sweeps >= 1 and sweeps == int(sweeps):
        attrs["scans"] = int(sweeps)
    date, time = keys.get("Date", ""), keys.get("Time", "")
    if re.fullmatch(r"\d{4}-\d{2}-\d{2}", date):
        attrs["date"] = f"{date}T{time}" if re.fullmatch(r"\d{2}:\d{2}(:\d{2})?", time) \
            else date
    return attrs
