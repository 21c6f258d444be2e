"""VAMAS files (ISO 14976, ``.vms``, ``.npl``): XPS, AES and other surface-analysis spectra,
one block per region, as written by CasaXPS, Kratos, Thermo, PHI and SPECS software.

Why a parser of our own.  The readers on PyPI were compared before writing one:

- ``vamas`` 0.2.0 (last release 2024-12, alpha, one maintainer): REGULAR scans only (it prints
  a note and misreads IRREGULAR ones); the parameter inclusion list is indexed two places off
  (prefix numbers run from 1), so a file that excludes parameters is misread or crashes; the
  future-upgrade entries are read in the wrong order and the block's future-upgrade entries
  never skipped; messages go to standard output; it refuses any extension but ``.vms``.
- ``pynxtools-xps`` 0.6.3 (2026-10, maintained): a plug-in of the NeXus converter pynxtools,
  which it needs with its dependencies; its VAMAS parser ignores the inclusion list (every
  block is read as if complete), gates the linescan coordinates on the wrong experiment
  modes, rounds energies to 0.01 eV and reverses binding-energy grids without the counts.
- ``xylib-py`` (bindings last released 2020, wheels 2022): unmaintained; REGULAR scans only.

None reads the format's variations correctly, and the format is plain lines of text, so it
is parsed here, item by item in the order ISO 14976 lays down.

The layout.  A file is a header and blocks, every item on a line of its own::

    format identifier, institution, instrument model, operator, experiment identifier,
    number of comment lines, {comment line}, experiment mode, scan mode,
    [number of spectral regions]                           (MAP, MAPDP, NORM, SDP)
    [analysis positions, x coordinates, y coordinates]     (MAP, MAPDP)
    number of experimental variables, {label, units},
    number of entries in the inclusion list, {prefix number},
    number of manually entered items, {prefix number},
    number of future upgrade experiment entries, number of future upgrade block entries,
    {future upgrade experiment entry}, number of blocks, {block}, "end of experiment"

A block's items carry prefix numbers 1 to 40; the inclusion list (positive count: the listed
items are present; negative: the listed items are absent) applies to every block after the
first, which holds them all, and an absent item takes the first block's value.  Some items
are present only for some experiment modes or techniques.  In a REGULAR scan the abscissa is
a start and an increment (item 30); in an IRREGULAR scan it is the first corresponding
variable, its values interleaved with the others point by point.

What is read: spectra (experiment modes NORM, SDP, MAP and MAPDP; scan modes REGULAR and
IRREGULAR).  Blocks of one name on the same grid are one region: a map (MAP, MAPDP: by their
x and y coordinates, when every block has a position of its own) or a series (by the first
experimental variable whose value differs from block to block: an etch time, or the
emission angle of an angle-resolved set that Kratos writes as MAP blocks all at one
position).  Single-value modes (MAPSV, MAPSVDP, SDPSV, SEM) and MAPPING scans hold no
spectra and are refused.

Files as vendors write them: blank lines before the format identifier (Kratos), CR LF, LF or
CR line ends, mixed; fields padded with NUL bytes (PHI MultiPak; the NULs are dropped);
trailing blanks; Latin-1 comments; files re-saved by CasaXPS with its region and component
lines in the block comments.  A block is named by its identifier; where that tells nothing
(empty, "None", a bare number) by its species and transition ("Au 4f"), so that the regions
of a file can be told apart.  A date or time the file gives as unknown (negative, or 1E37)
is left out rather than printed.
"""
import os
import re

import numpy as np

from .common import (FileError, axis_from_label, check_counts, choose, counts_from_rate,
                     number, numpy_number, read_bytes, region_names, snake, spectrum)

IDENTIFIER = "VAMAS Surface Chemical Analysis Standard Data Transfer Format 1988 May 4"
SPECTRUM_MODES = ("NORM", "SDP", "MAP", "MAPDP")
VALUE_MODES = ("MAPSV", "MAPSVDP", "SDPSV", "SEM")
SPUTTER_MODES = ("MAPDP", "MAPSVDP", "SDP", "SDPSV")
SPUTTER_TECHNIQUES = ("FABMS", "FABMS energy spec", "ISS", "SIMS", "SIMS energy spec",
                      "SNMS", "SNMS energy spec")
SOURCE_TECHNIQUES = ("AES diff", "AES dir", "EDX", "ELS", "UPS", "XPS", "XRF")
# A real value that the operator could not supply is written as 1E37.
FORMAT = "VAMAS"
EXTENSIONS = (".vms", ".npl")
UNKNOWN = 1e36


