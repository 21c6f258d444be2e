"""SpecsLab Prodigy ``.xy`` exports: photoelectron spectra from SPECS analysers (Phoibos),
groups of regions, each measured in cycles of curves and scans.

Why a parser of our own.  The readers on PyPI were compared before writing one:

- ``pynxtools-xps`` 0.6.3 (2026-10, maintained): a plug-in of the NeXus converter
  pynxtools, which it needs with its dependencies; it takes the first 14 lines for the
  export settings whatever they hold, and finds cycles, curves and scans with patterns of
  one digit (``Cycle: \\d\\n``), so cycle 10 and later are merged into cycle 1's data.
- ``specqp`` 1.1.9 (last release 2021-06, a plotting and fitting application): one region
  per file, and it drops every point whose intensity is zero or negative.

The export is lines of text, so it is parsed here.  Its layout, all comment lines
``# key: value`` but the data::

    # Created by:        SpecsLab Prodigy, Version 4.34.1-r66167
    # XY-Serializer Export Settings:    Energy Axis (Kinetic Energy or Binding Energy),
    #                                   Count Rate (Counts per Second or Counts),
    #                                   Separate Scan Data, Transmission Function, ...
    # Group:             (a group of regions; older exports write none)
    # Region:            C 1s 60deg (145K)
    #                    Analysis Method, Analyzer Lens, Scan Mode, Curves/Scan,
    #                    Values/Curve, Dwell Time, Excitation Energy, Pass Energy, ...
    # Cycle: 0           Number of Scans: 50
    # Cycle: 0, Curve: 0 (", Scan: 0" with Separate Scan Data)
    # ColumnLabels: energy counts/s (transmission)
    1198.61  545.16204
    ...

What is read.  Each region is a region of the file, named by itself when its name is unique
in the file, else "group / region".  Its scans are repeats of one measurement: exported
separately they are summed, as the instrument sums them.  Its cycles (a region measured again
and again: a time series, a temperature ramp) are a series along ``cycle``, and several
curves per scan a series along ``curve``, since each is a spectrum of its own to fit.
Counts per second become counts with the dwell time and the number of scans (Prodigy's rate
is the counts divided by both); the counts are then not whole numbers, as Prodigy resamples
the detector's channels onto the energy grid, but they keep their Poisson scale.  A
transmission column is kept as the coordinate ``transmission``; the external channels of a
remote device are not spectra and are left out.
"""
import os
import re
from datetime import datetime

import numpy as np

from .columns import number_table
from .common import (FileError, axis_from_label, check_counts, choose, counts_from_rate,
                     decode, not_counts, number, read_bytes, region_names, spectrum)

FORMAT = "SpecsLab Prodigy .xy export"
EXTENSIONS = (".xy",)

_LINE_ENDS = re.compile(r"\r\n|\r|\n")
_CURVE = re.compile(r"Cycle:\s*(\d+)\s*,\s*Curve:\s*(\d+)(?:\s*,\s*Scan:\s*(\d+))?"
                    r"(?:\s*,\s*Channel:\s*(\d+))?\s*$", re.IGNORECASE)
_CYCLE = re.compile(r"Cycle:\s*(\d+)\s*$", re.IGNORECASE)
_EXTERNAL = re.compile(r"External Channel Data", re.IGNORECASE)


def recognise(path, head):
    """Whether the file's first line names SpecsLab Prodigy as its author."""
    first = head.lstrip(b"\xef\xbb\xbf \t\r\n").split(b"\n", 1)[0]
    return first.startswith(b"#") and b"Created by" in first and b"SpecsLab Prodigy" in first


def _pair(text):
    key, sep, value = text.partition(":")
    return (key.strip(), value.strip()) if sep else (None, None)


