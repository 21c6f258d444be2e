"""A model on one grid: what the fits of every spectrum on that grid share, the starts read
from the spectra, and the engine's fits of them.

On a grid the window is cut out, the frame of internal coordinates fixed, the background
prepared and every parameter given its bounds in internal units; the engine's model is built
from that table (once, or once for every set of fixed values guessed from the data), and the
ties are compiled once by the :class:`velmora.Model`.  Values live in internal units: a
location is a position in grid steps from the window's centre, a width a number of grid steps
(for shapes fitted in grid units), a count a count.

Every fit, of one spectrum or of many, goes the same way: the window's counts of the spectra
(:meth:`Grid.window_rows`), their starts read from their own data side by side
(:meth:`Grid.read_starts`), the engine's fit of them in bursts (:func:`fit_rows`), and their
results packed into rows (:mod:`velmora.packing`), from which a :class:`velmora.FitResult` is
read.
"""
from dataclasses import dataclass
import functools
import math
import threading

import numpy as np

import velmora_core

from .backgrounds import Background, Shirley, Spline, settle_energy
from .guess import Picker, fill_values
from .packing import (FIT_FAILED, INVALID_DATA, NO_COUNTS, Layout)
from .shapes import AREA, SHAPES
from .ties import constant_value
from .validation import check_window

# Spectra per call of the engine's many-spectra fit: enough that the call's own cost (the
# starts read from the data, the results packed, both holding the interpreter lock) does not
# show beside the fits; a batch's progress bar moves once a call.  Where the calls end does
# not change any result.
BURST = 64

# Where the core reads the starts, a call takes up to CALL_SPECTRA spectra, and no more than
# CALL_WORK channel terms (channels times peaks and background terms) beyond BURST spectra.
CALL_SPECTRA = 4096
CALL_WORK = 500_000

# Engine models kept per grid for fixed values guessed from the data (one per spectrum
# without warm starts); the oldest is dropped first.
MODELS_KEPT = 64

_ROLE_CODES = {"free": 0, "fixed": 1, "tied": 2}

# The engine's statuses of its many-spectra fit beside those of a fit: a spectrum skipped, one
# without a start (read here, and the call made again from it), one whose start read in the
# core cannot be fitted from.
_SKIPPED, _NO_START, _START_UNUSABLE = 5, 6, 7


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
class Starts:
    """The starts read from spectra, one row per spectrum.

    Attributes
    ----------
    theta : ndarray (rows, n_theta)
        Internal units; NaN rows where none was read.
    values : ndarray (rows, n_params)
        Every parameter at the start (internal units; tied ones as their ties give them).
    problems : list of (str or None)
        Why a spectrum's start cannot be fitted from (a tie that leaves its range or the
        window, a value that could not be formed), None where it can.
    """

    theta: np.ndarray
    values: np.ndarray
    problems: list


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


