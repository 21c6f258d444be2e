"""Starting values from the data.

Peaks are picked greedily: the data are smoothed, a straight baseline through the low counts
at both ends of the window is taken off, and the largest remaining maximum becomes a peak
whose width is read at half its height; a Gaussian of that height and width is subtracted and
the next maximum is taken, so shoulders of overlapping peaks are found as well as separate
maxima.  A peak whose position is given (or tied to another's) is read at that position.
Positions and widths become each shape's parameters by the core's rule for the shape.
"""
import numbers

import numpy as np

from .model import Peak
from .shapes import SHAPE_NAMES, SHAPES
from .validation import check_data, check_window

# Share of the signal a peak starts with where the peaks already read leave nothing.
LEFT_OVER_SHARE = 0.1
# Area of a Gaussian of unit height and unit full width at half maximum: sqrt(pi / ln 16).
GAUSSIAN_AREA_PER_FWHM = 1.0644670194312262


def smooth(counts, width):
    """Counts smoothed by a Gaussian of ``width`` grid steps (ends padded with their value)."""
    half = int(4 * width + 0.5)
    kernel = np.exp(-0.5 * (np.arange(-half, half + 1) / width) ** 2)
    padded = np.pad(np.asarray(counts, dtype=np.float64), half, mode="edge")
    return np.convolve(padded, kernel / kernel.sum(), mode="valid")