class _Lines:
    """The file's lines, read one item at a time; a FileError for a file that ends early or
    an item that is not the number it must be."""

    def __init__(self, path, text):
        # CR LF, LF or CR, mixed; not str.splitlines, which also breaks at the Latin-1 byte
        # 0x85 and other control characters a comment line may hold.
        self.path, self.lines, self.at = path, _LINE_ENDS.split(text), 0

    def left(self):
        return len(self.lines) - self.at

    def text(self, what):
        if self.at >= len(self.lines):
            raise FileError(f"{self.path}: ends at line {len(self.lines)} where the {what} "
                            f"should follow (a truncated file?)")
        self.at += 1
        return self.lines[self.at - 1].strip()

    def real(self, what):
        line = self.text(what)
        try:
            value = float(line)
        except ValueError:
            raise FileError(f"{self.path}, line {self.at}: expected the {what} (a number), "
                            f"got {line[:40]!r}") from None
        return value

    def integer(self, what, low=0):
        value = self.real(what)
        if not np.isfinite(value) or value != int(value) or value < low:
            raise FileError(f"{self.path}, line {self.at}: expected the {what} (a whole number"
                            f" >= {low}), got {self.lines[self.at - 1].strip()[:40]!r}")
        return int(value)

    def count(self, what, each=1):
        """A count of following items (``each`` lines apiece) that the file can hold."""
        n = self.integer(what)
        if n * each > self.left():
            raise FileError(f"{self.path}, line {self.at}: {n} {what.replace('number of ', '')}"
                            f" announced, but only {self.left()} lines follow (a truncated "
                            f"file?)")
        return n

    def skip(self, n, what):
        if n > self.left():
            self.text(what)  # raises: the file ends here
        self.at += n

    def reals(self, n, what):
        if n > self.left():
            raise FileError(f"{self.path}: ends after {self.left()} of the {n} {what} "
                            f"(a truncated file?)")
        chunk = self.lines[self.at:self.at + n]
        try:
            values = np.array(chunk, dtype=np.float64)
        except ValueError:
            # The line NumPy could not read (a control character that Python's own float()
            # would strip as blank counts against it too).
            k = next(k for k, line in enumerate(chunk) if not numpy_number(line))
            raise FileError(f"{self.path}, line {self.at + k + 1}: expected one of the {what} "
                            f"(a number), got {chunk[k].strip()[:40]!r}") from None
        if not np.all(np.isfinite(values)):
            k = int(np.flatnonzero(~np.isfinite(values))[0])
            raise FileError(f"{self.path}, line {self.at + k + 1}: one of the {what} is "
                            f"{chunk[k].strip()[:40]!r}, not a finite number")
        self.at += n
        return values


_LINE_ENDS = re.compile(r"\r\n|\r|\n")


def recognise(path, head):
    """Whether the file starts with the VAMAS format identifier (after blank lines and NUL
    bytes, which some vendors write before it)."""
    head = head.replace(b"\x00", b"")
    if head.startswith(b"\xef\xbb\xbf"):
        head = head[3:]
    return head.lstrip().lower().startswith(IDENTIFIER[:40].lower().encode())


def _decode(path):
    # PHI pads the species and transition fields with NUL bytes: they are no part of the
    # text, which is ASCII by the format.
    raw = read_bytes(path).replace(b"\x00", b"")
    try:
        return raw.decode("utf-8-sig")
    except UnicodeDecodeError:
        # Vendors write a degree sign or a micro sign in Latin-1.
        return raw.decode("latin-1")


