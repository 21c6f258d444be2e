"""The model written down: a TOML file of peaks, doublets, Kα2 partners, ties, bounds, the
background and the window.

:func:`load_model` reads such a file into the keyword arguments of :func:`velmora.fit` and
:func:`velmora.fit_many` (``python -m velmora fit FILE --model MODEL.toml`` reads it the same
way), and :meth:`velmora.FitResult.to_toml` writes a fitted model back as a starting file.

Layout::

    background = "shirley"       # a name: none, uniform, sqrt, linear, spline, shirley, tougaard;
                                 # or a table: { kind = "spline", knots = 4 } (or knots = [x, ...],
                                 # degree = 3), { kind = "tougaard", C = 551.0, D = 436.0 }
    window = [80.0, 92.0]        # fit only this range of x
    energy = "binding"           # "binding" or "kinetic": the energy kind of x for a shirley
                                 # or tougaard background (default: the data's, else binding)
    kalpha2 = "file"             # every [[peak]] gets a Kα2 partner: "Cu", "Co", "Mo", "Fe",
                                 # "Cr", "Ag", [λ1, λ2], or "file": the wavelengths (else the
                                 # anode) the data state
    kalpha2_ratio = 0.5          # area of each partner over its reflection (default: what the
                                 # data state with kalpha2 = "file", else 0.5)

    [bounds]                     # bounds of every peak that has the parameter
    sigma = { min = 0.05, max = 2.0 }

    [[peak]]
    shape = "voigt"              # gaussian, lorentzian, pseudo_voigt, voigt, doniach_sunjic, tsdc
    name = "C1"                  # default p0, p1, ... by the order of the [[peak]] tables
    x0 = 284.8                   # a number: the starting value
    sigma = { value = 0.5, min = 0.1, max = 2.0 }   # a table: value, min, max, fixed
    gamma = { value = 0.1, fixed = true }            # fixed without a value: held where guessed
    area = "0.5 * C2.area"       # a string: a tie to other parameters
    kalpha2 = false              # this peak's partner: false for none, else as above
    # beta = 1.0                 # tsdc only: the heating rate

    [[doublet]]                  # the two lines of velmora.doublet, named Au4f7 and Au4f5
    shape = "voigt"
    name = "Au4f"                # the level
    x0 = 84.0                    # the first line's parameters, as in [[peak]]
    splitting = 3.67             # default: the table's value for the level
    ratio = 0.75                 # default: the (2j + 1) ratio of the orbital
    orbital = "f"                # default: the letter ending the name
    share = ["sigma", "gamma"]   # default: every width and the asymmetry

Parameters left out are guessed from the data.  The peaks of the fit are those of the [[peak]]
and [[doublet]] tables in the order the file writes them, each [[peak]] followed by its Kα2
partner (``<name>_a2``), each [[doublet]] giving its two lines.  Every key is checked: an
unknown key, a value of the wrong type, an unknown shape or anode, a tie that does not parse or
names no parameter, a starting value outside its bounds and a TOML syntax error are refused
with one line naming the file and the table.
"""
import json
import math
import numbers
import os
import re

try:
    import tomllib
except ModuleNotFoundError:  # Python 3.9 and 3.10: the same parser, as a package
    import tomli as tomllib

from .backgrounds import BACKGROUND_NAMES, Spline, Tougaard
from .io import FileError
from .lines import ANODES, doublet, kalpha2
from .peaks import Peak
from .shapes import SHAPE_NAMES, SHAPES
from .validation import check_peaks, check_shared_bounds

__all__ = ["load_model", "stated_anode", "stated_ratio", "model_text"]

_TOP_KEYS = ("background", "window", "energy", "kalpha2", "kalpha2_ratio", "bounds", "peak",
             "doublet")
_PARAMETER_KEYS = ("value", "min", "max", "fixed")
_PEAK_KEYS = ("shape", "name", "beta", "kalpha2")
_DOUBLET_KEYS = ("shape", "name", "splitting", "orbital", "ratio", "share")
# The options of each background kind given as a table (the others take only ``kind``).
_BACKGROUND_OPTIONS = {"spline": ("knots", "degree"), "tougaard": ("C", "D")}
_FOLLOWS_PEAKS = ("shirley", "tougaard")
# Tougaard's universal cross-section, the Tougaard background's default.
_UNIVERSAL_C = 1643.0


