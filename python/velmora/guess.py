"""Starting values from the data.

Peaks are picked greedily: the data are smoothed, a straight baseline through the low counts
at both ends of the window is taken off, and the largest remaining maximum becomes a peak
whose width is read at half its height; a Gaussian of that height and width is subtracted and
the next maximum is taken, so shoulders of overlapping peaks are found as well as separate
maxima.  Widths are converted to each shape's parameters.
"""
import numpy as np

from .model import Peak, SHAPE_NAMES
from .shapes import K_B

FWHM_PER_SIGMA = 2.3548200450309493  # 2 sqrt(2 ln 2)


def _smooth(counts, width):
    """Counts smoothed by a Gaussian of ``width`` grid steps (ends padded with their value)."""
    half = int(4 * width + 0.5)
    kernel = np.exp(-0.5 * (np.arange(-half, half + 1) / width) ** 2)
    padded = np.pad(np.asarray(counts, dtype=np.float64), half, mode="edge")
    return np.convolve(padded, kernel / kernel.sum(), mode="valid")


def baseline(x, smooth):
    """A straight line through the low counts at both ends of the window."""
    n = max(3, x.size // 20)
    left = np.percentile(smooth[:n], 20)
    right = np.percentile(smooth[-n:], 20)
    xl, xr = np.mean(x[:n]), np.mean(x[-n:])
    line = left + (right - left) * (x - xl) / (xr - xl if xr != xl else 1.0)
    return np.minimum(line, smooth)


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


def _pick(x, residual, step, position=None):
    """Height, position and FWHM of the largest bump (or of the bump at ``position``)."""
    i = int(np.argmax(residual)) if position is None else int(np.argmin(np.abs(x - position)))
    height = max(float(residual[i]), 0.0)
    fwhm = _half_width(x, residual, i) if height > 0 else 0.0
    fwhm = float(np.clip(fwhm, 2.0 * step, 0.5 * (x[-1] - x[0])))
    return height, float(x[i]) if position is None else float(position), fwhm


def shape_values(shape, position, fwhm, fixed_values=None):
    """Starting parameter values of ``shape`` for a peak at ``position`` with width ``fwhm``."""
    if shape == "gaussian":
        return {"x0": position, "sigma": fwhm / FWHM_PER_SIGMA}
    if shape == "lorentzian":
        return {"x0": position, "gamma": fwhm}
    if shape == "pseudo_voigt":
        return {"x0": position, "gamma": fwhm, "eta": 0.5}
    if shape == "voigt":
        # Equal Gaussian and Lorentzian widths f give a Voigt width of about 1.64 f.
        f = fwhm / 1.6376
        return {"x0": position, "sigma": f / FWHM_PER_SIGMA, "gamma": 0.5 * f}
    if shape == "doniach_sunjic":
        return {"x0": position, "gamma": 0.5 * fwhm, "alpha": 0.05}
    # TSDC: Chen's relation between the activation energy and the width of a first-order
    # peak, E = 2.52 k Tm^2 / w - 2 k Tm.
    tp = position
    ea = 2.52 * K_B * tp * tp / fwhm - 2.0 * K_B * tp
    return {"ea": float(np.clip(ea, 0.1, 4.0)), "tp": tp}


def _data(x, counts):
    from .fit import check_data

    x, counts = check_data(x, counts)
    order = np.argsort(x, kind="stable")
    return x[order], counts[order]


def guess_peaks(x, counts, n, shape="gaussian", *, window=None, **options):
    """Peaks with starting values read from the data.

    Parameters
    ----------
    x, counts : array_like
        The spectrum: grid and counts per grid point (any order).
    n : int
        Number of peaks.
    shape : str
        Shape of the peaks (see :class:`velmora.Peak`).
    window : (float, float), optional
        Look for peaks only inside this range of x.
    **options
        Passed to every :class:`velmora.Peak` (``fix``, ``bounds``, ``method``, ``beta``).

    Returns
    -------
    list of Peak
        ``n`` peaks in order of position, every starting value and an area set.

    Raises
    ------
    TypeError, ValueError
        For bad data (see :func:`velmora.fit`), a bad ``n`` or an unknown shape.

    Examples
    --------
    >>> import numpy as np, velmora
    >>> x = np.linspace(0, 10, 201)
    >>> counts = np.round(1000 * np.exp(-0.5 * ((x - 4) / 0.3) ** 2) + 10)
    >>> [round(p.values["x0"], 1) for p in velmora.guess_peaks(x, counts, 1)]
    [4.0]
    """
    if isinstance(n, bool) or not isinstance(n, (int, np.integer)):
        raise TypeError(f"n: expected an integer number of peaks, got {type(n).__name__}")
    if n < 1:
        raise ValueError(f"n: expected at least one peak, got {n}")
    if not isinstance(shape, str) or shape not in SHAPE_NAMES:
        raise ValueError(f"shape: unknown shape {shape!r}; expected one of "
                         f"{', '.join(repr(s) for s in SHAPE_NAMES)}")
    x, counts = _data(x, counts)
    if window is not None:
        from .fit import check_window

        lo, hi = check_window(window, x)
        keep = (x >= lo) & (x <= hi)
        x, counts = x[keep], counts[keep]
    peaks = fill_peaks(x, counts, [Peak(shape, **options) for _ in range(int(n))])
    location = "tp" if shape == "tsdc" else "x0"
    return sorted(peaks, key=lambda p: p.values[location])


def fill_peaks(x, counts, peaks):
    """Copies of ``peaks`` with every missing starting value and area filled from the data.

    ``x`` must be sorted; peaks with a given position keep it, and the others are picked
    greedily from what the given ones leave.
    """
    step = float(np.median(np.diff(x))) if x.size > 1 else 1.0
    smooth = _smooth(counts, 1.5)
    residual = smooth - baseline(x, smooth)
    location = "tp" if peaks[0].shape == "tsdc" else "x0"
    picked = [None] * len(peaks)
    # Peaks whose position is given first, so that the free ones go elsewhere.
    order = sorted(range(len(peaks)), key=lambda k: peaks[k].values[location] is None)
    for k in order:
        height, position, fwhm = _pick(x, residual, step, peaks[k].values[location])
        picked[k] = (height, position, fwhm)
        sigma = fwhm / FWHM_PER_SIGMA
        residual = residual - height * np.exp(-0.5 * ((x - position) / sigma) ** 2)
    out = []
    for peak, (height, position, fwhm) in zip(peaks, picked):
        guessed = shape_values(peak.shape, position, fwhm)
        values = {name: (peak.values[name] if peak.values[name] is not None else guessed[name])
                  for name in peak.params}
        for name, (lo, hi) in peak.bounds.items():
            if peak.values[name] is None:
                values[name] = float(np.clip(values[name], lo, hi))
        new = peak.replace(**values)
        if new.area is None:
            new.area = max(height * fwhm * 1.0645 / step, 0.0)  # Gaussian area, in counts
        out.append(new)
    return out


def background_share(x, counts):
    """Rough share of the counts under the baseline of the data."""
    smooth = _smooth(counts, 1.5)
    base = np.clip(baseline(x, smooth), 0.0, None)
    total = float(np.sum(counts))
    return float(np.clip(np.sum(base) / total, 0.02, 0.9)) if total > 0 else 0.5

