"""Bruker DIFFRAC.SUITE ``.brml`` files: X-ray diffraction scans, a ZIP archive of XML.

Why a reader of our own.  The readers were compared before writing one:

- ``bruker-powderxrd-parser`` 1.0.0 (2026-10, BAM data store): needs Python 3.13 or later,
  ``bam-masterdata`` and matplotlib (it draws a plot of every file); reads the first
  experiment's ``RawData0.xml`` only, takes the last field of each ``<Datum>`` as counts
  whatever the file's data views say, rebuilds 2θ from the scan's start and increment
  instead of the positions measured, and opens the archive without any size check.
- ``xrayutilities`` 1.8.0 and ``xylib`` (bindings last released 2022): no .brml reader.

The format is a ZIP of plain XML, read here with the standard library (``zipfile``,
``xml.etree``).  The archive is never extracted to disk, and a member is decompressed only
after its declared size has been checked against the archive's bytes (a member of at most
:data:`MEMBER_BYTES`, at most :data:`RATIO` times its compressed size: no "zip bomb"); only
stored and deflated members are read, and the XML may not declare a document type.

The layout (names as DIFFRAC writes them, namespaces ignored)::

    Experiment<k>/RawData<j>.xml          one per measurement (possibly below a folder)
      RawData/DataRoutes/DataRoute[@RouteFlag="Measured"]
        ScanInformation/{MeasurementPoints, TimePerStep, ScanMode, ScanAxes/ScanAxisInfo}
        DataViews/RawDataView[@xsi:type, @Start, @Length]   what the fields of a Datum are:
          FixedRawDataView[@LogicName="MeasuredTime" | "AbsorptionFactor"]
          VaryingRawDataView/Varying/FieldDefinitions[@FieldName]   the scan axes, in order
          RecordedRawDataView/Recording/Unit[@Base]                 the detector's counts
        Datum                              "time,absorption factor,2θ,θ,counts" per step
      RawData/FixedInformation/.../Tube/{TubeMaterial, WaveLengthAlpha1, WaveLengthAlpha2,
        WaveLengthRatio}, .../InfoItem[@Name="SampleName"]

A file without data views (early versions) is read as "time, absorption factor, one field
per scan axis, counts".  The channel axis is 2θ when 2θ moves, else the first axis that
moves (with its own name and units); the positions are those the Datum rows give.

Counts: the detector's counts as recorded, for the Poisson likelihood; a counter in counts
per second is multiplied by each step's measured time.  The measured time per step is the
``dwell_time`` (with a position-sensitive detector it is the effective time, the channels
that saw each angle summed); the absorption factor of each step is kept beside the counts
(the coordinate ``attenuation``), never applied to them.  Several measured scans on one grid
are one series (the ``scan`` axis); on different grids they are regions "scan 1", "scan 2".
"""
import io
import os
import re
import zipfile
import zlib

import numpy as np

from . import scans as scan_regions
from .common import AXES, FileError, check_counts, not_counts, number, read_bytes, snake
from .xmltree import child, children, local, parse

FORMAT = "Bruker DIFFRAC .brml"
EXTENSIONS = (".brml",)

#: The largest member of an archive decompressed (a RawData member of a million steps is
#: about 40 MB).
MEMBER_BYTES = 256 << 20
#: The largest ratio of a member's size to its compressed size read, for members above
#: 64 KiB (the XML of DIFFRAC compresses 5 to 15 times; deflate can reach about 1000).
RATIO = 200
_XSI_TYPE = "{http://www.w3.org/2001/XMLSchema-instance}type"
_RAWDATA = re.compile(r"(?:^|/)Experiment(\d+)/RawData(\d+)\.xml$", re.IGNORECASE)
_UNITS = {"°": "degree", "deg": "degree", "degree": "degree", "mm": "mm", "s": "s"}


def recognise(path, head):
    """Whether the file is a ZIP archive whose first member is DIFFRAC's (an ``Experiment``
    folder or the experiment collection), or a ZIP archive named .brml."""
    if not head.startswith(b"PK\x03\x04") or len(head) < 30:
        return False
    length = int.from_bytes(head[26:28], "little")
    name = head[30:30 + length].lower()
    return (name.startswith((b"experiment", b"experimentcollection.xml"))
            or os.fspath(path).lower().endswith(".brml"))


