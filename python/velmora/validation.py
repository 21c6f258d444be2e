"""Checks of every input, once, at the entry points: data, window, options, peaks and their
ties.  Each check names the argument and the offending value; the code after it trusts its
inputs.  Nothing passed in is modified (arrays are copied)."""
import math
import numbers

import numpy as np

from .packing import ERRORS
from .peaks import Peak, check_bounds
from .shapes import AREA, SHAPES
from .ties import area_factor, order_ties, parse_tie


class InvalidCounts(ValueError):
    """Counts that are not finite or negative (a ValueError)."""


class NoCounts(ValueError):
    """A spectrum without a single count in the fitting window (a ValueError)."""


def as_array(values, what):
    """A new float64 1-D array from ``values``, or a TypeError/ValueError naming ``what``."""
    if isinstance(values, (str, bytes)):
        raise TypeError(f"{what}: expected an array of numbers, got {type(values).__name__}")
    try:
        arr = np.asarray(values)
    except Exception as exc:  # ragged nested sequences and the like
        raise TypeError(f"{what}: expected an array of numbers ({exc})") from None
    if arr.dtype.kind not in "iuf":
        raise TypeError(f"{what}: expected real numbers, got an array of dtype {arr.dtype}")
    if arr.ndim != 1:
        raise ValueError(f"{what}: expected a one-dimensional array, got shape {arr.shape}")
    return np.array(arr, dtype=np.float64, copy=True)


def check_grid(x):
    """A validated copy of the grid: finite, at least two distinct points, no repeats."""
    x = as_array(x, "x")
    if x.size < 2:
        raise ValueError(f"x: a spectrum needs at least two points, got {x.size}")
    bad = ~np.isfinite(x)
    if bad.any():
        i = int(np.argmax(bad))
        raise ValueError(f"x: value {x[i]} at index {i} is not finite")
    if np.unique(x).size != x.size:
        raise ValueError("x: contains repeated values; every grid point must be distinct")
    return x


def check_counts(counts, size):
    """A validated copy of the counts of a grid of ``size`` points."""
    counts = as_array(counts, "counts")
    if counts.size != size:
        raise ValueError(f"counts: length {counts.size} does not match x (length {size})")
    bad = ~np.isfinite(counts)
    if bad.any():
        i = int(np.argmax(bad))
        raise InvalidCounts(f"counts: value {counts[i]} at index {i} is not finite")
    if (counts < 0).any():
        i = int(np.argmax(counts < 0))
        raise InvalidCounts(f"counts: negative value {counts[i]} at index {i}; counts must "
                            f"be >= 0")
    return counts


def check_data(x, counts):
    """Validated copies of the grid and the counts."""
    x = check_grid(x)
    return x, check_counts(counts, x.size)


def window_pair(window):
    """The window as a pair of finite floats, the lower end below the upper."""
    if isinstance(window, (str, bytes)) or not hasattr(window, "__len__") or len(window) != 2:
        raise TypeError(f"window: expected None or a pair (lo, hi), got {window!r}")
    lo, hi = window
    for v, name in ((lo, "window[0]"), (hi, "window[1]")):
        if isinstance(v, bool) or not isinstance(v, numbers.Real):
            raise TypeError(f"{name}: expected a real number, got {type(v).__name__}")
        if not math.isfinite(v):
            raise ValueError(f"{name}: expected a finite number, got {v!r}")
    lo, hi = float(lo), float(hi)
    if not lo < hi:
        raise ValueError(f"window: lower end {lo} is not below upper end {hi}")
    return lo, hi


def check_window(window, x, energy=None, excitation=None):
    """The window as a pair of floats (the data range when None); it must hold data.

    On an electron-energy axis (``energy`` "binding" or "kinetic") a window without data says
    so, and suggests the other energy kind where that would hold data: through the
    ``excitation`` energy (eV) when known (E_B = h nu - E_K), else, without a conversion, when
    the window misses the data's range altogether."""
    if window is None:
        return float(np.min(x)), float(np.max(x))
    lo, hi = window_pair(window)
    inside = int(np.count_nonzero((x >= lo) & (x <= hi)))
    if inside < 2:
        first, last = _short(np.min(x)), _short(np.max(x))
        kind = f", {energy} energy" if energy in _OTHER_ENERGY else ""
        raise ValueError(f"window: [{lo}, {hi}] holds {inside} data point"
                         f"{'' if inside == 1 else 's'} (x runs from {first} to {last}{kind}); "
                         f"a fit needs at least two{_other_energy(lo, hi, x, energy, excitation)}")
    return lo, hi


_OTHER_ENERGY = {"binding": "kinetic", "kinetic": "binding"}


def _short(value):
    """A number of the grid for messages: ten significant digits, without the float noise of
    a conversion (1486.68 - 1424.68 reads 62.0)."""
    return float(f"{float(value):.10g}")


