"""``velmora.fit``: a mixture of peaks and a background fitted to a spectrum."""
import math
import numbers

import numpy as np

import velmora_core

from .backgrounds import Shirley, Spline, make_background
from .guess import background_share, fill_peaks
from .model import Peak, check_bounds
from .result import build_result
from .shapes import SHAPES


# ----------------------------------------------------------------------------- validation

def _array(values, what):
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


class InvalidCounts(ValueError):
    """Counts that are not finite or negative (a ValueError)."""


class NoCounts(ValueError):
    """A spectrum without a single count in the fitting window (a ValueError)."""


def check_data(x, counts):
    """Validated copies of the grid and the counts."""
    x = _array(x, "x")
    counts = _array(counts, "counts")
    if x.size != counts.size:
        raise ValueError(f"counts: length {counts.size} does not match x (length {x.size})")
    if x.size < 2:
        raise ValueError(f"x: a spectrum needs at least two points, got {x.size}")
    bad = ~np.isfinite(x)
    if bad.any():
        i = int(np.argmax(bad))
        raise ValueError(f"x: value {x[i]} at index {i} is not finite")
    bad = ~np.isfinite(counts)
    if bad.any():
        i = int(np.argmax(bad))
        raise InvalidCounts(f"counts: value {counts[i]} at index {i} is not finite")
    if (counts < 0).any():
        i = int(np.argmax(counts < 0))
        raise InvalidCounts(f"counts: negative value {counts[i]} at index {i}; counts must "
                            f"be >= 0")
    if np.unique(x).size != x.size:
        raise ValueError("x: contains repeated values; every grid point must be distinct")
    return x, counts


def check_window(window, x):
    """The window as a pair of floats (the data range when None)."""
    if window is None:
        return float(np.min(x)), float(np.max(x))
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


def _check_peaks(peaks):
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
    first = peaks[0]
    for k, peak in enumerate(peaks[1:], 1):
        if peak.shape != first.shape:
            raise ValueError(f"peaks: all peaks of one fit must share one shape (the core fits "
                             f"a mixture of one shape); peaks[0] is {first.shape!r} but "
                             f"peaks[{k}] is {peak.shape!r}")
        if peak.method != first.method:
            raise ValueError(f"peaks[{k}]: method {peak.method!r} differs from peaks[0]'s "
                             f"{first.method!r}; the core updates all peaks of a fit alike")
        if peak.beta != first.beta:
            raise ValueError(f"peaks[{k}]: heating rate beta={peak.beta} differs from "
                             f"peaks[0]'s beta={first.beta}")
    return peaks


def _merge_bounds(shape, peaks, bounds):
    merged = check_bounds(shape, bounds, "bounds")
    owner = {name: "bounds" for name in merged}
    for k, peak in enumerate(peaks):
        for name, pair in peak.bounds.items():
            if name in merged and merged[name] != pair:
                raise ValueError(f"peaks[{k}].bounds[{name!r}]: {pair} differs from "
                                 f"{owner[name]}'s {merged[name]}; the core shares one pair of "
                                 f"bounds for {name!r} among all peaks of a fit")
            merged[name] = pair
            owner[name] = f"peaks[{k}]"
    for k, peak in enumerate(peaks):
        for name, (lo, hi) in merged.items():
            value = peak.values.get(name)
            if value is not None and not lo <= value <= hi:
                raise ValueError(f"peaks[{k}]: {name}={value} lies outside the bounds "
                                 f"({lo}, {hi})")
    return merged


def _check_options(tol, max_iter, accelerate_flag):
    if isinstance(tol, bool) or not isinstance(tol, numbers.Real):
        raise TypeError(f"tol: expected a real number, got {type(tol).__name__}")
    if not (math.isfinite(tol) and 0 < tol < 1):
        raise ValueError(f"tol: expected a number between 0 and 1, got {tol!r}")
    if isinstance(max_iter, bool) or not isinstance(max_iter, numbers.Integral):
        raise TypeError(f"max_iter: expected an integer, got {type(max_iter).__name__}")
    if max_iter < 1:
        raise ValueError(f"max_iter: expected at least 1, got {max_iter}")
    if not isinstance(accelerate_flag, (bool, np.bool_)):
        raise TypeError(f"accelerate: expected True or False, got "
                        f"{type(accelerate_flag).__name__}")
    return float(tol), int(max_iter)