def _archive(path):
    """The archive's bytes as an open ZipFile, a FileError for anything else."""
    raw = read_bytes(path)
    try:
        return zipfile.ZipFile(io.BytesIO(raw)), len(raw)
    except (zipfile.BadZipFile, zipfile.LargeZipFile, EOFError, OSError, ValueError,
            NotImplementedError) as exc:
        raise FileError(f"{path}: not a readable ZIP archive ({exc}); a .brml file is "
                        f"one") from None


def _member(path, archive, size, info):
    """The bytes of the member ``info``, its declared sizes checked before it is
    decompressed."""
    name = info.filename
    if info.flag_bits & 0x1:
        raise FileError(f"{path}: the member {name} is encrypted")
    if info.compress_type not in (zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED):
        raise FileError(f"{path}: the member {name} is compressed by method "
                        f"{info.compress_type}; DIFFRAC stores or deflates its members")
    if info.compress_type == zipfile.ZIP_STORED and info.file_size != info.compress_size:
        raise FileError(f"{path}: the stored member {name} declares {info.file_size} bytes "
                        f"and occupies {info.compress_size}")
    if info.compress_size > size or info.header_offset + info.compress_size > size:
        raise FileError(f"{path}: the member {name} declares {info.compress_size} compressed "
                        f"bytes, more than the archive's {size} (a truncated file?)")
    most = min(MEMBER_BYTES, max(RATIO * info.compress_size, 1 << 16))
    if info.file_size > most:
        raise FileError(f"{path}: the member {name} declares {info.file_size} bytes from "
                        f"{info.compress_size} compressed ones; refused unread (at most "
                        f"{MEMBER_BYTES >> 20} MiB and {RATIO} times the compressed size)")
    try:
        with archive.open(info) as handle:
            data = handle.read(info.file_size + 1)
    except (zipfile.BadZipFile, zlib.error, EOFError, OSError, ValueError,
            NotImplementedError, RuntimeError) as exc:
        raise FileError(f"{path}: the member {name} cannot be decompressed ({exc})") from None
    if len(data) != info.file_size:
        raise FileError(f"{path}: the member {name} holds {len(data)} bytes where its header "
                        f"declares {info.file_size}")
    return data


def _scans(path):
    archive, size = _archive(path)
    with archive:
        members = []
        for info in archive.infolist():
            match = _RAWDATA.search(info.filename)
            if match and not info.is_dir():
                members.append(((int(match.group(1)), int(match.group(2))), info))
        if not members:
            raise FileError(f"{path}: a ZIP archive without Experiment*/RawData*.xml members; "
                            f"not a DIFFRAC .brml file")
        found = []
        for _, info in sorted(members, key=lambda m: m[0]):
            root = parse(path, _member(path, archive, size, info), "Bruker .brml")
            if local(root.tag) != "RawData":
                raise FileError(f"{path}: {info.filename} holds {local(root.tag)!r}, not "
                                f"RawData")
            found += _raw_data(path, info.filename, root)
    if not found:
        raise FileError(f"{path}: no measured data route in the file's RawData members")
    return found


def _find(element, name):
    """The first element named ``name`` below ``element`` (namespaces ignored), or None."""
    for item in element.iter():
        if local(item.tag) == name:
            return item
    return None


def _value(element):
    """The number of an element ``<X Value="..."/>`` or ``<X>...</X>``, or None."""
    if element is None:
        return None
    return number(element.get("Value") if element.get("Value") is not None else element.text)


def _file_attrs(path, root):
    attrs = {"technique": "XRD", "source_file": os.path.basename(os.fspath(path))}
    tube = _find(root, "Tube")
    if tube is not None:
        material = child(tube, "TubeMaterial")
        if material is not None and (material.text or "").strip():
            attrs["anode"] = material.text.strip()
        for key, name in (("WaveLengthAlpha1", "wavelength_kalpha1"),
                          ("WaveLengthAlpha2", "wavelength_kalpha2"),
                          ("WaveLengthRatio", "kalpha2_ratio")):
            value = _value(child(tube, key))
            if value is not None and value > 0:
                attrs[name] = value
    for item in root.iter():
        if local(item.tag) == "InfoItem" and item.get("Name") == "SampleName":
            attrs["sample"] = (item.get("Value") or "").strip()
            break
    started = _find(root, "TimeStampStarted")
    if started is not None and (started.text or "").strip():
        attrs["date"] = started.text.strip()
    status = _find(root, "MeasurementStatus")
    if status is not None and (status.text or "").strip() not in ("", "Measured"):
        attrs["status"] = status.text.strip()
    return attrs