def parse(path):
    """The export settings (a dict) and the regions (a list of dicts) of a Prodigy export:
    each region's group, name, keys, and its cycles {number: {"keys", "curves"}}, where
    ``curves`` maps (curve, scan) to a block {"line", "keys", "rows"}."""
    text = decode(read_bytes(path), path, fallback="cp1252")
    settings, regions = {}, []
    group, region, cycle, block = None, None, None, None
    for k, line in enumerate(_LINE_ENDS.split(text), 1):
        stripped = line.strip()
        if not stripped:
            continue
        if not stripped.startswith("#"):
            if block is None:
                raise FileError(f"{path}, line {k}: data before any 'Cycle: N, Curve: M' "
                                f"line (an export without meta data is not read)")
            if block.get("external"):
                continue
            block["rows"].append((k, stripped))
            continue
        comment = stripped.lstrip("#").strip()
        curve = _CURVE.match(comment)
        if curve:
            if cycle is None or int(curve.group(1)) != cycle["number"]:
                cycle = _cycle(path, k, region, int(curve.group(1)))
            if curve.group(4) is not None:
                raise FileError(f"{path}, line {k}: exported with 'Separate Channel Data: "
                                f"yes' (a curve per detector channel); export the region's "
                                f"spectrum without it")
            ident = (int(curve.group(2)), int(curve.group(3) or 0))
            if ident in cycle["curves"]:
                raise FileError(f"{path}, line {k}: {comment!r} a second time in region "
                                f"{region['name']!r}")
            block = cycle["curves"][ident] = {"line": k, "keys": {}, "rows": []}
            continue
        if _CYCLE.match(comment):
            cycle = _cycle(path, k, region, int(_CYCLE.match(comment).group(1)))
            block = None
            continue
        if _EXTERNAL.match(comment):
            block = {"external": True}
            continue
        key, value = _pair(comment)
        if key is None:
            continue  # a section title ("XY-Serializer Export Settings:" has a colon)
        if key == "Group":
            group, region, cycle, block = value, None, None, None
        elif key == "Region":
            region = {"group": group, "name": value, "keys": {}, "cycles": {}, "line": k}
            regions.append(region)
            cycle, block = None, None
        elif block is not None and not block.get("external"):
            block["keys"].setdefault(key, value)
        elif cycle is not None:
            cycle["keys"].setdefault(key, value)
        elif region is not None:
            region["keys"].setdefault(key, value)
        elif group is None:
            settings.setdefault(key, value)  # the export settings, before any group
    if not regions:
        raise FileError(f"{path}: no '# Region:' line; a Prodigy export without meta data "
                        f"('Output meta data: no') is not read")
    for r in regions:
        if not r["cycles"] or not any(c["curves"] for c in r["cycles"].values()):
            raise FileError(f"{path}, line {r['line']}: region {r['name']!r} holds no curves "
                            f"(a truncated file?)")
    return settings, regions


def _cycle(path, k, region, index):
    if region is None:
        raise FileError(f"{path}, line {k}: a cycle before any '# Region:' line")
    return region["cycles"].setdefault(index, {"number": index, "keys": {}, "curves": {}})


def _names(regions):
    plain = [r["name"] for r in regions]
    return region_names([r["name"] if plain.count(r["name"]) == 1 or not r["group"]
                         else f"{r['group']} / {r['name']}" for r in regions])


def regions(path):
    """The names of the regions of a Prodigy export, in file order."""
    return _names(parse(path)[1])


def read(path, region=None):
    """One region of a Prodigy export as an ``xarray.DataArray`` of counts (see
    :func:`velmora.read`)."""
    settings, found = parse(path)
    names = _names(found)
    k = choose(path, names, region)
    return _counts(path, settings, found[k], names[k])


def read_all(path):
    """Every region of a Prodigy export, after one parse: [(name, DataArray), ...]."""
    settings, found = parse(path)
    return [(name, _counts(path, settings, r, name)) for name, r in zip(_names(found), found)]


def _table(path, name, block):
    """A curve's data lines as an array (lines, columns): the energy, the intensity, and
    whatever columns the export adds (a transmission function, external channels)."""
    if not block["rows"]:
        raise FileError(f"{path}, line {block['line']}: a curve of region {name!r} without "
                        f"data lines")
    rows = [(k, row.split()) for k, row in block["rows"]]
    return number_table(path, rows, max(len(rows[0][1]), 2), f"region {name!r}")