def _check_background(bg, lo, hi, x_in):
    if isinstance(bg, Spline):
        knots = bg.knots
        if isinstance(knots, bool):
            raise TypeError("knots: expected a number of interior knots or their positions")
        if isinstance(knots, numbers.Integral):
            if knots < 0:
                raise ValueError(f"knots: expected a non-negative number of knots, got {knots}")
        else:
            pos = _array(knots, "knots")
            if not np.isfinite(pos).all():
                raise ValueError("knots: positions must be finite")
            if pos.size and not ((pos > lo) & (pos < hi)).all():
                raise ValueError(f"knots: positions must lie strictly inside the window "
                                 f"[{lo}, {hi}]")
            if np.unique(pos).size != pos.size:
                raise ValueError("knots: positions must be distinct")
        if isinstance(bg.degree, bool) or not isinstance(bg.degree, numbers.Integral) \
                or bg.degree < 0:
            raise ValueError(f"degree: expected a non-negative integer, got {bg.degree!r}")
    if bg.name == "sqrt" and not (x_in > 0).any():
        raise ValueError("background: the 'sqrt' background needs x > 0 inside the window")


def _location(shape):
    return "tp" if shape.name == "tsdc" else "x0"


# --------------------------------------------------------------------------------- context

class FitContext:
    """What the core needs beside the data: window, bounds (internal units), options."""

    def __init__(self, lo, hi, bounds, method, beta):
        self.lo, self.hi = lo, hi
        self.bounds = bounds
        self.method = method
        self.beta = beta


class Frame:
    """Internal coordinates u = (x - centre) / step (identity for TSDC)."""

    def __init__(self, centre, step):
        self.centre, self.step = centre, step

    def to_u(self, kind, value):
        if kind == "location":
            return (value - self.centre) / self.step
        if kind == "scale":
            return value / self.step
        return value

    def from_u(self, kind, value):
        if kind == "location":
            return self.centre + self.step * value
        if kind == "scale":
            return self.step * value
        return value

    def factor(self, kind):
        """d(x-value) / d(u-value)."""
        return self.step if kind in ("location", "scale") else 1.0


def channel_widths(u):
    """Width of each grid point's channel: half the distance to each neighbour, and the whole
    distance to the only neighbour at the ends."""
    d = np.diff(u)
    w = np.empty_like(u)
    w[1:-1] = 0.5 * (d[1:] + d[:-1])
    w[0], w[-1] = d[0], d[-1]
    return w


# ---------------------------------------------------------------------------------- engine

class Problem:
    """One fit: the core's EM loop on the internal grid, accelerated or plain."""

    def __init__(self, shape, u, counts, fix, ctx, tol, basis):
        self.shape, self.u, self.counts = shape, u, counts
        self.fix, self.ctx, self.tol = fix, ctx, tol
        self.basis = basis
        self.steps = 0

    def run_accelerated(self, state, max_iter):
        """The core's accelerated fit: EM iterations extrapolated by SQUAREM, Newton steps on
        the observed information near the optimum, and EM iterations that confirm the fixed
        point (one more changes the log-likelihood by less than ``tol``, relative).  Runs
        without the interpreter lock.  Returns (state, ll, converged)."""
        shape, ctx = self.shape, self.ctx
        arrays, flags, bounds = shape.core_arguments(state, self.fix, ctx)
        pi = np.array(state["pi"], dtype=np.float64)
        n, ll, converged = velmora_core._accelerated_fit(
            shape.code, self.u, self.counts, *arrays, pi, *flags, ctx.lo, ctx.hi, bounds,
            ctx.method == "full", ctx.beta if ctx.beta is not None else 1.0, self.tol,
            max_iter, self.basis)
        self.steps += n
        new = {name: arrays[i] for i, name in enumerate(shape.params)}
        new["pi"] = pi
        return new, float(ll), bool(converged)

    def step(self, state):
        """One EM iteration of the core from ``state``: (new state, ll before, ll after)."""
        params, pi, _, ll = self.shape.em(self.u, self.counts, state, self.fix, self.ctx, 1,
                                          self.tol, self.basis)
        params["pi"] = pi
        return params, float(ll[0]), float(ll[-1])

    def loglik(self, state):
        """The core's log-likelihood at ``state`` (a fit of no iteration)."""
        _, _, _, ll = self.shape.em(self.u, self.counts, state, self.fix, self.ctx, 0, self.tol,
                                    self.basis)
        return float(ll[0])

    def run_plain(self, state, max_iter):
        params, pi, n, ll = self.shape.em(self.u, self.counts, state, self.fix, self.ctx,
                                          max_iter, self.tol, self.basis)
        self.steps += n
        params["pi"] = pi
        if not n:
            return params, float(ll[-1]), n, False
        with np.errstate(divide="ignore", invalid="ignore"):
            settled = self.tol > abs((ll[-1] - ll[-2]) / abs(ll[-2]))
        return params, float(ll[-1]), n, bool(n < max_iter or settled)