class Grid:
    """A :class:`velmora.Model` on one grid ``x`` (validated, in the caller's order) whose
    ``axis`` told what x is.

    Attributes
    ----------
    order, inside : ndarray
        The permutation that sorts x, and which of the sorted points lie in the window.
    x, u, widths : ndarray
        The window's grid (sorted), in internal units, and the channel widths (internal).
    frame : Frame
    window : (float, float)
    background : Background
        On the energy kind settled for these data, prepared for this grid.
    energy : EnergyKind or None
        The energy kind a Shirley or Tougaard background took x as, and why.
    terms : backgrounds.Terms
    params : Parameters
        Every parameter (the model's, then the background's coefficients) with the bounds it
        has on this grid, in user units.
    kinds, roles, labels : tuple of str
        Every parameter's kind, role (``"free"``, ``"fixed"``, ``"tied"``) and name.
    scale, offset : ndarray
        Every parameter's user value is ``scale * internal + offset``.
    free : ndarray
        The indices of the free parameters (theta's order); ``n_theta`` of them, of
        ``n_params``.
    lower, upper : ndarray
        Bounds of theta (internal units).
    x_step, grid_step : float
        The median grid step in units of x, and the median channel width (internal units).
    layout : Layout
        Where each field of a fit sits in its packed row.

    Raises
    ------
    ValueError
        For a window without data (or with too few for the free parameters), a given centre
        outside it, a given starting value outside its bounds (default ones included), a tie
        of given values that leaves its parameter's range or puts a centre outside the window,
        an energy that contradicts the data, or a background the data do not support.
    """

    def __init__(self, model, x, axis):
        self.model = model
        background, energy = settle_energy(model.background, axis, model.energy_given)
        # An axis is of an energy kind when the data say so or the kind was given for them.
        kind = axis.kind() or (energy.kind if energy and energy.source == "argument" else None)
        lo, hi = check_window(model.window, x, kind, axis.excitation)
        for pk in model.peaks:
            loc = SHAPES[pk.shape].location
            value = pk.values[loc]
            if value is not None and not lo <= value <= hi and loc not in pk.bounds:
                raise ValueError(f"{pk.name}: {loc}={value} lies outside the window "
                                 f"[{lo}, {hi}]")
        self.order = np.argsort(x, kind="stable")
        xs = x[self.order]
        self.inside = (xs >= lo) & (xs <= hi)
        xw = xs[self.inside]
        if xw.size <= model.n_free:
            raise ValueError(f"window: {xw.size} data points in [{lo}, {hi}] are too few for "
                             f"{model.n_free} free peak parameters")
        self.window = (lo, hi)
        self.n = xw.size
        self.background = background.prepare(xw, self.window)
        self.energy = energy
        framed = SHAPES[model.peaks[0].shape].framed
        # The median grid step: in units of x, and in internal units (widths of channels).
        self.x_step = float(np.median(np.diff(xw)))
        self.frame = frame = Frame(0.5 * (lo + hi), self.x_step) if framed else Frame(0.0, 1.0)
        self.x = xw
        self.u = (xw - frame.centre) / frame.step
        self.widths = channel_widths(self.u)
        self.grid_step = float(np.median(self.widths))
        self.terms = self.background.terms(xw, self.widths, frame.step, self.window)
        self._table(model)
        self.layout = Layout(self)
        self._models = {}
        self._lock = threading.Lock()
        self._check_given_ties()

    # ---------------------------------------------------------------- the parameter table
    def _table(self, model):
        """Every parameter's kind, role, bounds and given value on this grid (internal units),
        and the table in user units."""
        frame = self.frame
        lo_u, hi_u = frame.to_u("location", self.window[0]), frame.to_u("location", self.window[1])
        grid_step = float(np.median(np.diff(self.u)))
        records = list(model.params.values())
        kinds, roles, lower, upper, given, labels, resolved = [], [], [], [], [], [], []
        specs, own_bounds = [], []
        for r in records:
            pk = model.peak(r.peak)
            spec = AREA if r.param == "area" else pk.spec.param(r.param)
            specs.append(spec)
            role = "tied" if r.tie is not None else "fixed" if r.fixed else "free"
            if r.min is not None:
                lo_b, hi_b = sorted((frame.to_u(r.kind, r.min), frame.to_u(r.kind, r.max)))
                user = (r.min, r.max)
            else:
                lo_b, hi_b = AREA.default if r.param == "area" else \
                    _default_bounds(spec, lo_u, hi_u, grid_step)
                user = (self.user(r.kind, lo_b), self.user(r.kind, hi_b))
            if r.kind == "location" and role == "free" and r.min is not None:
                # A centre stays in the window whatever its bounds: a line centred outside it
                # would pour its whole area into the window's edge.
                lo_b, hi_b = max(lo_b, min(lo_u, hi_u)), min(hi_b, max(lo_u, hi_u))
                if not lo_b < hi_b:
                    raise ValueError(f"{r.name}: its bounds ({r.min}, {r.max}) leave no room "
                                     f"inside the fitting window [{self.window[0]:.6g}, "
                                     f"{self.window[1]:.6g}]")
                user = tuple(sorted((self.user(r.kind, lo_b), self.user(r.kind, hi_b))))
            kinds.append(r.kind)
            roles.append(role)
            own_bounds.append((lo_b, hi_b))
            lower.append(lo_b if role != "tied" else -math.inf)
            upper.append(hi_b if role != "tied" else math.inf)
            given.append(frame.to_u(r.kind, r.value) if r.value is not None else math.nan)
            labels.append(r.name)
            resolved.append(user if role != "tied" else (None, None))
        for name in self.terms.names:
            kinds.append("count")
            roles.append("free")
            lower.append(0.0)
            upper.append(math.inf)
            given.append(math.nan)
            labels.append(f"bg.{name}")
            resolved.append((0.0, math.inf))
            specs.append(AREA)
        self.kinds, self.roles, self.labels = tuple(kinds), tuple(roles), tuple(labels)
        self.specs = tuple(specs)
        self.resolved_bounds = tuple(resolved)
        self.n_params = len(kinds)
        self.free = np.array([e for e, role in enumerate(roles) if role == "free"], dtype=np.intp)
        self.n_theta = self.free.size
        self.lower = np.array(lower, dtype=np.float64)[self.free]
        self.upper = np.array(upper, dtype=np.float64)[self.free]
        self.given = np.array(given, dtype=np.float64)
        self.scale = np.array([frame.scale(k) for k in kinds], dtype=np.float64)
        self.offset = np.array([frame.offset(k) for k in kinds], dtype=np.float64)
        # Fixed values the model leaves to the data: every spectrum (or path of warm starts)
        # holds them where its own data put them, in a model of its own.
        self.guessed_fixed = np.array([e for e, role in enumerate(roles)
                                       if role == "fixed" and math.isnan(given[e])],
                                      dtype=np.intp)
        self.tied = np.array([e for e, role in enumerate(roles) if role == "tied"],
                             dtype=np.intp)
        index = {label: e for e, label in enumerate(labels)}
        self._referred = np.zeros(len(kinds))
        for tie in model.ties:
            for peak, name in tie.references:
                self._referred[index[f"{peak}.{name}"]] = 1.0
        # Starts the caller gave lie inside their bounds (guessed ones are moved there).
        for a, e in enumerate(self.free):
            if e < len(records) and math.isfinite(given[e]) and not \
                    self.lower[a] <= given[e] <= self.upper[a]:
                r = records[e]
                lo_v, hi_v = (self.user(r.kind, b) for b in (self.lower[a], self.upper[a]))
                which = " (the default bounds for this window and grid)" if r.min is None else ""
                raise ValueError(f"{r.name}: starting value {r.value:.6g} lies outside its "
                                 f"bounds [{lo_v:.6g}, {hi_v:.6g}]{which}")
        # A constant tie is a value like a number, and held to the same bounds.
        tie_of = {t.name: t for t in model.ties}
        for e in self.tied:
            r = records[e]
            tie = tie_of[r.name]
            if tie.references:
                continue
            value = constant_value(tie)
            lo_b, hi_b = own_bounds[e]
            if not lo_b <= frame.to_u(r.kind, value) <= hi_b:
                lo_v, hi_v = (self.user(r.kind, b) for b in (lo_b, hi_b))
                which = " (the default bounds for this window and grid)" if r.min is None else ""
                raise ValueError(f"{r.name}: its constant tie {tie.text!r} gives {value:.6g}, "
                                 f"outside its bounds [{lo_v:.6g}, {hi_v:.6g}]{which}")

    def user(self, kind, value):
        """An internal value (or array of them) in user units."""
        if kind != "count":
            return self.frame.from_u(kind, value)
        return np.asarray(value, dtype=np.float64) if np.ndim(value) else float(value)

    @property
    def signature(self):
        """What a start and the fit it starts must share: every parameter's place and role,
        the shapes, the background, the grid and the window."""
        model = self.model
        return (tuple((r.peak, r.param, role, r.tie) for r, role in
                      zip(model.params.values(), self.roles)) + tuple(
                          (None, name, "free", None) for name in self.terms.names),
                tuple(pk.shape for pk in model.peaks), self.background.describe(), self.frame,
                tuple(self.window), self.n)

    def check_start(self, start):
        """Refuses a start (a FitState) from a fit of another model, grid or window, saying
        which."""
        theirs, ours = start.signature, self.signature
        if theirs == ours:
            return
        (t_params, t_shapes, t_bg, *_), (o_params, o_shapes, o_bg, *_) = theirs, ours
        if t_bg != o_bg:
            raise ValueError(f"start: its background is {t_bg!r}, this fit's is {o_bg!r}")
        if t_params != o_params or t_shapes != o_shapes:
            raise ValueError(f"start: a fit of the peaks {', '.join(t_shapes)} (with their "
                             f"names, fixed parameters and ties) cannot start a fit of "
                             f"{', '.join(o_shapes)} set up otherwise")
        raise ValueError("start: it was fitted on another grid or window; a start must come "
                         "from a fit on the same x and window")

    # ------------------------------------------------------------------ engine models
    def engine_model(self, values=None):
        """The engine's model on this grid; ``values`` (every parameter, internal units) give
        the fixed values guessed from the data, where the model leaves some to them."""
        if self.guessed_fixed.size == 0 or values is None:
            key = None
        else:
            key = np.asarray(values, dtype=np.float64)[self.guessed_fixed].tobytes()
        with self._lock:
            model = self._models.get(key)
        if model is not None:
            return model
        fixed = self.given.copy()
        if key is not None:
            fixed[self.guessed_fixed] = np.asarray(values)[self.guessed_fixed]
        else:
            # The fixed values a spectrum's start gives: the core sets them from each start it
            # reads (this model is only fitted with them).
            fixed[self.guessed_fixed] = 0.0
        model = self._build(self.roles, fixed, self.lower, self.upper, self.start_rule)
        with self._lock:
            if len(self._models) >= MODELS_KEPT:
                self._models.pop(next(k for k in self._models if k is not None), None)
            self._models[key] = model
        return model

    def _build(self, roles, fixed, lower, upper, starts=None):
        """The engine's model (one description, :func:`velmora_core._engine_model`) with
        these roles, fixed values and bounds of theta, and the rule that reads starts in the
        core (``starts``, from :attr:`start_rule`) or none."""
        model = self.model
        slots, slot = [], 0
        tie_slot = {int(t): i for i, t in enumerate(model.tie_program.targets)}
        for e, role in enumerate(roles):
            if role == "free":
                slots.append(slot)
                slot += 1
            elif role == "tied":
                slots.append(tie_slot[e])
            else:
                slots.append(0)
        values = np.where(np.array([r == "fixed" for r in roles]), fixed, 0.0)
        program = model.tie_program
        return velmora_core._engine_model({
            "u": self.u, "widths": self.widths,
            "window": np.array([self.frame.to_u("location", self.window[0]),
                                self.frame.to_u("location", self.window[1])]),
            "shapes": np.array([pk.spec.code for pk in model.peaks], dtype=np.int64),
            "betas": np.array([pk.beta if pk.beta is not None else 1.0 for pk in model.peaks],
                              dtype=np.float64),
            "roles": np.array([_ROLE_CODES[r] for r in roles], dtype=np.int64),
            "slots": np.array(slots, dtype=np.int64),
            "values": np.ascontiguousarray(values, dtype=np.float64),
            "scale": self.scale, "offset": self.offset,
            "lower": np.ascontiguousarray(lower, dtype=np.float64),
            "upper": np.ascontiguousarray(upper, dtype=np.float64),
            "tie_code": np.ascontiguousarray(program.code, dtype=np.float64),
            "tie_start": np.asarray(program.starts).astype(np.int64),
            "tie_target": np.asarray(program.targets).astype(np.int64),
            "columns": list(self.terms.columns),
            "follows": [(int(f[0]), int(f[1]), np.array(f[2:], dtype=np.float64))
                        for f in self.terms.follows],
            "starts": starts})

    @functools.cached_property
    def start_rule(self):
        """The rule by which the core reads a spectrum's start as :meth:`read_starts` reads
        it (the description's ``starts``), or None where the core cannot read it: a
        background whose start is not the share of the counts spread over its columns or the
        Shirley step's (a Tougaard background reads its loss tail through its kernel)."""
        background = self.background
        start = type(background).start
        if start in (Background.start, Spline.start):
            kind, kinetic = 0, False
        elif start is Shirley.start:
            kind, kinetic = 1, background.energy == "kinetic"
        else:
            return None
        model = self.model
        positions, fwhms, tied, sizes, read, lo, hi = [], [], [], [], [], [], []
        for pk in model.peaks:
            spec = pk.spec
            fwhms.append(math.nan if pk.fwhm_start is None else pk.fwhm_start)
            location = spec.location
            given = pk.values[location]
            tied.append(location in pk.ties)
            positions.append(math.nan if given is None or location in pk.ties else given)
            sizes.append(len(spec.names) + 1)
            for name in spec.names + ("area",):
                value = pk.area if name == "area" else pk.values[name]
                read.append(value is None and name not in pk.ties)
                bounds = pk.bounds.get(name, (-math.inf, math.inf))
                lo.append(bounds[0])
                hi.append(bounds[1])
        return {"x": self.x, "step": float(self.x_step),
                "window": np.array(self.window, dtype=np.float64),
                "positions": np.array(positions, dtype=np.float64),
                "fwhms": np.array(fwhms, dtype=np.float64),
                "position_tied": np.array(tied, dtype=bool),
                "sizes": np.array(sizes, dtype=np.int64), "read": np.array(read, dtype=bool),
                "lo": np.array(lo, dtype=np.float64), "hi": np.array(hi, dtype=np.float64),
                "background": kind, "kinetic": bool(kinetic),
                "given": np.ascontiguousarray(self.given, dtype=np.float64)}

    def _probe(self):
        """A model whose every parameter but the tied ones is free and unbounded: the ties'
        values at any values of the others, as the engine evaluates them."""
        with self._lock:
            probe = self._models.get("probe")
        if probe is None:
            roles = ["tied" if r == "tied" else "free" for r in self.roles]
            n = sum(r == "free" for r in roles)
            probe = self._build(roles, np.zeros(self.n_params), np.full(n, -math.inf),
                                np.full(n, math.inf))
            with self._lock:
                self._models["probe"] = probe
        return probe

    def tie_values(self, values):
        """Every parameter with the ties evaluated at ``values`` (rows of every parameter,
        internal units; the tied ones ignored), and which are known: NaN for a tie of a value
        not known (NaN in ``values``, or a tie of such a one)."""
        values = np.atleast_2d(values)
        known = np.isfinite(values)
        if self.tied.size == 0:
            return values.copy(), known
        known[:, self.tied] = True
        untied = np.array([r != "tied" for r in self.roles])
        # The ties see only what they refer to: spectra whose referred values agree (ties of
        # given values) are evaluated once.
        thetas = np.where(known, values, 0.0)[:, untied] * self._referred[untied]
        unique, which = np.unique(thetas, axis=0, return_inverse=True)
        probe = self._probe()
        evaluated = np.array([velmora_core._engine_parameters(
            probe, np.ascontiguousarray(theta))[0] for theta in unique])
        out = values.copy()
        out[:, self.tied] = evaluated[which.reshape(-1)][:, self.tied]
        # A tie is known where everything it refers to is (in the order the ties go).
        index = {label: e for e, label in enumerate(self.labels)}
        for tie in self.model.ties:
            e = index[tie.name]
            refs = [index[f"{p}.{n}"] for p, n in tie.references]
            known[:, e] = known[:, refs].all(axis=1)
            out[~known[:, e], e] = math.nan
        return out, known

    def _check_given_ties(self):
        """Refuses, before any spectrum, a tie of given values that leaves its parameter's
        range or puts a centre outside the window."""
        if self.tied.size == 0:
            return
        values, known = self.tie_values(self.given[None, :])
        problem = self._tie_problems(values, known)[0]
        if problem is not None:
            raise ValueError(problem)

    def _tie_problems(self, values, known=None):
        """Why the tied values at the start of each row (``values``: every parameter with its
        ties evaluated) cannot be fitted from: a value outside its parameter's natural range,
        or a centre outside the window; None for rows without a problem.  ``known``: where
        given, the ties of values not known are no problem (those of values guessed, before
        they are read)."""
        lo, hi = self.window
        out = [None] * values.shape[0]
        for e in self.tied:
            spec, kind, tie = self.specs[e], self.kinds[e], self.model.params[self.labels[e]].tie
            v = values[:, e]
            user = self.user(kind, v)
            with np.errstate(invalid="ignore"):
                n_lo, n_hi = spec.natural
                inside = np.isfinite(v)
                if spec.kind != "location":
                    inside &= (v > n_lo if spec.natural_open[0] else v >= n_lo) & (
                        v < n_hi if spec.natural_open[1] else v <= n_hi)
                placed = (user >= lo) & (user <= hi) if spec.kind == "location" else True
            bad = ~(inside & placed)
            if known is not None:
                bad &= known[:, e]
            for i in np.flatnonzero(bad):
                if out[i] is not None:
                    continue
                if not inside[i]:
                    out[i] = (f"{self.labels[e]}: its tie {tie!r} gives {float(user[i])!r} at the "
                              f"start, outside the parameter's range {spec.natural_text()}")
                else:
                    # A peak's area is its counts inside the window: a line centred outside
                    # it would pour its whole area into the window's edge.
                    out[i] = (f"{self.labels[e]}: its tie {tie!r} puts the centre at "
                              f"{float(user[i]):.6g}, outside the fitting window [{lo:.6g}, "
                              f"{hi:.6g}]; widen the window to hold the line, or leave the "
                              f"line out")
        return out

    # ----------------------------------------------------------------------- spectra
    def window_counts(self, counts):
        """The counts of the window of one spectrum (the caller's order), in the order of
        ``x``."""
        return np.ascontiguousarray(np.asarray(counts, dtype=np.float64)[self.order][self.inside])

    def window_rows(self, spectra):
        """The window counts of ``spectra`` (rows of whole spectra) as rows, zero for those
        that cannot be fitted, and which those are: (counts, invalid, empty)."""
        with np.errstate(invalid="ignore"):
            invalid = ~np.isfinite(spectra).all(axis=1) | (spectra < 0).any(axis=1)
        counts = spectra[:, self.order][:, self.inside]
        with np.errstate(invalid="ignore"):
            empty = ~(counts.sum(axis=1) > 0)
        counts[invalid | empty] = 0.0
        return np.ascontiguousarray(counts), invalid, empty

    def _tied_positions(self, peaks):
        """The ``tied_positions`` of :func:`velmora.guess.fill_values` for rows: the positions
        of the peaks whose centre is tied, from the values given and those read so far."""
        index = {label: e for e, label in enumerate(self.labels)}
        located = [(pk.name, index[f"{pk.name}.{SHAPES[pk.shape].location}"]) for pk in peaks
                   if SHAPES[pk.shape].location in pk.ties]

        def positions(filled):
            rows = next((v.shape[0] for f in filled.values() for v in f.values()), 1)
            values = np.tile(self.given, (rows, 1))
            for k, found in filled.items():
                for name, v in found.items():
                    e = index[f"{peaks[k].name}.{name}"]
                    values[:, e] = self.frame.to_u(self.kinds[e], v)
            tied, known = self.tie_values(values)
            return {name: self.frame.from_u("location", tied[:, e]) for name, e in located
                    if known[:, e].all()}

        return positions

    def read_starts(self, counts):
        """The starts of spectra (rows of window ``counts`` with counts in the window), each
        read from its own data as a fit of it alone reads it: the peaks' missing values
        (fixed ones included) picked from the data, the background's coefficients from its
        level, guessed values moved inside their bounds."""
        counts = np.atleast_2d(counts)
        rows = counts.shape[0]
        model, frame = self.model, self.frame
        picker = Picker(self.x, counts, step=self.x_step)
        share = picker.background_share() if self.terms.count else np.zeros(rows)
        tied = any(SHAPES[pk.shape].location in pk.ties for pk in model.peaks)
        filled = fill_values(picker, model.peaks,
                             self._tied_positions(model.peaks) if tied else None)
        values = np.tile(self.given, (rows, 1))
        e = 0
        for pk, found in zip(model.peaks, filled):
            for name in pk.spec.names + ("area",):
                if name in found and self.roles[e] != "tied":
                    values[:, e] = frame.to_u(self.kinds[e], found[name])
                e += 1
        if self.terms.count:
            values[:, e:] = [self.background.start(self.x, c, float(f))
                             for c, f in zip(counts, share)]
        free = self.free
        theta = values[:, free]
        guessed = ~np.isfinite(self.given[free])
        theta[:, guessed] = np.minimum(np.maximum(theta[:, guessed], self.lower[guessed]),
                                       self.upper[guessed])
        values[:, free] = theta
        problems = [None] * rows
        with np.errstate(invalid="ignore"):
            bad = ~np.isfinite(theta)
        for i in np.flatnonzero(bad.any(axis=1)):
            label = self.labels[free[np.flatnonzero(bad[i])[0]]]
            problems[i] = f"{label}: no starting value could be formed"
        if self.tied.size:
            values, _ = self.tie_values(values)
            for i, problem in enumerate(self._tie_problems(values)):
                problems[i] = problems[i] or problem
        return Starts(theta=np.ascontiguousarray(theta), values=values, problems=problems)

    def state(self, row):
        """The FitState of a packed row, or None when it has no fitted state."""
        found = self.layout.start(row)
        if found is None:
            return None
        return FitState(theta=found[0], values=found[1], signature=self.signature)

    def __getstate__(self):
        # The engine's models are opaque objects of the core: a pickled grid leaves them out
        # and builds them again when asked.
        state = dict(self.__dict__)
        state["_models"] = {}
        del state["_lock"]
        return state

    def __setstate__(self, state):
        self.__dict__.update(state)
        self._lock = threading.Lock()