class _Source:
    """The file being read, for messages that name it and the table where a mistake lies."""

    def __init__(self, path):
        self.path = os.fspath(path)

    def error(self, where, message, kind=ValueError):
        return kind(f"{self.path}: {where}: {message}" if where else f"{self.path}: {message}")


def _shown(value):
    """A TOML value as the file spells it, for messages."""
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, str):
        return json.dumps(value, ensure_ascii=False)
    if isinstance(value, dict):
        return "a table"
    if isinstance(value, list):
        return "an array"
    if isinstance(value, (int, float)):
        return repr(value)
    return f"a {type(value).__name__}"  # dates and times


def _number(value, what, source, where):
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise source.error(where, f"{what}: expected a number, got {_shown(value)}", TypeError)
    try:
        number = float(value)
    except OverflowError:
        number = math.inf
    if not math.isfinite(number):
        raise source.error(where, f"{what}: expected a finite number, got {_shown(value)}")
    return number


def _parameter(name, entry, source, where):
    """``(start or tie or None, fixed, (lo, hi) or None)`` of a parameter's entry: a number
    (its start), a string (its tie) or a table of value, min, max and fixed."""
    if isinstance(entry, str):
        return entry, False, None
    if not isinstance(entry, dict):
        if isinstance(entry, bool) or not isinstance(entry, (int, float)):
            raise source.error(where, f"{name}: expected a number, a tie (a string) or a table "
                                      f"{{ value, min, max, fixed }}, got {_shown(entry)}",
                               TypeError)
        return _number(entry, name, source, where), False, None
    for key in entry:
        if key not in _PARAMETER_KEYS:
            raise source.error(where, f"{name}.{key}: unknown key; a parameter's table takes "
                                      f"{', '.join(_PARAMETER_KEYS)}")
    start = _number(entry["value"], f"{name}.value", source, where) if "value" in entry else None
    lo = _number(entry["min"], f"{name}.min", source, where) if "min" in entry else None
    hi = _number(entry["max"], f"{name}.max", source, where) if "max" in entry else None
    fixed = entry.get("fixed", False)
    if not isinstance(fixed, bool):
        raise source.error(where, f"{name}.fixed: expected true or false, got {_shown(fixed)}",
                           TypeError)
    return start, fixed, None if lo is None and hi is None else (lo, hi)


def _shape(table, source, where):
    if "shape" not in table:
        raise source.error(where, f"shape: missing; expected one of {', '.join(SHAPE_NAMES)}")
    shape = table["shape"]
    if not isinstance(shape, str) or shape not in SHAPES:
        raise source.error(where, f"shape: unknown shape {_shown(shape)}; expected one of "
                                  f"{', '.join(SHAPE_NAMES)}")
    return shape


def _peak_arguments(table, shape, others, source, where):
    """The keyword arguments of :class:`Peak` (starting values and ties, ``fix``, ``bounds``)
    from the parameter entries of a table; ``others``: the table's keys that are not
    parameters."""
    names = SHAPES[shape].names + ("fwhm", "area")
    values, fix, bounds = {}, [], {}
    for key, entry in table.items():
        if key in others:
            continue
        if key not in names:
            raise source.error(where, f"{key}: unknown key; the {shape} shape's parameters are "
                                      f"{', '.join(names)}, and the table also takes "
                                      f"{', '.join(others)}")
        values[key], fixed, pair = _parameter(key, entry, source, where)
        if fixed:
            fix.append(key)
        if pair is not None:
            bounds[key] = pair
    return {**values, "fix": tuple(fix), "bounds": bounds or None}


def _where(kind, k, table):
    name = table.get("name")
    return f"[[{kind}]] {k + 1}" + (f" ({_shown(name)})" if isinstance(name, str) else "")


