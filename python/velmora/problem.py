"""The set-up of a fit: the data cut to the window in internal coordinates, every parameter
of the model with its role, units, start and bounds, the background's terms, and the engine's
model built from them.

Every parameter of every peak (its shape parameters, then its area, peak after peak) and every
background coefficient is *free*, *fixed* or *tied*.  The free ones form the vector theta that
the engine fits, each within its bounds; a tie is compiled for the engine, which evaluates it
(with its derivatives) without the interpreter.  Values live in internal units: a location is a
position in grid steps from the window's centre, a width a number of grid steps (for shapes
fitted in grid units), a count a count.
"""
from dataclasses import dataclass, field
import math

import numpy as np

import velmora_core

from .guess import Picker, fill_peaks, fill_values
from .shapes import AREA, SHAPES
from .ties import compile_tie


@dataclass(frozen=True)
class Frame:
    """Internal coordinates u = (x - centre) / step (identity for TSDC thermograms)."""

    centre: float
    step: float

    def scale(self, kind):
        """d(x-value) / d(u-value) of a parameter of ``kind``."""
        return self.step if kind in ("location", "width") else 1.0

    def offset(self, kind):
        return self.centre if kind == "location" else 0.0

    def to_u(self, kind, value):
        return (value - self.offset(kind)) / self.scale(kind)

    def from_u(self, kind, value):
        return self.scale(kind) * value + self.offset(kind)


@dataclass(frozen=True)
class Parameter:
    """One parameter of the model.

    Attributes
    ----------
    peak : str or None
        The peak it belongs to; None for a background coefficient.
    name : str
        Its name (``"x0"``, ``"area"``, or the background coefficient's name).
    kind : {"location", "width", "plain", "count"}
    role : {"free", "fixed", "tied"}
    value : float
        Internal units: the value of a fixed parameter, the start of a free one, the start a
        tied one takes from its tie.
    bounds : (float, float)
        Internal units (free parameters).
    tie : str or None
        The expression of a tied parameter.
    """

    peak: object
    name: str
    kind: str
    role: str
    value: float
    bounds: tuple = (-math.inf, math.inf)
    tie: object = None

    @property
    def label(self):
        return f"{self.peak}.{self.name}" if self.peak is not None else f"background.{self.name}"


@dataclass(frozen=True)
class FitState:
    """A fitted point, to start another fit of the same model from (``fit(start=...)``).

    Attributes
    ----------
    theta : ndarray
        The free parameters (internal units).
    values : ndarray
        Every parameter (internal units); fixed values guessed from the data come from here.
    signature : tuple
        What a fit it starts must share: shapes, names, roles, ties, background, grid, window.
    """

    theta: np.ndarray
    values: np.ndarray
    signature: tuple


@dataclass(frozen=True)
class Setup:
    """What the fits of one model on one grid share.

    Attributes
    ----------
    order : ndarray
        The permutation that sorts the caller's x.
    inside : ndarray
        Which of the sorted points lie in the window.
    x, u, widths : ndarray
        The window's grid (sorted), in internal units, and the channel widths (internal).
    frame : Frame
    window : (float, float)
    peaks : tuple of Peak
        The peaks, named, with their starting values filled in.
    background : Background
        Prepared for this grid.
    terms : backgrounds.Terms
    parameters : tuple of Parameter
        Every parameter of the model, in the engine's order.
    theta0 : ndarray
        The start.
    ties : tuple of ties.Tie
        In evaluation order.
    model : object
        The engine's model.
    tol, max_iter
        The fit's options.
    bounds : dict
        The bounds the fit gave every peak that has the parameter (``fit(..., bounds=...)``),
        in the units of x: ``{name: (lo, hi)}``.
    """

    order: np.ndarray
    inside: np.ndarray
    x: np.ndarray
    u: np.ndarray
    widths: np.ndarray
    frame: Frame
    window: tuple
    peaks: tuple
    background: object
    terms: object
    parameters: tuple
    theta0: np.ndarray
    ties: tuple
    model: object = field(repr=False)
    tol: float = 1e-9
    max_iter: int = 1000
    bounds: dict = field(default_factory=dict, repr=False)

    def __getstate__(self):
        # The engine's model is an opaque object of the core: a pickled set-up leaves it out
        # and builds it again from its parameter table.
        state = dict(self.__dict__)
        del state["model"]
        return state

    def __setstate__(self, state):
        self.__dict__.update(state)
        lo_u = self.frame.to_u("location", self.window[0])
        hi_u = self.frame.to_u("location", self.window[1])
        table = _Table(self.u, self.widths, self.frame, (lo_u, hi_u), self.peaks, self.ties,
                       self.terms)
        object.__setattr__(self, "model", table.model(self.parameters, self.theta0.size))

    def window_counts(self, counts):
        """The counts of the window, in the order of ``x``."""
        return np.ascontiguousarray(np.asarray(counts, dtype=np.float64)[self.order][self.inside])

    @property
    def free(self):
        """The free parameters, in the order of theta."""
        return tuple(p for p in self.parameters if p.role == "free")

    def index(self, peak, name):
        for e, p in enumerate(self.parameters):
            if p.peak == peak and p.name == name:
                return e
        raise KeyError((peak, name))

    @property
    def signature(self):
        return _signature(self.parameters, self.peaks, self.background, self.frame,
                          self.window, self.x.size)

    def state(self, theta, values=None):
        """The FitState of ``theta`` (``values``: every parameter there, when known)."""
        theta = np.array(theta, dtype=np.float64)
        if values is None:
            values, _ = velmora_core._engine_parameters(self.model, theta)
        return FitState(theta=theta, values=np.array(values, dtype=np.float64),
                        signature=self.signature)