def _raw_data(path, member, root):
    """The measured scans of one RawData member."""
    routes = _find(root, "DataRoutes")
    routes = children(routes, "DataRoute") if routes is not None else []
    measured = [r for r in routes if r.get("RouteFlag", "Measured") == "Measured"]
    attrs = _file_attrs(path, root)
    return [_route(path, f"{member}, data route {k + 1}", route, attrs)
            for k, route in enumerate(measured)]


def _layout(path, where, route, scan_axes):
    """What the fields of a Datum are: {"time": i, "absorption": i, "counts": i, "counts
    unit": str, "axes": [(field, name, units)]} and the fields a row has (None: any)."""
    views = _find(route, "DataViews")
    if views is None:
        # Early files: time, absorption factor, the scan axes, the counts.
        axes = [(2 + k, name, units) for k, (name, units) in enumerate(scan_axes)]
        return {"time": 0, "absorption": 1, "axes": axes, "counts": 2 + len(axes),
                "counts unit": "Counts"}, 3 + len(axes)
    layout = {"axes": []}
    for view in children(views, "RawDataView"):
        kind = view.get(_XSI_TYPE, "")
        start = number(view.get("Start"))
        length = number(view.get("Length"))
        if start is None or length is None or start < 0 or length < 0 or start > 1e6:
            raise FileError(f"{path}: {where}: a data view without a valid start and length")
        start, length = int(start), int(length)
        if kind.endswith("FixedRawDataView"):
            role = {"MeasuredTime": "time", "AbsorptionFactor": "absorption"}.get(
                view.get("LogicName"))
            if role:
                layout[role] = start
        elif kind.endswith("VaryingRawDataView"):
            varying = _find(view, "Varying")
            fields = children(varying, "FieldDefinitions") if varying is not None else []
            if len(fields) != length:
                raise FileError(f"{path}: {where}: a data view of {length} scan axes names "
                                f"{len(fields)}")
            for k, definition in enumerate(fields):
                name = definition.get("FieldName") or definition.get("AxisId") or f"axis {k}"
                restriction = child(definition, "Restriction")
                units = restriction.get("Unit", "") if restriction is not None else ""
                layout["axes"].append((start + k, name, _UNITS.get(units, units)))
        elif kind.endswith("RecordedRawDataView") and "counts" not in layout:
            recording = child(view, "Recording")
            if recording is None or (recording.get("Category") or "Count") != "Count":
                continue
            if length != 1:
                raise FileError(f"{path}: {where}: the detector records {length} values per "
                                f"step (a detector frame), not read here")
            layout["counts"] = start
            unit = child(recording, "Unit")
            layout["counts unit"] = unit.get("Base", "Counts") if unit is not None else "Counts"
    if "counts" not in layout:
        raise FileError(f"{path}: {where}: no data view of detector counts")
    return layout, None


