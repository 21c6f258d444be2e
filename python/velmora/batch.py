"""``velmora.fit_many``: one model fitted to many spectra.

Raman and XPS maps, in-situ XRD series and sets of thermograms are fitted spectrum by
spectrum with :func:`velmora.fit`, spread over threads (NumPy input) or over whatever Dask
scheduler is active (Dask input: threads, processes, or a ``dask.distributed`` cluster).

The spectrum axes are cut into chunks (the blocks of a Dask array, or fixed blocks of a NumPy
array that do not depend on the number of workers).  Within a chunk the spectra are fitted one
after another along a serpentine path (row 0 left to right, row 1 right to left, ...), each
from its predecessor's fitted values when ``warm_start="previous"``: neighbours in a map are
alike, so their fits start close to the optimum.  The first spectrum of every chunk starts
from ``peaks``.  Every spectrum's fit is :func:`velmora.fit` itself, so its result is the one
a single call gives from the same starting values, whatever the number of workers and the
order in which they finish; :meth:`BatchResult.result` recomputes it in full.
"""
from collections.abc import Mapping
import concurrent.futures
import copy
from dataclasses import replace
import functools
import itertools
import math
import numbers
import sys
import threading
import time

import numpy as np
import velmora_core

from . import store as batch_store
from .axis import Axis, EnergyKind, axis_of, is_xarray, plain
from .fit import prepare, validate
from .problem import FitState, cold_starts, shares_model
from .result import detection
from .uncertainty import linear_estimates
from .shapes import SHAPES
from .validation import InvalidCounts, NoCounts, check_counts

#: Status codes of :attr:`BatchResult.status`, by value.
STATUS_NAMES = ("ok", "not converged", "invalid data", "no counts", "fit failed", "not fitted")
OK, NOT_CONVERGED, INVALID_DATA, NO_COUNTS, FIT_FAILED, NOT_FITTED = range(len(STATUS_NAMES))

# Default chunks of a NumPy array: about CHUNK_COUNT chunks of equal length, each of CHUNK_MIN
# to CHUNK_MAX spectra.  With warm starts a chunk is a path whose first spectrum starts cold,
# so chunks should be long; but they are also what the workers share out, so a batch must have
# several chunks per worker.  Eight keep two to four workers busy on small batches at the
# price of a cold start every CHUNK_MIN spectra at worst; large maps get chunks of a few dozen
# spectra (or whole rows up to that length).  The rule depends on the batch's shape only,
# never on the number of workers, so results do not either.
CHUNK_COUNT = 8
CHUNK_MIN = 4
CHUNK_MAX = 64

# Spectra per call of the engine's many-spectra fit: enough that the call's own cost (the
# starts read from the data, the results packed, both holding the interpreter lock) does not
# show beside the fits; the progress bar moves once a call.  Where the calls end does not
# change any result.
BURST = 64

# Seconds between the writes of a batch fitted on threads to its store: the spectra fitted
# since the last write are lost when the process is killed (they read "not fitted"), and a
# write costs a few milliseconds for every chunk it touches, so chunks of a few thousand
# spectra written once a second cost nothing beside the fits.
FLUSH = 1.0
STORE_CHUNK = 4096

# The engine's statuses (0 converged, 1 out of iterations, 2 stalled, 3 not finite, 4 failed,
# 5 skipped, 6 no start) as the batch's.
_ENGINE_STATUS = (OK, NOT_CONVERGED, NOT_CONVERGED, FIT_FAILED, FIT_FAILED, NOT_FITTED,
                  NOT_FITTED)


class Stopped(Exception):
    """A batch asked to stop (raised inside the core's fits by the stop check)."""