def _signature(parameters, peaks, background, frame, window, n):
    """What a start and the fit it starts must share: every parameter's place and role, the
    shapes, the background, the grid and the window."""
    return (tuple((p.peak, p.name, p.role, p.tie) for p in parameters),
            tuple(pk.shape for pk in peaks), background.describe(), frame, tuple(window), n)


def _check_start(theirs, ours):
    """Refuses a start from a fit of another model, grid or window, saying which."""
    if theirs == ours:
        return
    (t_params, t_shapes, t_bg, *t_grid), (o_params, o_shapes, o_bg, *o_grid) = theirs, ours
    if t_bg != o_bg:
        raise ValueError(f"start: its background is {t_bg!r}, this fit's is {o_bg!r}")
    if t_params != o_params or t_shapes != o_shapes:
        raise ValueError(f"start: a fit of the peaks {', '.join(t_shapes)} (with their names, "
                         f"fixed parameters and ties) cannot start a fit of "
                         f"{', '.join(o_shapes)} set up otherwise")
    raise ValueError("start: it was fitted on another grid or window; a start must come from "
                     "a fit on the same x and window")


def channel_widths(u):
    """Width of each grid point's channel: half the distance to each neighbour, and the whole
    distance to the only neighbour at the ends."""
    d = np.diff(u)
    w = np.empty_like(u)
    w[1:-1] = 0.5 * (d[1:] + d[:-1])
    w[0], w[-1] = d[0], d[-1]
    return w


def _default_bounds(spec, lo_u, hi_u, grid_step):
    """A parameter's default bounds, internal units (``grid_step``: the median grid step in
    internal units)."""
    if spec.default_rule == "window":
        return lo_u, hi_u
    if spec.default_rule == "grid":
        return spec.default[0] * grid_step, spec.default[1] * (hi_u - lo_u)
    return spec.default