def _route(path, where, route, attrs):
    """One measured data route as a Scan."""
    info = child(route, "ScanInformation")
    scan_axes = []
    if info is not None:
        axes = child(info, "ScanAxes")
        for axis in children(axes, "ScanAxisInfo") if axes is not None else []:
            units = axis.get("Unit", "")
            scan_axes.append((axis.get("AxisId") or axis.get("AxisName") or "axis",
                              _UNITS.get(units, units)))
    layout, width = _layout(path, where, route, scan_axes)
    table = _datums(path, where, route, width)
    measured = [layout["counts"], *(f for f, _, _ in layout["axes"])]
    used = measured + [layout[k] for k in ("time", "absorption") if k in layout]
    if max(used) >= table.shape[1]:
        raise FileError(f"{path}: {where}: Datum rows of {table.shape[1]} fields where the "
                        f"data views name field {max(used) + 1}")
    # Steps not measured carry the blanking value (-9999) in place of a count or a position.
    blanks = [_value(b) for b in route.iter() if local(b.tag) == "BlankingValue"]
    blanks = [b for b in blanks if b is not None]
    keep = np.all(np.isfinite(table[:, measured]), axis=1)
    keep &= ~np.any(np.isin(table[:, measured], blanks), axis=1)
    table = table[keep]
    counts = table[:, layout["counts"]]
    if counts.size < 2:
        raise FileError(f"{path}: {where}: {counts.size} measured step"
                        f"{'s' * (counts.size != 1)}")
    moving = [(name, units, table[:, field]) for field, name, units in layout["axes"]
              if np.ptp(table[:, field]) > 0]
    moving.sort(key=lambda m: m[0] not in ("TwoTheta", "2Theta"))
    if not moving:
        raise FileError(f"{path}: {where}: no scan axis moves (a scan of fixed positions)")
    name, units, grid = moving[0]
    axis = AXES["two_theta"] if name in ("TwoTheta", "2Theta") else ("x", units, name)
    scan_attrs = _scan_attrs(info, attrs)
    extra, time = {}, None
    if "time" in layout and np.all(table[:, layout["time"]] > 0):
        time = table[:, layout["time"]]
        if np.ptp(time) == 0:
            scan_attrs["dwell_time"] = float(time[0])
        else:
            extra["counting_time"] = (time, {"long_name": "Counting time", "units": "s"})
    elif info is not None:
        step = _value(child(info, "TimePerStep"))
        if step is not None and step > 0:
            scan_attrs["dwell_time"] = step
            time = np.full(counts.size, step)
    if "absorption" in layout:
        factor = table[:, layout["absorption"]]
        if not np.all(factor > 0):
            raise FileError(f"{path}: {where}: absorption factors that are not positive")
        if np.any(factor != 1):
            extra["attenuation"] = (factor, {"long_name": "Absorption factor (the beam's "
                                                          "intensity is counts x factor)"})
    unit = snake(layout["counts unit"])
    if unit in ("counts", "count"):
        check_counts(path, counts)
    elif unit in ("counts_per_second", "cps") and time is not None:
        counts = counts * time
        scan_attrs["counts_from"] = "counts per second x each step's measured time"
    else:
        not_counts(path, f"in {layout['counts unit']!r}, not counts")
    return scan_regions.Scan(grid, counts, axis, scan_attrs, extra)


def _scan_attrs(info, attrs):
    """The file's attributes and the scan's kind and mode."""
    scan_attrs = dict(attrs)
    if info is not None:
        scan_attrs["scan_type"] = info.get("VisibleName")
        mode = child(info, "ScanModeVisibleName")
        if mode is None:
            mode = child(info, "ScanMode")
        if mode is not None and (mode.text or "").strip():
            scan_attrs["scan_mode"] = mode.text.strip()
    return scan_attrs


def _datums(path, where, route, width):
    """The Datum rows of a route as a (steps, fields) array."""
    texts = [d.text or "" for d in children(route, "Datum")]
    if not texts:
        raise FileError(f"{path}: {where}: no Datum rows (no data)")
    fields = {t.count(",") + 1 for t in texts}
    if len(fields) > 1 or (width is not None and fields != {width}):
        raise FileError(f"{path}: {where}: Datum rows of {sorted(fields)} fields"
                        f"{'' if width is None else f' where {width} belong'}")
    try:
        flat = np.array(",".join(texts).split(","), dtype=np.float64)
    except ValueError:
        bad = next((t for t in texts if not _all_numbers(t)), texts[0])
        raise FileError(f"{path}: {where}: a Datum row that is not numbers: "
                        f"{bad.strip()[:60]!r}") from None
    return flat.reshape(len(texts), -1)


def _all_numbers(text):
    try:
        [float(f) for f in text.split(",")]
    except ValueError:
        return False
    return True


def regions(path):
    """The regions of a .brml file: one when every measured scan has the same grid (read as
    a series of scans), else "scan 1", "scan 2", ... in the order of the RawData members."""
    return scan_regions.names(_scans(path))


def read(path, region=None):
    """A .brml file's scans as an ``xarray.DataArray`` of counts (see
    :func:`velmora.read`)."""
    return scan_regions.read(path, _scans(path), region)