def _initial_state(shape, frame, peaks, background, counts, share, ctx):
    state = {}
    for name in shape.params:
        kind = shape.kinds[name]
        values = np.array([frame.to_u(kind, p.values[name]) for p in peaks], dtype=np.float64)
        if name in ctx.bounds:
            values = np.clip(values, *ctx.bounds[name])
        state[name] = values
    areas = np.array([max(p.area, 0.0) for p in peaks], dtype=np.float64)
    total = float(counts.sum())
    b = len(background.free_names) if background.name != "none" else 0
    if b:
        areas = areas / max(areas.sum(), 1e-300) * (1.0 - share) * total
        pi = np.concatenate([areas, np.full(b, share * total / b)])
    else:
        pi = areas
    pi = np.maximum(pi / max(pi.sum(), 1e-300), 1e-3 / pi.size)
    state["pi"] = pi / pi.sum()
    return state


def fit(x, counts, peaks, background=None, *, window=None, tol=1e-9, max_iter=2000, knots=None,
        energy=None, bounds=None, accelerate=True, start=None):
    """Fit peaks and a background to a spectrum by maximum likelihood.

    The counts are treated as Poisson counts per grid point.  The core's EM algorithm fits the
    mixture; the core's accelerated fit extrapolates its iterations by SQUAREM (Varadhan &
    Roland 2008), near the optimum Newton steps on the observed information finish it, and EM
    iterations confirm the fixed point, all without the interpreter lock.  Standard errors come
    from the observed information of the binned likelihood (see :mod:`velmora.uncertainty`).

    Parameters
    ----------
    x, counts : array_like
        The grid and the counts at each grid point (any order; no repeated x).  Counts need
        not be integers but must be finite and non-negative.
    peaks : Peak or list of Peak
        The peaks, all of one shape.  Missing starting values are guessed from the data.
    background : {None, "uniform", "sqrt", "linear", "spline", "shirley"} or Background
        The background fitted with the peaks (see :mod:`velmora.backgrounds`).
    window : (float, float), optional
        Fit only the data in this range of x; peak centres are kept inside it.  Default: the
        whole data range.
    tol : float
        Convergence: the fit ends at a point that one more EM iteration of the core changes
        by less than ``tol`` in relative log-likelihood; an active Shirley background is
        recomputed until it changes by less than ``tol`` relative to its largest value.
    max_iter : int
        Most EM iterations of the core in all.
    knots : int or sequence of float, optional
        Interior knots of the ``"spline"`` background: their number or their positions.
    energy : {"binding", "kinetic"}, optional
        Energy axis of the ``"shirley"`` background (default ``"binding"``: the step rises
        towards larger x).
    bounds : dict, optional
        ``{name: (lo, hi)}`` bounds shared by all peaks (see :class:`Peak`).
    accelerate : bool
        SQUAREM and the Newton polish (default), or the core's plain EM loop.
    start : FitResult, optional
        Start from this earlier fit's fitted parameters and mixing weights (and its bounds)
        instead of from ``peaks``' starting values: a fit of the same peaks and background on
        the same x and window, such as the fit of a neighbouring spectrum of a map.  ``peaks``
        still say what is fixed.

    Returns
    -------
    FitResult

    Raises
    ------
    TypeError
        For arguments of the wrong type.
    ValueError
        For bad data (mismatched lengths, NaN or negative counts, repeated x), a peak outside
        the window, peaks of different shapes, an unknown background, every parameter fixed,
        or too few data points.  Nothing is fitted and nothing passed in is modified.

    Examples
    --------
    >>> import numpy as np, velmora
    >>> rng = np.random.default_rng(0)
    >>> x = np.linspace(0, 10, 401)
    >>> rate = 2000 * 0.025 * np.exp(-0.5 * ((x - 4.0) / 0.3) ** 2) / (0.3 * np.sqrt(2 * np.pi))
    >>> counts = rng.poisson(rate + 5.0)
    >>> result = velmora.fit(x, counts, [velmora.Peak("gaussian")], background="uniform")
    >>> abs(result.peaks[0]["x0"].value - 4.0) < 3 * result.peaks[0]["x0"].stderr
    True
    """
    validated = validate(x, counts, peaks, background, window, tol, max_iter, knots, energy,
                         bounds, accelerate)
    _, _, peaks, shape, _, _, _, _, bg, _, _ = validated
    return run_validated(validated, start=_check_start(start, shape, peaks, bg))