def parse(path):
    """The header (a dict) and the blocks (a list of dicts) of a VAMAS file."""
    f = _Lines(path, _decode(path))
    while f.left() > 1 and not f.lines[f.at].strip():
        f.at += 1  # Kratos writes blank lines before the format identifier
    first = f.text("format identifier") if f.left() else ""
    if " ".join(first.split()).casefold() != IDENTIFIER.casefold():
        raise FileError(f"{path}: not a VAMAS file (its first line is {first[:50]!r}, not "
                        f"{IDENTIFIER!r})")
    head = {"institution": f.text("institution identifier"),
            "instrument": f.text("instrument model identifier"),
            "operator": f.text("operator identifier"),
            "experiment": f.text("experiment identifier")}
    head["comment"] = [f.text("comment line") for _ in range(f.count("number of comment "
                                                                     "lines"))]
    mode = head["mode"] = f.text("experiment mode")
    scan = head["scan"] = f.text("scan mode")
    if mode in VALUE_MODES:
        raise FileError(f"{path}: experiment mode {mode} holds single values per point (an "
                        f"image or a profile), not spectra; only {', '.join(SPECTRUM_MODES)} "
                        f"files are read")
    if mode not in SPECTRUM_MODES:
        raise FileError(f"{path}, line {f.at}: unknown experiment mode {mode[:20]!r}; "
                        f"expected one of {', '.join(SPECTRUM_MODES + VALUE_MODES)}")
    if scan not in ("REGULAR", "IRREGULAR"):
        what = "holds no spectra" if scan == "MAPPING" else "is not one of the format's"
        raise FileError(f"{path}, line {f.at}: scan mode {scan[:20]!r} {what}; only REGULAR "
                        f"and IRREGULAR scans are read")
    if mode in ("MAP", "MAPDP", "NORM", "SDP"):
        head["spectral_regions"] = f.integer("number of spectral regions")
    if mode in ("MAP", "MAPDP"):
        head["positions"] = f.integer("number of analysis positions")
        head["map_x"] = f.integer("number of x coordinates in the map")
        head["map_y"] = f.integer("number of y coordinates in the map")
    head["variables"] = [(f.text("experimental variable label"),
                          f.text("experimental variable units"))
                         for _ in range(f.count("number of experimental variables", 2))]
    n = f.real("number of entries in the parameter inclusion list")
    if not abs(n) <= 40 or n != int(n):
        raise FileError(f"{path}, line {f.at}: the parameter inclusion list has {n:g} "
                        f"entries; there are 40 block parameters")
    n = int(n)
    include = [n <= 0] * 41
    for _ in range(abs(n)):
        prefix = f.integer("prefix number of the inclusion list", low=1)
        if prefix > 40:
            raise FileError(f"{path}, line {f.at}: parameter {prefix} in the inclusion list; "
                            f"block parameters are numbered 1 to 40")
        include[prefix] = n > 0
    head["include"] = include
    f.skip(f.count("number of manually entered items"), "prefix number of a manual item")
    future_experiment = f.integer("number of future upgrade experiment entries")
    head["future_block"] = f.integer("number of future upgrade block entries")
    f.skip(future_experiment, "future upgrade experiment entry")
    n_blocks = f.integer("number of blocks")
    blocks = []
    for k in range(n_blocks):
        if f.left() == 0 or (f.lines[f.at].strip().casefold() == "end of experiment"):
            raise FileError(f"{path}: the header announces {n_blocks} blocks, the file holds "
                            f"{k}")
        blocks.append(_block(f, head, blocks[0] if blocks else None))
    rest = [line.strip() for line in f.lines[f.at:] if line.strip()]
    if rest and rest[0].casefold() != "end of experiment":
        raise FileError(f"{path}, line {f.at + 1}: more data after the {n_blocks} blocks the "
                        f"header announces (expected 'end of experiment')")
    if not blocks:
        raise FileError(f"{path}: holds no blocks (no spectra)")
    return head, blocks