def _tables(document, key, source):
    tables = document.get(key, [])
    if not isinstance(tables, list) or not all(isinstance(t, dict) for t in tables):
        raise source.error(key, f"expected [[{key}]] tables, got {_shown(tables)}", TypeError)
    return tables


def stated_anode(data):
    """The X-ray anode a diffraction pattern states: its Kα1 and Kα2 wavelengths where its
    attributes give both (``wavelength_kalpha1``, ``wavelength_kalpha2``), else the name of
    its ``anode`` where :data:`velmora.lines.ANODES` has it.

    Parameters
    ----------
    data : xarray.DataArray
        What :func:`velmora.read` returned for an X-ray diffraction file.

    Returns
    -------
    (float, float) or str
        What :func:`velmora.kalpha2` and :func:`velmora.guess_peaks` take as the anode.

    Raises
    ------
    ValueError
        When the data state neither (a text file of columns states nothing).
    """
    attrs = getattr(data, "attrs", None) or {}
    pair = (attrs.get("wavelength_kalpha1"), attrs.get("wavelength_kalpha2"))
    if all(isinstance(v, numbers.Real) and not isinstance(v, bool) and math.isfinite(v) and v > 0
           for v in pair) and pair[1] > pair[0]:
        return float(pair[0]), float(pair[1])
    anode = attrs.get("anode")
    if isinstance(anode, str) and anode in ANODES:
        return anode
    if isinstance(anode, str) and anode:
        raise ValueError(f"the data state the anode {anode!r} without its Kα wavelengths, and "
                         f"it is none of {', '.join(ANODES)}; give the wavelengths [λ1, λ2]")
    raise ValueError("the data state no X-ray anode nor its Kα wavelengths; name the anode "
                     f"({', '.join(ANODES)})")


def stated_ratio(data):
    """The Kα2/Kα1 intensity ratio a diffraction pattern states (its ``kalpha2_ratio``
    attribute), or None where it states none.

    Raises
    ------
    ValueError
        Where it states 0: a beam without Kα2 (a Kα1 monochromator), whose reflections have no
        partners to fit.
    """
    attrs = getattr(data, "attrs", None) or {}
    ratio = attrs.get("kalpha2_ratio")
    if isinstance(ratio, bool) or not isinstance(ratio, numbers.Real) \
            or not math.isfinite(ratio) or ratio < 0:
        return None
    if ratio == 0:
        raise ValueError("the data state a Kα2/Kα1 ratio of 0 (a beam without Kα2: a Kα1 "
                         "monochromator); leave the Kα2 partners out, or give their ratio to "
                         "fit them all the same")
    return float(ratio)


def _anode(value, what, source, where, data):
    """The anode a ``kalpha2`` entry names (None for ``false``)."""
    if value is False:
        return None
    if value == "file":
        if data is None:
            raise source.error(where, f'{what} = "file" takes the anode from the data: '
                                      f'load_model(path, data=velmora.read(...))')
        try:
            return stated_anode(data)
        except ValueError as exc:
            raise source.error(where, f'{what} = "file": {exc}') from None
    if isinstance(value, str):
        if value not in ANODES:
            raise source.error(where, f"{what}: unknown anode {_shown(value)}; expected one of "
                                      f"{', '.join(ANODES)}, \"file\" or [λ1, λ2]")
        return value
    if isinstance(value, list) and len(value) == 2:
        lam1, lam2 = (_number(v, f"{what}[{i}]", source, where) for i, v in enumerate(value))
        if not 0 < lam1 < lam2:
            raise source.error(where, f"{what}: expected [λ1, λ2] with 0 < λ1 < λ2 (Kα2 has "
                                      f"the longer wavelength), got {_shown(value)}")
        return lam1, lam2
    raise source.error(where, f"{what}: expected an anode's name, \"file\", [λ1, λ2] or false, "
                              f"got {_shown(value)}", TypeError)