class Stopped(Exception):
    """A fit abandoned before it started (or between two Shirley rounds) because its caller
    asked it to stop."""


def validate(x, counts, peaks, background, window, tol, max_iter, knots, energy, bounds,
             accelerate):
    """Every check of :func:`fit`, before any work: the validated arguments, as a tuple for
    :func:`run_validated`."""
    x, counts = check_data(x, counts)
    peaks = _check_peaks(peaks)
    shape = SHAPES[peaks[0].shape]
    lo, hi = check_window(window, x)
    tol, max_iter = _check_options(tol, max_iter, accelerate)
    bg = make_background(background, knots, energy)
    merged_bounds = _merge_bounds(shape, peaks, bounds)
    location = _location(shape)
    for k, peak in enumerate(peaks):
        where = peak.values[location]
        if where is not None and not lo <= where <= hi:
            raise ValueError(f"peaks[{k}]: {location}={where} lies outside the window "
                             f"[{lo}, {hi}]")
    if all(set(p.fix) == set(p.params) for p in peaks):
        raise ValueError("peaks: every parameter of every peak is fixed (fix=...); leave at "
                         "least one free")
    inside = (x >= lo) & (x <= hi)
    _check_background(bg, lo, hi, x[inside])
    n_free = sum(len(p.params) - len(p.fix) + 1 for p in peaks) + (
        0 if bg.name == "none" else 2)
    if inside.sum() <= max(n_free, 2):
        raise ValueError(f"window: {int(inside.sum())} data points in [{lo}, {hi}] are too few "
                         f"for {n_free} free parameters")
    if not counts[inside].sum() > 0:
        raise NoCounts("counts: every count in the window is zero")
    return x, counts, peaks, shape, lo, hi, tol, max_iter, bg, merged_bounds, accelerate


class Start:
    """A starting point taken from an earlier fit of the same model on the same grid: its
    fitted state (parameters in internal units and mixing weights) and the bounds it ran
    with."""

    def __init__(self, state, bounds, frame=None):
        self.state = {name: np.array(v, dtype=np.float64) for name, v in state.items()}
        self.bounds = dict(bounds)
        self.frame = frame


def _check_start(start, shape, peaks, bg):
    """``start`` (a FitResult or None) as a :class:`Start`."""
    if start is None or isinstance(start, Start):
        return start
    from .result import FitResult

    if not isinstance(start, FitResult):
        raise TypeError(f"start: expected None or a FitResult, got {type(start).__name__}")
    if start.shape != shape.name or len(start.peaks) != len(peaks):
        raise ValueError(f"start: a fit of {len(start.peaks)} {start.shape} peaks cannot start a "
                         f"fit of {len(peaks)} {shape.name} peaks")
    if start._bg_model.name != bg.name:
        raise ValueError(f"start: its background is {start._bg_model.name!r}, this fit's is "
                         f"{bg.name!r}")
    return Start(start._state, start._ctx.bounds, start._frame)


class Setup:
    """What the fits of one model on one grid share: the grid sorted and cut to the window,
    its internal coordinates, bounds and fix lists, and the background bound to the grid."""

    def __init__(self, **fields):
        self.__dict__.update(fields)