def _block(f, head, first):
    """One block: its items in order, an excluded item taken from the first block."""
    mode, b = head["mode"], {}

    def item(prefix, keys, read):
        if first is None or head["include"][prefix]:
            b.update(zip(keys, read()))
        else:
            b.update((k, first.get(k)) for k in keys)

    b["name"] = f.text("block identifier")
    b["sample"] = f.text("sample identifier")
    item(1, ["year"], lambda: [f.real("year")])
    item(2, ["month"], lambda: [f.real("month")])
    item(3, ["day"], lambda: [f.real("day")])
    item(4, ["hour"], lambda: [f.real("hours")])
    item(5, ["minute"], lambda: [f.real("minutes")])
    item(6, ["second"], lambda: [f.real("seconds")])
    item(7, ["gmt"], lambda: [f.real("hours in advance of GMT")])
    item(8, ["comment"], lambda: [[f.text("block comment line")
                                   for _ in range(f.count("number of lines in block comment"))]])
    item(9, ["technique"], lambda: [f.text("technique")])
    if mode in ("MAP", "MAPDP"):
        item(10, ["x", "y"], lambda: [f.real("x coordinate"), f.real("y coordinate")])
    item(11, ["variables"], lambda: [[f.text("value of an experimental variable")
                                      for _ in head["variables"]]])
    item(12, ["source"], lambda: [f.text("analysis source label")])
    if mode in SPUTTER_MODES or b["technique"] in SPUTTER_TECHNIQUES:
        item(13, ["sputter_ion"], lambda: [f.skip(3, "sputtering ion")])
    item(14, ["source_energy"], lambda: [f.real("analysis source characteristic energy")])
    item(15, ["source_strength"], lambda: [f.real("analysis source strength")])
    item(16, ["beam_width"], lambda: [(f.real("source beam width x"),
                                       f.real("source beam width y"))])
    if mode in ("MAP", "MAPDP", "MAPSV", "MAPSVDP", "SEM"):
        item(17, ["field_of_view"], lambda: [(f.real("field of view x"),
                                              f.real("field of view y"))])
    if mode in ("MAPSV", "MAPSVDP", "SEM"):
        item(18, ["linescan"], lambda: [f.skip(6, "linescan coordinates")])
    item(19, ["incidence"], lambda: [f.real("source polar angle of incidence")])
    item(20, ["source_azimuth"], lambda: [f.real("source azimuth")])
    item(21, ["analyser_mode"], lambda: [f.text("analyser mode")])
    item(22, ["pass_energy"], lambda: [f.real("analyser pass energy")])
    if b["technique"] == "AES diff":
        item(23, ["differential_width"], lambda: [f.real("differential width")])
    item(24, ["magnification"], lambda: [f.real("analyser lens magnification")])
    item(25, ["work_function"], lambda: [f.real("analyser work function")])
    item(26, ["target_bias"], lambda: [f.real("target bias")])
    item(27, ["analysis_width"], lambda: [(f.real("analysis width x"),
                                           f.real("analysis width y"))])
    item(28, ["take_off"], lambda: [(f.real("analyser take-off polar angle"),
                                     f.real("analyser take-off azimuth"))])
    item(29, ["species"], lambda: [f.text("species label")])
    item(30, ["transition", "charge"], lambda: [f.text("transition label"),
                                                f.real("charge of the detected particle")])
    if head["scan"] == "REGULAR":
        item(31, ["abscissa", "abscissa_units", "start", "step"],
             lambda: [f.text("abscissa label"), f.text("abscissa units"),
                      f.real("abscissa start"), f.real("abscissa increment")])
    item(32, ["variables_y"], lambda: [[(f.text("corresponding variable label"),
                                         f.text("corresponding variable units"))
                                        for _ in range(f.count("number of corresponding "
                                                               "variables", 2))]])
    item(33, ["signal_mode"], lambda: [f.text("signal mode")])
    item(34, ["dwell"], lambda: [f.real("signal collection time")])
    item(35, ["scans"], lambda: [f.real("number of scans")])
    item(36, ["time_correction"], lambda: [f.real("signal time correction")])
    if mode in SPUTTER_MODES and b["technique"] in SOURCE_TECHNIQUES:
        item(37, ["sputter_source"], lambda: [f.skip(7, "sputtering source")])
    item(38, ["tilt"], lambda: [(f.real("sample tilt polar angle"),
                                 f.real("sample tilt azimuth"))])
    item(39, ["rotation"], lambda: [f.real("sample rotation angle")])
    item(40, ["parameters"], lambda: [[(f.text("parameter label"), f.text("parameter units"),
                                        f.text("parameter value"))
                                       for _ in range(f.count("number of additional "
                                                              "parameters", 3))]])
    f.skip(head["future_block"], "future upgrade block entry")
    n_values = f.integer("number of ordinate values")
    n_vars = len(b["variables_y"])
    if n_vars == 0 or (head["scan"] == "IRREGULAR" and n_vars < 2):
        raise FileError(f"{f.path}, block {b['name']!r}: {n_vars} corresponding variables; "
                        f"a spectrum needs {2 if head['scan'] == 'IRREGULAR' else 1} at least")
    if n_values % n_vars:
        raise FileError(f"{f.path}, block {b['name']!r}: {n_values} ordinate values do not "
                        f"divide among {n_vars} corresponding variables")
    f.skip(2 * n_vars, "minimum and maximum ordinate values")
    values = f.reals(n_values, f"ordinate values of block {b['name']!r}")
    b["values"] = values.reshape(-1, n_vars).T  # (variable, point)
    if b["values"].shape[1] == 0:
        raise FileError(f"{f.path}, block {b['name']!r}: no data points")
    return b


