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

from .axis import axis_of
from .lines import kalpha2 as partner_of, positive, wavelength_ratio
from .peaks import Peak
from .shapes import SHAPE_NAMES, SHAPES
from .validation import check_data, check_window

# Share of the signal a peak starts with where the peaks already read leave nothing.
LEFT_OVER_SHARE = 0.1
# Area of a Gaussian of unit height and unit full width at half maximum: sqrt(pi / ln 16).
GAUSSIAN_AREA_PER_FWHM = 1.0644670194312262


def smooth(counts, width):
    """Counts smoothed by a Gaussian of ``width`` grid steps (ends padded with their value),
    along the last axis (one spectrum, or many as rows).  The kernel's taps are summed one
    after another, so a row's result does not depend on the rows beside it."""
    counts = np.asarray(counts, dtype=np.float64)
    half = int(4 * width + 0.5)
    kernel = np.exp(-0.5 * (np.arange(-half, half + 1) / width) ** 2)
    kernel = kernel / kernel.sum()
    n = counts.shape[-1]
    # The ends padded with their values (np.pad's "edge" mode, without its overhead).
    padded = np.concatenate([np.repeat(counts[..., :1], half, axis=-1), counts,
                             np.repeat(counts[..., -1:], half, axis=-1)], axis=-1)
    out = np.zeros(counts.shape)
    for k, w in enumerate(kernel[::-1]):
        out += w * padded[..., k:k + n]
    return out


def _percentile_20(values):
    """np.percentile(values, 20, axis=-1) (its linear method, value for value) without its
    overhead, which dominates on the few points of a window's end."""
    if np.isnan(values).any():
        return np.percentile(values, 20, axis=-1)
    n = values.shape[-1]
    ordered = np.sort(values, axis=-1)
    virtual = (n - 1) * 0.2
    below = int(np.floor(virtual))
    above = min(below + 1, n - 1)
    t = virtual - below
    a, b = ordered[..., below], ordered[..., above]
    step = b - a
    # numpy's lerp: from the nearer end of the interval.
    return b - step * (1 - t) if t >= 0.5 else a + step * t