class Layout:
    """Where each field sits in a spectrum's packed row of results: the value and stderr of
    every estimate name, the trailer (log-likelihood, iterations, converged, status), then the
    fitted state (theta and every parameter, internal units), which starts the next spectrum
    along the path and lets :meth:`BatchResult.result` fit it again."""

    def __init__(self, setup):
        self.signature = setup.signature
        names = []
        # What each estimate measures: "x" (a place or width on the grid), "counts",
        # "counts per channel", or None (shape factors, a TSDC activation energy, a slope).
        kinds = {"location": "x", "width": "x", "count": "counts", "plain": None}
        self.kinds = {}
        for pk in setup.peaks:
            spec = SHAPES[pk.shape]
            for p in spec.params:
                self.kinds[f"{pk.name}.{p.name}"] = kinds[p.kind]
            self.kinds.update({f"{pk.name}.area": "counts",
                               f"{pk.name}.height": "counts per channel",
                               f"{pk.name}.fwhm": "x"})
            self.kinds.update({f"{pk.name}.{n}": None for n in spec.extras})
            names += [f"{pk.name}.{n}" for n in spec.names + ("area", "height", "fwhm")
                      + spec.extras]
        bg_names, _, _ = setup.background.quantities(np.zeros(setup.terms.reported), setup.x,
                                                     setup.widths, setup.frame.step,
                                                     setup.window) if setup.terms.count else ([], 0, 0)
        names += [f"background.{n}" for n in bg_names]
        # The background's terms are counts (a Shirley step's and a Tougaard loss tail's
        # included); a line's slope is not, and Tougaard's B is in eV^2.
        other = {"slope": None, "B": "eV^2"}
        self.kinds.update({f"background.{n}": other.get(n, "counts") for n in bg_names})
        self.names = names
        self.ll = 2 * len(names)
        self.n_iter, self.converged, self.status = self.ll + 1, self.ll + 2, self.ll + 3
        self.theta = self.ll + 4
        self.n_theta = setup.theta0.size
        self.values = self.theta + self.n_theta
        self.fields = self.values + len(setup.parameters)
        self._plans = {}

    def attrs(self):
        """Where the fields sit, as the attributes of a store (JSON)."""
        return {"names": list(self.names), "kinds": dict(self.kinds),
                "log_likelihood": self.ll, "n_iter": self.n_iter,
                "converged": self.converged, "status": self.status, "theta": self.theta,
                "n_theta": self.n_theta, "values": self.values, "n_fields": self.fields,
                "status_names": list(STATUS_NAMES),
                "fields": "value and standard error of every name, in turn, then the fit's "
                          "record and state"}

    @classmethod
    def stored(cls, attrs):
        """The layout a store's attributes (:meth:`attrs`) describe, without the model's
        signature (a batch read from its store starts no fit)."""
        layout = cls.__new__(cls)
        layout.signature = None
        layout.names, layout.kinds = list(attrs["names"]), dict(attrs["kinds"])
        layout.ll, layout.n_iter = int(attrs["log_likelihood"]), int(attrs["n_iter"])
        layout.converged, layout.status = int(attrs["converged"]), int(attrs["status"])
        layout.theta, layout.n_theta = int(attrs["theta"]), int(attrs["n_theta"])
        layout.values, layout.fields = int(attrs["values"]), int(attrs["n_fields"])
        layout._plans = {}
        return layout

    def empty(self, spectrum_shape):
        out = np.full(tuple(spectrum_shape) + (self.fields,), np.nan)
        out[..., self.n_iter] = 0.0
        out[..., self.converged] = 0.0
        out[..., self.status] = NOT_FITTED
        return out

    def failed(self, status):
        row = self.empty(())
        row[self.status] = status
        return row

    def _plan(self, setup):
        """Where every estimate of ``setup``'s fits comes from, as index arrays: the same for
        every set-up of the batch's model with the same roles (cached by its signature)."""
        key = setup.signature
        plan = self._plans.get(key)
        if plan is not None:
            return plan
        frame, params = setup.frame, setup.parameters
        cols, index, scale, offset, fixed, free_cols, slots = [], [], [], [], [], [], []
        area_slot = []
        quantities = []  # per peak: height column, fixed shape
        extras = []      # (column, peak, extra, fixed shape)
        rules = []       # per peak: (area column, area free, columns varied, columns varied
        #                  when faint)
        column = slot = e = 0
        for j, pk in enumerate(setup.peaks):
            spec = SHAPES[pk.shape]
            first = column
            varied = []
            for name in spec.names + ("area",):
                p = params[e]
                cols.append(column)
                index.append(e)
                scale.append(frame.scale(p.kind) if p.kind != "count" else 1.0)
                offset.append(frame.offset(p.kind) if p.kind != "count" else 0.0)
                fixed.append(p.role == "fixed")
                if p.role == "free":
                    free_cols.append(len(cols) - 1)
                    slots.append(slot)
                    if name == "area":
                        area_slot.append((j, slot))
                    slot += 1
                if p.role != "fixed":
                    varied.append(column)
                column += 1
                e += 1
            fixed_shape = all(q.role == "fixed" for q in params[e - len(spec.names) - 1:e - 1])
            quantities.append((column, fixed_shape))
            varied.append(column)                      # the height
            if not fixed_shape:
                varied.append(column + 1)              # the FWHM
            column += 2
            for x in range(len(spec.extras)):
                extras.append((column, j, x, fixed_shape))
                if not fixed_shape:
                    varied.append(column)
                column += 1
            area_col = first + len(spec.names)
            area_free = params[e - 1].role == "free"
            rules.append((area_col, area_free, varied, [c for c in varied if c != area_col]))
        plan = dict(cols=np.array(cols, dtype=np.intp), index=np.array(index, dtype=np.intp),
                    scale=np.array(scale), offset=np.array(offset),
                    fixed=np.array(fixed, dtype=bool),
                    free_cols=np.array(free_cols, dtype=np.intp),
                    slots=np.array(slots, dtype=np.intp), area_slot=dict(area_slot),
                    quantities=quantities, extras=extras, rules=rules, column=column,
                    width_scale=frame.scale("width"),
                    grid_step=float(np.median(setup.widths)), jac=None)
        if setup.terms.count:
            n_reported = setup.terms.reported
            plan["jac"] = setup.background.quantities(np.zeros(n_reported), setup.x, setup.widths,
                                                      setup.frame.step, setup.window)[2]
        self._plans[key] = plan
        return plan

    def pack(self, setup, fitted):
        """The rows of every spectrum of the engine's many-spectra output ``fitted``, all
        fitted with the model of ``setup`` (NaN rows and statuses for those without a fit).

        Each spectrum's numbers are those :func:`velmora.fit` reports for it: the same
        conversions, element by element."""
        plan = self._plan(setup)
        outcome = fitted["outcome"]
        m = outcome.shape[0]
        rows = np.full((m, self.fields), np.nan)
        values, stderr = fitted["params"], fitted["stderr"]
        at_bound, undetermined = fitted["at_bound"] != 0, fitted["undetermined"] != 0
        k_count = len(setup.peaks)

        # Parameters and areas: in the caller's units; no standard error for a fixed one, nor
        # for a free one the data do not determine or that is held on its bound.
        value = values[:, plan["index"]] * plan["scale"] + plan["offset"]
        se = np.abs(plan["scale"]) * stderr[:, plan["index"]]
        se[:, plan["fixed"]] = math.nan
        free = plan["free_cols"]
        with np.errstate(invalid="ignore"):
            held = undetermined[:, plan["slots"]] | (
                at_bound[:, plan["slots"]] & ~(stderr[:, plan["index"][free]] > 0))
        se_free = se[:, free]
        se_free[held] = math.nan
        se[:, free] = se_free
        rows[:, 2 * plan["cols"]] = value
        rows[:, 2 * plan["cols"] + 1] = se

        # Heights, FWHMs and the shapes' own quantities.
        for j, (column, fixed_shape) in enumerate(plan["quantities"]):
            rows[:, 2 * column] = fitted["height"][:, j]
            rows[:, 2 * column + 1] = fitted["height_stderr"][:, j]
            rows[:, 2 * column + 2] = plan["width_scale"] * fitted["fwhm"][:, j]
            rows[:, 2 * column + 3] = math.nan if fixed_shape else \
                plan["width_scale"] * fitted["fwhm_stderr"][:, j]
        if plan["extras"]:
            extras = fitted["extras"].reshape(m, k_count, -1)
            extras_se = fitted["extras_stderr"].reshape(m, k_count, -1)
            for column, j, x, fixed_shape in plan["extras"]:
                rows[:, 2 * column] = extras[:, j, x]
                rows[:, 2 * column + 1] = math.nan if fixed_shape else extras_se[:, j, x]

        # A peak that is not a detection gets no confident standard errors, as in
        # velmora.fit's result: a collapsed peak none, one whose area is compatible with zero
        # none for its shape.
        for j, (area_col, area_free, varied, varied_faint) in enumerate(plan["rules"]):
            held = at_bound[:, plan["area_slot"][j]] if area_free else False
            collapsed, faint = detection(fitted["fwhm"][:, j], plan["grid_step"],
                                         rows[:, 2 * area_col], rows[:, 2 * area_col + 1],
                                         held, area_free)
            if collapsed.any():
                rows[np.ix_(collapsed, 2 * np.array(varied, dtype=np.intp) + 1)] = math.nan
            if faint.any() and varied_faint:
                rows[np.ix_(faint, 2 * np.array(varied_faint, dtype=np.intp) + 1)] = math.nan

        column = plan["column"]
        if plan["jac"] is not None:
            n_reported = setup.terms.reported
            cov = fitted["background_covariance"].reshape(m, n_reported, n_reported)
            bvalues, bstderr = linear_estimates(fitted["background_counts"], cov, plan["jac"])
            width = bvalues.shape[1]
            rows[:, 2 * column:2 * (column + width):2] = bvalues
            rows[:, 2 * column + 1:2 * (column + width):2] = bstderr
        codes = outcome[:, 2].astype(np.int64)
        status = np.asarray(_ENGINE_STATUS)[codes]
        rows[:, self.ll] = outcome[:, 0]
        rows[:, self.n_iter] = outcome[:, 1]
        rows[:, self.converged] = (codes == 0).astype(np.float64)
        rows[:, self.status] = status
        rows[:, self.theta:self.values] = fitted["theta"]
        rows[:, self.values:] = values
        # A spectrum whose fit failed without a state keeps nothing but its status.
        lost = np.isin(status, (FIT_FAILED, NOT_FITTED)) & ~np.isfinite(fitted["theta"]).all(axis=1)
        for i in np.flatnonzero(lost):
            rows[i] = self.failed(status[i])
        return rows

    def start(self, row):
        """The start the fitted state of ``row`` gives the next spectrum, or None when the row
        has none (a spectrum not fitted, or one whose fit failed)."""
        if row[self.status] == NOT_FITTED:
            return None
        theta, values = row[self.theta:self.values], row[self.values:]
        if not (np.isfinite(theta).all() and np.isfinite(values).all()):
            return None
        return FitState(theta=theta.copy(), values=values.copy(), signature=self.signature)


# ------------------------------------------------------------------------------ one chunk

def serpentine(shape):
    """Indices of an array of ``shape`` along the serpentine path: the last axis runs back and
    forth, every outer axis likewise, so consecutive spectra are neighbours."""
    if len(shape) == 0:
        return [()]
    inner = serpentine(shape[1:])
    path = []
    for i in range(shape[0]):
        path.extend((i,) + rest for rest in (inner if i % 2 == 0 else reversed(inner)))
    return path