def _background(entry, energy, source):
    """``(background, knots)``: what ``fit`` takes for the file's background entry."""
    kinds = ", ".join(BACKGROUND_NAMES)
    if isinstance(entry, str):
        if entry not in BACKGROUND_NAMES:
            raise source.error("background", f"unknown background {_shown(entry)}; expected "
                                              f"one of {kinds}")
        return entry, None
    if not isinstance(entry, dict):
        raise source.error("background", f"expected a name or a table {{ kind = ... }}, got "
                                          f"{_shown(entry)}", TypeError)
    kind = entry.get("kind")
    if kind is None:
        raise source.error("background", f"kind: missing; expected one of {kinds}")
    if not isinstance(kind, str) or kind not in BACKGROUND_NAMES:
        raise source.error("background", f"kind: unknown background {_shown(kind)}; expected "
                                          f"one of {kinds}")
    options = _BACKGROUND_OPTIONS.get(kind, ())
    for key in entry:
        if key != "kind" and key not in options:
            takes = f"takes {', '.join(options)}" if options else "takes no options"
            raise source.error("background", f"{key}: unknown key; the {kind} background "
                                              f"{takes}")
    try:
        if kind == "spline":
            knots = entry.get("knots")
            if knots is not None and not (isinstance(knots, int) and not isinstance(knots, bool)):
                if not isinstance(knots, list):
                    raise TypeError(f"knots: expected a number of knots or their positions, "
                                    f"got {_shown(knots)}")
                knots = [_number(v, f"knots[{i}]", source, "background")
                         for i, v in enumerate(knots)]
            if "degree" not in entry:
                if knots is not None:
                    Spline(knots)  # refuses bad knots here, with the file's name
                return "spline", knots
            degree = entry["degree"]
            if isinstance(degree, bool) or not isinstance(degree, int):
                raise TypeError(f"degree: expected an integer, got {_shown(degree)}")
            return Spline(4 if knots is None else knots, degree), None
        if kind == "tougaard" and ("C" in entry or "D" in entry):
            # The background then is an object, which holds the energy kind the file gives
            # (None: the data's, else binding energy).
            c = _number(entry.get("C", _UNIVERSAL_C), "C", source, "background")
            d = _number(entry["D"], "D", source, "background") if "D" in entry else None
            return Tougaard(energy, c, d), None
    except (TypeError, ValueError) as exc:
        if str(exc).startswith(source.path):
            raise
        raise source.error("background", str(exc), type(exc)) from None
    return kind, None


