"""Text tables of spectrometer software: lines of metadata (``key;value``, ``key,value``),
then a header naming the columns, then one row per channel.  B&W Tek BWSpec exports
(``;``-separated, decimal commas, a ``Raman Shift`` column left blank outside the calibrated
pixels) and the CSV of Neegala-type Raman spectrometers (``Raman_Shift``, ``Raw_Data``) are
of this kind, and so is any table whose header names a column of raw counts, or an axis
column that is not its first or that lines of metadata precede.  A table of plain columns
(at most one header line, the x column first) is read by :mod:`velmora.formats.text`.

Why a reader of our own.  ``ramanchada2`` 1.5.0 (2026-10, maintained) reads both exports,
but takes the dark-subtracted or processed intensities (not counts), turns any field that is
not a number into a missing value and drops its row without a word (a damaged count
vanishes), keeps the metadata as strings, and brings pandas, scikit-learn, statsmodels and
a dozen other packages.  The layout is simple text, so it is read here by the rules of
:mod:`velmora.formats.columns` (separators, decimal commas told apart or refused).

The columns, picked by name:

- x: the first column the header names as an axis ("Raman Shift", "Raman_Shift",
  "Wavenumber (cm-1)", "2Theta", "Binding Energy (eV)"), else the first column; a row whose
  x is blank is dropped (B&W Tek leaves the Raman shift blank outside the calibrated pixels).
- counts: the columns of raw counts ("Raw data #1", "Raw_Data"), since the fit's Poisson
  likelihood needs counts; without one, every column that is not an index or an axis of its
  own (pixel, wavelength, wavenumber) nor a dark or background reading.  Several are a series
  along ``spectrum``.
- every other column is kept beside the counts as a coordinate along the channels, named
  from its header ("dark", "dark_subtracted_1", "processed_data", "wavelength", ...).

Metadata kept: the laser wavelength (nm), the integration time (``dwell_time``, s, where the
file gives its unit), the number of averaged acquisitions (``scans``; the file does not say
whether its raw counts are their sum or their mean, so the counts are kept as written), the
instrument, date, title and sample.
"""
import os
import re

import numpy as np

from . import columns
from .common import (FileError, axis_from_label, check_counts, choose, decode,
                     looks_like_text, number, read_bytes, snake, spectrum)

FORMAT = "spectrometer text table (metadata lines, named columns)"
EXTENSIONS = (".txt", ".csv")

_FIELDS = re.compile(r"[\s;,]+")
_RAW = re.compile(r"(^|[^a-z])raw([^a-z]|$)")
_AUXILIARY = re.compile(r"^(pixels?|index|channels?|points?|wavelengths?|wavenumbers?|dark|"
                        r"background|reference)(_|$)")
_META = re.compile(r"^([^;,\t=:]+?)\s*[;,\t=:]\s*(.*?)[\s;,]*$")
_WITH_UNIT = re.compile(r"^\s*([-+]?[0-9]*[.,]?[0-9]+(?:[eE][-+]?[0-9]+)?)\s*([a-zA-Zµ]*)\s*$")
_SECONDS = {"s": 1.0, "sec": 1.0, "ms": 1e-3, "us": 1e-6, "µs": 1e-6}


def _is_data(line):
    """Whether a line holds numbers only (blank fields allowed), at least one."""
    fields = [f for f in _FIELDS.split(line.split("#", 1)[0]) if f]
    return bool(fields) and all(columns.is_number(f) for f in fields)


def _content(text, limit=None):
    """The numbered lines that hold something and are not comments (``#`` first)."""
    found = []
    for number_, line in enumerate(text.splitlines(), 1):
        stripped = line.strip()
        if stripped and not stripped.startswith("#"):
            found.append((number_, stripped))
            if limit is not None and len(found) >= limit:
                break
    return found