def _engine_spectra(setup, counts, theta, warm, skip, previous=None):
    """The engine's many-spectra fit: a dict of arrays with one row per spectrum."""
    fitted = velmora_core._engine_spectra(setup.model, counts, theta, setup.tol, setup.max_iter,
                                          warm, skip,
                                          np.zeros(0) if previous is None else previous)
    return {k: v.reshape(len(skip), -1) for k, v in fitted.items()}


def _set_up(inputs, y, start, like=None):
    """The set-up and window counts of one spectrum by :func:`velmora.fit`'s own path, or the
    status that keeps it from being fitted."""
    try:
        counts = check_counts(y, inputs.x.size)
        setup, cw = prepare(replace(inputs, counts=counts), start, like)
        if not cw.sum() > 0:
            raise NoCounts("counts: every count in the window is zero")
    except InvalidCounts:
        return INVALID_DATA, None
    except NoCounts:
        return NO_COUNTS, None
    except Stopped:
        raise
    except Exception:  # a spectrum that cannot be set up is reported, and the chunk goes on
        return FIT_FAILED, None
    return setup, cw


def _window_rows(setup, spectra):
    """The window counts of ``spectra`` (rows of whole spectra) as rows, zero for those that
    cannot be fitted, and which those are: (counts, invalid, empty)."""
    with np.errstate(invalid="ignore"):
        invalid = ~np.isfinite(spectra).all(axis=1) | (spectra < 0).any(axis=1)
    counts = spectra[:, setup.order][:, setup.inside]
    with np.errstate(invalid="ignore"):
        empty = ~(counts.sum(axis=1) > 0)
    counts[invalid | empty] = 0.0
    return np.ascontiguousarray(counts), invalid, empty


def read_starts(like, inputs, spectra):
    """The cold starts of ``spectra`` (rows of whole spectra) when they share the model of
    ``like``: (thetas, usable) with one row per spectrum, or None for a model whose spectra
    are set up one by one."""
    if like is None or not shares_model(inputs.peaks, inputs.ties):
        return None
    counts, invalid, empty = _window_rows(like, spectra)
    thetas, finite = cold_starts(like, inputs.peaks, counts)
    return thetas, finite & ~invalid & ~empty


def _fit_shared(inputs, like, block, path, warm, starts, out, layout, stop, done):
    """Every spectrum of ``block`` along ``path`` with the model of ``like``, in engine calls
    of up to BURST spectra: without warm starts each from its own start, with them each from
    the fit before it (the first, and any after spectra whose fit left no state, from its
    own).  ``starts``: (thetas, usable, read) of the block's spectra in C order, the cold
    starts read beforehand (all of them without warm starts, some with), or None.  A start
    the engine needs and nobody has read is read here, when it stops at it."""
    shape = block.shape[:-1]
    if not path or math.prod(shape) == 0:
        return
    spectra = block.reshape(-1, block.shape[-1])
    order = np.ravel_multi_index(np.array(path, dtype=np.intp).T, shape) \
        if shape else np.zeros(1, dtype=np.intp)
    flat = out.reshape(-1, out.shape[-1])  # a view: `out` is a fresh array
    counts, invalid, empty = _window_rows(like, spectra[order])
    n = len(path)
    if starts is None:
        thetas = np.full((n, like.theta0.size), np.nan)
        usable = np.zeros(n, dtype=bool)
        read = np.zeros(n, dtype=bool)
    else:
        thetas, usable, read = (a[order] for a in starts)
    bad = invalid | empty

    def read_now(rows):
        rows = rows[~bad[rows] & ~read[rows]]
        if rows.size:
            thetas[rows], finite = cold_starts(like, inputs.peaks, counts[rows])
            usable[rows], read[rows] = finite, True

    if not warm:
        read_now(np.arange(n))
    previous = None
    first = 0
    while first < n:
        if stop is not None and stop.is_set():
            break
        end = min(first + BURST, n)
        skip = bad[first:end] | (read[first:end] & ~usable[first:end])
        fitted = _engine_spectra(like, counts[first:end].ravel(), thetas[first:end].ravel(),
                                 warm, skip.tolist(), previous)
        code = fitted["outcome"][:, 2]
        waiting = np.flatnonzero(code == 6)  # a spectrum whose start is still to be read
        stop_at = int(waiting[0]) if waiting.size else end - first
        if stop_at:
            fitted = {k: v[:stop_at] for k, v in fitted.items()}
            rows = layout.pack(like, fitted)
            for k in np.flatnonzero(skip[:stop_at]):
                i = first + k
                rows[k] = layout.failed(INVALID_DATA if invalid[i] else NO_COUNTS if empty[i]
                                        else FIT_FAILED)
            flat[order[first:first + stop_at]] = rows
            if warm:
                # The next call's path goes on from the last spectrum that left a state.
                for row in rows[::-1]:
                    state = layout.start(row)
                    if state is not None:
                        previous = state.theta
                        break
            if done is not None:
                done(stop_at)
        first += stop_at
        if waiting.size:
            read_now(np.array([first]))


def _fit_cold(inputs, like, block, indices, out, layout):
    """Spectra ``indices`` of ``block``, each set up alone and fitted from the peaks (its
    start read from its own data, as :func:`velmora.fit` reads it); their rows go into
    ``out``.  Returns the set-up of the last spectrum fitted (None when none was)."""
    last = None
    for index in indices:
        setup, cw = _set_up(inputs, block[index], None, like)
        if cw is None:
            out[index] = layout.failed(setup)
            continue
        fitted = _engine_spectra(setup, cw, setup.theta0, False, [False])
        out[index] = layout.pack(setup, fitted)[0]
        last = setup
    return last


def _fit_warm(setup, block, indices, start, out, layout):
    """Spectra ``indices`` of ``block`` fitted one after another by the engine, each from the
    fit of the last one that could be fitted (``start`` for the first); their rows go into
    ``out``.  Returns the start for the spectrum after them.

    Every fit is the one :func:`velmora.fit` makes from the same start: the same model (the
    set-up of the start's fit), counts and theta, and the same report."""
    spectra = np.stack([block[index] for index in indices])
    counts, invalid, empty = _window_rows(setup, spectra)
    skip = invalid | empty
    fitted = _engine_spectra(setup, counts.ravel(), start.theta, True, skip.tolist())
    for i, (index, row) in enumerate(zip(indices, layout.pack(setup, fitted))):
        if skip[i]:
            out[index] = layout.failed(INVALID_DATA if invalid[i] else NO_COUNTS)
            continue
        out[index] = row
        following = layout.start(row)
        if following is not None:
            start = following
    return start


def fit_chunk(block, inputs, warm_start, layout, stop=None, done=None, like=None,
              starts=None):
    """Fits every spectrum of ``block`` (spectrum axes..., channels) along the serpentine path;
    returns the packed rows (spectrum axes..., fields).  Runs every core call on the calling
    thread.  ``stop`` (an Event) ends the chunk, within a fit too (the core looks at it every
    20 ms at most); ``done(n)`` counts finished spectra.  ``like``: the batch's set-up on a
    flat spectrum; ``starts``: the cold starts of the block's spectra (see
    :func:`read_starts`), read here when None.

    Where the spectra share the model of ``like`` (no ties, no fixed value guessed) they go
    to the engine in bursts (:func:`_fit_shared`); otherwise every cold start is set up alone
    (:func:`_fit_cold`) and, with warm starts, the spectra after it go in bursts with the
    model of that fit (its fixed values included; :func:`_fit_warm`)."""
    block = np.asarray(block, dtype=np.float64)
    out = layout.empty(block.shape[:-1])
    warm = warm_start == "previous"

    def check():
        if stop.is_set():
            raise Stopped("the batch was stopped")

    previous = velmora_core._on_calling_thread(True)
    # The core calls `check` while it fits (every 20 ms at most), so a stop ends a long fit too.
    velmora_core._stop_check(check if stop is not None else None)
    try:
        path = serpentine(block.shape[:-1])
        if like is not None and shares_model(inputs.peaks, inputs.ties):
            _fit_shared(inputs, like, block, path, warm, starts, out, layout, stop, done)
            return out
        start = setup = None
        i = 0
        while i < len(path):
            if stop is not None and stop.is_set():
                break
            if warm and start is not None:
                indices = path[i:i + BURST]
                start = _fit_warm(setup, block, indices, start, out, layout)
            else:
                # Without warm starts every spectrum, with them the path's first (or the first
                # after spectra that could not be fitted), starts from the peaks.
                indices = path[i:i + (1 if warm else BURST)]
                fitted = _fit_cold(inputs, like, block, indices, out, layout)
                following = layout.start(out[indices[0]])
                if warm and following is not None:
                    start, setup = following, fitted
            i += len(indices)
            if done is not None:
                done(len(indices))
    except Stopped:
        pass  # the spectra not fitted keep the status "not fitted"
    finally:
        velmora_core._stop_check(None)
        velmora_core._on_calling_thread(previous)
    return out