def prepare(validated, start=None):
    """The setup of a fit from the output of :func:`validate`, with the window's counts and
    the starting state (from the peaks and the data, or from ``start``)."""
    x, counts, peaks, shape, lo, hi, tol, max_iter, bg, merged_bounds, accelerate = validated
    order = np.argsort(x, kind="stable")
    x, counts = x[order], counts[order]
    inside = (x >= lo) & (x <= hi)
    xw, cw = x[inside], counts[inside]
    if start is None:
        peaks = fill_peaks(xw, cw, peaks)

    step = float(np.median(np.diff(xw)))
    frame = Frame(0.5 * (lo + hi), step) if shape.framed else Frame(0.0, 1.0)
    if start is not None and start.frame is not None and (
            start.frame.centre, start.frame.step) != (frame.centre, frame.step):
        raise ValueError("start: it was fitted on another grid or window; a start must come "
                         "from a fit on the same x and window")
    u = (xw - frame.centre) / frame.step
    du = channel_widths(u)
    lo_u, hi_u = (lo - frame.centre) / frame.step, (hi - frame.centre) / frame.step
    if start is not None:
        bounds_u = dict(start.bounds)
    else:
        bounds_u = {}
        for name in shape.boundable:
            kind = shape.kinds[name]
            if name in merged_bounds:
                blo, bhi = (frame.to_u(kind, v) for v in merged_bounds[name])
            else:
                blo, bhi = shape.default_bounds(name, hi_u - lo_u)
                starts = [frame.to_u(kind, p.values[name]) for p in peaks]
                blo, bhi = min([blo] + starts), max([bhi] + starts)
            bounds_u[name] = (blo, bhi)
    ctx = FitContext(lo_u, hi_u, bounds_u, peaks[0].method, peaks[0].beta)
    fix = {name: [name in p.fix for p in peaks] for name in shape.params}

    bg.bind(xw, du, (lo, hi))
    if isinstance(bg, Shirley):
        from .guess import _smooth

        bg.initial_step(_smooth(cw, 1.5))
    if start is not None:
        state = {name: v.copy() for name, v in start.state.items()}
    else:
        share = background_share(xw, cw) if bg.name != "none" else 0.0
        state = _initial_state(shape, frame, peaks, bg, cw, share, ctx)
    setup = Setup(shape=shape, peaks=peaks, order=order, inside=inside, x=xw, u=u, du=du,
                  frame=frame, ctx=ctx, fix=fix, background=bg, window=(lo, hi), tol=tol,
                  max_iter=max_iter, accelerate=accelerate)
    return setup, cw, state


def run_validated(validated, stop=None, start=None):
    """The fit itself, from the output of :func:`validate`, from the peaks or from ``start``
    (a :class:`Start`).  ``stop``, when given, is looked at before the fit and between Shirley
    rounds (an object with ``is_set()``, such as a threading.Event); once it is set the fit
    raises :class:`Stopped`."""
    return run_prepared(*prepare(validated, start), stop)


def run_prepared(setup, cw, state, stop=None):
    """The fit of the counts ``cw`` from ``state`` (see :func:`prepare`)."""
    shape, bg, xw, u, ctx = setup.shape, setup.background, setup.x, setup.u, setup.ctx
    tol, max_iter, peaks = setup.tol, setup.max_iter, setup.peaks
    problem = Problem(shape, u, cw, setup.fix, ctx, tol, None)
    converged = False
    ll = math.nan
    rounds = 0
    shirley_change = None
    while True:
        if stop is not None and stop.is_set():
            raise Stopped("the fit was asked to stop")
        rounds += 1
        columns = bg.columns(xw)
        problem.basis = [np.ascontiguousarray(c) for c in columns] if columns.size else None
        budget = max_iter - problem.steps
        if setup.accelerate:
            state, ll, converged = problem.run_accelerated(state, budget)
        else:
            state, ll, _, converged = problem.run_plain(state, budget)
        if not isinstance(bg, Shirley):
            break
        # Recompute the Shirley step from the fitted peaks and stop once it stays put.
        k = len(peaks)
        comps = [{n: float(state[n][j]) for n in shape.params} for j in range(k)]
        dens = np.array([shape.density(u, p, ctx) for p in comps])
        before = np.einsum("b,bi->i", state["pi"][k:], bg.columns(xw))
        bg.update(np.einsum("j,ji->i", state["pi"][:k], dens))
        after = np.einsum("b,bi->i", state["pi"][k:], bg.columns(xw))
        shirley_change = float(np.max(np.abs(after - before)) / max(np.max(np.abs(before)),
                                                                      1e-300))
        if shirley_change < tol:
            break
        if problem.steps >= max_iter:
            converged = False
            break
    return build_result(shape=shape, frame=setup.frame, ctx=ctx, peaks=peaks, fix=setup.fix,
                        background=bg, x=xw, counts=cw, u=u, du=setup.du, window=setup.window,
                        state=state, n_iter=problem.steps, converged=converged, tol=tol,
                        shirley_rounds=rounds if isinstance(bg, Shirley) else None,
                        problem=problem)