def load_model(path, data=None):
    """Read a model file: the peaks, doublets, Kα2 partners, background and window of a fit.

    Parameters
    ----------
    path : str or path-like
        A TOML file laid out as :mod:`velmora.modelfile` describes.
    data : xarray.DataArray, optional
        The data the model is for (from :func:`velmora.read`): ``kalpha2 = "file"`` takes the
        anode from its attributes.

    Returns
    -------
    dict
        The keyword arguments of :func:`velmora.fit` and :func:`velmora.fit_many` besides x
        and the counts: ``peaks`` (a list of :class:`velmora.Peak`), and ``background``,
        ``window``, ``energy``, ``bounds`` and ``knots`` where the file gives them.

    Raises
    ------
    velmora.io.FileError
        (a ValueError) When the file cannot be read.
    ValueError, TypeError
        For every mistake in the file, with one line naming the file, the table and the key:
        TOML syntax, an unknown key, a value of the wrong type, an unknown shape, background
        or anode, a tie that does not parse or names no parameter, a starting value outside
        its bounds, two peaks of one name, ``kalpha2 = "file"`` without data that state an
        anode, and a file without any peak.

    Examples
    --------
    >>> import velmora
    >>> au = velmora.read("gold.vms", region="Au 4f", energy="binding")   # doctest: +SKIP
    >>> model = velmora.load_model("au4f.toml", data=au)                  # doctest: +SKIP
    >>> result = velmora.fit(au[au.dims[-1]], au, **model)                # doctest: +SKIP
    >>> result.to_toml("au4f-fitted.toml")                                # doctest: +SKIP
    """
    source = _Source(path)
    try:
        with open(path, "rb") as handle:
            raw = handle.read()
    except OSError as exc:
        raise FileError(f"{source.path}: cannot read the model file: "
                        f"{exc.strerror or exc}") from None
    try:
        document = tomllib.loads(raw.decode("utf-8"))
    except UnicodeDecodeError as exc:
        raise source.error("", f"not UTF-8 text (byte {exc.start}); a model file is TOML, "
                               f"in UTF-8") from None
    except tomllib.TOMLDecodeError as exc:
        raise source.error("", f"TOML syntax: {exc}") from None

    for key in document:
        if key not in _TOP_KEYS:
            raise source.error("", f"{key}: unknown key; a model file takes "
                                   f"{', '.join(_TOP_KEYS)}")
    energy = document.get("energy")
    if energy is not None and energy not in ("binding", "kinetic"):
        raise source.error("", f"energy: expected \"binding\" or \"kinetic\", got "
                               f"{_shown(energy)}")
    tables = _tables(document, "peak", source)
    ratio = 0.5
    if "kalpha2_ratio" in document:
        ratio = _number(document["kalpha2_ratio"], "kalpha2_ratio", source, "")
        if not ratio > 0:
            raise source.error("", f"kalpha2_ratio: expected a positive number, got {ratio!r}")
    elif data is not None and "file" in [document.get("kalpha2")] + [
            t.get("kalpha2") for t in tables if isinstance(t, dict)]:
        # Partners "from the file" take the ratio the file states too, where it states one.
        try:
            ratio = stated_ratio(data) or ratio
        except ValueError as exc:
            raise source.error("", f'kalpha2 = "file": {exc} (kalpha2_ratio = ...)') from None
    anode = _anode(document["kalpha2"], "kalpha2", source, "", data) \
        if "kalpha2" in document else None

    groups = {}  # the peaks of every [[peak]] and [[doublet]] table, with their labels
    for k, table in enumerate(tables):
        where = _where("peak", k, table)
        shape = _shape(table, source, where)
        name = table.get("name", f"p{k}")
        if not isinstance(name, str):
            raise source.error(where, f"name: expected a string, got {_shown(name)}", TypeError)
        partner = _anode(table["kalpha2"], "kalpha2", source, where, data) \
            if "kalpha2" in table else anode
        arguments = _peak_arguments(table, shape, _PEAK_KEYS, source, where)
        if "beta" in table:
            arguments["beta"] = _number(table["beta"], "beta", source, where)
        try:
            peak = Peak(shape, name=name, **arguments)
            group = [(peak, where)]
            if partner is not None:
                group.append((kalpha2(peak, partner, ratio), f"{where}'s Kα2 partner"))
        except (TypeError, ValueError) as exc:
            raise source.error(where, str(exc), type(exc)) from None
        groups["peak", k] = group
    if "kalpha2_ratio" in document and sum(map(len, groups.values())) == len(tables):
        raise source.error("", "kalpha2_ratio: given without any Kα2 partner (kalpha2 = ...)")

    for k, table in enumerate(_tables(document, "doublet", source)):
        where = _where("doublet", k, table)
        shape = _shape(table, source, where)
        if not isinstance(table.get("name"), str):
            raise source.error(where, "name: the level (such as \"Au4f\") is needed, as a string",
                               TypeError)
        options = {}
        for key in ("splitting", "ratio"):
            if key in table:
                options[key] = _number(table[key], key, source, where)
        if "orbital" in table:
            options["orbital"] = table["orbital"]
        if "share" in table:
            share = table["share"]
            if isinstance(share, str):
                share = [share]
            if not isinstance(share, list) or not all(isinstance(s, str) for s in share):
                raise source.error(where, f"share: expected a list of parameter names, got "
                                          f"{_shown(share)}", TypeError)
            options["share"] = tuple(share)
        arguments = _peak_arguments(table, shape, _DOUBLET_KEYS, source, where)
        try:
            lines = doublet(shape, table["name"], **options, **arguments)
        except (TypeError, ValueError) as exc:
            raise source.error(where, str(exc), type(exc)) from None
        groups["doublet", k] = [(line, f"{where}'s line {line.name}") for line in lines]

    ordered = [pair for key in _table_order(raw, groups) for pair in groups[key]]
    peaks = [peak for peak, _ in ordered]
    if not peaks:
        raise source.error("", "no [[peak]] or [[doublet]] table: a model needs a peak")
    seen = {}
    for peak, label in ordered:
        if peak.name in seen:
            raise source.error(label, f"the name {peak.name!r} is already that of "
                                      f"{seen[peak.name]}; every peak needs its own name")
        seen[peak.name] = label
    try:
        check_peaks(peaks)  # ties that name no parameter, circular ties, mixed thermograms
    except (TypeError, ValueError) as exc:
        raise source.error("", str(exc), type(exc)) from None

    out = {"peaks": peaks}
    if "background" in document:
        background, knots = _background(document["background"], energy, source)
        out["background"] = background
        if knots is not None:
            out["knots"] = knots
        kind = background if isinstance(background, str) else background.name
        if energy is not None and kind not in _FOLLOWS_PEAKS:
            raise source.error("", f"energy: only a shirley or tougaard background takes an "
                                   f"energy axis, not {kind}")
        if energy is not None and isinstance(background, str):
            out["energy"] = energy
    elif energy is not None:
        raise source.error("", "energy: given without a shirley or tougaard background")
    if "window" in document:
        window = document["window"]
        if not isinstance(window, list) or len(window) != 2:
            raise source.error("", f"window: expected [lo, hi], got {_shown(window)}", TypeError)
        lo, hi = (_number(v, f"window[{i}]", source, "") for i, v in enumerate(window))
        if not lo < hi:
            raise source.error("", f"window: expected [lo, hi] with lo < hi, got [{lo}, {hi}]")
        out["window"] = (lo, hi)
    if "bounds" in document:
        out["bounds"] = _shared_bounds(document["bounds"], peaks, source)
    return out