class _Table:
    """Builds the parameter table and the engine's model."""

    def __init__(self, u, widths, frame, window_u, peaks, ties, terms):
        self.u, self.widths, self.frame, self.window_u = u, widths, frame, window_u
        self.peaks, self.ties, self.terms = peaks, ties, terms

    def model(self, parameters, theta_count):
        index = {(p.peak, p.name): e for e, p in enumerate(parameters)}
        roles = {"free": 0.0, "fixed": 1.0, "tied": 2.0}
        tie_of = {(t.peak, t.param): i for i, t in enumerate(self.ties)}
        slots, slot = [], 0
        lower, upper = [], []
        for p in parameters:
            if p.role == "free":
                slots.append(float(slot))
                slot += 1
                lower.append(p.bounds[0])
                upper.append(p.bounds[1])
            elif p.role == "tied":
                slots.append(float(tie_of[(p.peak, p.name)]))
            else:
                slots.append(0.0)
        programs = [compile_tie(t, lambda key: index[key]) for t in self.ties]
        starts = np.cumsum([0] + [len(prog) // 2 for prog in programs]).astype(np.float64)
        code = np.concatenate(programs) if programs else np.zeros(0)
        kinds = [p.kind for p in parameters]
        return velmora_core._engine_model(
            self.u, self.widths, self.window_u[0], self.window_u[1],
            np.array([float(SHAPES[pk.shape].code) for pk in self.peaks]),
            np.array([pk.beta if pk.beta is not None else 1.0 for pk in self.peaks]),
            np.array([roles[p.role] for p in parameters]), np.array(slots),
            np.array([p.value if p.role != "tied" else 0.0 for p in parameters]),
            np.array([self.frame.scale(k) for k in kinds]),
            np.array([self.frame.offset(k) for k in kinds]),
            np.array(lower, dtype=np.float64), np.array(upper, dtype=np.float64), code,
            starts, np.array([float(index[(t.peak, t.param)]) for t in self.ties]),
            list(self.terms.columns) or None,
            self.terms.engine_follows())

    def tied_values(self, parameters):
        """The tied parameters' values (internal units) with every other one held where it is
        (NaN where not known yet)."""
        held = [p if p.role == "tied" else
                Parameter(p.peak, p.name, p.kind, "fixed", p.value if math.isfinite(p.value)
                          else 0.0) for p in parameters]
        held += [Parameter(None, name, "count", "fixed", 0.0) for name in self.terms.names]
        known = {(p.peak, p.name) for p in parameters if math.isfinite(p.value) or p.role == "tied"}
        values, _ = velmora_core._engine_parameters(self.model(held, 0), np.zeros(0))
        out = {}
        for p, v in zip(parameters, values):
            if p.role == "tied":
                refs = next(t for t in self.ties if (t.peak, t.param) == (p.peak, p.name))
                ok = all(r in known for r in refs.references)
                out[(p.peak, p.name)] = float(v) if ok else math.nan
        return out


def _peak_parameters(peak, frame, lo_u, hi_u, grid_step, shared_bounds):
    """The parameters of one peak (shape parameters, then area)."""
    spec = SHAPES[peak.shape]
    out = []
    for pspec in spec.params + (AREA,):
        name, kind = pspec.name, pspec.kind
        given = peak.value_of(name)
        value = frame.to_u(kind, given) if given is not None else math.nan
        if name in peak.ties:
            out.append(Parameter(peak.name, name, kind, "tied", math.nan, tie=peak.ties[name]))
            continue
        user_bounds = peak.bounds.get(name, shared_bounds.get(name))
        if user_bounds is not None:
            bounds = tuple(sorted((frame.to_u(kind, user_bounds[0]),
                                   frame.to_u(kind, user_bounds[1]))))
        elif name == "area":
            bounds = AREA.default
        else:
            bounds = _default_bounds(pspec, lo_u, hi_u, grid_step)
        role = "fixed" if name in peak.fix else "free"
        out.append(Parameter(peak.name, name, kind, role, value, bounds))
    return out


def shares_model(peaks, ties):
    """Whether every spectrum's fit of ``peaks`` has one model whatever its counts (no fixed
    value guessed from the data) and a start :func:`cold_starts` can read: no tie places a
    peak from a value guessed from the data (a doublet or a Kα2 partner placed from a given
    centre qualifies; its areas and widths may follow guessed ones)."""
    if not all(pk.value_of(n) is not None for pk in peaks for n in pk.fix):
        return False
    by_name = {pk.name: pk for pk in peaks}
    for tie in ties:
        peak = by_name.get(tie.peak)
        if peak is None or SHAPES[peak.shape].location != tie.param:
            continue
        for ref_peak, ref_param in tie.references:
            ref = by_name.get(ref_peak)
            if ref is None or ref.value_of(ref_param) is None:
                return False
    return True


def _tied_positions(like, peaks):
    """{peak name: position} of the peaks whose centre is tied, as ``like`` resolved them at
    its start: for a model that :func:`shares_model`, from given values only, so the same for
    every spectrum (and what :func:`build`'s own reading of the tie gives)."""
    tied = {(pk.name, SHAPES[pk.shape].location) for pk in peaks
            if SHAPES[pk.shape].location in pk.ties}
    return {p.peak: like.frame.from_u("location", p.value) for p in like.parameters
            if p.role == "tied" and (p.peak, p.name) in tied and math.isfinite(p.value)}


def cold_starts(like, peaks, counts):
    """The starting theta of every spectrum (rows of window ``counts``) as :func:`build`
    forms it for the spectrum alone (its peaks' missing values read from its own data), for
    a model that :func:`shares_model`; ``like`` is a set-up of the model on the same grid.
    Returns the thetas (rows, n_theta) and which rows have a finite start."""
    counts = np.atleast_2d(counts)
    rows = counts.shape[0]
    frame = like.frame
    picker = Picker(like.x, counts)
    share = picker.background_share() if like.terms.count else np.zeros(rows)
    filled = fill_values(picker, peaks, positions=_tied_positions(like, peaks))
    thetas = []
    params = iter(like.parameters)
    for pk, values in zip(peaks, filled):
        for name in SHAPES[pk.shape].names + ("area",):
            p = next(params)
            if p.role != "free":
                continue
            v = pk.value_of(name)
            if v is not None:  # given: inside its bounds (the set-up on a flat spectrum held)
                thetas.append(np.full(rows, frame.to_u(p.kind, v)))
                continue
            v = frame.to_u(p.kind, values[name])
            thetas.append(np.minimum(np.maximum(v, p.bounds[0]), p.bounds[1]))
    if like.terms.count:
        starts = np.array([like.background.start(like.x, c, float(f))
                           for c, f in zip(counts, share)], dtype=np.float64)
        for t in range(like.terms.count):
            p = next(params)
            thetas.append(np.minimum(np.maximum(starts[:, t], p.bounds[0]), p.bounds[1]))
    thetas = np.stack(thetas, axis=1) if thetas else np.zeros((rows, 0))
    with np.errstate(invalid="ignore"):
        finite = np.isfinite(thetas).all(axis=1)
    return np.ascontiguousarray(thetas), finite


def _model_key(parameters):
    """What the engine's model holds of the parameters (a start's values aside)."""
    return tuple((p.peak, p.name, p.role, p.bounds, p.tie, p.value if p.role == "fixed" else None)
                 for p in parameters)


def _outside_bounds(p, frame, peak, from_defaults):
    """The ValueError of a start the caller gave outside its bounds."""
    f = frame if p.kind != "count" else Frame(0.0, 1.0)
    lo, hi = (f.from_u(p.kind, b) for b in p.bounds)
    value = f.from_u(p.kind, p.value)
    which = " (the default bounds for this window and grid)" if from_defaults else ""
    return ValueError(f"{p.label}: starting value {value:.6g} lies outside its bounds "
                      f"[{lo:.6g}, {hi:.6g}]{which}")


def build(x, counts, peaks, ties, background, window, tol, max_iter, shared_bounds,
          start=None, like=None):
    """The set-up of a fit of ``counts`` on ``x`` (validated, the caller's order) and the
    window's counts.

    ``start`` (a FitState) takes the place of the peaks' starting values and of every value
    guessed from the data; it must come from a fit of the same model on the same grid.
    ``like`` (a set-up of the same model, grid and window: a batch's first spectrum) lends
    what does not depend on the counts: the grid's frame, the prepared background and, when
    every parameter's role, bounds and fixed value agree, the engine's model."""
    if like is not None:
        order, inside, xw = like.order, like.inside, like.x
        cw = np.ascontiguousarray(counts[order][inside])
        background, frame, u, widths = like.background, like.frame, like.u, like.widths
        terms = like.terms
    else:
        order = np.argsort(x, kind="stable")
        xs = x[order]
        lo, hi = window
        inside = (xs >= lo) & (xs <= hi)
        xw = xs[inside]
        cw = np.ascontiguousarray(counts[order][inside])
        background = background.prepare(xw, window)
        framed = SHAPES[peaks[0].shape].framed
        step = float(np.median(np.diff(xw)))
        frame = Frame(0.5 * (lo + hi), step) if framed else Frame(0.0, 1.0)
        u = (xw - frame.centre) / frame.step
        widths = channel_widths(u)
        terms = background.terms(xw, widths, frame.step, window)
    lo, hi = window
    lo_u, hi_u = frame.to_u("location", lo), frame.to_u("location", hi)
    grid_step = float(np.median(np.diff(u)))
    table = _Table(u, widths, frame, (lo_u, hi_u), peaks, ties, terms)

    if start is None:
        def tied_positions(filled):
            params = [p for pk in filled for p in
                      _peak_parameters(pk, frame, lo_u, hi_u, grid_step, shared_bounds)]
            values = table.tied_values(params)
            out = {}
            for pk in filled:
                loc = SHAPES[pk.shape].location
                if loc in pk.ties and math.isfinite(values.get((pk.name, loc), math.nan)):
                    out[pk.name] = frame.from_u("location", values[(pk.name, loc)])
            return out

        tied_location = any(SHAPES[pk.shape].location in pk.ties for pk in peaks)
        given = {pk.name: pk for pk in peaks}
        picker = Picker(xw, cw)
        share = float(picker.background_share()[0]) if terms.count else 0.0
        peaks = fill_peaks(xw, cw, peaks, tied_positions if tied_location else None, picker)
        bg_start = background.start(xw, cw, share)
    else:
        given = {}
        bg_start = [math.nan] * terms.count
    parameters = []
    for pk in peaks:
        parameters += _peak_parameters(pk, frame, lo_u, hi_u, grid_step, shared_bounds)
    for name, value in zip(terms.names, bg_start):
        parameters.append(Parameter(None, name, "count", "free", float(value), (0.0, math.inf)))
    if start is not None:
        # Every value from the start: its fitted ones and those it guessed from its data.
        _check_start(start.signature, _signature(parameters, peaks, background, frame, window,
                                                  xw.size))
        parameters = [Parameter(p.peak, p.name, p.kind, p.role, float(v), p.bounds, p.tie)
                      for p, v in zip(parameters, start.values)]

    # Starts inside their bounds: a value the caller gave must be, a guessed one is moved.
    checked = []
    for p in parameters:
        if p.role != "free":
            checked.append(p)
            continue
        lo_b, hi_b = p.bounds
        if not math.isfinite(p.value):
            raise ValueError(f"{p.label}: no starting value could be formed")
        if not lo_b <= p.value <= hi_b:
            peak = given.get(p.peak)
            if peak is not None and peak.value_of(p.name) is not None:
                raise _outside_bounds(p, frame, peak, p.name not in peak.bounds
                                      and p.name not in shared_bounds)
            p = Parameter(p.peak, p.name, p.kind, p.role, min(max(p.value, lo_b), hi_b),
                          p.bounds, p.tie)
        checked.append(p)
    parameters = checked
    theta0 = np.array([p.value for p in parameters if p.role == "free"], dtype=np.float64)
    if like is not None and _model_key(like.parameters) == _model_key(parameters):
        model = like.model
    else:
        model = table.model(parameters, theta0.size)

    # Tied parameters start where their ties put them; a tie that leaves its parameter's
    # natural range at the start is refused.
    values = velmora_core._engine_parameters(model, theta0)[0] if ties else None
    resolved = []
    for p, v in zip(parameters, values if values is not None else [None] * len(parameters)):
        if p.role == "tied":
            spec = AREA if p.name == "area" else SHAPES[next(
                pk for pk in peaks if pk.name == p.peak).shape].param(p.name)
            user = frame.from_u(p.kind, v) if p.kind != "count" else float(v)
            if not math.isfinite(v) or (spec.kind != "location" and not spec.in_natural_range(
                    float(v))):
                raise ValueError(f"{p.label}: its tie {p.tie!r} gives {user!r} at the start, "
                                 f"outside the parameter's range {spec.natural_text()}")
            if spec.kind == "location" and not lo <= user <= hi:
                # A peak's area is its counts inside the window: a line centred outside it
                # would pour its whole area into the window's edge.
                raise ValueError(f"{p.label}: its tie {p.tie!r} puts the centre at {user:.6g}, "
                                 f"outside the fitting window [{lo:.6g}, {hi:.6g}]; widen the "
                                 f"window to hold the line, or leave the line out")
            p = Parameter(p.peak, p.name, p.kind, p.role, float(v), p.bounds, p.tie)
        resolved.append(p)
    setup = Setup(order=order, inside=inside, x=xw, u=u, widths=widths, frame=frame,
                  window=(lo, hi), peaks=tuple(peaks), background=background, terms=terms,
                  parameters=tuple(resolved), theta0=theta0, ties=tuple(ties), model=model,
                  tol=tol, max_iter=max_iter, bounds=dict(shared_bounds))
    return setup, cw