def _fields(split, line, width=None):
    """A line's fields in place (blank ones kept); blank fields at the end dropped (a trailing
    separator), down to ``width`` fields when given."""
    fields = split(line)
    while fields and fields[-1] == "" and (width is None or len(fields) > width):
        fields.pop()
    return fields


def _header(split, line, width):
    """The header's names, split as the rows are (or on runs of blanks for blank-separated
    rows), or None when they do not name ``width`` columns."""
    for names in (_fields(split, line), re.split(r"\t|\s{2,}", line.strip())):
        if len(names) == width:
            return names
    return None


def _layout(content):
    """(index of the header among ``content``, the header's names, split, decimal comma), or
    None when the lines are not a table with a header."""
    first = next((k for k, (_, line) in enumerate(content) if _is_data(line)), None)
    if not first:  # None, or data from the first line: no header
        return None
    sample = [line.split("#", 1)[0] for _, line in content[first:first + 50]]
    split, decimal_comma = columns.splitter(sample)
    header = _fields(split, content[first - 1][1])
    width = len(_fields(split, sample[0], len(header)))
    names = _header(split, content[first - 1][1], width)
    if names is None or width < 2:
        return None
    return first - 1, names, split, decimal_comma


def _vendor_table(names, has_metadata):
    """Whether a header is this module's to read: it names a column of raw counts, or an
    axis column that is not the first, or an axis column below lines of metadata."""
    labels = [columns.name_and_units(n) for n in names]
    axes = [axis_from_label(*label)[0] for label in labels]
    named_x = next((k for k, a in enumerate(axes) if a != "x"), None)
    if any(_RAW.search(n.lower()) for n, _ in labels):
        return True
    return named_x is not None and (named_x > 0 or has_metadata)


def recognise(path, head):
    """Whether the file is text of a table whose header names a column of raw counts, or an
    axis column that is not the first or that lines of metadata precede."""
    if not looks_like_text(head) or head.startswith((b"\xff\xfe", b"\xfe\xff")):
        return False
    content = _content(head.decode("utf-8", errors="replace").lstrip("\ufeff"), 2000)
    try:
        layout = _layout(content)
    except (ValueError, IndexError):
        return False
    return layout is not None and _vendor_table(layout[1], layout[0] > 0)


def regions(path):
    """A table holds one measurement: its name is "spectrum"."""
    return ["spectrum"]


def _metadata(lines):
    """{normalised key: value} of the metadata lines."""
    found = {}
    for _, line in lines:
        match = _META.match(line)
        if match:
            key = re.sub(r"[\s_]+", " ", match.group(1).strip().lower())
            found.setdefault(key, match.group(2).strip())
    return found


def _with_unit(text):
    """A number and the unit written after it ("532nm", "9000 ms"), or (None, "")."""
    match = _WITH_UNIT.match(str(text))
    if not match:
        return None, ""
    return number(match.group(1)), match.group(2).lower()


def _attrs(meta):
    attrs = {}
    for key, value in meta.items():
        if key.startswith("laser wavelength") or key in ("wl", "excitation wavelength",
                                                         "laser (nm)", "laser"):
            wavelength, unit = _with_unit(value)
            if wavelength and wavelength > 0 and unit in ("", "nm"):
                attrs.setdefault("laser_wavelength", wavelength)
        elif "time" in key and "unit" not in key and re.match(
                r"(integ|intig|exposure|acquisition)", key):
            time, unit = _with_unit(value)
            bracket = re.search(r"\((\w+)\)", key)
            unit = unit or (bracket.group(1) if bracket else "") or next(
                (meta[k].strip().lower() for k in meta if "unit" in k and
                 re.match(r"(integ|intig|exposure)", k)), "")
            if time and time > 0 and unit in _SECONDS:
                attrs.setdefault("dwell_time", time * _SECONDS[unit])
        elif key in ("average number", "averages", "average", "accumulations", "avg"):
            scans = number(value)
            if scans and scans >= 1 and scans == int(scans):
                attrs.setdefault("scans", int(scans))
        elif key in ("model", "device", "instrument"):
            attrs.setdefault("instrument", value)
        elif key in ("date", "time stamp", "timestamp", "acquired"):
            attrs.setdefault("date", value)
        elif key in ("title", "name"):
            attrs.setdefault("title", value)
        elif key in ("sample", "sample name", "sample id"):
            attrs.setdefault("sample", value)
    return attrs


