"""``velmora.fit`` and ``velmora.fit_many``: one call that builds a :class:`velmora.Model`
and fits it to one spectrum or to many.

``velmora.fit`` keeps the models of its last calls, by what they were built from (every
peak as it prints, with its values, ties, fixed parameters and bounds; the background and its
options; the fit's options): a loop of fits of one model on one grid builds the model and its
grid's part once, as a :class:`velmora.Model` fitted in the loop would.
"""
from collections import OrderedDict
import threading

from .model import Model
from .peaks import Peak

__all__ = ["fit", "fit_many"]

# The keyword arguments of fit_many that go to the model.
MODEL_OPTIONS = ("window", "tol", "max_iter", "errors", "knots", "energy", "bounds",
                 "accelerate")

# Models kept by velmora.fit (the oldest is dropped first).
MODELS_KEPT = 8
_models = OrderedDict()
_lock = threading.Lock()


def _key(peaks, background, options):
    """What a model is built from, as a key, or None for arguments not worth keeping (those
    the model refuses, a deprecated option, anything without a faithful text)."""
    if options.get("accelerate") is not None:
        return None  # its DeprecationWarning is for every call
    peaks = [peaks] if isinstance(peaks, Peak) else peaks
    if not isinstance(peaks, (list, tuple)) or not all(type(p) is Peak for p in peaks):
        return None
    if background is not None and not isinstance(background, str):
        if not hasattr(background, "__dict__"):
            return None  # not a background: the model says so
        background = (type(background), repr(sorted(vars(background).items())))
    try:
        key = (tuple(repr(p) for p in peaks), background, repr(sorted(options.items())))
        hash(key)
    except TypeError:
        return None
    return key


def _model(peaks, background, options):
    """The model of these arguments: one kept from an earlier call, or a new one."""
    key = _key(peaks, background, options)
    if key is not None:
        with _lock:
            model = _models.get(key)
            if model is not None:
                _models.move_to_end(key)
                return model
    model = Model(peaks, background, **options)
    if key is not None:
        with _lock:
            _models[key] = model
            while len(_models) > MODELS_KEPT:
                _models.popitem(last=False)
    return model