def _counts(path, settings, region, name):
    keys = region["keys"]
    cycles = [c for c in region["cycles"].values() if c["curves"]]
    curves = sorted({c for cycle in cycles for c, _ in cycle["curves"]})
    separate = settings.get("Separate Scan Data", "").lower() == "yes"
    per_point = number(keys.get("Values/Curve"))
    grid, transmission = None, None
    stack, scans_of = [], []  # stack[cycle][curve]: the curve's scans
    for cycle in cycles:
        stack.append([])
        for curve in curves:
            blocks = [b for (c, _), b in sorted(cycle["curves"].items()) if c == curve]
            if not blocks:
                raise FileError(f"{path}: region {name!r}: cycle {cycle['number']} has no "
                                f"curve {curve} (every cycle must hold the same curves)")
            tables = [_table(path, name, b) for b in blocks]
            for b, t in zip(blocks, tables):
                if per_point is not None and t.shape[0] != per_point:
                    raise FileError(f"{path}, line {b['line']}: region {name!r} declares "
                                    f"{per_point:g} values per curve ('Values/Curve'), the "
                                    f"curve has {t.shape[0]}")
                if grid is None:
                    grid = t[:, 0]
                    labels = b["keys"].get("ColumnLabels", "").lower().split()
                    if len(labels) == t.shape[1] and "transmission" in labels[2:]:
                        transmission = t[:, labels.index("transmission", 2)]
                elif t.shape[0] != grid.size or not np.allclose(t[:, 0], grid, rtol=0,
                                                                 atol=1e-9):
                    raise FileError(f"{path}, line {b['line']}: region {name!r}: the curves "
                                    f"of one region are on different energy grids")
            stack[-1].append([t[:, 1] for t in tables])
        scans_of.append(len(tables) if separate else _scans(cycle, keys))
    attrs = _attrs(path, settings, region, name)
    values = _combine(path, settings, stack, scans_of, separate, attrs)
    dims, coords = [], {}
    if len(cycles) > 1:
        dims.append("cycle")
        coords["cycle"] = ([c["number"] for c in cycles], {"long_name": "Cycle"})
    if len(curves) > 1:
        dims.append("curve")
        coords["curve"] = (curves, {"long_name": "Curve"})
    values = values.reshape([n for n in (len(cycles), len(curves)) if n > 1] + [grid.size])
    extra = {} if transmission is None else {
        "transmission": (transmission, {"long_name": "Transmission function"})}
    axis = _axis(path, settings)
    attrs["energy"] = axis[0].split("_")[0]
    return spectrum(path, grid, values, axis, attrs, tuple(dims), coords, extra)


def _scans(cycle, keys):
    n = number(cycle["keys"].get("Number of Scans", keys.get("Number of Scans")))
    return int(n) if n is not None and n >= 1 and n == int(n) else None


def _combine(path, settings, stack, scans_of, separate, attrs):
    """The counts (cycles, curves, channels) from each curve's scans: summed when exported
    separately; counts per second times the dwell time and the scans."""
    rate = settings.get("Count Rate", "Counts").strip().lower()
    dwell = attrs.get("dwell_time")
    out = []
    for row, scans in zip(stack, scans_of):
        for scan_values in row:
            together = np.sum(scan_values, axis=0)
            if rate == "counts per second" and scans is None:
                not_counts(path, "counts per second and the file gives no number of scans to "
                                 "turn them into counts")
                out.append(together / len(scan_values))
            elif rate == "counts per second":
                out.append(counts_from_rate(path, together / len(scan_values), dwell, scans,
                                            attrs))
            else:
                out.append(together)
    values = np.array(out)
    if len(set(scans_of)) == 1 and scans_of[0] is not None:
        attrs["scans"] = scans_of[0]
    elif rate == "counts per second" and "counts_from" in attrs:
        attrs["counts_from"] = (f"counts per second x dwell time {dwell:g} s x each cycle's "
                                f"scans")
    if rate not in ("counts per second", "counts"):
        not_counts(path, f"exported as {settings.get('Count Rate')!r}, neither counts nor "
                         f"counts per second")
    elif rate == "counts":
        check_counts(path, values, "Prodigy counts")
    return values


def _axis(path, settings):
    what = settings.get("Energy Axis", "")
    axis = axis_from_label(what, "eV")
    if axis[0] not in ("binding_energy", "kinetic_energy"):
        raise FileError(f"{path}: the export settings give the energy axis as {what[:30]!r}, "
                        f"neither 'Kinetic Energy' nor 'Binding Energy'")
    return axis


def _attrs(path, settings, region, name):
    keys = region["keys"]
    method = keys.get("Analysis Method") or "XPS"
    attrs = {"technique": method, "region": name, "group": region["group"],
             "source_file": os.path.basename(os.fspath(path)), "analyser": keys.get("Analyzer"),
             "lens_mode": keys.get("Analyzer Lens"), "scan_mode": keys.get("Scan Mode"),
             "source": keys.get("Source"), "comment": keys.get("Comment"),
             "software_version": settings.get("Created by")}
    for key, attr in (("Dwell Time", "dwell_time"), ("Excitation Energy", "excitation_energy"),
                      ("Pass Energy", "pass_energy"), ("Eff. Workfunction", "work_function")):
        value = number(keys.get(key))
        if value is not None and value > 0:
            attrs[attr] = value
    attrs["date"] = _date(keys.get("Acquisition Date", ""))
    return attrs


def _date(text):
    """Prodigy's acquisition date in ISO 8601 ("11/08/18 16:46:22 UTC" is month/day/year)."""
    text = text.strip()
    utc = text.endswith("UTC")
    text = text[:-3].strip() if utc else text
    for layout in ("%m/%d/%y %H:%M:%S", "%Y-%m-%d %H:%M:%S", "%m/%d/%Y %H:%M:%S"):
        try:
            return datetime.strptime(text, layout).isoformat() + ("Z" if utc else "")
        except ValueError:
            continue
    return text or None