def fit_rows(grid, counts, warm, starts=None, invalid=None, empty=None, previous=None,
             stop=None, done=None, out=None, fresh=None):
    """The engine's fits of the spectra of window ``counts`` (rows, in the order they are
    fitted) on ``grid``: the packed rows.

    Where the core reads the starts (:attr:`Grid.start_rule`) and none are given, every call
    of the engine takes a whole burst of spectra (:func:`burst_size`): their starts, fits and
    reports without the interpreter lock.  ``fresh`` (flags, or None) marks the spectra where
    a new path of warm starts begins (several chunks fitted in one go).  Otherwise the starts
    are read here, in calls of up to BURST spectra.

    Without ``warm`` every spectrum is fitted from its own start; with it from the fit before
    it (``previous``, a FitState, before the first; a spectrum with nothing fitted before it
    from its own start).  ``starts``: the starts read beforehand (a :class:`Starts`, with NaN
    rows where none was read), else None; a start the engine needs and nobody has read is read
    here.  ``invalid``, ``empty``: spectra not to be fitted (their rows carry the status).
    ``stop`` (an Event) ends the fits between calls; ``done(n)`` counts the spectra fitted.
    ``out``: the rows to fill as the calls end (else new ones), so that the rows of the calls
    made are there when a later call is stopped.

    Where the model leaves fixed values to the data, a spectrum fitted from its own start is
    fitted with a model holding its own; one warm-started, with the model of the fit it
    started from (fixed values carry along a path of warm starts)."""
    layout = grid.layout
    n = counts.shape[0]
    rows = layout.empty((n,)) if out is None else out
    invalid = np.zeros(n, dtype=bool) if invalid is None else invalid
    empty = np.zeros(n, dtype=bool) if empty is None else empty
    bad = invalid | empty
    if grid.start_rule is not None and starts is None:
        return _fit_in_core(grid, counts, warm, invalid, empty, previous, stop, done, rows,
                            fresh)
    if fresh is not None and fresh[1:].any():
        raise ValueError("fresh: paths fitted in one go need the starts read in the core")
    if starts is None:
        theta = np.full((n, grid.n_theta), np.nan)
        values = np.full((n, grid.n_params), np.nan)
        problems = [None] * n
        read = np.zeros(n, dtype=bool)
    else:
        theta, values = starts.theta.copy(), starts.values.copy()
        problems = list(starts.problems)
        read = np.isfinite(theta).all(axis=1) | np.array([p is not None for p in problems])
    own_models = grid.guessed_fixed.size > 0

    def read_now(which):
        which = which[~bad[which] & ~read[which]]
        if which.size:
            found = grid.read_starts(counts[which])
            theta[which], values[which] = found.theta, found.values
            for i, problem in zip(which, found.problems):
                problems[i] = problem
            read[which] = True

    if not warm:
        read_now(np.arange(n))
    failed = bad | np.array([p is not None for p in problems])
    chain = previous  # the fit the next warm start comes from (its values hold the model's)
    first = 0
    while first < n:
        if stop is not None and stop.is_set():
            break
        end = min(first + BURST, n)
        skip = failed[first:end] | (read[first:end] & ~np.isfinite(theta[first:end]).all(axis=1))
        if own_models and not warm:
            # Every spectrum from its own start, with a model of its own fixed values.
            todo = [i for i in range(first, end) if not skip[i - first]]
            parts = [_engine(grid, grid.engine_model(values[i]), counts[i:i + 1], theta[i],
                             False, [False], [], None) for i in todo]
            stop_at = end - first
            packed = layout.empty((stop_at,))
            if parts:
                fitted = {k: np.concatenate([p[k] for p in parts]) for k in parts[0]}
                packed[np.array(todo) - first] = layout.pack(grid, fitted)
            waiting = np.zeros(0, dtype=np.intp)
        else:
            starting = theta[first:end].copy()
            if warm:
                # Only a start read for the call's first spectrum is taken: a spectrum after
                # it that needs one of its own ends the call (its model may be another).
                starting[1:] = np.nan
            source = chain.values if warm and chain is not None else values[first]
            fitted = _engine(grid, grid.engine_model(source), counts[first:end], starting, warm,
                             skip, [], chain.theta if warm and chain is not None else None)
            code = fitted["outcome"][:, 2]
            waiting = np.flatnonzero(code == 6)  # a spectrum whose start is still to be read
            stop_at = int(waiting[0]) if waiting.size else end - first
            if stop_at:
                packed = layout.pack(grid, {k: v[:stop_at] for k, v in fitted.items()})
        if stop_at:
            for k in np.flatnonzero(skip[:stop_at]):
                i = first + k
                packed[k] = layout.failed(INVALID_DATA if invalid[i] else NO_COUNTS if empty[i]
                                          else FIT_FAILED)
            rows[first:first + stop_at] = packed
            if warm:
                # The next call's path goes on from the last spectrum that left a state.
                for row in packed[::-1]:
                    state = grid.state(row)
                    if state is not None:
                        chain = state
                        break
            if done is not None:
                done(stop_at)
        first += stop_at
        if waiting.size:
            read_now(np.array([first]))
            failed[first] = bad[first] or problems[first] is not None
    return rows