def fit(x, counts, peaks, background=None, *, window=None, tol=1e-9, max_iter=1000,
        errors="auto", knots=None, energy=None, bounds=None, accelerate=None, start=None):
    """Fit peaks and a background to a spectrum by maximum likelihood:
    ``fit(x, counts, peaks, background, start=start, **options)`` is
    ``Model(peaks, background, **options).fit(x, counts, start=start)``.

    The counts are Poisson counts per grid point; the expected count of a channel is the sum
    of the peaks' counts (area times density times channel width) and the background's.  The
    engine maximises the Poisson likelihood over every free parameter at once, without the
    interpreter lock: Levenberg-Marquardt steps on the expected information far from the
    optimum, Newton steps on the observed information near it, parameters held on their
    bounds where the likelihood pushes against them, until a full Newton step predicts a gain
    of at most ``tol`` (relative) in log-likelihood.  Standard errors come from the observed
    information (see :mod:`velmora.uncertainty`), scaled by the square root of the
    dispersion where the counts do not scatter as Poisson counts (see ``errors``).

    Parameters
    ----------
    x, counts : array_like or xarray.DataArray
        The grid and the counts at each grid point (any order; no repeated x).  Counts need
        not be integers but must be finite and non-negative.  Either may be an
        ``xarray.DataArray``: ``x`` a coordinate (``da["binding_energy"]``), ``counts`` a 1-D
        DataArray; the coordinate's name and its ``long_name`` and ``units`` attributes, and
        an ``energy`` attribute (``"binding"`` or ``"kinetic"``), go to ``result.axis`` and
        label the plot (a binding-energy axis runs from high to low).  A coordinate named
        ``binding_energy`` or ``kinetic_energy``, or the ``energy`` attribute, also says
        which way the Shirley step and the Tougaard tail lie (see ``energy``).
    peaks : Peak or list of Peak
        The peaks, of any shapes (TSDC peaks only with TSDC peaks), with their names, ties,
        fixed parameters and bounds.  Missing starting values are guessed from the data.
    background : {None, "uniform", "sqrt", "linear", "spline", "shirley", "tougaard"} or Background
        The background fitted with the peaks (see :mod:`velmora.backgrounds`): ``"shirley"``
        and ``"tougaard"`` are active backgrounds, recomputed from the fitted peaks (the
        Shirley step; the inelastic-loss tail by Tougaard's universal cross-section, its B
        reported in eV^2; ``velmora.Tougaard(C=..., D=...)`` for another cross-section).
    window : (float, float), optional
        Fit only the data in this range of x; peak centres stay inside it unless bounded
        otherwise.  Default: the whole data range.
    tol : float
        Convergence: the fit ends where a full Newton step predicts a gain of at most
        ``tol * |log-likelihood|``.  It also ends, converged, where no step raises the
        likelihood any further and the gain predicted is below 0.001 (the parameters are
        within 0.05 standard errors of the optimum).
    max_iter : int
        Most iterations (steps) of the engine.
    errors : {"auto", "poisson", "scaled"}
        How standard errors are chosen.  Every fit measures the dispersion of the counts
        about the model, Pearson's phi = chi2 / (n - p) (n channels in the window, p free
        parameters; ``result.dispersion``), with the two-sided p-value of so large or so small
        a phi under Poisson noise (``result.dispersion_p``).  ``"poisson"``: the standard
        errors of Poisson counts (the inverse of the observed information).  ``"scaled"``:
        those times sqrt(phi) (as least squares scales by the reduced chi-square).
        ``"auto"``: Poisson where phi is consistent with 1 (p at least 0.01), scaled
        otherwise, both ways (phi > 1: a missing component, or data that are not raw counts;
        phi < 1: data averaged or scaled, whose Poisson errors are too wide), with a finding
        that names phi.  Every standard error follows the choice (parameters, derived
        quantities, the background, the covariance and the detections); ``result.errors``
        says which was applied.
    knots : int or sequence of float, optional
        Interior knots of the ``"spline"`` background: their number or their positions.
    energy : {"binding", "kinetic"}, optional
        Energy kind of x for the ``"shirley"`` and ``"tougaard"`` backgrounds: on binding
        energy the step rises, and the loss tail lies, towards larger x; on kinetic energy
        towards smaller x.  The kind is decided once, in this order: what the data say (a
        DataArray's ``binding_energy`` or ``kinetic_energy`` coordinate, or its ``energy``
        attribute), else ``energy`` (or that of a ``velmora.Shirley``/``velmora.Tougaard``
        object given as ``background``), else ``"binding"`` (plain arrays).  An energy given
        that contradicts the data is refused; ``result.energy`` says which kind was taken and
        why, as does the report's background line.
    bounds : dict, optional
        ``{name: (lo, hi)}`` bounds for every peak that has the parameter (a peak's own
        bounds take precedence).
    accelerate : bool, optional
        Accepted for compatibility and ignored (with a DeprecationWarning).
    start : FitResult, optional
        Start from this earlier fit's fitted values (fixed values guessed from its data
        included) instead of from ``peaks``' starting values: a fit of the same peaks, ties
        and background on the same x and window, such as the fit of a neighbouring spectrum.

    Returns
    -------
    FitResult

    Raises
    ------
    TypeError
        For arguments of the wrong type.
    ValueError
        For bad data (mismatched lengths, NaN or negative counts, repeated x), a window
        without data (on an energy axis, the message points to the other energy kind where
        that would hold data), ties that do not resolve, a starting value outside its bounds,
        an unknown background, an energy that contradicts the data, every parameter fixed,
        or too few data points.  Nothing is fitted
        and nothing passed in is modified.

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
    options = dict(window=window, tol=tol, max_iter=max_iter, errors=errors, knots=knots,
                   energy=energy, bounds=bounds, accelerate=accelerate)
    return _model(peaks, background, options).fit(x, counts, start=start)


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
        ``window``, ``tol``, ``max_iter``, ``errors``, ``knots``, ``energy``, ``bounds``,
        ``accelerate`` as for :func:`velmora.fit`:
        ``fit_many(x, Y, peaks, background, **options)`` is
        ``Model(peaks, background, **options).fit_many(x, Y, ...)``.

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
    unknown = sorted(set(fit_options) - set(MODEL_OPTIONS))
    if unknown:
        raise TypeError(f"fit_many() got unexpected keyword arguments: {', '.join(unknown)}")
    return Model(peaks, background, **fit_options).fit_many(
        x, Y, warm_start=warm_start, workers=workers, progress=progress, chunks=chunks,
        store=store, resume=resume, overwrite=overwrite)