_TABLE_HEADER = re.compile(rb"^[ \t]*\[\[[ \t]*(peak|doublet)[ \t]*\]\]", re.MULTILINE)


def _table_order(raw, groups):
    """The keys ``(kind, k)`` of the [[peak]] and [[doublet]] tables in the order the file
    writes them, as its table headers say (TOML keeps the order within each kind only); the
    [[peak]] tables first, then the [[doublet]] ones, where the headers cannot be told (as a
    header spelled with quotes)."""
    count = {"peak": 0, "doublet": 0}
    order = []
    for match in _TABLE_HEADER.finditer(raw):
        kind = match.group(1).decode()
        order.append((kind, count[kind]))
        count[kind] += 1
    return order if sorted(order) == sorted(groups) else list(groups)


def _shared_bounds(table, peaks, source):
    if not isinstance(table, dict):
        raise source.error("", f"bounds: expected a table [bounds], got {_shown(table)}",
                           TypeError)
    bounds = {}
    for name, entry in table.items():
        if not isinstance(entry, dict):
            raise source.error("[bounds]", f"{name}: expected a table {{ min, max }}, got "
                                           f"{_shown(entry)}", TypeError)
        for key in entry:
            if key not in ("min", "max"):
                raise source.error("[bounds]", f"{name}.{key}: unknown key; shared bounds take "
                                               f"min and max")
        bounds[name] = tuple(_number(entry[k], f"{name}.{k}", source, "[bounds]")
                             if k in entry else None for k in ("min", "max"))
    try:
        check_shared_bounds(peaks, bounds)
    except (TypeError, ValueError) as exc:
        raise source.error("[bounds]", str(exc), type(exc)) from None
    return bounds


# ------------------------------------------------------------------------ writing a model

_ESCAPES = {'"': '\\"', "\\": "\\\\", "\b": "\\b", "\t": "\\t", "\n": "\\n", "\f": "\\f",
            "\r": "\\r"}


def _toml(value):
    """A value in TOML: a string, a float (Python's repr, which TOML reads back exactly;
    ``inf`` and ``nan`` are spelled alike), a bool, an array, an inline table."""
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, float):
        return repr(value)
    if isinstance(value, int):
        return str(value)
    if isinstance(value, str):
        return '"' + "".join(_ESCAPES.get(c, c if ord(c) >= 0x20 and ord(c) != 0x7F
                                           else f"\\u{ord(c):04X}") for c in value) + '"'
    if isinstance(value, list):
        return "[" + ", ".join(_toml(v) for v in value) + "]"
    return "{ " + ", ".join(f"{k} = {_toml(v)}" for k, v in value.items()) + " }"


