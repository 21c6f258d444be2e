"""``velmora.Model``: peaks, ties, bounds, a background and a window, validated and compiled
once, then fitted to one spectrum or many.

A model is what does not depend on the data: the named peaks with their starting values,
fixed values, bounds and ties (every tie parsed, ordered and compiled for the engine once),
the background, the window and the fit's options, with one parameter table
(:attr:`Model.params`).  What depends on the grid -- the window cut out of x, the frame of
internal coordinates, the prepared background, every parameter's default bounds and the
engine's model -- is built once per grid (:meth:`Model.grid`) and kept for the next fit on
the same x.  A fit of one spectrum is a batch of one: its start is read from its data, the
engine fits it and its results are packed into a row exactly as every spectrum of
:meth:`Model.fit_many`, and the :class:`~velmora.FitResult` is read from that row.
"""
import copy
import hashlib
import threading
import warnings

import numpy as np

from .axis import Axis, axis_of, plain
from .backgrounds import make_background
from .grid import FitState, Grid, fit_rows
from .params import Parameter, Parameters
from .result import FitResult, source_of, warn_if_not_converged
from .schedule import fit_batch
from .shapes import AREA, SHAPES
from .ties import compile_ties
from .validation import (NoCounts, check_data, check_errors, check_options, check_peaks, check_shared_bounds,
                         window_pair)

# Grids kept per model (fits on more grids build the oldest again when it comes back).
GRIDS_KEPT = 8