def _roles(path, names):
    """The x column, its axis, the counts columns and the other columns of a header."""
    labels = [columns.name_and_units(n) for n in names]
    axes = [axis_from_label(*label) for label in labels]
    x = next((k for k, a in enumerate(axes) if a[0] != "x"), 0)
    others = [k for k in range(len(names)) if k != x]
    counts = [k for k in others if _RAW.search(labels[k][0].lower())]
    if not counts:
        counts = [k for k in others if axes[k][0] == "x"
                  and not _AUXILIARY.match(snake(labels[k][0]))]
    if not counts:
        raise FileError(f"{path}: no column of counts among "
                        f"{', '.join(repr(n) for n in names)}")
    return x, axes[x], counts, [k for k in others if k not in counts]


def read(path, region=None):
    """A spectrometer's text table as an ``xarray.DataArray`` of counts (see
    :func:`velmora.read`)."""
    choose(path, ["spectrum"], region)
    content = _content(decode(read_bytes(path), path, fallback="cp1252"))
    layout = _layout(content)
    if layout is None:
        raise FileError(f"{path}: no header naming the columns right before the first line "
                        f"of numbers")
    at, names, split, decimal_comma = layout
    x, axis, counts, others = _roles(path, names)
    rows, width = [], len(names)
    for number_, line in content[at + 1:]:
        fields = _fields(split, line.split("#", 1)[0], width)
        if len(fields) != width:
            raise FileError(f"{path}, line {number_}: {len(fields)} columns where the header "
                            f"names {width}")
        if fields[x] == "":
            continue  # no x for this channel (an uncalibrated pixel)
        try:
            rows.append([np.nan if f == "" and k not in counts else
                         columns.parse_number(f, decimal_comma) for k, f in enumerate(fields)])
        except ValueError:
            blank = [names[k] for k in counts if fields[k] == ""]
            what = (f"no value in the column {blank[0]!r}" if blank else
                    f"expected numbers, got {line[:60]!r}")
            raise FileError(f"{path}, line {number_}: {what}") from None
    if len(rows) < 2:
        raise FileError(f"{path}: {len(rows)} row{'s' * (len(rows) != 1)} with a value of "
                        f"{names[x]!r}")
    table = np.array(rows, dtype=np.float64)
    grid = table[:, x]
    if np.unique(grid).size != grid.size:
        raise FileError(f"{path}: repeated values of {names[x]!r}; one row per channel is "
                        f"expected")
    values = np.ascontiguousarray(table[:, counts].T)
    if not np.all(np.isfinite(values)):
        raise FileError(f"{path}: counts that are not finite numbers")
    label = ", ".join(repr(names[k]) for k in counts)
    check_counts(path, values, label)
    attrs = _attrs(_metadata(content[:at]))
    attrs.update({"source_file": os.path.basename(os.fspath(path)),
                  "technique": {"raman_shift": "Raman", "two_theta": "XRD"}.get(axis[0]),
                  "counts_from": f"the column{'s' * (len(counts) > 1)} {label}"})
    extra, taken = {}, {axis[0], "spectrum"}
    for k in others:
        name = snake(columns.name_and_units(names[k])[0])
        while name in taken:
            name += "_"
        taken.add(name)
        extra[name] = (table[:, k], {"long_name": names[k].strip()})
    if len(counts) == 1:
        return spectrum(path, grid, values[0], axis, attrs, extra=extra)
    return spectrum(path, grid, values, axis, attrs, ("spectrum",),
                    {"spectrum": (np.array([names[k] for k in counts]),
                                  {"long_name": "Column"})}, extra=extra)