# ------------------------------------------------------------------------------- chunking

def _equal_pieces(n, size):
    """``n`` cut into the fewest pieces of at most ``size``, their lengths differing by at
    most one."""
    count = -(-n // size)
    return tuple(n // count + (1 if i < n % count else 0) for i in range(count))


def _default_chunks(spectrum_shape):
    """Block lengths per axis for about CHUNK_COUNT chunks (CHUNK_MIN to CHUNK_MAX spectra
    each): whole rows of the last axes first, a row too long for one chunk cut into equal
    pieces."""
    total = math.prod(spectrum_shape)
    size = min(CHUNK_MAX, max(CHUNK_MIN, -(-total // CHUNK_COUNT)))
    out = []
    room = size
    for n in reversed(spectrum_shape):
        if n == 0:
            out.append((0,))
            continue
        pieces = _equal_pieces(n, max(1, room))
        out.append(pieces)
        room = max(1, room // max(pieces))
    return tuple(reversed(out))


def _normalise_chunks(chunks, spectrum_shape):
    """Per spectrum axis, the tuple of block lengths."""
    if chunks is None:
        chunks = _default_chunks(spectrum_shape)
    if isinstance(chunks, numbers.Integral) and not isinstance(chunks, bool):
        chunks = (int(chunks),) * len(spectrum_shape)
    if isinstance(chunks, (str, bytes, bool)) or not hasattr(chunks, "__iter__"):
        raise TypeError(f"chunks: expected None, a block size or one entry per spectrum axis, "
                        f"got {chunks!r}")
    chunks = tuple(chunks)
    if len(chunks) != len(spectrum_shape):
        raise ValueError(f"chunks: expected one entry per spectrum axis "
                         f"({len(spectrum_shape)}), got {len(chunks)}")
    out = []
    for axis, (c, n) in enumerate(zip(chunks, spectrum_shape)):
        if isinstance(c, numbers.Integral) and not isinstance(c, bool):
            c = int(c)
            if c < 1:
                raise ValueError(f"chunks[{axis}]: expected a positive size, got {c}")
            out.append(tuple(min(c, n - s) for s in range(0, n, c)) or (0,))
        else:
            if isinstance(c, (str, bytes, bool)) or not hasattr(c, "__iter__") or not all(
                    isinstance(v, numbers.Integral) and not isinstance(v, bool) for v in c):
                raise TypeError(f"chunks[{axis}]: expected a block size or a sequence of block "
                                f"lengths (integers), got {c!r}")
            c = tuple(int(v) for v in c)
            if sum(c) != n or any(v < 0 for v in c):
                raise ValueError(f"chunks[{axis}]: block lengths {c} do not add up to {n}")
            out.append(c)
    return tuple(out)


def _blocks(chunks):
    """Slices of every block, in C order of the blocks."""
    starts = [np.concatenate([[0], np.cumsum(c)[:-1]]).astype(int) for c in chunks]
    grids = np.meshgrid(*[np.arange(len(c)) for c in chunks], indexing="ij")
    out = []
    for block in zip(*(g.ravel() for g in grids)):
        out.append(tuple(slice(int(starts[a][b]), int(starts[a][b] + chunks[a][b]))
                         for a, b in enumerate(block)))
    return out or [()]


# -------------------------------------------------------------------------------- results

class _Fields(Mapping):
    """Estimates by name, each read from the packed results when asked for (a Zarr store's
    results are not all read at once); NaN for every spectrum in ``unfitted``."""

    def __init__(self, packed, names, offset, unfitted):
        self._packed, self._index = packed, {n: 2 * i + offset for i, n in enumerate(names)}
        self._unfitted = unfitted if unfitted.any() else None

    def __getitem__(self, name):
        values = np.asarray(self._packed[..., self._index[name]])
        if self._unfitted is not None:
            values = np.where(self._unfitted, np.nan, values)
        return values

    def __iter__(self):
        return iter(self._index)

    def __len__(self):
        return len(self._index)

    def __repr__(self):
        return f"<estimates {list(self._index)}>"


class BatchResult:
    """The results of :func:`fit_many`, one entry per spectrum.

    Attributes
    ----------
    values, stderr : mapping of str to ndarray
        Every fitted parameter, area, height and FWHM of every spectrum by name (``"p0.x0"``,
        ``"p1.area"``, ``"p0.fwhm"``, ``"background.counts"``, ...), arrays of the shape of
        the spectrum axes, read when asked for (from the store, for a batch written to one).
        NaN where a spectrum was not fitted; stderr NaN where it is not determined, for fixed
        parameters too, and for a peak that is not a detection (see :func:`velmora.fit`).
    log_likelihood, n_iter, converged, status : ndarray
        Per spectrum.  ``status`` holds codes into :data:`STATUS_NAMES`: 0 ok, 1 not
        converged (values kept), 2 invalid data (NaN, infinite or negative counts), 3 no counts
        in the window, 4 the fit failed, 5 not fitted (the batch was stopped).
    names : list of str
        The estimate names, in order.
    dims : tuple of str
        Names of the spectrum axes (the DataArray's, else ``dim_0``, ``dim_1``, ...).
    coords : dict of str to ndarray or None
        Coordinates of the spectrum axes that the input DataArray had.
    channel : str
        Name of the channel axis (the DataArray's last dimension, else ``"x"``).
    units : dict of str to str
        The ``units`` attribute of every coordinate of the input DataArray that had one, the
        channel axis's included (the units of centres and widths).
    axis : Axis
        The channel axis as the input told it (see :attr:`velmora.FitResult.axis`): its
        name, long name, units and energy, for :meth:`plot_spectrum`.
    energy : EnergyKind or None
        The energy kind a Shirley or Tougaard background took x as, and where it came from
        (see :attr:`velmora.FitResult.energy`): the same for every spectrum, and in the
        attributes of :meth:`to_xarray`.
    """

    def __init__(self, packed, layout, inputs, data, warm_start, chunks, dims, coords,
                 channel="x", units=None, axis=None, energy=None):
        names = layout.names
        # A spectrum whose row a stopped batch never wrote reads NaN in a store: its status
        # "not fitted", its values NaN whatever a write cut short left of them.
        status = np.asarray(packed[..., layout.status])
        self.status = np.where(np.isnan(status), NOT_FITTED, status).astype(np.int8)
        unfitted = self.status == NOT_FITTED
        self.names = list(names)
        self.values = _Fields(packed, names, 0, unfitted)
        self.stderr = _Fields(packed, names, 1, unfitted)
        self.log_likelihood = np.where(unfitted, np.nan, np.asarray(packed[..., layout.ll]))
        self.n_iter = np.where(unfitted, 0, np.asarray(packed[..., layout.n_iter])).astype(
            np.int64)
        self.converged = ~unfitted & (np.asarray(packed[..., layout.converged]) == 1.0)
        self.shape = packed.shape[:-1]
        self._packed, self._layout, self._unfitted = packed, layout, unfitted
        self._inputs, self._data, self._warm_start = inputs, data, warm_start
        self._chunks, self.dims, self.coords = chunks, dims, coords
        self.channel, self.units = channel, dict(units or {})
        self.axis = Axis() if axis is None else axis
        self.energy = inputs.energy if inputs is not None else energy

    def __len__(self):
        return int(np.prod(self.shape, dtype=np.int64))

    @property
    def status_names(self):
        """``status`` as an array of its names."""
        return np.asarray(STATUS_NAMES, dtype=object)[self.status]

    def summary(self):
        """Counts of each status, by name."""
        codes, counts = np.unique(self.status, return_counts=True)
        return {STATUS_NAMES[c]: int(n) for c, n in zip(codes, counts)}

    def units_of(self, name):
        """The units of estimate ``name``, or None where they are not known: centres and
        widths in the units of the channel axis (its coordinate's ``units`` attribute, when
        the batch was given an ``xarray.DataArray`` that had one), areas and background counts
        in counts, heights in counts per channel."""
        kind = self._layout.kinds[name]
        return self.units.get(self.channel) if kind == "x" else kind

    def _start(self, index):
        """The start the batch used for the spectrum at ``index``: the fitted state of the last
        spectrum before it along its chunk's path that has one, or None (from the peaks)."""
        if self._warm_start != "previous":
            return None
        for block in _blocks(self._chunks):
            if all(s.start <= i < s.stop for s, i in zip(block, index)):
                break
        local = tuple(i - s.start for s, i in zip(block, index))
        path = serpentine(tuple(s.stop - s.start for s in block))
        for previous in reversed(path[:path.index(local)]):
            start = self._layout.start(self._packed[tuple(s.start + i
                                                          for s, i in zip(block, previous))])
            if start is not None:
                return start
        return None

    def result(self, index):
        """The full :class:`~velmora.FitResult` of one spectrum, fitted again from the start
        the batch used (so identical to the batch's own fit).

        Raises ValueError for a spectrum that could not be fitted, and for a batch read back
        with :func:`open_batch` (which has the results but not the spectra)."""
        self._need_data("result")
        if isinstance(index, (int, np.integer)):
            index = (int(index),)
        index = tuple(int(i) for i in np.unravel_index(np.ravel_multi_index(index, self.shape),
                                                          self.shape))
        from .fit import fit_validated

        y = np.asarray(self._data[index], dtype=np.float64)
        inputs = replace(self._inputs, counts=check_counts(y, self._inputs.x.size))
        result = fit_validated(inputs, start=self._start(index))
        result.axis = self.axis
        return result

    def _need_data(self, what):
        if self._data is None:
            raise ValueError(f"{what}: a batch read from its store has no spectra; fit one again "
                             f"with velmora.fit, or the batch with fit_many")

    def to_xarray(self):
        """An ``xarray.Dataset``: every estimate (``"p0.x0"``) and its standard error
        (``"p0.x0_stderr"``), ``log_likelihood``, ``n_iter``, ``converged`` and ``status``, over
        the spectrum axes as dimensions (with their coordinates when the input had them).  For
        a batch written to a store, the estimates are Dask arrays read from it lazily.  With a
        Shirley or Tougaard background the attributes ``energy`` and ``energy_source`` say
        which energy kind it took x as, and why (see :attr:`energy`)."""
        import xarray as xr

        if isinstance(self._packed, np.ndarray):
            def field(k):
                return self._packed[..., k]
        else:
            import dask.array as da

            lazy = da.from_zarr(self._packed)
            unfitted = self._unfitted if self._unfitted.any() else None

            def field(k):
                if unfitted is None:
                    return lazy[..., k]
                return da.where(unfitted, np.nan, lazy[..., k])
        variables = {}
        for i, n in enumerate(self.names):
            units = self.units_of(n)
            attrs = {"units": units} if units else {}
            variables[n] = (self.dims, field(2 * i), attrs)
            variables[n + "_stderr"] = (self.dims, field(2 * i + 1), attrs)
        variables["log_likelihood"] = (self.dims, self.log_likelihood)
        variables["n_iter"] = (self.dims, self.n_iter)
        variables["converged"] = (self.dims, self.converged)
        variables["status"] = (self.dims, self.status,
                               {"flag_values": list(range(len(STATUS_NAMES))),
                                "flag_meanings": " ".join(s.replace(" ", "_")
                                                          for s in STATUS_NAMES)})
        coords = {d: (d, v, {"units": self.units[d]} if d in self.units else {})
                  for d, v in (self.coords or {}).items()}
        attrs = {} if self.energy is None else {"energy": self.energy.kind,
                                                "energy_source": self.energy.source}
        return xr.Dataset(variables, coords=coords or None, attrs=attrs)

    def __repr__(self):
        parts = ", ".join(f"{k}: {v}" for k, v in self.summary().items())
        return f"<BatchResult of {len(self)} spectra {self.shape}: {parts}>"

    def plot(self, names, *, index=None, ncols=None, title=None):
        """Maps of estimates over the spectrum axes: a matplotlib Figure (no pyplot state).

        One panel per name: an image over two spectrum axes, or the value with a band of one
        standard error over one axis.  Spectra that were not fitted are masked.  See
        :func:`velmora.plot.plot_map` for the parameters.

        Examples
        --------
        >>> fig = batch.plot(["p0.x0", "p0.area"])          # doctest: +SKIP
        >>> fig.savefig("centres.png")                      # doctest: +SKIP
        """
        from .plot import plot_map

        return plot_map(self, names, index=index, ncols=ncols, title=title)

    def plot_spectrum(self, index):
        """The counts and the fit of the spectrum at ``index`` (a matplotlib Figure); a
        spectrum that could not be fitted is shown without a fit, its status in the title.
        Raises IndexError for an index outside the batch."""
        from .plot import plot_batch_spectrum, spectrum_index

        self._need_data("plot_spectrum")
        index = spectrum_index(index, self.shape)
        return plot_batch_spectrum(self, index, self._inputs.x, np.asarray(self._data[index]))


# ---------------------------------------------------------------------------------- entry

def _is_dask(a):
    return type(a).__module__.split(".")[0] == "dask"


def _progress_bar(total, progress):
    """A tqdm bar shown after one second, on a terminal (or when forced); None otherwise."""
    show = progress if progress is not None else sys.stderr.isatty()
    if not show:
        return None
    try:
        from tqdm.auto import tqdm
    except ImportError:
        return None
    return tqdm(total=total, delay=0.0 if progress else 1.0, unit="spectra", mininterval=0.25)


def fit_many(x, Y, peaks, background=None, *, warm_start="previous", workers=None,
             progress=None, chunks=None, store=None, resume=False, overwrite=False,
             **fit_options):
    """Fit one model to many spectra.

    Parameters
    ----------
    x : array_like
        The grid, shared by every spectrum.
    Y : ndarray, dask array or xarray.DataArray, shape (..., n_channels)
        The counts; the last axis runs over ``x``.  A Dask array is fitted block by block
        with whatever scheduler is active; its channel axis is rechunked into one block if it
        is split.  An ``xarray.DataArray`` lends its dimension names and coordinates to the
        result, and its channel coordinate (``kinetic_energy``,
        ``binding_energy``) or ``energy`` attribute decides the energy kind of a Shirley or
        Tougaard background as in :func:`velmora.fit` (``BatchResult.energy`` says which).
    peaks : list of Peak
        The model and the starting values (see :func:`velmora.fit`).
    background : see :func:`velmora.fit`
    warm_start : {"previous", "none"}
        ``"previous"``: each spectrum starts from its predecessor's fit along the serpentine
        path through its chunk; ``"none"``: every spectrum starts from ``peaks``.
    workers : int, optional
        Threads for NumPy input (default: the worker count of the core's pool,
        ``RAYON_NUM_THREADS`` or the available processors).  Each spectrum's fit runs on one
        thread.  Ignored for Dask input (the scheduler decides).
    progress : bool, optional
        A progress bar: by default on a terminal, for batches that take over a second;
        ``True`` forces it, ``False`` hides it.
    chunks : int or tuple, optional
        NumPy input: block sizes over the spectrum axes (Dask style), which fix the warm-start
        paths.  Default: about 8 blocks of equal length, 4 to 64 spectra each, whole
        rows first (the same for any number of workers).  A Dask array keeps
        its own blocks.
    store : str or path, optional
        A Zarr store (a directory, or a URL the Dask workers can write to) for the results.
        It is created before any spectrum is fitted with every spectrum "not fitted" (status
        5, values NaN), and the results are written as they come: with Dask input each
        block's by the worker that fits it, as it finishes (so that neither the workers nor
        the caller hold the whole map); on threads, what has been fitted, once a second and
        when the batch ends or stops.  A batch stopped at any moment, by Ctrl-C or a killed
        process, leaves a store whose spectra are either fitted or "not fitted".  The
        returned batch reads its estimates from the store when asked for; :func:`open_batch`
        reads a store back.  The store holds one array, ``packed``, whose attributes name its
        fields and record the model, grid and blocks fitted.  Needs ``zarr`` (``pip install
        'velmora[io]'``).
    resume : bool
        With ``store``: an existing store is completed.  The blocks that still hold spectra
        "not fitted" are fitted (in whole: a block is a warm-start path) and written, the
        others are left as they are, so that the store ends as one uninterrupted batch would
        have left it.  The store must be of the same model (peaks, background, window,
        options), grid and shape of data; NumPy input is fitted in the store's blocks (a
        ``chunks`` that differs is refused), a Dask array is rechunked to them.  A store that
        does not exist yet is created.
    overwrite : bool
        With ``store``: an existing batch store is replaced (anything else at its path is
        refused).  Without ``resume`` or ``overwrite`` an existing store is refused.
    **fit_options
        ``window``, ``tol``, ``max_iter``, ``knots``, ``energy``, ``bounds``, ``accelerate``
        as for :func:`velmora.fit`.

    Returns
    -------
    BatchResult

    Raises
    ------
    TypeError, ValueError
        For bad arguments, before any spectrum is fitted (the data of single spectra are not
        errors: a spectrum that cannot be fitted gets a status code and NaN values): among
        them a store that exists without ``resume`` or ``overwrite``, one that is not a batch
        store, and with ``resume`` one of another model, grid, shape or blocks.
    KeyboardInterrupt
        On Ctrl-C, within a second.  A store keeps what was fitted by then (on threads,
        every spectrum; with Dask, every block finished), the rest "not fitted", for
        ``resume=True``; without one the results are lost.

    Examples
    --------
    >>> import numpy as np, velmora
    >>> x = np.linspace(0, 10, 200)
    >>> rng = np.random.default_rng(1)
    >>> centres = np.linspace(4.5, 5.5, 6)[:, None]
    >>> Y = rng.poisson(300 * np.exp(-0.5 * ((x - centres) / 0.4) ** 2) + 5).reshape(2, 3, 200)
    >>> batch = velmora.fit_many(x, Y, [velmora.Peak("gaussian", x0=5.0, sigma=0.5)],
    ...                          background="uniform", workers=1)
    >>> batch.values["p0.x0"].shape, batch.summary()
    ((2, 3), {'ok': 6})
    """
    dims = coords = None
    channel, units = "x", {}
    axis = axis_of(x, Y)
    x = plain(x)
    if is_xarray(Y):
        dims = tuple(Y.dims[:-1])
        coords = {d: Y.coords[d].values for d in dims if d in Y.coords}
        channel = str(Y.dims[-1])
        units = {str(d): str(Y.coords[d].attrs["units"]) for d in Y.dims
                 if d in Y.coords and "units" in Y.coords[d].attrs}
        Y = Y.data
    if not _is_dask(Y):
        if isinstance(Y, (str, bytes)):
            raise TypeError(f"Y: expected an array of counts, got {type(Y).__name__}")
        Y = np.asarray(Y)
        if Y.dtype.kind not in "iuf":
            raise TypeError(f"Y: expected real numbers, got an array of dtype {Y.dtype}")
    if Y.ndim < 1:
        raise ValueError("Y: expected an array of spectra (..., n_channels), got a scalar")
    x_arr = np.asarray(x, dtype=np.float64) if not isinstance(x, (str, bytes)) else None
    if x_arr is None or x_arr.ndim != 1:
        raise ValueError("x: expected a one-dimensional grid")
    if Y.shape[-1] != x_arr.size:
        raise ValueError(f"Y: its last axis has {Y.shape[-1]} channels, x has {x_arr.size}")
    if warm_start not in ("previous", "none"):
        raise ValueError(f"warm_start: expected 'previous' or 'none', got {warm_start!r}")
    if workers is not None and (isinstance(workers, bool)
                                or not isinstance(workers, numbers.Integral) or workers < 1):
        raise ValueError(f"workers: expected None or a positive integer, got {workers!r}")
    if progress is not None and not isinstance(progress, bool):
        raise TypeError(f"progress: expected None, True or False, got {progress!r}")
    for name, flag in (("resume", resume), ("overwrite", overwrite)):
        if not isinstance(flag, (bool, np.bool_)):
            raise TypeError(f"{name}: expected True or False, got {flag!r}")
        if flag and store is None:
            raise ValueError(f"{name}: there is nothing to {name} without store=")
    if resume and overwrite:
        raise ValueError("resume, overwrite: give one of them: resume=True completes the store, "
                         "overwrite=True starts it again")
    if store is not None:
        store = batch_store.check_store(store)
        if batch_store.exists(store):
            if not (resume or overwrite):
                raise ValueError(f"store: {store} exists; pass resume=True to fit the spectra "
                                 f"it has not got, or overwrite=True to start it again")
            batch_store.open_packed(store)  # what is not a batch's store is never replaced
    allowed = {"window", "tol", "max_iter", "knots", "energy", "bounds", "accelerate"}
    unknown = sorted(set(fit_options) - allowed)
    if unknown:
        raise TypeError(f"fit_many() got unexpected keyword arguments: {', '.join(unknown)}")
    options = {k: fit_options[k] for k in fit_options}

    # Every check of the model and the options, once, and the layout of the results from a
    # set-up on a flat spectrum (the names and sizes do not depend on the counts).
    inputs = validate(x_arr, np.ones(x_arr.size), peaks, background, axis=axis, **options)
    like = prepare(inputs)[0]
    layout = Layout(like)

    spectrum_shape = tuple(Y.shape[:-1])
    dims = dims or tuple(f"dim_{i}" for i in range(len(spectrum_shape)))
    if _is_dask(Y) and len(Y.chunks[-1]) > 1:
        Y = Y.rechunk({Y.ndim - 1: -1})
    run = {"model": _model_record(inputs, warm_start), "grid": batch_store.digest(inputs.x),
           "shape": list(Y.shape)}
    packed = None
    if store is not None and resume and batch_store.exists(store):
        packed = batch_store.open_packed(store, "r+")
        blocks_stored = _check_resumed(packed, store, run)
    if _is_dask(Y):
        if packed is not None and tuple(Y.chunks[:-1]) != blocks_stored:
            Y = Y.rechunk(blocks_stored + ((Y.shape[-1],),))
        chunk_spec = tuple(tuple(int(n) for n in c) for c in Y.chunks[:-1])
    elif packed is not None and chunks is None:
        chunk_spec = blocks_stored
    else:
        chunk_spec = _normalise_chunks(chunks, spectrum_shape)
        if packed is not None and chunk_spec != blocks_stored:
            raise ValueError(f"chunks: the store was fitted in blocks of "
                             f"{[list(c) for c in blocks_stored]}; leave chunks out to take them")

    blocks = _blocks(chunk_spec)
    if store is not None and packed is None:
        attrs = dict(layout.attrs(), **run, blocks=[list(c) for c in chunk_spec],
                     warm_start=warm_start, dims=list(dims), channel=channel, units=units,
                     axis=_plain_record(axis),
                     energy=None if inputs.energy is None else _plain_record(inputs.energy))
        packed = batch_store.create(store, spectrum_shape + (layout.fields,), chunk_spec,
                                    None if _is_dask(Y) else STORE_CHUNK, attrs,
                                    {layout.n_iter: 0.0, layout.converged: 0.0,
                                     layout.status: NOT_FITTED}, coords)
        todo = blocks
    elif store is not None:
        status = np.asarray(packed[..., layout.status])
        unfitted = np.isnan(status) | (status == NOT_FITTED)
        todo = [b for b in blocks if unfitted[b].any()]
    else:
        todo = blocks
    total = sum(math.prod(s.stop - s.start for s in b) for b in todo)
    bar = _progress_bar(total, progress)
    try:
        if store is None and _is_dask(Y):
            packed = _run_dask(Y, inputs, warm_start, layout, like, bar, chunk_spec)
        elif store is None:
            packed = layout.empty(spectrum_shape)
            _run_threads(Y, inputs, warm_start, layout, like, todo, packed.__setitem__,
                         workers or velmora_core._pool_size(), bar)
        elif _is_dask(Y) and batch_store.aligned(packed.chunks[:-1], chunk_spec):
            _run_dask_store(Y, inputs, warm_start, layout, like, bar, chunk_spec, todo, store)
        else:
            # The waiting thread writes what the workers have fitted, once a second and at
            # the end, stopped or not (a Dask array resumed in a store written so is read
            # here block by block).
            writer = _StoreWriter(packed, layout)
            try:
                _run_threads(Y, inputs, warm_start, layout, like, todo, writer.put,
                             workers or velmora_core._pool_size(), bar, writer.flush)
            finally:
                writer.flush()
    finally:
        if bar is not None:
            bar.close()
    if store is not None:
        packed = batch_store.open_packed(store)
    return BatchResult(packed, layout, inputs, Y, warm_start, chunk_spec, dims, coords,
                       channel=channel, units=units, axis=axis)


def open_batch(store):
    """Read the results :func:`fit_many` wrote to a store back as a :class:`BatchResult`.

    The estimates are read from the store when asked for (``batch.values["p0.x0"]``, lazily
    in :meth:`BatchResult.to_xarray`), the statuses, log-likelihoods and iteration counts at
    once.  Spectra that a stopped batch did not write have the status "not fitted" and NaN
    values; ``fit_many(..., store=store, resume=True)`` fits them.  The batch has the
    dimension names, coordinates, units and energy kind of the batch that wrote the store,
    but not its spectra: :meth:`BatchResult.result` and :meth:`BatchResult.plot_spectrum`
    need ``fit_many`` itself.

    Parameters
    ----------
    store : str or path
        The path or URL of a store written by ``fit_many(..., store=...)``.

    Returns
    -------
    BatchResult

    Raises
    ------
    TypeError
        For a store that is not a string or a path.
    ValueError
        For a path where there is nothing, or something other than a batch's store.
    ImportError
        Without ``zarr``.

    Examples
    --------
    >>> batch = velmora.open_batch("fits.zarr")             # doctest: +SKIP
    >>> batch.summary()                                     # doctest: +SKIP
    {'ok': 9120, 'not fitted': 880}
    """
    store = batch_store.check_store(store)
    packed = batch_store.open_packed(store)
    attrs = packed.attrs.asdict()
    layout = Layout.stored(attrs)
    dims = tuple(attrs["dims"])
    coords = batch_store.read_coords(store, dims) or None
    energy = attrs.get("energy")
    return BatchResult(packed, layout, None, None, attrs["warm_start"],
                       tuple(tuple(c) for c in attrs["blocks"]), dims, coords,
                       channel=attrs["channel"], units=attrs["units"],
                       axis=Axis(**attrs["axis"]),
                       energy=None if energy is None else EnergyKind(**energy))


def _plain_record(record):
    """A dataclass's fields as JSON: numbers as floats."""
    return {k: float(v) if isinstance(v, numbers.Real) and not isinstance(v, bool) else v
            for k, v in vars(record).items()}


# What a store records of its batch, in the words that tell which part differs.
_RUN_PARTS = ("peaks", "background", "window", "bounds", "tol", "max_iter", "energy",
              "warm_start")


def _model_record(inputs, warm_start):
    """What the batch fits, in words that change whenever its fits would: the peaks (their
    starting values, ties, fixed parameters and bounds), the background, the window, shared
    bounds, the fit's options, the energy kind and the warm starts."""
    bg = inputs.background
    peaks = []
    for pk in inputs.peaks:
        pk = copy.copy(pk)
        pk.bounds = dict(sorted(pk.bounds.items()))  # bounds given in any order are the same
        peaks.append(repr(pk))
    options = ", ".join(f"{k}={v!r}" for k, v in sorted(vars(bg).items()) if k != "t")
    parts = {
        "peaks": ", ".join(peaks),
        "background": f"{bg.name} ({options})" if options else bg.name,
        "window": repr(tuple(float(v) for v in inputs.window)),
        "bounds": repr(sorted(inputs.bounds.items())),
        "tol": repr(float(inputs.tol)),
        "max_iter": repr(int(inputs.max_iter)),
        "energy": repr(None if inputs.energy is None else inputs.energy.kind),
        "warm_start": warm_start}
    return {k: parts[k] for k in _RUN_PARTS}


def _check_resumed(packed, store, run):
    """Refuses to resume a store of another model, grid or shape of data (one line, naming
    what differs); returns the blocks it was fitted in."""
    attrs = packed.attrs
    if list(attrs["shape"]) != run["shape"]:
        raise ValueError(f"store: {store} holds a batch of data of shape "
                         f"{tuple(attrs['shape'])}, Y has {tuple(run['shape'])}")
    if attrs["grid"] != run["grid"]:
        raise ValueError(f"store: {store} was fitted on another grid x")
    theirs, ours = dict(attrs["model"]), run["model"]
    if theirs != ours:
        what = next((k for k in _RUN_PARTS if theirs.get(k) != ours.get(k)), "model")
        raise ValueError(f"store: {store} holds fits with another {what!r} (there "
                         f"{theirs.get(what)}, here {ours.get(what)}); resume it with the same "
                         f"model, or pass overwrite=True to start it again")
    return tuple(tuple(int(n) for n in c) for c in attrs["blocks"])


def _group_starts(Y, group, inputs, like, warm):
    """The cold starts of a group of blocks, read side by side: for every block (thetas,
    usable, read) in C order of its spectra, every spectrum's start without warm starts, only
    the first of its path's with them."""
    n_theta = like.theta0.size
    shapes = [tuple(s.stop - s.start for s in b) for b in group]
    if warm:
        # A path starts at the block's first spectrum (index 0 on every axis).
        picks = [tuple(s.start for s in b) if math.prod(shape) else None
                 for b, shape in zip(group, shapes)]
        spectra = [np.asarray(Y[p], dtype=np.float64)[None, :] for p in picks if p is not None]
    else:
        spectra = [np.asarray(Y[b], dtype=np.float64).reshape(-1, Y.shape[-1]) for b in group]
    if not spectra:
        return [None] * len(group)
    thetas, usable = read_starts(like, inputs, np.concatenate(spectra))
    out = []
    first = 0
    for k, shape in enumerate(shapes):
        size = math.prod(shape)
        if not warm:
            rows = slice(first, first + size)
            out.append((thetas[rows], usable[rows], np.ones(size, dtype=bool)))
            first += size
            continue
        part = (np.full((size, n_theta), np.nan), np.zeros(size, dtype=bool),
                np.zeros(size, dtype=bool))
        if picks[k] is not None:
            part[0][0], part[1][0], part[2][0] = thetas[first], usable[first], True
            first += 1
        out.append(part)
    return out


def _run_threads(Y, inputs, warm_start, layout, like, blocks, write, workers, bar, flush=None):
    """Fits ``blocks`` of ``Y`` on ``workers`` threads; ``write(block, rows)`` takes each
    block's packed rows as it finishes (those it has fitted of a block stopped by Ctrl-C
    too).  ``flush()``, when given, is called by the waiting thread every FLUSH seconds."""
    stop = threading.Event()
    lock = threading.Lock()
    finished = [0]

    def done(n):
        with lock:
            finished[0] += n

    def work(block, starts):
        write(block, fit_chunk(Y[block], inputs, warm_start, layout, stop, done, like,
                               starts))

    shown = 0
    with concurrent.futures.ThreadPoolExecutor(max_workers=workers) as pool:
        futures = []
        try:
            # The cold starts are read here, side by side for groups of at least BURST
            # spectra (a call's own cost does not show), while the workers fit the groups
            # before: every spectrum's without warm starts, with them only the first of
            # every chunk's path (the others start from the fit before them).
            shared = like is not None and shares_model(inputs.peaks, inputs.ties)
            warm = warm_start == "previous"
            group = []
            for k, block in enumerate(blocks):
                group.append(block)
                # (The first block of every worker alone, so that each starts at once; a
                # spectrum's start does not depend on those read beside it.)
                if shared and workers <= k < len(blocks) - 1 and (len(group) if warm else sum(
                        math.prod(s.stop - s.start for s in b) for b in group)) < BURST:
                    continue
                starts = [None] * len(group)
                if shared:
                    starts = _group_starts(Y, group, inputs, like, warm)
                for b, part in zip(group, starts):
                    futures.append(pool.submit(work, b, part))
                group = []
                if stop.is_set():
                    break
            pending = set(futures)
            flushed = time.monotonic()
            while pending:
                _, pending = concurrent.futures.wait(pending, timeout=0.1)
                if flush is not None and time.monotonic() - flushed >= FLUSH:
                    flush()
                    flushed = time.monotonic()
                if bar is not None and finished[0] > shown:
                    bar.update(finished[0] - shown)
                    shown = finished[0]
        except BaseException:
            # Ctrl-C (or any failure of the waiting thread): the workers stop at their next
            # checkpoint, the queued chunks are dropped.
            stop.set()
            for f in futures:
                f.cancel()
            raise
        for f in futures:
            f.result()  # a chunk's own failure (a bug, not a bad spectrum) is raised here
    if bar is not None and finished[0] > shown:
        bar.update(finished[0] - shown)


class _StoreWriter:
    """Rows fitted on threads, held in memory and written to the store by one thread: every
    chunk that holds a block finished since the last :meth:`flush`, in whole (the chunks of a
    store fitted on threads may hold several blocks, and parts of blocks)."""

    def __init__(self, array, layout):
        self.array, self.status = array, layout.status
        # What the store holds (a resumed store's fitted blocks included), so that a chunk is
        # written whole from here.
        self.rows = np.asarray(array[...])
        self.chunks = array.chunks[:-1]
        self.lock = threading.Lock()
        self.finished = []

    def put(self, block, rows):
        with self.lock:
            self.rows[block] = rows
            self.finished.append(block)

    def flush(self):
        with self.lock:
            blocks = list(self.finished)
            touched = set()
            for block in blocks:
                ranges = [range(b.start // c, -(-b.stop // c)) for b, c in zip(block, self.chunks)]
                touched.update(itertools.product(*ranges))
            regions = [tuple(slice(i * c, (i + 1) * c) for i, c in zip(index, self.chunks))
                       for index in sorted(touched)]
            # Copied while the workers wait: a row is written as a worker left it, whole.
            parts = [(region, self.rows[region].copy()) for region in regions]
        for region, rows in parts:
            batch_store.write_rows(self.array, region, rows, self.status)
        # Forgotten only once written: a flush cut short by Ctrl-C is made again whole.
        with self.lock:
            del self.finished[:len(blocks)]


def _fit_and_write(block, region, inputs, warm_start, layout, like, store):
    """A Dask task: fits one block and writes its rows to the store; returns its number of
    spectra."""
    rows = fit_chunk(block, inputs=inputs, warm_start=warm_start, layout=layout, like=like)
    batch_store.write_block(store, region, rows, layout.status)
    return math.prod(rows.shape[:-1])


def _dask_results(tasks, bar, size):
    """Computes ``tasks`` on the active scheduler; the progress bar moves by ``size(result)``
    as each finishes on a ``dask.distributed`` client, at the end otherwise."""
    import dask

    client = None
    try:
        from distributed import get_client
        client = get_client()
    except (ImportError, ValueError):
        client = None
    if client is not None:
        from distributed import as_completed
        futures = client.compute(list(tasks))
        index = {f.key: i for i, f in enumerate(futures)}
        results = [None] * len(futures)
        for future in as_completed(futures):
            results[index[future.key]] = future.result()
            if bar is not None:
                bar.update(size(results[index[future.key]]))
        return results
    results = list(dask.compute(*tasks))
    if bar is not None:
        bar.update(sum(size(r) for r in results))
    return results


def _run_dask(Y, inputs, warm_start, layout, like, bar, chunk_spec):
    """Every block of the Dask array ``Y`` fitted by the active scheduler, the results
    gathered in memory."""
    import dask.array as da

    out = da.map_blocks(functools.partial(fit_chunk, inputs=inputs, warm_start=warm_start,
                                          like=like, layout=layout),
                        Y, dtype=np.float64, chunks=chunk_spec + ((layout.fields,),),
                        meta=np.empty((0,) * Y.ndim))
    results = _dask_results(out.to_delayed().ravel(), bar,
                            lambda r: math.prod(r.shape[:-1]))
    packed = layout.empty(Y.shape[:-1])
    for block, r in zip(_blocks(chunk_spec), results):
        packed[block] = r
    return packed


def _run_dask_store(Y, inputs, warm_start, layout, like, bar, chunk_spec, blocks, store):
    """``blocks`` of the Dask array ``Y`` fitted by the active scheduler, each written to the
    store by the task that fits it (the store's chunks lie within single blocks)."""
    import dask

    fit = functools.partial(_fit_and_write, inputs=inputs, warm_start=warm_start,
                            layout=layout, like=like, store=store)
    starts = [np.concatenate([[0], np.cumsum(c)[:-1]]) for c in chunk_spec]
    tasks = []
    for block in blocks:
        index = tuple(int(np.searchsorted(s, b.start, side="right")) - 1
                      for s, b in zip(starts, block))
        tasks.append(dask.delayed(fit)(Y.blocks[index + (0,)], block))
    _dask_results(tasks, bar, int)