def burst_size(grid):
    """Spectra per call of the engine where the core reads the starts: enough that the call's
    own cost (its arguments, the packing of its rows) does not show beside the fits, few
    enough that a batch's progress moves every second or so."""
    work = grid.n * (len(grid.model.peaks) + grid.terms.count)
    return max(BURST, min(CALL_SPECTRA, CALL_WORK // max(work, 1)))


def _fit_in_core(grid, counts, warm, invalid, empty, previous, stop, done, rows, fresh):
    """fit_rows where the core reads every start: bursts of spectra, each one call."""
    layout = grid.layout
    n = counts.shape[0]
    bad = invalid | empty
    skip = bad.tolist()
    fresh = np.zeros(n, dtype=bool) if fresh is None else np.asarray(fresh, dtype=bool)
    fresh_list = fresh.tolist()
    unread = np.full(grid.n_theta, math.nan)  # every start read by the core
    size = burst_size(grid)
    chain = previous  # the fit the next warm start comes from
    first = 0
    while first < n:
        if stop is not None and stop.is_set():
            break
        end = min(first + size, n)
        going_on = warm and chain is not None and not fresh[first]
        fitted = _engine(grid, grid.engine_model(chain.values if going_on else None),
                         counts[first:end], unread, warm, skip[first:end],
                         fresh_list[first:end], chain.theta if going_on else None)
        code = fitted["outcome"][:, 2]
        unusable = code == _START_UNUSABLE
        if unusable.any():
            code[unusable] = _SKIPPED
        packed = layout.pack(grid, fitted)
        for k in np.flatnonzero(bad[first:end] | unusable):
            i = first + k
            packed[k] = layout.failed(INVALID_DATA if invalid[i] else NO_COUNTS if empty[i]
                                      else FIT_FAILED)
        rows[first:end] = packed
        if warm:
            # The next call's path goes on from the last spectrum of the path that left a
            # state (none where the path began in this call and none did).
            began = np.flatnonzero(fresh[first:end])
            since = int(began[-1]) if began.size else 0
            if began.size:
                chain = None
            for row in packed[since:][::-1]:
                state = grid.state(row)
                if state is not None:
                    chain = state
                    break
        if done is not None:
            done(end - first)
        first = end
    return rows


def _engine(grid, model, counts, theta, warm, skip, fresh, previous):
    """The engine's many-spectra fit: a dict of arrays with one row per spectrum."""
    fitted = velmora_core._engine_spectra(
        model, np.ascontiguousarray(counts).ravel(), np.ascontiguousarray(theta).ravel(),
        grid.model.tol, grid.model.max_iter, warm, np.asarray(skip).tolist(), list(fresh),
        np.zeros(0) if previous is None else previous)
    return {k: v.reshape(len(skip), -1) for k, v in fitted.items()}