def baseline(x, smoothed):
    """A straight line through the low counts at both ends of the window."""
    n = max(3, x.size // 20)
    left = np.percentile(smoothed[:n], 20)
    right = np.percentile(smoothed[-n:], 20)
    xl, xr = np.mean(x[:n]), np.mean(x[-n:])
    line = left + (right - left) * (x - xl) / (xr - xl if xr != xl else 1.0)
    return np.minimum(line, smoothed)


def _half_width(x, signal, i):
    """Full width at half maximum of the bump of ``signal`` at index ``i`` (x units)."""
    half = signal[i] * 0.5
    j = i
    while j > 0 and signal[j] > half:
        j -= 1
    left = x[j] if signal[j] > half or j == i else np.interp(half, [signal[j], signal[j + 1]],
                                                             [x[j], x[j + 1]])
    k = i
    while k < x.size - 1 and signal[k] > half:
        k += 1
    right = x[k] if signal[k] > half or k == i else np.interp(half, [signal[k], signal[k - 1]],
                                                              [x[k], x[k - 1]])
    return right - left


def pick(x, residual, step, position=None):
    """Height, position and FWHM of the largest bump (or of the bump at ``position``)."""
    i = int(np.argmax(residual)) if position is None else int(np.argmin(np.abs(x - position)))
    height = max(float(residual[i]), 0.0)
    fwhm = _half_width(x, residual, i) if height > 0 else 0.0
    fwhm = float(np.clip(fwhm, 2.0 * step, 0.5 * (x[-1] - x[0])))
    return height, float(x[i]) if position is None else float(position), fwhm


class Picker:
    """The greedy picking of peaks on one spectrum (sorted ``x``, its ``counts``)."""

    def __init__(self, x, counts):
        self.x = x
        self.step = float(np.median(np.diff(x)))
        smoothed = smooth(counts, 1.5)
        self.base = baseline(x, smoothed)
        self.total = float(np.sum(counts))
        self.residual = smoothed - self.base
        self.signal = self.residual.copy()  # the peaks above the baseline, none taken off

    def background_share(self):
        """Rough share of the counts under the baseline of the data."""
        base = float(np.sum(np.clip(self.base, 0.0, None)))
        return float(np.clip(base / self.total, 0.02, 0.9)) if self.total > 0 else 0.5

    def take(self, position=None):
        """(height, position, fwhm) of the next peak, which is then taken off the residual.

        A peak placed where the peaks already taken leave nothing (a shoulder they covered)
        still starts with something: a tenth of the signal there, and the width of the
        signal's bump there.  A peak started at zero counts would stay there.
        """
        height, where, fwhm = pick(self.x, self.residual, self.step, position)
        if not height > 0:
            share, _, fwhm = pick(self.x, self.signal, self.step, where)
            height = LEFT_OVER_SHARE * share
        sigma = SHAPES["gaussian"].start(where, fwhm)["sigma"]
        self.residual = self.residual - height * np.exp(-0.5 * ((self.x - where) / sigma) ** 2)
        return height, where, fwhm

    def height_at(self, position):
        """What is left of the data at ``position``."""
        return float(self.residual[int(np.argmin(np.abs(self.x - position)))])

    def area(self, height, fwhm):
        """Counts of a Gaussian of this height (counts per channel) and FWHM."""
        return max(height * fwhm * GAUSSIAN_AREA_PER_FWHM / self.step, 0.0)


def fill_peaks(x, counts, peaks, tied_positions=None, picker=None):
    """Copies of ``peaks`` with every missing starting value and area filled from the data.

    ``x`` must be sorted.  Tied parameters are left to their ties.  ``tied_positions`` (a
    callable returning {peak name: position} for the peaks whose position is tied and can be
    worked out from the peaks given to it) places the peaks whose position is tied.  Peaks
    whose position is known (given, or tied to known ones) are read first, the one standing
    highest above what is left first, so that a small peak on the shoulder of a large one is
    read after the large one is taken off; then the others are picked greedily from what the
    known ones leave; last, the tied ones whose position follows from peaks only guessed.
    ``picker``, when given, is the spectrum's :class:`Picker` (it is used up).
    """
    picker = Picker(x, counts) if picker is None else picker
    location = {id(p): SHAPES[p.shape].location for p in peaks}
    where = {id(p): p.values[location[id(p)]] for p in peaks if location[id(p)] not in p.ties}
    where = {k: v for k, v in where.items() if v is not None}

    def resolve():
        if tied_positions is None:
            return
        by_name = tied_positions([filled.get(id(p), p) for p in peaks])
        for p in peaks:
            if location[id(p)] in p.ties and p.name in by_name and id(p) not in where:
                where[id(p)] = by_name[p.name]

    filled = {}
    resolve()
    while True:
        known = [p for p in peaks if id(p) in where and id(p) not in filled]
        if not known:
            break
        p = max(known, key=lambda p: picker.height_at(where[id(p)]))
        filled[id(p)] = _filled(p, picker.take(where[id(p)]), picker)
    for p in peaks:
        if id(p) not in filled and location[id(p)] not in p.ties:
            filled[id(p)] = _filled(p, picker.take(), picker)
    resolve()
    for p in peaks:
        if id(p) not in filled:
            filled[id(p)] = _filled(p, picker.take(where.get(id(p))), picker)
    return [filled[id(p)] for p in peaks]


def _filled(peak, picked, picker):
    height, position, fwhm = picked
    spec = SHAPES[peak.shape]
    guessed = spec.start(position, fwhm)
    values = {}
    for name in peak.params:
        if name in peak.ties or peak.values[name] is not None:
            continue
        value = guessed[name]
        if name in peak.bounds:
            value = float(np.clip(value, *peak.bounds[name]))
        values[name] = value
    if peak.area is None and "area" not in peak.ties:
        area = picker.area(height, fwhm)
        if "area" in peak.bounds:
            area = float(np.clip(area, *peak.bounds["area"]))
        values["area"] = area
    return peak.replace(**values) if values else peak


def guess_peaks(x, counts, n, shape="gaussian", *, window=None, **options):
    """Peaks with starting values read from the data.

    Parameters
    ----------
    x, counts : array_like
        The spectrum: grid and counts per grid point (any order).
    n : int
        Number of peaks: at least one, and at most a third of the data points in the window
        (a peak needs a few points to be told from its neighbours).
    shape : str
        Shape of the peaks (see :class:`velmora.Peak`).
    window : (float, float), optional
        Look for peaks only inside this range of x.
    **options
        Passed to every :class:`velmora.Peak` (``fix``, ``bounds``, ``beta``).

    Returns
    -------
    list of Peak
        ``n`` peaks in order of position, every starting value and an area set.

    Raises
    ------
    TypeError, ValueError
        For bad data (see :func:`velmora.fit`), a window without data, a bad ``n`` or an
        unknown shape.

    Examples
    --------
    >>> import numpy as np, velmora
    >>> x = np.linspace(0, 10, 201)
    >>> counts = np.round(1000 * np.exp(-0.5 * ((x - 4) / 0.3) ** 2) + 10)
    >>> [round(p.values["x0"], 1) for p in velmora.guess_peaks(x, counts, 1)]
    [4.0]
    """
    if isinstance(n, bool) or not isinstance(n, numbers.Integral):
        raise TypeError(f"n: expected an integer number of peaks, got {type(n).__name__}")
    if n < 1:
        raise ValueError(f"n: expected at least one peak, got {n}")
    if not isinstance(shape, str) or shape not in SHAPE_NAMES:
        raise ValueError(f"shape: unknown shape {shape!r}; expected one of "
                         f"{', '.join(repr(s) for s in SHAPE_NAMES)}")
    x, counts = check_data(x, counts)
    order = np.argsort(x, kind="stable")
    x, counts = x[order], counts[order]
    lo, hi = check_window(window, x)
    keep = (x >= lo) & (x <= hi)
    x, counts = x[keep], counts[keep]
    if n > x.size // 3:
        raise ValueError(f"n: {n} peaks are too many for {x.size} data points in the window "
                         f"(at most {x.size // 3}, three points a peak)")
    peaks = fill_peaks(x, counts, [Peak(shape, **options) for _ in range(int(n))])
    location = SHAPES[shape].location
    return sorted(peaks, key=lambda p: p.values[location])