def _axis(path, b, scan):
    """A block's grid, intensities, their (label, units) and a transmission function."""
    labels = list(b["variables_y"])
    values = list(b["values"])
    if scan == "IRREGULAR":
        (label, units), x = labels.pop(0), values.pop(0)
    else:
        label, units = b["abscissa"], b["abscissa_units"]
        x = b["start"] + b["step"] * np.arange(values[0].size)
    transmission = None
    picked = None
    for (name, unit), vals in zip(labels, values):
        if "transmission" in name.casefold():
            transmission = transmission if transmission is not None else vals
        elif picked is None:
            picked = (name, unit, vals)
    if picked is None:
        raise FileError(f"{path}, block {b['name']!r}: no intensities (its only corresponding "
                        f"variable is a transmission function)")
    return x, axis_from_label(label, units), picked, transmission


def _real(value):
    """A real item, or None where the file says it is unknown (1E37)."""
    return None if value is None or not abs(value) < UNKNOWN else float(value)


# Block identifiers that tell the regions apart no better than their order: empty, "None"
# (CasaXPS), a bare number or "1:" (PHI, Omicron).
_UNINFORMATIVE = re.compile(r"(none|null|n/?a|[\d\s.:#()-]*)", re.IGNORECASE)


def _name(b, k):
    """The name of block ``k``: its identifier, else its species and transition ("Au 4f"),
    else "block k+1"."""
    name = " ".join(b["name"].split())
    if not _UNINFORMATIVE.fullmatch(name):
        return name
    species = " ".join(f"{b['species'] or ''} {b['transition'] or ''}".split())
    if species and not _UNINFORMATIVE.fullmatch(species):
        return species
    return f"block {k + 1}"


def _regions(path, head, blocks):
    """The regions, in file order: (name, blocks).  Blocks of one name on one grid make one
    region (a map or a series); blocks of one name on different grids are regions of their
    own, named "name (2)", ..."""
    groups = {}
    for k, b in enumerate(blocks):
        b["x_grid"], b["axis"], b["picked"], b["transmission"] = _axis(path, b, head["scan"])
        groups.setdefault(_name(b, k), []).append(b)
    names, members = [], []
    for name, group in groups.items():
        same = all(g["x_grid"].size == group[0]["x_grid"].size
                   and np.allclose(g["x_grid"], group[0]["x_grid"], rtol=0, atol=1e-9)
                   and g["axis"] == group[0]["axis"] for g in group)
        if same:
            names.append(name)
            members.append(group)
        else:
            names.extend([name] * len(group))
            members.extend([g] for g in group)
    return list(zip(region_names(names), members))


def regions(path):
    """The names of the regions of a VAMAS file, in file order."""
    head, blocks = parse(path)
    return [name for name, _ in _regions(path, head, blocks)]


def read(path, region=None):
    """One region of a VAMAS file as an ``xarray.DataArray`` of counts (see
    :func:`velmora.read`)."""
    head, blocks = parse(path)
    found = _regions(path, head, blocks)
    name, group = found[choose(path, [n for n, _ in found], region)]
    return _counts(path, head, name, group)


def read_all(path):
    """Every region of a VAMAS file, after one parse: [(name, DataArray), ...]."""
    head, blocks = parse(path)
    return [(name, _counts(path, head, name, group))
            for name, group in _regions(path, head, blocks)]


def _counts(path, head, name, group):
    """The DataArray of the region ``name`` made of the blocks ``group``."""
    b = group[0]
    label, units, _ = b["picked"]
    attrs = _attrs(path, head, b, name)
    rate = "c/s" in units.casefold() or "cps" in label.casefold() \
        or "per second" in label.casefold() or "count rate" in label.casefold()
    stack = []
    for g in group:
        vals = g["picked"][2]
        if rate:
            vals = counts_from_rate(path, vals, _real(g["dwell"]), _real(g["scans"]), attrs)
        stack.append(vals)
    # Spectra of a series measured with dwell times or scans of their own: those are given
    # along the series, not as one attribute.
    varying = [key for key, item in (("dwell_time", "dwell"), ("scans", "scans"))
               if len({g[item] for g in group}) > 1]
    for key in varying:
        attrs.pop(key, None)
    if rate and varying:
        attrs["counts_from"] = "counts per second x each block's dwell time and scans"
    values, dims, coords = _arrange(path, head, group, np.array(stack))
    if not rate:
        check_counts(path, values, f"{label or 'intensity'} in {units or 'no units'}")
    extra = {}
    if b["transmission"] is not None and len(group) == 1:
        extra["transmission"] = (b["transmission"], {"long_name": "Transmission function"})
    counts = spectrum(path, b["x_grid"], values, b["axis"], attrs, dims, coords, extra)
    if len(dims) == 1:
        item = {"dwell_time": "dwell", "scans": "scans"}
        counts = counts.assign_coords({key: (dims[0], [_real(g[item[key]]) for g in group],
                                             {"units": "s"} if key == "dwell_time" else {})
                                       for key in varying})
    return counts