def _model_document(result):
    """The fitted model of ``result`` as the TOML document of a starting file."""
    model = result.model
    document = {}
    background = result.setup.background  # on the energy kind the fit took x as
    kind = background.name
    if kind not in BACKGROUND_NAMES:
        raise ValueError(f"background: {type(background).__name__} is not a kind a model file "
                         f"names ({', '.join(BACKGROUND_NAMES)})")
    if kind == "spline":
        knots = background.knots if isinstance(background.knots, int) else \
            [float(k) for k in background.knots]
        table = {"kind": "spline", "knots": knots}
        if background.degree != 3:
            table["degree"] = background.degree
        document["background"] = table
    elif kind == "tougaard" and (background.C != _UNIVERSAL_C or background.D is not None):
        document["background"] = {"kind": "tougaard", "C": background.C,
                                  **({} if background.D is None else {"D": background.D})}
    elif kind != "none":
        document["background"] = kind
    if kind in _FOLLOWS_PEAKS and background.energy is not None:
        document["energy"] = background.energy  # the kind the fit took x as
    document["window"] = [float(v) for v in result.window]
    shared = model.bounds
    if shared:
        document["bounds"] = {n: _ends(pair) for n, pair in shared.items()}

    tables = []
    for peak in model.peaks:
        fitted = result.peaks[peak.name]
        table = {"shape": peak.shape, "name": peak.name}
        if SHAPES[peak.shape].heating_rate:
            table["beta"] = float(peak.beta)
        for name in peak.params + ("area",):
            if name in peak.ties:
                table[name] = peak.ties[name]
                continue
            fixed = name in peak.fix
            # A fixed value as the fit held it (as given, or as guessed from the data); a free
            # one where the fit left it, inside its bounds.
            value = peak.value_of(name) if fixed else None
            if value is None:
                value = fitted[name].value
            if value is None or not math.isfinite(value):
                raise ValueError(f"{peak.name}.{name}: the fit left it at {value!r}, which a "
                                 f"starting file cannot hold")
            pair = peak.bounds.get(name, shared.get(name))
            if pair is not None:
                value = min(max(value, pair[0]), pair[1])
            own = peak.bounds.get(name)
            if fixed or own is not None:
                entry = {"value": float(value), **(_ends(own) if own else {})}
                if fixed:
                    entry["fixed"] = True
                table[name] = entry
            else:
                table[name] = float(value)
        tables.append(table)
    document["peak"] = tables
    return document


def _ends(pair):
    """Bounds as a table of their finite ends."""
    lo, hi = pair
    return {**({"min": float(lo)} if math.isfinite(lo) else {}),
            **({"max": float(hi)} if math.isfinite(hi) else {})}


def model_text(result, comments=()):
    """The fitted model of ``result`` (a :class:`velmora.FitResult`) as the text of a model
    file: every peak with its fitted values as starting values, its ties, fixed values and
    bounds; the shared bounds, the background and the window.  Doublets and Kα2 partners are
    written as the peaks they are, with their ties (the same model).  ``comments``: lines put
    first, as TOML comments.  Loading the text with :func:`load_model` gives back the same
    model, every number exactly (the text is read back and compared before it is returned)."""
    document = _model_document(result)
    lines = [f"# {c}" for c in comments]
    for key in ("background", "energy", "window"):
        if key in document:
            lines.append(f"{key} = {_toml(document[key])}")
    if "bounds" in document:
        lines += ["", "[bounds]"] + [f"{n} = {_toml(v)}" for n, v in document["bounds"].items()]
    for table in document["peak"]:
        lines += ["", "[[peak]]"] + [f"{k} = {_toml(v)}" for k, v in table.items()]
    text = "\n".join(lines) + "\n"
    if tomllib.loads(text) != document:
        raise ValueError("the model file written does not read back as the fitted model")
    return text