def _other_energy(lo, hi, x, energy, excitation):
    """The end of the message of a window without data on an ``energy`` axis: where the other
    energy kind would hold data, the way to read the data in it; else nothing."""
    other = _OTHER_ENERGY.get(energy)
    if other is None:
        return ""
    how = (f"read the file with energy={other!r} (velmora.read(..., energy={other!r}), "
           f"--energy {other} on the command line)")
    if excitation is not None:
        converted = excitation - np.asarray(x, dtype=np.float64)
        if np.count_nonzero((converted >= lo) & (converted <= hi)) < 2:
            return ""
        return (f"; in {other} energy, with the excitation energy {excitation:g} eV, the data "
                f"run from {_short(np.min(converted))} to {_short(np.max(converted))}: {how}")
    if lo <= np.max(x) and hi >= np.min(x):
        return ""  # the window meets the data: too narrow, not of the other kind
    return (f"; if the window is in {other} energy, the data must be turned into it, and they "
            f"carry no excitation energy to do so: give x in {other} energy, or {how} where "
            f"the file records the excitation energy")


def check_options(tol, max_iter):
    if isinstance(tol, bool) or not isinstance(tol, numbers.Real):
        raise TypeError(f"tol: expected a real number, got {type(tol).__name__}")
    if not (math.isfinite(tol) and 0 < tol < 1):
        raise ValueError(f"tol: expected a number between 0 and 1, got {tol!r}")
    if isinstance(max_iter, bool) or not isinstance(max_iter, numbers.Integral):
        raise TypeError(f"max_iter: expected an integer, got {type(max_iter).__name__}")
    if max_iter < 1:
        raise ValueError(f"max_iter: expected at least 1, got {max_iter}")
    return float(tol), int(max_iter)


def check_errors(errors):
    """``errors`` of a model: one of packing.ERRORS."""
    if not isinstance(errors, str) or errors not in ERRORS:
        raise ValueError(f"errors: expected one of {', '.join(repr(e) for e in ERRORS)}, "
                         f"got {errors!r}")
    return errors


def check_peaks(peaks):
    """The peaks as a list, each with a name (``p0``, ``p1``, ... where none is given), every
    tie resolved and in evaluation order.

    Returns
    -------
    peaks : list of Peak
        Copies named where they had no name.
    order : list of ties.Tie
        Every tie, each after the ties it uses.
    """
    if isinstance(peaks, Peak):
        peaks = [peaks]
    if isinstance(peaks, (str, bytes)) or not hasattr(peaks, "__iter__"):
        raise TypeError(f"peaks: expected a list of velmora.Peak, got {type(peaks).__name__}")
    peaks = list(peaks)
    if not peaks:
        raise ValueError("peaks: at least one peak is needed")
    for k, peak in enumerate(peaks):
        if not isinstance(peak, Peak):
            raise TypeError(f"peaks[{k}]: expected a velmora.Peak, got {type(peak).__name__}")
    # One fit has one axis: peaks fitted in grid units (spectra) or on an absolute axis (TSDC
    # thermograms, in kelvin), not both.
    framed = [SHAPES[p.shape].framed for p in peaks]
    if any(framed) and not all(framed):
        k = framed.index(not framed[0])
        raise ValueError(f"peaks: TSDC peaks (thermograms, on a temperature axis) cannot be "
                         f"fitted together with spectral peaks; peaks[0] is {peaks[0].shape!r} "
                         f"but peaks[{k}] is {peaks[k].shape!r}")
    betas = {p.beta for p in peaks if SHAPES[p.shape].heating_rate}
    if len(betas) > 1:
        raise ValueError(f"peaks: the peaks of one thermogram share its heating rate; got "
                         f"beta = {sorted(betas)}")
    named = []
    seen = {}
    for k, peak in enumerate(peaks):
        name = peak.name if peak.name is not None else f"p{k}"
        if name in seen:
            raise ValueError(f"peaks[{k}]: the name {name!r} is already that of "
                             f"peaks[{seen[name]}]; every peak needs its own name")
        seen[name] = k
        if peak.name is None:
            peak = peak.replace()
            peak.name = name
        named.append(peak)

    known = {(p.name, n) for p in named for n in p.params + ("area",)}
    ties = {}
    for p in named:
        for pname, text in p.ties.items():
            ties[(p.name, pname)] = parse_tie(text, p.name, pname)
    order = order_ties(ties, known)
    for tie in order:
        if tie.param == "area":
            area_factor(tie)  # refuses an area tie that is not a multiple of one other area
    return named, order


def check_shared_bounds(peaks, bounds):
    """Bounds shared by all peaks (``fit(..., bounds=...)``): every name must belong to some
    peak; returned validated."""
    if bounds is None:
        return {}
    names = {n for p in peaks for n in p.params}

    def spec_of(name):
        if name == "area":
            return AREA
        for p in peaks:
            if name in p.params:
                return p.spec.param(name)
        raise KeyError(name)

    out = check_bounds(spec_of, bounds, "bounds")
    for name in out:
        if name != "area" and name not in names:
            raise ValueError(f"bounds: no peak has a parameter {name!r}")
    return out