def _arrange(path, head, group, stack):
    """The counts of a region's blocks: one spectrum, a map (y, x) or a series."""
    if len(group) == 1:
        return stack[0], (), {}
    positions = {(g.get("x"), g.get("y")) for g in group}
    if head["mode"] in ("MAP", "MAPDP") and 1 < len(positions) < len(group):
        raise FileError(f"{path}: the {len(group)} blocks of region {group[0]['name']!r} lie "
                        f"at {len(positions)} map positions, several at one (depth-profile "
                        f"maps are not read)")
    if head["mode"] in ("MAP", "MAPDP") and len(positions) == len(group):
        xs = sorted({g["x"] for g in group})
        ys = sorted({g["y"] for g in group})
        if len(xs) * len(ys) > 4 * len(group):
            # Positions scattered over a grid they fill a small part of: no map.
            raise FileError(f"{path}: the {len(group)} blocks of region {group[0]['name']!r} "
                            f"lie at {len(xs)} x by {len(ys)} y positions, not on a map grid")
        grid = np.full((len(ys), len(xs), stack.shape[-1]), np.nan)
        for g, vals in zip(group, stack):
            grid[ys.index(g["y"]), xs.index(g["x"])] = vals
        return grid, ("y", "x"), {"y": (ys, {"long_name": "Map y position"}),
                                  "x": (xs, {"long_name": "Map x position"})}
    # A series (in a map, all at one position): along the first experimental variable that
    # tells the blocks apart (an etch time; the emission angle of an angle-resolved set),
    # else along their order.
    for k, (label, units) in enumerate(head["variables"]):
        values = [number(g["variables"][k]) if len(g["variables"]) > k else None
                  for g in group]
        if None not in values and len(set(values)) == len(values):
            dim = snake(label)
            attrs = {"long_name": label}
            if units and units not in ("d", "n"):
                attrs["units"] = {"micro m": "µm", "micro C": "µC"}.get(units, units)
            return stack, (dim,), {dim: (values, attrs)}
    return stack, ("series",), {}


def _attrs(path, head, b, name):
    axis = b["axis"][0]
    technique = b["technique"]
    attrs = {"technique": {"AES dir": "AES", "AES diff": "AES"}.get(technique, technique),
             "region": name, "sample": b["sample"],
             "source_file": os.path.basename(os.fspath(path)),
             "instrument": head["instrument"], "institution": head["institution"],
             "operator": head["operator"], "experiment": head["experiment"],
             "dwell_time": _real(b["dwell"]), "analyser_mode": b["analyser_mode"],
             "pass_energy": _real(b["pass_energy"]), "species": b["species"],
             "transition": b["transition"], "source": b["source"]}
    if b["scans"] is not None and 0 < b["scans"] < UNKNOWN:
        attrs["scans"] = int(b["scans"])
    if axis in ("binding_energy", "kinetic_energy"):
        attrs["energy"] = axis.split("_")[0]
    energy = _real(b["source_energy"])
    if energy and energy > 0:
        attrs["excitation_energy"] = energy
    attrs["date"] = _date(b)
    return attrs


def _date(b):
    """The block's date and time in ISO 8601, as far as the file knows them: a date of
    unknown fields (negative, or 1E37) is left out, a time of unknown fields too, and the
    seconds alone may be missing ("2019-01-22", "2019-01-22T10:30")."""
    def known(key, low, high):
        value = _real(b[key])
        return int(value) if value is not None and low <= value <= high else None

    year, month, day = known("year", 1, 9999), known("month", 1, 12), known("day", 1, 31)
    if None in (year, month, day):
        return None
    date = f"{year:04d}-{month:02d}-{day:02d}"
    hour, minute, second = known("hour", 0, 23), known("minute", 0, 59), known("second", 0, 60)
    if None in (hour, minute):
        return date
    date += f"T{hour:02d}:{minute:02d}"
    return date if second is None else f"{date}:{second:02d}"