class Model:
    """A model of a spectrum: peaks and a background, fitted by maximum likelihood.

    Everything is checked and the ties compiled here, once; the parts that depend on the grid
    are built for each new x and kept (see the module's documentation).  A model holds no
    data: the same model fits any number of spectra, on any grids.

    Parameters
    ----------
    peaks : Peak or list of Peak
        The peaks, of any shapes (TSDC peaks only with TSDC peaks), with their names, ties,
        fixed parameters and bounds.  Missing starting values are read from each spectrum's
        data.
    background : {None, "uniform", "sqrt", "linear", "spline", "shirley", "tougaard"} or Background
        See :func:`velmora.fit`.
    window : (float, float), optional
        Fit only the data in this range of x (default: the whole data range).
    tol : float
        Convergence (see :func:`velmora.fit`).
    max_iter : int
        Most iterations (steps) of the engine.
    errors : {"auto", "poisson", "scaled"}
        How standard errors are chosen (see :func:`velmora.fit`).
    knots : int or sequence of float, optional
        Interior knots of the ``"spline"`` background.
    energy : {"binding", "kinetic"}, optional
        Energy kind of x for the ``"shirley"`` and ``"tougaard"`` backgrounds, where the data
        do not say (see :func:`velmora.fit`).
    bounds : dict, optional
        ``{name: (lo, hi)}`` bounds for every peak that has the parameter (a peak's own
        bounds take precedence).
    accelerate : bool, optional
        Accepted for compatibility and ignored (with a DeprecationWarning).

    Attributes
    ----------
    peaks : tuple of Peak
        The peaks, each named (``p0``, ``p1``, ... where no name was given).
    ties : tuple of velmora.ties.Tie
        Every tie, in evaluation order.
    params : Parameters
        The peaks' parameters by name (``"Au4f7.x0"``): starting values (None where read from
        the data), bounds (None where the defaults of the grid apply), fixed or tied.  A fit's
        table (:attr:`velmora.FitResult.params`) adds the background's coefficients.
    background : Background
    window : (float, float) or None
    tol : float
    max_iter : int
    errors : str
    bounds : dict
        The shared bounds, ``{name: (lo, hi)}``.

    Raises
    ------
    TypeError, ValueError
        For anything the model cannot be (see :func:`velmora.fit`), one line naming the
        argument, before any data are seen.

    Examples
    --------
    >>> import numpy as np, velmora
    >>> rng = np.random.default_rng(0)
    >>> x = np.linspace(0, 10, 401)
    >>> rate = 50 * np.exp(-0.5 * ((x - 4.0) / 0.3) ** 2) + 5.0
    >>> model = velmora.Model(velmora.Peak("gaussian", name="line"), background="uniform")
    >>> result = model.fit(x, rng.poisson(rate))
    >>> abs(result.params["line.x0"].value - 4.0) < 0.05
    True
    >>> batch = model.fit_many(x, rng.poisson(rate, size=(2, 3, x.size)), workers=1)
    >>> batch.summary()
    {'ok': 6}
    """

    def __init__(self, peaks, background=None, *, window=None, tol=1e-9, max_iter=1000,
                 errors="auto", knots=None, energy=None, bounds=None, accelerate=None):
        peaks, ties = check_peaks(peaks)
        # The model keeps copies: a peak or a background object changed afterwards does not
        # change it.
        peaks = [copy.deepcopy(pk) for pk in peaks]
        self.background = copy.deepcopy(make_background(background, knots, energy))
        # Where an explicit energy kind came from, for the message when the data contradict it.
        self.energy_given = "energy" if energy is not None else "background"
        self.window = None if window is None else window_pair(window)
        self.tol, self.max_iter = check_options(tol, max_iter)
        self.errors = check_errors(errors)
        if accelerate is not None:
            if not isinstance(accelerate, (bool, np.bool_)):
                raise TypeError(f"accelerate: expected True or False, got "
                                f"{type(accelerate).__name__}")
            warnings.warn("fit(accelerate=...) has no effect: every fit runs the engine's "
                          "Newton method", DeprecationWarning, stacklevel=3)
        self.bounds = check_shared_bounds(peaks, bounds)
        self.n_free = sum(len(pk.params) + 1 - len(pk.fix) - len(pk.ties) for pk in peaks)
        if self.n_free == 0:
            raise ValueError("peaks: every parameter of every peak is fixed or tied; leave at "
                             "least one free")
        self.peaks, self.ties = tuple(peaks), tuple(ties)
        self._by_name = {pk.name: pk for pk in peaks}
        records = []
        for pk in peaks:
            spec = pk.spec
            for pspec in spec.params + (AREA,):
                name = pspec.name
                tie = pk.ties.get(name)
                pair = None if tie is not None else pk.bounds.get(name, self.bounds.get(name))
                records.append(Parameter(
                    f"{pk.name}.{name}", pk.value_of(name), fixed=name in pk.fix, tie=tie,
                    peak=pk.name, param=name, kind=pspec.kind,
                    min=None if pair is None else pair[0], max=None if pair is None else pair[1]))
        self.params = Parameters(records)
        index = {name: e for e, name in enumerate(self.params)}
        self.tie_program = compile_ties(ties, lambda key: index[f"{key[0]}.{key[1]}"])
        self._grids = {}
        self._lock = threading.Lock()

    def peak(self, name):
        """The peak called ``name``."""
        return self._by_name[name]

    def grid(self, x, axis=None):
        """The model on grid ``x`` (a validated float64 array, in the caller's order) whose
        ``axis`` (:class:`velmora.axis.Axis`) told what x is: a :class:`velmora.grid.Grid`,
        built the first time and kept for the fits after it."""
        axis = Axis() if axis is None else axis
        key = (x.size, hashlib.blake2b(x.tobytes(), digest_size=16).digest(), axis)
        with self._lock:
            grid = self._grids.get(key)
        if grid is None:
            grid = Grid(self, x, axis)
            with self._lock:
                if len(self._grids) >= GRIDS_KEPT:
                    self._grids.pop(next(iter(self._grids)))
                self._grids[key] = grid
        return grid

    def fit(self, x, counts, start=None, *, source=None):
        """Fit the model to one spectrum by maximum likelihood.

        Parameters
        ----------
        x, counts : array_like or xarray.DataArray
            The grid and the counts (see :func:`velmora.fit`).
        start : FitResult, optional
            Start from this earlier fit's fitted values (fixed values guessed from its data
            included): a fit of this model on the same x, such as the fit of a neighbouring
            spectrum.
        source : dict, optional
            Where the data came from, ``{"file": ..., "region": ...}``, for the result's
            outputs; by default the ``source_file`` and ``region`` attributes of a DataArray
            read by :func:`velmora.read` (see :attr:`velmora.FitResult.source`).

        Returns
        -------
        FitResult

        Raises
        ------
        TypeError, ValueError
            For bad data, a window without data, a start that does not fit here, or a tie
            that leaves its range at the start (see :func:`velmora.fit`).  Nothing is fitted
            and nothing passed in is modified.
        """
        axis = axis_of(x, counts)
        source = source_of(counts) if source is None else dict(source)
        x, counts = check_data(plain(x), plain(counts))
        start = _as_state(start)
        grid = self.grid(x, axis)
        window = grid.window_counts(counts)
        if not window.sum() > 0:
            raise NoCounts("counts: every count in the window is zero")
        if start is None and grid.start_rule is not None:
            # The start read in the core, as a batch reads it; where it cannot be fitted from,
            # the reading here says why.
            rows = fit_rows(grid, window[None, :], False)
            if grid.layout.start_failed(rows[0]):
                problem = grid.read_starts(window[None, :]).problems[0]
                raise ValueError(problem or "no starting value could be formed")
        elif start is None:
            starts = grid.read_starts(window[None, :])
            if starts.problems[0] is not None:
                raise ValueError(starts.problems[0])
            rows = fit_rows(grid, window[None, :], False, starts=starts)
        else:
            grid.check_start(start)
            rows = fit_rows(grid, window[None, :], True, previous=start)
        result = FitResult(grid, rows[0], window, axis=axis, source=source)
        warn_if_not_converged(result)
        return result

    def fit_many(self, x, Y, *, warm_start="previous", workers=None, progress=None,
                 chunks=None, store=None, resume=False, overwrite=False):
        """Fit the model to many spectra (see :func:`velmora.fit_many` for the parameters).

        Returns
        -------
        BatchResult
        """
        return fit_batch(self, x, Y, warm_start=warm_start, workers=workers, progress=progress,
                         chunks=chunks, store=store, resume=resume, overwrite=overwrite)

    def __getstate__(self):
        # The grids hold the engine's models (opaque objects of the core): a pickled model
        # builds them again where it is used.
        state = dict(self.__dict__)
        state["_grids"] = {}
        del state["_lock"]
        return state

    def __setstate__(self, state):
        self.__dict__.update(state)
        self._lock = threading.Lock()

    def __repr__(self):
        peaks = ", ".join(f"{pk.name} ({pk.shape})" for pk in self.peaks)
        return f"<Model {peaks}; background {self.background.describe()}>"


def _as_state(start):
    """``start`` (a FitResult, a FitState or None) as a FitState or None."""
    if start is None or isinstance(start, FitState):
        return start
    if not isinstance(start, FitResult):
        raise TypeError(f"start: expected None or a FitResult, got {type(start).__name__}")
    return start.state