def baseline(x, smoothed):
    """A straight line through the low counts at both ends of the window (per row)."""
    n = max(3, x.size // 20)
    left = _percentile_20(smoothed[..., :n])[..., None]
    right = _percentile_20(smoothed[..., -n:])[..., None]
    xl, xr = np.mean(x[:n]), np.mean(x[-n:])
    line = left + (right - left) * (x - xl) / (xr - xl if xr != xl else 1.0)
    return np.minimum(line, smoothed)


def _crossing(x, signal, rows, i, half, j):
    """Where row ``rows`` of ``signal`` falls to ``half`` between ``x[j]`` and its neighbour
    towards ``i`` (``x[j]`` itself where it does not fall below ``half`` there, or
    ``j == i``), element by element."""
    k = np.where(j < i, j + 1, j - 1)
    k = np.minimum(np.maximum(k, 0), x.size - 1)
    a, b = signal[rows, j], signal[rows, k]
    with np.errstate(invalid="ignore", divide="ignore"):
        t = (half - a) / (b - a)
        between = x[j] + t * (x[k] - x[j])
    keep = (a > half) | (j == i) | ~(b != a)
    return np.where(keep, x[j], between)


def _half_width(x, signal, i):
    """Full width at half maximum of the bump of each row of ``signal`` at its index ``i``
    (x units): from ``i``, out to the first point on each side at or below half the height."""
    m = signal.shape[0]
    rows = np.arange(m)
    half = signal[rows, i] * 0.5
    above = signal > half[:, None]
    cols = np.arange(x.size)
    # The last point at or below half left of i (0 when there is none), the first right of i.
    left = np.where((cols <= i[:, None]) & ~above, cols, -1).max(axis=1)
    left = np.where(left < 0, 0, left)
    right = np.where((cols >= i[:, None]) & ~above, cols, x.size).min(axis=1)
    right = np.where(right >= x.size, x.size - 1, right)
    # Both crossings of every row in one pass: the right ones, then the left ones.
    both = _crossing(x, signal, np.concatenate([rows, rows]), np.concatenate([i, i]),
                     np.concatenate([half, half]), np.concatenate([right, left]))
    return both[:m] - both[m:]


def pick(x, residual, step, position=None):
    """Height, position and FWHM of the largest bump of each row (or of the bump at each
    row's ``position``), as arrays over the rows."""
    rows = np.arange(residual.shape[0])
    if position is None:
        i = np.argmax(residual, axis=1)
        where = x[i]
    else:
        where = np.broadcast_to(np.asarray(position, dtype=np.float64), rows.shape)
        i = np.argmin(np.abs(x[None, :] - where[:, None]), axis=1)
    height = np.maximum(residual[rows, i], 0.0)
    fwhm = np.where(height > 0, _half_width(x, residual, i), 0.0)
    fwhm = np.minimum(np.maximum(fwhm, 2.0 * step), 0.5 * (x[-1] - x[0]))
    return height, where.astype(np.float64), fwhm


class Picker:
    """The greedy picking of peaks on spectra over one sorted ``x``: ``counts`` one spectrum
    or many as rows, picked side by side (every array it returns has one entry per row)."""

    def __init__(self, x, counts, partner=None, step=None):
        self.x = x
        # (ratio, where -> partner's position, NaN where none): every peak taken comes with
        # a partner of ``ratio`` times its area and its width (a reflection's Kα2 line),
        # which is taken off with it so that it is not picked as a peak of its own.
        self.partner = partner
        # The median grid step (``step`` when the caller has it already).
        self.step = float(np.median(np.diff(x))) if step is None else step
        counts = np.atleast_2d(np.asarray(counts, dtype=np.float64))
        smoothed = smooth(counts, 1.5)
        self.base = baseline(x, smoothed)
        self.total = counts.sum(axis=1)
        self.residual = smoothed - self.base
        self.signal = self.residual.copy()  # the peaks above the baseline, none taken off
        self._nearest = {}  # grid index nearest to a position, by position

    @property
    def rows(self):
        return self.residual.shape[0]

    def background_share(self):
        """Rough share of the counts under the baseline of the data."""
        base = np.clip(self.base, 0.0, None).sum(axis=1)
        with np.errstate(invalid="ignore", divide="ignore"):
            share = np.clip(base / self.total, 0.02, 0.9)
        return np.where(self.total > 0, share, 0.5)

    def take(self, position=None):
        """(height, position, fwhm) of the next peak of every row, which is then taken off
        the residual.

        A peak placed where the peaks already taken leave nothing (a shoulder they covered)
        still starts with something: a tenth of the signal there, and the width of the
        signal's bump there.  A peak started at zero counts would stay there.
        """
        height, where, fwhm = pick(self.x, self.residual, self.step, position)
        empty = ~(height > 0)
        if empty.any():
            share, _, wide = pick(self.x, self.signal, self.step, where)
            height = np.where(empty, LEFT_OVER_SHARE * share, height)
            fwhm = np.where(empty, wide, fwhm)
        sigma = SHAPES["gaussian"].starts(where, fwhm)["sigma"]

        def bump(centre, h):
            return h[:, None] * np.exp(-0.5 * ((self.x[None, :] - centre[:, None])
                                               / sigma[:, None]) ** 2)

        if self.partner is None:
            self.residual = self.residual - bump(where, height)
        else:
            # The height read is the peak's own plus its partner's tail there.
            ratio, twin_of = self.partner
            twin = twin_of(where)
            with np.errstate(invalid="ignore"):
                overlap = np.where(np.isfinite(twin), np.exp(-4.0 * np.log(2.0) * (
                    (twin - where) / fwhm) ** 2), 0.0)
            own = height / (1.0 + ratio * overlap)
            self.residual = self.residual - bump(where, own) - bump(
                np.where(np.isfinite(twin), twin, where), np.where(np.isfinite(twin),
                                                                   ratio * own, 0.0))
        return height, where, fwhm

    def height_at(self, position):
        """What is left of the data at ``position`` (one for every row, or one per row)."""
        if np.ndim(position):
            i = np.argmin(np.abs(self.x[None, :] - np.asarray(position)[:, None]), axis=1)
            return self.residual[np.arange(self.rows), i]
        i = self._nearest.get(position)
        if i is None:
            i = self._nearest[position] = int(np.argmin(np.abs(self.x - position)))
        return self.residual[:, i]

    def area(self, height, fwhm):
        """Counts of a Gaussian of this height (counts per channel) and FWHM."""
        return np.maximum(height * fwhm * GAUSSIAN_AREA_PER_FWHM / self.step, 0.0)


def fill_values(picker, peaks, tied_positions=None):
    """Every missing starting value and area of ``peaks``, read from the picker's rows: per
    peak, a dict of name to an array over the rows.

    Peaks whose position is known (given, or tied to known ones) are read first, in each row
    the one standing highest above what is left first, so that a small peak on the shoulder
    of a large one is read after the large one is taken off; then the others are picked
    greedily from what the known ones leave; last, the tied ones whose position follows from
    peaks only guessed.  ``tied_positions`` places the peaks whose position is tied:
    ``tied_positions(filled)`` returns ``{peak name: positions, one per row}`` of the tied
    peaks whose position follows from the values given and from those read so far
    (``filled``: ``{peak index: {name: values over the rows}}``).  The picker is used up.
    """
    rows = picker.rows
    location = [SHAPES[p.shape].location for p in peaks]
    where = {k: p.values[location[k]] for k, p in enumerate(peaks)
             if location[k] not in p.ties and p.values[location[k]] is not None}
    filled = {}

    def resolve():
        if tied_positions is None:
            return
        by_name = tied_positions(filled)
        for k, p in enumerate(peaks):
            if location[k] in p.ties and p.name in by_name and k not in where:
                where[k] = by_name[p.name]

    def fill(k, picked, chosen=None):
        values = _filled(peaks[k], picked, picker)
        if chosen is None:
            filled[k] = values
            return
        into = filled.setdefault(k, {})
        for name, v in values.items():
            into.setdefault(name, np.full(rows, np.nan))[chosen] = v[chosen]

    resolve()
    # The peaks of known position, in each row the highest first.
    pending = [k for k in range(len(peaks)) if k in where]
    at = np.array([np.broadcast_to(np.asarray(where[k], dtype=np.float64), (rows,))
                   for k in pending]).reshape(len(pending), rows)
    taken = np.zeros((rows, len(peaks)), dtype=bool)
    for _ in range(len(pending)):
        heights = np.full((rows, len(peaks)), -np.inf)
        for k in pending:
            heights[:, k] = np.where(taken[:, k], -np.inf, picker.height_at(where[k]))
        # Python's max over the pending peaks: the first of the highest (NaN never highest).
        heights = np.where(np.isnan(heights), -np.inf, heights)
        choice = np.argmax(heights[:, pending], axis=1)
        first = np.array(pending)[choice]
        picked = picker.take(at[choice, np.arange(rows)])
        for k in set(first.tolist()):
            fill(k, picked, first == k)
        taken[np.arange(rows), first] = True
    for k, p in enumerate(peaks):
        if k not in filled and location[k] not in p.ties:
            fill(k, picker.take())
    resolve()
    for k, p in enumerate(peaks):
        if k not in filled:
            fill(k, picker.take(where.get(k)))
    return [filled[k] for k in range(len(peaks))]


def _filled(peak, picked, picker):
    """The values a peak takes from what was picked for it (arrays over the rows)."""
    height, position, fwhm = picked
    spec = peak.spec
    if peak.fwhm_start is not None:  # a full width given as a start
        fwhm = np.full_like(np.asarray(position, dtype=np.float64), peak.fwhm_start)
    missing = [n for n in peak.params if n not in peak.ties and peak.values[n] is None]
    values = {}
    if missing:
        guessed = spec.starts(position, fwhm)
        for name in missing:
            value = guessed[name].copy()
            if name in peak.bounds:
                value = np.clip(value, *peak.bounds[name])
            values[name] = value
    if peak.area is None and "area" not in peak.ties:
        area = picker.area(height, fwhm)
        if "area" in peak.bounds:
            area = np.clip(area, *peak.bounds["area"])
        values["area"] = area
    return values


def _as_peak(peak, values, row=0):
    """``peak`` with the values of one row filled in."""
    return peak.replace(**{n: float(v[row]) for n, v in values.items()}) if values else peak


def fill_peaks(x, counts, peaks, tied_positions=None, picker=None):
    """Copies of ``peaks`` with every missing starting value and area filled from the data of
    one spectrum (see :func:`fill_values`).  ``x`` must be sorted.  ``picker``, when given, is
    the spectrum's :class:`Picker` (it is used up)."""
    picker = Picker(x, counts) if picker is None else picker
    values = fill_values(picker, peaks, tied_positions)
    return [_as_peak(p, v) for p, v in zip(peaks, values)]


def _pair_share(peak, anode, ratio):
    """What the area read at a Kα1 reflection is, in units of its own area: 1 + ratio where
    its Kα2 partner lies well within its width (the pair was read as one bump), 1 where the
    two are resolved, and between them as the partner's height at the reflection's centre
    (a Gaussian of the reflection's full width at half maximum) says."""
    spec = peak.spec
    x0 = peak.values[spec.location]
    width = peak.values[spec.widths[0]] if spec.widths else None
    reference = spec.start(x0, 1.0)[spec.widths[0]] if spec.widths else 0.0
    if width is None or not reference > 0 or not width > 0:
        return 1.0 + ratio
    fwhm = width / reference  # the shapes' start rules are proportional to the FWHM
    q = wavelength_ratio(anode)
    sine = q * np.sin(np.radians(x0 / 2))
    if not sine < 1.0:
        return 1.0 + ratio  # no partner: kalpha2() says so
    separation = 2 * np.degrees(np.arcsin(sine)) - x0
    return 1.0 + ratio * float(np.exp(-4 * np.log(2) * (separation / fwhm) ** 2))


def guess_peaks(x, counts, n, shape="gaussian", *, window=None, kalpha2=None,
                kalpha2_ratio=0.5, **options):
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
    kalpha2 : str or (float, float), optional
        For a diffraction pattern in degrees of 2θ measured with both Kα lines: the anode
        (``"Cu"``, ``"Co"``, ``"Mo"``, ``"Fe"``, ``"Cr"``, ``"Ag"``, or the wavelengths (λ1,
        λ2)).  Each of the ``n`` reflections found is then taken as Kα1 and followed by its
        Kα2 partner (see :func:`velmora.kalpha2`); the reflections are named ``p0``, ``p1``,
        ... by position and their partners ``p0_a2``, ...; a reflection's starting area is
        what was read there less its partner's share (divided by ``1 + kalpha2_ratio`` where
        the partner lies within the reflection's width, as at low angles; kept where the two
        are resolved).
    kalpha2_ratio : float
        Area of each Kα2 partner over its Kα1 reflection (default 0.5).
    **options
        Passed to every :class:`velmora.Peak` (``fix``, ``bounds``, ``beta``).

    Returns
    -------
    list of Peak
        ``n`` peaks in order of position, every starting value and an area set; with
        ``kalpha2``, each followed by its Kα2 partner, but for a reflection whose partner would
        lie beyond the data (a fit refuses a line centred outside its window).

    Raises
    ------
    TypeError, ValueError
        For bad data (see :func:`velmora.fit`), a window without data, a bad ``n``, an
        unknown shape, and with ``kalpha2`` an unknown anode, a bad ratio, a ``name`` among
        ``options``, or a reflection found where Kα2 cannot reflect.

    Examples
    --------
    >>> import numpy as np, velmora
    >>> x = np.linspace(0, 10, 201)
    >>> counts = np.round(1000 * np.exp(-0.5 * ((x - 4) / 0.3) ** 2) + 10)
    >>> [round(p.values["x0"], 1) for p in velmora.guess_peaks(x, counts, 1)]
    [4.0]
    >>> [p.name for p in velmora.guess_peaks(10 * x + 20, counts, 1, kalpha2="Cu")]
    ['p0', 'p0_a2']
    """
    if isinstance(n, bool) or not isinstance(n, numbers.Integral):
        raise TypeError(f"n: expected an integer number of peaks, got {type(n).__name__}")
    if n < 1:
        raise ValueError(f"n: expected at least one peak, got {n}")
    if not isinstance(shape, str) or shape not in SHAPE_NAMES:
        raise ValueError(f"shape: unknown shape {shape!r}; expected one of "
                         f"{', '.join(repr(s) for s in SHAPE_NAMES)}")
    if kalpha2 is not None:
        wavelength_ratio(kalpha2)  # refuses an unknown anode before any work
        kalpha2_ratio = positive(kalpha2_ratio, "kalpha2_ratio")
        if "name" in options:
            raise ValueError("name: the reflections of guess_peaks(kalpha2=...) are named p0, "
                             "p1, ... for their partners' ties; pass no name")
    axis = axis_of(x, counts)
    x, counts = check_data(x, counts)
    order = np.argsort(x, kind="stable")
    x, counts = x[order], counts[order]
    lo, hi = check_window(window, x, axis.kind(), axis.excitation)
    keep = (x >= lo) & (x <= hi)
    x, counts = x[keep], counts[keep]
    if n > x.size // 3:
        raise ValueError(f"n: {n} peaks are too many for {x.size} data points in the window "
                         f"(at most {x.size // 3}, three points a peak)")
    picker = None
    if kalpha2 is not None:
        q = wavelength_ratio(kalpha2)

        def bragg_partner(two_theta):
            with np.errstate(invalid="ignore"):
                return 2.0 * np.degrees(np.arcsin(q * np.sin(np.radians(two_theta / 2.0))))

        picker = Picker(x, counts, partner=(kalpha2_ratio, bragg_partner))
    peaks = fill_peaks(x, counts, [Peak(shape, **options) for _ in range(int(n))],
                       picker=picker)
    location = SHAPES[shape].location
    peaks = sorted(peaks, key=lambda p: p.values[location])
    if kalpha2 is None:
        return peaks
    out = []
    for k, peak in enumerate(peaks):
        peak.name = f"p{k}"
        if not x[0] <= bragg_partner(peak.values[location]) <= x[-1]:
            out.append(peak)  # its partner lies beyond the data (a fit would refuse it)
            continue
        if peak.area is not None:  # the area read there holds the partner's share
            area = peak.area / _pair_share(peak, kalpha2, kalpha2_ratio)
            if "area" in peak.bounds:
                area = min(max(area, peak.bounds["area"][0]), peak.bounds["area"][1])
            peak = peak.replace(area=area)
        out += [peak, partner_of(peak, kalpha2, kalpha2_ratio)]
    return out
